// SPDX-License-Identifier: MIT
// The file store's wire protocol spoken by hand on raw sockets: keys that are unknown, used
// twice or expired; uploads that send too much, stop half way or stall; too many transfers;
// path escapes and malformed requests. The server stays up and keeps serving chat.
#include "eventrecorder.h"
#include "filehelpers.h"
#include "rawpeer.h"
#include "storepath.h"
#include "voiceserverprocess.h"

#include <QCborArray>
#include <QCborValue>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTcpSocket>

using namespace voicesdk::protocol;

namespace {

QCborMap upload(int id, const QString& path, qint64 size)
{
    return QCborMap{{TypeKey, type::FtUpload}, {field::TransferId, id}, {field::ChannelId, 1},
                    {field::Path, path},       {field::Size, size},     {field::Overwrite, true}};
}

QCborMap download(int id, const QString& path)
{
    return QCborMap{{TypeKey, type::FtDownload},
                    {field::TransferId, id},
                    {field::ChannelId, 1},
                    {field::Path, path}};
}

QCborMap transferHello(const QByteArray& key)
{
    return QCborMap{{TypeKey, type::Transfer}, {field::Key, key}};
}

} // namespace

class tst_FileStoreProtocol : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void storePathRules_data();
    void storePathRules();
    void uploadAndDownloadByHand();
    void unknownReusedAndExpiredKeysCloseTheConnection();
    void uploadSendingTooMuchIsDiscarded();
    void cutAndStalledUploadsLeaveNothing();
    void uploadClosedRightAfterItsLastByteIsKept();
    void uploadOfAClientLeavingAtItsEndIsWholeOrNothing();
    void transfersPerClientAreBounded();
    void escapesAreRefused_data();
    void escapesAreRefused();
    void malformedRequestsCloseOnlyThatConnection_data();
    void malformedRequestsCloseOnlyThatConnection();

private:
    void checkChatStillFlows();
    QByteArray keyFor(RawPeer& control, const QCborMap& request, qint64* size = nullptr);
    QString store() const { return QDir(m_server.dataDirectory()).filePath("files"); }

    VoiceServerProcess m_server{{QStringLiteral("--transfer-key-ttl-ms"), QStringLiteral("1500"),
                                 QStringLiteral("--transfer-idle-ms"), QStringLiteral("700"),
                                 QStringLiteral("--max-transfers"), QStringLiteral("2")}};
    uint64 m_alice = 0;
    uint64 m_bob = 0;
    int m_round = 0;
};

void tst_FileStoreProtocol::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr),
             unsigned(ERROR_ok));
    for (uint64* h : {&m_alice, &m_bob}) {
        QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, h), unsigned(ERROR_ok));
        QVERIFY(connectHandler(*h, m_server.port(), h == &m_alice ? "alice" : "bob"));
    }
}

void tst_FileStoreProtocol::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QVERIFY2(m_server.stop(), "the server ends cleanly after all of it");
}

void tst_FileStoreProtocol::checkChatStillFlows()
{
    const QByteArray text = "still chatting " + QByteArray::number(++m_round);
    QCOMPARE(ts3client_requestSendChannelTextMsg(m_alice, text.constData(), 1, nullptr),
             unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(m_bob, "onTextMessageEvent",
                       [&](const Event& e) { return e.text("message") == QString(text); })
                 .name.isEmpty());
}

QByteArray tst_FileStoreProtocol::keyFor(RawPeer& control, const QCborMap& request, qint64* size)
{
    control.send(request);
    const QCborMap ready = control.next(type::FtReady);
    if (size)
        *size = ready.value(field::Size).toInteger();
    return ready.value(field::Key).toByteArray();
}

void tst_FileStoreProtocol::storePathRules_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("segments");
    QTest::newRow("root") << "/" << true << QStringList();
    QTest::newRow("empty is the root") << "" << true << QStringList();
    QTest::newRow("nested") << "/a/b/c.txt" << true << QStringList{"a", "b", "c.txt"};
    QTest::newRow("doubled slashes") << "//a///b/" << true << QStringList{"a", "b"};
    QTest::newRow("dots inside names")
        << "/a..b/.hidden/..." << true << QStringList{"a..b", ".hidden", "..."};
    QTest::newRow("non-ASCII") << QStringLiteral("/Grüße/東京") << true
                               << QStringList{QStringLiteral("Grüße"), QStringLiteral("東京")};
    QTest::newRow("255 bytes") << QString("/" + QString(255, 'x')) << true
                               << QStringList{QString(255, 'x')};
    QTest::newRow("parent") << "/a/../b" << false << QStringList();
    QTest::newRow("dot") << "/a/./b" << false << QStringList();
    QTest::newRow("backslash") << "/a\\b" << false << QStringList();
    QTest::newRow("NUL") << QString::fromUtf8("/a\0b", 4) << false << QStringList();
    QTest::newRow("newline") << "/a\nb" << false << QStringList();
    QTest::newRow("DEL") << "/a\x7f" << false << QStringList();
    QTest::newRow("C1 control") << QStringLiteral("/a\u0085b") << false << QStringList();
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << false << QStringList();
    QTest::newRow("256 bytes") << QString("/" + QString(256, 'x')) << false << QStringList();
    QTest::newRow("128 two-byte characters")
        << QString("/" + QString(128, QChar(0xE9))) << false << QStringList();
    QTest::newRow("33 levels") << QString(QStringLiteral("/d").repeated(33)) << false
                               << QStringList();
}

void tst_FileStoreProtocol::storePathRules()
{
    QFETCH(QString, path);
    QFETCH(bool, valid);
    QFETCH(QStringList, segments);
    QStringList got{QStringLiteral("stale")};
    QCOMPARE(splitStorePath(path, &got), valid);
    QCOMPARE(got, segments);
}

void tst_FileStoreProtocol::uploadAndDownloadByHand()
{
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("hand"));
    const QByteArray content = QByteArray("raw bytes ").repeated(1000);

    // The data may follow the key in the same write.
    const QByteArray key = keyFor(control, upload(7, "/hand/made.txt", content.size()));
    QCOMPARE(key.size(), limits::TransferKeySize);
    RawPeer up;
    QVERIFY(up.open(m_server.port()));
    up.write(encodeFrame(transferHello(key)) + content);
    const QCborMap done = up.next(type::TransferDone);
    QCOMPARE(done.value(field::Code).toInteger(), qint64(ERROR_ok));
    QCOMPARE(done.value(field::Size).toInteger(), qint64(content.size()));
    QVERIFY(up.closedByServer());

    qint64 size = 0;
    const QByteArray downKey = keyFor(control, download(8, "/hand/made.txt"), &size);
    QCOMPARE(size, qint64(content.size()));
    RawPeer down;
    QVERIFY(down.open(m_server.port()));
    down.send(transferHello(downKey));
    QCOMPARE(down.next(type::TransferData).value(field::Size).toInteger(), size);
    QByteArray received = down.rawAfterFrame();
    while (received.size() < size && down.socket().waitForReadyRead(2000))
        received += down.socket().readAll();
    QCOMPARE(received, content);

    // Refusals name the transfer and give a reason.
    control.send(download(9, "/hand/none.txt"));
    const QCborMap failed = control.next(type::FtFailed);
    QCOMPARE(failed.value(field::TransferId).toInteger(), 9);
    QCOMPARE(failed.value(field::Code).toInteger(), qint64(ERROR_file_not_found));
    QVERIFY(!failed.value(field::Message).toString().isEmpty());
}

void tst_FileStoreProtocol::unknownReusedAndExpiredKeysCloseTheConnection()
{
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("keys"));

    RawPeer guess;
    QVERIFY(guess.open(m_server.port()));
    guess.send(transferHello(QByteArray(limits::TransferKeySize, 'k')));
    QVERIFY(guess.closedByServer());
    RawPeer shortKey;
    QVERIFY(shortKey.open(m_server.port()));
    shortKey.send(transferHello(QByteArray(4, 'k')));
    QVERIFY(shortKey.closedByServer());

    const QByteArray key = keyFor(control, upload(1, "/keys/once.txt", 3));
    RawPeer first;
    QVERIFY(first.open(m_server.port()));
    first.write(encodeFrame(transferHello(key)) + "abc");
    QCOMPARE(first.next(type::TransferDone).value(field::Code).toInteger(), qint64(ERROR_ok));
    RawPeer second;
    QVERIFY(second.open(m_server.port()));
    second.write(encodeFrame(transferHello(key)) + "xyz");
    QVERIFY(second.closedByServer());

    const QByteArray stale = keyFor(control, upload(2, "/keys/late.txt", 3));
    QVERIFY(!stale.isEmpty());
    QTest::qWait(2000); // past the key's lifetime
    RawPeer late;
    QVERIFY(late.open(m_server.port()));
    late.write(encodeFrame(transferHello(stale)) + "abc");
    QVERIFY(late.closedByServer());
    QVERIFY(!QFile::exists(store() + "/channel_1/keys/late.txt"));
    QVERIFY(QFile::exists(store() + "/channel_1/keys/once.txt"));
    checkChatStillFlows();
}

void tst_FileStoreProtocol::uploadSendingTooMuchIsDiscarded()
{
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("greedy"));
    const QByteArray key = keyFor(control, upload(1, "/greedy/ten.txt", 10));
    RawPeer up;
    QVERIFY(up.open(m_server.port()));
    up.write(encodeFrame(transferHello(key)) + QByteArray(25, 'g'));
    const QCborMap done = up.next(type::TransferDone);
    QCOMPARE(done.value(field::Code).toInteger(), qint64(ERROR_connection_protocol));
    QVERIFY(up.closedByServer());
    QVERIFY(!QFile::exists(store() + "/channel_1/greedy/ten.txt"));
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
}

void tst_FileStoreProtocol::uploadClosedRightAfterItsLastByteIsKept()
{
    // A client may close without waiting for the answer once every byte is out. The file is
    // complete then and is put in place while the connection goes away; a few rounds, as the
    // closing races the worker that moves the file.
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("hasty"));
    const QByteArray content = QByteArray("hasty bytes ").repeated(100);
    for (int round = 0; round < 20; ++round) {
        const QString path = QStringLiteral("/hasty/file%1.txt").arg(round);
        const QByteArray key = keyFor(control, upload(round + 1, path, content.size()));
        QVERIFY(!key.isEmpty());
        RawPeer up;
        QVERIFY(up.open(m_server.port()));
        up.write(encodeFrame(transferHello(key)) + content);
        up.socket().disconnectFromHost();
        QFile stored(store() + "/channel_1" + path);
        QTRY_VERIFY2(stored.exists(), qPrintable(path));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), content);
    }
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
}

void tst_FileStoreProtocol::uploadOfAClientLeavingAtItsEndIsWholeOrNothing()
{
    // The client leaves as its last bytes go out, racing the worker that puts the file in
    // place. Whichever comes first, the log, the store and the answer on the transfer
    // connection tell the same: the whole file kept, or nothing.
    const QByteArray content = QByteArray("leaving bytes ").repeated(100);
    int kept = 0;
    for (int round = 0; round < 12; ++round) {
        RawPeer control;
        QVERIFY(control.open(m_server.port()));
        QVERIFY(control.hello(QStringLiteral("leaver%1").arg(round)));
        const QString path = QStringLiteral("/leaving/file%1.txt").arg(round);
        const QByteArray key = keyFor(control, upload(round + 1, path, content.size()));
        QVERIFY(!key.isEmpty());
        RawPeer up;
        QVERIFY(up.open(m_server.port()));
        up.write(encodeFrame(transferHello(key)) + content.chopped(1));
        const QString name = QStringLiteral("upload of 'leaving/file%1.txt' ").arg(round);
        QTRY_VERIFY(m_server.log().contains(QRegularExpression(name + "[^:]* started\\n")));
        up.write(content.right(1));
        control.socket().abort();

        const QRegularExpression ended(name + "[^:]*: (.*)\\n");
        QString outcome;
        QTRY_VERIFY(!(outcome = ended.match(m_server.log()).captured(1)).isEmpty());
        const QCborMap answer = up.next(type::TransferDone, 2000);
        QFile stored(store() + "/channel_1" + path);
        if (outcome.startsWith(QLatin1String("done"))) {
            ++kept;
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.readAll(), content);
            QCOMPARE(answer.value(field::Code).toInteger(), qint64(ERROR_ok));
        } else {
            QTest::qWait(300); // a worker that was still moving the file has done so by now
            QVERIFY2(!stored.exists(), qPrintable(outcome));
            QVERIFY(answer.isEmpty() || answer.value(field::Code).toInteger() != qint64(ERROR_ok));
        }
    }
    qInfo("%d of 12 uploads were kept", kept);
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
}

void tst_FileStoreProtocol::cutAndStalledUploadsLeaveNothing()
{
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("cutter"));

    // Half the bytes, then the connection goes.
    control.send(QCborMap{{TypeKey, type::FtMkdir}, {field::ChannelId, 1}, {field::Path, "/cut"}});
    const QByteArray key = keyFor(control, upload(1, "/cut/half.bin", 100000));
    {
        RawPeer up;
        QVERIFY(up.open(m_server.port()));
        up.write(encodeFrame(transferHello(key)) + QByteArray(50000, 'h'));
        QTRY_COMPARE(filesBelow(store() + "/.incoming").size(), 1);
        // While the upload waits, an in-progress entry shows the missing bytes.
        control.send(
            QCborMap{{TypeKey, type::FtList}, {field::ChannelId, 1}, {field::Path, "/cut"}});
        const QCborMap entry = control.next(type::FtEntry);
        QCOMPARE(entry.value(field::Name).toString(), QStringLiteral("half.bin"));
        QCOMPARE(entry.value(field::Size).toInteger(), 100000);
        QCOMPARE(entry.value(field::Incomplete).toInteger(), 50000);
        checkChatStillFlows();
        up.socket().abort();
    }
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
    QVERIFY(!QFile::exists(store() + "/channel_1/cut/half.bin"));

    // Half the bytes, then silence: the idle bound ends it.
    const QByteArray stallKey = keyFor(control, upload(2, "/cut/stalled.bin", 100000));
    RawPeer stalled;
    QVERIFY(stalled.open(m_server.port()));
    stalled.write(encodeFrame(transferHello(stallKey)) + QByteArray(50000, 's'));
    checkChatStillFlows();
    QVERIFY(stalled.closedByServer(5000));
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
    QVERIFY(!QFile::exists(store() + "/channel_1/cut/stalled.bin"));

    // The control connection going takes its keys and transfers with it.
    const QByteArray orphanKey = keyFor(control, upload(3, "/cut/orphan.bin", 10));
    RawPeer orphan;
    QVERIFY(orphan.open(m_server.port()));
    orphan.write(encodeFrame(transferHello(orphanKey)) + "12345");
    QTRY_COMPARE(filesBelow(store() + "/.incoming").size(), 1);
    control.socket().abort();
    QVERIFY(orphan.closedByServer());
    QTRY_COMPARE(filesBelow(store() + "/.incoming"), QStringList());
}

void tst_FileStoreProtocol::transfersPerClientAreBounded()
{
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("many"));
    const QByteArray content("x");
    QVERIFY(QDir().mkpath(store() + "/channel_1/many"));
    QFile file(store() + "/channel_1/many/x.txt");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == 1);
    file.close();
    QVERIFY(!keyFor(control, download(1, "/many/x.txt")).isEmpty());
    QVERIFY(!keyFor(control, download(2, "/many/x.txt")).isEmpty());
    control.send(download(3, "/many/x.txt"));
    const QCborMap failed = control.next(type::FtFailed);
    QCOMPARE(failed.value(field::TransferId).toInteger(), 3);
    QCOMPARE(failed.value(field::Code).toInteger(), qint64(ERROR_file_transfer_limit_reached));
    // Expired keys free their places.
    QTest::qWait(2600);
    QVERIFY(!keyFor(control, download(4, "/many/x.txt")).isEmpty());
}

void tst_FileStoreProtocol::escapesAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent") << "/../escape.txt";
    QTest::newRow("parent later") << "/a/b/../../../escape.txt";
    QTest::newRow("only parent") << "..";
    QTest::newRow("backslash") << "\\..\\escape.txt";
    QTest::newRow("NUL") << QString::fromUtf8("/a\0/../escape.txt", 17);
    QTest::newRow("absolute host path") << "/tmp/../../etc/passwd";
    QTest::newRow("dot") << "/.";
}

void tst_FileStoreProtocol::escapesAreRefused()
{
    QFETCH(QString, path);
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("escaper"));
    control.send(upload(1, path, 3));
    QCOMPARE(control.next(type::FtFailed).value(field::Code).toInteger(),
             qint64(ERROR_file_invalid_path));
    control.send(download(2, path));
    QCOMPARE(control.next(type::FtFailed).value(field::Code).toInteger(),
             qint64(ERROR_file_invalid_path));
    for (const QLatin1String type : {type::FtList, type::FtMkdir}) {
        control.send(QCborMap{{TypeKey, type}, {field::ChannelId, 1}, {field::Path, path}});
        const QCborMap error = control.next(type::Error);
        QCOMPARE(error.value(field::Code).toInteger(), qint64(ERROR_file_invalid_path));
    }
    control.send(QCborMap{
        {TypeKey, type::FtDelete}, {field::ChannelId, 1}, {field::Paths, QCborArray{path}}});
    QCOMPARE(control.next(type::Error).value(field::Code).toInteger(),
             qint64(ERROR_file_invalid_path));
    QVERIFY(!QFile::exists(QDir(m_server.dataDirectory()).filePath("escape.txt")));
    QVERIFY(!QFile::exists(QDir(m_server.dataDirectory()).filePath("../escape.txt")));
}

void tst_FileStoreProtocol::malformedRequestsCloseOnlyThatConnection_data()
{
    QTest::addColumn<QCborMap>("request");
    QTest::newRow("path not text")
        << QCborMap{{TypeKey, type::FtList}, {field::ChannelId, 1}, {field::Path, 5}};
    QTest::newRow("no channel") << QCborMap{{TypeKey, type::FtMkdir}, {field::Path, "/x"}};
    QTest::newRow("negative size") << QCborMap{{TypeKey, type::FtUpload},
                                               {field::TransferId, 1},
                                               {field::ChannelId, 1},
                                               {field::Path, "/x"},
                                               {field::Size, -1}};
    QTest::newRow("transfer ID 0") << QCborMap{{TypeKey, type::FtDownload},
                                               {field::TransferId, 0},
                                               {field::ChannelId, 1},
                                               {field::Path, "/x"}};
    QTest::newRow("paths not an array")
        << QCborMap{{TypeKey, type::FtDelete}, {field::ChannelId, 1}, {field::Paths, "/x"}};
    QCborArray many;
    for (int i = 0; i <= limits::FilesPerDelete; ++i)
        many.append(QStringLiteral("/f%1").arg(i));
    QTest::newRow("too many paths")
        << QCborMap{{TypeKey, type::FtDelete}, {field::ChannelId, 1}, {field::Paths, many}};
    QTest::newRow("transfer after hello")
        << QCborMap{{TypeKey, type::Transfer}, {field::Key, QByteArray(32, 'k')}};
}

void tst_FileStoreProtocol::malformedRequestsCloseOnlyThatConnection()
{
    QFETCH(QCborMap, request);
    RawPeer control;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("broken"));
    control.send(request);
    QCOMPARE(control.next(type::Error).value(field::Code).toInteger(),
             qint64(ERROR_connection_protocol));
    QVERIFY(control.closedByServer());
    checkChatStillFlows();
}

QTEST_GUILESS_MAIN(tst_FileStoreProtocol)
#include "tst_filestore_protocol.moc"
