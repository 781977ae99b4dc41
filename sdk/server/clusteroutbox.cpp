// SPDX-License-Identifier: MIT
#include "clusteroutbox.h"

#include "serverlog.h"
#include "voicesdk.h"

#include <QDateTime>

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
    if (fields.size() != 5 || fields.at(0) != "T" || !readInstance(fields.at(1), &header->sender) ||
        !readNumber(fields.at(2), 0xFFFFFFFF, &stream) || stream == 0 ||
        !readNumber(fields.at(3), Q_UINT64_C(1) << 62, &header->number) ||
        !readNumber(fields.at(4), header->number, &header->base) || header->base == 0)
        return false;
    header->stream = quint32(stream);
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
    qint64 sentAt = 0; // 0: to be published
    bool refused = false;
    std::shared_ptr<Delivery> delivery;
};

struct ClusterOutbox::Stream
{
    quint32 number = 0;
    quint64 next = 1;
    std::deque<Entry> entries; // unconfirmed, in order
    // The receiver did not listen: only the oldest text is tried, on ticks, until it does.
    bool deaf = false;
};

ClusterOutbox::ClusterOutbox(const QString& self, qint64 holdMs, qint64 maxBytes, Publish publish)
    : m_self(self), m_holdMs(holdMs), m_maxBytes(maxBytes), m_publish(std::move(publish))
{
}

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

void ClusterOutbox::setOnline(bool online, qint64 now)
{
    m_online = online;
    if (!online)
        return;
    int waiting = 0;
    for (auto it = m_outgoing.begin(); it != m_outgoing.end(); ++it) {
        waiting += int(it->entries.size());
        it->deaf = false;
        for (Entry& entry : it->entries)
            entry.sentAt = 0;
        publishUnsent(it.key(), *it, now);
    }
    if (waiting > 0)
        logLine(QStringLiteral("cluster: %1 text(s) held for other instances go out now")
                    .arg(waiting));
    finish();
}

void ClusterOutbox::send(const QStringList& instances, const QByteArray& body, qint64 now,
                         Done done)
{
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
        to.entries.push_back(Entry{to.next++, body, now + m_holdMs, 0, false, delivery});
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
    entry.sentAt = now;
    const QByteArray payload = "T " + m_self.toLatin1() + ' ' + QByteArray::number(stream.number) +
                               ' ' + QByteArray::number(entry.number) + ' ' +
                               QByteArray::number(stream.entries.front().number) + '\n' +
                               entry.body;
    m_publish(instance, payload, [this, instance, number = stream.number, probe](qint64 heard) {
        const auto it = m_outgoing.find(instance);
        if (it == m_outgoing.end() || it->number != number)
            return;
        if (heard <= 0 && !it->deaf) {
            // Lost there: everything from here on waits until the receiver listens.
            it->deaf = true;
            for (Entry& entry : it->entries)
                entry.sentAt = 0;
        } else if (heard > 0 && probe && it->deaf && m_online) {
            it->deaf = false;
            publishUnsent(instance, *it, QDateTime::currentMSecsSinceEpoch());
            finish();
        }
    });
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
    std::deque<Entry>& entries = it->entries;
    for (int i = 4; i < fields.size() && !entries.empty(); ++i) {
        quint64 refused = 0;
        const quint64 first = entries.front().number;
        if (readNumber(fields.at(i), Q_UINT64_C(1) << 62, &refused) && refused >= first &&
            refused - first < entries.size())
            entries[size_t(refused - first)].refused = true;
    }
    while (!entries.empty() && entries.front().number <= upTo) {
        settle(entries.front(),
               entries.front().refused ? unsigned(ERROR_client_invalid_id) : unsigned(ERROR_ok));
        entries.pop_front();
    }
    // It listens.
    if (it->deaf && m_online) {
        it->deaf = false;
        publishUnsent(instance, *it, QDateTime::currentMSecsSinceEpoch());
    }
    finish();
}

void ClusterOutbox::tick(qint64 now)
{
    int expired = 0;
    for (auto it = m_outgoing.begin(); it != m_outgoing.end(); ++it) {
        std::deque<Entry>& entries = it->entries;
        // Held as long as they may be, in the order they came: the oldest go first.
        while (!entries.empty() && entries.front().deadline <= now) {
            settle(entries.front(), ERROR_server_text_not_delivered);
            entries.pop_front();
            ++expired;
        }
        if (!m_online || entries.empty())
            continue;
        if (it->deaf) {
            publish(it.key(), *it, entries.front(), now, true);
        } else if (entries.front().sentAt != 0 && now - entries.front().sentAt >= ResendMs) {
            for (Entry& entry : entries)
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
        for (Entry& entry : it->entries)
            settle(entry, ERROR_server_text_not_delivered);
        it = m_outgoing.erase(it);
    }
    finish();
}

void ClusterOutbox::settle(Entry& entry, unsigned int code)
{
    m_heldBytes -= entry.body.size() + EntryOverhead;
    --m_heldTexts;
    Delivery& delivery = *entry.delivery;
    if (code != ERROR_ok && delivery.code == ERROR_ok)
        delivery.code = code;
    if (--delivery.waiting == 0 && delivery.done)
        m_finished.append({std::move(delivery.done), delivery.code});
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
