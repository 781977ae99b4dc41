// SPDX-License-Identifier: MIT
// The channel file store through the C API: two handlers in this process against a real
// voice-server move files, list, delete and create directories; paths that try to leave a
// store or the chosen local directory are refused on both sides; limits hold; a transfer cut
// by the server stopping leaves no half file anywhere; chat keeps flowing during a transfer.
#include "eventrecorder.h"
#include "filehelpers.h"
#include "voiceserverprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 MiB = 1024 * 1024;

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (int i = 0; i + 4 <= bytes.size(); i += 4) {
        const quint32 word = QRandomGenerator::global()->generate();
        memcpy(bytes.data() + i, &word, 4);
    }
    for (int i = bytes.size() & ~3; i < bytes.size(); ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// A file of that size that costs no disk space and reads fast: holes read as zeros.
bool sparseFile(const QString& path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

qint64 largestFileIn(const QString& directory)
{
    qint64 largest = -1;
    for (const QFileInfo& info :
         QDir(directory).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
        largest = qMax(largest, info.size());
    return largest;
}

// {size, done} of a transfer, or {-1, -1} when the library does not know it.
QPair<qint64, qint64> progress(uint64 h, anyID id)
{
    uint64 size = 0, done = 0;
    if (ts3client_getTransferFileSize(h, id, &size) != ERROR_ok ||
        ts3client_getTransferFileSizeDone(h, id, &done) != ERROR_ok)
        return {-1, -1};
    return {qint64(size), qint64(done)};
}

int transferSender(uint64 h, anyID id)
{
    int sender = -1;
    return ts3client_isTransferSender(h, id, &sender) == ERROR_ok ? sender : -2;
}

struct Entry
{
    QString name;
    quint64 size = 0;
    quint64 datetime = 0;
    int type = -1;
    quint64 incomplete = 0;
};

} // namespace

class tst_FileTransfer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void roundTrip_data();
    void roundTrip();
    void overwriting();
    void directoriesAndDeletion();
    void channelPasswordsAndUnknownChannels();
    void serverRefusesEscapes_data();
    void serverRefusesEscapes();
    void libraryRefusesUnsafeLocalNames_data();
    void libraryRefusesUnsafeLocalNames();
    void linksInTheStoreAreNotFollowed();
    void sizeAndQuotaLimits();
    void deletingAChannelRemovesItsStore();
    void argumentsAndStates();
    void transferCutByStoppingTheServer();
    void chatFlowsDuringABigTransfer();

private:
    // Starts a transfer and waits for its end; returns the status event.
    Event upload(uint64 h, const QString& remote, const QString& sourceDirectory, int overwrite = 1,
                 const char* password = nullptr, uint64 channel = 1);
    Event download(uint64 h, const QString& remote, const QString& destination, int overwrite = 1,
                   const char* password = nullptr, uint64 channel = 1);
    Event finish(uint64 h, anyID id, int timeoutMs = 30000);
    // A listing's entries, or none with *error set to the server's error code.
    QList<Entry> list(uint64 h, const QString& path, unsigned int* error = nullptr,
                      const char* password = nullptr, uint64 channel = 1);
    Event serverError(uint64 h);

    VoiceServerProcess m_server{{QStringLiteral("--max-file-mib"), QStringLiteral("2048"),
                                 QStringLiteral("--quota-mib"), QStringLiteral("8192")}};
    uint64 m_alice = 0;
    uint64 m_bob = 0;
    QTemporaryDir m_work;
    QString m_source;
    QString m_target;
    int m_round = 0;
};

void tst_FileTransfer::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_alice), unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_bob), unsigned(ERROR_ok));
    QVERIFY(connectHandler(m_alice, m_server.port(), "alice"));
    QVERIFY(connectHandler(m_bob, m_server.port(), "bob"));
}

void tst_FileTransfer::init()
{
    // Fresh local directories per test; the store keeps what earlier tests left.
    ++m_round;
    m_source = QDir(m_work.path()).filePath(QStringLiteral("source%1").arg(m_round));
    m_target = QDir(m_work.path()).filePath(QStringLiteral("target%1").arg(m_round));
    QVERIFY(QDir().mkpath(m_source));
    QVERIFY(QDir().mkpath(m_target));
}

void tst_FileTransfer::cleanupTestCase()
{
    ts3client_destroyServerConnectionHandler(m_alice);
    ts3client_destroyServerConnectionHandler(m_bob);
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QVERIFY(m_server.stop());
}

Event tst_FileTransfer::finish(uint64 h, anyID id, int timeoutMs)
{
    return EventRecorder::instance().wait(
        h, "onFileTransferStatusEvent",
        [id](const Event& e) { return e.value("transferID") == id; }, timeoutMs);
}

Event tst_FileTransfer::upload(uint64 h, const QString& remote, const QString& sourceDirectory,
                               int overwrite, const char* password, uint64 channel)
{
    anyID id = 0;
    const unsigned int code =
        ts3client_sendFile(h, channel, password, remote.toUtf8().constData(), overwrite, 0,
                           sourceDirectory.toUtf8().constData(), &id, nullptr);
    if (code != ERROR_ok) {
        Event refused;
        refused.name = QStringLiteral("refused");
        refused.args.insert(QStringLiteral("status"), code);
        return refused;
    }
    // Known as an upload from the moment it started.
    if (transferSender(h, id) != 1)
        return {};
    return finish(h, id);
}

Event tst_FileTransfer::download(uint64 h, const QString& remote, const QString& destination,
                                 int overwrite, const char* password, uint64 channel)
{
    anyID id = 0;
    const unsigned int code =
        ts3client_requestFile(h, channel, password, remote.toUtf8().constData(), overwrite, 0,
                              destination.toUtf8().constData(), &id, nullptr);
    if (code != ERROR_ok) {
        Event refused;
        refused.name = QStringLiteral("refused");
        refused.args.insert(QStringLiteral("status"), code);
        return refused;
    }
    if (transferSender(h, id) != 0)
        return {};
    return finish(h, id);
}

QList<Entry> tst_FileTransfer::list(uint64 h, const QString& path, unsigned int* error,
                                    const char* password, uint64 channel)
{
    EventRecorder& recorder = EventRecorder::instance();
    const QString returnCode =
        QStringLiteral("list-%1").arg(QRandomGenerator::global()->generate());
    if (error)
        *error = ERROR_ok;
    if (ts3client_requestFileList(h, channel, password, path.toUtf8().constData(),
                                  returnCode.toUtf8().constData()) != ERROR_ok) {
        if (error)
            *error = ERROR_undefined;
        return {};
    }
    // The request ends with the server's answer to its return code: 0 after the listing, or
    // the error.
    const Event answer = recorder.wait(h, "onServerErrorEvent", [&](const Event& e) {
        return e.text("returnCode") == returnCode;
    });
    if (answer.name.isEmpty() || answer.value("error") != ERROR_ok) {
        if (error)
            *error =
                answer.name.isEmpty() ? unsigned(ERROR_undefined) : unsigned(answer.value("error"));
        return {};
    }
    const Event finished = recorder.wait(h, "onFileListFinishedEvent",
                                         [&](const Event& e) { return e.text("path") == path; });
    if (finished.name.isEmpty() || finished.args.value("channelID").toULongLong() != channel) {
        if (error)
            *error = ERROR_undefined;
        return {};
    }
    QList<Entry> entries;
    for (;;) {
        const Event e = recorder.wait(
            h, "onFileListEvent",
            [&](const Event& e) { return e.text("returnCode") == returnCode; }, 0);
        if (e.name.isEmpty())
            break;
        if (e.text("path") != path || e.args.value("channelID").toULongLong() != channel)
            continue;
        entries.append({e.text("name"), e.args.value("size").toULongLong(),
                        e.args.value("datetime").toULongLong(), e.value("type"),
                        e.args.value("incompletesize").toULongLong()});
    }
    return entries;
}

Event tst_FileTransfer::serverError(uint64 h)
{
    return EventRecorder::instance().wait(h, "onServerErrorEvent");
}

void tst_FileTransfer::roundTrip_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty file") << "/trip/empty.txt" << qint64(0);
    QTest::newRow("small") << "/trip/small.txt" << qint64(1000);
    QTest::newRow("several chunks, odd size") << "/trip/chunks.bin" << 3 * MiB + 17;
    QTest::newRow("nested directories created") << "/trip/a/b/c/deep.bin" << qint64(70000);
    QTest::newRow("non-ASCII names") << QStringLiteral("/trip/Grüße/東京 ü ß.txt") << qint64(5000);
    QTest::newRow("no leading slash") << "trip/plain.txt" << qint64(10);
}

void tst_FileTransfer::roundTrip()
{
    QFETCH(QString, remote);
    QFETCH(qint64, size);
    const QString name = remote.mid(remote.lastIndexOf(QLatin1Char('/')) + 1);
    const QByteArray content = randomBytes(size);
    QVERIFY(writeFile(QDir(m_source).filePath(name), content));

    const Event sent = upload(m_alice, remote, m_source);
    QCOMPARE(sent.name, QStringLiteral("onFileTransferStatusEvent"));
    QCOMPARE(sent.value("status"), int(ERROR_file_transfer_complete));
    QCOMPARE(sent.args.value("remotefileSize").toLongLong(), size);
    QCOMPARE(sent.value("isSender"), 1);
    QCOMPARE(transferSender(m_alice, anyID(sent.value("transferID"))), 1);

    // The other user sees it in the listing of its directory.
    const QString directory = remote.left(remote.lastIndexOf(QLatin1Char('/')));
    const QList<Entry> entries = list(m_bob, directory.isEmpty() ? QStringLiteral("/") : directory);
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&](const Entry& e) { return e.name == name; });
    QVERIFY2(it != entries.end(), qPrintable(remote));
    QCOMPARE(it->type, 1);
    QCOMPARE(qint64(it->size), size);
    QCOMPARE(it->incomplete, quint64(0));
    QVERIFY(qAbs(qint64(it->datetime) - QDateTime::currentSecsSinceEpoch()) < 3600);

    const Event got = download(m_bob, remote, m_target);
    QCOMPARE(got.value("status"), int(ERROR_file_transfer_complete));
    QCOMPARE(got.value("isSender"), 0);
    QCOMPARE(got.args.value("remotefileSize").toLongLong(), size);
    QCOMPARE(readFile(QDir(m_target).filePath(name)), content);
    // Both ends count every byte as done.
    QCOMPARE(progress(m_alice, anyID(sent.value("transferID"))), qMakePair(size, size));
    QCOMPARE(progress(m_bob, anyID(got.value("transferID"))), qMakePair(size, size));
    // Nothing else was left in the destination.
    QCOMPARE(filesBelow(m_target), QStringList{name});
    // Transfer IDs are per handler and distinct.
    QVERIFY(sent.value("transferID") != 0 && got.value("transferID") != 0);
}

void tst_FileTransfer::overwriting()
{
    const QString file = QDir(m_source).filePath(QStringLiteral("doc.txt"));
    QVERIFY(writeFile(file, "first version"));
    QCOMPARE(upload(m_alice, "/over/doc.txt", m_source).value("status"),
             int(ERROR_file_transfer_complete));
    QVERIFY(writeFile(file, "second, longer version"));
    QCOMPARE(upload(m_alice, "/over/doc.txt", m_source).value("status"),
             int(ERROR_file_transfer_complete));
    QCOMPARE(download(m_bob, "/over/doc.txt", m_target).value("status"),
             int(ERROR_file_transfer_complete));
    QCOMPARE(readFile(QDir(m_target).filePath("doc.txt")), QByteArray("second, longer version"));

    // Without overwrite the server keeps the file, and the library keeps a local one.
    QVERIFY(writeFile(file, "third"));
    const Event kept = upload(m_alice, "/over/doc.txt", m_source, 0);
    QCOMPARE(kept.value("status"), int(ERROR_file_already_exists));
    QCOMPARE(kept.value("isSender"), 1);
    QCOMPARE(download(m_bob, "/over/doc.txt", m_target, 0).value("status"),
             int(ERROR_file_already_exists));
    QCOMPARE(download(m_bob, "/over/doc.txt", m_target).value("status"),
             int(ERROR_file_transfer_complete));
    QCOMPARE(readFile(QDir(m_target).filePath("doc.txt")), QByteArray("second, longer version"));

    // A directory of that name is never replaced by a file.
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/over/dir.txt", nullptr),
             unsigned(ERROR_ok));
    QVERIFY(writeFile(QDir(m_source).filePath("dir.txt"), "x"));
    QCOMPARE(upload(m_alice, "/over/dir.txt", m_source).value("status"),
             int(ERROR_file_already_exists));
}

void tst_FileTransfer::directoriesAndDeletion()
{
    EventRecorder& recorder = EventRecorder::instance();
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/meet", nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/meet/files/x/y", "mk"),
             unsigned(ERROR_ok));
    QCOMPARE(recorder
                 .wait(m_alice, "onServerErrorEvent",
                       [](const Event& e) { return e.text("returnCode") == "mk"; })
                 .value("error"),
             int(ERROR_ok));
    QList<Entry> entries = list(m_bob, "/meet/files/x");
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).name, QStringLiteral("y"));
    QCOMPARE(entries.at(0).type, 0);

    // Creating what exists, or below a file, fails as a server error naming the path.
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/meet/files/x", nullptr),
             unsigned(ERROR_ok));
    Event error = serverError(m_alice);
    QCOMPARE(error.value("error"), int(ERROR_file_already_exists));
    QCOMPARE(error.text("extraMessage"), QStringLiteral("/meet/files/x"));
    QVERIFY(writeFile(QDir(m_source).filePath("note.txt"), "note"));
    QCOMPARE(upload(m_alice, "/meet/files/note.txt", m_source).value("status"),
             int(ERROR_file_transfer_complete));
    QCOMPARE(
        ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/meet/files/note.txt/sub", nullptr),
        unsigned(ERROR_ok));
    QCOMPARE(serverError(m_alice).value("error"), int(ERROR_file_not_a_directory));
    unsigned int code = 0;
    list(m_bob, "/meet/files/note.txt", &code);
    QCOMPARE(code, unsigned(ERROR_file_not_a_directory));
    list(m_bob, "/meet/missing", &code);
    QCOMPARE(code, unsigned(ERROR_file_not_found));

    // Deleting: each failure is its own error; the rest is done.
    QVERIFY(writeFile(QDir(m_source).filePath(QStringLiteral("Ärger.txt")), "umlaut"));
    QCOMPARE(upload(m_alice, QStringLiteral("/meet/files/Ärger.txt"), m_source).value("status"),
             int(ERROR_file_transfer_complete));
    const QByteArray umlaut = QStringLiteral("/meet/files/Ärger.txt").toUtf8();
    const char* doomed[] = {"/meet/files/note.txt", "/meet/files/none.txt", umlaut.constData(),
                            nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_bob, 1, nullptr, doomed, "del"), unsigned(ERROR_ok));
    error = recorder.wait(m_bob, "onServerErrorEvent",
                          [](const Event& e) { return e.text("returnCode") == "del"; });
    QCOMPARE(error.value("error"), int(ERROR_file_not_found));
    QCOMPARE(error.text("extraMessage"), QStringLiteral("/meet/files/none.txt"));
    entries = list(m_bob, "/meet/files");
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).name, QStringLiteral("x"));

    // A directory goes with its content; an empty list is fine.
    const char* tree[] = {"/meet/files/x", nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_bob, 1, nullptr, tree, nullptr), unsigned(ERROR_ok));
    const char* nothing[] = {nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_bob, 1, nullptr, nothing, "none"), unsigned(ERROR_ok));
    QCOMPARE(recorder
                 .wait(m_bob, "onServerErrorEvent",
                       [](const Event& e) { return e.text("returnCode") == "none"; })
                 .value("error"),
             int(ERROR_ok));
    QVERIFY(list(m_bob, "/meet/files").isEmpty());
    // The root itself cannot be deleted.
    const char* root[] = {"/", nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_bob, 1, nullptr, root, nullptr), unsigned(ERROR_ok));
    QCOMPARE(serverError(m_bob).value("error"), int(ERROR_file_invalid_path));
}

void tst_FileTransfer::channelPasswordsAndUnknownChannels()
{
    ts3client_setChannelVariableAsString(m_alice, 0, CHANNEL_NAME, "locked");
    ts3client_setChannelVariableAsString(m_alice, 0, CHANNEL_PASSWORD, "secret");
    QCOMPARE(ts3client_flushChannelCreation(m_alice, 0, nullptr), unsigned(ERROR_ok));
    const Event created = EventRecorder::instance().wait(m_alice, "onNewChannelCreatedEvent");
    const uint64 locked = created.args.value("channelID").toULongLong();
    QVERIFY(locked > 1);

    QVERIFY(writeFile(QDir(m_source).filePath("s.txt"), "classified"));
    QCOMPARE(upload(m_alice, "/s.txt", m_source, 1, nullptr, locked).value("status"),
             int(ERROR_channel_invalid_password));
    QCOMPARE(upload(m_alice, "/s.txt", m_source, 1, "wrong", locked).value("status"),
             int(ERROR_channel_invalid_password));
    QCOMPARE(upload(m_alice, "/s.txt", m_source, 1, "secret", locked).value("status"),
             int(ERROR_file_transfer_complete));
    unsigned int code = 0;
    list(m_bob, "/", &code, "wrong", locked);
    QCOMPARE(code, unsigned(ERROR_channel_invalid_password));
    QCOMPARE(download(m_bob, "/s.txt", m_target, 1, nullptr, locked).value("status"),
             int(ERROR_channel_invalid_password));
    const QList<Entry> entries = list(m_bob, "/", &code, "secret", locked);
    QCOMPARE(code, unsigned(ERROR_ok));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(download(m_bob, "/s.txt", m_target, 1, "secret", locked).value("status"),
             int(ERROR_file_transfer_complete));
    // Channel 1's store is another one.
    QCOMPARE(download(m_bob, "/s.txt", m_target, 1).value("status"), int(ERROR_file_not_found));

    list(m_bob, "/", &code, nullptr, 999999);
    QCOMPARE(code, unsigned(ERROR_channel_invalid_id));
    QCOMPARE(upload(m_alice, "/s.txt", m_source, 1, nullptr, 999999).value("status"),
             int(ERROR_channel_invalid_id));
}

void tst_FileTransfer::serverRefusesEscapes_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent at the top") << "/../evil.txt";
    QTest::newRow("parent below") << "/a/../../evil.txt";
    QTest::newRow("parent without slash") << "../evil.txt";
    QTest::newRow("dot segment") << "/./evil.txt";
    QTest::newRow("backslash") << "/a\\b/evil.txt";
    QTest::newRow("backslash parent") << "/..\\x/evil.txt";
    QTest::newRow("control character") << QStringLiteral("/a\u0001b/evil.txt");
    QTest::newRow("too deep") << QString(QStringLiteral("/d").repeated(40) + "/evil.txt");
    QTest::newRow("segment too long") << QString("/" + QString(300, 'n') + "/evil.txt");
    QTest::newRow("path too long")
        << QString(QStringLiteral("/abcdefghi").repeated(110) + "/evil.txt");
}

void tst_FileTransfer::serverRefusesEscapes()
{
    QFETCH(QString, path);
    const QByteArray utf8 = path.toUtf8();
    QVERIFY(writeFile(QDir(m_source).filePath("evil.txt"), "evil"));
    const QStringList before = filesBelow(m_server.dataDirectory());

    // The library passes these on (their last segment is harmless); the server refuses them.
    QCOMPARE(upload(m_alice, path, m_source).value("status"), int(ERROR_file_invalid_path));
    QCOMPARE(download(m_bob, path, m_target).value("status"), int(ERROR_file_invalid_path));
    unsigned int code = 0;
    list(m_bob, path, &code);
    QCOMPARE(code, unsigned(ERROR_file_invalid_path));
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, utf8.constData(), nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(serverError(m_alice).value("error"), int(ERROR_file_invalid_path));
    const char* paths[] = {utf8.constData(), nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_alice, 1, nullptr, paths, nullptr), unsigned(ERROR_ok));
    QCOMPARE(serverError(m_alice).value("error"), int(ERROR_file_invalid_path));

    // Nothing appeared anywhere: not in the data directory, not next to it.
    QCOMPARE(filesBelow(m_server.dataDirectory()), before);
    QVERIFY(!QFile::exists(QDir(m_server.dataDirectory()).filePath("../evil.txt")));
    QCOMPARE(filesBelow(m_target), QStringList());
}

void tst_FileTransfer::libraryRefusesUnsafeLocalNames_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<unsigned int>("code");
    QTest::newRow("parent") << "/files/.." << unsigned(ERROR_file_invalid_name);
    QTest::newRow("bare parent") << ".." << unsigned(ERROR_file_invalid_name);
    QTest::newRow("dot") << "/files/." << unsigned(ERROR_file_invalid_name);
    QTest::newRow("trailing slash") << "/files/" << unsigned(ERROR_file_invalid_name);
    QTest::newRow("only a slash") << "/" << unsigned(ERROR_file_invalid_name);
    QTest::newRow("backslash up") << "/files/..\\..\\escape" << unsigned(ERROR_file_invalid_name);
    QTest::newRow("control character")
        << QStringLiteral("/files/a\u001Bb") << unsigned(ERROR_file_invalid_name);
    QTest::newRow("name too long")
        << QString("/files/" + QString(256, 'x')) << unsigned(ERROR_file_invalid_name);
    QTest::newRow("empty") << "" << unsigned(ERROR_parameter_missing);
}

void tst_FileTransfer::libraryRefusesUnsafeLocalNames()
{
    QFETCH(QString, remote);
    QFETCH(unsigned int, code);
    EventRecorder::instance().claimAll(m_bob, "onFileTransferStatusEvent");
    const QString parent = QFileInfo(m_target).absolutePath();
    const QStringList before = QDir(parent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    anyID id = 0;
    QCOMPARE(ts3client_requestFile(m_bob, 1, nullptr, remote.toUtf8().constData(), 1, 0,
                                   m_target.toUtf8().constData(), &id, nullptr),
             code);
    QCOMPARE(ts3client_sendFile(m_bob, 1, nullptr, remote.toUtf8().constData(), 1, 0,
                                m_source.toUtf8().constData(), &id, nullptr),
             code);
    QCOMPARE(id, anyID(0));
    const int statuses =
        EventRecorder::instance().events(m_bob, "onFileTransferStatusEvent").size();
    QTest::qWait(200);
    QCOMPARE(EventRecorder::instance().events(m_bob, "onFileTransferStatusEvent").size(), statuses);
    QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QCOMPARE(filesBelow(m_target), QStringList());
}

void tst_FileTransfer::linksInTheStoreAreNotFollowed()
{
    // An outside directory and file, reachable only through links planted in the store.
    QTemporaryDir outside;
    QVERIFY(writeFile(QDir(outside.path()).filePath("secret.txt"), "secret"));
    const QString store = QDir(m_server.dataDirectory()).filePath("files/channel_1");
    QVERIFY(QDir().mkpath(store + "/linked"));
    QVERIFY(QFile::link(outside.path(), store + "/linked/dir"));
    QVERIFY(QFile::link(QDir(outside.path()).filePath("secret.txt"), store + "/linked/file"));

    unsigned int code = 0;
    list(m_bob, "/linked/dir", &code);
    QCOMPARE(code, unsigned(ERROR_file_invalid_path));
    const QList<Entry> entries = list(m_bob, "/linked");
    QVERIFY2(entries.isEmpty(), "links are not listed");
    QCOMPARE(download(m_bob, "/linked/dir/secret.txt", m_target).value("status"),
             int(ERROR_file_invalid_path));
    QCOMPARE(download(m_bob, "/linked/file", m_target).value("status"),
             int(ERROR_file_invalid_path));
    QVERIFY(writeFile(QDir(m_source).filePath("planted.txt"), "planted"));
    QCOMPARE(upload(m_alice, "/linked/dir/planted.txt", m_source).value("status"),
             int(ERROR_file_invalid_path));
    QCOMPARE(upload(m_alice, "/linked/file", m_source).value("status"),
             int(ERROR_file_not_found)); // no local file "file"; the library stops first
    QVERIFY(writeFile(QDir(m_source).filePath("file"), "replacement"));
    QCOMPARE(upload(m_alice, "/linked/file", m_source).value("status"),
             int(ERROR_file_invalid_path));
    const char* paths[] = {"/linked/dir/secret.txt", nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_alice, 1, nullptr, paths, nullptr), unsigned(ERROR_ok));
    QCOMPARE(serverError(m_alice).value("error"), int(ERROR_file_invalid_path));
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "/linked/dir/new", nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(serverError(m_alice).value("error"), int(ERROR_file_invalid_path));

    QCOMPARE(filesBelow(outside.path()), QStringList{"secret.txt"});
    QCOMPARE(readFile(QDir(outside.path()).filePath("secret.txt")), QByteArray("secret"));
    // Deleting the directory holding the links removes the links, not what they point to.
    const char* linked[] = {"/linked", nullptr};
    QCOMPARE(ts3client_requestDeleteFile(m_alice, 1, nullptr, linked, "rm"), unsigned(ERROR_ok));
    QCOMPARE(EventRecorder::instance()
                 .wait(m_alice, "onServerErrorEvent",
                       [](const Event& e) { return e.text("returnCode") == "rm"; })
                 .value("error"),
             int(ERROR_ok));
    QCOMPARE(readFile(QDir(outside.path()).filePath("secret.txt")), QByteArray("secret"));
}

void tst_FileTransfer::sizeAndQuotaLimits()
{
    VoiceServerProcess small{{QStringLiteral("--max-file-mib"), QStringLiteral("1"),
                              QStringLiteral("--quota-mib"), QStringLiteral("2"),
                              QStringLiteral("--server-quota-mib"), QStringLiteral("3")}};
    QVERIFY2(small.start(), qPrintable(small.log()));
    uint64 h = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
    QVERIFY(connectHandler(h, small.port(), "carol"));

    QVERIFY(writeFile(QDir(m_source).filePath("big.bin"), randomBytes(MiB + 1)));
    const Event tooLarge = upload(h, "/big.bin", m_source);
    QCOMPARE(tooLarge.value("status"), int(ERROR_file_too_large));
    QVERIFY(!tooLarge.text("statusMessage").isEmpty());
    QVERIFY(writeFile(QDir(m_source).filePath("max.bin"), randomBytes(MiB)));
    QCOMPARE(upload(h, "/max.bin", m_source).value("status"), int(ERROR_file_transfer_complete));

    const QByteArray part = randomBytes(700 * 1024);
    QVERIFY(writeFile(QDir(m_source).filePath("p1.bin"), part));
    QVERIFY(writeFile(QDir(m_source).filePath("p2.bin"), part));
    QCOMPARE(upload(h, "/p1.bin", m_source).value("status"), int(ERROR_file_transfer_complete));
    QCOMPARE(upload(h, "/p2.bin", m_source).value("status"), int(ERROR_file_quota_exceeded));
    // Replacing a file counts only the difference.
    QCOMPARE(upload(h, "/p1.bin", m_source).value("status"), int(ERROR_file_transfer_complete));
    // Room comes back when files go.
    const char* doomed[] = {"/max.bin", nullptr};
    QCOMPARE(ts3client_requestDeleteFile(h, 1, nullptr, doomed, "gone"), unsigned(ERROR_ok));
    QCOMPARE(EventRecorder::instance()
                 .wait(h, "onServerErrorEvent",
                       [](const Event& e) { return e.text("returnCode") == "gone"; })
                 .value("error"),
             int(ERROR_ok));
    QCOMPARE(upload(h, "/p2.bin", m_source).value("status"), int(ERROR_file_transfer_complete));
    QCOMPARE(filesBelow(QDir(small.dataDirectory()).filePath("files")),
             (QStringList{"channel_1/p1.bin", "channel_1/p2.bin"}));

    // Every channel has its own quota, and all of them together the server's.
    ts3client_setChannelVariableAsString(h, 0, CHANNEL_NAME, "second");
    QCOMPARE(ts3client_flushChannelCreation(h, 0, nullptr), unsigned(ERROR_ok));
    const uint64 second = EventRecorder::instance()
                              .wait(h, "onNewChannelCreatedEvent")
                              .args.value("channelID")
                              .toULongLong();
    QCOMPARE(upload(h, "/max.bin", m_source, 1, nullptr, second).value("status"),
             int(ERROR_file_transfer_complete));
    const Event full = upload(h, "/p1.bin", m_source, 1, nullptr, second);
    QCOMPARE(full.value("status"), int(ERROR_file_quota_exceeded));
    QVERIFY(full.text("statusMessage").contains(QStringLiteral("server")));

    ts3client_stopConnection(h, "");
    QCOMPARE(ts3client_destroyServerConnectionHandler(h), unsigned(ERROR_ok));
    QVERIFY(small.stop());
}

void tst_FileTransfer::deletingAChannelRemovesItsStore()
{
    ts3client_setChannelVariableAsString(m_alice, 0, CHANNEL_NAME, "short lived");
    QCOMPARE(ts3client_flushChannelCreation(m_alice, 0, nullptr), unsigned(ERROR_ok));
    const uint64 channel = EventRecorder::instance()
                               .wait(m_alice, "onNewChannelCreatedEvent")
                               .args.value("channelID")
                               .toULongLong();
    QVERIFY(writeFile(QDir(m_source).filePath("f.txt"), "f"));
    QCOMPARE(upload(m_alice, "/sub/f.txt", m_source, 1, nullptr, channel).value("status"),
             int(ERROR_file_transfer_complete));
    const QString store =
        QDir(m_server.dataDirectory()).filePath(QStringLiteral("files/channel_%1").arg(channel));
    QVERIFY(QFile::exists(store + "/sub/f.txt"));
    QCOMPARE(ts3client_requestChannelDelete(m_alice, channel, 1, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance().wait(m_alice, "onDelChannelEvent").name.isEmpty());
    QVERIFY(!QFileInfo::exists(store));
}

void tst_FileTransfer::argumentsAndStates()
{
    anyID id = 0;
    int sender = 0;
    QCOMPARE(ts3client_isTransferSender(m_alice, 0xFFF0, &sender),
             unsigned(ERROR_file_invalid_transfer_id));
    QCOMPARE(ts3client_isTransferSender(m_alice, 1, nullptr), unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_isTransferSender(987654, 1, &sender),
             unsigned(ERROR_connection_handler_invalid));
    uint64 bytes = 0;
    QCOMPARE(ts3client_getTransferFileSizeDone(m_alice, 0xFFF0, &bytes),
             unsigned(ERROR_file_invalid_transfer_id));
    QCOMPARE(ts3client_getTransferFileSize(m_alice, 1, nullptr), unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_sendFile(m_alice, 0, nullptr, "/a.txt", 1, 0, m_source.toUtf8().constData(),
                                &id, nullptr),
             unsigned(ERROR_channel_invalid_id));
    QCOMPARE(ts3client_sendFile(m_alice, 1, nullptr, "/a.txt", 1, 0, m_source.toUtf8().constData(),
                                nullptr, nullptr),
             unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_sendFile(m_alice, 1, nullptr, "/missing.txt", 1, 0,
                                m_source.toUtf8().constData(), &id, nullptr),
             unsigned(ERROR_file_not_found));
    QCOMPARE(ts3client_requestFile(m_alice, 1, nullptr, "/a.txt", 1, 0,
                                   (m_target + "/no/such/dir").toUtf8().constData(), &id, nullptr),
             unsigned(ERROR_file_not_found));
    QCOMPARE(ts3client_requestDeleteFile(m_alice, 1, nullptr, nullptr, nullptr),
             unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_requestCreateDirectory(m_alice, 1, nullptr, "", nullptr),
             unsigned(ERROR_parameter_missing));
    QCOMPARE(ts3client_requestFileList(m_alice, 1, nullptr, "/", QByteArray(65, 'r').constData()),
             unsigned(ERROR_parameter_too_long));

    // A handler that is not connected starts nothing.
    uint64 idle = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &idle), unsigned(ERROR_ok));
    QVERIFY(writeFile(QDir(m_source).filePath("a.txt"), "a"));
    QCOMPARE(ts3client_sendFile(idle, 1, nullptr, "/a.txt", 1, 0, m_source.toUtf8().constData(),
                                &id, nullptr),
             unsigned(ERROR_connection_not_connected));
    QCOMPARE(ts3client_requestFileList(idle, 1, nullptr, "/", nullptr),
             unsigned(ERROR_connection_not_connected));
    QCOMPARE(ts3client_destroyServerConnectionHandler(idle), unsigned(ERROR_ok));

    // IDs of one handler differ while it remembers them.
    QSet<anyID> ids;
    for (int i = 0; i < 3; ++i) {
        const Event e = upload(m_alice, "/ids/a.txt", m_source);
        QCOMPARE(e.value("status"), int(ERROR_file_transfer_complete));
        ids.insert(anyID(e.value("transferID")));
    }
    QCOMPARE(ids.size(), 3);
    for (anyID known : qAsConst(ids))
        QCOMPARE(transferSender(m_alice, known), 1);
}

void tst_FileTransfer::transferCutByStoppingTheServer()
{
    VoiceServerProcess server{{QStringLiteral("--max-file-mib"), QStringLiteral("4096"),
                               QStringLiteral("--quota-mib"), QStringLiteral("8192")}};
    QVERIFY2(server.start(), qPrintable(server.log()));
    uint64 h = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
    QVERIFY(connectHandler(h, server.port(), "dave"));
    const QString store = QDir(server.dataDirectory()).filePath("files/channel_1");
    const QString incoming = QDir(server.dataDirectory()).filePath("files/.incoming");

    // Upload: the server stops while the bytes arrive.
    QVERIFY(sparseFile(QDir(m_source).filePath("huge.bin"), 3 * 1024 * MiB));
    anyID up = 0;
    QCOMPARE(ts3client_sendFile(h, 1, nullptr, "/cut/huge.bin", 1, 0, m_source.toUtf8().constData(),
                                &up, nullptr),
             unsigned(ERROR_ok));
    QTRY_VERIFY_WITH_TIMEOUT(largestFileIn(incoming) > 4 * MiB, 20000);
    QVERIFY(server.stop());
    const Event upEnd = finish(h, up);
    QCOMPARE(upEnd.name, QStringLiteral("onFileTransferStatusEvent"));
    QVERIFY(upEnd.value("status") != ERROR_file_transfer_complete);
    QVERIFY(!upEnd.text("statusMessage").isEmpty());
    QCOMPARE(upEnd.value("isSender"), 1);
    QCOMPARE(filesBelow(QDir(server.dataDirectory()).filePath("files")), QStringList());

    // Download: a large file already in the store; the server stops while it streams.
    QVERIFY(server.start());
    QVERIFY(connectHandler(h, server.port(), "dave"));
    QVERIFY(sparseFile(store + "/cut/huge.bin", 3 * 1024 * MiB));
    anyID down = 0;
    QCOMPARE(ts3client_requestFile(h, 1, nullptr, "/cut/huge.bin", 1, 0,
                                   m_target.toUtf8().constData(), &down, nullptr),
             unsigned(ERROR_ok));
    // The download's temporary file may have no name at all; the server's log tells it runs.
    QTRY_VERIFY_WITH_TIMEOUT(server.log().contains("download of 'cut/huge.bin'"), 20000);
    QTest::qWait(100);
    QVERIFY(server.stop());
    const Event downEnd = finish(h, down);
    QCOMPARE(downEnd.name, QStringLiteral("onFileTransferStatusEvent"));
    QVERIFY(downEnd.value("status") != ERROR_file_transfer_complete);
    QCOMPARE(downEnd.value("isSender"), 0);
    // Neither the final name nor a temporary file is left.
    QCOMPARE(filesBelow(m_target), QStringList());

    QCOMPARE(ts3client_destroyServerConnectionHandler(h), unsigned(ERROR_ok));
}

void tst_FileTransfer::chatFlowsDuringABigTransfer()
{
    EventRecorder& recorder = EventRecorder::instance();
    const QString store = QDir(m_server.dataDirectory()).filePath("files/channel_1");
    QVERIFY(sparseFile(store + "/big/movie.bin", 512 * MiB));
    anyID id = 0;
    QCOMPARE(ts3client_requestFile(m_bob, 1, nullptr, "/big/movie.bin", 1, 0,
                                   m_target.toUtf8().constData(), &id, nullptr),
             unsigned(ERROR_ok));
    QTRY_VERIFY_WITH_TIMEOUT(m_server.log().contains("download of 'big/movie.bin'"), 20000);
    // The download is running; a text from the other user still gets through to its receiver
    // before the transfer ends.
    QCOMPARE(ts3client_requestSendChannelTextMsg(m_alice, "during the transfer", 1, nullptr),
             unsigned(ERROR_ok));
    QVERIFY(!recorder
                 .wait(m_bob, "onTextMessageEvent",
                       [](const Event& e) { return e.text("message") == "during the transfer"; })
                 .name.isEmpty());
    // Callbacks come in order: the transfer's end is not among them yet.
    for (const Event& e : recorder.events(m_bob, "onFileTransferStatusEvent"))
        QVERIFY2(e.value("transferID") != id, "the text waited for the transfer");
    // Its progress can be followed meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(progress(m_bob, id).second > 0, 20000);
    const QPair<qint64, qint64> midway = progress(m_bob, id);
    QCOMPARE(midway.first, 512 * MiB);
    QVERIFY2(midway.second < midway.first, "no progress seen before the end");
    QCOMPARE(finish(m_bob, id, 120000).value("status"), int(ERROR_file_transfer_complete));
    QCOMPARE(QFileInfo(QDir(m_target).filePath("movie.bin")).size(), 512 * MiB);
    QFile::remove(QDir(m_target).filePath("movie.bin"));
    QFile::remove(store + "/big/movie.bin");
}

QTEST_GUILESS_MAIN(tst_FileTransfer)
#include "tst_filetransfer.moc"
