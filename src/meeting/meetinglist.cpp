// SPDX-License-Identifier: MIT
#include "meetinglist.h"

#include "listsetup.h"
#include "meetinglistmodel.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_meetinglist.h"

#include <QApplication>
#include <QDebug>
#include <QInputDialog>
#include <QMenu>
#include <QMutex>
#include <QMutexLocker>
#include <QPixmap>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QTimer>

namespace MeetingSupport {

namespace {

// With uniform item sizes the view sizes every tile like its last one, the one-line "New
// Meeting" tile in the default font; meeting tiles carry two lines in a larger font. Every tile
// gets room for the larger picture and two such lines.
class MeetingTileDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        QFont font = option.font;
        font.setPixelSize(18);
        const QFontMetrics metrics(font);
        const QSize picture = QPixmap(QStringLiteral(":/images/room.png")).size();
        size.setWidth(
            qMax(size.width(), qMax(picture.width(), metrics.averageCharWidth() * 12) + 8));
        size.setHeight(qMax(size.height(), picture.height() + 2 * metrics.lineSpacing() + 12));
        return size;
    }

protected:
    // A long name is cut on its own line, so the head count below it always shows.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->rect.width() <= 0)
            return; // measuring, not painting
        // Below its picture the text has the tile's width, less the style's text margins.
        const QStyle* style = option->widget ? option->widget->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, option, option->widget);
        option->text = elideTileText(option->text, QFontMetrics(option->font),
                                     option->rect.width() - 2 * (margin + 1) - 2);
    }
};

} // namespace

class MeetingListPrivate
{
public:
    explicit MeetingListPrivate(MeetingList* q) : q(q) {}

    Ui::MeetingList ui;
    QTimer timer;
    QMutex mutex;
    MeetingListModel* model = nullptr;
    QSortFilterProxyModel* proxy = nullptr;
    MeetingList* q;
};

MeetingList::MeetingList(QWidget* parent) : QWidget(parent), d(new MeetingListPrivate(this))
{
    d->ui.setupUi(this);
    d->model = new MeetingListModel(this);
    d->model->appendExtraItem(MeetingListModel::newMeetingItem());
    d->proxy = showThroughProxy(d->ui.listView, d->model);
    d->ui.listView->setItemDelegate(new MeetingTileDelegate(d->ui.listView));

    QListView* view = d->ui.listView;
    // Focus given to the list lands on its tiles.
    setFocusProxy(view);
    view->setAccessibleName(tr("Meetings"));
    connect(view, &QListView::clicked, this, &MeetingList::onClicked);
    connect(view, &QListView::doubleClicked, this, &MeetingList::onDoubleClicked);
    connect(view, &QListView::customContextMenuRequested, this, &MeetingList::onContextMenu);
    TsSDKClient* client = TsSDKClient::instance();
    connect(client, &TsSDKClient::onNewChannelEvent, this, &MeetingList::refresh);
    connect(client, &TsSDKClient::onNewChannelCreatedEvent, this, &MeetingList::refresh);
    connect(client, &TsSDKClient::onDelChannelEvent, this, &MeetingList::refresh);
    // Every move changes a head count.
    connect(client, &TsSDKClient::onClientMoveEvent, this, &MeetingList::refresh);
    connect(client, &TsSDKClient::onClientMoveMovedEvent, this, &MeetingList::refresh);
    connect(client, &TsSDKClient::onClientMoveTimeoutEvent, this, &MeetingList::refresh);
    startRefreshing(this, &d->timer, &MeetingList::refresh);
}

MeetingList::~MeetingList()
{
    delete d;
}

void MeetingList::refresh()
{
    QMutexLocker locker(&d->mutex);
    const QMap<quint64, QString> channels = TsSDKClient::instance()->channelList();
    QList<QJsonObject> meetings;
    for (const QString& name : channels) {
        if (name.startsWith(MeetingPrefix))
            meetings << QJsonObject{{QStringLiteral("CHANNEL_NAME"), name}};
    }
    if (!d->model->setMeetings(meetings))
        d->model->updateCounts();
    d->timer.start();
}

QStringList MeetingList::meetingNames() const
{
    QStringList names;
    for (const QJsonObject& meeting : d->model->meetings())
        names << meeting.value(QStringLiteral("CHANNEL_NAME")).toString();
    return names;
}

void MeetingList::onClicked(const QModelIndex& index)
{
    const QModelIndex source = d->proxy->mapToSource(index);
    emit requestJoinMeeting(source.data(MeetingListModel::ChannelNameRole).toString());
}

void MeetingList::onDoubleClicked(const QModelIndex& index)
{
    const QModelIndex source = d->proxy->mapToSource(index);
    if (source.data(MeetingListModel::IsExtraRole).toBool() &&
        source.data(MeetingListModel::ExtraIdRole).toString() == QLatin1String("New Meeting")) {
        qDebug() << "NewMeeting";
        newMeeting();
    }
}

void MeetingList::newMeeting()
{
    bool ok = false;
    const QString text =
        QInputDialog::getText(this, tr("New Meeting."), tr("Please input meeting name:"),
                              QLineEdit::Normal, QString(), &ok);
    if (ok)
        createMeeting(text);
}

void MeetingList::createMeeting(const QString& name)
{
    if (name.isEmpty())
        return;
    const QString full = MeetingPrefix + name;
    TsSDKClient* client = TsSDKClient::instance();
    if (client->channelList().values().contains(full))
        return;
    if (client->sdk()->createChannel(full, QString()) == 0) {
        // The server's file area of the meeting; the voice client moves us into the channel
        // when the server reports it.
        client->requestCreateDirectory(QLatin1Char('/') + full);
        client->requestCreateDirectory(QLatin1Char('/') + full + QStringLiteral("/files"));
    } else {
        qDebug().noquote() << QStringLiteral("Error: Create Meeting Channel: %1").arg(name);
    }
    refresh();
}

void MeetingList::deleteMeetings(const QStringList& names)
{
    TsSDKClient* client = TsSDKClient::instance();
    for (const QString& name : names) {
        if (!client->deleteChannel(name))
            qDebug().noquote() << QStringLiteral("Error: Delete Meeting Channel: %1").arg(name);
    }
    refresh();
}

void MeetingList::onContextMenu(const QPoint& pos)
{
    QListView* view = d->ui.listView;
    const QModelIndex index = view->indexAt(pos);
    if (!index.isValid() || index.data(MeetingListModel::IsExtraRole).toBool())
        return;
    const QString name = index.data(MeetingListModel::ChannelNameRole).toString();
    // No parent: the menu must not be deleted under its own exec() if this list goes first.
    QMenu menu;
    QAction* join = menu.addAction(tr("Join"));
    QAction* remove = menu.addAction(tr("Delete"));
    connect(join, &QAction::triggered, this, [this, name] { emit requestJoinMeeting(name); });
    connect(remove, &QAction::triggered, this, [this, name] { deleteMeetings({name}); });
    menu.exec(view->viewport()->mapToGlobal(pos));
}

} // namespace MeetingSupport
