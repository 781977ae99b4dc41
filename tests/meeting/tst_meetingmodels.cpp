// SPDX-License-Identifier: MIT
// The list models, the selection dialog and the chat pane's status lines, without a server: the
// voice client exists but is not connected, so every channel has no clients.
#include "chat/chatwidget.h"
#include "meeting/clientlistmodel.h"
#include "meeting/getselectdialog.h"
#include "meeting/meetinglistmodel.h"
#include "widgethelpers.h"

#include <QBrush>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtTest>

using namespace MeetingSupport;

namespace {

QJsonObject meeting(const QString& name, const QString& password = QString())
{
    QJsonObject record{{QStringLiteral("CHANNEL_NAME"), name}};
    if (!password.isNull())
        record.insert(QStringLiteral("CHANNEL_PASSWORD"), password);
    return record;
}

} // namespace

class TestMeetingModels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The resource icons the models hand out must be real and distinct pictures.
        QVERIFY(!QPixmap(QStringLiteral(":/images/room.png")).isNull());
        QVERIFY(QPixmap(QStringLiteral(":/images/room.png")).toImage() !=
                QPixmap(QStringLiteral(":/images/room_lock.png")).toImage());
        QVERIFY(QPixmap(QStringLiteral(":/images/normal.png")).toImage() !=
                QPixmap(QStringLiteral(":/images/meetting.png")).toImage());
    }

    void shortNames()
    {
        QCOMPARE(meetingShortName(QStringLiteral("tolvane_Team")), QStringLiteral("Team"));
        QCOMPARE(meetingShortName(QStringLiteral("tolvane_")), QString());
        QCOMPARE(meetingShortName(QStringLiteral("tolvane_tolvane_x")),
                 QStringLiteral("tolvane_x"));
        QCOMPARE(meetingShortName(QStringLiteral("my tolvane_x")), QStringLiteral("my tolvane_x"));
        QCOMPARE(meetingShortName(QStringLiteral("Tolvane_x")), QStringLiteral("Tolvane_x"));
    }

    void meetingRowRoles()
    {
        MeetingListModel model;
        model.appendExtraItem(MeetingListModel::newMeetingItem());
        model.setMeetings({meeting(QStringLiteral("tolvane_Team")),
                           meeting(QStringLiteral("tolvane_")),
                           meeting(QStringLiteral("tolvane_Safe"), QStringLiteral("pw")),
                           meeting(QStringLiteral("tolvane_Open"), QString(""))});
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.rowCount(model.index(0)), 0);

        const QModelIndex team = model.index(0);
        for (int role : {int(Qt::DisplayRole), int(Qt::EditRole), int(Qt::ToolTipRole)})
            QCOMPARE(team.data(role).toString(), QStringLiteral("Team\n(0)"));
        // A channel named only the prefix is a meeting with an empty name.
        QCOMPARE(model.index(1).data().toString(), QStringLiteral("\n(0)"));
        QCOMPARE(model.index(1).data(MeetingListModel::ChannelNameRole).toString(),
                 QStringLiteral("tolvane_"));

        QVERIFY(showsIcon(team.data(Qt::DecorationRole), QStringLiteral(":/images/room.png")));
        QVERIFY(showsIcon(model.index(2).data(Qt::DecorationRole),
                          QStringLiteral(":/images/room_lock.png")));
        QVERIFY(showsIcon(model.index(3).data(Qt::DecorationRole),
                          QStringLiteral(":/images/room.png")));
        QCOMPARE(team.data(Qt::FontRole).value<QFont>().pixelSize(), 18);
        QCOMPARE(team.data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
        QCOMPARE(team.data(Qt::ForegroundRole).value<QBrush>(), QBrush(Qt::blue));
        QCOMPARE(team.data(MeetingListModel::ChannelNameRole).toString(),
                 QStringLiteral("tolvane_Team"));
        QCOMPARE(team.data(MeetingListModel::IsExtraRole).toBool(), false);
        QVERIFY(team.data(MeetingListModel::IsExtraRole).isValid());
        QVERIFY(!team.data(MeetingListModel::ExtraIdRole).isValid());
        QVERIFY(!team.data(Qt::UserRole).isValid());
        QVERIFY(!model.index(7).data().isValid());
    }

    void newMeetingTileComesLast()
    {
        MeetingListModel model;
        model.appendExtraItem(MeetingListModel::newMeetingItem());
        QCOMPARE(model.rowCount(), 1);
        model.setMeetings({meeting(QStringLiteral("tolvane_A"))});
        const QModelIndex tile = model.index(1);
        QCOMPARE(tile.data().toString(), QStringLiteral("New Meeting"));
        QCOMPARE(tile.data(Qt::ToolTipRole).toString(), QStringLiteral("New Meeting"));
        QVERIFY(
            showsIcon(tile.data(Qt::DecorationRole), QStringLiteral(":/images/create_room.png")));
        QCOMPARE(tile.data(MeetingListModel::IsExtraRole).toBool(), true);
        QCOMPARE(tile.data(MeetingListModel::ExtraIdRole).toString(),
                 QStringLiteral("New Meeting"));
        // The tile has no channel: joining it asks for the empty name.
        QCOMPARE(tile.data(MeetingListModel::ChannelNameRole).toString(), QString());
        QVERIFY(!tile.data(Qt::FontRole).isValid());
    }

    void meetingsResetOnlyOnChange()
    {
        MeetingListModel model;
        model.appendExtraItem(MeetingListModel::newMeetingItem());
        QSignalSpy resets(&model, &QAbstractItemModel::modelAboutToBeReset);
        const QList<QJsonObject> two{meeting(QStringLiteral("tolvane_A")),
                                     meeting(QStringLiteral("tolvane_B"))};
        QVERIFY(model.setMeetings(two));
        QCOMPARE(resets.count(), 1);
        QVERIFY(!model.setMeetings(two));
        QCOMPARE(resets.count(), 1);
        // Same names in another order, and a password appearing, are changes.
        QVERIFY(model.setMeetings({two.at(1), two.at(0)}));
        QVERIFY(model.setMeetings(
            {two.at(1), meeting(QStringLiteral("tolvane_A"), QStringLiteral("x"))}));
        QCOMPARE(resets.count(), 3);
        QVERIFY(model.setMeetings({}));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(resets.count(), 4);
    }

    void clientRows()
    {
        ClientListModel model;
        // Same nickname twice is two rows.
        model.setClients({{QStringLiteral("anna"), 1},
                          {QStringLiteral("bob"), 7},
                          {QStringLiteral("bob"), 1},
                          {QStringLiteral("lost"), 0}});
        QCOMPARE(model.rowCount(), 4);
        QCOMPARE(model.rowCount(model.index(0)), 0);
        QCOMPARE(model.index(1).data().toString(), QStringLiteral("bob"));
        QCOMPARE(model.index(2).data(Qt::EditRole).toString(), QStringLiteral("bob"));
        QVERIFY(showsIcon(model.index(0).data(Qt::DecorationRole),
                          QStringLiteral(":/images/normal.png")));
        QVERIFY(showsIcon(model.index(1).data(Qt::DecorationRole),
                          QStringLiteral(":/images/meetting.png")));
        QVERIFY(showsIcon(model.index(2).data(Qt::DecorationRole),
                          QStringLiteral(":/images/normal.png")));
        // An unknown channel is not the lobby.
        QVERIFY(showsIcon(model.index(3).data(Qt::DecorationRole),
                          QStringLiteral(":/images/meetting.png")));
        QCOMPARE(model.index(1).data(ClientListModel::ChannelIdRole).value<quint64>(), quint64(7));
        QCOMPARE(model.index(1).data(ClientListModel::IsExtraRole), QVariant(false));
        QVERIFY(!model.index(1).data(Qt::ToolTipRole).isValid());
        QVERIFY(!model.index(1).data(ClientListModel::ExtraIdRole).isValid());

        // A member who talks and has muted: the tile changes and says why, and only that row
        // is announced when nothing else moved.
        QSignalSpy resets(&model, &QAbstractItemModel::modelAboutToBeReset);
        QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
        QVector<ClientEntry> entries = model.clients();
        entries[1].status.talking = true;
        entries[1].status.outputMuted = true;
        QVERIFY(!model.setClients(entries));
        QCOMPARE(resets.count(), 0);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.first().at(0).toModelIndex(), model.index(1));
        QCOMPARE(changes.first().at(1).toModelIndex(), model.index(1));
        QVERIFY(model.index(1).data(ClientListModel::TalkingRole).toBool());
        QVERIFY(!showsIcon(model.index(1).data(Qt::DecorationRole),
                           QStringLiteral(":/images/meetting.png")));
        QCOMPARE(model.index(1).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("bob: talking, speakers off"));

        // A large channel ID survives as an unsigned 64-bit value.
        model.setClients({{QStringLiteral("far"), Q_UINT64_C(0xFFFFFFFFFFFFFFF0)}});
        QCOMPARE(model.index(0).data(ClientListModel::ChannelIdRole).value<quint64>(),
                 Q_UINT64_C(0xFFFFFFFFFFFFFFF0));
    }

    void peopleOnlineMarkOnlyDepartures()
    {
        // The lobby mutes everyone in it and a meeting unmutes its members: the people online
        // carry a badge only where a device departs from that, and never the ring.
        ClientStatus muted;
        muted.inputMuted = muted.outputMuted = true;
        ClientStatus microphoneOn = muted;
        microphoneOn.inputMuted = false;
        ClientStatus talking;
        talking.talking = true;
        const QVector<ClientEntry> entries{{QStringLiteral("anna"), 1, muted},
                                           {QStringLiteral("bob"), 1, microphoneOn},
                                           {QStringLiteral("carol"), 7, muted},
                                           {QStringLiteral("dave"), 7, talking}};
        ClientListModel people(nullptr, ClientListModel::Marking::Departures);
        people.setClients(entries);
        QVERIFY(showsIcon(people.index(0).data(Qt::DecorationRole),
                          QStringLiteral(":/images/normal.png")));
        QVERIFY(!people.index(0).data(Qt::ToolTipRole).isValid());
        QVERIFY(!showsIcon(people.index(1).data(Qt::DecorationRole),
                           QStringLiteral(":/images/normal.png")));
        QCOMPARE(people.index(1).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("bob: microphone on"));
        QCOMPARE(people.index(2).data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("microphone off, speakers off"));
        QVERIFY(showsIcon(people.index(3).data(Qt::DecorationRole),
                          QStringLiteral(":/images/meetting.png")));
        // The two badges of a device differ: on is not off.
        const auto image = [](const QModelIndex& index) {
            return index.data(Qt::DecorationRole).value<QIcon>().pixmap(32, 32).toImage();
        };
        people.setClients(
            {{QStringLiteral("bob"), 1, microphoneOn}, {QStringLiteral("bob"), 7, microphoneOn}});
        QVERIFY(image(people.index(0)) != image(people.index(1)));

        // A meeting's members show every state.
        ClientListModel members;
        members.setClients(entries);
        QCOMPARE(members.index(0).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("anna: microphone off, speakers off"));
        QCOMPARE(members.index(3).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("dave: talking"));
    }

    void extraItemsComeFirst()
    {
        ClientListModel model;
        model.setClients({{QStringLiteral("anna"), 5}});
        QMap<int, QVariant> tile;
        tile.insert(Qt::DisplayRole, QStringLiteral("Add"));
        tile.insert(ClientListModel::IsExtraRole, true);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        model.appendExtraItem(tile);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(1).toInt(), 0);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0).data().toString(), QStringLiteral("Add"));
        QCOMPARE(model.index(0).data(ClientListModel::IsExtraRole).toBool(), true);
        QVERIFY(!model.index(0).data(ClientListModel::ChannelIdRole).isValid());
        QCOMPARE(model.index(1).data().toString(), QStringLiteral("anna"));
    }

    void clientsResetOnlyOnChange()
    {
        ClientListModel model;
        QSignalSpy resets(&model, &QAbstractItemModel::modelAboutToBeReset);
        const QVector<ClientEntry> entries{{QStringLiteral("anna"), 1}, {QStringLiteral("bob"), 1}};
        QVERIFY(model.setClients(entries));
        QVERIFY(!model.setClients(entries));
        QCOMPARE(resets.count(), 1);
        // A move is a change even though the names stay.
        QVERIFY(model.setClients({{QStringLiteral("anna"), 1}, {QStringLiteral("bob"), 4}}));
        QCOMPARE(resets.count(), 2);
        QVERIFY(model.setClients({{QStringLiteral("anna"), 1}}));
        QCOMPARE(resets.count(), 3);
    }

    void selectDialogForm()
    {
        GetSelectDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("GetSelectDilaog"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Select Items"));
        auto* list = dialog.findChild<QListWidget*>(QStringLiteral("listWidget"));
        auto* label = dialog.findChild<QLabel*>(QStringLiteral("label"));
        auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QVERIFY(list && label && buttons);
        QVERIFY(buttons->button(QDialogButtonBox::Ok) && buttons->button(QDialogButtonBox::Cancel));

        dialog.setLabelText(QStringLiteral("Pick"));
        QCOMPARE(label->text(), QStringLiteral("Pick"));
        dialog.setItems({QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("bob")});
        QCOMPARE(list->count(), 3);
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(list->item(row)->checkState(), Qt::Unchecked);
            QVERIFY(list->item(row)->flags() & Qt::ItemIsUserCheckable);
        }
        QCOMPARE(dialog.selectedItems(), QStringList());
        list->item(2)->setCheckState(Qt::Checked);
        list->item(0)->setCheckState(Qt::Checked);
        QCOMPARE(dialog.selectedItems(), (QStringList{"bob", "bob"}));

        // No meetings, no chooser.
        dialog.setMeetings({});
        QVERIFY(!dialog.findChild<QComboBox*>());
        QCOMPARE(dialog.selectedMeeting(), QString());
        dialog.setMeetings({QStringLiteral("tolvane_A"), QStringLiteral("tolvane_B")});
        auto* chooser = dialog.findChild<QComboBox*>();
        QVERIFY(chooser);
        auto* layout = qobject_cast<QVBoxLayout*>(dialog.layout());
        QVERIFY(layout->indexOf(chooser) < layout->indexOf(label));
        QCOMPARE(chooser->count(), 2);
        QCOMPARE(dialog.selectedMeeting(), QStringLiteral("tolvane_A"));
        // A second call adds to the same chooser.
        dialog.setMeetings({QStringLiteral("tolvane_C")});
        QCOMPARE(dialog.findChildren<QComboBox*>().size(), 1);
        QCOMPARE(chooser->count(), 3);
    }

    void getSelectAcceptedWritesResults()
    {
        QWidget parent;
        QString seenTitle, seenLabel;
        onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<GetSelectDialog*>(modal);
            QVERIFY(dialog);
            seenTitle = dialog->windowTitle();
            seenLabel = dialog->findChild<QLabel*>(QStringLiteral("label"))->text();
            // The keyboard starts on the first input: the chooser above the list.
            QCOMPARE(dialog->focusWidget(), dialog->findChild<QComboBox*>());
            auto* list = dialog->findChild<QListWidget*>();
            list->item(1)->setCheckState(Qt::Checked);
            list->item(2)->setCheckState(Qt::Checked);
            dialog->findChild<QComboBox*>()->setCurrentIndex(1);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        QStringList selected{QStringLiteral("untouched")};
        QString chosen = QStringLiteral("untouched");
        QVERIFY(GetSelectDialog::getSelect(
            &parent, QStringLiteral("Start Meeting."), QStringLiteral("Who?"),
            {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")},
            {QStringLiteral("tolvane_0"), QStringLiteral("tolvane_1")}, &selected, &chosen));
        QCOMPARE(seenTitle, QStringLiteral("Start Meeting."));
        QCOMPARE(seenLabel, QStringLiteral("Who?"));
        QCOMPARE(selected, (QStringList{"b", "c"}));
        QCOMPARE(chosen, QStringLiteral("tolvane_1"));
        // The dialog is gone afterwards.
        QVERIFY(!parent.findChild<GetSelectDialog*>());

        // Without meetings the chosen meeting is empty; the first meeting is taken untouched.
        onNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        QVERIFY(GetSelectDialog::getSelect(&parent, QString(), QString(), {QStringLiteral("a")}, {},
                                           &selected, &chosen));
        QCOMPARE(selected, QStringList());
        QCOMPARE(chosen, QString());
        onNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        QVERIFY(GetSelectDialog::getSelect(&parent, QString(), QString(), {},
                                           {QStringLiteral("tolvane_X")}, nullptr, &chosen));
        QCOMPARE(chosen, QStringLiteral("tolvane_X"));
    }

    void getSelectCancelledWritesNothing()
    {
        onNextModal([](QWidget* modal) {
            modal->findChild<QListWidget*>()->item(0)->setCheckState(Qt::Checked);
            modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
        });
        QStringList selected{QStringLiteral("keep")};
        QString chosen = QStringLiteral("keep");
        QVERIFY(!GetSelectDialog::getSelect(nullptr, QString(), QString(), {QStringLiteral("a")},
                                            {QStringLiteral("tolvane_0")}, &selected, &chosen));
        QCOMPARE(selected, QStringList{QStringLiteral("keep")});
        QCOMPARE(chosen, QStringLiteral("keep"));

        onNextModal([](QWidget* modal) {
            QVERIFY(!modal->findChild<QComboBox*>());
            QCOMPARE(modal->focusWidget(), modal->findChild<QListWidget*>());
            modal->findChild<QListWidget*>()->item(0)->setCheckState(Qt::Checked);
            static_cast<QDialog*>(modal)->reject();
        });
        bool ok = true;
        QCOMPARE(GetSelectDialog::getSelectItems(nullptr, QString(), QString(),
                                                 {QStringLiteral("a")}, &ok),
                 QStringList());
        QVERIFY(!ok);

        onNextModal([](QWidget* modal) {
            modal->findChild<QListWidget*>()->item(1)->setCheckState(Qt::Checked);
            static_cast<QDialog*>(modal)->accept();
        });
        QCOMPARE(GetSelectDialog::getSelectItems(nullptr, QString(), QString(),
                                                 {QStringLiteral("a"), QStringLiteral("b")}, &ok),
                 QStringList{QStringLiteral("b")});
        QVERIFY(ok);
        // Accepted with nothing ticked is still accepted.
        onNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        ok = false;
        QCOMPARE(GetSelectDialog::getSelectItems(nullptr, QString(), QString(),
                                                 {QStringLiteral("a")}, &ok),
                 QStringList());
        QVERIFY(ok);
    }

    void dialogDestroyedWhileRunning()
    {
        // The parent goes away while the dialog runs: nothing is written and nothing crashes.
        auto* parent = new QWidget;
        onNextModal([parent](QWidget*) { delete parent; });
        QStringList selected{QStringLiteral("keep")};
        QVERIFY(!GetSelectDialog::getSelect(parent, QString(), QString(), {QStringLiteral("a")}, {},
                                            &selected, nullptr));
        QCOMPARE(selected, QStringList{QStringLiteral("keep")});
    }

    void chatPaneCloseAndStatusLines()
    {
        ChatWidget pane;
        QCOMPARE(pane.objectName(), QStringLiteral("ChatWidget"));
        QVERIFY(pane.testAttribute(Qt::WA_DeleteOnClose));
        QSignalSpy closed(&pane, &ChatWidget::closed);
        auto* buttons = pane.findChild<QDialogButtonBox*>(QStringLiteral("btnBox"));
        QVERIFY(buttons);
        QPushButton* close = buttons->button(QDialogButtonBox::Close);
        QVERIFY(close);
        close->click();
        QCOMPARE(closed.count(), 1);

        QCOMPARE(ChatWidget::statusLevel(QtInfoMsg), 0);
        QCOMPARE(ChatWidget::statusLevel(QtDebugMsg), 0);
        QCOMPARE(ChatWidget::statusLevel(QtWarningMsg), 1);
        QCOMPARE(ChatWidget::statusLevel(QtCriticalMsg), 2);
        QCOMPARE(ChatWidget::statusLevel(QtFatalMsg), 2);

        auto* view = pane.findChild<QTextBrowser*>(QStringLiteral("msgViewWidget"));
        QVERIFY(view && view->isReadOnly());
        // The name comes from another client: markup in it stays text.
        pane.onLogerMessage(QStringLiteral("\"<b>eve</b>\" rejected your meeting invitation."),
                            QtInfoMsg);
        pane.onLogerMessage(QStringLiteral("broken"), QtCriticalMsg);
        QCOMPARE(view->toPlainText(),
                 QStringLiteral("\"<b>eve</b>\" rejected your meeting invitation.\nbroken"));
        const QString html = view->toHtml().toLower();
        QVERIFY(html.contains(QStringLiteral("#1e90ff")));
        QVERIFY(html.contains(QStringLiteral("#ff3030")));
        QVERIFY(!html.contains(QStringLiteral("#ff7f24")));
    }
};

QTEST_MAIN(TestMeetingModels)
#include "tst_meetingmodels.moc"
