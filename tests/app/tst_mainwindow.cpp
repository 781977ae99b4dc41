// SPDX-License-Identifier: MIT
// The main window against a real voice-server, with voice-cli users inviting and being invited.
#include "chat/attention.h"
#include "chat/chatmessage.h"
#include "connectclient.h"
#include "mainwindow.h"
#include "meeting/meetinglist.h"
#include "meeting/meetingwidget.h"
#include "meeting/supporterlist.h"
#include "queuedspy.h"
#include "tsclient/textframing.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QAccessible>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>

#include <functional>
#include <memory>

using namespace MeetingSupport;

namespace {

// Sends text from cli as one framed text, privately to target (or to the channel when 0).
void sendFramed(VoiceCliProcess& cli, const QString& text, int target)
{
    for (const QString& piece : TextFraming::frame(text)) {
        if (target)
            cli.command({QStringLiteral("sendprivate"), piece, target});
        else
            cli.command({QStringLiteral("sendchannel"), piece});
    }
}

// The next framed text cli receives from someone else, decoded.
QList<ChatMessage> receiveFramed(VoiceCliProcess& cli, int self)
{
    QString text;
    bool inside = false;
    while (true) {
        const QJsonObject e =
            cli.waitForEvent(QStringLiteral("onTextMessageEvent"), [self](const QJsonObject& e) {
                return e.value(QStringLiteral("fromID")).toInt() != self;
            });
        if (e.isEmpty())
            return {};
        const QString message = e.value(QStringLiteral("message")).toString();
        if (message == TextFraming::BeginMarker) {
            inside = true;
            text.clear();
        } else if (message == TextFraming::EndMarker && inside) {
            return messagesFromText(text);
        } else if (inside) {
            text += message;
        }
    }
}

ChatMessage invitation(const QString& sender, const QString& receiver, const QString& channel)
{
    ChatMessage message(MeetingRequest);
    message.info.setSender(sender);
    message.info.setReceiver(receiver);
    message.package.setRequest(QJsonObject{{QStringLiteral("channel_name"), channel}});
    return message;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    VoiceCliProcess m_bob;
    std::unique_ptr<MainWindow> m_window;
    TsSDKClient* m_client = nullptr;
    int m_bobId = 0;

    // Answers question boxes with the given button and records their texts.
    // Every question box is answered, No unless a test says otherwise.
    std::unique_ptr<MessageBoxAnswerer> m_boxes;

    QStackedWidget* stack() const
    {
        return m_window->findChild<QStackedWidget*>(QStringLiteral("stackedWidget"));
    }
    MeetingWidget* meetingView() const
    {
        return qobject_cast<MeetingWidget*>(stack()->currentWidget());
    }

    int clientId(VoiceCliProcess& cli)
    {
        return cli.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
    }

    quint64 ownChannel() const { return m_client->channelOfClient(m_client->ownClientID()); }

    void activate()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    // The keyboard of the window is in the open meeting's message editor, and what the user
    // types lands there.
    void typesIntoTheMeeting(const QString& text)
    {
        QTRY_VERIFY(meetingView());
        auto* editor = meetingView()->findChild<QTextEdit*>(QStringLiteral("msgInputWidget"));
        QTRY_COMPARE(m_window->focusWidget(), editor);
        activate();
        QTest::keyClicks(static_cast<QWidget*>(nullptr), text);
        QCOMPARE(editor->toPlainText(), text);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // Back in the lobby, the keyboard is on the meeting list.
    void focusBackOnTheList()
    {
        QTRY_COMPARE(m_window->focusWidget(),
                     m_window->findChild<MeetingList*>()->findChild<QListView*>());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        m_client->setRole(3);

        m_window = std::make_unique<MainWindow>();
        m_window->show();
        MainWindow::setMuted(true);

        m_boxes = std::make_unique<MessageBoxAnswerer>(QMessageBox::No);
    }

    // What a user or a caller finding widgets by name would notice broken.
    void namesTextsAndIcons()
    {
        QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Meeting"));
        QVERIFY(!m_window->windowIcon().isNull());
        auto* start = m_window->findChild<QToolButton*>(QStringLiteral("toolButtonStartMeeting"));
        QVERIFY(start);
        QCOMPARE(start->toolTip(), QStringLiteral("Start meeting"));
        QVERIFY(!start->icon().isNull());
        auto* settings = m_window->findChild<QToolButton*>(QStringLiteral("toolButtonSetting"));
        QVERIFY(settings);
        // Icon-only buttons are named for a screen reader and explained by a tip.
        for (QToolButton* button : {start, settings}) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
            QVERIFY(accessible);
            QVERIFY(!accessible->text(QAccessible::Name).isEmpty());
            QVERIFY(!button->toolTip().isEmpty());
        }
        QVERIFY(m_window->findChild<SupporterList*>(QStringLiteral("supporterList")));
        QCOMPARE(stack()->currentWidget(),
                 m_window->findChild<MeetingList*>(QStringLiteral("meetingList")));
    }

    void startMeetingAloneDoesNothing()
    {
        QueuedSpy moves(m_client, &TsSDKClient::onClientMoveEvent);
        m_window->findChild<QToolButton*>(QStringLiteral("toolButtonStartMeeting"))->click();
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(ownChannel(), quint64(1));
    }

    void invitationsAddressedElsewhereOrBrokenAreIgnored()
    {
        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        m_bobId = clientId(m_bob);
        QVERIFY(m_bob
                    .command({QStringLiteral("createchannel"), QStringLiteral("tolvane_Team"),
                              QString(), 1})
                    .value(QStringLiteral("error"))
                    .toInt() == 0);
        QTRY_VERIFY(m_client->channelIdByName(QStringLiteral("tolvane_Team")) != 0);
        const int anna = m_client->ownClientID();

        m_boxes->seen.clear();
        // Not for us, an empty channel, an unknown channel, a sender nobody is, too few items.
        ChatMessage shortOne(MeetingRequest);
        shortOne.info.setReceiver(QStringLiteral("anna"));
        shortOne.package.content = QJsonArray{QStringLiteral("request")};
        sendFramed(
            m_bob,
            messagesToText({invitation(QStringLiteral("bob"), QStringLiteral("zed"),
                                       QStringLiteral("tolvane_Team")),
                            invitation(QStringLiteral("bob"), QStringLiteral("anna"), QString()),
                            invitation(QStringLiteral("bob"), QStringLiteral("anna"),
                                       QStringLiteral("tolvane_Nowhere")),
                            invitation(QStringLiteral("mallory"), QStringLiteral("anna"),
                                       QStringLiteral("tolvane_Team")),
                            shortOne}),
            anna);
        // Garbage of every kind on the same way in.
        sendFramed(m_bob, QStringLiteral("not base64 at all!"), anna);
        sendFramed(m_bob,
                   QString::fromLatin1(QByteArray("{\"result\": 5}").toBase64(base64Options)),
                   anna);
        sendFramed(m_bob, QString::fromLatin1(QByteArray("[1,2,3]").toBase64(base64Options)), anna);
        // Then one that counts: only it asks.
        m_boxes->setAnswer(QMessageBox::No);
        sendFramed(m_bob,
                   messagesToText({invitation(QStringLiteral("bob"), QStringLiteral("zed"),
                                              QStringLiteral("tolvane_Team")),
                                   invitation(QStringLiteral("bob"), QStringLiteral("anna"),
                                              QStringLiteral("tolvane_Team"))}),
                   anna);
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->seen.size(), 1, 10000);
        QCOMPARE(
            m_boxes->seen.first(),
            QStringLiteral("Question: \"bob\" invites you to join the \"tolvane_Team\" meeting."));

        // No sends the rejection back, sender and receiver swapped.
        const QList<ChatMessage> reply = receiveFramed(m_bob, m_bobId);
        QCOMPARE(reply.size(), 1);
        QCOMPARE(reply.first().type, MeetingRequest);
        QCOMPARE(reply.first().info.sender(), QStringLiteral("anna"));
        QCOMPARE(reply.first().info.receiver(), QStringLiteral("bob"));
        QCOMPARE(reply.first().package.content,
                 (QJsonArray{QStringLiteral("reply"),
                             QJsonObject{{QStringLiteral("reject"), QStringLiteral(" ")}}}));
        QCOMPARE(ownChannel(), quint64(1));
    }

    void acceptedInvitationOpensTheMeetingAndClosingLeavesIt()
    {
        // bob waits in the meeting he invites to.
        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        m_bob.command({QStringLiteral("move"), m_bobId, double(team), QString()});
        QTRY_COMPARE(m_client->channelOfClient(anyID(m_bobId)), team);
        m_boxes->setAnswer(QMessageBox::Yes);
        m_boxes->seen.clear();
        sendFramed(m_bob,
                   messagesToText({invitation(QStringLiteral("bob"), QStringLiteral("anna"),
                                              QStringLiteral("tolvane_Team"))}),
                   m_client->ownClientID());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->seen.size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), team, 10000);
        // Straight from the invitation to writing: the keyboard is in the editor, and Return
        // sends what was typed.
        typesIntoTheMeeting(QStringLiteral("hi bob"));
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Return);
        const QList<ChatMessage> said = receiveFramed(m_bob, m_bobId);
        QCOMPARE(said.size(), 1);
        QCOMPARE(said.first().package.content, (QJsonArray{QStringLiteral("hi bob")}));
        // The meeting fits the window as it was.
        QCOMPARE(m_window->width(), 849);
        TsSDKInterface* sdk = m_client->sdk();
        QTRY_VERIFY(!sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        QVERIFY(!sdk->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED));

        // A rejection addressed to us shows up as a logged line.
        QSignalSpy logged(m_window.get(), &MainWindow::loggerMessage);
        ChatMessage reject(MeetingRequest);
        reject.info.setSender(QStringLiteral("bob"));
        reject.info.setReceiver(QStringLiteral("anna"));
        reject.package.setReply(QJsonObject{{QStringLiteral("reject"), QStringLiteral(" ")}});
        sendFramed(m_bob, messagesToText({reject}), m_client->ownClientID());
        QTRY_COMPARE_WITH_TIMEOUT(logged.count(), 1, 10000);
        QCOMPARE(logged.first().at(0).toString(),
                 QStringLiteral("\"bob\" rejected your meeting invitation."));
        QCOMPARE(logged.first().at(1).value<QtMsgType>(), QtInfoMsg);

        QPointer<MeetingWidget> view = meetingView();
        view->close();
        QTRY_VERIFY(view.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), quint64(1), 10000);
        QTRY_VERIFY(sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        QVERIFY(sdk->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED));
        QVERIFY(!meetingView());
        focusBackOnTheList();
    }

    void attentionOnlyWhenAway()
    {
        QList<QWidget*> alerted;
        setAttentionHandler([&alerted](QWidget* window) { alerted << window; });
        m_boxes->setAnswer(QMessageBox::No);
        const auto invite = [this] {
            m_boxes->seen.clear();
            sendFramed(m_bob,
                       messagesToText({invitation(QStringLiteral("bob"), QStringLiteral("anna"),
                                                  QStringLiteral("tolvane_Team"))}),
                       m_client->ownClientID());
            QTRY_COMPARE_WITH_TIMEOUT(m_boxes->seen.size(), 1, 10000);
            QCOMPARE(receiveFramed(m_bob, m_bobId).size(), 1); // the rejection
        };

        // In the window: nothing flashes.
        activate();
        invite();
        QVERIFY(alerted.isEmpty());

        // Another window in front: the invitation asks for attention, once.
        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        invite();
        QCOMPARE(alerted, QList<QWidget*>{m_window.get()});
        setAttentionHandler({});
    }

    void startMeetingInvitesIntoTheChosenMeeting()
    {
        // The chooser preselects the first meeting; tick bob and accept.
        onNextDialog([](QDialog* dialog) {
            auto* list = dialog->findChild<QListWidget*>();
            for (int i = 0; i < list->count(); ++i)
                if (list->item(i)->text() == QLatin1String("bob"))
                    list->item(i)->setCheckState(Qt::Checked);
            dialog->accept();
        });
        m_window->findChild<QToolButton*>(QStringLiteral("toolButtonStartMeeting"))->click();

        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), team, 10000);
        const QList<ChatMessage> invite = receiveFramed(m_bob, m_bobId);
        QCOMPARE(invite.size(), 1);
        QCOMPARE(invite.first().info.receiver(), QStringLiteral("bob"));
        QCOMPARE(invite.first().info.sender(), QStringLiteral("anna"));
        QCOMPARE(
            invite.first().package.content,
            (QJsonArray{QStringLiteral("request"), QJsonObject{{QStringLiteral("channel_name"),
                                                                QStringLiteral("tolvane_Team")}}}));
        typesIntoTheMeeting(QStringLiteral("hello"));
        meetingView()->close();
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), quint64(1), 10000);
        focusBackOnTheList();
    }

    // Where bob's client, and so the server, sees anna.
    quint64 annaSeenByBob()
    {
        const QJsonArray clients =
            m_bob.command({QStringLiteral("clients")}).value(QStringLiteral("clients")).toArray();
        for (const QJsonValue& client : clients) {
            if (client[QStringLiteral("clientID")].toInt() == m_client->ownClientID())
                return quint64(client[QStringLiteral("channelID")].toDouble());
        }
        return 0;
    }

    void movingBetweenMeetingsEndsWhereChosen()
    {
        QVERIFY(m_bob
                    .command({QStringLiteral("createchannel"), QStringLiteral("tolvane_Retro"),
                              QString(), 1})
                    .value(QStringLiteral("error"))
                    .toInt() == 0);
        QTRY_VERIFY(m_client->channelIdByName(QStringLiteral("tolvane_Retro")) != 0);
        const quint64 retro = m_client->channelIdByName(QStringLiteral("tolvane_Retro"));
        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        m_bob.command({QStringLiteral("move"), m_bobId, double(retro), QString()});
        QTRY_COMPARE(m_client->channelOfClient(anyID(m_bobId)), retro);
        // A double click on the meeting's tile, alone in it: nothing to write to yet, but the
        // keyboard has left the lobby's buttons, so a space presses nothing.
        auto* tiles = m_window->findChild<MeetingList*>()->findChild<QListView*>();
        const QModelIndexList found =
            tiles->model()->match(tiles->model()->index(0, 0), Qt::DisplayRole,
                                  QStringLiteral("Team"), 1, Qt::MatchContains);
        QCOMPARE(found.size(), 1);
        const QPoint tile = tiles->visualRect(found.first()).center();
        QTest::mouseClick(tiles->viewport(), Qt::LeftButton, {}, tile);
        QTest::mouseDClick(tiles->viewport(), Qt::LeftButton, {}, tile);
        QTRY_VERIFY(meetingView());
        QTRY_COMPARE(annaSeenByBob(), team);
        QTRY_VERIFY(meetingView()->isAncestorOf(m_window->focusWidget()));
        activate();
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Space);
        QVERIFY(!QApplication::activeModalWidget());

        // Accepting an invitation from inside another meeting ends in the new one: the old
        // view's move to the lobby goes out before the move into the new meeting.
        m_boxes->setAnswer(QMessageBox::Yes);
        sendFramed(m_bob,
                   messagesToText({invitation(QStringLiteral("bob"), QStringLiteral("anna"),
                                              QStringLiteral("tolvane_Retro"))}),
                   m_client->ownClientID());
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), retro, 10000);
        QVERIFY(syncWithServer());
        QCOMPARE(ownChannel(), retro);
        QCOMPARE(annaSeenByBob(), retro);
        QTRY_VERIFY(meetingView());
        QPointer<MeetingWidget> view = meetingView();

        // Starting the meeting one is in keeps it, and its view.
        onNextDialog([](QDialog* dialog) {
            auto* chooser = dialog->findChild<QComboBox*>();
            chooser->setCurrentText(QStringLiteral("tolvane_Retro"));
            auto* list = dialog->findChild<QListWidget*>();
            for (int i = 0; i < list->count(); ++i)
                list->item(i)->setCheckState(Qt::Checked);
            dialog->accept();
        });
        m_window->findChild<QToolButton*>(QStringLiteral("toolButtonStartMeeting"))->click();
        const QList<ChatMessage> invite = receiveFramed(m_bob, m_bobId);
        QCOMPARE(invite.size(), 1);
        QVERIFY(syncWithServer());
        QCOMPARE(ownChannel(), retro);
        QCOMPARE(annaSeenByBob(), retro);
        QVERIFY(view);
        QCOMPARE(meetingView(), view.data());

        // Deleting the meeting moves its members out: the view closes and says why.
        m_boxes->setAnswer(QMessageBox::Ok);
        m_boxes->seen.clear();
        QCOMPARE(m_bob.command({QStringLiteral("deletechannel"), double(retro), 1})
                     .value(QStringLiteral("error"))
                     .toInt(),
                 0);
        QTRY_VERIFY(view.isNull());
        QTRY_COMPARE(ownChannel(), quint64(1));
        QCOMPARE(stack()->currentWidget(), m_window->findChild<MeetingList*>());
        QTRY_COMPARE(m_boxes->seen,
                     QStringList{QStringLiteral("Meeting: \"bob\" deleted the meeting \"Retro\"; "
                                                "you are back in the lobby.")});
        QTRY_VERIFY(m_client->sdk()->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
    }

    void startMeetingWithoutMeetingsCreatesAFreeOne()
    {
        // Bob deletes the only meeting; the next free name is the prefix and the count in use.
        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        QCOMPARE(m_bob.command({QStringLiteral("deletechannel"), double(team), 1})
                     .value(QStringLiteral("error"))
                     .toInt(),
                 0);
        QTRY_COMPARE(m_client->channelIdByName(QStringLiteral("tolvane_Team")), quint64(0));
        QTRY_VERIFY(m_window->findChild<MeetingList*>()->meetingNames().isEmpty());

        onNextDialog([](QDialog* dialog) { dialog->accept(); });
        m_window->findChild<QToolButton*>(QStringLiteral("toolButtonStartMeeting"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(m_client->channelIdByName(QStringLiteral("tolvane_0")) != 0,
                                 10000);
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(),
                                  m_client->channelIdByName(QStringLiteral("tolvane_0")), 10000);
        QTRY_VERIFY(meetingView());
        QTRY_VERIFY(meetingView()->isAncestorOf(m_window->focusWidget()));
        QTRY_VERIFY(m_window->findChild<MeetingList*>()->meetingNames().contains(
            QStringLiteral("tolvane_0")));
        meetingView()->close();
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), quint64(1), 10000);
    }

    void freeMeetingNames()
    {
        // tolvane_0 occupied by bob, tolvane_1 empty: the empty one is free.
        for (const QString& name : {QStringLiteral("tolvane_0"), QStringLiteral("tolvane_1")}) {
            if (m_client->channelIdByName(name) == 0)
                m_bob.command({QStringLiteral("createchannel"), name, QString(), 1});
            QTRY_VERIFY(m_client->channelIdByName(name) != 0);
        }
        const quint64 zero = m_client->channelIdByName(QStringLiteral("tolvane_0"));
        const quint64 one = m_client->channelIdByName(QStringLiteral("tolvane_1"));
        m_bob.command({QStringLiteral("move"), m_bobId, double(zero), QString()});
        QTRY_COMPARE(m_client->channelOfClient(anyID(m_bobId)), zero);
        QCOMPARE(m_window->findFreeMeetingName(), QStringLiteral("tolvane_1"));

        // Both occupied: the prefix and the count in use, with its two folders requested in the
        // own channel's file store.
        m_client->moveToChannel(QStringLiteral("tolvane_1"), QString());
        QTRY_COMPARE(ownChannel(), one);
        QCOMPARE(m_window->findFreeMeetingName(), QStringLiteral("tolvane_2"));
        // The folders are anna's requests; bob looks once the server has handled them.
        QVERIFY(syncWithServer());
        m_bob.command({QStringLiteral("listfiles"), double(one), QString(), QStringLiteral("/")});
        const QJsonObject folder =
            m_bob.waitForEvent(QStringLiteral("onFileListEvent"), [](const QJsonObject& e) {
                return e.value(QStringLiteral("name")) == QStringLiteral("tolvane_2");
            });
        QVERIFY(!folder.isEmpty());
        QCOMPARE(folder.value(QStringLiteral("type")).toInt(), int(FileListType_Directory));
        m_bob.command(
            {QStringLiteral("listfiles"), double(one), QString(), QStringLiteral("/tolvane_2")});
        QVERIFY(!m_bob
                     .waitForEvent(QStringLiteral("onFileListEvent"),
                                   [](const QJsonObject& e) {
                                       return e.value(QStringLiteral("name")) ==
                                              QStringLiteral("files");
                                   })
                     .isEmpty());
        QTRY_VERIFY(meetingView());
        meetingView()->close();
        QTRY_COMPARE_WITH_TIMEOUT(ownChannel(), quint64(1), 10000);
    }

    void f5RefreshesAndReachesTheWindow()
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_F5, Qt::NoModifier);
        QApplication::sendEvent(m_window.get(), &press);
        // The base class leaves F5 unhandled, so it stays ignored for the parent chain.
        QVERIFY(!press.isAccepted());
    }

    void cleanupTestCase() { m_window.reset(); }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
