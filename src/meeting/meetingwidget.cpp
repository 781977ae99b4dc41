// SPDX-License-Identifier: MIT
#include "meetingwidget.h"

#include "chat/chatmessage.h"
#include "chat/teamspeak3serverinterface.h"
#include "clientlistmodel.h"
#include "getselectdialog.h"
#include "meetinglistmodel.h"
#include "remote/screensession.h"
#include "remote/screenviewer.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_meetingwidget.h"

#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QTimer>

namespace MeetingSupport {

class MeetingWidgetPrivate
{
public:
    explicit MeetingWidgetPrivate(MeetingWidget* q) : q(q) {}

    // Back to the lobby, once: at close, or at destruction for a view deleted without closing.
    void leave()
    {
        if (left)
            return;
        left = true;
        if (TsSDKClient* client = TsSDKClient::instance())
            client->moveToChannel(QStringLiteral("Default Channel"), QString());
    }

    void placeViewer(ScreenViewer* viewer);
    void memberMenu(const QPoint& at);

    Ui::MeetingWidget ui;
    bool left = false;
    ClientListModel* model = nullptr;
    QMutex mutex;
    MeetingWidget* q;
};

void MeetingWidgetPrivate::placeViewer(ScreenViewer* viewer)
{
    QTabWidget* tabs = ui.viewerTabs;
    const int index = tabs->addTab(viewer, viewer->title());
    tabs->setTabToolTip(index, viewer->title());
    tabs->setCurrentIndex(index);
    if (tabs->isHidden()) {
        tabs->show();
        // The screen gets most of the height; the chat keeps what it needs.
        const int height = ui.splitter->height();
        ui.splitter->setSizes({height * 3 / 5, height - height * 3 / 5});
    }
    QObject::connect(viewer, &QObject::destroyed, q, [this] {
        // The tab went with its page; the room goes back to the chat with the last one.
        QTimer::singleShot(0, q, [this] {
            if (ui.viewerTabs->count() == 0)
                ui.viewerTabs->hide();
        });
    });
}

void MeetingWidgetPrivate::memberMenu(const QPoint& at)
{
    const QModelIndex index = ui.listView->indexAt(at);
    if (!index.isValid() || index.data(ClientListModel::IsExtraRole).toBool())
        return;
    const quint16 member = index.data(ClientListModel::ClientIdRole).value<quint16>();
    const QString name = index.data(Qt::DisplayRole).toString();
    TsSDKClient* client = TsSDKClient::instance();
    ScreenSession* screens = ui.chatWidget->screenSession();
    if (member == 0 || member == client->ownClientID())
        return;
    QMenu menu(q);
    if (screens->sharers().contains(member)) {
        menu.addAction(MeetingWidget::tr("Show %1's screen").arg(name), q,
                       [screens, member] { screens->openViewer(member); });
    }
    if (screens->isSharing()) {
        if (screens->ownController() == member)
            menu.addAction(MeetingWidget::tr("Take back control of your screen from %1").arg(name),
                           q, [screens] { screens->giveControl(0); });
        else
            menu.addAction(MeetingWidget::tr("Give %1 control of your screen").arg(name), q,
                           [screens, member] { screens->giveControl(member); });
    }
    if (!menu.isEmpty())
        menu.exec(ui.listView->viewport()->mapToGlobal(at));
}

namespace {

QMap<int, QVariant> inviteItem()
{
    QMap<int, QVariant> item;
    item.insert(Qt::DecorationRole, QIcon(QStringLiteral(":/images/create_room.png")));
    item.insert(Qt::ToolTipRole, QStringLiteral("Add"));
    item.insert(Qt::DisplayRole, QStringLiteral("Add"));
    item.insert(ClientListModel::IsExtraRole, true);
    item.insert(ClientListModel::ExtraIdRole, QStringLiteral("Invite"));
    return item;
}

} // namespace

MeetingWidget::MeetingWidget(QWidget* parent) : QWidget(parent), d(new MeetingWidgetPrivate(this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    d->ui.setupUi(this);
    QFont font = d->ui.labelTitle->font();
    font.setPixelSize(18);
    d->ui.labelTitle->setFont(font);

    d->model = new ClientListModel(this);
    d->model->appendExtraItem(inviteItem());
    d->ui.listView->setModel(d->model);
    d->ui.listView->setSpacing(4);

    connect(d->ui.listView, &QListView::clicked, this, &MeetingWidget::onClicked);
    // A member's tile offers their screen, and control of the own one.
    d->ui.listView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(d->ui.listView, &QListView::customContextMenuRequested, this,
            [this](const QPoint& at) { d->memberMenu(at); });
    // The members come after the chat pane's Close button; the pane keeps its own order.
    setTabOrder(d->ui.chatWidget, d->ui.listView);
    d->ui.listView->setAccessibleName(tr("Members"));

    // The room's engine: messages to the whole channel, files in the channel's folder.
    d->ui.chatWidget->setChatInterface(new TeamSpeak3ServerInterface(QString(), QString()));

    TsSDKClient* client = TsSDKClient::instance();
    connect(d->ui.chatWidget, &ChatWidget::closed, this, &QWidget::close);
    ScreenSession* screens = d->ui.chatWidget->screenSession();
    connect(screens, &ScreenSession::viewerOpened, this,
            [this](ScreenViewer* viewer) { d->placeViewer(viewer); });
    connect(screens, &ScreenSession::sharesChanged, this, &MeetingWidget::refreshMembers);
    connect(client, &TsSDKClient::onClientMoveEvent, this, &MeetingWidget::refreshMembers);
    connect(client, &TsSDKClient::onClientMoveMovedEvent, this, &MeetingWidget::refreshMembers);
    connect(client, &TsSDKClient::onUpdateClientEvent, d->ui.chatWidget,
            &ChatWidget::updateDeviceIcons);
    // Who talks and who has muted: the tiles change the moment the voice layer says so.
    connect(client, &TsSDKClient::onUpdateClientEvent, this, &MeetingWidget::refreshMembers);
    connect(client, &TsSDKClient::onTalkStatusChangeEvent, this, &MeetingWidget::refreshMembers);

    refreshMembers();
}

MeetingWidget::~MeetingWidget()
{
    d->leave();
    // The chat pane and the screens go first, while the private part they report to is whole.
    delete d->ui.splitter;
    delete d;
}

void MeetingWidget::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        d->leave();
}

void MeetingWidget::refreshMembers()
{
    QMutexLocker locker(&d->mutex);
    TsSDKClient* client = TsSDKClient::instance();
    const quint64 channel = client->channelOfClient(client->ownClientID());
    const QMap<anyID, QString> members = client->channelClientList(channel);
    const ScreenSession* screens = d->ui.chatWidget->screenSession();
    const QList<quint16> sharers = screens->sharers();
    QSet<quint16> controllers;
    for (quint16 sharer : sharers)
        controllers.insert(screens->controllerOf(sharer));
    controllers.insert(screens->ownController());
    QVector<ClientEntry> entries;
    entries.reserve(members.size());
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        ClientStatus status = readClientStatus(it.key());
        status.sharing =
            it.key() == client->ownClientID() ? screens->isSharing() : sharers.contains(it.key());
        status.controlling = controllers.contains(it.key());
        entries.append(ClientEntry{it.value(), channel, status, it.key()});
    }
    d->model->setClients(entries);
    // The title carries the head count and is written when the widget paints.
    update();
}

void MeetingWidget::invite()
{
    QStringList names = TsSDKClient::instance()->clientList().values();
    for (const ClientEntry& member : d->model->clients())
        names.removeOne(member.nickname);
    if (names.isEmpty())
        return;
    bool ok = false;
    const QStringList selected = GetSelectDialog::getSelectItems(
        this, tr("Invite."), tr("Please select the member you want to invite:"), names, &ok);
    if (ok)
        sendMeetingInvitations(selected);
}

void MeetingWidget::focusChat()
{
    d->ui.chatWidget->focusEditor();
}

void MeetingWidget::onLogerMessage(const QString& messag, QtMsgType type)
{
    d->ui.chatWidget->onLogerMessage(messag, type);
}

void MeetingWidget::paintEvent(QPaintEvent* event)
{
    // The title follows the channel and the head count at every repaint.
    QString title;
    if (TsSDKClient* client = TsSDKClient::instance())
        title = meetingShortName(client->currentChannelName());
    d->ui.labelTitle->setText(
        QStringLiteral("    %1(%2)").arg(title).arg(d->model->clients().size()));
    QWidget::paintEvent(event);
}

void MeetingWidget::onClicked(const QModelIndex& index)
{
    if (index.data(ClientListModel::IsExtraRole).toBool() &&
        index.data(ClientListModel::ExtraIdRole).toString() == QLatin1String("Invite")) {
        qDebug() << "Invite";
        invite();
        return;
    }
    // A member who shares: their screen, opened again if it was closed.
    if (index.data(ClientListModel::SharingRole).toBool()) {
        const quint16 member = index.data(ClientListModel::ClientIdRole).value<quint16>();
        if (member != TsSDKClient::instance()->ownClientID())
            d->ui.chatWidget->screenSession()->openViewer(member);
    }
}

void sendMeetingInvitations(const QStringList& names, const QString& channelName)
{
    if (names.isEmpty())
        return;
    TsSDKClient* client = TsSDKClient::instance();
    MessagePackage package;
    package.setRequest(
        QJsonObject{{QStringLiteral("channel_name"),
                     channelName.isEmpty() ? client->currentChannelName() : channelName}});
    const QString sender = client->nickname();
    for (const QString& name : names) {
        ChatMessage message(MeetingRequest);
        message.info.setTime(QDateTime::currentDateTimeUtc());
        message.info.setSender(sender);
        message.info.setReceiver(name);
        message.package = package;
        const QString text = QString::fromUtf8(serializeMessages(message).toBase64(base64Options));
        anyID receiver = 0;
        if (!name.isEmpty() && client->sdk()->getClientIdByName(name, &receiver) != ERROR_ok)
            receiver = 0;
        client->sendTextMessage(receiver, text);
    }
}

} // namespace MeetingSupport
