// SPDX-License-Identifier: MIT
// The server's TLS layer against peers that misuse it, each ending only its own connection with
// its own log line and leaving nothing behind for the next connection on the thread; sessions
// resumed; idle TLS connections that hold no record buffers. A new certificate at run time is
// tst_voiceserver_operations' SIGHUP test.
#include "processuse.h"
#include "rawpeer.h"
#include "tls.h"
#include "tlspeer.h"
#include "voiceserverprocess.h"

#include <QDateTime>
#include <QtTest>

#include <memory>
#include <vector>

using namespace voicesdk::protocol;

class tst_VoiceServerTls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void misuseEndsOnlyThatConnection_data();
    void misuseEndsOnlyThatConnection();
    void sessionsAreResumed();
    void idleConnectionsHoldNoRecordBuffers();

private:
    // A new client on the server's one connection thread can still join and be heard.
    void checkNewcomerTalks();

    // One connection thread, so every connection shares the thread of the one before.
    VoiceServerProcess m_server{{QStringLiteral("--io-threads"), QStringLiteral("1"),
                                 QStringLiteral("--idle-timeout-ms"), QStringLiteral("1000")}};
    int m_round = 0;
};

void tst_VoiceServerTls::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
}

void tst_VoiceServerTls::checkNewcomerTalks()
{
    TlsPeer peer;
    QVERIFY(peer.open(m_server.port()));
    QVERIFY(peer.hello(QStringLiteral("newcomer%1").arg(++m_round)));
    const QString text = QStringLiteral("heard %1").arg(m_round);
    QVERIFY(peer.send(QCborMap{{TypeKey, type::Text},
                               {field::TargetMode, TextMessageTarget_CHANNEL},
                               {field::Target, 0},
                               {field::Message, text}}));
    QCOMPARE(peer.next(type::TextMessage).value(field::Message).toString(), text);
}

void tst_VoiceServerTls::misuseEndsOnlyThatConnection_data()
{
    QTest::addColumn<QString>("misuse");
    QTest::addColumn<QString>("logged");
    QTest::newRow("renegotiation") << "renegotiate"
                                   << "TLS: the peer asked to renegotiate";
    QTest::newRow("fatal alert") << "alert"
                                 << "TLS: sslv3 alert bad record mac";
    QTest::newRow("record over the limit") << "oversized"
                                           << "TLS: ";
    QTest::newRow("close without close_notify") << "vanish"
                                                << "without TLS close_notify";
    QTest::newRow("stall mid-record") << "stall"
                                      << "silent for";
}

void tst_VoiceServerTls::misuseEndsOnlyThatConnection()
{
    QFETCH(QString, misuse);
    QFETCH(QString, logged);
    const int logged0 = m_server.log().size();
    TlsPeer peer;
    QVERIFY(peer.open(m_server.port(), misuse == QLatin1String("renegotiate")));
    QVERIFY(peer.hello(QStringLiteral("misuser%1").arg(++m_round)));
    if (misuse == QLatin1String("renegotiate")) {
        QVERIFY(peer.renegotiate());
    } else if (misuse == QLatin1String("alert")) {
        QVERIFY(peer.sendFatalAlert());
    } else if (misuse == QLatin1String("oversized")) {
        // A record header announcing far more than a record may hold, then some of it.
        QVERIFY(peer.writeRaw(QByteArray::fromHex("170303ffff") + QByteArray(4096, 'o')));
    } else if (misuse == QLatin1String("stall")) {
        QVERIFY(peer.writeHalfRecord(1000));
    } else {
        peer.vanish();
    }
    if (misuse != QLatin1String("vanish"))
        QVERIFY(peer.closedByServer());
    // Each of these has its own line, naming the client.
    QTRY_VERIFY2_WITH_TIMEOUT(m_server.log().mid(logged0).contains(QRegularExpression(
                                  QStringLiteral("closed \\(client [1-9][0-9]*\\): .*%1")
                                      .arg(QRegularExpression::escape(logged)))),
                              qPrintable(m_server.log().mid(logged0).right(1500)), 5000);
    checkNewcomerTalks();
}

void tst_VoiceServerTls::sessionsAreResumed()
{
    TlsPeer first;
    QVERIFY(first.open(m_server.port()));
    QVERIFY(!first.isResumed());
    QVERIFY(first.hello(QStringLiteral("first"))); // the session ticket comes meanwhile
    TlsPeer again;
    QVERIFY(again.open(m_server.port(), false, first.session()));
    QVERIFY(again.isResumed());
    QVERIFY(again.hello(QStringLiteral("again")));
}

void tst_VoiceServerTls::idleConnectionsHoldNoRecordBuffers()
{
#if defined(__SANITIZE_THREAD__)
    QSKIP("a thread-checked server's memory says nothing about a connection's");
#endif
    // OpenSSL 3.0 holds some 16 KiB for a connection of its own; keeping a record buffer would
    // add about 19 KiB more. An idle connection may hold 24 KiB more than one in clear.
    constexpr int Clients = 500;
    constexpr long BoundKiB = Clients * 24;
    VoiceServerProcess secure;
    VoiceServerProcess clear{{QStringLiteral("--no-tls")}};
    QVERIFY2(secure.start(), qPrintable(secure.log()));
    QVERIFY2(clear.start(), qPrintable(clear.log()));
    // Pages the first connections touch once (code, OpenSSL's tables) are not per connection.
    TlsPeer warmSecure;
    RawPeer warmClear;
    QVERIFY(warmSecure.open(secure.port()) && warmSecure.hello(QStringLiteral("warm")));
    QVERIFY(warmClear.open(clear.port(), false) && warmClear.hello(QStringLiteral("warm")));
    QTest::qWait(1200); // the server hands freed memory back once a second
    const long secureBefore = processUse(secure.processId()).rssKiB;
    const long clearBefore = processUse(clear.processId()).rssKiB;

    std::vector<std::unique_ptr<TlsPeer>> secures;
    std::vector<std::unique_ptr<RawPeer>> clears;
    for (int i = 0; i < Clients; ++i) {
        secures.push_back(std::make_unique<TlsPeer>());
        QVERIFY(secures.back()->open(secure.port()));
        QVERIFY(secures.back()->hello(QStringLiteral("idle%1").arg(i)));
        clears.push_back(std::make_unique<RawPeer>());
        QVERIFY(clears.back()->open(clear.port(), false));
        QVERIFY(clears.back()->hello(QStringLiteral("idle%1").arg(i)));
    }
    QTest::qWait(1200);
    const long secureGrowth = processUse(secure.processId()).rssKiB - secureBefore;
    const long clearGrowth = processUse(clear.processId()).rssKiB - clearBefore;
    qInfo("%d idle clients: %ld KiB over TLS, %ld KiB in clear", Clients, secureGrowth,
          clearGrowth);
    QVERIFY2(secureGrowth < clearGrowth + BoundKiB,
             qPrintable(QStringLiteral("%1 KiB over TLS against %2 KiB in clear")
                            .arg(secureGrowth)
                            .arg(clearGrowth)));
}

QTEST_GUILESS_MAIN(tst_VoiceServerTls)
#include "tst_voiceserver_tls.moc"
