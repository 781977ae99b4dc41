// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

struct redisAsyncContext;
class QSocketNotifier;

namespace voiceserver {

// Where Redis is: "redis://HOST[:PORT][/DB]" or "unix:PATH" (with "?db=N").
struct RedisEndpoint
{
    QString host;
    quint16 port = 6379;
    QString socketPath; // set for a unix socket
    int database = 0;
    QString password; // never logged
    QString describe() const;
};
bool parseRedisUrl(const QString& url, RedisEndpoint* endpoint, QString* error);

// A reply as the caller sees it, copied out of hiredis's (which it frees after the callback).
struct RedisValue
{
    enum class Type { Nil, Integer, String, Array, Status, Error };
    Type type = Type::Nil;
    qint64 integer = 0;
    QByteArray string; // strings, statuses and errors
    QList<RedisValue> elements;

    bool isError() const { return type == Type::Error; }
    // An integer reply, or a string that holds one.
    qint64 toInteger(bool* ok = nullptr) const;
};

// One connection to Redis through hiredis's asynchronous API, on the event loop of the thread
// that owns it: nothing here ever waits for Redis. Commands queue in hiredis until the
// connection is up; a connection that is lost, refused or silent ends every command waiting
// for an answer with an error, and is reported once through down(). Host names are looked up
// by Qt, asynchronously, since hiredis would block on them.
class RedisLink : public QObject
{
    Q_OBJECT
public:
    using Reply = std::function<void(const RedisValue&)>;

    RedisLink(const RedisEndpoint& endpoint, QObject* parent = nullptr);
    ~RedisLink() override;

    // Connects (again); up() or down() follows. Authentication and the database are the first
    // commands on the connection.
    void open();
    void close();
    bool isUp() const { return m_up; }
    bool isOpen() const { return m_context != nullptr; }
    // False when the connection is not open, or its unsent output is over the bound (then the
    // command is dropped: Redis is not keeping up).
    bool command(const QList<QByteArray>& arguments, Reply done = {});
    // Subscribes; every message of those channels goes to the handler (channel, payload; the
    // payload is valid only during the call).
    bool subscribe(const QList<QByteArray>& channels);
    void setMessageHandler(std::function<void(const QByteArray&, const QByteArray&)> handler)
    {
        m_onMessage = std::move(handler);
    }
    // Bytes hiredis holds that the socket has not taken.
    qint64 unsentBytes() const;

signals:
    void up();
    // Once per open(): the connection failed or ended.
    void down(const QString& reason);
    // Redis confirmed a subscription.
    void subscribed(const QByteArray& channel);

private:
    struct Pending;
    static void onConnect(const redisAsyncContext* context, int status);
    static void onDisconnect(const redisAsyncContext* context, int status);
    static void onReply(redisAsyncContext* context, void* reply, void* privdata);
    static void onMessage(redisAsyncContext* context, void* reply, void* privdata);
    void connectTo(const QString& address);
    void attach();
    void lost(const QString& reason);
    // hiredis's event hooks.
    static void addRead(void* data);
    static void delRead(void* data);
    static void addWrite(void* data);
    static void delWrite(void* data);
    static void cleanup(void* data);
    void readable();
    void writable();

    RedisEndpoint m_endpoint;
    redisAsyncContext* m_context = nullptr;
    QSocketNotifier* m_read = nullptr;
    QSocketNotifier* m_write = nullptr;
    bool m_up = false;
    bool m_closing = false;
    bool m_attempting = false;
    bool m_destroying = false;
    int m_lookup = -1; // a host lookup in progress
    QTimer m_connectTimeout;
    std::function<void(const QByteArray&, const QByteArray&)> m_onMessage;
    std::unique_ptr<Pending> m_subscription; // lives as long as the connection
};

} // namespace voiceserver
