// SPDX-License-Identifier: MIT
#include "redislink.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QUrl>
#include <QUrlQuery>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <hiredis/sds.h>

#include <sys/socket.h>

namespace voiceserver {

namespace {
// What hiredis may hold unsent before commands are dropped: Redis has stopped reading, and
// voice and texts must not pile up in this process meanwhile.
constexpr qint64 MaxUnsentBytes = 16 * 1024 * 1024;
constexpr int ConnectTimeoutMs = 2000;
// A reply nested deeper than this is not one of ours.
constexpr int MaxDepth = 8;

RedisValue copyReply(const redisReply* reply, int depth = 0)
{
    RedisValue value;
    if (!reply)
        return value;
    switch (reply->type) {
    case REDIS_REPLY_INTEGER:
        value.type = RedisValue::Type::Integer;
        value.integer = reply->integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        value.type = reply->type == REDIS_REPLY_STRING   ? RedisValue::Type::String
                     : reply->type == REDIS_REPLY_STATUS ? RedisValue::Type::Status
                                                         : RedisValue::Type::Error;
        value.string = QByteArray(reply->str, int(reply->len));
        break;
    case REDIS_REPLY_ARRAY:
        value.type = RedisValue::Type::Array;
        if (depth < MaxDepth) {
            value.elements.reserve(int(reply->elements));
            for (size_t i = 0; i < reply->elements; ++i)
                value.elements.append(copyReply(reply->element[i], depth + 1));
        }
        break;
    default:
        break;
    }
    return value;
}

RedisValue errorValue(const QByteArray& text)
{
    RedisValue value;
    value.type = RedisValue::Type::Error;
    value.string = text;
    return value;
}
} // namespace

QString RedisEndpoint::describe() const
{
    return socketPath.isEmpty()
               ? QStringLiteral("redis://%1:%2/%3").arg(host).arg(port).arg(database)
               : QStringLiteral("unix:%1 (database %2)").arg(socketPath).arg(database);
}

bool parseRedisUrl(const QString& url, RedisEndpoint* endpoint, QString* error)
{
    RedisEndpoint parsed;
    if (url.startsWith(QLatin1String("unix:"))) {
        QString rest = url.mid(5);
        const int query = rest.indexOf(QLatin1Char('?'));
        if (query >= 0) {
            const QUrlQuery items(rest.mid(query + 1));
            rest = rest.left(query);
            if (items.hasQueryItem(QStringLiteral("db"))) {
                bool ok = false;
                parsed.database = items.queryItemValue(QStringLiteral("db")).toInt(&ok);
                if (!ok || parsed.database < 0 || parsed.database > 1000) {
                    *error = QStringLiteral("'%1': db is not a database number").arg(url);
                    return false;
                }
            }
        }
        if (rest.isEmpty() || rest.contains(QChar(0))) {
            *error = QStringLiteral("'%1': no socket path").arg(url);
            return false;
        }
        parsed.socketPath = rest;
        *endpoint = parsed;
        return true;
    }
    const QUrl parsedUrl(url, QUrl::StrictMode);
    if (!parsedUrl.isValid() || parsedUrl.scheme() != QLatin1String("redis") ||
        parsedUrl.host().isEmpty()) {
        *error = QStringLiteral("'%1' is neither redis://HOST[:PORT][/DB] nor unix:PATH").arg(url);
        return false;
    }
    if (!parsedUrl.password().isEmpty() || !parsedUrl.userName().isEmpty()) {
        // It would show in process lists and logs.
        *error = QStringLiteral("the Redis password goes in the config file (cluster-password) or "
                                "the environment (VOICE_SERVER_REDIS_PASSWORD), not in the URL");
        return false;
    }
    parsed.host = parsedUrl.host();
    parsed.port = quint16(parsedUrl.port(6379));
    const QString path = parsedUrl.path().mid(1);
    if (!path.isEmpty()) {
        bool ok = false;
        parsed.database = path.toInt(&ok);
        if (!ok || parsed.database < 0 || parsed.database > 1000) {
            *error = QStringLiteral("'%1': '%2' is not a database number").arg(url, path);
            return false;
        }
    }
    *endpoint = parsed;
    return true;
}

qint64 RedisValue::toInteger(bool* ok) const
{
    if (type == Type::Integer) {
        if (ok)
            *ok = true;
        return integer;
    }
    if (type == Type::String || type == Type::Status)
        return string.toLongLong(ok);
    if (ok)
        *ok = false;
    return 0;
}

// What a command's callback carries; freed when its reply (or the end of the connection) comes.
struct RedisLink::Pending
{
    RedisLink* link;
    Reply done;
};

RedisLink::RedisLink(const RedisEndpoint& endpoint, QObject* parent)
    : QObject(parent), m_endpoint(endpoint)
{
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this,
            [this] { lost(QStringLiteral("no connection within %1 ms").arg(ConnectTimeoutMs)); });
}

RedisLink::~RedisLink()
{
    m_closing = true;
    m_destroying = true;
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    if (m_context) {
        redisAsyncContext* context = m_context;
        m_context = nullptr;
        redisAsyncFree(context); // every waiting callback runs with no reply, then cleanup
    }
}

void RedisLink::open()
{
    if (m_context || m_lookup >= 0)
        return;
    m_closing = false;
    m_attempting = true;
    m_connectTimeout.start(ConnectTimeoutMs);
    if (!m_endpoint.socketPath.isEmpty())
        return connectTo(QString());
    QHostAddress address;
    if (address.setAddress(m_endpoint.host))
        return connectTo(address.toString());
    m_lookup = QHostInfo::lookupHost(m_endpoint.host, this, [this](const QHostInfo& info) {
        m_lookup = -1;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
            return lost(
                QStringLiteral("cannot resolve %1: %2").arg(m_endpoint.host, info.errorString()));
        connectTo(info.addresses().constFirst().toString());
    });
}

void RedisLink::connectTo(const QString& address)
{
    m_context = m_endpoint.socketPath.isEmpty()
                    ? redisAsyncConnect(address.toUtf8().constData(), m_endpoint.port)
                    : redisAsyncConnectUnix(m_endpoint.socketPath.toUtf8().constData());
    if (!m_context)
        return lost(QStringLiteral("out of memory"));
    if (m_context->err) {
        const QString reason = QString::fromLocal8Bit(m_context->errstr);
        redisAsyncFree(m_context);
        m_context = nullptr;
        return lost(reason);
    }
    m_context->data = this;
    attach();
    redisAsyncSetConnectCallback(m_context, &RedisLink::onConnect);
    redisAsyncSetDisconnectCallback(m_context, &RedisLink::onDisconnect);
    // Queued now, sent first: a command before them would be refused.
    if (!m_endpoint.password.isEmpty())
        command({"AUTH", m_endpoint.password.toUtf8()}, [this](const RedisValue& reply) {
            if (reply.isError() && m_context)
                lost(QStringLiteral("authentication failed: %1")
                         .arg(QString::fromUtf8(reply.string.left(200))));
        });
    if (m_endpoint.database != 0)
        command({"SELECT", QByteArray::number(m_endpoint.database)},
                [this](const RedisValue& reply) {
                    if (reply.isError() && m_context)
                        lost(QStringLiteral("cannot select database %1: %2")
                                 .arg(m_endpoint.database)
                                 .arg(QString::fromUtf8(reply.string.left(200))));
                });
}

void RedisLink::attach()
{
    m_context->ev.data = this;
    m_context->ev.addRead = &RedisLink::addRead;
    m_context->ev.delRead = &RedisLink::delRead;
    m_context->ev.addWrite = &RedisLink::addWrite;
    m_context->ev.delWrite = &RedisLink::delWrite;
    m_context->ev.cleanup = &RedisLink::cleanup;
    const int fd = m_context->c.fd;
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_read->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, &RedisLink::readable);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_write->setEnabled(false);
    connect(m_write, &QSocketNotifier::activated, this, &RedisLink::writable);
}

void RedisLink::addRead(void* data)
{
    if (auto* link = static_cast<RedisLink*>(data); link->m_read)
        link->m_read->setEnabled(true);
}

void RedisLink::delRead(void* data)
{
    if (auto* link = static_cast<RedisLink*>(data); link->m_read)
        link->m_read->setEnabled(false);
}

void RedisLink::addWrite(void* data)
{
    if (auto* link = static_cast<RedisLink*>(data); link->m_write)
        link->m_write->setEnabled(true);
}

void RedisLink::delWrite(void* data)
{
    if (auto* link = static_cast<RedisLink*>(data); link->m_write)
        link->m_write->setEnabled(false);
}

void RedisLink::cleanup(void* data)
{
    // Called before hiredis closes the descriptor: the notifiers leave the event loop now and
    // are deleted once whatever signal is being delivered has returned.
    auto* link = static_cast<RedisLink*>(data);
    for (QSocketNotifier* notifier : {link->m_read, link->m_write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    link->m_read = nullptr;
    link->m_write = nullptr;
}

void RedisLink::readable()
{
    if (m_context)
        redisAsyncHandleRead(m_context);
}

void RedisLink::writable()
{
    if (m_context)
        redisAsyncHandleWrite(m_context);
}

void RedisLink::onConnect(const redisAsyncContext* context, int status)
{
    auto* link = static_cast<RedisLink*>(context->data);
    if (!link)
        return;
    if (status != REDIS_OK) {
        // hiredis frees the context after this returns.
        const QString reason = QString::fromLocal8Bit(context->errstr);
        link->m_context = nullptr;
        return link->lost(reason);
    }
    link->m_connectTimeout.stop();
    // Keep-alive probes find a peer that vanished without closing.
    int on = 1;
    ::setsockopt(context->c.fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    link->m_up = true;
    emit link->up();
}

void RedisLink::onDisconnect(const redisAsyncContext* context, int status)
{
    auto* link = static_cast<RedisLink*>(context->data);
    if (!link || link->m_context != context)
        return;
    link->m_context = nullptr; // hiredis frees it
    link->lost(status == REDIS_OK ? QStringLiteral("closed")
                                  : QString::fromLocal8Bit(context->errstr));
}

void RedisLink::lost(const QString& reason)
{
    m_connectTimeout.stop();
    if (m_context) {
        redisAsyncContext* context = m_context;
        m_context = nullptr;
        redisAsyncFree(context);
    }
    m_subscription.reset();
    m_up = false;
    if (m_attempting && !m_closing) {
        m_attempting = false;
        emit down(reason);
    }
    m_attempting = false;
}

void RedisLink::close()
{
    m_closing = true;
    lost(QStringLiteral("closed"));
}

qint64 RedisLink::unsentBytes() const
{
    return m_context && m_context->c.obuf ? qint64(sdslen(m_context->c.obuf)) : 0;
}

bool RedisLink::command(const QList<QByteArray>& arguments, Reply done)
{
    if (!m_context || unsentBytes() > MaxUnsentBytes)
        return false;
    QVector<const char*> argv;
    QVector<size_t> lengths;
    for (const QByteArray& argument : arguments) {
        argv.append(argument.constData());
        lengths.append(size_t(argument.size()));
    }
    auto* pending = new Pending{this, std::move(done)};
    if (redisAsyncCommandArgv(m_context, &RedisLink::onReply, pending, argv.size(), argv.data(),
                              lengths.data()) != REDIS_OK) {
        delete pending;
        return false;
    }
    return true;
}

void RedisLink::onReply(redisAsyncContext* context, void* reply, void* privdata)
{
    Q_UNUSED(context)
    std::unique_ptr<Pending> pending(static_cast<Pending*>(privdata));
    if (!pending->done || pending->link->m_destroying)
        return;
    // No reply: the connection ended before it came.
    pending->done(reply ? copyReply(static_cast<redisReply*>(reply))
                        : errorValue(QByteArrayLiteral("connection lost")));
}

bool RedisLink::subscribe(const QList<QByteArray>& channels)
{
    if (!m_context)
        return false;
    if (!m_subscription)
        m_subscription = std::make_unique<Pending>(Pending{this, {}});
    QVector<const char*> argv{"SUBSCRIBE"};
    QVector<size_t> lengths{9};
    for (const QByteArray& channel : channels) {
        argv.append(channel.constData());
        lengths.append(size_t(channel.size()));
    }
    return redisAsyncCommandArgv(m_context, &RedisLink::onMessage, m_subscription.get(),
                                 argv.size(), argv.data(), lengths.data()) == REDIS_OK;
}

void RedisLink::onMessage(redisAsyncContext* context, void* reply, void* privdata)
{
    Q_UNUSED(privdata)
    auto* link = static_cast<RedisLink*>(context->data);
    const auto* r = static_cast<const redisReply*>(reply);
    if (!link || !r || r->type != REDIS_REPLY_ARRAY || r->elements != 3 || !link->m_onMessage)
        return;
    const redisReply* kind = r->element[0];
    const redisReply* channel = r->element[1];
    const redisReply* payload = r->element[2];
    if (kind->type != REDIS_REPLY_STRING || channel->type != REDIS_REPLY_STRING)
        return;
    if (qstrncmp(kind->str, "subscribe", 10) == 0)
        return emit link->subscribed(QByteArray(channel->str, int(channel->len)));
    if (qstrncmp(kind->str, "message", 8) != 0 || payload->type != REDIS_REPLY_STRING)
        return;
    link->m_onMessage(QByteArray(channel->str, int(channel->len)),
                      QByteArray::fromRawData(payload->str, int(payload->len)));
}

} // namespace voiceserver
