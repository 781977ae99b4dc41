// SPDX-License-Identifier: MIT
// The C API of the client library against a real voice-server, several handlers in this process.
#include "eventrecorder.h"
#include "frame.h"
#include "protocol.h"
#include "voiceserverprocess.h"

#include <atomic>
#include <memory>

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

namespace protocol = voicesdk::protocol;

const char* const Welcome = "Welcome to the test server";
constexpr unsigned int NoServer = ERROR_failed_connection_initialisation;

QString clientString(uint64 h, anyID client, size_t flag)
{
    char* value = nullptr;
    if (ts3client_getClientVariableAsString(h, client, flag, &value) != ERROR_ok)
        return QStringLiteral("<error>");
    const QString result = QString::fromUtf8(value);
    ts3client_freeMemory(value);
    return result;
}

QString channelString(uint64 h, uint64 channel, size_t flag)
{
    char* value = nullptr;
    if (ts3client_getChannelVariableAsString(h, channel, flag, &value) != ERROR_ok)
        return QStringLiteral("<error>");
    const QString result = QString::fromUtf8(value);
    ts3client_freeMemory(value);
    return result;
}

template <typename Id> QList<Id> takeList(Id* list)
{
    QList<Id> ids;
    for (Id* p = list; p && *p; ++p)
        ids.append(*p);
    ts3client_freeMemory(list);
    return ids;
}

QList<anyID> clientsIn(uint64 h, uint64 channel)
{
    anyID* list = nullptr;
    if (ts3client_getChannelClientList(h, channel, &list) != ERROR_ok)
        return {};
    return takeList(list);
}

QList<uint64> channels(uint64 h)
{
    uint64* list = nullptr;
    if (ts3client_getChannelList(h, &list) != ERROR_ok)
        return {};
    return takeList(list);
}

uint64 channelNamed(uint64 h, const QString& name)
{
    for (uint64 id : channels(h)) {
        if (channelString(h, id, CHANNEL_NAME) == name)
            return id;
    }
    return 0;
}

anyID ownId(uint64 h)
{
    anyID id = 0;
    return ts3client_getClientID(h, &id) == ERROR_ok ? id : 0;
}

uint64 channelOf(uint64 h, anyID client)
{
    uint64 channel = 0;
    return ts3client_getChannelOfClient(h, client, &channel) == ERROR_ok ? channel : 0;
}

auto withArg(const char* key, const QVariant& value)
{
    return [key, value](const Event& e) { return e.args.value(QLatin1String(key)) == value; };
}

// A server that speaks just enough of the protocol to let the library in, then does what the
// test wants: announce too much, or fall silent. It speaks in clear, like a server started with
// --no-tls, and the library is told so while it lives.
class FakeServer : public QObject
{
public:
    explicit FakeServer(std::function<void(QTcpSocket*)> afterHello) : m_afterHello(afterHello)
    {
        qputenv("VOICESDK_PLAIN", "1");
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                m_decoder.append(socket->readAll());
                QCborMap message;
                while (m_decoder.next(&message) == protocol::FrameDecoder::Message) {
                    const QString type = message.value(protocol::TypeKey).toString();
                    received << type;
                    if (type == protocol::type::Hello)
                        m_afterHello(socket);
                }
            });
        });
    }
    ~FakeServer() override { qunsetenv("VOICESDK_PLAIN"); }
    quint16 port() const { return m_server.serverPort(); }
    QStringList received;

    // The welcome, the lobby and the client itself: what a library needs to be established.
    static void welcome(QTcpSocket* socket, int idleTimeoutMs, int extraChannels = 0)
    {
        using namespace protocol;
        QByteArray out = encodeFrame(
            {{TypeKey, type::Welcome}, {field::ClientId, 1}, {field::IdleTimeout, idleTimeoutMs}});
        for (int id = 1; id <= 1 + extraChannels; ++id)
            out += encodeFrame({{TypeKey, type::Channel},
                                {field::ChannelId, id},
                                {field::ParentId, 0},
                                {field::Name, QStringLiteral("c%1").arg(id)}});
        out += encodeFrame({{TypeKey, type::Client},
                            {field::ClientId, 1},
                            {field::Nickname, QStringLiteral("me")},
                            {field::ChannelId, 1}});
        out += encodeFrame({{TypeKey, type::Synced}});
        socket->write(out);
    }

private:
    QTcpServer m_server;
    protocol::FrameDecoder m_decoder;
    std::function<void(QTcpSocket*)> m_afterHello;
};

} // namespace

class tst_VoiceSdkApi : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void libraryBasics();
    void statusSequence();
    void noServerGives1797();
    void wrongServerPassword();
    void duplicateNicknamesAreNumbered();
    void defaultChannelOnConnect();
    void channelCreateAndPasswords();
    void channelDeleteWithForce();
    void privateAndChannelTexts();
    void textLengthLimit();
    void ownFlagsAreAnnounced();
    void leavingWithQuitMessage();
    void destroyingAConnectedHandler();
    void destroyingFromACallbackDropsQueuedWork();
    void returnCodesAreEchoed();
    void permanentChannelsSurviveRestart();
    void channelFileWithIdsOutOfRange();
    void channelFileWithLoopingParents();
    void silentServerIsLeftAfterItsIdleTime();
    void serverAnnouncingTooMuchIsLeft();
    void requestsKeepToTheServersLimit();

private:
    uint64 spawn();
    // Starts a connection and waits for status 4 (true) or 0 (false).
    bool connectAs(uint64 h, const QString& nickname, const char* password = "mossel");
    QList<int> statuses(uint64 h) const;
    // Starts server on a data directory holding json as its channel file and connects a new
    // handler to it.
    bool connectToServerWithFile(VoiceServerProcess* server, const QByteArray& json,
                                 uint64* handler);
    uint64 createChannel(uint64 h, const QString& name, const char* password, bool permanent,
                         uint64 parent = 0);

    VoiceServerProcess m_server{{QStringLiteral("--welcome"), QLatin1String(Welcome)}};
    QTemporaryDir m_logs;
    QList<uint64> m_handlers;
    QByteArray m_identity;
};

void tst_VoiceSdkApi::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_FILE | LogType_USERLOGGING,
                                     QDir(m_logs.path()).filePath("logs").toUtf8().constData(), ""),
             unsigned(ERROR_ok));
    char* identity = nullptr;
    QCOMPARE(ts3client_createIdentity(&identity), unsigned(ERROR_ok));
    m_identity = identity;
    ts3client_freeMemory(identity);
}

void tst_VoiceSdkApi::cleanup()
{
    for (uint64 h : qAsConst(m_handlers)) {
        ts3client_stopConnection(h, "");
        QCOMPARE(ts3client_destroyServerConnectionHandler(h), unsigned(ERROR_ok));
    }
    m_handlers.clear();
    EventRecorder::instance().clear();
}

void tst_VoiceSdkApi::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_lib_not_initialized));
    // Every callback came from one thread, and it was not the caller's.
    const QSet<QThread*> threads = EventRecorder::instance().threads();
    QCOMPARE(threads.size(), 1);
    QVERIFY(!threads.contains(QThread::currentThread()));
    // The file log was written.
    const QStringList logs = QDir(QDir(m_logs.path()).filePath("logs")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
}

uint64 tst_VoiceSdkApi::spawn()
{
    uint64 h = 0;
    if (ts3client_spawnNewServerConnectionHandler(0, &h) != ERROR_ok)
        return 0;
    m_handlers.append(h);
    return h;
}

bool tst_VoiceSdkApi::connectAs(uint64 h, const QString& nickname, const char* password)
{
    return connectHandler(h, m_server.port(), nickname.toUtf8().constData(), password,
                          m_identity.constData());
}

QList<int> tst_VoiceSdkApi::statuses(uint64 h) const
{
    QList<int> result;
    for (const Event& e : EventRecorder::instance().events(h, "onConnectStatusChangeEvent"))
        result.append(e.value("newStatus"));
    return result;
}

uint64 tst_VoiceSdkApi::createChannel(uint64 h, const QString& name, const char* password,
                                      bool permanent, uint64 parent)
{
    ts3client_setChannelVariableAsString(h, 0, CHANNEL_NAME, name.toUtf8().constData());
    ts3client_setChannelVariableAsString(h, 0, CHANNEL_TOPIC, "topic");
    if (password)
        ts3client_setChannelVariableAsString(h, 0, CHANNEL_PASSWORD, password);
    ts3client_setChannelVariableAsInt(h, 0, CHANNEL_FLAG_PERMANENT, permanent);
    if (ts3client_flushChannelCreation(h, parent, nullptr) != ERROR_ok)
        return 0;
    const Event created =
        EventRecorder::instance().wait(h, "onNewChannelCreatedEvent", [&](const Event& e) {
            return channelString(h, e.args.value("channelID").toULongLong(), CHANNEL_NAME) == name;
        });
    return created.args.value("channelID").toULongLong();
}

void tst_VoiceSdkApi::libraryBasics()
{
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, 0, nullptr, nullptr),
             unsigned(ERROR_lib_already_initialized));

    char* text = nullptr;
    QCOMPARE(ts3client_getErrorMessage(1797, &text), unsigned(ERROR_ok));
    QVERIFY(QByteArray(text).contains("connection"));
    ts3client_freeMemory(text);
    QCOMPARE(ts3client_getErrorMessage(0xBEEF, &text), unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_getClientLibVersion(&text), unsigned(ERROR_ok));
    QVERIFY(qstrlen(text) > 0);
    ts3client_freeMemory(text);

    char* first = nullptr;
    char* second = nullptr;
    QCOMPARE(ts3client_createIdentity(&first), unsigned(ERROR_ok));
    QCOMPARE(ts3client_createIdentity(&second), unsigned(ERROR_ok));
    QVERIFY(qstrcmp(first, second) != 0);
    QVERIFY(qstrlen(first) > 20 && qstrlen(first) < 1024);
    ts3client_freeMemory(first);
    ts3client_freeMemory(second);

    // Unknown handlers, missing arguments and calls before connecting.
    anyID id = 0;
    QCOMPARE(ts3client_getClientID(999, &id), unsigned(ERROR_connection_handler_invalid));
    QCOMPARE(ts3client_stopConnection(999, ""), unsigned(ERROR_connection_handler_invalid));
    QCOMPARE(ts3client_destroyServerConnectionHandler(999),
             unsigned(ERROR_connection_handler_invalid));
    const uint64 h = spawn();
    QVERIFY(h != 0);
    QCOMPARE(ts3client_getClientID(h, &id), unsigned(ERROR_connection_not_connected));
    QCOMPARE(ts3client_getClientID(h, nullptr), unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_stopConnection(h, "x"), unsigned(ERROR_connection_not_connected));
    QCOMPARE(ts3client_requestSendChannelTextMsg(h, "x", 1, nullptr),
             unsigned(ERROR_connection_not_connected));
    QCOMPARE(ts3client_startConnection(h, "id", nullptr, m_server.port(), "n", nullptr, nullptr,
                                       nullptr),
             unsigned(ERROR_parameter_missing));
    QCOMPARE(ts3client_startConnection(h, "id", "127.0.0.1", 0, "n", nullptr, nullptr, nullptr),
             unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_startConnection(h, "id", "127.0.0.1", m_server.port(),
                                       QByteArray(65, 'n').constData(), nullptr, nullptr, nullptr),
             unsigned(ERROR_parameter_too_long));
    // The sound module sees the handler through the core.
    char* mode = nullptr;
    QVERIFY(ts3client_getCurrentCaptureMode(h, &mode) != ERROR_connection_handler_invalid);
    ts3client_freeMemory(mode);
    QCOMPARE(ts3client_getCurrentCaptureMode(999, &mode),
             unsigned(ERROR_connection_handler_invalid));
}

void tst_VoiceSdkApi::statusSequence()
{
    const uint64 h = spawn();
    QVERIFY(connectAs(h, "seq"));
    QCOMPARE(statuses(h), (QList<int>{1, 2, 3, 4}));
    const Event connected = EventRecorder::instance().events(h, "onConnectStatusChangeEvent").at(1);
    QCOMPARE(connected.value("ownIdResult"), int(ERROR_ok));
    QVERIFY(connected.value("ownId") != 0);
    QCOMPARE(connected.text("welcome"), QLatin1String(Welcome));

    // Between 2 and 3: the channels, the own client (moved in) and the others (subscribed).
    const QList<Event> all = EventRecorder::instance().events(h);
    QStringList order;
    for (const Event& e : all) {
        if (e.name == "onConnectStatusChangeEvent")
            order.append(QString::number(e.value("newStatus")));
        else if (e.name == "onNewChannelEvent" && e.value("channelID") == 1)
            order.append("channel1");
        else if (e.name == "onClientMoveEvent" && e.value("clientID") == ownId(h))
            order.append("self");
    }
    QCOMPARE(order, (QStringList{"1", "2", "channel1", "self", "3", "4"}));

    QCOMPARE(channelOf(h, ownId(h)), uint64(1));
    QCOMPARE(channelString(h, 1, CHANNEL_NAME), QStringLiteral("Default Channel"));
    QVERIFY(clientsIn(h, 1).contains(ownId(h)));
    QCOMPARE(clientString(h, ownId(h), CLIENT_NICKNAME), QStringLiteral("seq"));
    QVERIFY(!clientString(h, ownId(h), CLIENT_UNIQUE_IDENTIFIER).isEmpty());
    QVERIFY(clientString(h, ownId(h), CLIENT_UNIQUE_IDENTIFIER) !=
            QString::fromUtf8(m_identity)); // only a hash of the identity travels

    // A second handler sees the first as already present.
    const uint64 other = spawn();
    QVERIFY(connectAs(other, "seq-other"));
    QVERIFY(!EventRecorder::instance()
                 .wait(other, "onClientMoveSubscriptionEvent", withArg("clientID", ownId(h)))
                 .name.isEmpty());
    QVERIFY(!EventRecorder::instance()
                 .wait(h, "onClientMoveEvent", withArg("clientID", ownId(other)))
                 .name.isEmpty());
    QCOMPARE(ts3client_startConnection(h, "id", "127.0.0.1", m_server.port(), "again", nullptr,
                                       nullptr, "mossel"),
             unsigned(ERROR_connection_already_connected));
}

void tst_VoiceSdkApi::noServerGives1797()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 freePort = probe.serverPort();
    probe.close();

    const uint64 h = spawn();
    QCOMPARE(ts3client_startConnection(h, "id", "127.0.0.1", freePort, "nobody", nullptr, nullptr,
                                       nullptr),
             unsigned(ERROR_ok));
    const Event end =
        EventRecorder::instance().wait(h, "onConnectStatusChangeEvent", withArg("newStatus", 0));
    QCOMPARE(end.value("errorNumber"), int(NoServer));
    QCOMPARE(statuses(h), (QList<int>{1, 0}));
    // The handler is free for another attempt.
    QVERIFY(connectAs(h, "somebody"));
}

void tst_VoiceSdkApi::wrongServerPassword()
{
    const uint64 h = spawn();
    QVERIFY(!connectAs(h, "intruder", "wrong"));
    QCOMPARE(statuses(h), (QList<int>{1, 0}));
    QCOMPARE(EventRecorder::instance()
                 .events(h, "onConnectStatusChangeEvent")
                 .last()
                 .value("errorNumber"),
             int(ERROR_server_invalid_password));
    anyID id = 0;
    QCOMPARE(ts3client_getClientID(h, &id), unsigned(ERROR_connection_not_connected));
    QVERIFY(!connectAs(h, "intruder", nullptr)); // no password at all
    QVERIFY(m_server.log().contains("wrong server password"));
}

void tst_VoiceSdkApi::duplicateNicknamesAreNumbered()
{
    const uint64 a = spawn(), b = spawn(), c = spawn();
    QVERIFY(connectAs(a, "twin"));
    QVERIFY(connectAs(b, "twin"));
    QVERIFY(connectAs(c, "twin"));
    QCOMPARE(clientString(a, ownId(a), CLIENT_NICKNAME), QStringLiteral("twin"));
    QCOMPARE(clientString(b, ownId(b), CLIENT_NICKNAME), QStringLiteral("twin1"));
    QCOMPARE(clientString(c, ownId(c), CLIENT_NICKNAME), QStringLiteral("twin2"));
    // Everyone agrees on the names.
    QTRY_COMPARE(clientString(a, ownId(c), CLIENT_NICKNAME), QStringLiteral("twin2"));
}

void tst_VoiceSdkApi::defaultChannelOnConnect()
{
    const uint64 a = spawn();
    QVERIFY(connectAs(a, "host"));
    const uint64 room = createChannel(a, "entry-room", "secret", false);
    QVERIFY(room != 0);

    const uint64 b = spawn();
    QCOMPARE(ts3client_startConnectionWithChannelID(b, "id", "127.0.0.1", m_server.port(), "byid",
                                                    room, "secret", "mossel"),
             unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(b, "onConnectStatusChangeEvent", withArg("newStatus", 4))
                 .name.isEmpty());
    QCOMPARE(channelOf(b, ownId(b)), room);
    ts3client_stopConnection(b, "");
    QTRY_VERIFY(!clientsIn(a, room).contains(ownId(b)) || clientsIn(a, room).isEmpty());

    const uint64 c = spawn();
    const char* path[] = {"entry-room", nullptr};
    QCOMPARE(ts3client_startConnection(c, "id", "127.0.0.1", m_server.port(), "bypath", path,
                                       "wrong", "mossel"),
             unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(c, "onConnectStatusChangeEvent", withArg("newStatus", 4))
                 .name.isEmpty());
    QCOMPARE(channelOf(c, ownId(c)), uint64(1)); // wrong channel password: the default channel
}

void tst_VoiceSdkApi::channelCreateAndPasswords()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "creator"));
    QVERIFY(connectAs(b, "guest"));
    const anyID idA = ownId(a), idB = ownId(b);

    const uint64 room = createChannel(a, "locked", "pw", false);
    QVERIFY(room > 1);
    const Event seen = EventRecorder::instance().wait(b, "onNewChannelCreatedEvent");
    QCOMPARE(seen.args.value("channelID").toULongLong(), room);
    QCOMPARE(seen.value("invokerID"), int(idA));
    QCOMPARE(seen.text("invokerName"), QStringLiteral("creator"));
    QCOMPARE(channelString(b, room, CHANNEL_NAME), QStringLiteral("locked"));
    QCOMPARE(channelString(b, room, CHANNEL_TOPIC), QStringLiteral("topic"));
    QCOMPARE(channelString(b, room, CHANNEL_FLAG_PASSWORD), QStringLiteral("1"));
    QCOMPARE(channelString(b, room, CHANNEL_PASSWORD), QString()); // never revealed
    QCOMPARE(channelString(b, 1, CHANNEL_FLAG_PASSWORD), QStringLiteral("0"));

    // Refusals arrive as server errors.
    auto error = [](uint64 h, unsigned int code) {
        return !EventRecorder::instance()
                    .wait(h, "onServerErrorEvent", withArg("error", code))
                    .name.isEmpty();
    };
    ts3client_setChannelVariableAsString(a, 0, CHANNEL_NAME, "locked");
    QCOMPARE(ts3client_flushChannelCreation(a, 0, nullptr), unsigned(ERROR_ok));
    QVERIFY(error(a, ERROR_channel_name_inuse));
    QCOMPARE(ts3client_flushChannelCreation(a, 0, nullptr), unsigned(ERROR_channel_invalid_name));
    ts3client_setChannelVariableAsString(a, 0, CHANNEL_NAME, "orphan");
    QCOMPARE(ts3client_flushChannelCreation(a, 424242, nullptr), unsigned(ERROR_ok));
    QVERIFY(error(a, ERROR_channel_invalid_id));
    const uint64 sub = createChannel(a, "locked", nullptr, false, room); // same name, other parent
    QVERIFY(sub != 0);

    QCOMPARE(ts3client_requestClientMove(b, idB, room, "nope", nullptr), unsigned(ERROR_ok));
    QVERIFY(error(b, ERROR_channel_invalid_password));
    QCOMPARE(ts3client_requestClientMove(b, idB, room, nullptr, nullptr), unsigned(ERROR_ok));
    QVERIFY(error(b, ERROR_channel_invalid_password));
    QCOMPARE(ts3client_requestClientMove(b, idA, room, "pw", nullptr), unsigned(ERROR_ok));
    QVERIFY(error(b, ERROR_client_not_allowed));
    QCOMPARE(ts3client_requestClientMove(b, idB, 1, nullptr, nullptr), unsigned(ERROR_ok));
    QVERIFY(error(b, ERROR_channel_already_in));
    QCOMPARE(channelOf(a, idB), uint64(1));

    QCOMPARE(ts3client_requestClientMove(b, idB, room, "pw", nullptr), unsigned(ERROR_ok));
    for (uint64 h : {a, b}) {
        const Event moved =
            EventRecorder::instance().wait(h, "onClientMoveEvent", [&](const Event& e) {
                return e.value("clientID") == idB && e.value("visibility") == RETAIN_VISIBILITY;
            });
        QCOMPARE(moved.args.value("oldChannelID").toULongLong(), uint64(1));
        QCOMPARE(moved.args.value("newChannelID").toULongLong(), room);
        QCOMPARE(moved.value("visibility"), int(RETAIN_VISIBILITY));
    }
    QCOMPARE(channelOf(a, idB), room);
    QCOMPARE(clientsIn(a, room), QList<anyID>{idB});
}

void tst_VoiceSdkApi::channelDeleteWithForce()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "deleter"));
    QVERIFY(connectAs(b, "occupant"));
    const anyID idA = ownId(a), idB = ownId(b);
    const uint64 parent = createChannel(a, "doomed", nullptr, false);
    const uint64 child = createChannel(a, "doomed-child", nullptr, false, parent);
    QVERIFY(parent && child);
    QTRY_VERIFY(channels(b).contains(child));
    QCOMPARE(ts3client_requestClientMove(b, idB, child, nullptr, nullptr), unsigned(ERROR_ok));
    QTRY_COMPARE(channelOf(a, idB), child);

    QCOMPARE(ts3client_requestChannelDelete(a, parent, 0, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(a, "onServerErrorEvent", withArg("error", ERROR_channel_not_empty))
                 .name.isEmpty());
    QCOMPARE(ts3client_requestChannelDelete(a, 1, 1, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(a, "onServerErrorEvent", withArg("error", ERROR_channel_is_default))
                 .name.isEmpty());

    QCOMPARE(ts3client_requestChannelDelete(a, parent, 1, nullptr), unsigned(ERROR_ok));
    for (uint64 h : {a, b}) {
        // The occupant is seen moved by the deleter into the default channel, then both
        // channels go, the child first.
        const Event moved =
            EventRecorder::instance().wait(h, "onClientMoveMovedEvent", withArg("clientID", idB));
        QCOMPARE(moved.args.value("oldChannelID").toULongLong(), child);
        QCOMPARE(moved.args.value("newChannelID").toULongLong(), uint64(1));
        QCOMPARE(moved.value("moverID"), int(idA));
        QCOMPARE(moved.text("moverName"), QStringLiteral("deleter"));
        const Event first = EventRecorder::instance().wait(h, "onDelChannelEvent");
        const Event second = EventRecorder::instance().wait(h, "onDelChannelEvent");
        QCOMPARE(first.args.value("channelID").toULongLong(), child);
        QCOMPARE(second.args.value("channelID").toULongLong(), parent);
        QCOMPARE(second.value("invokerID"), int(idA));
    }
    QCOMPARE(channelOf(b, idB), uint64(1));
    QVERIFY(!channels(a).contains(parent));
    QVERIFY(!channels(b).contains(child));
    QCOMPARE(channelString(b, parent, CHANNEL_NAME), QStringLiteral("<error>"));
}

void tst_VoiceSdkApi::privateAndChannelTexts()
{
    const uint64 a = spawn(), b = spawn(), c = spawn();
    QVERIFY(connectAs(a, "anna"));
    QVERIFY(connectAs(b, "ben"));
    QVERIFY(connectAs(c, "carl"));
    const anyID idA = ownId(a), idB = ownId(b), idC = ownId(c);
    const uint64 other = createChannel(c, "elsewhere", nullptr, false);
    QCOMPARE(ts3client_requestClientMove(c, idC, other, nullptr, nullptr), unsigned(ERROR_ok));
    QTRY_COMPARE(channelOf(a, idC), other);

    const QString unicode = QStringLiteral("gr\u00fc\u00df dich \u4f60\u597d \U0001F600");
    QCOMPARE(ts3client_requestSendPrivateTextMsg(a, unicode.toUtf8().constData(), idB, nullptr),
             unsigned(ERROR_ok));
    for (uint64 h : {b, a}) { // the target and the echo to the sender
        const Event text = EventRecorder::instance().wait(h, "onTextMessageEvent");
        QCOMPARE(text.value("targetMode"), int(TextMessageTarget_CLIENT));
        QCOMPARE(text.value("toID"), int(idB));
        QCOMPARE(text.value("fromID"), int(idA));
        QCOMPARE(text.text("fromName"), QStringLiteral("anna"));
        QCOMPARE(text.text("fromUniqueIdentifier"), clientString(h, idA, CLIENT_UNIQUE_IDENTIFIER));
        QCOMPARE(text.text("message"), unicode);
    }

    QCOMPARE(ts3client_requestSendChannelTextMsg(b, "to the lobby", 1, nullptr),
             unsigned(ERROR_ok));
    for (uint64 h : {a, b}) {
        const Event text = EventRecorder::instance().wait(h, "onTextMessageEvent");
        QCOMPARE(text.value("targetMode"), int(TextMessageTarget_CHANNEL));
        QCOMPARE(text.value("fromID"), int(idB));
        QCOMPARE(text.text("message"), QStringLiteral("to the lobby"));
    }
    // Texts to a channel one is not in, or to nobody, are refused.
    QCOMPARE(ts3client_requestSendChannelTextMsg(c, "wrong room", 1, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(c, "onServerErrorEvent", withArg("error", ERROR_client_not_allowed))
                 .name.isEmpty());
    QCOMPARE(ts3client_requestSendPrivateTextMsg(c, "ghost", 4242, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance()
                 .wait(c, "onServerErrorEvent", withArg("error", ERROR_client_invalid_id))
                 .name.isEmpty());
    QCOMPARE(ts3client_requestSendChannelTextMsg(c, "own room", other, nullptr),
             unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance().wait(c, "onTextMessageEvent").name.isEmpty());
    // Carl, in another channel, saw neither the private nor the lobby text.
    QCOMPARE(EventRecorder::instance().events(c, "onTextMessageEvent").size(), 1);
    QCOMPARE(EventRecorder::instance().events(a, "onTextMessageEvent").size(), 2);
    QCOMPARE(ts3client_requestSendChannelTextMsg(a, nullptr, 1, nullptr),
             unsigned(ERROR_parameter_missing));
}

void tst_VoiceSdkApi::textLengthLimit()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "long"));
    QVERIFY(connectAs(b, "reader"));
    const QByteArray limit(1024, 'x');
    const QByteArray over(1025, 'y');
    const QString wide(1024, QChar(0x00e9)); // 1024 characters, 2048 bytes
    QCOMPARE(ts3client_requestSendChannelTextMsg(a, limit.constData(), 1, nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_requestSendChannelTextMsg(a, over.constData(), 1, nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_requestSendPrivateTextMsg(a, wide.toUtf8().constData(), ownId(b), nullptr),
             unsigned(ERROR_ok));
    QCOMPARE(EventRecorder::instance().wait(b, "onTextMessageEvent").text("message"),
             QString::fromLatin1(limit));
    QCOMPARE(EventRecorder::instance().wait(b, "onTextMessageEvent").text("message"), wide);
    const Event refused = EventRecorder::instance().wait(a, "onServerErrorEvent");
    QCOMPARE(refused.value("error"), int(ERROR_parameter_too_long));
    QVERIFY(refused.text("extraMessage").contains("1024"));
    QCOMPARE(EventRecorder::instance().events(b, "onTextMessageEvent").size(), 2);
    // Far beyond anything a frame could carry: refused at once.
    QCOMPARE(
        ts3client_requestSendChannelTextMsg(a, QByteArray(100000, 'z').constData(), 1, nullptr),
        unsigned(ERROR_parameter_too_long));
}

void tst_VoiceSdkApi::ownFlagsAreAnnounced()
{
    const uint64 a = spawn(), b = spawn();
    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_OUTPUT_MUTED, 1), unsigned(ERROR_ok));
    QVERIFY(connectAs(a, "muter")); // flags set before connecting travel with the hello
    QVERIFY(connectAs(b, "watcher"));
    const anyID idA = ownId(a);
    QCOMPARE(clientString(b, idA, CLIENT_OUTPUT_MUTED), QStringLiteral("1"));
    QCOMPARE(clientString(b, idA, CLIENT_INPUT_MUTED), QStringLiteral("0"));

    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_INPUT_MUTED, 1), unsigned(ERROR_ok));
    int value = 0;
    QCOMPARE(ts3client_getClientSelfVariableAsInt(a, CLIENT_INPUT_MUTED, &value),
             unsigned(ERROR_ok));
    QCOMPARE(value, 1);
    QCOMPARE(clientString(b, idA, CLIENT_INPUT_MUTED), QStringLiteral("0")); // not flushed yet
    QCOMPARE(ts3client_flushClientSelfUpdates(a, nullptr), unsigned(ERROR_ok));
    for (uint64 h : {a, b}) {
        const Event update = EventRecorder::instance().wait(h, "onUpdateClientEvent");
        QCOMPARE(update.value("clientID"), int(idA));
        QCOMPARE(update.value("invokerID"), int(idA));
    }
    QCOMPARE(clientString(b, idA, CLIENT_INPUT_MUTED), QStringLiteral("1"));

    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_INPUT_DEACTIVATED, 1),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_INPUT_MUTED, 0), unsigned(ERROR_ok));
    QCOMPARE(ts3client_flushClientSelfUpdates(a, nullptr), unsigned(ERROR_ok));
    QVERIFY(!EventRecorder::instance().wait(b, "onUpdateClientEvent").name.isEmpty());
    QCOMPARE(clientString(b, idA, CLIENT_INPUT_DEACTIVATED), QStringLiteral("1"));
    QCOMPARE(clientString(b, idA, CLIENT_INPUT_MUTED), QStringLiteral("0"));

    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_NICKNAME, 1),
             unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_setClientSelfVariableAsInt(a, CLIENT_INPUT_MUTED, 7),
             unsigned(ERROR_parameter_invalid));
    QCOMPARE(ts3client_getClientSelfVariableAsInt(a, CLIENT_NICKNAME, &value),
             unsigned(ERROR_parameter_invalid));
}

void tst_VoiceSdkApi::leavingWithQuitMessage()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "stayer"));
    QVERIFY(connectAs(b, "leaver"));
    const anyID idB = ownId(b);
    QCOMPARE(ts3client_stopConnection(b, "see you"), unsigned(ERROR_ok));
    QCOMPARE(ts3client_stopConnection(b, "twice"), unsigned(ERROR_connection_not_connected));
    const Event left = EventRecorder::instance().wait(a, "onClientMoveEvent", [&](const Event& e) {
        return e.value("clientID") == idB && e.value("visibility") == LEAVE_VISIBILITY;
    });
    QCOMPARE(left.args.value("oldChannelID").toULongLong(), uint64(1));
    QCOMPARE(left.args.value("newChannelID").toULongLong(), uint64(0));
    QCOMPARE(left.text("moveMessage"), QStringLiteral("see you"));
    QCOMPARE(left.args.value("known").toBool(), false); // gone from the mirror already
    QCOMPARE(statuses(b), (QList<int>{1, 2, 3, 4, 0}));
    QCOMPARE(EventRecorder::instance()
                 .events(b, "onConnectStatusChangeEvent")
                 .last()
                 .value("errorNumber"),
             int(ERROR_ok));
    anyID id = 0;
    QCOMPARE(ts3client_getClientID(b, &id), unsigned(ERROR_connection_not_connected));
    // The same handler connects again.
    QVERIFY(connectAs(b, "leaver"));
    QCOMPARE(clientString(b, ownId(b), CLIENT_NICKNAME), QStringLiteral("leaver"));
}

void tst_VoiceSdkApi::destroyingAConnectedHandler()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "survivor"));
    QVERIFY(connectAs(b, "vanisher"));
    const anyID idB = ownId(b);
    m_handlers.removeAll(b);
    QCOMPARE(ts3client_destroyServerConnectionHandler(b), unsigned(ERROR_ok));
    const int eventsAfterDestroy = EventRecorder::instance().events(b).size();
    QVERIFY(!EventRecorder::instance()
                 .wait(a, "onClientMoveEvent",
                       [&](const Event& e) {
                           return e.value("clientID") == idB &&
                                  e.value("visibility") == LEAVE_VISIBILITY;
                       })
                 .name.isEmpty());
    QTest::qWait(100);
    QCOMPARE(EventRecorder::instance().events(b).size(), eventsAfterDestroy);
    anyID id = 0;
    QCOMPARE(ts3client_getClientID(b, &id), unsigned(ERROR_connection_handler_invalid));
}

void tst_VoiceSdkApi::destroyingFromACallbackDropsQueuedWork()
{
    const uint64 a = spawn(), b = spawn();
    QVERIFY(connectAs(a, "watcher"));
    QVERIFY(connectAs(b, "quitter"));
    const anyID idB = ownId(b);
    // On a text, b's callback queues a reconnect and then destroys b at once. The queued work
    // runs after the handler is gone and must not bring its connection back.
    const QByteArray identity = m_identity;
    const unsigned int port = m_server.port();
    auto destroyed = std::make_shared<std::atomic<int>>(-1);
    const auto unhook = qScopeGuard([] { EventRecorder::instance().setHook({}); });
    EventRecorder::instance().setHook([b, identity, port, destroyed](const Event& e) {
        if (e.handler != b || e.name != QLatin1String("onTextMessageEvent") ||
            e.text("message") != QLatin1String("go"))
            return;
        ts3client_stopConnection(b, "");
        ts3client_startConnection(b, identity.constData(), "127.0.0.1", port, "ghost", nullptr,
                                  nullptr, "mossel");
        *destroyed = int(ts3client_destroyServerConnectionHandler(b));
    });
    m_handlers.removeAll(b);
    QCOMPARE(ts3client_requestSendPrivateTextMsg(a, "go", idB, nullptr), unsigned(ERROR_ok));
    QTRY_COMPARE(destroyed->load(), int(ERROR_ok));
    const int eventsAfterDestroy = EventRecorder::instance().events(b).size();
    QVERIFY(!EventRecorder::instance()
                 .wait(a, "onClientMoveEvent",
                       [&](const Event& e) {
                           return e.value("clientID") == idB &&
                                  e.value("visibility") == LEAVE_VISIBILITY;
                       })
                 .name.isEmpty());
    // Nobody joins under the destroyed handler, and it reports nothing more.
    QVERIFY(!EventRecorder::instance().arrives(
        a, "onClientMoveEvent",
        [&](const Event& e) {
            return e.value("visibility") == ENTER_VISIBILITY &&
                   clientString(a, anyID(e.value("clientID")), CLIENT_NICKNAME) ==
                       QLatin1String("ghost");
        },
        1000));
    QCOMPARE(EventRecorder::instance().events(b).size(), eventsAfterDestroy);
}

void tst_VoiceSdkApi::returnCodesAreEchoed()
{
    const uint64 a = spawn();
    QVERIFY(connectAs(a, "acker"));
    QCOMPARE(ts3client_requestChannelSubscribeAll(a, "rc-1"), unsigned(ERROR_ok));
    const Event ack = EventRecorder::instance().wait(a, "onServerErrorEvent");
    QCOMPARE(ack.value("error"), int(ERROR_ok));
    QCOMPARE(ack.text("returnCode"), QStringLiteral("rc-1"));
    QCOMPARE(ts3client_requestChannelDelete(a, 99999, 0, "rc-2"), unsigned(ERROR_ok));
    const Event failed = EventRecorder::instance().wait(a, "onServerErrorEvent");
    QCOMPARE(failed.value("error"), int(ERROR_channel_invalid_id));
    QCOMPARE(failed.text("returnCode"), QStringLiteral("rc-2"));
    QCOMPARE(ts3client_allowWhispersFrom(a, 1), unsigned(ERROR_ok));
}

void tst_VoiceSdkApi::permanentChannelsSurviveRestart()
{
    const uint64 a = spawn();
    QVERIFY(connectAs(a, "keeper"));
    const uint64 kept = createChannel(a, "kept", "pw", true);
    const uint64 keptChild = createChannel(a, "kept-child", nullptr, true, kept);
    const uint64 lost = createChannel(a, "temporary", nullptr, false);
    QVERIFY(kept && keptChild && lost);

    QVERIFY(m_server.restart());
    const Event down =
        EventRecorder::instance().wait(a, "onConnectStatusChangeEvent", withArg("newStatus", 0));
    // Stopped with SIGTERM, the server says it is going away.
    QCOMPARE(down.value("errorNumber"), int(ERROR_server_going_away));
    QVERIFY(connectAs(a, "keeper"));
    QCOMPARE(channelNamed(a, "kept"), kept);
    QCOMPARE(channelNamed(a, "kept-child"), keptChild);
    QCOMPARE(channelNamed(a, "temporary"), uint64(0));
    QCOMPARE(channelString(a, kept, CHANNEL_FLAG_PASSWORD), QStringLiteral("1"));
    QCOMPARE(channelString(a, kept, CHANNEL_FLAG_PERMANENT), QStringLiteral("1"));
    // The password still works after the restart, and IDs are not reused.
    QCOMPARE(ts3client_requestClientMove(a, ownId(a), kept, "pw", nullptr), unsigned(ERROR_ok));
    QTRY_COMPARE(channelOf(a, ownId(a)), kept);
    const uint64 fresh = createChannel(a, "fresh", nullptr, false);
    QVERIFY(fresh > lost);
}

bool tst_VoiceSdkApi::connectToServerWithFile(VoiceServerProcess* server, const QByteArray& json,
                                              uint64* handler)
{
    QFile file(QDir(server->dataDirectory()).filePath("server.json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size())
        return false;
    file.close();
    if (!server->start())
        return false;
    const uint64 h = spawn();
    EventRecorder::instance().claimAll(h, "onConnectStatusChangeEvent");
    if (ts3client_startConnection(h, m_identity.constData(), "127.0.0.1", server->port(), "ranger",
                                  nullptr, nullptr, "mossel") != ERROR_ok)
        return false;
    const Event end =
        EventRecorder::instance().wait(h, "onConnectStatusChangeEvent", [](const Event& e) {
            return e.value("newStatus") == 4 || e.value("newStatus") == 0;
        });
    *handler = h;
    return end.value("newStatus") == 4;
}

void tst_VoiceSdkApi::channelFileWithIdsOutOfRange()
{
    // IDs travel as signed 64-bit integers and the file holds doubles: an entry beyond either
    // is skipped, and the next ID stays one every client can read.
    VoiceServerProcess server;
    uint64 a = 0;
    QVERIFY2(connectToServerWithFile(&server, R"({"serverUniqueId": "u", "nextChannelId": 1e19,
        "channels": [
        {"id": 1e19, "parent": 0, "name": "huge"},
        {"id": 9007199254740993, "parent": 0, "name": "inexact"},
        {"id": 2.5, "parent": 0, "name": "fraction"},
        {"id": 7, "parent": 1e19, "name": "orphan"},
        {"id": 5, "parent": 0, "name": "fine"}]})",
                                     &a),
             qPrintable(server.log()));
    QCOMPARE(channelNamed(a, "fine"), uint64(5));
    QCOMPARE(channelNamed(a, "huge"), uint64(0));
    QCOMPARE(channelNamed(a, "inexact"), uint64(0));
    QCOMPARE(channelNamed(a, "fraction"), uint64(0));
    QCOMPARE(channelNamed(a, "orphan"), uint64(7));
    // A channel created now gets a usable ID.
    const uint64 created = createChannel(a, "after", nullptr, false);
    QVERIFY(created > 7);
}

void tst_VoiceSdkApi::channelFileWithLoopingParents()
{
    // Parents that loop are cut, so the tree ends; such channels are shown and can be deleted.
    VoiceServerProcess server;
    uint64 a = 0;
    QVERIFY2(connectToServerWithFile(&server, R"({"serverUniqueId": "u", "nextChannelId": 13,
        "channels": [
        {"id": 10, "parent": 11, "name": "loop-a"},
        {"id": 11, "parent": 10, "name": "loop-b"},
        {"id": 12, "parent": 12, "name": "own-parent"}]})",
                                     &a),
             qPrintable(server.log()));
    QCOMPARE(channelNamed(a, "loop-a"), uint64(10));
    QCOMPARE(channelNamed(a, "loop-b"), uint64(11));
    QCOMPARE(channelNamed(a, "own-parent"), uint64(12));
    for (uint64 id : {uint64(10), uint64(12)}) {
        QCOMPARE(ts3client_requestChannelDelete(a, id, 1, nullptr), unsigned(ERROR_ok));
        QVERIFY(!EventRecorder::instance()
                     .wait(a, "onDelChannelEvent", withArg("channelID", id))
                     .name.isEmpty());
    }
    QVERIFY(server.isRunning());
}

void tst_VoiceSdkApi::silentServerIsLeftAfterItsIdleTime()
{
    // The library pings three times per idle time; a server that never answers is gone.
    FakeServer server([](QTcpSocket* socket) { FakeServer::welcome(socket, 1200); });
    const uint64 h = spawn();
    QVERIFY(connectHandler(h, server.port(), "me"));
    const Event lost = EventRecorder::instance().wait(
        h, "onConnectStatusChangeEvent",
        [](const Event& e) { return e.value("newStatus") == STATUS_DISCONNECTED; }, 5000);
    QCOMPARE(lost.value("errorNumber"), int(ERROR_connection_lost));
    QVERIFY(server.received.count(QStringLiteral("ping")) >= 2);
}

void tst_VoiceSdkApi::serverAnnouncingTooMuchIsLeft()
{
    // One channel more than the library keeps: the connection ends instead of the mirror growing.
    FakeServer server([](QTcpSocket* socket) { FakeServer::welcome(socket, 30000, 100000); });
    const uint64 h = spawn();
    QVERIFY(!connectHandler(h, server.port(), "me"));
    const QList<Event> events = EventRecorder::instance().events(h, "onConnectStatusChangeEvent");
    QCOMPARE(events.last().value("errorNumber"), int(ERROR_connection_limit_reached));
}

void tst_VoiceSdkApi::requestsKeepToTheServersLimit()
{
    // A picture travels as some 1,800 texts at once; the library paces them to what the server
    // takes instead of having the rest refused.
    VoiceServerProcess server({"--flood-burst", "50", "--flood-rate", "200"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    const uint64 sender = spawn(), receiver = spawn();
    QVERIFY(connectHandler(sender, server.port(), "sender"));
    QVERIFY(connectHandler(receiver, server.port(), "receiver"));
    for (int i = 0; i < 300; ++i)
        QCOMPARE(ts3client_requestSendChannelTextMsg(sender, QByteArray::number(i).constData(), 1,
                                                     nullptr),
                 unsigned(ERROR_ok));
    QTRY_COMPARE_WITH_TIMEOUT(
        EventRecorder::instance().events(receiver, "onTextMessageEvent").size(), 300, 10000);
    const QList<Event> texts = EventRecorder::instance().events(receiver, "onTextMessageEvent");
    for (int i = 0; i < texts.size(); ++i)
        QCOMPARE(texts.at(i).text("message"), QString::number(i)); // in order
    for (const Event& e : EventRecorder::instance().events(sender, "onServerErrorEvent"))
        QVERIFY(e.value("error") != int(ERROR_client_is_flooding));
}

QTEST_GUILESS_MAIN(tst_VoiceSdkApi)
#include "tst_voicesdk_api.moc"
