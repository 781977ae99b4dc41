// SPDX-License-Identifier: MIT
// The server's channel index and its connection threads, seen from the wire: texts to a channel
// reach exactly its members however clients come, move, leave and lose their channel, and
// clients served by different threads hear each other; a crowd coming in at once learns of
// everyone once, and news of others comes even to those who send nothing. And the heap's free pages
// go back to the system after a burst or once they crept back in, not on every sweep, and TLS
// record buffers come from a region of their own whose freed pages go back at once.
#include "heaptrim.h"
#include "processuse.h"
#include "rawpeer.h"
#include "recordpool.h"
#include "voiceserverprocess.h"

#include <QCborMap>
#include <QtTest>

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <memory>

using namespace voicesdk::protocol;

class tst_VoiceServerScale : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void channelTextsReachExactlyTheMembers();
    void newcomersSeeTheStateAsItIsNow();
    void freedMemoryGoesBackAfterABurstOrCreepOnly();
    void tlsRecordBuffersHaveARegionOfTheirOwn();
    void aCrowdArrivingAtOnceHearsOfEveryoneOnce();

private:
    RawPeer& join(const QString& name);
    quint64 createChannel(RawPeer& by, const QString& name, quint64 parent);
    void move(const QString& who, quint64 channel);
    // Who of the peers receives a channel text that from sends now.
    QStringList hearers(const QString& from);

    // Three threads for a handful of peers: members of one channel sit on different threads.
    VoiceServerProcess m_server{{QStringLiteral("--io-threads"), QStringLiteral("3")}};
    std::map<QString, std::unique_ptr<RawPeer>> m_peers;
    std::map<QString, anyID> m_ids;
    int m_round = 0;
};

void tst_VoiceServerScale::initTestCase()
{
    // As the server does, before anything here makes OpenSSL allocate.
    QVERIFY(voiceserver::recordpool::install());
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    QVERIFY(m_server.log().contains("3 connection thread(s)"));
}

RawPeer& tst_VoiceServerScale::join(const QString& name)
{
    auto peer = std::make_unique<RawPeer>();
    if (!peer->open(m_server.port()))
        qFatal("cannot connect");
    peer->send(helloMessage(name));
    const QCborMap welcome = peer->next(type::Welcome);
    m_ids[name] = anyID(welcome.value(field::ClientId).toInteger());
    peer->next(type::Synced);
    RawPeer& result = *peer;
    m_peers[name] = std::move(peer);
    return result;
}

quint64 tst_VoiceServerScale::createChannel(RawPeer& by, const QString& name, quint64 parent)
{
    by.send(QCborMap{
        {TypeKey, type::ChannelCreate}, {field::ParentId, qint64(parent)}, {field::Name, name}});
    return quint64(by.next(type::ChannelCreated).value(field::ChannelId).toInteger());
}

void tst_VoiceServerScale::move(const QString& who, quint64 channel)
{
    RawPeer& peer = *m_peers.at(who);
    peer.send(QCborMap{{TypeKey, type::Move},
                       {field::ClientId, m_ids.at(who)},
                       {field::ChannelId, qint64(channel)},
                       {field::ReturnCode, QStringLiteral("moved")}});
    QCOMPARE(peer.next(type::Error).value(field::Code).toInteger(), qint64(ERROR_ok));
}

QStringList tst_VoiceServerScale::hearers(const QString& from)
{
    const QString text = QStringLiteral("round %1 from %2").arg(++m_round).arg(from);
    RawPeer& sender = *m_peers.at(from);
    sender.send(QCborMap{{TypeKey, type::Text},
                         {field::TargetMode, TextMessageTarget_CHANNEL},
                         {field::Target, 0},
                         {field::Message, text},
                         {field::ReturnCode, QStringLiteral("said")}});
    const auto holds = [&](const QList<QCborMap>& frames) {
        return std::any_of(frames.cbegin(), frames.cend(), [&](const QCborMap& frame) {
            return frame.value(TypeKey).toString() == type::TextMessage &&
                   frame.value(field::Message).toString() == text;
        });
    };
    // The answer comes once the text is on its way to everyone (the sender's copy before it);
    // a ping after it is answered after anything the text brought, on every connection.
    const bool senderHeard = holds(sender.until(type::Error));
    QStringList heard;
    for (auto& [name, peer] : m_peers) {
        peer->send(QCborMap{{TypeKey, type::Ping}});
        if (holds(peer->until(type::Pong)) || (name == from && senderHeard))
            heard.append(name);
    }
    return heard;
}

void tst_VoiceServerScale::channelTextsReachExactlyTheMembers()
{
    RawPeer& anna = join(QStringLiteral("anna"));
    for (const char* name : {"bob", "carl", "dora"})
        join(QString::fromLatin1(name));
    const quint64 room = createChannel(anna, QStringLiteral("Room"), 0);
    const quint64 nook = createChannel(anna, QStringLiteral("Nook"), room);
    QVERIFY(room != 0 && nook != 0);

    QCOMPARE(hearers("dora"), QStringList({"anna", "bob", "carl", "dora"}));
    move("bob", room);
    move("carl", nook);
    QCOMPARE(hearers("bob"), QStringList({"bob"}));
    QCOMPARE(hearers("anna"), QStringList({"anna", "dora"}));
    move("anna", room);
    QCOMPARE(hearers("bob"), QStringList({"anna", "bob"}));
    move("bob", nook);
    QCOMPARE(hearers("carl"), QStringList({"bob", "carl"}));

    // A member who leaves is out of the channel, however the leave went.
    m_peers.erase(QStringLiteral("bob"));
    QTRY_VERIFY(m_server.log().contains("(client " +
                                        QString::number(m_ids.at(QStringLiteral("bob"))) + ")"));
    QCOMPARE(hearers("carl"), QStringList({"carl"}));

    // Deleting the room sends its members and those of the channel inside it to the lobby.
    anna.send(QCborMap{{TypeKey, type::ChannelDelete},
                       {field::ChannelId, qint64(room)},
                       {field::Force, true},
                       {field::ReturnCode, QStringLiteral("gone")}});
    QCOMPARE(anna.next(type::Error).value(field::Code).toInteger(), qint64(ERROR_ok));
    QCOMPARE(hearers("dora"), QStringList({"anna", "carl", "dora"}));
}

void tst_VoiceServerScale::newcomersSeeTheStateAsItIsNow()
{
    // After the moves, the leave and the delete above, a newcomer's picture must match: kept
    // encodings that missed a change would show it here.
    RawPeer& eve = join(QStringLiteral("eve-probe"));
    RawPeer late;
    QVERIFY(late.open(m_server.port()));
    late.send(helloMessage(QStringLiteral("late")));
    QMap<QString, qint64> channelOf;
    QStringList channels;
    for (const QCborMap& frame : late.until(type::Synced)) {
        const QString kind = frame.value(TypeKey).toString();
        if (kind == type::Client)
            channelOf.insert(frame.value(field::Nickname).toString(),
                             frame.value(field::ChannelId).toInteger());
        else if (kind == type::Channel)
            channels.append(frame.value(field::Name).toString());
    }
    QCOMPARE(channels, QStringList({"Default Channel"}));
    QCOMPARE(channelOf.keys(), QStringList({"anna", "carl", "dora", "eve-probe", "late"}));
    for (const qint64 channel : channelOf)
        QCOMPARE(channel, qint64(1));

    // Moved again, a client shows in its new channel to the next newcomer.
    const quint64 hall = createChannel(eve, QStringLiteral("Hall"), 0);
    move("carl", hall);
    RawPeer later;
    QVERIFY(later.open(m_server.port()));
    later.send(helloMessage(QStringLiteral("later")));
    qint64 carlIn = 0;
    for (const QCborMap& frame : later.until(type::Synced)) {
        if (frame.value(TypeKey).toString() == type::Client &&
            frame.value(field::Nickname).toString() == QLatin1String("carl"))
            carlIn = frame.value(field::ChannelId).toInteger();
    }
    QCOMPARE(carlIn, qint64(hall));
}

void tst_VoiceServerScale::freedMemoryGoesBackAfterABurstOrCreepOnly()
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    QSKIP("a sanitizer's allocator stands in for glibc's heap");
#endif
    voiceserver::HeapTrimmer trimmer;
    const auto residentMiB = [] {
        return double(processUse(QCoreApplication::applicationPid()).rssKiB) / 1024;
    };
    QVERIFY(!trimmer.trimIfWorthIt()); // the first look only notes what the runner left

    // A burst: 64 MiB in small blocks, written, then freed below a block that stays, so that
    // glibc cannot give them back by itself from the heap's top.
    std::list<std::vector<char>> burst;
    for (int i = 0; i < 64 * 256; ++i)
        burst.emplace_back(4000, char(i));
    auto fence = std::make_unique<char[]>(64);
    fence[0] = 1;
    const double busy = residentMiB();
    burst.clear();
    QVERIFY2(residentMiB() > busy - 8, "the freed blocks stay resident until trimmed");
    QVERIFY(trimmer.trimIfWorthIt());
    const double trimmed = residentMiB();
    QVERIFY2(trimmed < busy - 32, qPrintable(QStringLiteral("%1 MiB resident with the burst, %2 "
                                                            "after the trim")
                                                 .arg(busy)
                                                 .arg(trimmed)));
    // Nothing new was freed: no walk of the heap again.
    QVERIFY(!trimmer.trimIfWorthIt());

    // Creep: blocks made, written and freed between two looks leave the free bytes as they were,
    // but bring given-back pages into memory again. Those go back too.
    for (int i = 0; i < 48 * 256; ++i)
        burst.emplace_back(4000, char(i));
    burst.clear();
    const double crept = residentMiB();
    QVERIFY2(crept > trimmed + 24, "the churn brought pages back");
    QVERIFY(trimmer.trimIfWorthIt());
    QVERIFY2(residentMiB() < crept - 24, qPrintable(QStringLiteral("%1 MiB resident after the "
                                                                   "churn, %2 after the trim")
                                                        .arg(crept)
                                                        .arg(residentMiB())));
}

void tst_VoiceServerScale::tlsRecordBuffersHaveARegionOfTheirOwn()
{
    using namespace voiceserver;
    // The size of a record buffer: 16 KiB of record and OpenSSL's overhead.
    constexpr size_t Record = 16 * 1024 + 349;
    const qint64 live = recordpool::use().live;
    void* freed = OPENSSL_malloc(Record);
    QVERIFY(freed);
    std::memset(freed, 1, Record);
    OPENSSL_free(freed);
    void* next = OPENSSL_malloc(Record - 40);
    QCOMPARE(next, freed); // ready for the next record
    QCOMPARE(recordpool::use().live, live + 1);

    // One that grows past its slot moves to the heap with its bytes; other sizes are the heap's.
    std::memset(next, 7, Record - 40);
    auto* grown = static_cast<char*>(OPENSSL_realloc(next, 64 * 1024));
    QVERIFY(grown);
    QCOMPARE(recordpool::use().live, live);
    QCOMPARE(grown[0], char(7));
    QCOMPARE(grown[Record - 41], char(7));
    OPENSSL_free(grown);
    void* small = OPENSSL_malloc(1000);
    QCOMPARE(recordpool::use().live, live);
    OPENSSL_free(small);

    // A crowd's handshakes: 2,000 buffers at once, written, then freed. All but the few kept
    // ready go back to the system at once, with no trim of the heap.
    std::vector<void*> crowd(2000);
    for (void*& buffer : crowd) {
        buffer = OPENSSL_malloc(Record);
        QVERIFY(buffer);
        std::memset(buffer, 2, Record);
    }
    QCOMPARE(recordpool::use().live, live + 2000);
    const qint64 busyKiB = processUse(QCoreApplication::applicationPid()).rssKiB;
    for (void* buffer : crowd)
        OPENSSL_free(buffer);
    const recordpool::Use after = recordpool::use();
    QCOMPARE(after.live, live);
    QCOMPARE(after.ready, qint64(recordpool::ReadySlots));
    QVERIFY(after.given >= 2000 - recordpool::ReadySlots);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
    const qint64 freedKiB = busyKiB - processUse(QCoreApplication::applicationPid()).rssKiB;
    QVERIFY2(freedKiB > 24 * 1024, qPrintable(QStringLiteral("%1 KiB given back").arg(freedKiB)));
#else
    Q_UNUSED(busyKiB);
#endif
}

void tst_VoiceServerScale::aCrowdArrivingAtOnceHearsOfEveryoneOnce()
{
    // Hellos that arrive together are answered in one go, each connection's frames of it
    // gathered into one order for its thread: none may be lost, doubled or put out of order.
    constexpr int Size = 30; // under the bound on connections without hello from one address
    std::vector<std::unique_ptr<RawPeer>> crowd;
    for (int i = 0; i < Size; ++i) {
        crowd.push_back(std::make_unique<RawPeer>());
        QVERIFY(crowd.back()->open(m_server.port()));
    }
    for (int i = 0; i < Size; ++i)
        crowd[size_t(i)]->send(helloMessage(QStringLiteral("crowd%1").arg(i)));
    QStringList everyone;
    for (int i = 0; i < Size; ++i)
        everyone.append(QStringLiteral("crowd%1").arg(i));
    std::sort(everyone.begin(), everyone.end());
    // The roster up to the welcome's end; once all are in, those who came later, each once.
    std::vector<QStringList> heardOf(static_cast<size_t>(Size));
    const auto note = [](QStringList* names, const QCborMap& frame) {
        const QString name = frame.value(field::Nickname).toString();
        if (name.startsWith(QLatin1String("crowd")))
            names->append(name);
    };
    for (int i = 0; i < Size; ++i) {
        bool welcomed = false;
        for (const QCborMap& frame : crowd[size_t(i)]->until(type::Synced)) {
            const QString kind = frame.value(TypeKey).toString();
            welcomed = welcomed || kind == type::Welcome;
            if (kind == type::Client)
                note(&heardOf[size_t(i)], frame);
        }
        QVERIFY2(welcomed, "the welcome came first");
    }
    for (int i = 0; i < Size; ++i) {
        crowd[size_t(i)]->send(QCborMap{{TypeKey, type::Ping}});
        for (const QCborMap& frame : crowd[size_t(i)]->until(type::Pong)) {
            if (frame.value(TypeKey).toString() == type::ClientJoined)
                note(&heardOf[size_t(i)], frame);
        }
        std::sort(heardOf[size_t(i)].begin(), heardOf[size_t(i)].end());
        QCOMPARE(heardOf[size_t(i)], everyone);
    }
    // News of others may wait for company, but not for ever: nobody here sends a thing.
    RawPeer late;
    QVERIFY(late.open(m_server.port()));
    late.send(helloMessage(QStringLiteral("crowd-late")));
    for (auto& peer : crowd)
        QCOMPARE(peer->next(type::ClientJoined).value(field::Nickname).toString(),
                 QStringLiteral("crowd-late"));
}

QTEST_GUILESS_MAIN(tst_VoiceServerScale)
#include "tst_voiceserver_scale.moc"
