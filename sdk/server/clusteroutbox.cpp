// SPDX-License-Identifier: MIT
#include "clusteroutbox.h"

#include "serverlog.h"
#include "voicesdk.h"

#include <chrono>

namespace voiceserver {

namespace {
// What a held text costs beyond its record: the entry, its share of the delivery, the hash.
constexpr qint64 EntryOverhead = 128;
// A text published and not confirmed for this long is published again (the receiver was
// taking the cluster's state, or saw a gap).
constexpr qint64 ResendMs = 2000;
constexpr int MaxHeaderBytes = 128;
constexpr int MaxSenders = 1024;
constexpr int MaxRefused = 4096;

// Deadlines are kept in the monotonic clock: a clock set back or forward changes none.
qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool readInstance(const QByteArray& text, QString* instance)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    *instance = QString::fromLatin1(text);
    return true;
}

bool readNumber(const QByteArray& text, quint64 max, quint64* out)
{
    bool ok = false;
    const quint64 number = text.toULongLong(&ok);
    if (!ok || number > max)
        return false;
    *out = number;
    return true;
}
} // namespace

bool readCrossingText(const QByteArray& payload, CrossingHeader* header, QByteArray* body)
{
    const int end = payload.indexOf('\n');
    if (end < 0 || end > MaxHeaderBytes)
        return false;
    const QList<QByteArray> fields = payload.left(end).split(' ');
    quint64 stream = 0;
    if (fields.size() != 5 || (fields.at(0) != "T" && fields.at(0) != "Q") ||
        !readInstance(fields.at(1), &header->sender) ||
        !readNumber(fields.at(2), 0xFFFFFFFF, &stream) || stream == 0 ||
        !readNumber(fields.at(3), Q_UINT64_C(1) << 62, &header->number) ||
        !readNumber(fields.at(4), header->number, &header->base) || header->base == 0)
        return false;
    header->stream = quint32(stream);
    header->query = fields.at(0) == "Q";
    *body = payload.mid(end + 1);
    return true;
}

// One text, to one instance or several: told once all have answered.
struct ClusterOutbox::Delivery
{
    int waiting = 0;
    unsigned int code = ERROR_ok;
    Done done;
};

struct ClusterOutbox::Entry
{
    quint64 number = 0;
    QByteArray body; // shared with the other instances' entries of the same text
    qint64 deadline = 0;
    qint64 sentAt = 0;       // 0: to be published
    int inFlight = 0;        // publishes Redis has not answered
    bool maybeShown = false; // a publish reached a listener, or its answer was lost
    bool expired = false;    // past its time: only asked about, no longer offered
    bool refused = false;
    bool told = false; // its sender knows the outcome; the entry keeps only its number
    std::shared_ptr<Delivery> delivery;
};

struct ClusterOutbox::Stream
{
    quint32 number = 0;
    quint64 next = 1;
    std::deque<Entry> entries; // unconfirmed, in order
    // The receiver did not listen: only the oldest text is tried, on ticks, until it does.
    bool deaf = false;

    Entry* find(quint64 number)
    {
        if (entries.empty() || number < entries.front().number ||
            number - entries.front().number >= entries.size())
            return nullptr;
        return &entries[size_t(number - entries.front().number)];
    }
};

ClusterOutbox::ClusterOutbox(const QString& self, qint64 holdMs, qint64 maxBytes, Publish publish)
    : m_self(self), m_holdMs(holdMs), m_maxBytes(maxBytes), m_publish(std::move(publish))
{}

ClusterOutbox::~ClusterOutbox() = default;

ClusterOutbox::Stream& ClusterOutbox::stream(const QString& instance)
{
    auto it = m_outgoing.find(instance);
    if (it == m_outgoing.end()) {
        it = m_outgoing.insert(instance, Stream());
        it->number = ++m_streams;
    }
    return *it;
}

void ClusterOutbox::setOnline(bool online)
{
    if (online == m_online)
        return;
    m_online = online;
    if (!online)
        return;
    const qint64 now = monotonicMs();
    int waiting = 0;
    for (auto it = m_outgoing.begin(); it != m_outgoing.end(); ++it) {
        waiting += int(it->entries.size());
        it->deaf = false;
        for (Entry& entry : it->entries)
            entry.sentAt = 0;
        publishUnsent(it.key(), *it, now);
    }
    if (waiting > 0)
        logLine(
            QStringLiteral("cluster: %1 text(s) held for other instances go out now").arg(waiting));
    finish();
}

void ClusterOutbox::send(const QStringList& instances, const QByteArray& body, Done done)
{
    const qint64 now = monotonicMs();
    const qint64 cost = (body.size() + EntryOverhead) * instances.size();
    if (m_heldBytes + cost > m_maxBytes) {
        logLimited("cluster outbox full",
                   QStringLiteral("cluster: %1 bytes of texts wait for other instances already; "
                                  "a text is reported undelivered")
                       .arg(m_heldBytes),
                   LogLevel::Warning);
        return done(ERROR_server_text_not_delivered);
    }
    auto delivery = std::make_shared<Delivery>();
    delivery->waiting = instances.size();
    delivery->done = std::move(done);
    for (const QString& instance : instances) {
        Stream& to = stream(instance);
        Entry entry;
        entry.number = to.next++;
        entry.body = body;
        entry.deadline = now + m_holdMs;
        entry.delivery = delivery;
        to.entries.push_back(std::move(entry));
        m_heldBytes += body.size() + EntryOverhead;
        ++m_heldTexts;
        if (m_online && !to.deaf)
            publish(instance, to, to.entries.back(), now, false);
    }
    finish();
}

void ClusterOutbox::publish(const QString& instance, Stream& stream, Entry& entry, qint64 now,
                            bool probe)
{
    const QByteArray header = QByteArray(entry.expired ? "Q " : "T ") + m_self.toLatin1() + ' ' +
                              QByteArray::number(stream.number) + ' ' +
                              QByteArray::number(entry.number) + ' ' +
                              QByteArray::number(stream.entries.front().number) + '\n';
    const auto heard = [this, instance, number = stream.number, text = entry.number,
                        probe](qint64 listeners) {
        const auto it = m_outgoing.find(instance);
        if (it == m_outgoing.end() || it->number != number)
            return;
        if (Entry* entry = it->find(text)) {
            --entry->inFlight;
            entry->maybeShown = entry->maybeShown || listeners != 0;
        }
        if (listeners <= 0) {
            deafen(*it);
        } else if (probe && it->deaf && m_online) {
            it->deaf = false;
            publishUnsent(instance, *it, monotonicMs());
            finish();
        }
    };
    entry.sentAt = now;
    ++entry.inFlight;
    if (!m_publish(instance, entry.expired ? header : header + entry.body, heard)) {
        entry.sentAt = 0;
        --entry.inFlight;
        deafen(stream);
    }
}

void ClusterOutbox::deafen(Stream& stream)
{
    // Lost there: everything from here on waits until the receiver listens.
    if (stream.deaf)
        return;
    stream.deaf = true;
    for (Entry& entry : stream.entries)
        entry.sentAt = 0;
}

void ClusterOutbox::publishUnsent(const QString& instance, Stream& stream, qint64 now)
{
    // Indexes, not iterators; a publish that fails at once makes the stream deaf, which ends
    // the loop.
    for (size_t i = 0; i < stream.entries.size() && !stream.deaf; ++i) {
        if (stream.entries[i].sentAt == 0)
            publish(instance, stream, stream.entries[i], now, false);
    }
}

void ClusterOutbox::confirmation(const QByteArray& payload)
{
    const QList<QByteArray> fields = payload.split(' ');
    QString instance;
    quint64 number = 0, upTo = 0;
    if (fields.size() < 4 || fields.size() > 4 + MaxRefused || fields.at(0) != "A" ||
        !readInstance(fields.at(1), &instance) || !readNumber(fields.at(2), 0xFFFFFFFF, &number) ||
        !readNumber(fields.at(3), Q_UINT64_C(1) << 62, &upTo)) {
        logLimited("cluster garbage", QStringLiteral("cluster: dropped a confirmation from Redis: "
                                                     "%1")
                                          .arg(QString::fromUtf8(payload.left(100))));
        return;
    }
    const auto it = m_outgoing.find(instance);
    if (it == m_outgoing.end() || it->number != number)
        return;
    for (int i = 4; i < fields.size(); ++i) {
        quint64 refused = 0;
        if (readNumber(fields.at(i), Q_UINT64_C(1) << 62, &refused)) {
            if (Entry* entry = it->find(refused))
                entry->refused = true;
        }
    }
    while (!it->entries.empty() && it->entries.front().number <= upTo) {
        Entry& entry = it->entries.front();
        // Refused after its time: the receiver never showed it.
        if (!entry.told)
            tell(entry, !entry.refused  ? ERROR_ok
                        : entry.expired ? ERROR_server_text_not_delivered
                                        : ERROR_client_invalid_id);
        drop(*it);
    }
    // It listens.
    if (it->deaf && m_online) {
        it->deaf = false;
        publishUnsent(instance, *it, monotonicMs());
    }
    finish();
}

void ClusterOutbox::tick()
{
    const qint64 now = monotonicMs();
    int expired = 0;
    for (auto it = m_outgoing.begin(); it != m_outgoing.end(); ++it) {
        // In the order they came, which is the order of their deadlines.
        for (Entry& entry : it->entries) {
            if (entry.deadline > now)
                break;
            if (entry.told)
                continue;
            if (!entry.expired) {
                // Asked about from now on, never offered again: its record can go.
                entry.expired = true;
                entry.sentAt = 0;
                m_heldBytes -= entry.body.size();
                entry.body = QByteArray();
            }
            // Never shown: told now. Maybe shown: told what the receiver answers, or after
            // another hold without an answer.
            if ((!entry.maybeShown && entry.inFlight == 0) || now - entry.deadline >= m_holdMs) {
                tell(entry, ERROR_server_text_not_delivered);
                ++expired;
            }
        }
        while (!it->entries.empty() && it->entries.front().told)
            drop(*it);
        if (!m_online || it->entries.empty())
            continue;
        Entry& oldest = it->entries.front();
        if (it->deaf) {
            publish(it.key(), *it, oldest, now, true);
        } else if (oldest.sentAt != 0 && now - oldest.sentAt >= ResendMs) {
            for (Entry& entry : it->entries)
                entry.sentAt = 0;
            publishUnsent(it.key(), *it, now);
        } else {
            publishUnsent(it.key(), *it, now);
        }
    }
    if (expired > 0)
        logLine(LogLevel::Warning,
                QStringLiteral("cluster: %1 text(s) for other instances waited %2 ms unconfirmed; "
                               "their senders are told they were not delivered")
                    .arg(expired)
                    .arg(m_holdMs));
    finish();
}

void ClusterOutbox::keepOnly(const QSet<QString>& instances)
{
    for (auto it = m_outgoing.begin(); it != m_outgoing.end();) {
        if (instances.contains(it.key())) {
            ++it;
            continue;
        }
        if (!it->entries.empty())
            logLine(LogLevel::Warning,
                    QStringLiteral("cluster: instance %1 is gone; %2 text(s) for it were not "
                                   "delivered")
                        .arg(it.key())
                        .arg(it->entries.size()));
        while (!it->entries.empty()) {
            if (!it->entries.front().told)
                tell(it->entries.front(), ERROR_server_text_not_delivered);
            drop(*it);
        }
        it = m_outgoing.erase(it);
    }
    finish();
}

void ClusterOutbox::tell(Entry& entry, unsigned int code)
{
    entry.told = true;
    m_heldBytes -= entry.body.size();
    entry.body = QByteArray();
    const std::shared_ptr<Delivery> delivery = std::move(entry.delivery);
    if (code != ERROR_ok && delivery->code == ERROR_ok)
        delivery->code = code;
    if (--delivery->waiting == 0 && delivery->done)
        m_finished.append({std::move(delivery->done), delivery->code});
}

void ClusterOutbox::drop(Stream& stream)
{
    m_heldBytes -= stream.entries.front().body.size() + EntryOverhead;
    --m_heldTexts;
    stream.entries.pop_front();
}

void ClusterOutbox::finish()
{
    const auto finished = std::move(m_finished);
    m_finished.clear();
    for (const auto& [done, code] : finished)
        done(code);
}

ClusterInbox::Verdict ClusterInbox::take(const CrossingHeader& header)
{
    auto it = m_from.find(header.sender);
    if (it == m_from.end()) {
        if (m_from.size() >= MaxSenders)
            return Verdict::Early;
        it = m_from.insert(header.sender, From());
    }
    From& from = *it;
    if (from.stream != header.stream) {
        from = From();
        from.stream = header.stream;
        from.expected = header.base;
    }
    // The sender gave up on those below its base.
    from.expected = qMax(from.expected, header.base);
    from.unconfirmed = true;
    if (header.number < from.expected)
        return Verdict::Again;
    if (header.number > from.expected)
        return Verdict::Early;
    if (header.query) {
        // Past its time and never shown: it never will be, and the sender hears so.
        if (from.refused.size() >= MaxRefused)
            return Verdict::Early;
        from.refused.append(header.number);
        ++from.expected;
        return Verdict::Again;
    }
    ++from.expected;
    return Verdict::Deliver;
}

void ClusterInbox::refuse(const CrossingHeader& header)
{
    const auto it = m_from.find(header.sender);
    if (it != m_from.end() && it->stream == header.stream && it->refused.size() < MaxRefused)
        it->refused.append(header.number);
}

QList<QPair<QString, QByteArray>> ClusterInbox::confirmations(const QString& self)
{
    QList<QPair<QString, QByteArray>> result;
    for (auto it = m_from.begin(); it != m_from.end(); ++it) {
        if (!it->unconfirmed)
            continue;
        QByteArray payload = "A " + self.toLatin1() + ' ' + QByteArray::number(it->stream) + ' ' +
                             QByteArray::number(it->expected - 1);
        for (quint64 refused : qAsConst(it->refused))
            payload += ' ' + QByteArray::number(refused);
        result.append({it.key(), payload});
        it->refused.clear();
        it->unconfirmed = false;
    }
    return result;
}

void ClusterInbox::keepOnly(const QSet<QString>& instances)
{
    for (auto it = m_from.begin(); it != m_from.end();) {
        if (instances.contains(it.key()))
            ++it;
        else
            it = m_from.erase(it);
    }
}

} // namespace voiceserver
