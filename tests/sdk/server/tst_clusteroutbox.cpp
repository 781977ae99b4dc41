// SPDX-License-Identifier: MIT
// Texts between instances: one instance's outbox handed straight to another's inbox, with
// texts lost on the way and a receiver that stops listening, as Redis's pub/sub does to them.
// tst_cluster runs the same through a real Redis and its outages; here are the cases an outage
// cannot pick: a gap, a text twice, a stream begun again, each bound.
#include "clusteroutbox.h"
#include "voicesdk.h"

#include <QtTest>

using namespace voiceserver;

namespace {

// Instance "a" sends to instance "b"; what "b" shows, and what "a"'s senders are told.
struct Pair
{
    explicit Pair(qint64 holdMs = 60000, qint64 maxBytes = 1 << 20)
        : outbox(QStringLiteral("a"), holdMs, maxBytes,
                 [this](const QString& instance, const QByteArray& payload,
                        std::function<void(qint64)> heard) {
                     if (instance != QLatin1String("b") || !redisUp)
                         return false;
                     wire.append(payload);
                     heard(listening ? 1 : 0);
                     return true;
                 })
    {}

    // "b" takes what is on the wire (but the texts numbered in `lose`) and confirms (unless
    // the confirmation is lost).
    void deliver(const QSet<quint64>& lose = {}, bool confirm = true)
    {
        const QList<QByteArray> payloads = std::move(wire);
        wire.clear();
        for (const QByteArray& payload : payloads) {
            CrossingHeader header;
            QByteArray body;
            QVERIFY(readCrossingText(payload, &header, &body));
            if (lose.contains(header.number))
                continue;
            if (inbox.take(header) != ClusterInbox::Verdict::Deliver)
                continue;
            if (body.startsWith("gone"))
                inbox.refuse(header);
            else
                shown.append(QString::fromUtf8(body));
        }
        for (const auto& [sender, payload] : inbox.confirmations(QStringLiteral("b"))) {
            QCOMPARE(sender, QStringLiteral("a"));
            if (confirm)
                outbox.confirmation(payload);
        }
    }

    void send(const QByteArray& text)
    {
        outbox.send({QStringLiteral("b")}, text, [this, text](unsigned int code) {
            told.append({text, code});
        });
    }

    bool redisUp = true;
    bool listening = true;
    QList<QByteArray> wire;
    ClusterOutbox outbox;
    ClusterInbox inbox;
    QStringList shown;
    QList<QPair<QByteArray, unsigned int>> told;
};

} // namespace

class tst_ClusterOutbox : public QObject
{
    Q_OBJECT
private slots:
    void lostTextsComeAgainOnceInOrder();
    void pastTheBoundsTheSenderIsTold();
};

void tst_ClusterOutbox::lostTextsComeAgainOnceInOrder()
{
    Pair pair;
    pair.send("held"); // offline: waits
    QVERIFY(pair.wire.isEmpty());
    pair.outbox.setOnline(true);
    pair.send("one");
    pair.send("two");
    // "two" and "held" reach b; "one" is lost: "two" waits for it.
    pair.deliver({2});
    QCOMPARE(pair.shown, QStringList{"held"});
    QCOMPARE(pair.outbox.heldTexts(), 2);
    // b stops listening: nothing more is published but the oldest, tried on each tick.
    pair.listening = false;
    pair.send("three");
    pair.send("four");
    pair.wire.clear();
    pair.outbox.tick();
    QCOMPARE(pair.wire.size(), 1);
    pair.wire.clear();
    pair.listening = true;
    pair.outbox.tick();     // heard: the rest follows
    pair.wire += pair.wire; // and everything arrives twice
    pair.deliver();
    QCOMPARE(pair.shown, QStringList({"held", "one", "two", "three", "four"}));
    QCOMPARE(pair.told.size(), 5);
    for (const auto& [text, code] : pair.told)
        QCOMPARE(code, unsigned(ERROR_ok));
    QCOMPARE(pair.outbox.heldTexts(), 0);
    QCOMPARE(pair.outbox.heldBytes(), 0);

    // A target that is not there: its sender is told so.
    pair.send("gone target");
    pair.deliver();
    QCOMPARE(pair.told.last(),
             qMakePair(QByteArray("gone target"), unsigned(ERROR_client_invalid_id)));
}

void tst_ClusterOutbox::pastTheBoundsTheSenderIsTold()
{
    Pair pair(300, 2000);
    pair.outbox.setOnline(true);
    pair.send("first");
    pair.deliver();
    // Shown, but Redis went before the confirmation came back; another published, lost.
    pair.send("shown");
    pair.send("lost");
    pair.deliver({3}, false);
    pair.redisUp = false;
    pair.outbox.setOnline(false);
    // Never published: past its time it is told at once; over the bytes, at once too.
    pair.send("late");
    pair.send(QByteArray(1800, 'x'));
    QCOMPARE(pair.told.last().second, unsigned(ERROR_server_text_not_delivered));
    QTest::qWait(350);
    pair.outbox.tick();
    QCOMPARE(pair.told.mid(1), (QList<QPair<QByteArray, unsigned int>>{
                                   {QByteArray(1800, 'x'), ERROR_server_text_not_delivered},
                                   {"late", ERROR_server_text_not_delivered}}));
    // Those that may have arrived are asked about once Redis is back: shown or not, never
    // shown now.
    pair.redisUp = true;
    pair.outbox.setOnline(true);
    pair.send("in time");
    pair.deliver();
    QCOMPARE(pair.shown, QStringList({"first", "shown", "in time"}));
    QCOMPARE(pair.told.mid(3),
             (QList<QPair<QByteArray, unsigned int>>{{"shown", ERROR_ok},
                                                     {"lost", ERROR_server_text_not_delivered},
                                                     {"in time", ERROR_ok}}));
    // Asked about and not answered for another hold: told all the same.
    pair.send("unanswered");
    pair.redisUp = false;
    pair.outbox.setOnline(false);
    QTest::qWait(650);
    pair.outbox.tick();
    QCOMPARE(pair.told.last(),
             qMakePair(QByteArray("unanswered"), unsigned(ERROR_server_text_not_delivered)));
    QCOMPARE(pair.outbox.heldTexts(), 0);

    // b leaves the cluster: what waits for it is not delivered; a stream begun again later
    // (b back after all) is taken from its start.
    pair.redisUp = true;
    pair.outbox.setOnline(true);
    pair.listening = false;
    pair.send("for nobody");
    pair.outbox.keepOnly({QStringLiteral("a")});
    QCOMPARE(pair.told.last(),
             qMakePair(QByteArray("for nobody"), unsigned(ERROR_server_text_not_delivered)));
    pair.listening = true;
    pair.wire.clear();
    pair.send("again");
    pair.deliver();
    QCOMPARE(pair.shown.last(), QStringLiteral("again"));
    QCOMPARE(pair.outbox.heldTexts(), 0);
    QCOMPARE(pair.outbox.heldBytes(), 0);

    // Garbage is refused whole.
    CrossingHeader header;
    QByteArray body;
    for (const char* payload : {"T a 1 1 2\nx", "T a 0 1 1\nx", "T A 1 1 1\nx", "T a 1 1 1 x",
                                "U a 1 1 1\nx", "T a 1 1\nx"})
        QVERIFY2(!readCrossingText(payload, &header, &body), payload);
    pair.outbox.confirmation("A b x 1");
    pair.outbox.confirmation("A");
}

QTEST_GUILESS_MAIN(tst_ClusterOutbox)
#include "tst_clusteroutbox.moc"
