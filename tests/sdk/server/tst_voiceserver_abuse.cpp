// SPDX-License-Identifier: MIT
// Hostile and broken peers on raw sockets: each is cut off alone, the server keeps serving the
// well-behaved clients, and a peer that stops reading cannot make the server grow.
#include "eventrecorder.h"
#include "rawpeer.h"
#include "voicecrypto.h"
#include "voicepacket.h"
#include "voiceserverprocess.h"

#include <memory>
#include <vector>

#include <QCborArray>
#include <QCborValue>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>

#include <sys/socket.h>

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
    void brokenTlsIsCutOff_data();
    void brokenTlsIsCutOff();
    void silentConnectionTimesOut_data();
    void silentConnectionTimesOut();
    void unsupportedVersionIsRefused();
    void nonReadingClientIsDropped();
    void connectionsWithoutHelloMakeRoom_data();
    void connectionsWithoutHelloMakeRoom();
    void silentClientsAreDroppedPingingOnesStay();
    void floodersAreHeldToTheRate();
    void deceptiveNamesAreRefused_data();
    void deceptiveNamesAreRefused();
    void voiceGoesToTheChannelOnly();
    void lossReportsAndCopies();
    void badDatagramsAreDropped_data();
    void badDatagramsAreDropped();
    void sealedDatagramsMustOpen_data();
    void sealedDatagramsMustOpen();
    void badTunnelledFramesAreProtocolErrors_data();
    void badTunnelledFramesAreProtocolErrors();

private:
    struct VoicePeer
    {
        RawPeer peer;
        QByteArray token;
        anyID id = 0;
        std::unique_ptr<voice::Sealer> sealer; // its datagrams, under the key of the welcome
    };
    // On the TLS server, or on the one in clear.
    bool voiceHello(VoicePeer* p, const QString& nickname, bool clear = false,
                    bool lossAware = false, bool burstAware = false);
    // Whether voice reaches the peer before the answer to a ping sent now.
    static QList<QCborMap> voiceBeforePong(RawPeer& peer);
    static voice::Frame frame(quint16 sequence, quint8 flags = 0,
                              const QByteArray& payload = QByteArray(40, 'o'));
    // A sealed voice datagram of the peer (with another token when given).
    static QByteArray datagram(VoicePeer& p, quint16 sequence, quint8 flags = 0,
                               const QByteArray& payload = QByteArray(40, 'o'),
                               const QByteArray& token = QByteArray());
    void sendDatagram(const QByteArray& bytes);
    void checkOthersStillTalk();
    anyID waitForJoin(const QString& nickname);
    static bool wasDisconnected(uint64 h);

    VoiceServerProcess m_server{{QStringLiteral("--hello-timeout-ms"), QStringLiteral("400"),
                                 QStringLiteral("--max-output-kib"), QStringLiteral("64")}};
    // For the datagrams of a server without TLS, which travel in clear.
    VoiceServerProcess m_clear{{QStringLiteral("--no-tls")}};
    uint64 m_watcher = 0;
    uint64 m_peer = 0;
    int m_round = 0;
    QUdpSocket m_udp;
};

void tst_VoiceServerAbuse::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    QVERIFY2(m_clear.start(), qPrintable(m_clear.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_watcher), unsigned(ERROR_ok));
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &m_peer), unsigned(ERROR_ok));
    QVERIFY2(connectHandler(m_watcher, m_server.port(), "watcher"), qPrintable(m_server.log()));
    QVERIFY2(connectHandler(m_peer, m_server.port(), "peer"), qPrintable(m_server.log()));
}

void tst_VoiceServerAbuse::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QVERIFY(m_server.stop());
    QVERIFY(m_clear.stop());
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
    QTest::addColumn<bool>("told"); // a protocol error, explained before the close
    QByteArray random(4096, Qt::Uninitialized);
    QRandomGenerator generator(20261207);
    for (char& c : random)
        c = char(generator.bounded(256));
    QTest::newRow("random bytes") << random << false;
    QTest::newRow("oversized length")
        << frameHeader(MaxFrameSize + 1) + QByteArray(100, 'x') << true;
    QTest::newRow("4 GiB length") << frameHeader(0xFFFFFFFFu) << true;
    QTest::newRow("zero length") << frameHeader(0) << true;
    QTest::newRow("malformed CBOR") << rawFrame(QByteArray(32, '\xff')) << true;
    QTest::newRow("not a map") << rawFrame(QCborValue(QCborArray{1, 2, 3}).toCbor()) << true;
    QTest::newRow("map without type") << rawFrame(QCborValue(QCborMap{{1, 2}}).toCbor()) << true;
    QTest::newRow("text before hello")
        << encodeFrame(QCborMap{{TypeKey, type::Text},
                                {field::TargetMode, 2},
                                {field::Target, 1},
                                {field::Message, QStringLiteral("sneaky")}})
        << true;
    QTest::newRow("unknown type first")
        << encodeFrame(QCborMap{{TypeKey, QStringLiteral("x")}}) << true;
    QCborMap badHello = helloMessage(QStringLiteral("bad"));
    badHello.insert(field::Version, QStringLiteral("one"));
    QTest::newRow("hello with a string version") << encodeFrame(badHello) << true;
    QCborMap longName = helloMessage(QString(500, QLatin1Char('n')));
    QTest::newRow("hello with a huge nickname") << encodeFrame(longName) << true;
    QTest::newRow("hello then garbage")
        << encodeFrame(helloMessage(QStringLiteral("g"))) + frameHeader(0) << true;
    QTest::newRow("transfer without file store")
        << encodeFrame(QCborMap{{TypeKey, type::Transfer}, {field::Key, QStringLiteral("k")}})
        << false;
    QTest::newRow("truncated frame, then silence")
        << frameHeader(100) + QByteArray(10, 'x') << false;
}

void tst_VoiceServerAbuse::badBytesCloseOnlyThatConnection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, told);
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    peer.write(bytes);
    if (told)
        QCOMPARE(peer.next(type::Error).value(field::Code).toInteger(),
                 qint64(ERROR_connection_protocol));
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
    QCOMPARE(peer.next(type::Error).value(field::Code).toInteger(),
             qint64(ERROR_connection_protocol));
    QVERIFY(peer.closedByServer());
    // Others see the broken client go as dropped, not as a regular leave.
    const Event dropped =
        EventRecorder::instance().wait(m_watcher, "onClientMoveTimeoutEvent",
                                       [&](const Event& e) { return e.value("clientID") == id; });
    QCOMPARE(dropped.value("visibility"), int(LEAVE_VISIBILITY));
    checkOthersStillTalk();
    QVERIFY(m_server.log().contains("protocol error"));
}

void tst_VoiceServerAbuse::brokenTlsIsCutOff_data()
{
    QTest::addColumn<bool>("handshake");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("logged");
    QTest::newRow("hello in clear")
        << false << encodeFrame(helloMessage(QStringLiteral("clear"))) << "closed (client 0): TLS:";
    QByteArray random(4096, Qt::Uninitialized);
    QRandomGenerator generator(20261209);
    for (char& c : random)
        c = char(generator.bounded(256));
    QTest::newRow("garbage after the handshake") << true << random << "closed (client 0): TLS:";
    // Well framed as a record, but not sealed under the session's keys.
    QTest::newRow("forged record after the handshake")
        << true << QByteArray::fromHex("1703030040") + QByteArray(64, 'x')
        << "closed (client 0): TLS:";
}

void tst_VoiceServerAbuse::brokenTlsIsCutOff()
{
    QFETCH(bool, handshake);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, logged);
    // Closes of connections without hello are logged five a second: start in a fresh second,
    // so earlier rows have not spent the budget.
    QTest::qWait(1010 - int(QDateTime::currentMSecsSinceEpoch() % 1000));
    const int logged0 = m_server.log().size();
    RawPeer peer;
    QVERIFY(peer.open(m_server.port(), handshake));
    // Under TLS or not, these bytes go to the wire as they are.
    const qintptr descriptor = peer.socket().socketDescriptor();
    QCOMPARE(qint64(::send(int(descriptor), bytes.constData(), size_t(bytes.size()), 0)),
             qint64(bytes.size()));
    QVERIFY(peer.closedByServer());
    QVERIFY(peer.next(type::Welcome, 0).isEmpty());
    QVERIFY(peer.next(type::Error, 0).isEmpty());
    QTRY_VERIFY2_WITH_TIMEOUT(m_server.log().mid(logged0).contains(logged),
                              qPrintable(m_server.log().right(1500)), 2000);
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::silentConnectionTimesOut_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("start"); // bytes sent in clear before the silence
    QTest::addColumn<QString>("logged");
    QTest::newRow("no hello") << true << QByteArray() << "no hello in time";
    QTest::newRow("no handshake") << false << QByteArray() << "TLS handshake not done in time";
    // The first bytes of a client hello, then nothing.
    QTest::newRow("stalled handshake") << false << QByteArray::fromHex("16030100c8010000c40303")
                                       << "TLS handshake not done in time";
}

void tst_VoiceServerAbuse::silentConnectionTimesOut()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, start);
    QFETCH(QString, logged);
    const int before = m_server.log().count(logged);
    RawPeer peer;
    QVERIFY(peer.open(m_server.port(), tls));
    peer.write(start);
    QVERIFY(peer.closedByServer());
    QTRY_VERIFY_WITH_TIMEOUT(m_server.log().count(logged) > before, 2000);
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
    QSslSocket sleeper;
    sleeper.setPeerVerifyMode(QSslSocket::VerifyNone);
    sleeper.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server.port());
    QVERIFY(sleeper.waitForEncrypted(5000));
    sleeper.setReadBufferSize(1); // Qt stops reading once one byte is buffered
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

bool tst_VoiceServerAbuse::wasDisconnected(uint64 h)
{
    for (const Event& e : EventRecorder::instance().events(h, "onConnectStatusChangeEvent")) {
        if (e.value("newStatus") == STATUS_DISCONNECTED)
            return true;
    }
    return false;
}

void tst_VoiceServerAbuse::connectionsWithoutHelloMakeRoom_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("launcher");
    QTest::addColumn<QString>("logged");
    QTest::newRow("per address") << QStringList{"--max-pending-per-address", "4"} << QStringList()
                                 << "too many connections without hello from one address";
    // Out of descriptors: the server neither spins nor keeps everyone out.
    QTest::newRow("out of descriptors")
        << QStringList{"--max-pending-per-address", "1000", "--max-pending", "1000"}
        << QStringList{"prlimit", "--nofile=48:48", "--"} << "cannot accept connections";
}

void tst_VoiceServerAbuse::connectionsWithoutHelloMakeRoom()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, launcher);
    QFETCH(QString, logged);
    VoiceServerProcess server(options + QStringList{"--hello-timeout-ms", "60000"}, launcher);
    QVERIFY2(server.start(), qPrintable(server.log()));
    std::vector<std::unique_ptr<RawPeer>> squatters;
    for (int i = 0; i < 80; ++i) {
        squatters.push_back(std::make_unique<RawPeer>());
        // Plain TCP: to the server a TLS handshake that never starts.
        if (!squatters.back()->open(server.port(), false))
            qDebug() << "not connected" << i << squatters.back()->socket().errorString();
    }
    QTRY_VERIFY2_WITH_TIMEOUT(server.log().contains(logged), qPrintable(server.log().right(1500)),
                              10000);
    uint64 h = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
    const bool joined = connectHandler(h, server.port(), "latecomer");
    ts3client_destroyServerConnectionHandler(h);
    QVERIFY2(joined, qPrintable(server.log().right(2000)));
    QVERIFY(server.log().count(QStringLiteral("cannot accept connections")) <= 1);
}

void tst_VoiceServerAbuse::silentClientsAreDroppedPingingOnesStay()
{
    VoiceServerProcess server({"--idle-timeout-ms", "1500"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    uint64 h = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
    QVERIFY(connectHandler(h, server.port(), "pinger"));
    // A byte at a time, never a whole frame: as silent as saying nothing.
    RawPeer trickler;
    QVERIFY(trickler.open(server.port()));
    QVERIFY(trickler.hello(QStringLiteral("trickler")));
    trickler.write(frameHeader(1000));
    QElapsedTimer timer;
    timer.start();
    bool closed = false;
    while (!closed && timer.elapsed() < 6000) {
        trickler.write("x");
        closed = trickler.closedByServer(300);
    }
    QVERIFY2(closed, "a trickling client kept its place");
    QVERIFY(server.log().contains(QStringLiteral("silent for")));
    // The library's pings kept the other one in all along.
    QVERIFY(!wasDisconnected(h));
    ts3client_destroyServerConnectionHandler(h);
}

void tst_VoiceServerAbuse::floodersAreHeldToTheRate()
{
    VoiceServerProcess server({"--flood-burst", "50", "--flood-rate", "20"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    uint64 h = 0;
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
    QVERIFY(connectHandler(h, server.port(), "bystander"));
    RawPeer flooder;
    QVERIFY(flooder.open(server.port()));
    QVERIFY(flooder.hello(QStringLiteral("flooder")));
    QByteArray burst;
    for (int i = 0; i < 300; ++i)
        burst += encodeFrame(QCborMap{{TypeKey, type::Text},
                                      {field::TargetMode, 2},
                                      {field::Target, 0},
                                      {field::Message, QStringLiteral("spam %1").arg(i)},
                                      {field::ReturnCode, QStringLiteral("r%1").arg(i)}});
    flooder.write(burst);
    // Every request is answered; past the burst with the flooding code.
    int refused = 0;
    for (int answers = 0; answers < 300; ++answers) {
        const QCborMap reply = flooder.next(type::Error);
        QVERIFY(!reply.isEmpty());
        refused += reply.value(field::Code).toInteger() == ERROR_client_is_flooding;
    }
    QVERIFY2(refused >= 200, qPrintable(QString::number(refused)));
    QVERIFY(flooder.socket().state() == QAbstractSocket::ConnectedState);
    // The bystander heard only what passed, and is still there.
    const int heard = EventRecorder::instance().events(h, "onTextMessageEvent").size();
    QVERIFY(heard <= 300 - refused);
    QVERIFY(!wasDisconnected(h));
    ts3client_destroyServerConnectionHandler(h);
}

void tst_VoiceServerAbuse::deceptiveNamesAreRefused_data()
{
    QTest::addColumn<QString>("nickname");
    QTest::addColumn<QString>("given"); // empty: refused
    QTest::newRow("zero-width space alone") << QStringLiteral("\u200b") << QString();
    QTest::newRow("right-to-left override") << QStringLiteral("evil\u202egnp.exe") << QString();
    QTest::newRow("look-alike of another") << QStringLiteral("watcher\u200b") << QString();
    QTest::newRow("noncharacter") << QStringLiteral("x\uffff") << QString();
    QTest::newRow("control") << QStringLiteral("bell\u0007") << QString();
    // Decomposed "Zoë" is the composed one; the blanks around go.
    QTest::newRow("normalised") << QStringLiteral("  Zoe\u0308 ") << QStringLiteral("Zo\u00eb");
    QTest::newRow("taken once normalised") << QStringLiteral("watcher ") << "watcher1";
}

void tst_VoiceServerAbuse::deceptiveNamesAreRefused()
{
    QFETCH(QString, nickname);
    QFETCH(QString, given);
    RawPeer peer;
    QVERIFY(peer.open(m_server.port()));
    peer.send(helloMessage(nickname));
    if (given.isEmpty()) {
        QCOMPARE(peer.next(type::Refused).value(field::Code).toInteger(),
                 qint64(ERROR_parameter_invalid));
    } else {
        QCOMPARE(peer.next(type::Welcome).value(field::Nickname).toString(), given);
    }
    // Channel names follow the same rules.
    if (given.isEmpty())
        return;
    peer.send(QCborMap{{TypeKey, type::ChannelCreate},
                       {field::ParentId, 0},
                       {field::Name, QStringLiteral("tolvane_\u200bTeam")},
                       {field::ReturnCode, QStringLiteral("c")}});
    QCOMPARE(peer.next(type::Error).value(field::Code).toInteger(),
             qint64(ERROR_channel_invalid_name));
}

bool tst_VoiceServerAbuse::voiceHello(VoicePeer* p, const QString& nickname, bool clear,
                                      bool lossAware, bool burstAware)
{
    if (!p->peer.open((clear ? m_clear : m_server).port(), !clear))
        return false;
    QCborMap hello = helloMessage(nickname);
    if (lossAware)
        hello.insert(field::VoiceLossAware, true);
    if (burstAware)
        hello.insert(field::VoiceBurstAware, true);
    p->peer.send(hello);
    const QCborMap welcome = p->peer.next(type::Welcome);
    if (!welcome.value(field::VoiceLossAware).toBool())
        return false;
    p->token = welcome.value(field::VoiceToken).toByteArray();
    p->id = anyID(welcome.value(field::ClientId).toInteger());
    p->sealer = std::make_unique<voice::Sealer>(welcome.value(field::VoiceKeyUp).toByteArray());
    return p->token.size() == voice::TokenSize && (clear || p->sealer->isValid()) &&
           !p->peer.next(type::Synced).isEmpty();
}

QList<QCborMap> tst_VoiceServerAbuse::voiceBeforePong(RawPeer& peer)
{
    peer.send(QCborMap{{TypeKey, type::Ping}});
    QList<QCborMap> voices;
    for (const QCborMap& m : peer.until(type::Pong)) {
        if (m.value(TypeKey).toString() == type::Voice)
            voices.append(m);
    }
    return voices;
}

voice::Frame tst_VoiceServerAbuse::frame(quint16 sequence, quint8 flags, const QByteArray& payload)
{
    voice::Frame frame;
    frame.sequence = sequence;
    frame.timestamp = quint32(sequence) * voice::FrameSamples;
    frame.flags = flags;
    frame.payload = payload;
    return frame;
}

QByteArray tst_VoiceServerAbuse::datagram(VoicePeer& p, quint16 sequence, quint8 flags,
                                          const QByteArray& payload, const QByteArray& token)
{
    return voice::sealClientDatagram(*p.sealer, token.isEmpty() ? p.token : token,
                                     voice::Kind::Voice,
                                     voice::encodeFrame(frame(sequence, flags, payload)));
}

void tst_VoiceServerAbuse::sendDatagram(const QByteArray& bytes)
{
    m_udp.writeDatagram(bytes, QHostAddress::LocalHost, m_server.port());
    // The server reads datagrams and control frames in one loop: a round trip of the watcher
    // afterwards proves the datagram was handled.
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::voiceGoesToTheChannelOnly()
{
    VoicePeer speaker, listener, outsider;
    QVERIFY(voiceHello(&speaker, QStringLiteral("speaker")));
    QVERIFY(voiceHello(&listener, QStringLiteral("listener")));
    QVERIFY(voiceHello(&outsider, QStringLiteral("outsider")));
    outsider.peer.send(QCborMap{{TypeKey, type::ChannelCreate},
                                {field::ParentId, 0},
                                {field::Name, QStringLiteral("elsewhere")}});
    const qint64 elsewhere =
        outsider.peer.next(type::ChannelCreated).value(field::ChannelId).toInteger();
    outsider.peer.send(QCborMap{
        {TypeKey, type::Move}, {field::ClientId, outsider.id}, {field::ChannelId, elsewhere}});
    QVERIFY(!outsider.peer.next(type::ClientMoved).isEmpty());

    // A datagram reaches the channel's other members, tunnelled, naming its speaker.
    const QByteArray first = datagram(speaker, 1);
    sendDatagram(first);
    QList<QCborMap> heard = voiceBeforePong(listener.peer);
    QCOMPARE(heard.size(), 1);
    voice::Frame frame;
    const QByteArray bytes = heard.first().value(field::VoiceFrame).toByteArray();
    QVERIFY(voice::decodeFrame(bytes.constData(), bytes.size(), &frame));
    QCOMPARE(frame.clientId, speaker.id);
    QCOMPARE(frame.payload, QByteArray(40, 'o'));
    QVERIFY(voiceBeforePong(outsider.peer).isEmpty());
    QVERIFY(voiceBeforePong(speaker.peer).isEmpty());

    // The same datagram again, the same frame sealed anew, and one with a token nobody has,
    // reach nobody.
    sendDatagram(first);
    sendDatagram(datagram(speaker, 1));
    QByteArray stranger = speaker.token;
    stranger[0] = char(stranger[0] ^ 1);
    sendDatagram(datagram(speaker, 2, 0, QByteArray(40, 'o'), stranger));
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());

    // A tunnelled frame travels the same way.
    voice::Frame tunnelled;
    tunnelled.sequence = 3;
    tunnelled.payload = "tunnel";
    speaker.peer.send(
        QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, encodeFrame(tunnelled)}});
    QVERIFY(voiceBeforePong(speaker.peer).isEmpty()); // handled by now
    QCOMPARE(voiceBeforePong(listener.peer).size(), 1);

    // A listener whose output is muted gets nothing; a flood is cut to the rate.
    listener.peer.send(QCborMap{{TypeKey, type::SelfUpdate}, {field::OutputMuted, true}});
    QVERIFY(!listener.peer.next(type::ClientUpdated).isEmpty());
    sendDatagram(datagram(speaker, 4));
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());
    listener.peer.send(QCborMap{{TypeKey, type::SelfUpdate}, {field::OutputMuted, false}});
    QVERIFY(!listener.peer.next(type::ClientUpdated).isEmpty());
    for (quint16 s = 10; s < 210; ++s)
        m_udp.writeDatagram(datagram(speaker, s), QHostAddress::LocalHost, m_server.port());
    checkOthersStillTalk();
    const int flood = voiceBeforePong(listener.peer).size();
    QVERIFY2(flood >= 10 && flood <= 40, qPrintable(QString::number(flood)));

    // When the speaker leaves, its token is dead.
    speaker.peer.send(QCborMap{{TypeKey, type::Quit}});
    QVERIFY(speaker.peer.closedByServer());
    QTest::qWait(1200); // past the rate limit's refill
    sendDatagram(datagram(speaker, 300));
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());
}

// Copies reach each listener as far as it said it reads them: all of them, the previous frame's
// only (as servers sent them before older copies), or none (as before copies). The speaker hears
// the worst loss and the longest bursts its listeners report, a speaker that knows no bursts
// only the loss.
void tst_VoiceServerAbuse::lossReportsAndCopies()
{
    VoicePeer speaker, bursts, newer, older, oldSpeaker;
    QVERIFY(voiceHello(&speaker, QStringLiteral("talker"), false, true, true));
    QVERIFY(voiceHello(&bursts, QStringLiteral("bursts"), false, true, true));
    QVERIFY(voiceHello(&newer, QStringLiteral("newer"), false, true));
    QVERIFY(voiceHello(&older, QStringLiteral("older")));
    QVERIFY(voiceHello(&oldSpeaker, QStringLiteral("oldtalker"), false, true));
    voice::Frame sent = frame(1);
    sent.previous = QByteArray(30, 'p');
    sent.older = {QByteArray(12, 'q'), QByteArray(11, 'r')};
    speaker.peer.send(QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, encodeFrame(sent)}});
    QVERIFY(voiceBeforePong(speaker.peer).isEmpty()); // handled by now
    for (VoicePeer* listener : {&bursts, &newer, &older, &oldSpeaker}) {
        const QList<QCborMap> heard = voiceBeforePong(listener->peer);
        QCOMPARE(heard.size(), 1);
        const QByteArray bytes = heard.first().value(field::VoiceFrame).toByteArray();
        voice::Frame frame;
        QVERIFY(voice::decodeFrame(bytes.constData(), bytes.size(), &frame));
        QCOMPARE(frame.payload, sent.payload);
        QCOMPARE(frame.previous, listener == &older ? QByteArray() : sent.previous);
        QCOMPARE(frame.older, listener == &bursts ? sent.older : QVector<QByteArray>());
    }

    const auto told = [&](VoicePeer& to, int loss, int burst) {
        for (int i = 0; i < 10; ++i) {
            const QCborMap m = to.peer.next(type::VoiceLoss, 3000);
            if (m.isEmpty())
                return false;
            if (m.value(field::Loss).toInteger() == loss &&
                m.value(field::Burst).toInteger(-1) == burst)
                return true;
        }
        return false;
    };
    const auto report = [&](VoicePeer& from, VoicePeer& on, int loss, int burst) {
        QCborMap m{{TypeKey, type::VoiceReport}, {field::ClientId, on.id}, {field::Loss, loss}};
        if (burst >= 0)
            m.insert(field::Burst, burst);
        from.peer.send(m);
    };
    report(newer, speaker, 7, -1); // lost one at a time, as older listeners do not say
    report(bursts, speaker, 3, 4);
    QVERIFY(told(speaker, 7, 4));
    report(older, speaker, 12, -1);
    QVERIFY(told(speaker, 12, 4));
    report(bursts, oldSpeaker, 9, 3);
    QVERIFY(told(oldSpeaker, 9, -1));
    // A burst out of range is a protocol error like a loss out of range.
    report(newer, speaker, 5, voice::LossMeter::MaxBurst + 1);
    QVERIFY(newer.peer.closedByServer());
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::badDatagramsAreDropped_data()
{
    QTest::addColumn<bool>("clear"); // to the server without TLS
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("logged");
    QByteArray random(600, Qt::Uninitialized);
    QRandomGenerator generator(20261208);
    for (char& c : random)
        c = char(generator.bounded(256));
    const QByteArray token(voice::TokenSize, 't');
    voice::Sealer sealer(voice::randomKey());
    const QByteArray good =
        voice::sealClientDatagram(sealer, token, voice::Kind::Voice, voice::encodeFrame(frame(1)));
    const QString malformed = QStringLiteral("a malformed datagram");
    QTest::newRow("random bytes") << false << random << malformed;
    QTest::newRow("empty") << false << QByteArray() << malformed;
    QTest::newRow("truncated header") << false << good.left(3) << malformed;
    QTest::newRow("shorter than counter and tag")
        << false << good.left(voice::ClientHeaderSize + voice::CounterSize + 3) << malformed;
    QTest::newRow("clear datagram")
        << false << voice::clientVoiceDatagram(token, frame(1)) << malformed;
    QByteArray kind = good;
    kind[1] = 9;
    QTest::newRow("unknown kind") << false << kind << malformed;
    QTest::newRow("oversized") << false
                               << voice::sealClientDatagram(sealer, token, voice::Kind::Voice,
                                                            QByteArray(voice::MaxDatagram, 'x'))
                               << malformed;
    QTest::newRow("unknown token") << false << good << "a datagram with an unknown token";

    const QByteArray clear = voice::clientVoiceDatagram(token, frame(1));
    QTest::newRow("clear: sealed datagram") << true << good << malformed;
    QTest::newRow("clear: truncated frame")
        << true << clear.left(2 + voice::TokenSize + 5) << malformed;
    QByteArray version = clear;
    version[0] = 2;
    QTest::newRow("clear: other version") << true << version << malformed;
    QTest::newRow("clear: empty payload")
        << true << voice::clientVoiceDatagram(token, frame(1, 0, QByteArray())) << malformed;
    QTest::newRow("clear: oversized payload")
        << true
        << voice::clientVoiceDatagram(token, frame(1, 0, QByteArray(voice::MaxPayload + 1, 'x')))
        << malformed;
    QTest::newRow("clear: unknown flags")
        << true << voice::clientVoiceDatagram(token, frame(1, 0x80)) << malformed;
    QTest::newRow("clear: ping of the wrong size")
        << true << voice::pingDatagram(token, 1) + "x" << malformed;
    QTest::newRow("clear: unknown token") << true << clear << "a datagram with an unknown token";
}

void tst_VoiceServerAbuse::badDatagramsAreDropped()
{
    QFETCH(bool, clear);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, logged);
    VoiceServerProcess& server = clear ? m_clear : m_server;
    VoicePeer listener;
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).remove(QLatin1Char(' '));
    QVERIFY(voiceHello(&listener, QStringLiteral("ear%1").arg(tag).left(60), clear));
    // Many of them, so the log shows its limit too.
    const QString before = server.log();
    for (int i = 0; i < 51; ++i)
        m_udp.writeDatagram(bytes, QHostAddress::LocalHost, server.port());
    // The server reads datagrams and control frames in one loop: by the pong it has read them.
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());
    const int lines = server.log().mid(before.size()).count("voice: dropped");
    QVERIFY2(lines <= 10, qPrintable(QString::number(lines)));
    // Why, once the log's budget of the second allows (an earlier row may have spent it).
    QTRY_VERIFY2_WITH_TIMEOUT(
        (m_udp.writeDatagram(bytes, QHostAddress::LocalHost, server.port()),
         server.log().mid(before.size()).contains("voice: dropped " + logged)),
        qPrintable(server.log().right(1500)), 3000);
    checkOthersStillTalk();
}

void tst_VoiceServerAbuse::sealedDatagramsMustOpen_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("logged");
    const QString forged = QStringLiteral("failed authentication");
    QTest::newRow("flipped payload bit") << "payload" << forged;
    QTest::newRow("flipped tag bit") << "tag" << forged;
    QTest::newRow("flipped counter bit") << "counter" << forged;
    QTest::newRow("sealed under another key") << "key" << forged;
    QTest::newRow("replayed") << "replay"
                              << "replayed or too old";
    QTest::newRow("counter far behind") << "old"
                                        << "replayed or too old";
    // Sealed well, and still no frame.
    QTest::newRow("unknown flags inside") << "frame-flags"
                                          << "malformed sealed";
    QTest::newRow("empty payload inside") << "frame-empty"
                                          << "malformed sealed";
    // Too long for a datagram already.
    QTest::newRow("oversized payload inside") << "frame-oversized"
                                              << "a malformed datagram";
    QTest::newRow("truncated frame inside") << "frame-short"
                                            << "malformed sealed";
}

void tst_VoiceServerAbuse::sealedDatagramsMustOpen()
{
    QFETCH(QString, fault);
    QFETCH(QString, logged);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).remove(QLatin1Char(' '));
    VoicePeer speaker, listener;
    QVERIFY(voiceHello(&speaker, QStringLiteral("s-%1").arg(tag).left(60)));
    QVERIFY(voiceHello(&listener, QStringLiteral("l-%1").arg(tag).left(60)));
    QByteArray bad = datagram(speaker, 1);
    const int last = bad.size() - 1;
    if (fault == QLatin1String("payload")) {
        bad[last - voice::TagSize] = char(bad[last - voice::TagSize] ^ 0x01);
    } else if (fault == QLatin1String("tag")) {
        bad[last] = char(bad[last] ^ 0x80);
    } else if (fault == QLatin1String("counter")) {
        const int at = voice::ClientHeaderSize + voice::CounterSize - 1;
        bad[at] = char(bad[at] ^ 0x04);
    } else if (fault == QLatin1String("key")) {
        voice::Sealer stranger(voice::randomKey());
        bad = voice::sealClientDatagram(stranger, speaker.token, voice::Kind::Voice,
                                        voice::encodeFrame(frame(1)));
    } else if (fault == QLatin1String("replay")) {
        sendDatagram(bad);
        QCOMPARE(voiceBeforePong(listener.peer).size(), 1);
    } else if (fault == QLatin1String("old")) {
        // A counter the window has left behind, though its frame would be new.
        for (int i = 0; i < voice::CounterWindow::Size; ++i)
            datagram(speaker, 2);
        sendDatagram(datagram(speaker, 3));
        QCOMPARE(voiceBeforePong(listener.peer).size(), 1);
    } else if (fault.startsWith(QLatin1String("frame-"))) {
        QByteArray body = voice::encodeFrame(frame(1));
        if (fault == QLatin1String("frame-flags"))
            body[8] = char(0x40);
        else if (fault == QLatin1String("frame-empty"))
            body = voice::encodeFrame(frame(1, 0, QByteArray()));
        else if (fault == QLatin1String("frame-oversized"))
            body = voice::encodeFrame(frame(1, 0, QByteArray(voice::MaxPayload + 1, 'x')));
        else
            body.truncate(6);
        bad = voice::sealClientDatagram(*speaker.sealer, speaker.token, voice::Kind::Voice, body);
    }
    const int before = m_server.log().size();
    sendDatagram(bad);
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());
    // Why, once the log's budget of the second allows (an earlier row may have spent it).
    QTRY_VERIFY2_WITH_TIMEOUT((m_udp.writeDatagram(bad, QHostAddress::LocalHost, m_server.port()),
                               m_server.log().mid(before).contains(logged)),
                              qPrintable(m_server.log().right(1500)), 3000);
    QVERIFY(voiceBeforePong(listener.peer).isEmpty());
    // The speaker's next good datagram still plays.
    sendDatagram(datagram(speaker, 20));
    QCOMPARE(voiceBeforePong(listener.peer).size(), 1);
}

void tst_VoiceServerAbuse::badTunnelledFramesAreProtocolErrors_data()
{
    QTest::addColumn<QCborMap>("message");
    voice::Frame frame;
    frame.payload = "x";
    QByteArray flags = encodeFrame(frame);
    flags[8] = char(0x40);
    QTest::newRow("frame of 2000 bytes")
        << QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, QByteArray(2000, 'v')}};
    QTest::newRow("frame of 3 bytes")
        << QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, QByteArray(3, 'v')}};
    QTest::newRow("frame as text")
        << QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, QStringLiteral("frame")}};
    QTest::newRow("unknown flags") << QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, flags}};
    QTest::newRow("path without udp") << QCborMap{{TypeKey, type::VoicePath}};
    QTest::newRow("report without loss")
        << QCborMap{{TypeKey, type::VoiceReport}, {field::ClientId, 1}};
    QTest::newRow("report of 101 %")
        << QCborMap{{TypeKey, type::VoiceReport}, {field::ClientId, 1}, {field::Loss, 101}};
}

void tst_VoiceServerAbuse::badTunnelledFramesAreProtocolErrors()
{
    QFETCH(QCborMap, message);
    VoicePeer peer;
    QVERIFY(voiceHello(&peer, QStringLiteral("tun%1").arg(QTest::currentDataTag()).left(60)));
    peer.peer.send(message);
    QVERIFY(peer.peer.closedByServer());
    checkOthersStillTalk();
}

QTEST_GUILESS_MAIN(tst_VoiceServerAbuse)
#include "tst_voiceserver_abuse.moc"
