// SPDX-License-Identifier: MIT
// Hostile and broken peers on raw sockets: each is cut off alone, the server keeps serving the
// well-behaved clients, and a peer that stops reading cannot make the server grow.
#include "eventrecorder.h"
#include "rawpeer.h"
#include "voiceserverprocess.h"

#include <QCborArray>
#include <QCborValue>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtEndian>

using namespace voicesdk::protocol;

class tst_VoiceServerAbuse : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void badBytesCloseOnlyThatConnection_data();
    void badBytesCloseOnlyThatConnection();
    void badFramesAfterHelloAreSeenAsDrops_data();
    void badFramesAfterHelloAreSeenAsDrops();
    void silentConnectionTimesOut();
    void unsupportedVersionIsRefused();
    void nonReadingClientIsDropped();

private:
    void checkOthersStillTalk();
    anyID waitForJoin(const QString& nickname);

    VoiceServerProcess m_server{{QStringLiteral("--hello-timeout-ms"), QStringLiteral("400"),
                                 QStringLiteral("--max-output-kib"), QStringLiteral("64")}};
    uint64 m_watcher = 0;
    uint64 m_peer = 0;
    int m_round = 0;
};

void tst_VoiceServerAbuse::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_watcher), unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_peer), unsigned(ERROR_ok));
    QVERIFY(connectHandler(m_watcher, m_server.port(), "watcher"));
    QVERIFY(connectHandler(m_peer, m_server.port(), "peer"));
}

void tst_VoiceServerAbuse::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QVERIFY(m_server.stop());
}

void tst_VoiceServerAbuse::checkOthersStillTalk()
{
    const QByteArray text = "still here " + QByteArray::number(++m_round);
    QCOMPARE(ts3client_requestSendChannelTextMsg(m_watcher, text.constData(), 1, nullptr),
             unsigned(ERROR_ok));
    const Event got =
        EventRecorder::instance().wait(m_peer, "onTextMessageEvent", [&](const Event& e) {
            return e.text("message") == QString::fromLatin1(text);
        });
    QCOMPARE(got.text("message"), QString::fromLatin1(text));
}

anyID tst_VoiceServerAbuse::waitForJoin(const QString& nickname)
{
    const Event joined =
        EventRecorder::instance().wait(m_watcher, "onClientMoveEvent", [&](const Event& e) {
            char* name = nullptr;
            if (e.value("visibility") != ENTER_VISIBILITY ||
                ts3client_getClientVariableAsString(m_watcher, anyID(e.value("clientID")),
                                                    CLIENT_NICKNAME, &name) != ERROR_ok)
                return false;
            const bool match = nickname == QString::fromUtf8(name);
            ts3client_freeMemory(name);
            return match;
        });
    return anyID(joined.value("clientID"));
}

void tst_VoiceServerAbuse::badBytesCloseOnlyThatConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray random(4096, Qt::Uninitialized);
    QRandomGenerator generator(20261207);
    for (char& c : random)
        c = char(generator.bounded(256));
    QTest::newRow("random bytes") << random;
    QTest::newRow("oversized length") << frameHeader(MaxFrameSize + 1) + QByteArray(100, 'x');
    QTest::newRow("4 GiB length") << frameHeader(0xFFFFFFFFu);
    QTest::newRow("zero length") << frameHeader(0);
    QTest::newRow("malformed CBOR") << rawFrame(QByteArray(32, '\xff'));
    QTest::newRow("not a map") << rawFrame(QCborValue(QCborArray{1, 2, 3}).toCbor());
    QTest::newRow("map without type") << rawFrame(QCborValue(QCborMap{{1, 2}}).toCbor());
    QTest::newRow("text before hello")
        << encodeFrame(QCborMap{{TypeKey, type::Text},
                                {field::TargetMode, 2},
                                {field::Target, 1},
                                {field::Message, QStringLiteral("sneaky")}});
    QTest::newRow("unknown type first") << encodeFrame(QCborMap{{TypeKey, QStringLiteral("x")}});
    QCborMap badHello = helloMessage(QStringLiteral("bad"));
    badHello.insert(field::Version, QStringLiteral("one"));
    QTest::newRow("hello with a string version") << encodeFrame(badHello);
    QCborMap longName = helloMessage(QString(500, QLatin1Char('n')));
    QTest::newRow("hello with a huge nickname") << encodeFrame(longName);
    QTest::newRow("hello then garbage")
        << encodeFrame(helloMessage(QStringLiteral("g"))) + frameHeader(0);
    QTest::newRow("transfer without file store")
        << encodeFrame(QCborMap{{TypeKey, type::Transfer}, {field::Key, QStringLiteral("k")}});
    QTest::newRow("truncated frame, then silence") << frameHeader(100) + QByteArray(10, 'x');
}

void tst_VoiceServerAbuse::badBytesCloseOnlyThatConnection()
{
    QFETCH(QByteArray, bytes);
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    peer.write(bytes);
    QVERIFY2(peer.closedByServer(), "the server kept a broken connection open");
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::badFramesAfterHelloAreSeenAsDrops_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("hello twice") << encodeFrame(helloMessage(QStringLiteral("again")));
    QTest::newRow("unknown type") << encodeFrame(
        QCborMap{{TypeKey, QStringLiteral("launchMissiles")}});
    QTest::newRow("text with a string target")
        << encodeFrame(QCborMap{{TypeKey, type::Text},
                                {field::TargetMode, 2},
                                {field::Target, QStringLiteral("1")},
                                {field::Message, QStringLiteral("x")}});
    // Texts in the exact layout the server reads directly, still refused like any other.
    const auto text = [](qint64 mode, const QString& message) {
        return QCborMap{{TypeKey, type::Text},
                        {field::TargetMode, mode},
                        {field::Target, 0},
                        {field::Message, message}};
    };
    QByteArray badUtf8 = encodeFrame(text(2, QStringLiteral("ab")));
    badUtf8.replace(badUtf8.lastIndexOf("ab"), 2, "\xc3\x28");
    QTest::newRow("text with invalid UTF-8") << badUtf8;
    QTest::newRow("text with a huge target mode") << encodeFrame(text(65536, QStringLiteral("x")));
    QCborMap longCode = text(2, QStringLiteral("x"));
    longCode.insert(field::ReturnCode, QString(limits::ReturnCodeLength + 1, QLatin1Char('r')));
    QTest::newRow("text with a long return code") << encodeFrame(longCode);
    QTest::newRow("move without channel")
        << encodeFrame(QCborMap{{TypeKey, type::Move}, {field::ClientId, 1}});
    QTest::newRow("channel delete with negative id")
        << encodeFrame(QCborMap{{TypeKey, type::ChannelDelete}, {field::ChannelId, -5}});
    QTest::newRow("self update with a number flag")
        << encodeFrame(QCborMap{{TypeKey, type::SelfUpdate}, {field::InputMuted, 1}});
    QTest::newRow("oversized length") << frameHeader(1u << 30);
}

void tst_VoiceServerAbuse::badFramesAfterHelloAreSeenAsDrops()
{
    QFETCH(QByteArray, frame);
    const QString nickname = QStringLiteral("raw%1").arg(QTest::currentDataTag()).left(60);
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    peer.send(helloMessage(nickname));
    const anyID id = waitForJoin(nickname);
    QVERIFY(id != 0);
    peer.write(frame);
    QVERIFY(peer.closedByServer());
    // Others see the broken client go as dropped, not as a regular leave.
    const Event dropped =
        EventRecorder::instance().wait(m_watcher, "onClientMoveTimeoutEvent",
                                       [&](const Event& e) { return e.value("clientID") == id; });
    QCOMPARE(dropped.value("visibility"), int(LEAVE_VISIBILITY));
    checkOthersStillTalk();
    QVERIFY(m_server.log().contains("protocol error"));
}

void tst_VoiceServerAbuse::silentConnectionTimesOut()
{
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    QVERIFY(peer.closedByServer());
    QVERIFY(m_server.log().contains("no hello in time"));
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::unsupportedVersionIsRefused()
{
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    QCborMap future = helloMessage(QStringLiteral("future"));
    future.insert(field::Version, Version + 1);
    peer.send(future);
    const QCborMap reply = peer.next(type::Refused);
    QCOMPARE(reply.value(field::Code).toInteger(), qint64(ERROR_connection_protocol));
    QVERIFY(peer.closedByServer());
}

void tst_VoiceServerAbuse::nonReadingClientIsDropped()
{
    // A raw client joins the lobby and never reads; the watcher fills the lobby with texts.
    QTcpSocket sleeper;
    sleeper.setReadBufferSize(1); // Qt stops reading once one byte is buffered
    sleeper.connectToHost(QHostAddress::LocalHost, m_server.port());
    QVERIFY(sleeper.waitForConnected(5000));
    sleeper.write(encodeFrame(helloMessage(QStringLiteral("sleeper"))));
    sleeper.flush();
    const anyID id = waitForJoin(QStringLiteral("sleeper"));
    QVERIFY(id != 0);

    const QByteArray text(1024, 'f');
    bool dropped = false;
    int sent = 0;
    for (int batch = 0; batch < 400 && !dropped; ++batch) {
        for (int i = 0; i < 100; ++i, ++sent)
            QCOMPARE(ts3client_requestSendChannelTextMsg(m_watcher, text.constData(), 1, nullptr),
                     unsigned(ERROR_ok));
        // Let the watcher's own echoes catch up so nothing piles up on this side.
        QTRY_VERIFY_WITH_TIMEOUT(
            EventRecorder::instance().events(m_watcher, "onTextMessageEvent").size() >= sent - 100,
            20000);
        dropped = EventRecorder::instance().arrives(
            m_watcher, "onClientMoveTimeoutEvent",
            [&](const Event& e) { return e.value("clientID") == id; }, 1);
    }
    QVERIFY2(dropped, qPrintable(QStringLiteral("still connected after %1 texts").arg(sent)));
    QVERIFY(m_server.log().contains("output buffer overflow"));
    checkOthersStillTalk();
}

QTEST_GUILESS_MAIN(tst_VoiceServerAbuse)
#include "tst_voiceserver_abuse.moc"
