// SPDX-License-Identifier: MIT
#pragma once

#include "chat/filetransfer.h"

#include <QJsonArray>
#include <QStringList>
#include <QWidget>

namespace MeetingSupport {

class FileWidgetPrivate;
class FilesModel;

// The window with a room's shared files: the list with name, size and completion, uploads by
// button or by dropping files, downloads into a chosen folder, deletions after a question, and
// the transfers while they run. It moves no file itself: it asks by its signals and shows what
// the chat engine reports.
class FileWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FileWidget(QWidget* parent = nullptr);
    ~FileWidget() override;

    FilesModel* model() const;

signals:
    void uploadFiles(const QStringList& files);
    void downloadFiles(const QStringList& files, const QString& saveDir);
    void deleteFiles(const QStringList& filenames);

public slots:
    void updateFiles(const QJsonArray& json);
    // Shows a transfer starting, moving on, completing or failing.
    void updateTransfer(const MeetingSupport::FileTransfer& transfer);

private slots:
    void on_uploadButton_clicked();
    void on_downloadButton_clicked();
    void on_deleteButton_clicked();

private:
    FileWidgetPrivate* d;
    friend class FileWidgetPrivate;
};

} // namespace MeetingSupport
