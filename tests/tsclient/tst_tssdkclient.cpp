// SPDX-License-Identifier: MIT
// The voice client in this process against a real voice-server, with voice-cli processes as the
// other users. The client is a process-wide singleton, so the cases run in order on one
// connection.
#include "queuedspy.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QDir>
#include <QTcpServer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

QStringList logLines;
QtMessageHandler previousHandler = nullptr;

void recordLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    logLines << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

QJsonObject whoami(VoiceCliProcess& cli)
{
    return cli.command({QStringLiteral("whoami")});
}

QStringList texts(VoiceCliProcess& cli, int count)
{
    QStringList got;
    for (int i = 0; i < count; ++i) {
        const QJsonObject line = cli.waitForEvent(QStringLiteral("onTextMessageEvent"));
        if (line.isEmpty())
            break;
        got << line.value(QStringLiteral("message")).toString();
    }
    return got;
}

} // namespace

class TestTsSDKClient : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server{
        {QStringLiteral("--welcome"), QStringLiteral("Welcome to the test server")}};
    TsSDKClient* m_client = nullptr;
    std::unique_ptr<QueuedSpy> m_status;
    std::unique_ptr<QueuedSpy> m_texts;
    std::unique_ptr<QueuedSpy> m_moves;
    VoiceCliProcess m_bob;
    VoiceCliProcess m_carol;

    TsParameters params(quint16 port) const
    {
        TsParameters p;
        p.setNickname(QStringLiteral("anna"));
        p.setIp(QStringLiteral("127.0.0.1"));
        p.setPort(port);
        p.setServerPwd(QStringLiteral("mossel"));
        return p;
    }

    QList<int> statuses() const
    {
        QList<int> list;
        for (const auto& args : *m_status)
            list << args.at(0).toInt();
        return list;
    }

    // Sends messages from cli in order, each a private text to target or a channel text.
    static void sendRaw(VoiceCliProcess& cli, const QStringList& messages, int privateTarget = 0)
    {
        for (const QString& message : messages) {
            if (privateTarget)
                cli.command({QStringLiteral("sendprivate"), message, privateTarget});
            else
                cli.command({QStringLiteral("sendchannel"), message});
        }
    }

    // The next text this client delivers, as (sender, text); empty sender after a timeout.
    QPair<QString, QString> nextText(int timeout = 10000)
    {
        if (m_texts->isEmpty() && !m_texts->wait(timeout))
            return {};
        const QList<QVariant> args = m_texts->takeFirst();
        return {args.at(0).toString(), args.at(1).toString()};
    }

private slots:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(recordLog);
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        QFile::remove(QStringLiteral("identity.txt"));
        m_client = TsSDKClient::instance();
        QVERIFY(m_client->sdk()->handlerId() != 0);
        m_status = std::make_unique<QueuedSpy>(m_client, &TsSDKClient::onConnectStatusChanged);
        m_texts = std::make_unique<QueuedSpy>(m_client, &TsSDKClient::onReceiveTextMessage);
        m_moves = std::make_unique<QueuedSpy>(m_client, &TsSDKClient::onClientMoveEvent);
        QCOMPARE(m_client->role(), 2);
        QCOMPARE(m_client->ownClientID(), anyID(0));
        QVERIFY(!m_client->isConnected());
    }

    void identityIsCreatedThenReused()
    {
        QFile file(QStringLiteral("identity.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stored = file.readAll();
        file.close();
        QVERIFY(!stored.isEmpty());
        QVERIFY(!stored.contains('\n'));
        QCOMPARE(QByteArray(TsSDKInterface::identity()), stored);

        // A second start reads the same identity back.
        QCOMPARE(TsSDKInterface::loadIdentity(), unsigned(ERROR_ok));
        QCOMPARE(QByteArray(TsSDKInterface::identity()), stored);

        // Only the first 1023 characters of an overlong line are used.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(1500, 'k'));
        file.close();
        QCOMPARE(TsSDKInterface::readIdentity(), 0);
        QCOMPARE(QByteArray(TsSDKInterface::identity()), QByteArray(1023, 'k'));

        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(stored);
        file.close();
        QCOMPARE(TsSDKInterface::loadIdentity(), unsigned(ERROR_ok));
        QCOMPARE(QByteArray(TsSDKInterface::identity()), stored);
    }

    void noServerGivesStatusZeroWith1797()
    {
        quint16 deadPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            deadPort = probe.serverPort();
        }
        logLines.clear();
        QCOMPARE(m_client->connectToServer(params(deadPort)), 0);
        QCOMPARE(m_client->role(), 1);
        QVERIFY(m_status->waitFor([](const QList<QVariant>& a) { return a.at(0).toInt() == 0; },
                                  10000));
        QCOMPARE(m_status->last().at(1).toString(), QString());
        QVERIFY(!statuses().contains(2));
        QVERIFY(logLines.contains(QStringLiteral("Looks like there is no server running.")));
        QCOMPARE(m_client->ownClientID(), anyID(0));
    }

    void statusSequenceOnConnect()
    {
        m_status->clear();
        QCOMPARE(m_client->connectToServer(params(m_server.port())), 0);
        m_client->setRole(3);
        QVERIFY(m_status->waitFor([](const QList<QVariant>& a) { return a.at(0).toInt() == 4; },
                                  10000));
        QCOMPARE(statuses(), (QList<int>{1, 2, 3, 4}));
        QCOMPARE(m_status->at(1).at(1).toString(), QStringLiteral("Welcome to the test server"));
        QCOMPARE(m_status->at(3).at(1).toString(), QString());
        QVERIFY(m_client->isConnected());
        QVERIFY(m_client->ownClientID() != 0);
        QCOMPARE(m_client->nickname(), QStringLiteral("anna"));
        QCOMPARE(m_client->currentChannelName(), QStringLiteral("Default Channel"));
        QCOMPARE(m_client->channelOfClient(m_client->ownClientID()), quint64(1));

        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        QVERIFY(m_carol.start());
        QVERIFY(m_carol.connectTo(m_server.port(), QStringLiteral("carol")));
        QVERIFY(m_moves->waitFor(
            [](const QList<QVariant>& a) { return a.at(0).toString() == QLatin1String("carol"); },
            10000));
    }

    void listQueries()
    {
        const QMap<anyID, QString> clients = m_client->clientList();
        QCOMPARE(clients.size(), 3);
        const anyID bob = anyID(whoami(m_bob).value(QStringLiteral("clientID")).toInt());
        const anyID carol = anyID(whoami(m_carol).value(QStringLiteral("clientID")).toInt());
        QCOMPARE(clients.value(m_client->ownClientID()), QStringLiteral("anna"));
        QCOMPARE(clients.value(bob), QStringLiteral("bob"));
        QCOMPARE(clients.value(carol), QStringLiteral("carol"));
        QVERIFY(clients.firstKey() < clients.lastKey());

        anyID found = 0;
        QCOMPARE(m_client->sdk()->getClientIdByName(QStringLiteral("bob"), &found),
                 unsigned(ERROR_ok));
        QCOMPARE(found, bob);
        found = 0;
        QCOMPARE(m_client->sdk()->getClientIdByName(QStringLiteral("nobody"), &found), 518u);
        QCOMPARE(found, anyID(0));

        const QMap<quint64, QString> channels = m_client->channelList();
        QCOMPARE(channels.value(1), QStringLiteral("Default Channel"));
        QCOMPARE(m_client->channelIdByName(QStringLiteral("Default Channel")), quint64(1));
        QCOMPARE(m_client->channelIdByName(QStringLiteral("default channel")), quint64(0));
        QCOMPARE(m_client->channelClientList(1).size(), 3);
        QVERIFY(m_client->channelClientList(999).isEmpty());
    }

    void framedTextArrivesAsSdkMessages()
    {
        // Role 3: a text for a client goes privately.
        const QString text = QString(2500, QLatin1Char('q'));
        QVERIFY(TsSDKClient::sendTextMessageTo(QStringLiteral("bob"), text));
        const QStringList got = texts(m_bob, 5);
        QCOMPARE(got.size(), 5);
        QCOMPARE(got.at(0), QStringLiteral("_sms_begin{"));
        QCOMPARE(got.at(1).size(), 1024);
        QCOMPARE(got.at(2).size(), 1024);
        QCOMPARE(got.at(3).size(), 452);
        QCOMPARE(got.at(4), QStringLiteral("}_sms_end"));
        QCOMPARE(got.mid(1, 3).join(QString()), text);

        // An empty text is the two markers alone.
        QVERIFY(TsSDKClient::sendTextMessageTo(QStringLiteral("bob"), QString()));
        QCOMPARE(texts(m_bob, 2), (QStringList{"_sms_begin{", "}_sms_end"}));
        const QJsonObject last = m_bob.lines().last();
        QCOMPARE(last.value(QStringLiteral("targetMode")).toInt(), 1);

        // Role 2, or no receiver, sends to the own channel: carol sees it too.
        m_client->setRole(2);
        QVERIFY(TsSDKClient::sendTextMessageTo(QStringLiteral("bob"), QStringLiteral("to all")));
        m_client->setRole(3);
        QCOMPARE(texts(m_carol, 3), (QStringList{"_sms_begin{", "to all", "}_sms_end"}));
        QCOMPARE(m_carol.lines().last().value(QStringLiteral("targetMode")).toInt(), 2);
        QCOMPARE(texts(m_bob, 3).value(1), QStringLiteral("to all"));

        QVERIFY(TsSDKClient::sendTextMessageTo(QString(), QStringLiteral("nameless")));
        QCOMPARE(texts(m_carol, 3).value(1), QStringLiteral("nameless"));
        QCOMPARE(texts(m_bob, 3).value(1), QStringLiteral("nameless"));
        // Our own channel echoes were not delivered back to us.
        QVERIFY(m_texts->isEmpty());
    }

    void reassemblesTextsFromOthers()
    {
        const int anna = m_client->ownClientID();
        m_texts->clear();
        sendRaw(m_bob,
                {QStringLiteral("_sms_begin{"), QStringLiteral("ab"), QStringLiteral("cd"),
                 QStringLiteral("}_sms_end")},
                anna);
        QCOMPARE(nextText(), qMakePair(QStringLiteral("bob"), QStringLiteral("abcd")));

        // Two senders interleaved in the channel.
        sendRaw(m_bob, {QStringLiteral("_sms_begin{")});
        sendRaw(m_carol, {QStringLiteral("_sms_begin{")});
        sendRaw(m_bob, {QStringLiteral("bob-1 ")});
        sendRaw(m_carol, {QStringLiteral("carol-1 ")});
        sendRaw(m_bob, {QStringLiteral("bob-2")});
        sendRaw(m_carol, {QStringLiteral("carol-2")});
        sendRaw(m_carol, {QStringLiteral("}_sms_end")});
        sendRaw(m_bob, {QStringLiteral("}_sms_end")});
        QCOMPARE(nextText(), qMakePair(QStringLiteral("carol"), QStringLiteral("carol-1 carol-2")));
        QCOMPARE(nextText(), qMakePair(QStringLiteral("bob"), QStringLiteral("bob-1 bob-2")));

        // A stray end marker, and a text bob sends privately to carol, reach us as nothing;
        // the next real text is the next thing we see.
        sendRaw(m_bob, {QStringLiteral("}_sms_end")});
        const int carol = whoami(m_carol).value(QStringLiteral("clientID")).toInt();
        sendRaw(
            m_bob,
            {QStringLiteral("_sms_begin{"), QStringLiteral("secret"), QStringLiteral("}_sms_end")},
            carol);
        QVERIFY(!m_carol
                     .waitForEvent(QStringLiteral("onTextMessageEvent"),
                                   [](const QJsonObject& e) {
                                       return e.value(QStringLiteral("message")) ==
                                                  QStringLiteral("secret") &&
                                              e.value(QStringLiteral("targetMode")).toInt() == 1;
                                   })
                     .isEmpty());
        sendRaw(m_bob, {QStringLiteral("_sms_begin{"), QStringLiteral("after"),
                        QStringLiteral("}_sms_end")});
        QCOMPARE(nextText(), qMakePair(QStringLiteral("bob"), QStringLiteral("after")));
        QVERIFY(m_texts->isEmpty());
    }

    void muteFlagsAreAnnounced()
    {
        TsSDKInterface* sdk = m_client->sdk();
        QueuedSpy updates(m_client, &TsSDKClient::onUpdateClientEvent);
        QVERIFY(!sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        QCOMPARE(sdk->setClientSelfVariableAsInt(CLIENT_INPUT_MUTED, 1), unsigned(ERROR_ok));
        QVERIFY(sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        const int anna = m_client->ownClientID();
        QVERIFY(!m_bob
                     .waitForEvent(QStringLiteral("onUpdateClientEvent"),
                                   [anna](const QJsonObject& e) {
                                       return e.value(QStringLiteral("clientID")).toInt() == anna;
                                   })
                     .isEmpty());
        QVERIFY(updates.waitFor(
            [](const QList<QVariant>& a) { return a.at(0) == QStringLiteral("anna"); }, 10000));
        QCOMPARE(sdk->setClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED, 1), unsigned(ERROR_ok));
        QVERIFY(sdk->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED));
        QCOMPARE(sdk->setClientSelfVariableAsInt(CLIENT_INPUT_MUTED, 0), unsigned(ERROR_ok));
        QVERIFY(!sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        // A flag the client may not set is refused and reported.
        QVERIFY(sdk->setClientSelfVariableAsInt(CLIENT_NICKNAME, 1) != ERROR_ok);
    }

    void createdChannelMovesItsCreator()
    {
        QueuedSpy created(m_client, &TsSDKClient::onNewChannelCreatedEvent);
        m_moves->clear();
        QCOMPARE(m_client->sdk()->createChannel(QStringLiteral("tolvane_room"), QString()),
                 unsigned(ERROR_ok));
        QVERIFY(created.wait(10000));
        const quint64 room = created.at(0).at(0).toULongLong();
        QCOMPARE(created.at(0).at(1).toULongLong(), quint64(0));
        QVERIFY(m_moves->waitFor(
            [](const QList<QVariant>& a) {
                return a.at(0).toString() == QLatin1String("anna") && a.at(1).toBool();
            },
            10000));
        QCOMPARE(m_client->channelOfClient(m_client->ownClientID()), room);
        QCOMPARE(m_client->currentChannelName(), QStringLiteral("tolvane_room"));
        QCOMPARE(m_client->channelIdByName(QStringLiteral("tolvane_room")), room);

        // Bob follows; he appears to us as logging into our channel.
        m_moves->clear();
        QCOMPARE(m_client->moveToChannel(QStringLiteral("tolvane_room"), QString()),
                 0); // already there
        QCOMPARE(m_client->moveToChannel(QStringLiteral("no such channel"), QString()), 0);
        const int bob = whoami(m_bob).value(QStringLiteral("clientID")).toInt();
        QCOMPARE(m_bob.command({QStringLiteral("move"), bob, double(room), QString()})
                     .value(QStringLiteral("error"))
                     .toInt(),
                 0);
        QVERIFY(m_moves->waitFor(
            [](const QList<QVariant>& a) {
                return a.at(0).toString() == QLatin1String("bob") && a.at(1).toBool();
            },
            10000));
        QCOMPARE(m_client->channelClientList(room).size(), 2);
    }

    void passwordChannel()
    {
        QueuedSpy created(m_client, &TsSDKClient::onNewChannelCreatedEvent);
        QCOMPARE(
            m_client->sdk()->createChannel(QStringLiteral("tolvane_locked"), QStringLiteral("pw")),
            unsigned(ERROR_ok));
        QVERIFY(created.wait(10000));
        const quint64 locked = created.at(0).at(0).toULongLong();
        // Carol needs the password.
        const int carol = whoami(m_carol).value(QStringLiteral("clientID")).toInt();
        m_carol.command({QStringLiteral("move"), carol, double(locked), QString()});
        QVERIFY(!m_carol.waitForEvent(QStringLiteral("onServerErrorEvent")).isEmpty());
        QCOMPARE(
            m_carol.command({QStringLiteral("move"), carol, double(locked), QStringLiteral("pw")})
                .value(QStringLiteral("error"))
                .toInt(),
            0);
        QVERIFY(!m_carol
                     .waitForEvent(QStringLiteral("onClientMoveEvent"),
                                   [carol, locked](const QJsonObject& e) {
                                       return e.value(QStringLiteral("clientID")).toInt() ==
                                                  carol &&
                                              e.value(QStringLiteral("newChannelID")).toDouble() ==
                                                  double(locked);
                                   })
                     .isEmpty());
    }

    void deleteChannelCases()
    {
        QueuedSpy deleted(m_client, &TsSDKClient::onDelChannelEvent);
        QueuedSpy moved(m_client, &TsSDKClient::onClientMoveMovedEvent);
        QVERIFY(!m_client->deleteChannel(QStringLiteral("no such channel")));

        // Another channel, with carol in it, by name.
        const quint64 locked = m_client->channelIdByName(QStringLiteral("tolvane_locked"));
        QVERIFY(locked != 0);
        QVERIFY(m_client->deleteChannel(QStringLiteral("tolvane_locked")));
        QVERIFY(deleted.waitFor(
            [locked](const QList<QVariant>& a) { return a.at(0).toULongLong() == locked; }, 10000));
        QVERIFY(moved.waitFor(
            [](const QList<QVariant>& a) {
                return !a.at(0).toBool() && a.at(1) == QStringLiteral("tolvane_locked") &&
                       a.at(2) == QStringLiteral("Default Channel") && a.at(3).toBool() &&
                       a.at(4) == QStringLiteral("anna");
            },
            10000));

        // The own channel: we move ourselves out, and bob sees himself moved by us.
        moved.clear();
        m_moves->clear();
        QVERIFY(m_client->deleteChannel(QStringLiteral("tolvane_room")));
        QVERIFY(m_moves->waitFor(
            [](const QList<QVariant>& a) {
                return a.at(0) == QStringLiteral("anna") && a.at(1).toBool();
            },
            10000));
        QVERIFY(moved.waitFor(
            [](const QList<QVariant>& a) {
                return !a.at(0).toBool() && a.at(1) == QStringLiteral("tolvane_room") &&
                       a.at(3).toBool();
            },
            10000));
        const int anna = m_client->ownClientID();
        QVERIFY(!m_bob
                     .waitForEvent(QStringLiteral("onClientMoveMovedEvent"),
                                   [anna](const QJsonObject& e) {
                                       return e.value(QStringLiteral("moverID")).toInt() == anna;
                                   })
                     .isEmpty());
        QTRY_COMPARE(m_client->channelOfClient(m_client->ownClientID()), quint64(1));
        QCOMPARE(m_client->channelIdByName(QStringLiteral("tolvane_room")), quint64(0));
    }

    void leavingClientKeepsItsName()
    {
        m_moves->clear();
        m_bob.command({QStringLiteral("disconnect"), QStringLiteral("bye")});
        QVERIFY(m_moves->waitFor(
            [](const QList<QVariant>& a) {
                return a.at(0).toString() == QLatin1String("bob") && !a.at(1).toBool() &&
                       a.at(2).toInt() == LEAVE_VISIBILITY;
            },
            10000));
        QCOMPARE(m_client->clientList().size(), 2);
        anyID found = 0;
        QCOMPARE(m_client->sdk()->getClientIdByName(QStringLiteral("bob"), &found), 518u);
    }

    void lostServerGivesStatusZeroAndKeepsTheId()
    {
        const anyID own = m_client->ownClientID();
        m_status->clear();
        QVERIFY(m_server.stop());
        QVERIFY(m_status->waitFor([](const QList<QVariant>& a) { return a.at(0).toInt() == 0; },
                                  10000));
        QVERIFY(!m_client->isConnected());
        QCOMPARE(m_client->ownClientID(), own);

        QVERIFY(m_server.start());
        m_status->clear();
        QCOMPARE(m_client->connectToServer(params(m_server.port())), 0);
        QVERIFY(m_status->waitFor([](const QList<QVariant>& a) { return a.at(0).toInt() == 4; },
                                  10000));
        QVERIFY(m_client->isConnected());

        QCOMPARE(m_client->disconnectFromServer(), 0);
        QCOMPARE(m_client->ownClientID(), anyID(0));
        QVERIFY(m_status->waitFor([](const QList<QVariant>& a) { return a.at(0).toInt() == 0; },
                                  10000));
    }

    void soundOperations()
    {
        TsSDKInterface* sdk = m_client->sdk();
        const uint64 handler = sdk->handlerId();
        // The defaults opened at start-up are what the client reports as current.
        QVERIFY(!m_client->currentCaptureMode().isEmpty());
        QVERIFY(!m_client->currentCaptureDeviceName().isEmpty());
        QVERIFY(!m_client->currentPlaybackMode().isEmpty());

        const QStringList modes = m_client->captureModeList();
        QVERIFY(modes.contains(QStringLiteral("virtual")));
        QVERIFY(m_client->playbackModeList().contains(QStringLiteral("virtual")));
        const QList<SoundDevice> devices = m_client->captureDeviceList(QStringLiteral("virtual"));
        QVERIFY(!devices.isEmpty());
        for (const SoundDevice& device : devices) {
            QCOMPARE(device.mode(), QStringLiteral("virtual"));
            QVERIFY(device.isUsable());
        }
        QVERIFY(m_client->captureDeviceList(QStringLiteral("no such mode")).isEmpty());

        // Opening a device switches what is current; one without a name is not opened at all.
        SoundDevice tone;
        tone.setMode(QStringLiteral("virtual"));
        tone.setId(QStringLiteral("tone"));
        tone.setName(QStringLiteral("Tone"));
        QCOMPARE(sdk->openCaptureDevice(tone), unsigned(ERROR_ok));
        QCOMPARE(m_client->currentCaptureDeviceName(), QStringLiteral("tone"));
        SoundDevice nameless = tone;
        nameless.setId(QStringLiteral("silence"));
        nameless.setName(QString());
        QCOMPARE(sdk->openCaptureDevice(nameless), unsigned(ERROR_ok));
        QCOMPARE(m_client->currentCaptureDeviceName(), QStringLiteral("tone"));
        SoundDevice missing = tone;
        missing.setId(QStringLiteral("no such device"));
        QVERIFY(sdk->openCaptureDevice(missing) != ERROR_ok);

        // Values travel as text with six significant digits.
        QCOMPARE(TsSDKInterface::configNumber(-20.0f), QStringLiteral("-20"));
        QCOMPARE(TsSDKInterface::configNumber(1.25f), QStringLiteral("1.25"));
        QCOMPARE(TsSDKInterface::configNumber(0.123456789f), QStringLiteral("0.123457"));
        sdk->setVadLevel(-20.0f);
        sdk->setVad(true);
        char* value = nullptr;
        QCOMPARE(ts3client_getPreProcessorConfigValue(handler, "voiceactivation_level", &value),
                 unsigned(ERROR_ok));
        QCOMPARE(QByteArray(value), QByteArray("-20"));
        ts3client_freeMemory(value);
        QCOMPARE(ts3client_getPreProcessorConfigValue(handler, "vad", &value), unsigned(ERROR_ok));
        QCOMPARE(QByteArray(value), QByteArray("true"));
        ts3client_freeMemory(value);
        sdk->setVolumeModifier(1.25f);
        sdk->setVolumeFactorWave(0.123456789f);
        float number = 0;
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler, "volume_modifier", &number),
                 unsigned(ERROR_ok));
        QCOMPARE(number, 1.25f);
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler, "volume_factor_wave", &number),
                 unsigned(ERROR_ok));
        QVERIFY(qAbs(number - 0.123457f) < 1e-6f);
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
};

QTEST_MAIN(TestTsSDKClient)
#include "tst_tssdkclient.moc"
