// SPDX-License-Identifier: MIT
#pragma once

#include <QItemSelection>
#include <QStringList>
#include <QTreeView>

namespace MeetingSupport {

// The list of shared files; files dropped on it from the desktop are to be uploaded.
class FilesView : public QTreeView
{
    Q_OBJECT
public:
    explicit FilesView(QWidget* parent = nullptr);

    // The number of selected rows; their names (column 0) are appended to *names when given,
    // in the order the selection model lists them.
    int selectedFiles(QStringList* names = nullptr) const;

signals:
    void filesSelected(bool selected);
    void uploadFiles(const QStringList& files);

public slots:
    // Tells whether the last selection change selected anything.
    void slotNewSelection(const QItemSelection& selected);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace MeetingSupport
