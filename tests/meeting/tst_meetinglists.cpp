// SPDX-License-Identifier: MIT
// The meeting list and the supporter list on a real voice-server, with voice-cli users creating
// channels and moving around. The voice client is a process-wide singleton, so the cases run in
// order on one connection and build on each other's channels.
#include "connectclient.h"
#include "meeting/clientlistmodel.h"
#include "meeting/meetinglist.h"
#include "meeting/meetinglistmodel.h"
#include "meeting/supporterlist.h"
#include "queuedspy.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QDirIterator>
#include <QInputDialog>
#include <QListView>
#include <QSortFilterProxyModel>
#include <QtTest>

using namespace MeetingSupport;

namespace {

// Shorter than the lists' 5 second refresh: what arrives within it came through an event.
constexpr int EventTimeout = 3000;

QAbstractItemModel* sourceModelOf(QWidget* list)
{
    auto* view = list->findChild<QListView*>(QStringLiteral("listView"));
    auto* proxy = view ? qobject_cast<QSortFilterProxyModel*>(view->model()) : nullptr;
    return proxy ? proxy->sourceModel() : nullptr;
}

QModelIndex rowNamed(QListView* view, const QString& channel)
{
    QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (index.data(MeetingListModel::ChannelNameRole).toString() == channel)
            return index;
    }
    return {};
}

QStringList column(const QAbstractItemModel* model, int role = Qt::DisplayRole)
{
    QStringList values;
    for (int row = 0; row < model->rowCount(); ++row)
        values << model->index(row, 0).data(role).toString();
    return values;
}

} // namespace

class TestMeetingLists : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    TsSDKClient* m_client = nullptr;
    VoiceCliProcess m_bob;
    VoiceCliProcess m_carol;
    int m_bobId = 0;
    int m_carolId = 0;

    quint64 bobCreates(const QString& name)
    {
        const QJsonObject result =
            m_bob.command({QStringLiteral("createchannel"), name, QString(), 0});
        if (result.value(QStringLiteral("error")).toInt() != 0)
            return 0;
        (void)QTest::qWaitFor([&] { return m_client->channelIdByName(name) != 0; }, EventTimeout);
        return m_client->channelIdByName(name);
    }

    bool move(VoiceCliProcess& cli, int clientId, quint64 channel)
    {
        return cli.command({QStringLiteral("move"), clientId, double(channel), QString()})
                   .value(QStringLiteral("error"))
                   .toInt() == 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));

        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        QVERIFY(m_carol.start());
        QVERIFY(m_carol.connectTo(m_server.port(), QStringLiteral("carol")));
        m_bobId =
            m_bob.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        m_carolId =
            m_carol.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        QTRY_COMPARE(m_client->clientList().size(), 3);
    }

    void meetingListFollowsChannels()
    {
        MeetingList list;
        QCOMPARE(list.objectName(), QStringLiteral("MeetingList"));
        QCOMPARE(list.windowTitle(), QStringLiteral("MeetingList"));
        QAbstractItemModel* model = sourceModelOf(&list);
        QVERIFY(model);
        QCOMPARE(list.meetingNames(), QStringList());
        QCOMPARE(column(model), QStringList{QStringLiteral("New Meeting")});

        // Only names that start with the prefix, exactly, are meetings; the prefix alone is one.
        QVERIFY(bobCreates(QStringLiteral("tolvane_Team")));
        QVERIFY(bobCreates(QStringLiteral("xtolvane_y")));
        QVERIFY(bobCreates(QStringLiteral("Tolvane_Caps")));
        QVERIFY(bobCreates(QStringLiteral("tolvane_")));
        QTRY_COMPARE_WITH_TIMEOUT(list.meetingNames(), (QStringList{"tolvane_Team", "tolvane_"}),
                                  EventTimeout);
        QCOMPARE(column(model), (QStringList{"Team\n(0)", "\n(0)", "New Meeting"}));

        // A move by someone else reaches the view as a change of that row alone, at once.
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        QVERIFY(move(m_bob, m_bobId, team));
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, EventTimeout);
        QCOMPARE(changed.first().at(0).toModelIndex().row(), 0);
        QCOMPARE(changed.first().at(1).toModelIndex().row(), 0);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("Team\n(1)"));
        QCOMPARE(model->index(0, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("Team\n(1)"));
        QVERIFY(move(m_carol, m_carolId, team));
        QTRY_COMPARE_WITH_TIMEOUT(model->index(0, 0).data().toString(), QStringLiteral("Team\n(2)"),
                                  EventTimeout);
        QVERIFY(move(m_carol, m_carolId, 1));
        QTRY_COMPARE_WITH_TIMEOUT(model->index(0, 0).data().toString(), QStringLiteral("Team\n(1)"),
                                  EventTimeout);

        // A list built now starts out complete.
        MeetingList second;
        QCOMPARE(second.meetingNames(), (QStringList{"tolvane_Team", "tolvane_"}));
    }

    void longNamesKeepTheirCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("elided");
        QTest::newRow("fits") << QStringLiteral("Big Team\n(3)") << 200 << false;
        QTest::newRow("long") << QStringLiteral("Quarterly planning\n(0)") << 90 << true;
        QTest::newRow("very long")
            << QString(200, QLatin1Char('w')) + QStringLiteral("\n(12)") << 90 << true;
        QTest::newRow("no width yet") << QStringLiteral("Quarterly planning\n(0)") << 0 << false;
        // What a view makes of the model's line break.
        QTest::newRow("line separator")
            << QStringLiteral("Quarterly planning\u2028(0)") << 90 << true;
    }

    void longNamesKeepTheirCount()
    {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(bool, elided);
        QFont font;
        font.setPixelSize(18);
        const QFontMetrics metrics(font);
        const QString shown =
            elideTileText(text, metrics, width).replace(QChar::LineSeparator, QLatin1Char('\n'));
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        // Spaces become unbreakable, so the name keeps to its line.
        if (width > 0)
            QVERIFY(!shown.section(QLatin1Char('\n'), 0, 0).contains(QLatin1Char(' ')));
        const QString name = shown.section(QLatin1Char('\n'), 0, 0).replace(QChar::Nbsp, ' ');
        QCOMPARE(shown.section(QLatin1Char('\n'), 1), text.section(QLatin1Char('\n'), 1));
        QCOMPARE(name != text.section(QLatin1Char('\n'), 0, 0), elided);
        if (width > 0)
            QVERIFY(metrics.horizontalAdvance(name) <= width);
    }

    void noResetWhileNothingChanges()
    {
        MeetingList list;
        QAbstractItemModel* model = sourceModelOf(&list);
        QSignalSpy resets(model, &QAbstractItemModel::modelAboutToBeReset);
        list.refresh();
        list.refresh();
        QCOMPARE(resets.count(), 0);

        // A channel event that leaves the meetings as they were resets nothing either.
        QueuedSpy created(m_client, &TsSDKClient::onNewChannelCreatedEvent);
        QVERIFY(bobCreates(QStringLiteral("Other")));
        QTRY_VERIFY(!created.isEmpty());
        // The list heard the event before this later-connected spy did.
        QCOMPARE(resets.count(), 0);

        // Deleting a meeting does.
        const quint64 bare = m_client->channelIdByName(QStringLiteral("tolvane_"));
        QCOMPARE(m_bob.command({QStringLiteral("deletechannel"), double(bare), 1})
                     .value(QStringLiteral("error"))
                     .toInt(),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(list.meetingNames(), QStringList{QStringLiteral("tolvane_Team")},
                                  EventTimeout);
        QCOMPARE(resets.count(), 1);
    }

    void clicksAndContextMenu()
    {
        MeetingList list;
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        auto* view = list.findChild<QListView*>(QStringLiteral("listView"));
        QSignalSpy joins(&list, &MeetingList::requestJoinMeeting);

        const QModelIndex team = rowNamed(view, QStringLiteral("tolvane_Team"));
        QVERIFY(team.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(team).center());
        QCOMPARE(joins.count(), 1);
        QCOMPARE(joins.at(0).at(0).toString(), QStringLiteral("tolvane_Team"));
        // The tile has no channel name.
        const QModelIndex tile = view->model()->index(view->model()->rowCount() - 1, 0);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(tile).center());
        QCOMPARE(joins.count(), 2);
        QCOMPARE(joins.at(1).at(0).toString(), QString());

        QStringList actions;
        onNextPopup([&actions](QMenu* menu) {
            for (QAction* action : menu->actions())
                actions << action->text();
            menu->actions().first()->trigger();
            menu->close();
        });
        emit view->customContextMenuRequested(view->visualRect(team).center());
        QCOMPARE(actions, (QStringList{"Join", "Delete"}));
        QCOMPARE(joins.count(), 3);
        QCOMPARE(joins.at(2).at(0).toString(), QStringLiteral("tolvane_Team"));

        // Neither the tile nor empty space has a menu.
        QVERIFY(!opensPopup([view, tile] {
            emit view->customContextMenuRequested(view->visualRect(tile).center());
            emit view->customContextMenuRequested(
                QPoint(view->viewport()->width() - 2, view->viewport()->height() - 2));
        }));
        QCOMPARE(joins.count(), 3);
    }

    void newMeetingTileCreatesAChannel()
    {
        MeetingList list;
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        auto* view = list.findChild<QListView*>(QStringLiteral("listView"));
        auto doubleClickTile = [view] {
            const QModelIndex tile = view->model()->index(view->model()->rowCount() - 1, 0);
            doubleClickAt(view->viewport(), view->visualRect(tile).center());
        };

        QString title, label;
        onNextModal([&](QWidget* modal) {
            auto* input = qobject_cast<QInputDialog*>(modal);
            QVERIFY(input);
            title = input->windowTitle();
            label = input->labelText();
            QCOMPARE(input->textValue(), QString());
            input->setTextValue(QStringLiteral("Alpha"));
            input->accept();
        });
        doubleClickTile();
        QCOMPARE(title, QStringLiteral("New Meeting."));
        QCOMPARE(label, QStringLiteral("Please input meeting name:"));
        QTRY_VERIFY_WITH_TIMEOUT(list.meetingNames().contains(QStringLiteral("tolvane_Alpha")),
                                 EventTimeout);
        // The creator is moved into the new meeting.
        QTRY_COMPARE_WITH_TIMEOUT(m_client->currentChannelName(), QStringLiteral("tolvane_Alpha"),
                                  EventTimeout);
        // Its file area was requested.
        auto haveFilesDirectory = [this] {
            QDirIterator it(m_server.dataDirectory(), QDir::Dirs | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                if (it.next().endsWith(QLatin1String("/tolvane_Alpha/files")))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(haveFilesDirectory(), EventTimeout);

        // An existing name, an empty name and a cancelled dialog create nothing.
        const int channels = m_client->channelList().size();
        QueuedSpy created(m_client, &TsSDKClient::onNewChannelEvent);
        QueuedSpy createdByUs(m_client, &TsSDKClient::onNewChannelCreatedEvent);
        onNextModal([](QWidget* modal) {
            static_cast<QInputDialog*>(modal)->setTextValue(QStringLiteral("Alpha"));
            static_cast<QInputDialog*>(modal)->accept();
        });
        doubleClickTile();
        onNextModal([](QWidget* modal) { static_cast<QInputDialog*>(modal)->accept(); });
        doubleClickTile();
        onNextModal([](QWidget* modal) {
            static_cast<QInputDialog*>(modal)->setTextValue(QStringLiteral("Beta"));
            static_cast<QInputDialog*>(modal)->reject();
        });
        doubleClickTile();
        // A creation asked for meanwhile would be announced before the server answers this.
        QVERIFY(syncWithServer());
        QCOMPARE(created.count() + createdByUs.count(), 0);
        QCOMPARE(m_client->channelList().size(), channels);
        QCOMPARE(m_client->channelIdByName(QStringLiteral("tolvane_Beta")), quint64(0));

        // Double-clicking a meeting asks nothing.
        const QModelIndex team = rowNamed(view, QStringLiteral("tolvane_Team"));
        QVERIFY(!opensModal(
            [view, team] { doubleClickAt(view->viewport(), view->visualRect(team).center()); }));
    }

    void deleteFromContextMenu()
    {
        MeetingList list;
        auto* view = list.findChild<QListView*>(QStringLiteral("listView"));
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        // The meeting we are in goes like any other; the server sends us to the lobby.
        const QModelIndex alpha = rowNamed(view, QStringLiteral("tolvane_Alpha"));
        QVERIFY(alpha.isValid());
        onNextPopup([](QMenu* menu) {
            menu->actions().at(1)->trigger();
            menu->close();
        });
        emit view->customContextMenuRequested(view->visualRect(alpha).center());
        QTRY_COMPARE_WITH_TIMEOUT(m_client->channelIdByName(QStringLiteral("tolvane_Alpha")),
                                  quint64(0), EventTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(list.meetingNames(), QStringList{QStringLiteral("tolvane_Team")},
                                  EventTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->channelOfClient(m_client->ownClientID()), quint64(1),
                                  EventTimeout);
    }

    void supporterListFollowsClients()
    {
        // In the lobby the program mutes its user, as everyone there.
        TsSDKInterface* sdk = m_client->sdk();
        for (int flag : {CLIENT_INPUT_MUTED, CLIENT_OUTPUT_MUTED}) {
            QCOMPARE(sdk->setClientSelfVariableAsInt(flag, 1), 0u);
            m_carol.command({QStringLiteral("setflag"), flag, 1});
        }
        QTRY_VERIFY_WITH_TIMEOUT(readClientStatus(anyID(m_carolId)).outputMuted, EventTimeout);
        SupporterList list;
        QCOMPARE(list.objectName(), QStringLiteral("SupporterList"));
        QCOMPARE(list.windowTitle(), QStringLiteral("Supporter List"));
        QAbstractItemModel* model = sourceModelOf(&list);
        QVERIFY(model);
        // Everyone, ourselves included, in client ID order.
        QCOMPARE(column(model), (QStringList{"anna", "bob", "carol"}));
        const quint64 team = m_client->channelIdByName(QStringLiteral("tolvane_Team"));
        QCOMPARE(model->index(1, 0).data(Qt::UserRole + 2).value<quint64>(), team);
        QCOMPARE(model->index(0, 0).data(Qt::UserRole + 2).value<quint64>(), quint64(1));
        QVERIFY(showsIcon(model->index(0, 0).data(Qt::DecorationRole),
                          QStringLiteral(":/images/normal.png")));
        QVERIFY(showsIcon(model->index(1, 0).data(Qt::DecorationRole),
                          QStringLiteral(":/images/meetting.png")));
        QVERIFY(showsIcon(model->index(2, 0).data(Qt::DecorationRole),
                          QStringLiteral(":/images/normal.png")));

        QSignalSpy resets(model, &QAbstractItemModel::modelAboutToBeReset);
        list.refresh();
        list.refresh();
        QCOMPARE(resets.count(), 0);

        // Muted in the lobby says nothing: the rows above were plain. A microphone left on
        // there is what shows.
        QVERIFY(model->index(2, 0).data(ClientListModel::InputMutedRole).toBool());
        QVERIFY(model->index(2, 0).data(ClientListModel::OutputMutedRole).toBool());
        QCOMPARE(sdk->setClientSelfVariableAsInt(CLIENT_INPUT_MUTED, 0), 0u);
        QTRY_COMPARE_WITH_TIMEOUT(model->index(0, 0).data(Qt::ToolTipRole).toString(),
                                  QStringLiteral("anna: microphone on"), EventTimeout);
        QVERIFY(!showsIcon(model->index(0, 0).data(Qt::DecorationRole),
                           QStringLiteral(":/images/normal.png")));

        // A move shows at once; in the meeting carol turns both on, as the program does there.
        for (int flag : {CLIENT_INPUT_MUTED, CLIENT_OUTPUT_MUTED})
            m_carol.command({QStringLiteral("setflag"), flag, 0});
        QVERIFY(move(m_carol, m_carolId, team));
        QTRY_VERIFY_WITH_TIMEOUT(showsIcon(model->index(2, 0).data(Qt::DecorationRole),
                                           QStringLiteral(":/images/meetting.png")),
                                 EventTimeout);
        QCOMPARE(resets.count(), 1);

        // A newcomer and a leaver.
        VoiceCliProcess dave;
        QVERIFY(dave.start());
        QVERIFY(dave.connectTo(m_server.port(), QStringLiteral("dave")));
        QTRY_COMPARE_WITH_TIMEOUT(column(model), (QStringList{"anna", "bob", "carol", "dave"}),
                                  EventTimeout);
        m_bob.command({QStringLiteral("disconnect"), QStringLiteral("bye")});
        QTRY_COMPARE_WITH_TIMEOUT(column(model), (QStringList{"anna", "carol", "dave"}),
                                  EventTimeout);
        QVERIFY(dave.quit());
    }
};

QTEST_MAIN(TestMeetingLists)
#include "tst_meetinglists.moc"
