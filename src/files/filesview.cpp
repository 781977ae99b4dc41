// SPDX-License-Identifier: MIT
#include "filesview.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <algorithm>

namespace MeetingSupport {

namespace {

bool carriesUrls(const QMimeData* data)
{
    if (!data)
        return false;
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.cbegin(), urls.cend(), [](const QUrl& url) { return !url.isEmpty(); });
}

} // namespace

FilesView::FilesView(QWidget* parent) : QTreeView(parent)
{
    setAcceptDrops(true);
}

int FilesView::selectedFiles(QStringList* names) const
{
    if (!selectionModel())
        return 0;
    const QModelIndexList rows = selectionModel()->selectedRows(0);
    if (names) {
        for (const QModelIndex& row : rows)
            names->append(row.data(Qt::DisplayRole).toString());
    }
    return rows.size();
}

void FilesView::slotNewSelection(const QItemSelection& selected)
{
    emit filesSelected(!selected.isEmpty());
}

void FilesView::dragEnterEvent(QDragEnterEvent* event)
{
    if (carriesUrls(event->mimeData()))
        event->acceptProposedAction();
}

void FilesView::dragMoveEvent(QDragMoveEvent* event)
{
    if (carriesUrls(event->mimeData()))
        event->acceptProposedAction();
}

void FilesView::dropEvent(QDropEvent* event)
{
    if (!event->mimeData())
        return;
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        // A web address or other remote URL names no file here to send.
        if (path.isEmpty())
            qDebug().noquote() << "Not a local file, not uploaded:" << url.toString();
        else
            files << path;
    }
    event->acceptProposedAction();
    if (!files.isEmpty())
        emit uploadFiles(files);
}

void FilesView::mousePressEvent(QMouseEvent* event)
{
    QTreeView::mousePressEvent(event);
}

} // namespace MeetingSupport
