// SPDX-License-Identifier: MIT
#include "filewidget.h"

#include "filesmodel.h"
#include "ui_filewidget.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMap>
#include <QMessageBox>
#include <QProgressBar>
#include <QSettings>
#include <QTextDocument>

#include <algorithm>

namespace MeetingSupport {

namespace {

const QString LastDirectoryKey = QStringLiteral("history/last-directory");
// Finished transfers stay listed as a record, up to this many rows in all.
constexpr int MaxTransferRows = 20;
constexpr int MaxStatusLines = 3;

QString lastDirectory()
{
    return QSettings().value(LastDirectoryKey, QDir::homePath()).toString();
}

} // namespace

class FileWidgetPrivate
{
public:
    explicit FileWidgetPrivate(FileWidget* q) : q(q) {}

    QTreeWidgetItem* rowFor(const FileTransfer& transfer);
    void showProgress(QTreeWidgetItem* row, const FileTransfer& transfer);
    void showEnd(QTreeWidgetItem* row, const FileTransfer& transfer);
    void dropOldRows();
    void addStatusLine(const QString& line);
    void clearStatus();

    FilesModel* model = nullptr;
    Ui::SendFileWidget ui;
    // Rows of transfers that are running, by transfer ID.
    QMap<quint16, QTreeWidgetItem*> running;
    QStringList statusLines;
    FileWidget* q;
};

QTreeWidgetItem* FileWidgetPrivate::rowFor(const FileTransfer& transfer)
{
    if (transfer.id != 0) {
        if (QTreeWidgetItem* row = running.value(transfer.id))
            return row;
    }
    auto* row = new QTreeWidgetItem(ui.transfersView);
    row->setText(0, transfer.name);
    row->setText(1, transfer.upload ? FileWidget::tr("Upload") : FileWidget::tr("Download"));
    row->setToolTip(0, Qt::convertFromPlainText(QDir::toNativeSeparators(transfer.folder)));
    if (transfer.id != 0 && transfer.state == FileTransfer::Running)
        running.insert(transfer.id, row);
    dropOldRows();
    ui.transfersView->show();
    return row;
}

void FileWidgetPrivate::showProgress(QTreeWidgetItem* row, const FileTransfer& transfer)
{
    auto* bar = qobject_cast<QProgressBar*>(ui.transfersView->itemWidget(row, 2));
    if (!bar) {
        bar = new QProgressBar();
        bar->setObjectName(QStringLiteral("transferProgress"));
        bar->setTextVisible(true);
        ui.transfersView->setItemWidget(row, 2, bar);
    }
    const int percent = transfer.percent();
    if (percent < 0) {
        bar->setRange(0, 0); // size not known yet: busy
    } else {
        bar->setRange(0, 100);
        bar->setValue(percent);
    }
    row->setText(2, percent < 0 ? QString() : FileWidget::tr("%1%").arg(percent));
}

void FileWidgetPrivate::showEnd(QTreeWidgetItem* row, const FileTransfer& transfer)
{
    running.remove(transfer.id);
    ui.transfersView->removeItemWidget(row, 2);
    if (transfer.state == FileTransfer::Complete) {
        row->setText(2, FileWidget::tr("Done"));
        return;
    }
    row->setText(2, FileWidget::tr("Failed"));
    row->setToolTip(2, Qt::convertFromPlainText(transfer.error));
    for (int column = 0; column < 3; ++column)
        row->setForeground(column, QColor(0xFF, 0x30, 0x30));
    addStatusLine(
        transfer.upload
            ? FileWidget::tr("Upload of \"%1\" failed: %2").arg(transfer.name, transfer.error)
            : FileWidget::tr("Download of \"%1\" failed: %2").arg(transfer.name, transfer.error));
}

void FileWidgetPrivate::dropOldRows()
{
    QTreeWidget* view = ui.transfersView;
    for (int i = 0; view->topLevelItemCount() > MaxTransferRows && i < view->topLevelItemCount();) {
        QTreeWidgetItem* row = view->topLevelItem(i);
        if (std::find(running.cbegin(), running.cend(), row) != running.cend()) {
            ++i; // a running one stays
            continue;
        }
        delete view->takeTopLevelItem(i);
    }
}

void FileWidgetPrivate::addStatusLine(const QString& line)
{
    statusLines << line;
    while (statusLines.size() > MaxStatusLines)
        statusLines.removeFirst();
    ui.transferStatusLabel->setText(statusLines.join(QLatin1Char('\n')));
    ui.transferStatusLabel->show();
}

void FileWidgetPrivate::clearStatus()
{
    statusLines.clear();
    ui.transferStatusLabel->clear();
    ui.transferStatusLabel->hide();
}

FileWidget::FileWidget(QWidget* parent) : QWidget(parent), d(new FileWidgetPrivate(this))
{
    d->model = new FilesModel(this);
    d->ui.setupUi(this);
    setWindowFlags(windowFlags() | Qt::Window);
    d->ui.filesView->setModel(d->model);
    // Names get the room; the numbers take what they need. (The columns exist with the model.)
    QHeaderView* header = d->ui.filesView->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    connect(d->ui.filesView, &FilesView::uploadFiles, this, &FileWidget::uploadFiles);
    connect(d->ui.filesView->selectionModel(), &QItemSelectionModel::selectionChanged,
            d->ui.filesView, &FilesView::slotNewSelection);
    connect(d->ui.filesView, &FilesView::filesSelected, d->ui.deleteButton, &QWidget::setEnabled);
    connect(d->ui.filesView, &FilesView::filesSelected, d->ui.downloadButton, &QWidget::setEnabled);
    // A new request starts with a clean line: what it shows is about the latest one.
    connect(this, &FileWidget::uploadFiles, this, [this] { d->clearStatus(); });
    connect(this, &FileWidget::downloadFiles, this, [this] { d->clearStatus(); });
}

FileWidget::~FileWidget()
{
    delete d;
}

FilesModel* FileWidget::model() const
{
    return d->model;
}

void FileWidget::updateFiles(const QJsonArray& json)
{
    d->model->updateFiles(json);
}

void FileWidget::updateTransfer(const FileTransfer& transfer)
{
    QTreeWidgetItem* row = d->rowFor(transfer);
    if (transfer.state == FileTransfer::Running)
        d->showProgress(row, transfer);
    else
        d->showEnd(row, transfer);
}

void FileWidget::on_uploadButton_clicked()
{
    QFileDialog dialog(this, tr("Select File"), lastDirectory());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return;
    QSettings().setValue(LastDirectoryKey, QFileInfo(files.first()).absolutePath());
    emit uploadFiles(files);
}

void FileWidget::on_downloadButton_clicked()
{
    QStringList names;
    if (d->ui.filesView->selectedFiles(&names) == 0)
        return;
    const QDir last(lastDirectory());
    QString answer =
        QFileDialog::getSaveFileName(this, tr("Save File"), last.filePath(names.first()));
    if (answer.isEmpty())
        return;
    answer = QDir::toNativeSeparators(answer);
    // The name typed only chooses the folder: every file keeps its own name.
    const QString folder = QFileInfo(answer).absolutePath();
    QSettings().setValue(LastDirectoryKey, folder);
    emit downloadFiles(names, folder);
}

void FileWidget::on_deleteButton_clicked()
{
    QStringList names;
    const int count = d->ui.filesView->selectedFiles(&names);
    if (names.isEmpty())
        return;
    const QString question = count == 1
                                 ? tr("Are you sure you want to delete \"%1\"?").arg(names.first())
                                 : tr("Are you sure you want to delete %1 file(s)?").arg(count);
    // The names come from other users: shown as they are, never read as markup.
    QMessageBox box(QMessageBox::Information, tr("Delete File(s)"), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    if (box.exec() != QMessageBox::Yes)
        return;
    emit deleteFiles(names);
}

} // namespace MeetingSupport
