// SPDX-License-Identifier: MIT
// The server's file store on its own: uploads put in place from two workers at once, and links
// planted in the store, which no walk may follow.
#include "filestore.h"

#include "voicesdk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using voiceserver::FileStore;
using voiceserver::Placed;
using voiceserver::StoreUsage;

class tst_FileStoreCommit : public QObject
{
    Q_OBJECT
private slots:
    void concurrentUploadsWithoutOverwriteKeepTheFirst();
    void plantedLinksAreNeverFollowed();
};

void tst_FileStoreCommit::concurrentUploadsWithoutOverwriteKeepTheFirst()
{
    // Both uploads were allowed while the name was free; when both finish at once, one is put
    // in place and the other is refused, never silently replacing the first.
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const FileStore store(data.path());
    QVERIFY(QDir().mkpath(store.incomingDirectory()));
    QVERIFY(QDir().mkpath(store.channelRoot(1)));
    const QString target = store.channelRoot(1) + QStringLiteral("/race.txt");
    int replaced = 0;
    for (int round = 0; round < 400; ++round) {
        QString names[2];
        for (int i = 0; i < 2; ++i) {
            names[i] = store.incomingDirectory() + QStringLiteral("/upload-%1").arg(i);
            QFile file(names[i]);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(1, char('a' + i)));
        }
        std::atomic<int> ready{0};
        unsigned int codes[2] = {0, 0};
        auto put = [&](int i) {
            ++ready;
            while (ready.load() < 2) {
            }
            Placed placed;
            codes[i] = store.commit(1, {QStringLiteral("race.txt")}, names[i], false, &placed);
        };
        std::thread first(put, 0), second(put, 1);
        first.join();
        second.join();
        const int winners = (codes[0] == ERROR_ok) + (codes[1] == ERROR_ok);
        QVERIFY2(winners >= 1, qPrintable(QStringLiteral("round %1").arg(round)));
        if (winners == 2) {
            ++replaced;
        } else {
            const int loser = codes[0] == ERROR_ok ? 1 : 0;
            QCOMPARE(codes[loser], unsigned(ERROR_file_already_exists));
            QFile stored(target);
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.readAll(), QByteArray(1, char('a' + 1 - loser)));
            QVERIFY(!QFile::exists(names[loser])); // a refused upload leaves nothing behind
        }
        QVERIFY(QFile::remove(target));
    }
    QCOMPARE(replaced, 0);
    FileStore::waitForReleases();
}

void tst_FileStoreCommit::plantedLinksAreNeverFollowed()
{
    QTemporaryDir data, outside;
    QVERIFY(data.isValid() && outside.isValid());
    // What must survive: a folder with a file, behind links planted in the store.
    const QString victim = outside.filePath(QStringLiteral("victim"));
    QVERIFY(QDir().mkpath(victim));
    QFile precious(victim + QStringLiteral("/precious.txt"));
    QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("keep me") == 7);
    precious.close();
    const QString files = data.filePath(QStringLiteral("files"));
    QVERIFY(QDir().mkpath(files + QStringLiteral("/channel_1/docs")));
    QFile own(files + QStringLiteral("/channel_1/docs/a.txt"));
    QVERIFY(own.open(QIODevice::WriteOnly) && own.write("abc") == 3);
    own.close();
    for (const QString& link :
         {QStringLiteral("/channel_77"), QStringLiteral("/.incoming"),
          QStringLiteral("/channel_1/docs/escape"), QStringLiteral("/channel_1/escape")})
        QVERIFY(QFile::link(victim, files + link));

    FileStore store(data.path());
    QString report;
    QHash<quint64, StoreUsage> usages;
    store.tidy({1}, &report, &usages);
    QVERIFY2(QFile::exists(victim + QStringLiteral("/precious.txt")), qPrintable(report));
    QVERIFY(!QFileInfo(files + QStringLiteral("/channel_77")).isSymLink());
    QVERIFY(QFileInfo(files + QStringLiteral("/.incoming")).isDir());
    // The channel's usage counts its own entries and the links, never what they point at.
    QCOMPARE(usages.value(1).bytes, qint64(3));
    QCOMPARE(usages.value(1).entries, 4); // docs, docs/a.txt and the two links

    // Removing a folder that holds a link, and the whole channel, leaves the target alone.
    StoreUsage freed;
    QCOMPARE(store.remove(1, {QStringLiteral("docs")}, [&](StoreUsage f) { freed = f; }),
             unsigned(ERROR_ok));
    store.removeChannel(1);
    FileStore::waitForReleases();
    QCOMPARE(freed.entries, 3);
    QCOMPARE(freed.bytes, qint64(3));
    QVERIFY(QFile::exists(victim + QStringLiteral("/precious.txt")));

    // A store root that is itself a link is not used at all.
    QTemporaryDir other;
    QVERIFY(QFile::link(victim, other.filePath(QStringLiteral("files"))));
    FileStore linked(other.path());
    linked.tidy({1}, &report, &usages);
    QVERIFY(!linked.isEnabled());
    QVERIFY(QFile::exists(victim + QStringLiteral("/precious.txt")));
}

QTEST_GUILESS_MAIN(tst_FileStoreCommit)
#include "tst_filestore_commit.moc"
