// SPDX-License-Identifier: MIT
// Two voice-cli users on one server: a channel, moves, channel and private texts, leaving.
#include "audiofiles.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QTemporaryDir>
#include <QTest>

class tst_VoiceCli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void twoUsersMeetInAChannel();
    void twoUsersHearEachOther();
    void unmutingStartsVoiceAtOnce();
    void badInputGetsErrors();
    void endOfInputQuits();

private:
    VoiceServerProcess m_server;
};

void tst_VoiceCli::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
}

void tst_VoiceCli::twoUsersMeetInAChannel()
{
    VoiceCliProcess alice, bob;
    QVERIFY(alice.start());
    QVERIFY(bob.start());
    QVERIFY(alice.connectTo(m_server.port(), "alice"));
    QVERIFY(bob.connectTo(m_server.port(), "bob"));

    const QJsonObject me = alice.command({"whoami"});
    QCOMPARE(me.value("error").toInt(), 0);
    QCOMPARE(me.value("nickname").toString(), QStringLiteral("alice"));
    QCOMPARE(me.value("channelID").toInt(), 1);
    const int aliceId = me.value("clientID").toInt();
    const int bobId = bob.command({"whoami"}).value("clientID").toInt();
    QVERIFY(aliceId != 0 && bobId != 0 && aliceId != bobId);

    // Alice creates a channel; both see it with her as the creator.
    QCOMPARE(alice.command({"createchannel", "meeting room", "", 1}).value("error").toInt(), 0);
    const QJsonObject created = bob.waitForEvent("onNewChannelCreatedEvent");
    QCOMPARE(created.value("invokerID").toInt(), aliceId);
    QCOMPARE(created.value("invokerName").toString(), QStringLiteral("alice"));
    QCOMPARE(created.value("channelName").toString(), QStringLiteral("meeting room"));
    const int room = created.value("channelID").toInt();
    QVERIFY(!alice.waitForEvent("onNewChannelCreatedEvent", is("channelID", room)).isEmpty());
    const QJsonArray channels = bob.command({"channels"}).value("channels").toArray();
    QCOMPARE(channels.size(), 2);

    // Both move in, each seeing the other's move.
    QCOMPARE(alice.command({"move", aliceId, room, ""}).value("error").toInt(), 0);
    QJsonObject moved =
        bob.waitForEvent("onClientMoveEvent", both(is("clientID", aliceId), is("visibility", 1)));
    QCOMPARE(moved.value("oldChannelID").toInt(), 1);
    QCOMPARE(moved.value("newChannelID").toInt(), room);
    QCOMPARE(bob.command({"move", bobId, room, ""}).value("error").toInt(), 0);
    moved =
        alice.waitForEvent("onClientMoveEvent", both(is("clientID", bobId), is("visibility", 1)));
    QCOMPARE(moved.value("newChannelID").toInt(), room);
    QCOMPARE(alice.command({"whoami"}).value("channelID").toInt(), room);

    // Channel text: both get it, the sender included.
    QCOMPARE(bob.command({"sendchannel", "hello room"}).value("error").toInt(), 0);
    for (VoiceCliProcess* user : {&alice, &bob}) {
        const QJsonObject text =
            user->waitForEvent("onTextMessageEvent", is("message", "hello room"));
        QCOMPARE(text.value("targetMode").toInt(), 2);
        QCOMPARE(text.value("fromID").toInt(), bobId);
        QCOMPARE(text.value("fromName").toString(), QStringLiteral("bob"));
    }
    // Private text: the target and the echo.
    QCOMPARE(alice.command({"sendprivate", "just for you", bobId}).value("error").toInt(), 0);
    for (VoiceCliProcess* user : {&bob, &alice}) {
        const QJsonObject text =
            user->waitForEvent("onTextMessageEvent", is("message", "just for you"));
        QCOMPARE(text.value("targetMode").toInt(), 1);
        QCOMPARE(text.value("toID").toInt(), bobId);
        QCOMPARE(text.value("fromID").toInt(), aliceId);
    }
    // A flag.
    QCOMPARE(bob.command({"setflag", 6, 1}).value("error").toInt(), 0);
    const QJsonObject update = alice.waitForEvent("onUpdateClientEvent", is("clientID", bobId));
    QCOMPARE(update.value("outputMuted").toInt(), 1);

    // Deleting the occupied room with force moves both out; Bob sees Alice as the mover.
    QCOMPARE(alice.command({"deletechannel", room, 1}).value("error").toInt(), 0);
    const QJsonObject kicked = bob.waitForEvent("onClientMoveMovedEvent", is("clientID", bobId));
    QCOMPARE(kicked.value("moverID").toInt(), aliceId);
    QCOMPARE(kicked.value("newChannelID").toInt(), 1);
    QVERIFY(!bob.waitForEvent("onDelChannelEvent", is("channelID", room)).isEmpty());

    // Bob leaves with a message.
    QCOMPARE(bob.command({"disconnect", "good night"}).value("error").toInt(), 0);
    const QJsonObject left =
        alice.waitForEvent("onClientMoveEvent", both(is("clientID", bobId), is("visibility", 2)));
    QCOMPARE(left.value("moveMessage").toString(), QStringLiteral("good night"));
    QCOMPARE(left.value("newChannelID").toInt(), 0);
    QVERIFY(!bob.waitForEvent("onConnectStatusChangeEvent", is("newStatus", 0)).isEmpty());
    QVERIFY(bob.quit());
    QVERIFY(alice.quit());
}

void tst_VoiceCli::twoUsersHearEachOther()
{
    // Both in the lobby, each with a file microphone saying a tone of its own and a file speaker.
    QTemporaryDir dir;
    VoiceCliProcess alice, bob;
    QVERIFY(alice.start());
    QVERIFY(bob.start());
    QVERIFY(alice.connectTo(m_server.port(), "alice"));
    QVERIFY(bob.connectTo(m_server.port(), "bob"));
    const int aliceId = alice.command({"whoami"}).value("clientID").toInt();
    const struct
    {
        VoiceCliProcess* user;
        const char* name;
        double hz;
    } users[] = {{&alice, "alice", 1000}, {&bob, "bob", 600}};
    for (const auto& u : users) {
        const QString heard = dir.filePath(QStringLiteral("%1-heard.wav").arg(u.name));
        QCOMPARE(u.user->command({"opendevice", "playback", "virtual", "file:" + heard})
                     .value("error")
                     .toInt(),
                 0);
    }
    for (const auto& u : users) {
        QVector<qint16> said;
        audio::appendBursts(&said, u.hz, 6000, 4);
        const QString file = dir.filePath(QStringLiteral("%1-said.wav").arg(u.name));
        QVERIFY(audio::writeWav(file, said));
        QCOMPARE(u.user->command({"opendevice", "capture", "virtual", "file:" + file})
                     .value("error")
                     .toInt(),
                 0);
    }
    // Bob sees Alice start and stop talking.
    QVERIFY(
        !bob.waitForEvent("onTalkStatusChangeEvent", both(is("clientID", aliceId), is("status", 1)))
             .isEmpty());
    QVERIFY(
        !bob.waitForEvent("onTalkStatusChangeEvent", both(is("clientID", aliceId), is("status", 0)))
             .isEmpty());
    QTest::qWait(300);
    for (const auto& u : users) {
        const QVector<qint16> heard =
            audio::readWav(dir.filePath(QStringLiteral("%1-heard.wav").arg(u.name)));
        const double otherHz = u.hz == 1000 ? 600 : 1000;
        const int start = audio::onset(heard, -30);
        QVERIFY2(start >= 0, u.name);
        QVERIFY2(audio::toneShareDb(heard, otherHz, start + 2400, 9600) > -1, u.name);
        QVERIFY2(audio::toneShareDb(heard, u.hz, start + 2400, 9600) < -20, u.name);
    }
    QVERIFY(alice.quit());
    QVERIFY(bob.quit());
}

// Muted both ways, a client's voice path rests; unmuting the microphone must bring it back at
// once, not at some later look.
void tst_VoiceCli::unmutingStartsVoiceAtOnce()
{
    VoiceCliProcess alice, bob;
    QVERIFY(alice.start());
    QVERIFY(bob.start());
    QVERIFY(alice.connectTo(m_server.port(), "alice"));
    QVERIFY(bob.connectTo(m_server.port(), "bob"));
    const int aliceId = alice.command({"whoami"}).value("clientID").toInt();
    for (const QJsonArray& command : {QJsonArray{"setflag", 5, 1}, QJsonArray{"setflag", 6, 1},
                                      QJsonArray{"opendevice", "capture", "virtual", "tone"},
                                      QJsonArray{"opendevice", "playback", "virtual", "discard"}})
        QCOMPARE(alice.command(command).value("error").toInt(), 0);
    const auto talking = [&](int status, int timeoutMs) {
        return !bob.waitForEvent("onTalkStatusChangeEvent",
                                 both(is("clientID", aliceId), is("status", status)), timeoutMs)
                    .isEmpty();
    };
    QVERIFY(!talking(1, 1500));
    QCOMPARE(alice.command({"setflag", 5, 0}).value("error").toInt(), 0);
    QVERIFY(talking(1, 10000));
    QCOMPARE(alice.command({"setflag", 5, 1}).value("error").toInt(), 0);
    QVERIFY(talking(0, 10000));
    QVERIFY(alice.quit());
    QVERIFY(bob.quit());
}

void tst_VoiceCli::badInputGetsErrors()
{
    VoiceCliProcess cli;
    QVERIFY(cli.start());
    cli.send({});
    QJsonObject line = cli.waitFor(is("result", QJsonValue()));
    QCOMPARE(line.value("error").toInt(), int(0x0600));
    QCOMPARE(cli.command({"fly"}).value("error").toInt(), int(0x0600));
    QCOMPARE(cli.command({"move", "x", "y"}).value("error").toInt(), int(0x0600));
    QCOMPARE(cli.command({"sendchannel", "nobody listens"}).value("error").toInt(), int(0x0700));
    QJsonObject whoami = cli.command({"whoami"});
    QCOMPARE(whoami.value("error").toInt(), int(0x0700));
    QVERIFY(!whoami.value("message").toString().isEmpty());
    // A connection that fails reports 1797.
    QCOMPARE(cli.command({"connect", "127.0.0.1", 1, "nobody"}).value("error").toInt(), 0);
    QCOMPARE(cli.waitForEvent("onConnectStatusChangeEvent", is("newStatus", 0))
                 .value("errorNumber")
                 .toInt(),
             1797);
    QVERIFY(cli.quit());
}

void tst_VoiceCli::endOfInputQuits()
{
    QProcess process;
    process.start(VoiceServerProcess::binary("voice-cli"), QStringList());
    QVERIFY(process.waitForStarted());
    process.write(
        QStringLiteral("[\"connect\",\"127.0.0.1\",%1,\"brief\"]\n").arg(m_server.port()).toUtf8());
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray output = process.readAllStandardOutput();
    QVERIFY(output.contains("\"result\":\"quit\""));
}

QTEST_GUILESS_MAIN(tst_VoiceCli)
#include "tst_voicecli.moc"
