// SPDX-License-Identifier: MIT
// The chat engine on a real voice-server with a voice-cli user, bob, as the other member of the
// room "tolvane_Room": send rules, reception, members, the shared-file list, uploads with
// their notices, downloads with progress, deletes, refused downloads shown in the files pane,
// the case history, and a reconnect. One connection for the run; the cases build on each other.
#include "chat/teamspeak3serverinterface.h"
#include "connectclient.h"
#include "filehelpers.h"
#include "files/filewidget.h"
#include "framedtext.h"
#include "logrecorder.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace MeetingSupport;

namespace {

ChatMessage text(const QString& words)
{
    ChatMessage message;
    message.package.appendText(words);
    return message;
}

QStringList texts(const QList<ChatMessage>& messages)
{
    QStringList result;
    for (const ChatMessage& message : messages)
        result << message.package.content.at(0).toString();
    return result;
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QStringList names(const QJsonArray& files)
{
    QStringList result;
    for (const QJsonValue& file : files)
        result << file.toObject().value(QStringLiteral("file_name")).toString();
    return result;
}

} // namespace

class TestChatEngine : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server{{QStringLiteral("--welcome"), QStringLiteral("Welcome here")}};
    TsSDKClient* m_client = nullptr;
    VoiceCliProcess m_bob;
    int m_bobId = 0;
    int m_annaId = 0;
    quint64 m_room = 0;
    QTemporaryDir m_work;

    bool bobTo(quint64 channel)
    {
        m_bob.command({QStringLiteral("move"), m_bobId, double(channel), QString()});
        return QTest::qWaitFor(
                   [&] { return m_client->channelOfClient(anyID(m_bobId)) == channel; }) &&
               syncWithServer();
    }

    bool bobUploads(const QString& name, const QByteArray& bytes)
    {
        const QString folder = m_work.filePath(QStringLiteral("bob"));
        writeFile(folder + QLatin1Char('/') + name, bytes);
        const int id = m_bob
                           .command({QStringLiteral("upload"), double(m_room), QString(),
                                     QStringLiteral("/tolvane_Room/files/") + name, folder})
                           .value(QStringLiteral("transferID"))
                           .toInt();
        return m_bob
                   .waitForEvent(QStringLiteral("onFileTransferStatusEvent"),
                                 [id](const QJsonObject& e) {
                                     return e.value(QStringLiteral("transferID")).toInt() == id;
                                 })
                   .value(QStringLiteral("status"))
                   .toInt() == ERROR_file_transfer_complete;
    }

    // What bob lists in the room's shared folder.
    QStringList bobLists()
    {
        m_bob.command({QStringLiteral("listfiles"), double(m_room), QString(),
                       QStringLiteral("/tolvane_Room/files")});
        QStringList listed;
        for (;;) {
            const QJsonObject e = m_bob.waitFor([](const QJsonObject& e) {
                const QString event = e.value(QStringLiteral("event")).toString();
                return event == QLatin1String("onFileListEvent") ||
                       event == QLatin1String("onFileListFinishedEvent");
            });
            if (e.isEmpty() || e.value(QStringLiteral("event")) == "onFileListFinishedEvent")
                return listed;
            listed << e.value(QStringLiteral("name")).toString();
        }
    }

private slots:
    void initTestCase()
    {
        LogRecorder::install();
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        m_annaId = m_client->ownClientID();
        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        m_bobId =
            m_bob.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        m_bob.command(
            {QStringLiteral("createchannel"), QStringLiteral("tolvane_Room"), QString(), 1});
        QVERIFY(QTest::qWaitFor([&] { return m_client->channelIdByName("tolvane_Room") != 0; }));
        m_room = m_client->channelIdByName(QStringLiteral("tolvane_Room"));
        m_client->moveToChannel(QStringLiteral("tolvane_Room"), QString());
        QTRY_COMPARE(m_client->currentChannelName(), QStringLiteral("tolvane_Room"));
    }

    void sendRules_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<bool>("bobInRoom");
        QTest::addColumn<bool>("sent");
        QTest::newRow("user alone") << 1 << false << false;
        QTest::newRow("user with bob") << 1 << true << true;
        QTest::newRow("started user alone") << 3 << false << false;
        QTest::newRow("supporter alone") << 2 << false << true;
        // A supporter's engine does not even count the members.
        QTest::newRow("supporter with bob") << 2 << true << true;
    }

    void sendRules()
    {
        QFETCH(int, role);
        QFETCH(bool, bobInRoom);
        QFETCH(bool, sent);
        QVERIFY(bobTo(bobInRoom ? m_room : 1));
        m_client->setRole(role);
        TeamSpeak3ServerInterface engine;
        m_client->setRole(1);
        QCOMPARE(engine.sharedFilesPath(), QStringLiteral("/tolvane_Room/files"));
        QCOMPARE(engine.memberCount(), role == 2 ? 0 : bobInRoom ? 2 : 1);
        LogRecorder::take();
        const QString words = QStringLiteral("rule ") + QTest::currentDataTag();
        m_client->setRole(role);
        engine.sendMessage(text(words));
        m_client->setRole(1);
        // Handled by the server before bob moves on: a text still on its way could find him
        // in the room of the next row.
        QVERIFY(syncWithServer());
        QCOMPARE(LogRecorder::take().filter(QStringLiteral("peerID:")).size(), sent ? 1 : 0);
        if (bobInRoom)
            QCOMPARE(texts(receiveFramed(m_bob, m_bobId)), QStringList{words});
        QVERIFY(engine.history().isEmpty());
    }

    void receptionAndMembers()
    {
        QVERIFY(bobTo(1));
        TeamSpeak3ServerInterface engine;
        QSignalSpy members(&engine, &TeamSpeak3ServerInterface::channelMemberChanged);
        QSignalSpy received(&engine, &TeamSpeak3ServerInterface::newMessage);
        QVERIFY(bobTo(m_room));
        QCOMPARE(members.last().at(0).toInt(), 2);
        ChatMessage hello = text(QStringLiteral("hello anna"));
        hello.info.setSender(QStringLiteral("bob"));
        sendFramed(m_bob, messagesToText({hello}));
        sendFramed(m_bob, QStringLiteral("not a message at all"));
        QTRY_COMPARE(received.size(), 2);
        // Moves in the room set-up bring no system messages: the first message is bob's.
        const auto first = received.at(0).at(0).value<QList<ChatMessage>>();
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.at(0).info.sender(), QStringLiteral("bob"));
        QCOMPARE(first.at(0).package.content, QJsonArray{"hello anna"});
        QVERIFY(received.at(1).at(0).value<QList<ChatMessage>>().isEmpty());
        // A long text is decoded beside the GUI thread, and arrives whole.
        const QString longText(300 * 1024, QLatin1Char('z'));
        LogRecorder::take();
        sendFramed(m_bob, messagesToText({text(longText)}));
        QTRY_COMPARE(received.size(), 3);
        QCOMPARE(texts(received.at(2).at(0).value<QList<ChatMessage>>()), QStringList{longText});
        QCOMPARE(LogRecorder::take().filter(QStringLiteral("on the side")).size(), 1);
        QVERIFY(bobTo(1));
        QCOMPARE(members.last().at(0).toInt(), 1);
        QCOMPARE(engine.memberCount(), 1);
    }

    void fileListFollowsTheServer()
    {
        QVERIFY(bobUploads(QStringLiteral("a.txt"), "12345"));
        TeamSpeak3ServerInterface engine;
        QSignalSpy changed(&engine, &TeamSpeak3ServerInterface::filesChanged);
        QVERIFY(changed.wait());
        const QJsonObject entry = changed.last().at(0).toJsonArray().at(0).toObject();
        QCOMPARE(entry.value(QStringLiteral("file_name")), QStringLiteral("a.txt"));
        QCOMPARE(entry.value(QStringLiteral("file_path")), QStringLiteral("/tolvane_Room/files"));
        QCOMPARE(entry.value(QStringLiteral("file_size")), QStringLiteral("5"));
        QCOMPARE(entry.value(QStringLiteral("incomplete_size")), QStringLiteral("0"));
        QVERIFY(entry.value(QStringLiteral("date_time")).toString().toULongLong() > 0);
        QCOMPARE(entry.value(QStringLiteral("type")), 1);

        // The same list again, and a listing of another folder of the channel: nothing changes.
        // The spy connects after the engine, so it hears each listing's end after the engine.
        QueuedSpy finished(m_client, &TsSDKClient::onFileListFinishedEvent);
        engine.updateCaseFiles();
        m_client->requestFileList(QStringLiteral("/"));
        QVERIFY(finished.waitFor([](const QList<QVariant>& a) { return a.at(0) == "/"; }));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(names(engine.files()), QStringList{"a.txt"});

        QVERIFY(bobUploads(QStringLiteral("a.txt"), "1234567"));
        engine.updateCaseFiles();
        QVERIFY(changed.wait());
        QCOMPARE(changed.size(), 2);
        QCOMPARE(engine.files().at(0).toObject().value(QStringLiteral("file_size")),
                 QStringLiteral("7"));
    }

    void uploadsDownloadsAndDeletes()
    {
        QVERIFY(bobTo(m_room));
        TeamSpeak3ServerInterface engine;
        QSignalSpy transfers(&engine, &TeamSpeak3ServerInterface::transferChanged);
        const QString mine = m_work.filePath(QStringLiteral("anna"));
        const QByteArray report = randomBytes(1024 * 1024);
        QVERIFY(writeFile(mine + "/report.bin", report));
        QVERIFY(writeFile(mine + "/notes.txt", "notes"));
        QVERIFY(writeFile(mine + "/picture.jpg", "not really a picture"));
        LogRecorder::take();

        // Each upload is announced once, by a notice of its own.
        engine.uploadFiles({mine + "/report.bin", mine + "/notes.txt"});
        QStringList notices;
        for (int i = 0; i < 2; ++i) {
            const QList<ChatMessage> got = receiveFramed(m_bob, m_bobId);
            QCOMPARE(got.size(), 1);
            QCOMPARE(got.at(0).type, FileMessage);
            QCOMPARE(got.at(0).package.content.size(), 1);
            const QJsonArray notice = got.at(0).package.content.at(0).toArray();
            QCOMPARE(notice.at(1).toObject().value(QStringLiteral("cmd")),
                     QStringLiteral("upload"));
            notices << notice.at(1).toObject().value(QStringLiteral("name")).toString();
        }
        notices.sort();
        QCOMPARE(notices, (QStringList{"notes.txt", "report.bin"}));
        QTRY_COMPARE(names(engine.files()), (QStringList{"a.txt", "notes.txt", "report.bin"}));
        const auto last = transfers.last().at(0).value<FileTransfer>();
        QCOMPARE(last.state, FileTransfer::Complete);
        QCOMPARE(last.done, last.size);
        // The notice is sent from within the transfer's end, one log level deeper.
        const QStringList log = LogRecorder::take();
        const int end = log.indexOf(QRegularExpression(" *begin onFileTransferStatusEvent.*"));
        QVERIFY(end >= 0);
        const int indent = log.at(end).indexOf(QLatin1Char('b'));
        const int send = log.indexOf(QRegularExpression(" *begin sendMessage.*"), end);
        QCOMPARE(log.at(send).indexOf(QLatin1Char('b')), indent + 4);

        // bob gets the very bytes.
        const QString bobsFolder = m_work.filePath(QStringLiteral("bobgot"));
        QDir().mkpath(bobsFolder);
        m_bob.command({QStringLiteral("download"), double(m_room), QString(),
                       QStringLiteral("/tolvane_Room/files/report.bin"), bobsFolder});
        QCOMPARE(m_bob.waitForEvent(QStringLiteral("onFileTransferStatusEvent"))
                     .value(QStringLiteral("status"))
                     .toInt(),
                 int(ERROR_file_transfer_complete));
        QCOMPARE(readFile(bobsFolder + "/report.bin"), report);

        // A chat picture goes to the data folder without a notice: bob's next text is this one.
        QueuedSpy ends(m_client, &TsSDKClient::onFileTransferStatusEvent);
        transfers.clear();
        engine.uploadChatImages({mine + "/picture.jpg"});
        QVERIFY(ends.wait());
        QCOMPARE(ends.last().at(1).toUInt(), uint(ERROR_file_transfer_complete));
        engine.sendMessage(text(QStringLiteral("after the picture")));
        QCOMPARE(texts(receiveFramed(m_bob, m_bobId)), QStringList{"after the picture"});
        QVERIFY(transfers.isEmpty());

        // bob's upload, downloaded by anna with its progress.
        const QByteArray big = randomBytes(8 * 1024 * 1024);
        QVERIFY(bobUploads(QStringLiteral("big.bin"), big));
        engine.updateCaseFiles();
        QTRY_VERIFY(names(engine.files()).contains("big.bin"));
        const QString saved = m_work.filePath(QStringLiteral("saved"));
        QDir().mkpath(saved);
        engine.downloadFiles({QStringLiteral("big.bin")}, saved);
        QTRY_COMPARE(transfers.last().at(0).value<FileTransfer>().state, FileTransfer::Complete);
        quint64 done = 0;
        for (const QList<QVariant>& change : qAsConst(transfers)) {
            const auto transfer = change.at(0).value<FileTransfer>();
            QCOMPARE(transfer.name, QStringLiteral("big.bin"));
            QVERIFY(!transfer.upload && transfer.done >= done);
            done = transfer.done;
        }
        QCOMPARE(transfers.first().at(0).value<FileTransfer>().state, FileTransfer::Running);
        QCOMPARE(done, quint64(big.size()));
        QCOMPARE(readFile(saved + "/big.bin"), big);
        QCOMPARE(filesBelow(saved), QStringList{"big.bin"});

        // Two deletes leave the list at once and the server's store with it.
        QSignalSpy changed(&engine, &TeamSpeak3ServerInterface::filesChanged);
        QVERIFY(engine.deleteFiles({QStringLiteral("report.bin"), QStringLiteral("notes.txt")}));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(names(changed.at(0).at(0).toJsonArray()), (QStringList{"a.txt", "big.bin"}));
        QTRY_COMPARE(bobLists(), (QStringList{"a.txt", "big.bin"}));
        // A delete by bob shows at the next refresh.
        m_bob.command({QStringLiteral("deletefiles"), double(m_room), QString(),
                       QJsonArray{QStringLiteral("/tolvane_Room/files/big.bin")}});
        QTRY_COMPARE(bobLists(), QStringList{"a.txt"});
        engine.updateCaseFiles();
        QTRY_COMPARE(names(engine.files()), QStringList{"a.txt"});
    }

    void refusedDownloadsAreShown_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("refusedAtOnce");
        QTest::newRow("parent folder") << ".." << true;
        QTest::newRow("climbing path") << "../../escape.txt" << true;
        QTest::newRow("backslashes") << "..\\..\\escape.txt" << true;
        QTest::newRow("control character") << "a\x01.txt" << true;
        QTest::newRow("not on the server") << "missing.txt" << false;
    }

    void refusedDownloadsAreShown()
    {
        QFETCH(QString, name);
        QFETCH(bool, refusedAtOnce);
        TeamSpeak3ServerInterface engine;
        FileWidget pane;
        connect(&pane, &FileWidget::downloadFiles, &engine,
                &TeamSpeak3ServerInterface::downloadFiles);
        connect(&engine, &TeamSpeak3ServerInterface::transferChanged, &pane,
                &FileWidget::updateTransfer);
        QSignalSpy transfers(&engine, &TeamSpeak3ServerInterface::transferChanged);
        // A listing that names the file so, as a hostile server could send it.
        pane.updateFiles({QJsonObject{{"file_name", name}, {"file_size", "10"}}});
        auto* view = pane.findChild<QTreeView*>(QStringLiteral("filesView"));
        view->selectAll();
        const QString outer =
            m_work.filePath(QStringLiteral("outer-%1").arg(QTest::currentDataTag()));
        const QString chosen = outer + QStringLiteral("/a/b");
        QVERIFY(QDir().mkpath(chosen));
        answerNextFileDialog(chosen + "/x.bin");
        pane.findChild<QPushButton*>(QStringLiteral("downloadButton"))->click();
        QTRY_COMPARE(transfers.size() > 0 &&
                         transfers.last().at(0).value<FileTransfer>().state == FileTransfer::Failed,
                     true);
        const auto failed = transfers.last().at(0).value<FileTransfer>();
        QCOMPARE(failed.id == 0, refusedAtOnce);
        QVERIFY(!failed.error.isEmpty());
        auto* status = pane.findChild<QLabel*>(QStringLiteral("transferStatusLabel"));
        QVERIFY(!status->isHidden());
        QCOMPARE(status->text(),
                 QStringLiteral("Download of \"%1\" failed: %2").arg(name, failed.error));
        // Nothing was written, in the chosen folder or above it.
        QCOMPARE(filesBelow(outer), QStringList());
    }

    void devicesToggle_data()
    {
        QTest::addColumn<int>("flag");
        QTest::newRow("microphone") << 5;
        QTest::newRow("speakers") << 6;
    }

    void devicesToggle()
    {
        QFETCH(int, flag);
        TeamSpeak3ServerInterface engine;
        TsSDKInterface* sdk = m_client->sdk();
        QVERIFY(sdk->getClientSelfVariableAsInt(flag)); // a user starts muted
        engine.enableDevice(flag);
        QVERIFY(!sdk->getClientSelfVariableAsInt(flag));
        QVERIFY(sdk->getClientSelfVariableAsInt(flag == 5 ? 6 : 5));
        engine.enableDevice(flag);
        QVERIFY(sdk->getClientSelfVariableAsInt(flag));
    }

    void makeInfoByRole_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("receiver");
        QTest::newRow("user") << 1 << "anna"
                              << "case9";
        QTest::newRow("started user") << 3 << "anna"
                                      << "case9";
        QTest::newRow("supporter") << 2 << "case9"
                                   << "bob";
        QTest::newRow("other role") << 7 << ""
                                    << "";
    }

    void makeInfoByRole()
    {
        QFETCH(int, role);
        QFETCH(QString, sender);
        QFETCH(QString, receiver);
        m_client->setRole(role);
        const MessageInfo info = TeamSpeak3ServerInterface("case9", "bob").makeInfo();
        m_client->setRole(1);
        QCOMPARE(info.sender(), sender);
        QCOMPARE(info.receiver(), receiver);
        QCOMPARE(info.contains(QStringLiteral("sender")), role != 7);
        QVERIFY(qAbs(info.time().msecsTo(QDateTime::currentDateTimeUtc())) < 60000);
    }

    void caseHistoryRoundTrip()
    {
        const QString cache = TeamSpeak3ServerInterface::messageCacheDirectory();
        QVERIFY(QFileInfo(cache + "/images").isDir());
        QFile::remove(cache + "/case1.json");
        QVERIFY(bobTo(1));
        auto engine = std::make_unique<TeamSpeak3ServerInterface>("case1", "bob");
        QCOMPARE(engine->sharedFilesPath(), QStringLiteral("/case1/files"));
        LogRecorder::take();
        engine->sendMessage(text(QStringLiteral("held")));
        QCOMPARE(LogRecorder::take().filter(QStringLiteral("begin leaving { ")).size(), 1);
        QVERIFY(bobTo(m_room));
        QCOMPARE(engine->memberCount(), 2);
        engine->sendMessage(text(QStringLiteral("sent")));
        // Privately to the peer, and the held message never went.
        int mode = 0;
        QCOMPARE(texts(receiveFramed(m_bob, m_bobId, &mode)), QStringList{"sent"});
        QCOMPARE(mode, int(TextMessageTarget_CLIENT));
        QSignalSpy received(engine.get(), &TeamSpeak3ServerInterface::newMessage);
        sendFramed(m_bob, messagesToText({text(QStringLiteral("reply"))}), m_annaId);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(texts(engine->history()), (QStringList{"held", "sent", "reply"}));

        engine.reset();
        QCOMPARE(texts(parseMessages(readFile(cache + "/case1.json"))),
                 (QStringList{"held", "sent", "reply"}));
        const QString stored =
            m_server.dataDirectory() +
            QStringLiteral("/files/channel_%1/case1/data/case1.json").arg(m_room);
        QTRY_COMPARE(readFile(stored), readFile(cache + "/case1.json"));
        QCOMPARE(texts(TeamSpeak3ServerInterface("case1", "bob").history()),
                 (QStringList{"held", "sent", "reply"}));
        QFile::remove(cache + "/case1.json");
        QFile::remove(cache + "/case9.json");
    }

    // However large its messages, a history holds a bounded amount: the oldest go first.
    void historyIsBounded()
    {
        const QString file = TeamSpeak3ServerInterface::messageCacheDirectory() + "/case8.json";
        QList<ChatMessage> large;
        for (const char* word : {"first", "second", "third"})
            large << text(QLatin1String(word) + QString(17 << 20, QLatin1Char('x')));
        QVERIFY(writeFile(file, serializeMessages(large)));
        large.clear();
        m_client->setRole(2); // keeps the history from being uploaded at the end
        const QList<ChatMessage> kept = TeamSpeak3ServerInterface("case8", "bob").history();
        m_client->setRole(1);
        QCOMPARE(kept.size(), 2);
        QVERIFY(texts(kept).first().startsWith(QLatin1String("second")));
        QFile::remove(file);
    }

    // A history that could not be read is never replaced by a session's messages: it is kept
    // under a name of its own beside the new one.
    void unreadHistoryIsKept_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("size");
        QTest::newRow("too large") << QByteArray() << qint64(maxMessageDocumentBytes) + 1;
        QTest::newRow("not messages") << QByteArray("{\"result\": [broken") << qint64(0);
    }
    void unreadHistoryIsKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, size);
        const QDir cache(TeamSpeak3ServerInterface::messageCacheDirectory());
        const QString file = cache.filePath(QStringLiteral("case7.json"));
        QVERIFY(writeFile(file, content));
        if (size > 0)
            QVERIFY(QFile(file).resize(size)); // sparse: costs no disk
        const qint64 original = QFileInfo(file).size();
        {
            TeamSpeak3ServerInterface engine("case7", "bob");
            QVERIFY(engine.history().isEmpty());
            engine.sendMessage(text(QStringLiteral("new")));
        }
        const QStringList aside =
            cache.entryList({QStringLiteral("case7.json.*.unread")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(QFileInfo(cache.filePath(aside.first())).size(), original);
        if (!content.isEmpty())
            QCOMPARE(readFile(cache.filePath(aside.first())), content);
        QCOMPARE(texts(parseMessages(readFile(file))), QStringList{"new"});
        QVERIFY(QFile::remove(file));
        QVERIFY(QFile::remove(cache.filePath(aside.first())));
    }

    void reconnectBringsTheWelcome()
    {
        TeamSpeak3ServerInterface engine;
        QSignalSpy started(&engine, &TeamSpeak3ServerInterface::started);
        QSignalSpy statuses(&engine, &TeamSpeak3ServerInterface::connectStatusChanged);
        QSignalSpy received(&engine, &TeamSpeak3ServerInterface::newMessage);
        QVERIFY(m_server.restart());
        QTRY_VERIFY(!statuses.isEmpty() && statuses.last().at(0) == 0);
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        QVERIFY(syncWithServer());
        QCOMPARE(started.size(), 1);
        QCOMPARE(received.size(), 1);
        const auto messages = received.at(0).at(0).value<QList<ChatMessage>>();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).type, SystemMessage);
        QCOMPARE(messages.at(0).package.content, QJsonArray{"Welcome here"});
        QCOMPARE(statuses.last().at(0).toInt(), 4);
    }
};

QTEST_MAIN(TestChatEngine)
#include "tst_chatengine.moc"
