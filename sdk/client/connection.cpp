// SPDX-License-Identifier: MIT
#include "connection.h"

#include "knownservers.h"
#include "message.h"
#include "protocol.h"
#include "textmessagecodec.h"
#include "tls.h"
#include "voicecrypto.h"

#include <QDateTime>
#include <QScopedValueRollback>

namespace voicesdk {

using namespace protocol;
using protocol::voice::KeySize;

namespace {

// "ADDRESS:PORT" or "[IPv6]:PORT", an IP address only.
bool parseVoiceAddress(const QString& text, QHostAddress* address, quint16* port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false;
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    QHostAddress parsed;
    if (colon <= 0 || !ok || number == 0 || number > 65535 || !parsed.setAddress(host))
        return false;
    *address = parsed;
    *port = quint16(number);
    return true;
}
constexpr int HandshakeTimeoutMs = 10000; // TCP connect, hello, welcome and state
constexpr int CloseTimeoutMs = 2000;
constexpr int ReadChunk = 64 * 1024;
// The server drops a client silent for its idle timeout (30 s unless it says otherwise in the
// welcome); three pings in that time keep an idle client in, and a server that answered nothing
// for as long is taken for gone.
constexpr int DefaultIdleTimeoutMs = 30000;
// The server's request limit when its welcome does not say.
constexpr int DefaultFloodBurst = 4096;
constexpr int DefaultFloodRate = 1024;
// What a server may make this library hold: past these the connection is closed.
constexpr int MaxChannels = 100000;
constexpr qint64 MaxUnsentBytes = 32 * 1024 * 1024;
constexpr qint64 MaxId = std::numeric_limits<qint64>::max();
constexpr qint64 MaxVoiceBacklog = 64 * 1024; // unsent bytes before tunnelled voice is dropped

bool readChannel(const QCborMap& message, ChannelState* channel, QString* error)
{
    MessageReader reader(message);
    channel->id = uint64(reader.integer(field::ChannelId, 1, MaxId));
    channel->parent = uint64(reader.integer(field::ParentId, 0, MaxId));
    channel->name = reader.string(field::Name, limits::ChannelNameLength);
    channel->topic = reader.optionalString(field::Topic, limits::ChannelTopicLength);
    channel->description =
        reader.optionalString(field::Description, limits::ChannelDescriptionLength);
    channel->hasPassword = reader.optionalBoolean(field::HasPassword);
    channel->permanent = reader.optionalBoolean(field::Permanent);
    channel->semiPermanent = reader.optionalBoolean(field::SemiPermanent);
    *error = reader.errorString();
    return reader.ok();
}

bool readClient(const QCborMap& message, ClientState* client, QString* error)
{
    MessageReader reader(message);
    client->id = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
    client->nickname = reader.string(field::Nickname, limits::NicknameLength);
    client->uniqueId = reader.optionalString(field::UniqueId, limits::UniqueIdentifierLength);
    client->channel = uint64(reader.integer(field::ChannelId, 1, MaxId));
    client->inputMuted = reader.optionalBoolean(field::InputMuted);
    client->outputMuted = reader.optionalBoolean(field::OutputMuted);
    client->inputDeactivated = reader.optionalBoolean(field::InputDeactivated);
    *error = reader.errorString();
    return reader.ok();
}

struct Invoker
{
    anyID id = 0;
    QByteArray name;
    QByteArray uniqueId;
};

Invoker readInvoker(MessageReader& reader)
{
    Invoker invoker;
    invoker.id = anyID(reader.optionalInteger(field::InvokerId, 0, 0xFFFF));
    invoker.name = reader.optionalString(field::InvokerName, limits::NicknameLength).toUtf8();
    invoker.uniqueId =
        reader.optionalString(field::InvokerUniqueId, limits::UniqueIdentifierLength).toUtf8();
    return invoker;
}
} // namespace

Connection::Connection(uint64 handler, QObject* parent) : QObject(parent), m_handler(handler)
{
    VoiceLink::Hooks hooks;
    hooks.sendControl = [this](const QByteArray& frame, bool droppable) {
        if (m_phase != Phase::Established || frame.isEmpty() ||
            (droppable && m_socket->bytesToWrite() > MaxVoiceBacklog))
            return false;
        // Voice frames are outside the server's request limit and must not wait behind texts.
        if (droppable)
            return write(frame);
        send(frame);
        return true;
    };
    hooks.talkStatus = [this](int status, anyID client) {
        notify(&ClientUIFunctions::onTalkStatusChangeEvent, status, 0, client);
    };
    m_voice = new VoiceLink(handler, std::move(hooks), this);
    ScreenLink::Hooks screenHooks;
    screenHooks.sendControl = [this](const QCborMap& message) {
        if (m_phase == Phase::Established)
            send(encodeFrame(message));
    };
    screenHooks.session = [this] { return m_socket ? m_socket->session() : TlsSession(); };
    m_screen = new ScreenLink(handler, std::move(screenHooks), this);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        fail(ERROR_failed_connection_initialisation, QStringLiteral("connection timed out"));
    });
    connect(&m_ping, &QTimer::timeout, this, &Connection::keepAlive);
    m_pace.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, &Connection::sendPaced);
}

void Connection::keepAlive()
{
    if (m_phase != Phase::Established)
        return;
    if (QDateTime::currentMSecsSinceEpoch() - m_lastHeard > m_idleTimeoutMs)
        return fail(ERROR_connection_lost, QStringLiteral("the server stopped answering"));
    write(encodeFrame(QCborMap{{TypeKey, type::Ping}}));
}

bool Connection::roomForChannel(const ServerMirror& mirror, uint64 id)
{
    return mirror.channels.size() < MaxChannels || mirror.channels.contains(id);
}

void Connection::tooManyChannels()
{
    fail(ERROR_connection_limit_reached,
         QStringLiteral("the server announced more than %1 channels").arg(MaxChannels));
}

Connection::~Connection()
{
    shutdown();
}

void Connection::start(const Start& start)
{
    if (m_phase != Phase::Idle)
        closeSocket({});
    m_generation = start.generation;
    m_hello = start.hello;
    m_host = start.host;
    m_port = start.port;
    m_plain = start.plain;
    m_certificate = QSslCertificate();
    m_trustOnSuccess.clear();
    m_decoder = FrameDecoder();
    m_sync = ServerMirror();
    m_channelOrder.clear();
    m_phase = Phase::Connecting;
    m_socket = new TlsSocket(this);
    connect(m_socket, &TlsSocket::connected, this, &Connection::onConnected);
    connect(m_socket, &TlsSocket::readyRead, this, &Connection::onReadyRead);
    connect(m_socket, &TlsSocket::ended, this, &Connection::onSocketGone);
    notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_CONNECTING), 0u);
    m_timer.start(HandshakeTimeoutMs); // TCP, TLS, hello, welcome and state
    if (m_plain)
        log(LogLevel_WARNING, "Connection",
            QStringLiteral("connecting to %1:%2 WITHOUT TLS (VOICESDK_PLAIN=1): everything "
                           "travels in clear")
                .arg(start.host)
                .arg(start.port),
            m_handler);
    else
        log(LogLevel_INFO, "Connection",
            QStringLiteral("connecting to %1:%2").arg(start.host).arg(start.port), m_handler);
    m_socket->connectToHost(start.host, start.port, m_plain);
}

bool Connection::checkCertificate()
{
    const QList<QSslCertificate> chain = m_socket->peerCertificateChain();
    if (chain.isEmpty() || chain.first().isNull()) {
        fail(ERROR_failed_connection_initialisation,
             QStringLiteral("TLS: the server showed no certificate"));
        return false;
    }
    const QString unverified = m_socket->verificationError();
    if (unverified.isEmpty())
        return true;
    const QSslCertificate& certificate = chain.first();
    const QString server = knownservers::serverName(m_host, m_port);
    const QString key = publicKeyFingerprint(certificate);
    const QString digest = certificateFingerprint(certificate);
    const QStringList known = knownservers::lookup(server);
    if (known.isEmpty()) {
        // First contact, as with a new SSH host: this key is the server's from now on.
        log(LogLevel_INFO, "Connection",
            QStringLiteral("first connection to %1: trusting its key %2 (certificate %3; %4) "
                           "from now on")
                .arg(server, key, digest, unverified),
            m_handler);
        m_trustOnSuccess = key;
        return true;
    }
    if (known.contains(key))
        return true;
    if (known.contains(digest)) {
        // Remembered as a whole certificate, as earlier versions did: its key joins it, so that
        // a renewal for the same key passes.
        log(LogLevel_INFO, "Connection",
            QStringLiteral("%1: the remembered certificate %2; remembering its key %3 too")
                .arg(server, digest, key),
            m_handler);
        m_trustOnSuccess = key;
        return true;
    }
    log(LogLevel_ERROR, "Connection",
        QStringLiteral("REFUSED %1: its key changed from %2 to %3 (certificate %4). Someone may "
                       "be posing as the server. If its key was replaced on purpose, remove the "
                       "lines of %1 from %5 and connect again.")
            .arg(server, known.join(QStringLiteral(", ")), key, digest, knownservers::filePath()),
        m_handler);
    fail(ERROR_connection_certificate_changed, QStringLiteral("the server's key changed"));
    return false;
}

void Connection::stop(quint64 generation, const QString& quitMessage)
{
    if (generation != m_generation || m_phase == Phase::Idle)
        return;
    QByteArray quit;
    if (m_phase != Phase::Connecting)
        quit = encodeFrame(QCborMap{{TypeKey, type::Quit}, {field::Message, quitMessage}});
    closeSocket(quit);
    abortTransfers(ERROR_file_transfer_aborted, QStringLiteral("disconnected from the server"));
    resetMirror();
    log(LogLevel_INFO, "Connection", QStringLiteral("disconnected"), m_handler);
    notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_DISCONNECTED),
           unsigned(ERROR_ok));
}

void Connection::shutdown()
{
    m_removed = true;
    abortTransfers(ERROR_file_transfer_aborted, QString());
    if (m_phase == Phase::Idle)
        return;
    QByteArray quit;
    if (m_phase != Phase::Connecting)
        quit = encodeFrame(QCborMap{{TypeKey, type::Quit}, {field::Message, QString()}});
    closeSocket(quit);
}

void Connection::send(const QByteArray& frame)
{
    if (m_phase != Phase::Established) {
        log(LogLevel_WARNING, "Connection", QStringLiteral("dropped a request: not connected"),
            m_handler);
        return;
    }
    if (m_paced.empty() && takeToken()) {
        write(frame);
        return;
    }
    if (m_pacedBytes + m_socket->bytesToWrite() + frame.size() > MaxUnsentBytes)
        return fail(ERROR_connection_output_overflow,
                    QStringLiteral("more requests than the server takes in time"));
    m_paced.push_back(frame);
    m_pacedBytes += frame.size();
    if (!m_pace.isActive())
        m_pace.start(qMax(1, int(1.0 / m_rate)));
}

bool Connection::takeToken()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_tokens = qMin(m_burst, m_tokens + double(now - m_tokensAt) * m_rate);
    m_tokensAt = now;
    if (m_tokens < 1)
        return false;
    m_tokens -= 1;
    return true;
}

void Connection::sendPaced()
{
    while (!m_paced.empty() && m_phase == Phase::Established && takeToken()) {
        const QByteArray frame = std::move(m_paced.front());
        m_paced.pop_front();
        m_pacedBytes -= frame.size();
        if (!write(frame))
            return;
    }
    if (!m_paced.empty() && m_phase == Phase::Established)
        m_pace.start(qMax(1, int(1.0 / m_rate)));
}

bool Connection::write(const QByteArray& frame)
{
    if (m_socket->bytesToWrite() + frame.size() > MaxUnsentBytes) {
        // Queued bytes go out when the thread comes back to its loop; try that before judging.
        m_socket->flush();
        if (m_socket->bytesToWrite() + frame.size() > MaxUnsentBytes) {
            fail(ERROR_connection_output_overflow,
                 QStringLiteral("the server does not read what is sent to it"));
            return false;
        }
    }
    m_socket->write(frame);
    return true;
}

void Connection::closeSocket(const QByteArray& lastWords)
{
    m_voice->stop();
    m_screen->stop();
    m_phase = Phase::Idle;
    m_timer.stop();
    m_ping.stop();
    m_pace.stop();
    m_paced.clear();
    m_pacedBytes = 0;
    TlsSocket* socket = m_socket;
    m_socket = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    // The socket outlives this connection until its last words are out; Core owns it meanwhile.
    // A handshake still running has nothing to say goodbye with.
    if (!socket->isConnected()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setParent(parent());
    if (!lastWords.isEmpty())
        socket->write(lastWords);
    socket->closeGracefully(CloseTimeoutMs);
}

void Connection::resetMirror()
{
    QMutexLocker locker(&stateMutex());
    if (HandlerState* state = findHandler(m_handler)) {
        state->mirror = ServerMirror();
        if (state->generation == m_generation)
            state->active = false;
    }
}

void Connection::fail(unsigned int error, const QString& reason)
{
    if (m_phase == Phase::Idle)
        return;
    closeSocket({});
    abortTransfers(error == ERROR_connection_lost ? ERROR_file_transfer_connection_failed
                                                  : ERROR_file_transfer_aborted,
                   QStringLiteral("the connection to the server ended"));
    resetMirror();
    log(LogLevel_WARNING, "Connection",
        QStringLiteral("connection ended: %1 (%2)").arg(reason, QLatin1String(errorText(error))),
        m_handler);
    notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_DISCONNECTED), error);
}

void Connection::onConnected()
{
    if (!m_plain) {
        if (!checkCertificate())
            return;
        m_certificate = m_socket->peerCertificateChain().first();
        if (!m_trustOnSuccess.isEmpty()) {
            const QString server = knownservers::serverName(m_host, m_port);
            QString error;
            if (!knownservers::remember(server, m_trustOnSuccess, &error))
                log(LogLevel_WARNING, "Connection",
                    QStringLiteral("cannot remember the certificate of %1 in %2: %3")
                        .arg(server, knownservers::filePath(), error),
                    m_handler);
            m_trustOnSuccess.clear();
        }
        log(LogLevel_DEBUG, "Connection", QStringLiteral("TLS with %1").arg(m_socket->cipherName()),
            m_handler);
    }
    m_phase = Phase::Handshaking;
    m_socket->write(encodeFrame(m_hello));
}

void Connection::onSocketGone()
{
    if (m_phase == Phase::Idle)
        return;
    const QString reason = m_socket ? m_socket->errorString() : QString();
    fail(m_phase == Phase::Established ? ERROR_connection_lost
                                       : ERROR_failed_connection_initialisation,
         reason);
}

void Connection::onReadyRead()
{
    // A callback may run the event loop of this thread; a nested call must not touch the
    // decoder while a frame of it is being handled.
    if (m_reading)
        return;
    const QScopedValueRollback<bool> reading(m_reading, true);
    TlsSocket* socket = m_socket;
    if (m_readBuffer.size() != ReadChunk)
        m_readBuffer.resize(ReadChunk);
    while (socket == m_socket) {
        const qint64 got = socket->read(m_readBuffer.data(), m_readBuffer.size());
        if (got <= 0)
            return;
        m_decoder.append(m_readBuffer.constData(), int(got));
        m_lastHeard = QDateTime::currentMSecsSinceEpoch();
        FrameDecoder::Frame frame;
        QCborMap message;
        for (;;) {
            const auto result = m_decoder.nextFrame(&frame);
            if (result == FrameDecoder::NeedMore)
                break;
            if (result == FrameDecoder::Error)
                return fail(ERROR_connection_protocol, m_decoder.errorString());
            if (!(m_phase == Phase::Established && deliverText(frame))) {
                if (m_decoder.decode(frame, &message) == FrameDecoder::Error)
                    return fail(ERROR_connection_protocol, m_decoder.errorString());
                handleMessage(message);
            }
            if (socket != m_socket)
                return; // the message ended the connection
        }
    }
}

bool Connection::deliverText(const FrameDecoder::Frame& frame)
{
    TextMessageEvent event;
    if (!decodeTextMessage(frame.data, frame.size, &event))
        return false;
    // The bounds of the generic reading in handleEvent; outside them that reading reports it.
    if (event.mode < 1 || event.mode > 3 || event.fromId > 0xFFFF ||
        event.fromNameLength > limits::NicknameLength ||
        event.fromUniqueIdLength > limits::UniqueIdentifierLength ||
        event.messageLength > limits::TextLength)
        return false;
    // The callback wants terminated strings; these buffers keep their capacity between texts.
    m_textName.assign(event.fromName.data, size_t(event.fromName.size));
    m_textUniqueId.assign(event.fromUniqueId.data, size_t(event.fromUniqueId.size));
    m_textBody.assign(event.message.data, size_t(event.message.size));
    const anyID to = event.mode == TextMessageTarget_CLIENT ? anyID(event.target) : anyID(0);
    notify(&ClientUIFunctions::onTextMessageEvent, anyID(event.mode), to, anyID(event.fromId),
           m_textName.c_str(), m_textUniqueId.c_str(), m_textBody.c_str());
    return true;
}

void Connection::handleMessage(const QCborMap& message)
{
    const QString type = message.value(TypeKey).toString();
    // In any phase: the server is about to close, and whoever can should go elsewhere at once.
    if (type == type::GoingAway && m_phase != Phase::Idle && m_phase != Phase::Connecting) {
        MessageReader reader(message);
        const QString reason = reader.optionalString(field::Message, limits::QuitMessageLength);
        return fail(ERROR_server_going_away,
                    QStringLiteral("the server is going away: %1").arg(reason));
    }
    bool ok = false;
    switch (m_phase) {
    case Phase::Handshaking:
        ok = handleHandshake(type, message);
        break;
    case Phase::Syncing:
        ok = handleSync(type, message);
        break;
    case Phase::Established:
        ok = handleEvent(type, message);
        // Who is heard, and the chimes, follow the members of the own channel.
        if (ok &&
            (type == type::ClientJoined || type == type::ClientMoved || type == type::ClientLeft)) {
            m_voice->membersChanged();
            m_screen->membersChanged();
        }
        break;
    case Phase::Idle:
    case Phase::Connecting:
        return;
    }
    if (!ok && m_phase != Phase::Idle)
        fail(ERROR_connection_protocol, QStringLiteral("bad or unexpected '%1' message").arg(type));
}

bool Connection::handleHandshake(const QString& type, const QCborMap& message)
{
    MessageReader reader(message);
    if (type == type::Welcome) {
        m_sync.ownId = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        m_sync.welcomeMessage = reader.optionalString(field::WelcomeMessage, MaxFrameSize);
        m_sync.serverName = reader.optionalString(field::ServerName, MaxFrameSize);
        m_sync.serverUniqueId = reader.optionalString(field::ServerUniqueId, MaxFrameSize);
        m_idleTimeoutMs = int(reader.optionalInteger(field::IdleTimeout, 1000, 24 * 3600 * 1000,
                                                     DefaultIdleTimeoutMs));
        // Somewhat below the server's limit: frames sent evenly can still arrive bunched.
        m_burst =
            0.9 * double(reader.optionalInteger(field::FloodBurst, 1, 1000000, DefaultFloodBurst));
        m_rate = 0.95 *
                 double(reader.optionalInteger(field::FloodRate, 1, 1000000, DefaultFloodRate)) /
                 1000.0;
        m_tokens = m_burst;
        m_tokensAt = QDateTime::currentMSecsSinceEpoch();
        m_voiceUdp = reader.optionalBoolean(field::VoiceUdp);
        m_voiceAddress.clear();
        m_voicePort = 0;
        const QString voiceAddress = reader.optionalString(field::VoiceAddress, 64);
        if (!voiceAddress.isEmpty() &&
            !parseVoiceAddress(voiceAddress, &m_voiceAddress, &m_voicePort))
            log(LogLevel_WARNING, "Connection",
                QStringLiteral("the welcome names an unusable voice address '%1'; voice goes to "
                               "the server's address")
                    .arg(voiceAddress));
        m_voiceLoss = reader.optionalBoolean(field::VoiceLossAware);
        m_voiceBursts = m_voiceLoss && reader.optionalBoolean(field::VoiceBurstAware);
        // A server without voice sends no token; one of another size is not ours to use.
        m_voiceToken = message.value(field::VoiceToken).toByteArray();
        m_voiceUpKey.clear();
        m_voiceDownKey.clear();
        if (message.contains(field::VoiceKeyUp) || message.contains(field::VoiceKeyDown)) {
            m_voiceUpKey = reader.bytes(field::VoiceKeyUp, KeySize, KeySize);
            m_voiceDownKey = reader.bytes(field::VoiceKeyDown, KeySize, KeySize);
        }
        if (!reader.ok())
            return false;
        m_phase = Phase::Syncing;
        return true;
    }
    if (type == type::Refused || type == type::Error) {
        const unsigned int code =
            unsigned(reader.optionalInteger(field::Code, 1, 0xFFFF, ERROR_connection_protocol));
        const QString reason = reader.optionalString(field::Message, MaxFrameSize);
        fail(code, QStringLiteral("refused by the server: %1").arg(reason));
        return true;
    }
    return false;
}

bool Connection::handleSync(const QString& type, const QCborMap& message)
{
    QString error;
    if (type == type::Channel) {
        ChannelState channel;
        if (!readChannel(message, &channel, &error))
            return false;
        if (!roomForChannel(m_sync, channel.id)) {
            tooManyChannels();
            return true;
        }
        if (!m_sync.channels.contains(channel.id))
            m_channelOrder.append(channel.id);
        m_sync.channels.insert(channel.id, channel);
        return true;
    }
    if (type == type::Client) {
        ClientState client;
        if (!readClient(message, &client, &error))
            return false;
        m_sync.clients.insert(client.id, client);
        return true;
    }
    if (type == type::Synced) {
        if (!m_sync.clients.contains(m_sync.ownId))
            return false;
        commitState();
        return true;
    }
    return false;
}

void Connection::commitState()
{
    m_timer.stop();
    m_phase = Phase::Established;
    m_lastHeard = QDateTime::currentMSecsSinceEpoch();
    m_ping.start(m_idleTimeoutMs / 3);
    m_sync.connected = true;
    const ServerMirror state = m_sync;
    m_sync = ServerMirror();
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* handler = findHandler(m_handler))
            handler->mirror = state;
    }
    VoiceLink::Datagrams datagrams;
    datagrams.token = m_voiceToken;
    datagrams.upKey = m_voiceUpKey;
    datagrams.downKey = m_voiceDownKey;
    datagrams.lossAware = m_voiceLoss;
    datagrams.burstAware = m_voiceBursts;
    // Over TLS, voice leaves the TLS connection only sealed: without keys it stays tunnelled.
    datagrams.offered = m_voiceUdp && (m_plain || !m_voiceUpKey.isEmpty());
    if (m_voicePort != 0)
        m_voice->start(datagrams, m_voiceAddress, m_voicePort, state.ownId);
    else
        m_voice->start(datagrams, m_socket->peerAddress(), m_port, state.ownId);
    m_screen->start(m_host, m_port, m_plain, m_certificate, state.ownId);
    log(LogLevel_INFO, "Connection",
        QStringLiteral("connected as client %1 with %2 channel(s) and %3 client(s)")
            .arg(state.ownId)
            .arg(state.channels.size())
            .arg(state.clients.size()),
        m_handler);
    const quint64 generation = m_generation;
    // A callback may stop the connection only through a queued request, so the sequence runs
    // to its end unless the handler is destroyed, after which notify() stays silent.
    notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_CONNECTED), 0u);
    for (uint64 id : qAsConst(m_channelOrder))
        notify(&ClientUIFunctions::onNewChannelEvent, id, state.channels[id].parent);
    const ClientState own = state.clients.value(state.ownId);
    notify(&ClientUIFunctions::onClientMoveEvent, own.id, uint64(0), own.channel,
           int(ENTER_VISIBILITY), "");
    for (const ClientState& client : state.clients) {
        if (client.id != state.ownId)
            notify(&ClientUIFunctions::onClientMoveSubscriptionEvent, client.id, uint64(0),
                   client.channel, int(ENTER_VISIBILITY));
    }
    if (generation == m_generation && m_phase == Phase::Established) {
        notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_CONNECTION_ESTABLISHING),
               0u);
        notify(&ClientUIFunctions::onConnectStatusChangeEvent, int(STATUS_CONNECTION_ESTABLISHED),
               0u);
    }
    m_channelOrder.clear();
}

bool Connection::handleEvent(const QString& type, const QCborMap& message)
{
    MessageReader reader(message);
    QString error;
    if (type == type::TextMessage) {
        const int mode = int(reader.integer(field::TargetMode, 1, 3));
        const qint64 target = reader.optionalInteger(field::Target, 0, MaxId);
        const anyID from = anyID(reader.integer(field::FromId, 0, 0xFFFF));
        const QByteArray name = reader.string(field::FromName, limits::NicknameLength).toUtf8();
        const QByteArray uid =
            reader.optionalString(field::FromUniqueId, limits::UniqueIdentifierLength).toUtf8();
        const QByteArray text = reader.string(field::Message, limits::TextLength).toUtf8();
        if (!reader.ok())
            return false;
        const anyID to = mode == TextMessageTarget_CLIENT ? anyID(target) : anyID(0);
        notify(&ClientUIFunctions::onTextMessageEvent, anyID(mode), to, from, name.constData(),
               uid.constData(), text.constData());
        return true;
    }
    if (type == type::ClientJoined) {
        ClientState client;
        if (!readClient(message, &client, &error))
            return false;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler))
                state->mirror.clients.insert(client.id, client);
        }
        notify(&ClientUIFunctions::onClientMoveEvent, client.id, uint64(0), client.channel,
               int(ENTER_VISIBILITY), "");
        return true;
    }
    if (type == type::ClientMoved) {
        const anyID id = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const uint64 from = uint64(reader.integer(field::FromChannel, 0, MaxId));
        const uint64 to = uint64(reader.integer(field::ToChannel, 1, MaxId));
        const Invoker invoker = readInvoker(reader);
        if (!reader.ok())
            return false;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler)) {
                auto it = state->mirror.clients.find(id);
                if (it != state->mirror.clients.end())
                    it->channel = to;
            }
        }
        if (invoker.id == 0 || invoker.id == id)
            notify(&ClientUIFunctions::onClientMoveEvent, id, from, to, int(RETAIN_VISIBILITY), "");
        else
            notify(&ClientUIFunctions::onClientMoveMovedEvent, id, from, to, int(RETAIN_VISIBILITY),
                   invoker.id, invoker.name.constData(), invoker.uniqueId.constData(), "");
        return true;
    }
    if (type == type::ClientLeft) {
        const anyID id = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const int reason = int(reader.optionalInteger(field::Reason, 0, 0xFFFF));
        const QByteArray text = reader.optionalString(field::Message, MaxFrameSize).toUtf8();
        if (!reader.ok())
            return false;
        uint64 channel = 0;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler))
                channel = state->mirror.clients.take(id).channel;
        }
        if (reason == int(LeaveReason::Quit))
            notify(&ClientUIFunctions::onClientMoveEvent, id, channel, uint64(0),
                   int(LEAVE_VISIBILITY), text.constData());
        else
            notify(&ClientUIFunctions::onClientMoveTimeoutEvent, id, channel, uint64(0),
                   int(LEAVE_VISIBILITY), text.constData());
        return true;
    }
    if (type == type::ClientUpdated) {
        ClientState client;
        if (!readClient(message, &client, &error))
            return false;
        const Invoker invoker = readInvoker(reader);
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler)) {
                client.talking = state->mirror.clients.value(client.id).talking;
                state->mirror.clients.insert(client.id, client);
            }
        }
        notify(&ClientUIFunctions::onUpdateClientEvent, client.id,
               invoker.id ? invoker.id : client.id, invoker.name.constData(),
               invoker.uniqueId.constData());
        return true;
    }
    if (type == type::ChannelCreated) {
        ChannelState channel;
        if (!readChannel(message, &channel, &error))
            return false;
        const Invoker invoker = readInvoker(reader);
        if (!reader.ok())
            return false;
        bool room = true;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler)) {
                room = roomForChannel(state->mirror, channel.id);
                if (room)
                    state->mirror.channels.insert(channel.id, channel);
            }
        }
        if (!room) {
            tooManyChannels();
            return true;
        }
        notify(&ClientUIFunctions::onNewChannelCreatedEvent, channel.id, channel.parent, invoker.id,
               invoker.name.constData(), invoker.uniqueId.constData());
        return true;
    }
    if (type == type::ChannelDeleted) {
        const uint64 id = uint64(reader.integer(field::ChannelId, 1, MaxId));
        const Invoker invoker = readInvoker(reader);
        if (!reader.ok())
            return false;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler))
                state->mirror.channels.remove(id);
        }
        notify(&ClientUIFunctions::onDelChannelEvent, id, invoker.id, invoker.name.constData(),
               invoker.uniqueId.constData());
        return true;
    }
    if (type == type::Error) {
        const unsigned int code = unsigned(reader.integer(field::Code, 0, 0xFFFF));
        const QByteArray returnCode =
            reader.optionalString(field::ReturnCode, limits::ReturnCodeLength).toUtf8();
        const QByteArray extra = reader.optionalString(field::Extra, MaxFrameSize).toUtf8();
        if (!reader.ok())
            return false;
        const char* text = errorText(code);
        notify(&ClientUIFunctions::onServerErrorEvent, text ? text : "unknown error", code,
               returnCode.constData(), extra.constData());
        return true;
    }
    if (type.startsWith(QLatin1String("ft")))
        return handleFileEvent(type, message);
    if (type == type::Voice)
        return m_voice->tunnelled(message);
    if (type == type::VoiceLoss)
        return m_voice->lossReported(message);
    if (type.startsWith(QLatin1String("screen")))
        return m_screen->handleMessage(type, message);
    // Types this version does not know are skipped: newer servers may announce more.
    return true;
}

bool Connection::handleFileEvent(const QString& type, const QCborMap& message)
{
    MessageReader reader(message);
    if (type == type::FtEntry) {
        const uint64 channel = uint64(reader.integer(field::ChannelId, 1, MaxId));
        const QByteArray path = reader.string(field::Path, limits::FilePathLength).toUtf8();
        const QByteArray name = reader.string(field::Name, limits::FileNameBytes).toUtf8();
        const uint64 size = uint64(reader.integer(field::Size, 0, MaxId));
        const uint64 datetime = uint64(reader.integer(field::Datetime, 0, MaxId));
        const int fileType = int(reader.integer(field::FileType, 0, 1));
        const uint64 incomplete = uint64(reader.optionalInteger(field::Incomplete, 0, MaxId));
        const QByteArray returnCode =
            reader.optionalString(field::ReturnCode, limits::ReturnCodeLength).toUtf8();
        if (!reader.ok())
            return false;
        notify(&ClientUIFunctions::onFileListEvent, channel, path.constData(), name.constData(),
               size, datetime, fileType, incomplete, returnCode.constData());
        return true;
    }
    if (type == type::FtListEnd) {
        const uint64 channel = uint64(reader.integer(field::ChannelId, 1, MaxId));
        const QByteArray path = reader.string(field::Path, limits::FilePathLength).toUtf8();
        if (!reader.ok())
            return false;
        notify(&ClientUIFunctions::onFileListFinishedEvent, channel, path.constData());
        return true;
    }
    if (type == type::FtReady || type == type::FtFailed) {
        const anyID id = anyID(reader.integer(field::TransferId, 1, 0xFFFF));
        QByteArray key;
        qint64 size = 0;
        unsigned int code = ERROR_ok;
        QString text;
        if (type == type::FtReady) {
            key = reader.bytes(field::Key, limits::TransferKeySize, limits::TransferKeySize);
            size = reader.integer(field::Size, 0, MaxId);
        } else {
            code = unsigned(reader.integer(field::Code, 1, 0xFFFF));
            text = reader.optionalString(field::Message, MaxFrameSize);
        }
        if (!reader.ok())
            return false;
        auto it = m_transfers.find(id);
        if (it == m_transfers.end())
            return true; // ended meanwhile
        if (type == type::FtReady)
            it->second->begin(m_host, m_port, key, size);
        else
            it->second->fail(code, text.isEmpty() ? QLatin1String(errorText(code)) : text);
        return true;
    }
    return true;
}

void Connection::startTransfer(const TransferRequest& request)
{
    if (m_phase != Phase::Established || m_transfers.count(request.id))
        return transferFinished(request.id, ERROR_connection_not_connected,
                                QStringLiteral("not connected"), 0);
    auto* transfer = new Transfer(request, this);
    const anyID id = request.id;
    connect(transfer, &Transfer::progressed, this, [this, id](qint64 done, qint64 size) {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            auto it = state->transfers.find(id);
            if (it != state->transfers.end()) {
                it->done = done;
                it->size = qMax<qint64>(size, 0);
            }
        }
    });
    QString message;
    if (const unsigned int code = transfer->prepare(&message)) {
        delete transfer;
        return transferFinished(request.id, code, message, 0);
    }
    const QByteArray frame = encodeFrame(transfer->requestMessage());
    if (frame.isEmpty()) {
        delete transfer;
        return transferFinished(request.id, ERROR_parameter_too_long,
                                QStringLiteral("the request does not fit a frame"), 0);
    }
    transfer->setServer(m_plain, m_certificate, m_socket->session());
    m_transfers[request.id] = transfer;
    connect(transfer, &Transfer::finished, this,
            [this, id, transfer](unsigned int code, const QString& text, qint64 size) {
                m_transfers.erase(id);
                transfer->deleteLater();
                transferFinished(id, code, text, size);
            });
    log(LogLevel_DEBUG, "FileTransfer",
        QStringLiteral("transfer %1: %2 '%3'")
            .arg(id)
            .arg(request.upload ? QStringLiteral("upload of") : QStringLiteral("download of"),
                 request.remotePath),
        m_handler);
    m_socket->write(frame);
}

void Connection::transferFinished(anyID id, unsigned int code, const QString& message, qint64 size)
{
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            auto it = state->transfers.find(id);
            if (it != state->transfers.end()) {
                it->finished = true;
                it->finishedAt = QDateTime::currentMSecsSinceEpoch();
            }
        }
    }
    log(code == ERROR_file_transfer_complete ? LogLevel_DEBUG : LogLevel_WARNING, "FileTransfer",
        QStringLiteral("transfer %1 ended: %2").arg(id).arg(message), m_handler);
    const QByteArray text = message.toUtf8();
    if (callbacks().onFileTransferStatusEvent && !m_removed)
        callbacks().onFileTransferStatusEvent(id, code, text.constData(), uint64(size), m_handler);
}

void Connection::abortTransfers(unsigned int code, const QString& why)
{
    // Each finish erases its entry; take them one at a time.
    while (!m_transfers.empty()) {
        Transfer* transfer = m_transfers.begin()->second;
        transfer->fail(code, why);
        if (!m_transfers.empty() && m_transfers.begin()->second == transfer)
            m_transfers.erase(m_transfers.begin()); // finished earlier; defensive
    }
}

Core::~Core()
{
    for (auto& entry : m_connections)
        delete entry.second;
    m_connections.clear();
}

Connection* Core::connection(uint64 handler)
{
    auto it = m_connections.find(handler);
    if (it != m_connections.end())
        return it->second;
    // Work queued before a callback destroyed its handler runs after remove(); it must not
    // bring the connection back.
    if (!handlerExists(handler))
        return nullptr;
    Connection* connection = new Connection(handler, this);
    m_connections.emplace(handler, connection);
    return connection;
}

VoiceLink* Core::voiceLink(uint64 handler)
{
    auto it = m_connections.find(handler);
    return it == m_connections.end() ? nullptr : it->second->voiceLink();
}

ScreenLink* Core::screenLink(uint64 handler)
{
    auto it = m_connections.find(handler);
    return it == m_connections.end() ? nullptr : it->second->screenLink();
}

void Core::remove(uint64 handler)
{
    auto it = m_connections.find(handler);
    if (it == m_connections.end())
        return;
    it->second->shutdown();
    it->second->deleteLater(); // it may be the one calling back right now
    m_connections.erase(it);
}

} // namespace voicesdk
