// SPDX-License-Identifier: MIT
// The server's file store on its own: uploads put in place from two workers at once.
#include "filestore.h"

#include "voicesdk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using voiceserver::FileStore;

class tst_FileStoreCommit : public QObject
{
    Q_OBJECT
private slots:
    void concurrentUploadsWithoutOverwriteKeepTheFirst();
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
            codes[i] = store.commit(1, {QStringLiteral("race.txt")}, names[i], false);
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

QTEST_GUILESS_MAIN(tst_FileStoreCommit)
#include "tst_filestore_commit.moc"
