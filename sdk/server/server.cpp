// SPDX-License-Identifier: MIT
#include "server.h"

#include "localcluster.h"
#include "message.h"
#include "rediscluster.h"
#include "serverlog.h"
#include "textmessagecodec.h"
#include "tlsidentity.h"

#include <QCborArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {
std::unique_ptr<Cluster> makeCluster(const ServerOptions& options)
{
    if (options.cluster.isEmpty())
        return std::make_unique<LocalCluster>(options.dataDirectory);
    RedisClusterOptions cluster;
    QString error;
    // The options were checked when they were read.
    if (!parseRedisUrl(options.cluster, &cluster.endpoint, &error))
        qFatal("--cluster: %s", qPrintable(error));
    cluster.endpoint.password = options.clusterPassword;
    cluster.holdMs = options.clusterHoldMs;
    return std::make_unique<RedisCluster>(cluster, options.dataDirectory);
}
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
    , m_cluster(makeCluster(options))
    , m_listener(new Listener(this))
    , m_files(std::make_unique<FileService>(options.dataDirectory, options.files,
                                            m_cluster->state().channels()))
    , m_voice(new VoiceRelay(m_clients, options.tls, this))
    , m_screens(new ScreenRelay(m_clients, m_members, this))
{
    m_cluster->setEvents(this);
    m_voice->setCrossing(
        [this](quint64 channel, const QByteArray& frame) { m_cluster->sendVoice(channel, frame); });
    if (auto* shared = dynamic_cast<SharedFiles*>(m_cluster.get()))
        m_files->setShared(shared);
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

bool Server::listen(QString* error, bool* mayPass)
{
    if (mayPass)
        *mayPass = false;
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
    if (!m_cluster->start(error))
        return false;
    if (!m_cluster->instanceId().isEmpty()) {
        // Shares cross to the other instances like voice does.
        ScreenCrossing crossing;
        crossing.self = m_cluster->instanceId();
        crossing.send = [this](const QString& instance, const QByteArray& payload) {
            m_cluster->sendScreen(instance, payload);
        };
        crossing.others = [this] { return m_cluster->state().instances(); };
        crossing.channelOf = [this](anyID id) -> quint64 {
            const ClientRecord* client = m_cluster->state().client(id);
            return client ? client->channel : 0;
        };
        m_screens->setCrossing(std::move(crossing));
    }
    // Clients are taken once the instance holds the cluster's state, or serves alone.
    waitForCluster(5000);
    if (mayPass)
        *mayPass = true;
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
                .arg(channels().size())
                .arg(m_io->threadCount()));
    return true;
}

void Server::waitForCluster(int timeoutMs)
{
    if (m_cluster->isReady())
        return;
    QEventLoop loop;
    connect(m_cluster.get(), &Cluster::ready, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
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
        !m_io->replaceTlsIdentity(identity, error))
        return false;
    logLine(LogLevel::Notice,
            QStringLiteral("reloaded: %1; connections from now on show it").arg(note));
    return true;
}

ServerMetrics Server::metrics() const
{
    ServerMetrics metrics;
    metrics.clients = m_clients.size();
    metrics.channels = channels().size();
    metrics.pendingConnections = m_pending.size();
    metrics.storeBytes = m_files->storeBytes();
    metrics.texts = m_texts;
    metrics.voiceFrames = m_voice->stats().received;
    metrics.uploadBytes = m_files->transferredBytes(true);
    metrics.downloadBytes = m_files->transferredBytes(false);
    metrics.droppedIdle = m_droppedIdle;
    metrics.droppedFlood = m_droppedFlood;
    metrics.droppedOutput = m_droppedOutput;
    metrics.droppedProtocol = m_droppedProtocol;
    metrics.clusterConnected = m_cluster->connectedToCluster();
    metrics.clusterClients = m_cluster->state().clients().size();
    m_cluster->heldTexts(&metrics.clusterHeldTexts, &metrics.clusterHeldBytes);
    return metrics;
}

void Server::drain(int timeoutMs)
{
    if (m_draining)
        return;
    m_draining = true;
    m_listener->close();
    m_resumeTimer.stop();
    const QList<Session*> pending = m_pending;
    for (Session* session : pending)
        session->close(QStringLiteral("server shutting down"), false);
    // Clients leave by themselves when told, cleanly; what is left at the deadline is closed.
    const QByteArray goingAway = encodeFrame(QCborMap{
        {TypeKey, type::GoingAway}, {field::Message, QStringLiteral("server shutting down")}});
    const QVector<Session*> clients = everyClient();
    for (Session* client : clients)
        client->send(goingAway);
    logLine(LogLevel::Notice,
            QStringLiteral("shutting down: %1 client(s) told to leave within %2 ms")
                .arg(clients.size())
                .arg(timeoutMs));
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] {
        const QSet<Session*> left = m_sessions;
        if (!left.isEmpty())
            logLine(LogLevel::Notice,
                    QStringLiteral("%1 connection(s) still open at the end of the shutdown; "
                                   "closing them")
                        .arg(left.size()));
        for (Session* session : left)
            session->close(QStringLiteral("server shutting down"), false);
        emit drained();
    });
    m_drainTimer.start(timeoutMs);
    checkDrained();
}

void Server::checkDrained()
{
    if (m_draining && m_sessions.isEmpty() && m_drainTimer.isActive()) {
        m_drainTimer.stop();
        QMetaObject::invokeMethod(this, &Server::drained, Qt::QueuedConnection);
    }
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
        checkDrained();
        // A descriptor came free.
        if (m_acceptPaused && !m_resumeTimer.isActive())
            m_resumeTimer.start(0);
    });
    auto* helloTimer = new QTimer(session);
    helloTimer->setSingleShot(true);
    connect(helloTimer, &QTimer::timeout, session, [this, session, helloTimer] {
        if (session->state() != Session::State::AwaitingHello)
            return;
        // The hello came in time and waits for this thread, busy with a crowd: not the peer's
        // fault.
        if (session->hasFramesWaiting())
            return helloTimer->start(m_options.helloTimeoutMs);
        ++m_droppedIdle;
        session->close(session->isHandshaking() ? QStringLiteral("TLS handshake not done in time")
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
    // pages between live blocks that glibc keeps; handing them back keeps the resident size near
    // what the clients need.
    m_heapTrimmer.trimIfWorthIt();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QList<Session*> clients = m_clients.values();
    for (Session* client : clients) {
        if (now - client->lastFrameAt() <= m_options.idleTimeoutMs)
            continue;
        ++m_droppedIdle;
        client->close(QStringLiteral("silent for %1 ms").arg(now - client->lastFrameAt()), false);
    }
}

bool Server::admitRequest(Session* session, const QString& returnCode)
{
    if (session->takeRequestToken(m_options.floodBurst, m_options.floodRate))
        return true;
    ++m_droppedFlood;
    logLimited("flooding", QStringLiteral("client %1 sends more than %2 requests a second; refused")
                               .arg(session->clientId)
                               .arg(m_options.floodRate));
    session->reply(returnCode, ERROR_client_is_flooding);
    return false;
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

Invoker Server::invokerOf(const Session* session)
{
    return Invoker{session->clientId, session->nickname, session->uniqueId};
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
    if (reason.startsWith(QLatin1String("protocol error")))
        ++m_droppedProtocol;
    else if (reason.startsWith(QLatin1String("output buffer overflow")))
        ++m_droppedOutput;
    // Connections that never said hello can come by the thousand; clients are bounded.
    // Failed handshakes keep a budget of their own: a burst of other closes must not hide them.
    if (session->clientId == 0)
        logLimited(reason.startsWith(QLatin1String("TLS")) ? "closed by TLS" : "closed", line);
    else
        logLine(line);
    m_files->sessionClosed(session);
    if (session->clientId == 0 || m_clients.value(session->clientId) != session)
        return;
    m_screens->clientGone(session);
    m_clients.remove(session->clientId);
    leaveChannel(session);
    m_voice->removeClient(session);
    m_cluster->leave(session->clientId, int(session->leaveReason),
                     session->leaveReason == LeaveReason::Quit ? session->leaveMessage
                                                               : QStringLiteral("connection lost"));
}

void Server::handleFrame(Session* session, const QCborMap& message)
{
    const QString type = message.value(TypeKey).toString();
    if (session->state() == Session::State::AwaitingHello) {
        if (type == type::Hello) {
            handleHello(session, message);
        } else if (type == type::Transfer) {
            // The socket goes with the transfer; the session is done with then.
            const QPointer<Session> target(session);
            m_files->startTransfer(session, message, [this, target] {
                if (!target)
                    return;
                m_pending.removeOne(target);
                m_sessions.remove(target);
                target->deleteLater();
            });
        } else if (type == type::Screen) {
            const QPointer<Session> target(session);
            m_screens->attach(session, message, [this, target] {
                if (!target)
                    return;
                m_pending.removeOne(target);
                m_sessions.remove(target);
                target->deleteLater();
            });
        } else {
            session->protocolError(QStringLiteral("'%1' before hello").arg(type));
        }
        return;
    }
    // Keep-alives and goodbyes always pass, and voice and its loss reports have their own limit
    // (a refused one gets no answer); everything else counts against the flood limit.
    if (type != type::Ping && type != type::Quit && type != type::Voice &&
        type != type::VoiceReport &&
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
    } else if (ScreenRelay::handles(type)) {
        if (!m_screens->handleControl(session, type, message))
            session->protocolError(QStringLiteral("bad '%1' message").arg(type));
    } else if (type == type::Voice || type == type::VoicePath || type == type::VoiceReport) {
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
    const bool voiceLoss = reader.optionalBoolean(field::VoiceLossAware);
    const bool voiceBursts = voiceLoss && reader.optionalBoolean(field::VoiceBurstAware);
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

    const ClusterState& state = m_cluster->state();
    quint64 channel = wantedChannel != 0 ? wantedChannel : state.resolveChannelPath(path);
    if (!channels().contains(channel) || !channels()[channel].checkPassword(channelPassword))
        channel = DefaultChannelId;
    JoinRequest request;
    request.nickname = name;
    request.uniqueId = uniqueId;
    request.channel = channel;
    request.inputMuted = inputMuted;
    request.outputMuted = outputMuted;
    request.inputDeactivated = inputDeactivated;
    // Kept on the session from now: the welcome may come later, from the service.
    session->voiceLoss = voiceLoss;
    session->voiceBursts = voiceBursts;
    // The service settles the ID and the name; the session still counts as one without hello
    // until then, under the same bounds and timer.
    const QPointer<Session> target(session);
    m_cluster->join(request, [this, target](const JoinResult& result) {
        if (!target || target->state() != Session::State::AwaitingHello) {
            if (result.code == ERROR_ok)
                m_cluster->leave(result.id, int(LeaveReason::Dropped),
                                 QStringLiteral("connection lost"));
            return;
        }
        welcome(target, result);
    });
}

void Server::welcome(Session* session, const JoinResult& result)
{
    if (result.code != ERROR_ok)
        return refuse(session, result.code,
                      result.code == ERROR_server_full ? QStringLiteral("no client ID left")
                                                       : QStringLiteral("cannot join now"));
    const ClientRecord* client = m_cluster->state().client(result.id);
    if (!client)
        return refuse(session, ERROR_server_full, QStringLiteral("cannot join now"));
    const anyID id = result.id;
    session->clientId = id;
    session->nickname = client->nickname;
    session->uniqueId = client->uniqueId;
    session->inputMuted = client->inputMuted;
    session->outputMuted = client->outputMuted;
    session->inputDeactivated = client->inputDeactivated;
    session->setActive();
    m_pending.removeOne(session);
    m_clients.insert(id, session);
    enterChannel(session, client->channel);
    const VoiceCredentials voice = m_voice->addClient(session);
    logLine(QStringLiteral("%1 joined as client %2 '%3' in channel %4")
                .arg(session->peer())
                .arg(id)
                .arg(session->nickname)
                .arg(client->channel));

    QCborMap welcome{{TypeKey, type::Welcome},
                     {field::Version, Version},
                     {field::ClientId, id},
                     {field::Nickname, session->nickname},
                     {field::WelcomeMessage, m_options.welcomeMessage},
                     {field::ServerName, QStringLiteral("Meeting voice server")},
                     {field::ServerUniqueId, m_cluster->serverUniqueId()},
                     {field::IdleTimeout, m_options.idleTimeoutMs},
                     {field::FloodBurst, m_options.floodBurst},
                     {field::FloodRate, m_options.floodRate},
                     {field::VoiceToken, voice.token},
                     {field::VoiceUdp, m_voice->udpEnabled()},
                     {field::VoiceLossAware, true},
                     {field::VoiceBurstAware, true}};
    if (!m_options.publicAddress.isEmpty() && m_voice->udpEnabled()) {
        const QString host = m_options.publicAddress.contains(QLatin1Char(':'))
                                 ? QStringLiteral("[%1]").arg(m_options.publicAddress)
                                 : m_options.publicAddress;
        welcome.insert(field::VoiceAddress,
                       QStringLiteral("%1:%2").arg(host).arg(
                           m_options.publicPort != 0 ? m_options.publicPort : int(port())));
    }
    // The keys travel only inside TLS.
    if (!voice.upKey.isEmpty()) {
        welcome.insert(field::VoiceKeyUp, voice.upKey);
        welcome.insert(field::VoiceKeyDown, voice.downKey);
    }
    session->sendMessage(welcome);
    // What every newcomer is told is kept encoded: the channel tree until it changes, each
    // client's frame until that client does.
    session->send(m_cluster->state().channelTree());
    session->send(m_cluster->state().everybody() + encodeFrame(QCborMap{{TypeKey, type::Synced}}));
    m_screens->clientEntered(session);
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
    if (!m_cluster->state().client(clientId))
        return session->reply(returnCode, ERROR_client_invalid_id);
    if (clientId != session->clientId)
        return session->reply(returnCode, ERROR_client_not_allowed,
                              QStringLiteral("clients may only move themselves"));
    if (!channels().contains(channelId))
        return session->reply(returnCode, ERROR_channel_invalid_id);
    if (channelId == session->channel)
        return session->reply(returnCode, ERROR_channel_already_in);
    if (!channels()[channelId].checkPassword(password))
        return session->reply(returnCode, ERROR_channel_invalid_password);
    const QPointer<Session> target(session);
    m_cluster->move(clientId, channelId, invokerOf(session), [target, returnCode](unsigned code) {
        if (target)
            target->reply(returnCode, code);
    });
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
    // What another instance encodes the same frame from.
    const auto partsFor = [&](qint64 shownTarget) {
        return TextParts{mode,
                         session->clientId,
                         session->nickname,
                         session->uniqueId,
                         QString::fromUtf8(text.data, text.size),
                         shownTarget};
    };
    // A text that crosses to another instance is answered once it got there, or with the
    // error that it could not: nothing is reported delivered that was not.
    const auto answer = [session, returnCode](const char* what, qint64 id) {
        return [sender = QPointer<Session>(session), returnCode, what, id](unsigned int code) {
            if (!sender)
                return;
            QString extra;
            if (code == ERROR_client_invalid_id)
                extra = QStringLiteral("client %1 left before the text reached it").arg(id);
            else if (code != ERROR_ok)
                extra = QStringLiteral("%1 %2: another instance of the cluster could not be "
                                       "reached in time")
                            .arg(QLatin1String(what))
                            .arg(id);
            sender->reply(returnCode, code, extra);
        };
    };
    bool crossed = false;
    if (mode == TextMessageTarget_CLIENT) {
        const anyID id = anyID(target <= 0xFFFF ? target : 0);
        Session* receiver = m_clients.value(id);
        const ClientRecord* remote = receiver ? nullptr : m_cluster->state().client(id);
        if (!receiver && !remote)
            return session->reply(returnCode, ERROR_client_invalid_id);
        const QByteArray frame = frameFor(target);
        if (receiver)
            receiver->send(frame);
        else
            crossed =
                m_cluster->sendPrivateText(*remote, partsFor(target), answer("client", target));
        if (receiver != session)
            session->send(frame);
    } else if (mode == TextMessageTarget_CHANNEL) {
        const quint64 channel = target == 0 ? session->channel : quint64(target);
        if (!channels().contains(channel))
            return session->reply(returnCode, ERROR_channel_invalid_id);
        if (channel != session->channel)
            return session->reply(returnCode, ERROR_client_not_allowed,
                                  QStringLiteral("channel texts go to the own channel"));
        const QByteArray frame = frameFor(qint64(channel));
        const QVector<Session*> members = m_members.value(channel);
        for (Session* client : members)
            client->send(frame);
        crossed = m_cluster->sendChannelText(channel, partsFor(qint64(channel)),
                                             answer("channel", qint64(channel)));
    } else {
        return session->reply(returnCode, ERROR_parameter_invalid,
                              QStringLiteral("unknown target mode"));
    }
    ++m_texts;
    if (!crossed)
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

    Channel channel;
    channel.parent = parent;
    channel.name = name;
    channel.topic = topic;
    channel.description = description;
    channel.setPassword(password);
    channel.permanent = permanent;
    channel.semiPermanent = semiPermanent && !permanent;
    // The service checks what two requests could race for, here or on another instance.
    if (const unsigned int code =
            checkNewChannel(m_cluster->state(), channel, m_options.maxChannels))
        return session->reply(returnCode, code);
    const QPointer<Session> target(session);
    const anyID clientId = session->clientId;
    m_cluster->createChannel(
        channel, m_options.maxChannels, invokerOf(session),
        [target, returnCode, clientId, name](unsigned code) {
            if (code == ERROR_ok)
                logLine(QStringLiteral("client %1 created channel '%2'").arg(clientId).arg(name));
            if (target)
                target->reply(returnCode, code);
        });
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
    if (!channels().contains(channelId))
        return session->reply(returnCode, ERROR_channel_invalid_id);
    if (channelId == DefaultChannelId)
        return session->reply(returnCode, ERROR_channel_is_default);
    const QPointer<Session> target(session);
    const anyID clientId = session->clientId;
    m_cluster->deleteChannel(
        channelId, force, invokerOf(session),
        [target, returnCode, clientId, channelId](unsigned code) {
            if (code == ERROR_ok)
                logLine(
                    QStringLiteral("client %1 deleted channel %2").arg(clientId).arg(channelId));
            if (target)
                target->reply(returnCode, code);
        });
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
    if (inputMuted == session->inputMuted && outputMuted == session->outputMuted &&
        inputDeactivated == session->inputDeactivated)
        return session->reply(returnCode, ERROR_ok);
    // Voice follows the flags at once, before the service has settled them: a muted client's
    // frames must not go on while the change travels.
    session->inputMuted = inputMuted;
    session->outputMuted = outputMuted;
    session->inputDeactivated = inputDeactivated;
    const QPointer<Session> target(session);
    m_cluster->update(session->clientId, inputMuted, outputMuted, inputDeactivated,
                      invokerOf(session), [target, returnCode](unsigned code) {
                          if (target)
                              target->reply(returnCode, code);
                      });
}

void Server::announce(const QCborMap& message, bool defer, anyID except, News news)
{
    const auto tell = [this](const Announcement& announcement) {
        for (Session* client : everyClient()) {
            if (client->clientId == announcement.except)
                continue;
            if (announcement.news == News::Presence)
                client->notify(announcement.frame);
            else
                client->send(announcement.frame);
        }
    };
    // Once one announcement waits, the later ones wait behind it: every client hears of the
    // changes in the order they happened (a client that left before its ID came back).
    if (!defer && m_deferred.isEmpty())
        return tell({encodeFrame(message), except, news});
    m_deferred.append({encodeFrame(message), except, news});
    if (m_deferred.size() == 1)
        QMetaObject::invokeMethod(
            this,
            [this, tell] {
                const auto deferred = std::move(m_deferred);
                m_deferred.clear();
                for (const Announcement& announcement : deferred)
                    tell(announcement);
            },
            Qt::QueuedConnection);
}

void Server::clientJoined(const ClientRecord& client)
{
    // The newcomer itself learns of everybody, itself included, with its welcome.
    announce(clientMessage(client, type::ClientJoined), false, client.id, News::Presence);
}

void Server::clientMoved(const ClientRecord& client, quint64 from, const Invoker& invoker)
{
    Session* mover = m_clients.value(client.id);
    if (mover) {
        leaveChannel(mover);
        enterChannel(mover, client.channel);
    }
    QCborMap moved{{TypeKey, type::ClientMoved},
                   {field::ClientId, client.id},
                   {field::FromChannel, qint64(from)},
                   {field::ToChannel, qint64(client.channel)}};
    addInvoker(&moved, invoker);
    announce(moved);
    // After the move is told: the shares of the old channel end, those of the new one start.
    if (mover)
        m_screens->clientMoved(mover, from);
    else
        m_screens->remoteClientMoved(client.id, client.channel);
}

void Server::clientUpdated(const ClientRecord& client, const Invoker& invoker)
{
    if (Session* session = m_clients.value(client.id)) {
        session->inputMuted = client.inputMuted;
        session->outputMuted = client.outputMuted;
        session->inputDeactivated = client.inputDeactivated;
    }
    QCborMap updated = clientMessage(client, type::ClientUpdated);
    addInvoker(&updated, invoker);
    announce(updated);
}

void Server::clientLeft(const ClientRecord& client, int reason, const QString& message)
{
    if (!client.instance.isEmpty() && client.instance != m_cluster->instanceId()) {
        m_files->remoteOwnerLeft(client.id, client.instance);
        m_screens->remoteClientLeft(client.id);
    }
    // Others learn about it after the current frame is handled, never in the middle of
    // another broadcast (a client dropped while one is sent to it).
    announce(QCborMap{{TypeKey, type::ClientLeft},
                      {field::ClientId, client.id},
                      {field::ChannelId, qint64(client.channel)},
                      {field::Reason, reason},
                      {field::Message, message}},
             true, 0, News::Presence);
}

void Server::channelCreated(const Channel& channel, const Invoker& invoker)
{
    QCborMap created = channelMessage(channel, type::ChannelCreated);
    addInvoker(&created, invoker);
    announce(created);
}

void Server::channelDeleted(quint64 channel, const Invoker& invoker)
{
    // A client deleted it; a channel that went with a resynchronisation (invoker 0) keeps its
    // files on disk.
    m_files->channelsDeleted({channel}, invoker.id == 0);
    QCborMap deleted{{TypeKey, type::ChannelDeleted}, {field::ChannelId, qint64(channel)}};
    addInvoker(&deleted, invoker);
    announce(deleted);
}

void Server::channelText(quint64 channel, const QByteArray& frame)
{
    const QVector<Session*> members = m_members.value(channel);
    for (Session* client : members)
        client->send(frame);
}

bool Server::privateText(anyID target, const QByteArray& frame)
{
    Session* receiver = m_clients.value(target);
    if (receiver)
        receiver->send(frame);
    return receiver;
}

void Server::voice(quint64 channel, const QByteArray& frame)
{
    m_voice->deliver(channel, frame);
}

void Server::screen(const QByteArray& payload)
{
    m_screens->crossed(payload);
}

void Server::clientRevoked(anyID id, const QString& reason)
{
    Session* session = m_clients.take(id);
    if (!session)
        return;
    // The service has forgotten it already, or gave its ID to another: nothing to tell it.
    m_screens->clientGone(session);
    leaveChannel(session);
    m_voice->removeClient(session);
    session->close(reason, true);
}

} // namespace voiceserver
