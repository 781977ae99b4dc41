// SPDX-License-Identifier: MIT
// The meeting view, its "Add" tile and the invitations on a real voice-server, with voice-cli
// users as the members and the invitees. One connection for the whole run: the cases build on
// each other's moves.
#include "chat/chatmessage.h"
#include "connectclient.h"
#include "meeting/clientlistmodel.h"
#include "meeting/getselectdialog.h"
#include "meeting/meetingwidget.h"
#include "queuedspy.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

using namespace MeetingSupport;

namespace {

constexpr int EventTimeout = 3000;

// One framed text as a voice-cli user received it.
struct Received
{
    QString text;
    int targetMode = -1;
    QString fromName;
    bool complete = false;
};

// The next whole text cli receives: the fragments between the markers, joined.
Received nextFramedText(VoiceCliProcess& cli, int timeoutMs = 5000)
{
    Received received;
    const QJsonObject begin = cli.waitForEvent(QStringLiteral("onTextMessageEvent"), {}, timeoutMs);
    if (begin.value(QStringLiteral("message")).toString() != QLatin1String("_sms_begin{"))
        return received;
    received.targetMode = begin.value(QStringLiteral("targetMode")).toInt();
    received.fromName = begin.value(QStringLiteral("fromName")).toString();
    for (;;) {
        const QJsonObject line =
            cli.waitForEvent(QStringLiteral("onTextMessageEvent"), {}, timeoutMs);
        if (line.isEmpty())
            return received;
        const QString message = line.value(QStringLiteral("message")).toString();
        if (message == QLatin1String("}_sms_end")) {
            received.complete = true;
            return received;
        }
        received.text += message;
    }
}

} // namespace

class TestMeetingWidget : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    TsSDKClient* m_client = nullptr;
    VoiceCliProcess m_bob;
    VoiceCliProcess m_carol;
    VoiceCliProcess m_dave;
    int m_bobId = 0, m_carolId = 0, m_daveId = 0;
    quint64 m_team = 0;
    QPointer<MeetingWidget> m_widget;

    bool move(VoiceCliProcess& cli, int clientId, quint64 channel)
    {
        return cli.command({QStringLiteral("move"), clientId, double(channel), QString()})
                   .value(QStringLiteral("error"))
                   .toInt() == 0;
    }

    // Whether cli has received no text since the last one the test took: a marker sent to it
    // now travels behind anything sent before, so it must be the very next text.
    bool receivesNothing(VoiceCliProcess& cli)
    {
        static int round = 0;
        const int id = &cli == &m_bob ? m_bobId : &cli == &m_carol ? m_carolId : m_daveId;
        const QString marker = QStringLiteral("marker %1").arg(++round);
        if (m_client->sendTextMessage(anyID(id), marker) != 0)
            return false;
        const Received next = nextFramedText(cli);
        return next.complete && next.text == marker;
    }

    QAbstractItemModel* members() const { return m_widget->findChild<QListView*>()->model(); }

    QString title() const
    {
        m_widget->repaint();
        return m_widget->findChild<QLabel*>(QStringLiteral("labelTitle"))->text();
    }

    // The one invitation in a received text.
    static ChatMessage invitationIn(const Received& received)
    {
        const QList<ChatMessage> messages = messagesFromText(received.text);
        if (messages.size() != 1)
            return ChatMessage(UnknownMessage);
        return messages.first();
    }

    static QJsonArray requestFor(const QString& channel)
    {
        return QJsonArray{QStringLiteral("request"),
                          QJsonObject{{QStringLiteral("channel_name"), channel}}};
    }

    void clickAddTile()
    {
        QListView* view = m_widget->findChild<QListView*>();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                          view->visualRect(view->model()->index(0, 0)).center());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        // An ordinary user: invitations travel as private messages.
        QCOMPARE(m_client->role(), 1);

        for (auto [cli, name, id] : {std::make_tuple(&m_bob, "bob", &m_bobId),
                                     std::make_tuple(&m_carol, "carol", &m_carolId),
                                     std::make_tuple(&m_dave, "dave", &m_daveId)}) {
            QVERIFY(cli->start());
            QVERIFY(cli->connectTo(m_server.port(), QLatin1String(name)));
            *id =
                cli->command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        }
        QTRY_COMPARE(m_client->clientList().size(), 4);

        // We create the meeting and land in it; bob and carol follow.
        QCOMPARE(m_client->sdk()->createChannel(QStringLiteral("tolvane_Team"), QString()), 0u);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->currentChannelName(), QStringLiteral("tolvane_Team"),
                                  EventTimeout);
        m_team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        QVERIFY(move(m_bob, m_bobId, m_team));
        QVERIFY(move(m_carol, m_carolId, m_team));
        QTRY_COMPARE(m_client->channelClientList(m_team).size(), 3);
    }

    void titleAndMembers()
    {
        m_widget = new MeetingWidget;
        QCOMPARE(m_widget->objectName(), QStringLiteral("MeetingWidget"));
        QCOMPARE(m_widget->windowTitle(), QStringLiteral("Meeting Chat"));
        QVERIFY(m_widget->testAttribute(Qt::WA_DeleteOnClose));
        m_widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_widget));

        QAbstractItemModel* model = members();
        QCOMPARE(model->rowCount(), 4);
        const QModelIndex add = model->index(0, 0);
        QCOMPARE(add.data().toString(), QStringLiteral("Add"));
        QCOMPARE(add.data(Qt::ToolTipRole).toString(), QStringLiteral("Add"));
        QCOMPARE(add.data(Qt::UserRole + 3).toBool(), true);
        QCOMPARE(add.data(Qt::UserRole + 4).toString(), QStringLiteral("Invite"));
        QVERIFY(
            showsIcon(add.data(Qt::DecorationRole), QStringLiteral(":/images/create_room.png")));
        for (int row = 1; row < 4; ++row) {
            const QModelIndex member = model->index(row, 0);
            QCOMPARE(member.data(Qt::UserRole + 2).value<quint64>(), m_team);
            // The in-meeting avatar, plain while its owner neither talks nor has muted.
            const bool plain = !member.data(ClientListModel::TalkingRole).toBool() &&
                               !member.data(ClientListModel::InputMutedRole).toBool() &&
                               !member.data(ClientListModel::OutputMutedRole).toBool();
            QCOMPARE(
                showsIcon(member.data(Qt::DecorationRole), QStringLiteral(":/images/meetting.png")),
                plain);
        }
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("anna"));
        QCOMPARE(model->index(2, 0).data().toString(), QStringLiteral("bob"));
        QCOMPARE(model->index(3, 0).data().toString(), QStringLiteral("carol"));
        QCOMPARE(title(), QStringLiteral("    Team(3)"));
        QCOMPARE(m_widget->findChild<QLabel*>(QStringLiteral("labelTitle"))->textFormat(),
                 Qt::PlainText);

        // Members follow moves at once, without resets while nothing moves.
        QSignalSpy resets(model, &QAbstractItemModel::modelAboutToBeReset);
        m_widget->refreshMembers();
        QCOMPARE(resets.count(), 0);
        QVERIFY(move(m_carol, m_carolId, 1));
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 3, EventTimeout);
        QCOMPARE(title(), QStringLiteral("    Team(2)"));
    }

    void talkingAndMutedTiles()
    {
        QAbstractItemModel* model = members();
        const auto bobsTile = [&] {
            return model->match(model->index(0, 0), Qt::DisplayRole, QStringLiteral("bob"))
                .value(0);
        };
        QVERIFY(bobsTile().isValid());
        // Speakers on, as inside a meeting: the server sends no voice to muted speakers.
        m_client->sdk()->setClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED, 0);
        const QModelIndex own =
            model->match(model->index(0, 0), Qt::DisplayRole, QStringLiteral("anna")).value(0);
        QTRY_VERIFY_WITH_TIMEOUT(!own.data(ClientListModel::OutputMutedRole).toBool(),
                                 EventTimeout);
        QSignalSpy resets(model, &QAbstractItemModel::modelAboutToBeReset);
        QSignalSpy changes(model, &QAbstractItemModel::dataChanged);
        const auto onlyBobsRowChanged = [&] {
            for (const QList<QVariant>& change : qAsConst(changes)) {
                if (change.at(0).toModelIndex() != bobsTile() ||
                    change.at(1).toModelIndex() != bobsTile())
                    return false;
            }
            return !changes.isEmpty() && resets.isEmpty();
        };
        const QImage plain =
            model->data(bobsTile(), Qt::DecorationRole).value<QIcon>().pixmap(32, 32).toImage();

        // bob says a tone: his tile is ringed at once, and only his row is announced.
        QCOMPARE(m_bob
                     .command({QStringLiteral("opendevice"), QStringLiteral("capture"),
                               QStringLiteral("virtual"), QStringLiteral("tone")})
                     .value(QStringLiteral("error"))
                     .toInt(),
                 0);
        QTRY_VERIFY_WITH_TIMEOUT(bobsTile().data(ClientListModel::TalkingRole).toBool(),
                                 EventTimeout);
        QVERIFY(onlyBobsRowChanged());
        const QImage talking =
            bobsTile().data(Qt::DecorationRole).value<QIcon>().pixmap(32, 32).toImage();
        QVERIFY(talking != plain);
        QVERIFY(bobsTile().data(Qt::ToolTipRole).toString().contains(QStringLiteral("talking")));

        // He mutes: he stops being heard, and his tile carries the microphone badge instead.
        changes.clear();
        m_bob.command({QStringLiteral("setflag"), CLIENT_INPUT_MUTED, 1});
        QTRY_VERIFY_WITH_TIMEOUT(bobsTile().data(ClientListModel::InputMutedRole).toBool(),
                                 EventTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(!bobsTile().data(ClientListModel::TalkingRole).toBool(),
                                 EventTimeout);
        QVERIFY(onlyBobsRowChanged());
        const QImage muted =
            bobsTile().data(Qt::DecorationRole).value<QIcon>().pixmap(32, 32).toImage();
        QVERIFY(muted != plain && muted != talking);

        // Back on, and silent again: the plain tile.
        m_bob.command({QStringLiteral("opendevice"), QStringLiteral("capture"),
                       QStringLiteral("virtual"), QStringLiteral("silence")});
        m_bob.command({QStringLiteral("setflag"), CLIENT_INPUT_MUTED, 0});
        QTRY_VERIFY_WITH_TIMEOUT(!bobsTile().data(ClientListModel::InputMutedRole).toBool(),
                                 EventTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(
            bobsTile().data(Qt::DecorationRole).value<QIcon>().pixmap(32, 32).toImage(), plain,
            EventTimeout);
        QVERIFY(resets.isEmpty());
    }

    void addTileOffersOnlyNonMembers()
    {
        QStringList offered;
        QString dialogTitle, label;
        int dialogWidth = 0;
        onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<GetSelectDialog*>(modal);
            QVERIFY(dialog);
            dialogTitle = dialog->windowTitle();
            // The long label wraps; the dialog keeps its design width.
            dialogWidth = dialog->width();
            label = dialog->findChild<QLabel*>(QStringLiteral("label"))->text();
            auto* list = dialog->findChild<QListWidget*>();
            for (int row = 0; row < list->count(); ++row)
                offered << list->item(row)->text();
            list->item(0)->setCheckState(Qt::Checked);
            dialog->reject();
        });
        clickAddTile();
        QCOMPARE(dialogTitle, QStringLiteral("Invite."));
        QCOMPARE(dialogWidth, 241);
        QCOMPARE(label, QStringLiteral("Please select the member you want to invite:"));
        QCOMPARE(offered, (QStringList{"carol", "dave"}));
        // Cancelled: nothing sent, though a box was ticked.
        QVERIFY(receivesNothing(m_carol));

        // Accepted without ticks: nothing sent.
        onNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        clickAddTile();
        QVERIFY(receivesNothing(m_carol));
        QVERIFY(receivesNothing(m_dave));

        onNextModal([](QWidget* modal) {
            modal->findChild<QListWidget*>()->item(1)->setCheckState(Qt::Checked);
            modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        clickAddTile();
        const Received got = nextFramedText(m_dave);
        QVERIFY(got.complete);
        QCOMPARE(got.targetMode, 1);
        QCOMPARE(got.fromName, QStringLiteral("anna"));
        const ChatMessage invitation = invitationIn(got);
        QCOMPARE(invitation.type, MeetingRequest);
        QCOMPARE(invitation.info.sender(), QStringLiteral("anna"));
        QCOMPARE(invitation.info.receiver(), QStringLiteral("dave"));
        QCOMPARE(invitation.package.content, requestFor(QStringLiteral("tolvane_Team")));
        QVERIFY(qAbs(invitation.info.time().msecsTo(QDateTime::currentDateTimeUtc())) < 60000);
        QVERIFY(receivesNothing(m_carol));
        QVERIFY(receivesNothing(m_bob));

        // A click on a member opens nothing.
        QListView* view = m_widget->findChild<QListView*>();
        QVERIFY(!opensModal([view] {
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              view->visualRect(view->model()->index(2, 0)).center());
        }));
    }

    void oneMessagePerInvitee()
    {
        sendMeetingInvitations({QStringLiteral("carol"), QStringLiteral("dave")});
        for (auto [cli, name] :
             {std::make_pair(&m_carol, "carol"), std::make_pair(&m_dave, "dave")}) {
            const Received got = nextFramedText(*cli);
            QVERIFY(got.complete);
            QCOMPARE(got.targetMode, 1);
            const ChatMessage invitation = invitationIn(got);
            QCOMPARE(invitation.type, MeetingRequest);
            QCOMPARE(invitation.info.receiver(), QLatin1String(name));
            QCOMPARE(invitation.info.sender(), QStringLiteral("anna"));
            QCOMPARE(invitation.package.content, requestFor(QStringLiteral("tolvane_Team")));
            // Exactly one each.
            QVERIFY(receivesNothing(*cli));
        }
        QVERIFY(receivesNothing(m_bob));

        // No names, nothing sent.
        sendMeetingInvitations({});
        QVERIFY(receivesNothing(m_bob));
        QVERIFY(receivesNothing(m_carol));

        // A channel named by the caller travels instead of our own.
        sendMeetingInvitations({QStringLiteral("carol")}, QStringLiteral("tolvane_Elsewhere"));
        QCOMPARE(invitationIn(nextFramedText(m_carol)).package.content,
                 requestFor(QStringLiteral("tolvane_Elsewhere")));

        // A name nobody has goes to our own channel, still addressed to that name.
        sendMeetingInvitations({QStringLiteral("ghost")});
        const Received stray = nextFramedText(m_bob);
        QVERIFY(stray.complete);
        QCOMPARE(stray.targetMode, 2);
        QCOMPARE(invitationIn(stray).info.receiver(), QStringLiteral("ghost"));
        QVERIFY(receivesNothing(m_carol));
    }

    void nobodyLeftToInvite()
    {
        QVERIFY(move(m_carol, m_carolId, m_team));
        QVERIFY(move(m_dave, m_daveId, m_team));
        QTRY_COMPARE_WITH_TIMEOUT(members()->rowCount(), 5, EventTimeout);
        QCOMPARE(title(), QStringLiteral("    Team(4)"));
        QVERIFY(!opensModal([this] { clickAddTile(); }));
        QVERIFY(receivesNothing(m_bob));
    }

    void statusLinesReachTheChatPane()
    {
        m_widget->onLogerMessage(QStringLiteral("\"bob\" rejected your meeting invitation."),
                                 QtInfoMsg);
        auto* view = m_widget->findChild<QTextBrowser*>(QStringLiteral("msgViewWidget"));
        QVERIFY(view);
        QCOMPARE(view->toPlainText(), QStringLiteral("\"bob\" rejected your meeting invitation."));
    }

    void closingLeavesTheMeeting()
    {
        auto* buttons = m_widget->findChild<QDialogButtonBox*>(QStringLiteral("btnBox"));
        QVERIFY(buttons);
        buttons->button(QDialogButtonBox::Close)->click();
        QTRY_VERIFY(m_widget.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(m_client->channelOfClient(m_client->ownClientID()), quint64(1),
                                  EventTimeout);
        QCOMPARE(m_client->currentChannelName(), QStringLiteral("Default Channel"));

        // A view opened and closed in the lobby leaves us there.
        auto* lobbyView = new MeetingWidget;
        QCOMPARE(lobbyView->findChild<QListView*>()->model()->rowCount(), 2);
        delete lobbyView;
        QVERIFY(syncWithServer());
        QCOMPARE(m_client->channelOfClient(m_client->ownClientID()), quint64(1));
    }

    void cleanupTestCase() { delete m_widget; }
};

QTEST_MAIN(TestMeetingWidget)
#include "tst_meetingwidget.moc"
