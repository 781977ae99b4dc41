// SPDX-License-Identifier: MIT
#include "server.h"

#include "message.h"
#include "serverlog.h"
#include "textmessagecodec.h"
#include "tlsidentity.h"

#include <QCborArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <unistd.h>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {
constexpr quint64 DefaultChannelId = 1;
} // namespace

bool normaliseName(const QString& name, int maxLength, QString* normalised)
{
    const QString text = name.normalized(QString::NormalizationForm_C).trimmed();
    if (text.isEmpty() || text.size() > maxLength)
        return false;
    // Characters that print nothing, turn text around or are not characters at all let a name
    // pass for another one ("bob" and "bob" with a zero-width space).
    for (const uint c : text.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    *normalised = text;
    return true;
}

Server::Server(const ServerOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_store(options.dataDirectory)
    , m_listener(new Listener(this))
    , m_files(std::make_unique<FileService>(options.dataDirectory, options.files, m_channels))
    , m_voice(new VoiceRelay(m_clients, options.tls, this))
{
    Channel lobby;
    lobby.id = DefaultChannelId;
    lobby.name = QStringLiteral("Default Channel");
    lobby.permanent = true;
    m_channels.insert(lobby.id, lobby);

    QString warning;
    const PersistentState state = m_store.load(&warning);
    if (!warning.isEmpty())
        logLine(warning);
    m_serverUniqueId = state.serverUniqueId;
    m_nextChannelId = state.nextChannelId;
    for (const Channel& channel : state.channels)
        m_channels.insert(channel.id, channel);
    // A parent lost from the file makes its children top-level channels.
    for (Channel& channel : m_channels) {
        if (channel.parent != 0 && !m_channels.contains(channel.parent))
            channel.parent = 0;
    }
    // A chain of parents that leads back to its start (a damaged file) would never end: the
    // channel where it is found becomes top-level, which ends the loop for the others.
    for (Channel& channel : m_channels) {
        quint64 parent = channel.parent;
        for (int steps = 0; parent != 0 && parent != channel.id && steps < m_channels.size();
             ++steps)
            parent = m_channels.value(parent).parent;
        if (parent == channel.id)
            channel.parent = 0;
    }
    if (m_serverUniqueId.isEmpty()) {
        m_serverUniqueId = QString::fromLatin1(
            QCryptographicHash::hash(QUuid::createUuid().toRfc4122(), QCryptographicHash::Sha1)
                .toBase64());
        persist();
    }
    m_files->tidy();
    connect(m_listener, &Listener::accepted, this, &Server::acceptConnection);
    connect(m_listener, &Listener::cannotAccept, this, &Server::acceptFailed);
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, &Server::resumeAccepting);
    m_idleSweep.setInterval(qBound(100, m_options.idleTimeoutMs / 4, 1000));
    connect(&m_idleSweep, &QTimer::timeout, this, &Server::dropSilentClients);
    m_idleSweep.start();
}

Server::~Server()
{
    // Transfers hold their control connections; they go first.
    m_files.reset();
    const auto sessions = m_sessions;
    m_sessions.clear();
    for (Session* session : sessions) {
        disconnect(session, nullptr, this, nullptr);
        delete session;
    }
    // Sessions that handed their socket to a transfer wait for deleteLater; they tell the pool
    // when they go, so they go before it.
    qDeleteAll(findChildren<Session*>(QString(), Qt::FindDirectChildrenOnly));
    m_io.reset();
}

bool Server::listen(QString* error)
{
    m_io = std::make_unique<IoPool>(m_options.ioThreads, m_options.tls);
    if (m_options.tls) {
        TlsIdentity identity;
        QString note;
        if (!loadTlsIdentity(m_options.dataDirectory, m_options.certificateFile, m_options.keyFile,
                             &identity, &note, error) ||
            !m_io->replaceTlsIdentity(identity, error))
            return false;
        logLine(note);
    } else {
        logLine(QStringLiteral("TLS is off: connections and voice travel in clear"));
    }
    if (!m_listener->listen(m_options.address, m_options.port, error))
        return false;
    // The program ends when this fails, and the control socket with it.
    if (m_options.udp && !m_voice->listen(m_options.address, port(), error)) {
        *error = QStringLiteral("voice datagrams: %1").arg(*error);
        return false;
    }
    logLine(QStringLiteral("listening on %1:%2 with %3 channel(s), %4 connection thread(s)")
                .arg(address().toString())
                .arg(port())
                .arg(m_channels.size())
                .arg(m_io->threadCount()));
    return true;
}

bool Server::reloadTlsIdentity(QString* error)
{
    if (!m_io || !m_io->isTls()) {
        *error = QStringLiteral("TLS is off");
        return false;
    }
    TlsIdentity identity;
    QString note;
    if (!loadTlsIdentity(m_options.dataDirectory, m_options.certificateFile, m_options.keyFile,
                         &identity, &note, error, false) ||
        !m_io->replaceTlsIdentity(identity, error)) {
        logLine(QStringLiteral("TLS certificate not reloaded: %1").arg(*error));
        return false;
    }
    logLine(QStringLiteral("reloaded: %1; connections from now on show it").arg(note));
    return true;
}

quint16 Server::port() const
{
    return m_listener->port();
}

QHostAddress Server::address() const
{
    return m_listener->address();
}

void Server::acceptConnection(qintptr descriptor)
{
    m_acceptPaused = false;
    // The handshake runs in the connection's thread; until it is done the connection counts as
    // one without hello, under the same bounds and the same timer.
    auto* session =
        new Session(m_io.get(), descriptor, m_options.tls, m_options.maxOutputBytes, this);
    // Connections that never say hello must not keep out those that do: past the bounds
    // the oldest of them goes, not the newcomer.
    const QHostAddress address = session->address();
    const int fromAddress =
        int(std::count_if(m_pending.cbegin(), m_pending.cend(),
                          [&](const Session* pending) { return pending->address() == address; }));
    if (fromAddress >= m_options.maxPendingPerAddress)
        dropOldestPending(&address, QStringLiteral("too many connections without hello from "
                                                   "one address"));
    else if (m_pending.size() >= m_options.maxPendingConnections)
        dropOldestPending(nullptr, QStringLiteral("too many connections without hello"));
    m_sessions.insert(session);
    m_pending.append(session);
    logLimited("connected", QStringLiteral("%1 connected").arg(session->peer()));
    connect(session, &Session::frameReceived, this,
            [this, session](const QCborMap& message) { handleFrame(session, message); });
    session->setFastPath([this, session](const char* body, int size) {
        return relayTextFrame(session, body, size);
    });
    connect(session, &Session::closed, this,
            [this, session](const QString& reason) { sessionClosed(session, reason); });
    connect(session, &Session::finished, this, [this, session] {
        m_pending.removeOne(session);
        if (m_sessions.remove(session))
            session->deleteLater();
        // A descriptor came free.
        if (m_acceptPaused && !m_resumeTimer.isActive())
            m_resumeTimer.start(0);
    });
    auto* helloTimer = new QTimer(session);
    helloTimer->setSingleShot(true);
    connect(helloTimer, &QTimer::timeout, session, [session] {
        if (session->state() == Session::State::AwaitingHello)
            session->close(session->isHandshaking()
                               ? QStringLiteral("TLS handshake not done in time")
                               : QStringLiteral("no hello in time"),
                           false);
    });
    helloTimer->start(m_options.helloTimeoutMs);
}

void Server::acceptFailed(int error)
{
    m_acceptPaused = true;
    // Said once, and again only after a quiet minute: each failure can come a thousand times.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    ++m_acceptFailures;
    if (m_acceptFailureLoggedAt == 0 || now - m_acceptFailureLoggedAt > 60000) {
        logLine(QStringLiteral("cannot accept connections: %1; making room (%2 times since the "
                               "last report)")
                    .arg(QString::fromLocal8Bit(std::strerror(error)))
                    .arg(m_acceptFailures));
        m_acceptFailures = 0;
    }
    m_acceptFailureLoggedAt = now;
    // Room made now is room for the next attempt; otherwise try again when a connection ends,
    // or after a while.
    if (dropOldestPending(nullptr, QStringLiteral("dropped to make room for new connections")))
        m_resumeTimer.start(0);
    else
        m_resumeTimer.start(1000);
}

void Server::resumeAccepting()
{
    m_listener->resume();
}

bool Server::dropOldestPending(const QHostAddress* address, const QString& why)
{
    for (Session* session : qAsConst(m_pending)) {
        if (address && session->address() != *address)
            continue;
        m_pending.removeOne(session);
        session->close(why, false);
        return true;
    }
    return false;
}

void Server::dropSilentClients()
{
    // Bursts (a crowd joining, each newcomer told about everyone) leave the heap full of free
    // pages between live blocks that glibc keeps; handing them back now and then keeps the
    // resident size near what the clients need.
    ::malloc_trim(0);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QList<Session*> clients = m_clients.values();
    for (Session* client : clients) {
        if (now - client->lastFrameAt() > m_options.idleTimeoutMs)
            client->close(QStringLiteral("silent for %1 ms").arg(now - client->lastFrameAt()),
                          false);
    }
}

bool Server::admitRequest(Session* session, const QString& returnCode)
{
    if (session->takeRequestToken(m_options.floodBurst, m_options.floodRate))
        return true;
    logLimited("flooding", QStringLiteral("client %1 sends more than %2 requests a second; refused")
                               .arg(session->clientId)
                               .arg(m_options.floodRate));
    session->reply(returnCode, ERROR_client_is_flooding);
    return false;
}

void Server::broadcast(const QCborMap& message, const Session* except)
{
    const QByteArray frame = encodeFrame(message);
    if (frame.isEmpty())
        return;
    for (Session* client : everyClient()) {
        if (client != except)
            client->send(frame);
    }
}

QVector<Session*> Server::everyClient() const
{
    QVector<Session*> clients;
    clients.reserve(m_clients.size());
    for (const QVector<Session*>& members : m_members)
        clients += members;
    return clients;
}

void Server::enterChannel(Session* client, quint64 channel)
{
    client->channel = channel;
    m_members[channel].append(client);
    m_voice->membershipChanged();
}

void Server::leaveChannel(Session* client)
{
    const auto members = m_members.find(client->channel);
    if (members == m_members.end())
        return;
    // Order among members means nothing: the last one takes the leaver's place.
    const int at = members->indexOf(client);
    if (at >= 0) {
        (*members)[at] = members->last();
        members->removeLast();
    }
    if (members->isEmpty())
        m_members.erase(members);
    m_voice->membershipChanged();
}

void Server::refreshAnnouncement(Session* client)
{
    client->announcement = encodeFrame(clientMessage(client, type::Client));
}

void Server::refuse(Session* session, unsigned int code, const QString& reason)
{
    logLine(QStringLiteral("%1 refused: %2").arg(session->peer(), reason));
    session->sendMessage(
        QCborMap{{TypeKey, type::Refused}, {field::Code, qint64(code)}, {field::Message, reason}});
    session->close(QStringLiteral("refused"), true);
}

void Server::sessionClosed(Session* session, const QString& reason)
{
    m_pending.removeOne(session);
    const QString line = QStringLiteral("%1 closed (client %2): %3")
                             .arg(session->peer())
                             .arg(session->clientId)
                             .arg(reason);
    // Connections that never said hello can come by the thousand; clients are bounded.
    // Failed handshakes keep a budget of their own: a burst of other closes must not hide them.
    if (session->clientId == 0)
        logLimited(reason.startsWith(QLatin1String("TLS")) ? "closed by TLS" : "closed", line);
    else
        logLine(line);
    m_files->sessionClosed(session);
    if (session->clientId == 0 || m_clients.value(session->clientId) != session)
        return;
    m_clients.remove(session->clientId);
    m_nicknames.remove(session->nickname);
    leaveChannel(session);
    m_voice->removeClient(session);
    // Others learn about it after the current frame is handled, never in the middle of
    // another broadcast.
    QCborMap left{{TypeKey, type::ClientLeft},
                  {field::ClientId, session->clientId},
                  {field::ChannelId, qint64(session->channel)},
                  {field::Reason, int(session->leaveReason)},
                  {field::Message, session->leaveReason == LeaveReason::Quit
                                       ? session->leaveMessage
                                       : QStringLiteral("connection lost")}};
    QMetaObject::invokeMethod(
        this, [this, left] { broadcast(left); }, Qt::QueuedConnection);
}

void Server::handleFrame(Session* session, const QCborMap& message)
{
    const QString type = message.value(TypeKey).toString();
    if (session->state() == Session::State::AwaitingHello) {
        if (type == type::Hello) {
            handleHello(session, message);
        } else if (type == type::Transfer) {
            // The socket went with the transfer; the session is done with.
            if (m_files->startTransfer(session, message)) {
                m_pending.removeOne(session);
                m_sessions.remove(session);
                session->deleteLater();
            }
        } else {
            session->protocolError(QStringLiteral("'%1' before hello").arg(type));
        }
        return;
    }
    // Keep-alives and goodbyes always pass, and voice has its own limit (a refused frame gets no
    // answer); everything else counts against the flood limit.
    if (type != type::Ping && type != type::Quit && type != type::Voice &&
        !admitRequest(session,
                      message.value(field::ReturnCode).toString().left(limits::ReturnCodeLength)))
        return;
    if (type == type::Text) {
        handleText(session, message);
    } else if (type == type::Move) {
        handleMove(session, message);
    } else if (type == type::ChannelCreate) {
        handleChannelCreate(session, message);
    } else if (type == type::ChannelDelete) {
        handleChannelDelete(session, message);
    } else if (type == type::SelfUpdate) {
        handleSelfUpdate(session, message);
    } else if (type == type::SubscribeAll) {
        MessageReader reader(message);
        const QString returnCode =
            reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
        if (!reader.ok())
            return session->protocolError(reader.errorString());
        session->reply(returnCode, ERROR_ok); // everybody sees everything already
    } else if (FileService::handles(type)) {
        m_files->handleRequest(session, type, message);
    } else if (type == type::Voice || type == type::VoicePath) {
        if (!m_voice->handleControl(session, type, message))
            session->protocolError(QStringLiteral("bad '%1' message").arg(type));
    } else if (type == type::Ping) {
        session->sendMessage(QCborMap{{TypeKey, type::Pong}});
    } else if (type == type::Quit) {
        MessageReader reader(message);
        const QString text = reader.optionalString(field::Message, limits::QuitMessageLength);
        if (!reader.ok())
            return session->protocolError(reader.errorString());
        session->leaveReason = LeaveReason::Quit;
        session->leaveMessage = text;
        session->close(QStringLiteral("quit"), true);
    } else {
        session->protocolError(QStringLiteral("unexpected message '%1'").arg(type));
    }
}

void Server::handleHello(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const qint64 version = reader.integer(field::Version, 0, 0xFFFF);
    const QString nickname = reader.string(field::Nickname, limits::NicknameLength);
    const QString uniqueId = reader.optionalString(field::UniqueId, limits::UniqueIdentifierLength);
    const QString password = reader.optionalString(field::ServerPassword, limits::PasswordLength);
    const quint64 wantedChannel = quint64(
        reader.optionalInteger(field::DefaultChannel, 0, std::numeric_limits<qint64>::max()));
    const QStringList path = reader.optionalStringList(
        field::DefaultChannelPath, limits::ChannelPathDepth, limits::ChannelNameLength);
    const QString channelPassword =
        reader.optionalString(field::ChannelPassword, limits::PasswordLength);
    const bool inputMuted = reader.optionalBoolean(field::InputMuted);
    const bool outputMuted = reader.optionalBoolean(field::OutputMuted);
    const bool inputDeactivated = reader.optionalBoolean(field::InputDeactivated);
    if (!reader.ok())
        return session->protocolError(QStringLiteral("bad hello: %1").arg(reader.errorString()));
    if (version != Version)
        return refuse(session, ERROR_connection_protocol,
                      QStringLiteral("protocol version %1 is not supported").arg(version));
    if (!m_options.password.isEmpty() && password != m_options.password)
        return refuse(session, ERROR_server_invalid_password,
                      QStringLiteral("wrong server password"));
    QString name;
    if (!normaliseName(nickname, limits::NicknameLength, &name))
        return refuse(session, ERROR_parameter_invalid, QStringLiteral("invalid nickname"));
    if (m_clients.size() >= m_options.maxClients)
        return refuse(session, ERROR_server_full, QStringLiteral("server is full"));
    const anyID id = allocateClientId();
    if (id == 0)
        return refuse(session, ERROR_server_full, QStringLiteral("no client ID left"));

    quint64 channel = wantedChannel != 0 ? wantedChannel : resolveChannelPath(path);
    if (!m_channels.contains(channel) || !m_channels[channel].checkPassword(channelPassword))
        channel = DefaultChannelId;

    session->clientId = id;
    session->nickname = uniqueNickname(name);
    session->uniqueId = uniqueId;
    session->inputMuted = inputMuted;
    session->outputMuted = outputMuted;
    session->inputDeactivated = inputDeactivated;
    session->setActive();
    m_pending.removeOne(session);
    m_clients.insert(id, session);
    m_nicknames.insert(session->nickname, session);
    enterChannel(session, channel);
    refreshAnnouncement(session);
    const VoiceCredentials voice = m_voice->addClient(session);
    logLine(QStringLiteral("%1 joined as client %2 '%3' in channel %4")
                .arg(session->peer())
                .arg(id)
                .arg(session->nickname)
                .arg(channel));

    QCborMap welcome{{TypeKey, type::Welcome},
                     {field::Version, Version},
                     {field::ClientId, id},
                     {field::Nickname, session->nickname},
                     {field::WelcomeMessage, m_options.welcomeMessage},
                     {field::ServerName, QStringLiteral("Meeting voice server")},
                     {field::ServerUniqueId, m_serverUniqueId},
                     {field::IdleTimeout, m_options.idleTimeoutMs},
                     {field::FloodBurst, m_options.floodBurst},
                     {field::FloodRate, m_options.floodRate},
                     {field::VoiceToken, voice.token},
                     {field::VoiceUdp, m_voice->udpEnabled()}};
    // The keys travel only inside TLS.
    if (!voice.upKey.isEmpty()) {
        welcome.insert(field::VoiceKeyUp, voice.upKey);
        welcome.insert(field::VoiceKeyDown, voice.downKey);
    }
    session->sendMessage(welcome);
    // What every newcomer is told is kept encoded: the channel tree until it changes, each
    // client's frame until that client does.
    if (m_channelFrames.isEmpty())
        m_channelFrames = encodeChannelTree();
    session->send(m_channelFrames);
    QByteArray everybody;
    for (const Session* client : qAsConst(m_clients))
        everybody += client->announcement;
    everybody += encodeFrame(QCborMap{{TypeKey, type::Synced}});
    session->send(everybody);
    broadcast(clientMessage(session, type::ClientJoined), session);
}

void Server::handleMove(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const anyID clientId = anyID(reader.integer(field::ClientId, 0, 0xFFFF));
    const quint64 channelId =
        quint64(reader.integer(field::ChannelId, 0, std::numeric_limits<qint64>::max()));
    const QString password = reader.optionalString(field::Password, limits::PasswordLength);
    const QString returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    if (!reader.ok())
        return session->protocolError(reader.errorString());
    if (!m_clients.contains(clientId))
        return session->reply(returnCode, ERROR_client_invalid_id);
    if (clientId != session->clientId)
        return session->reply(returnCode, ERROR_client_not_allowed,
                              QStringLiteral("clients may only move themselves"));
    if (!m_channels.contains(channelId))
        return session->reply(returnCode, ERROR_channel_invalid_id);
    if (channelId == session->channel)
        return session->reply(returnCode, ERROR_channel_already_in);
    if (!m_channels[channelId].checkPassword(password))
        return session->reply(returnCode, ERROR_channel_invalid_password);
    const quint64 from = session->channel;
    leaveChannel(session);
    enterChannel(session, channelId);
    refreshAnnouncement(session);
    QCborMap moved{{TypeKey, type::ClientMoved},
                   {field::ClientId, clientId},
                   {field::FromChannel, qint64(from)},
                   {field::ToChannel, qint64(channelId)}};
    addInvoker(&moved, session);
    broadcast(moved);
    session->reply(returnCode, ERROR_ok);
}

void Server::handleText(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const int mode = int(reader.integer(field::TargetMode, 0, 0xFFFF));
    const qint64 target = reader.integer(field::Target, 0, std::numeric_limits<qint64>::max());
    const QString text = reader.string(field::Message, MaxFrameSize);
    const QString returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    if (!reader.ok())
        return session->protocolError(reader.errorString());
    const QByteArray utf8 = text.toUtf8();
    relayText(session, mode, target, Utf8View{utf8.constData(), utf8.size()}, text.size(),
              returnCode);
}

bool Server::relayTextFrame(Session* session, const char* body, int size)
{
    TextRequest request;
    if (!decodeTextRequest(body, size, &request))
        return false;
    // The bounds of handleText's reading; outside them it reports the error.
    if (request.mode > 0xFFFF || request.returnCodeLength > limits::ReturnCodeLength)
        return false;
    // Over the limit the generic path, which finds the bucket still empty, answers.
    if (!session->takeRequestToken(m_options.floodBurst, m_options.floodRate))
        return false;
    const QString returnCode =
        request.hasReturnCode ? QString::fromUtf8(request.returnCode.data, request.returnCode.size)
                              : QString();
    relayText(session, int(request.mode), request.target, request.message, request.messageLength,
              returnCode);
    return true;
}

void Server::relayText(Session* session, int mode, qint64 target, Utf8View text, int textLength,
                       const QString& returnCode)
{
    if (textLength > limits::TextLength)
        return session->reply(
            returnCode, ERROR_parameter_too_long,
            QStringLiteral("text messages are limited to %1 characters").arg(limits::TextLength));
    // One frame for every recipient.
    const auto frameFor = [&](qint64 shownTarget) {
        const QByteArray name = session->nickname.toUtf8();
        const QByteArray uniqueId = session->uniqueId.toUtf8();
        return encodeTextMessageFrame(
            mode, session->clientId, Utf8View{name.constData(), name.size()},
            Utf8View{uniqueId.constData(), uniqueId.size()}, text, shownTarget);
    };
    if (mode == TextMessageTarget_CLIENT) {
        Session* receiver = m_clients.value(anyID(target <= 0xFFFF ? target : 0));
        if (!receiver)
            return session->reply(returnCode, ERROR_client_invalid_id);
        const QByteArray frame = frameFor(target);
        receiver->send(frame);
        if (receiver != session)
            session->send(frame);
    } else if (mode == TextMessageTarget_CHANNEL) {
        const quint64 channel = target == 0 ? session->channel : quint64(target);
        if (!m_channels.contains(channel))
            return session->reply(returnCode, ERROR_channel_invalid_id);
        if (channel != session->channel)
            return session->reply(returnCode, ERROR_client_not_allowed,
                                  QStringLiteral("channel texts go to the own channel"));
        const QByteArray frame = frameFor(qint64(channel));
        const QVector<Session*> members = m_members.value(channel);
        for (Session* client : members)
            client->send(frame);
    } else {
        return session->reply(returnCode, ERROR_parameter_invalid,
                              QStringLiteral("unknown target mode"));
    }
    session->reply(returnCode, ERROR_ok);
}

void Server::handleChannelCreate(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const quint64 parent =
        quint64(reader.integer(field::ParentId, 0, std::numeric_limits<qint64>::max()));
    const QString wantedName = reader.string(field::Name, MaxFrameSize);
    const QString topic = reader.optionalString(field::Topic, MaxFrameSize);
    const QString description = reader.optionalString(field::Description, MaxFrameSize);
    const QString password = reader.optionalString(field::Password, MaxFrameSize);
    const bool permanent = reader.optionalBoolean(field::Permanent);
    const bool semiPermanent = reader.optionalBoolean(field::SemiPermanent);
    const QString returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    if (!reader.ok())
        return session->protocolError(reader.errorString());
    QString name;
    if (!normaliseName(wantedName, limits::ChannelNameLength, &name))
        return session->reply(returnCode, ERROR_channel_invalid_name);
    if (topic.size() > limits::ChannelTopicLength ||
        description.size() > limits::ChannelDescriptionLength ||
        password.size() > limits::PasswordLength)
        return session->reply(returnCode, ERROR_parameter_too_long);
    if (parent != 0 && !m_channels.contains(parent))
        return session->reply(returnCode, ERROR_channel_invalid_id);
    for (const Channel& sibling : qAsConst(m_channels)) {
        if (sibling.parent == parent && sibling.name == name)
            return session->reply(returnCode, ERROR_channel_name_inuse);
    }
    if (m_channels.size() >= m_options.maxChannels || depthOf(parent) >= limits::ChannelDepth)
        return session->reply(returnCode, ERROR_channel_limit_reached);

    Channel channel;
    channel.id = m_nextChannelId++;
    channel.parent = parent;
    channel.name = name;
    channel.topic = topic;
    channel.description = description;
    channel.setPassword(password);
    channel.permanent = permanent;
    channel.semiPermanent = semiPermanent && !permanent;
    m_channels.insert(channel.id, channel);
    m_channelFrames.clear();
    persist();
    logLine(QStringLiteral("client %1 created channel %2 '%3'")
                .arg(session->clientId)
                .arg(channel.id)
                .arg(name));
    QCborMap created = channelMessage(channel, type::ChannelCreated);
    addInvoker(&created, session);
    broadcast(created);
    session->reply(returnCode, ERROR_ok);
}

void Server::handleChannelDelete(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const quint64 channelId =
        quint64(reader.integer(field::ChannelId, 0, std::numeric_limits<qint64>::max()));
    const bool force = reader.optionalBoolean(field::Force);
    const QString returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    if (!reader.ok())
        return session->protocolError(reader.errorString());
    if (!m_channels.contains(channelId))
        return session->reply(returnCode, ERROR_channel_invalid_id);
    if (channelId == DefaultChannelId)
        return session->reply(returnCode, ERROR_channel_is_default);
    const QList<quint64> doomed = subtree(channelId);
    QVector<Session*> occupants;
    for (quint64 id : doomed)
        occupants += m_members.value(id);
    if (!occupants.isEmpty() && !force)
        return session->reply(returnCode, ERROR_channel_not_empty);

    for (Session* client : qAsConst(occupants)) {
        QCborMap moved{{TypeKey, type::ClientMoved},
                       {field::ClientId, client->clientId},
                       {field::FromChannel, qint64(client->channel)},
                       {field::ToChannel, qint64(DefaultChannelId)}};
        addInvoker(&moved, session);
        leaveChannel(client);
        enterChannel(client, DefaultChannelId);
        refreshAnnouncement(client);
        broadcast(moved);
    }
    m_files->channelsDeleted(doomed);
    m_channelFrames.clear();
    for (quint64 id : doomed) {
        m_channels.remove(id);
        QCborMap deleted{{TypeKey, type::ChannelDeleted}, {field::ChannelId, qint64(id)}};
        addInvoker(&deleted, session);
        broadcast(deleted);
    }
    persist();
    logLine(QStringLiteral("client %1 deleted channel %2").arg(session->clientId).arg(channelId));
    session->reply(returnCode, ERROR_ok);
}

void Server::handleSelfUpdate(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const bool inputMuted = reader.optionalBoolean(field::InputMuted, session->inputMuted);
    const bool outputMuted = reader.optionalBoolean(field::OutputMuted, session->outputMuted);
    const bool inputDeactivated =
        reader.optionalBoolean(field::InputDeactivated, session->inputDeactivated);
    const QString returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    if (!reader.ok())
        return session->protocolError(reader.errorString());
    if (inputMuted != session->inputMuted || outputMuted != session->outputMuted ||
        inputDeactivated != session->inputDeactivated) {
        session->inputMuted = inputMuted;
        session->outputMuted = outputMuted;
        session->inputDeactivated = inputDeactivated;
        refreshAnnouncement(session);
        QCborMap updated = clientMessage(session, type::ClientUpdated);
        addInvoker(&updated, session);
        broadcast(updated);
    }
    session->reply(returnCode, ERROR_ok);
}

QString Server::uniqueNickname(const QString& wanted) const
{
    if (!m_nicknames.contains(wanted))
        return wanted;
    for (int n = 1;; ++n) {
        const QString suffix = QString::number(n);
        const QString candidate = wanted.left(limits::NicknameLength - suffix.size()) + suffix;
        if (!m_nicknames.contains(candidate))
            return candidate;
    }
}

anyID Server::allocateClientId()
{
    for (int tries = 0; tries < 0xFFFF; ++tries) {
        const anyID id = m_nextClientId;
        m_nextClientId = m_nextClientId == 0xFFFF ? 1 : anyID(m_nextClientId + 1);
        if (!m_clients.contains(id))
            return id;
    }
    return 0;
}

quint64 Server::resolveChannelPath(const QStringList& path) const
{
    quint64 parent = 0;
    for (const QString& name : path) {
        quint64 found = 0;
        for (const Channel& channel : m_channels) {
            if (channel.parent == parent && channel.name == name) {
                found = channel.id;
                break;
            }
        }
        if (found == 0)
            return 0;
        parent = found;
    }
    return parent;
}

QList<quint64> Server::subtree(quint64 channelId) const
{
    QList<quint64> result;
    for (const Channel& channel : m_channels) {
        if (channel.parent == channelId)
            result.append(subtree(channel.id));
    }
    result.append(channelId);
    return result;
}

int Server::depthOf(quint64 channelId) const
{
    int depth = 0;
    while (channelId != 0 && depth <= limits::ChannelDepth) {
        channelId = m_channels.value(channelId).parent;
        ++depth;
    }
    return depth;
}

QByteArray Server::encodeChannelTree() const
{
    // Parents before children, so a receiver can build the tree as it goes.
    QByteArray frames;
    QList<quint64> level{0};
    while (!level.isEmpty()) {
        QList<quint64> next;
        for (const Channel& channel : qAsConst(m_channels)) {
            if (level.contains(channel.parent)) {
                frames += encodeFrame(channelMessage(channel, type::Channel));
                next.append(channel.id);
            }
        }
        level = next;
    }
    return frames;
}

QCborMap Server::channelMessage(const Channel& channel, QLatin1String type) const
{
    return QCborMap{{TypeKey, type},
                    {field::ChannelId, qint64(channel.id)},
                    {field::ParentId, qint64(channel.parent)},
                    {field::Name, channel.name},
                    {field::Topic, channel.topic},
                    {field::Description, channel.description},
                    {field::HasPassword, channel.hasPassword()},
                    {field::Permanent, channel.permanent},
                    {field::SemiPermanent, channel.semiPermanent}};
}

QCborMap Server::clientMessage(const Session* client, QLatin1String type) const
{
    return QCborMap{{TypeKey, type},
                    {field::ClientId, client->clientId},
                    {field::Nickname, client->nickname},
                    {field::UniqueId, client->uniqueId},
                    {field::ChannelId, qint64(client->channel)},
                    {field::InputMuted, client->inputMuted},
                    {field::OutputMuted, client->outputMuted},
                    {field::InputDeactivated, client->inputDeactivated}};
}

void Server::addInvoker(QCborMap* message, const Session* invoker) const
{
    message->insert(field::InvokerId, invoker->clientId);
    message->insert(field::InvokerName, invoker->nickname);
    message->insert(field::InvokerUniqueId, invoker->uniqueId);
}

void Server::persist()
{
    if (m_options.dataDirectory.isEmpty())
        return;
    PersistentState state;
    state.serverUniqueId = m_serverUniqueId;
    state.nextChannelId = m_nextChannelId;
    for (const Channel& channel : qAsConst(m_channels)) {
        if (channel.permanent && channel.id != DefaultChannelId)
            state.channels.append(channel);
    }
    QString error;
    if (!m_store.save(state, &error))
        logLine(QStringLiteral("could not save %1: %2").arg(m_store.filePath(), error));
}

} // namespace voiceserver
