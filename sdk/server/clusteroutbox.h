// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

namespace voiceserver {

// The first line of a text between instances: "T <sender> <stream> <number> <base>", then the
// text's record. The base is the lowest number the sender still holds: the receiver skips to it
// past those the sender gave up on. "Q" instead of "T", with no record, asks about a text past
// its time: shown already, or never to be shown.
struct CrossingHeader
{
    QString sender;
    quint32 stream = 0; // a stream's number: a new stream starts its numbers at 1 again
    quint64 number = 0;
    quint64 base = 0;
    bool query = false;
};
bool readCrossingText(const QByteArray& payload, CrossingHeader* header, QByteArray* body);

// Texts on their way to other instances, each kept until the receiving instance confirms it.
// Redis's pub/sub delivers at most once and only to whoever listens at that moment, so a text
// published while Redis or the receiver is away is lost there; here it waits and goes out
// again, and the receiver's ClusterInbox shows it once. Each receiving instance has a stream:
// its texts are numbered in the order they were sent and confirmed up to a number. A text waits
// at most holdMs, and all waiting texts together take at most maxBytes; beyond either bound the
// sender learns that it was not delivered. One that may have arrived before Redis went (its
// confirmation lost) is not judged blind: once Redis is back the receiver is asked, and says
// whether it showed it (waiting at most holdMs more). Nothing here talks to Redis: publish()
// does.
class ClusterOutbox
{
public:
    using Done = std::function<void(unsigned int code)>;
    // Publishes a payload to an instance's inbox; false when it cannot go out now. Otherwise
    // heard() follows with how many listened (0: nobody subscribed there) or -1 when the answer
    // was lost with the connection.
    using Publish = std::function<bool(const QString& instance, const QByteArray& payload,
                                       std::function<void(qint64 listeners)> heard)>;

    ClusterOutbox(const QString& self, qint64 holdMs, qint64 maxBytes, Publish publish);
    ~ClusterOutbox();
    ClusterOutbox(const ClusterOutbox&) = delete;
    ClusterOutbox& operator=(const ClusterOutbox&) = delete;

    // While offline texts only wait; going online sends everything that waits, in order.
    void setOnline(bool online);
    // A text's record for these instances. done() once every one of them has confirmed it
    // (ERROR_ok), or with the first failure: a private text's target was not there
    // (ERROR_client_invalid_id), or the text could not get through within the bounds
    // (ERROR_server_text_not_delivered).
    void send(const QStringList& instances, const QByteArray& body, Done done);
    // The receiver's confirmation: "A <receiver> <stream> <up to> [refused number ...]".
    void confirmation(const QByteArray& payload);
    // Gives up on texts past their time; online, sends again what was not confirmed.
    void tick();
    // Texts for instances the cluster no longer has are not delivered.
    void keepOnly(const QSet<QString>& instances);

    // Texts held (with the numbers kept of those given up), and the bytes counted against the
    // bound.
    int heldTexts() const { return m_heldTexts; }
    qint64 heldBytes() const { return m_heldBytes; }

private:
    struct Delivery;
    struct Entry;
    struct Stream;
    Stream& stream(const QString& instance);
    void publish(const QString& instance, Stream& stream, Entry& entry, qint64 now, bool probe);
    void publishUnsent(const QString& instance, Stream& stream, qint64 now);
    void deafen(Stream& stream);
    void tell(Entry& entry, unsigned int code);
    void drop(Stream& stream);
    void finish();

    QString m_self;
    qint64 m_holdMs;
    qint64 m_maxBytes;
    Publish m_publish;
    bool m_online = false;
    quint32 m_streams = 0; // the last stream number given
    QHash<QString, Stream> m_outgoing;
    int m_heldTexts = 0;
    qint64 m_heldBytes = 0;
    QList<QPair<Done, unsigned int>> m_finished; // told after the bookkeeping is done
};

// What this instance took from each other instance's stream: a text that comes again is shown
// once, and one that comes before those it follows waits for them (it is sent again).
class ClusterInbox
{
public:
    // Deliver: show it. Again: shown before, or asked about (a query is never shown). Early:
    // it waits for those before it.
    enum class Verdict { Deliver, Again, Early };
    Verdict take(const CrossingHeader& header);
    // A private text taken whose target is not here: the sender is told.
    void refuse(const CrossingHeader& header);
    // The confirmations to publish since the last call: each sender's inbox and the payload.
    QList<QPair<QString, QByteArray>> confirmations(const QString& self);
    void keepOnly(const QSet<QString>& instances);

private:
    struct From
    {
        quint32 stream = 0;
        quint64 expected = 0;
        QList<quint64> refused;
        bool unconfirmed = false;
    };
    QHash<QString, From> m_from;
};

} // namespace voiceserver
