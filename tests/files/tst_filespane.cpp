// SPDX-License-Identifier: MIT
// The shared-files pane offscreen: the model's texts, the form, the upload, download and
// delete dialogs with "history/last-directory", the buttons following the selection, drops,
// and transfers shown while they run and when they fail.
#include "files/filesmodel.h"
#include "files/filesview.h"
#include "files/filewidget.h"
#include "widgethelpers.h"

#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace MeetingSupport;

namespace {

QJsonObject entry(const QString& name, const QString& size, const QString& incomplete = "0")
{
    return {{"file_name", name}, {"file_size", size}, {"incomplete_size", incomplete}};
}

template <typename T> T* child(QWidget* widget, const char* name)
{
    T* found = widget->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

} // namespace

class TestFilesPane : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        QSettings().clear();
    }

    void cellTexts_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("incomplete");
        QTest::addColumn<QString>("sizeText");
        QTest::addColumn<QString>("completeText");
        QTest::newRow("1023 bytes") << "1023"
                                    << "0"
                                    << "1023 B"
                                    << "";
        QTest::newRow("1 KiB") << "1024"
                               << "0"
                               << "1 K"
                               << "";
        QTest::newRow("just below 1 MiB") << "1048575"
                                          << "0"
                                          << "1023 K"
                                          << "";
        QTest::newRow("1 MiB") << "1048576"
                               << "0"
                               << "1 M"
                               << "";
        QTest::newRow("5 GB") << "5000000000"
                              << "0"
                              << "4768 M"
                              << "";
        QTest::newRow("a quarter missing") << "1000"
                                           << "250"
                                           << "1000 B"
                                           << "75%";
        QTest::newRow("all missing") << "1000"
                                     << "1000"
                                     << "1000 B"
                                     << "0%";
        QTest::newRow("more missing than all") << "10"
                                               << "99"
                                               << "10 B"
                                               << "0%";
        QTest::newRow("empty yet missing") << "0"
                                           << "5"
                                           << "0 B"
                                           << "0%";
        QTest::newRow("largest size") << "18446744073709551615"
                                      << "1"
                                      << "17592186044415 M"
                                      << "99%";
        QTest::newRow("number not a string") << ""
                                             << ""
                                             << "0 B"
                                             << "";
        QTest::newRow("no number") << "12abc"
                                   << "-3"
                                   << "0 B"
                                   << "";
    }

    void cellTexts()
    {
        QFETCH(QString, size);
        QFETCH(QString, incomplete);
        QFETCH(QString, sizeText);
        QFETCH(QString, completeText);
        QJsonObject object = entry(QStringLiteral("f"), size, incomplete);
        if (size.isEmpty())
            object.insert(QStringLiteral("file_size"), 1234); // a JSON number is no size
        FilesModel model;
        model.updateFiles({object});
        QCOMPARE(model.index(0, 1).data().toString(), sizeText);
        QCOMPARE(model.index(0, 2).data().toString(), completeText);
    }

    void modelShape()
    {
        FilesModel model;
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        model.updateFiles({entry("a", "1"), QJsonValue(42), entry("c", "3")});
        QCOMPARE(resets.size(), 1);
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.columnCount(), 3);
        QCOMPARE(model.index(1, 0).data().toString(), QString()); // not an object: an empty row
        QVERIFY(!model.index(3, 0).isValid());
        QVERIFY(!model.index(0, 0, model.index(0, 0)).isValid());
        QCOMPARE(model.rowCount(model.index(0, 0)), 0);
        QVERIFY(!model.parent(model.index(2, 2)).isValid());
        QCOMPARE(model.index(0, 0).data(Qt::DecorationRole), QVariant());
        QStringList headers;
        QList<int> alignments;
        for (int section = 0; section < 3; ++section) {
            headers << model.headerData(section, Qt::Horizontal).toString();
            alignments << model.headerData(section, Qt::Horizontal, Qt::TextAlignmentRole).toInt();
        }
        QCOMPARE(headers, (QStringList{"Name", "Size", "Complete"}));
        QCOMPARE(alignments, (QList<int>{Qt::AlignLeft, Qt::AlignRight, Qt::AlignCenter}));
        QCOMPARE(model.headerData(3, Qt::Horizontal), QVariant());
        QCOMPARE(model.headerData(0, Qt::Vertical), QVariant());
    }

    void formAndSelection()
    {
        FileWidget pane;
        QCOMPARE(pane.objectName(), QStringLiteral("SendFileWidget"));
        QCOMPARE(pane.windowTitle(), QStringLiteral("Send File"));
        QVERIFY(pane.windowFlags() & Qt::Window);
        QCOMPARE(pane.size(), QSize(436, 412));
        auto* upload = child<QPushButton>(&pane, "uploadButton");
        auto* download = child<QPushButton>(&pane, "downloadButton");
        auto* remove = child<QPushButton>(&pane, "deleteButton");
        QCOMPARE((QStringList{upload->text(), download->text(), remove->text()}),
                 (QStringList{"Upload", "Download", "Delete"}));
        QVERIFY(showsIcon(download->icon(), ":/qml/images/download.png"));
        QCOMPARE(remove->iconSize(), QSize(20, 20));
        QVERIFY(upload->isEnabled() && !download->isEnabled() && !remove->isEnabled());
        auto* view = child<FilesView>(&pane, "filesView");
        QVERIFY(view->acceptDrops() && view->dragDropMode() == QAbstractItemView::DropOnly);
        QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);

        pane.updateFiles({entry("a.txt", "1"), entry("b.txt", "2"), entry("c.txt", "3")});
        QItemSelectionModel* selection = view->selectionModel();
        selection->select(pane.model()->index(0, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection->select(pane.model()->index(2, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(download->isEnabled() && remove->isEnabled());
        QStringList names;
        QCOMPARE(view->selectedFiles(&names), 2);
        QCOMPARE(names, (QStringList{"a.txt", "c.txt"}));
        // A change that only deselects disables both, though a row stays selected.
        selection->select(pane.model()->index(0, 0),
                          QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        QCOMPARE(view->selectedFiles(), 1);
        QVERIFY(!download->isEnabled() && !remove->isEnabled());
        // A new list clears the selection; the buttons keep their state until the next change.
        selection->select(pane.model()->index(1, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        pane.updateFiles({entry("d.txt", "4")});
        QCOMPARE(view->selectedFiles(), 0);
        QVERIFY(download->isEnabled());
    }

    void dialogs()
    {
        FileWidget pane;
        QSignalSpy uploads(&pane, &FileWidget::uploadFiles);
        QSignalSpy downloads(&pane, &FileWidget::downloadFiles);
        QSignalSpy deletes(&pane, &FileWidget::deleteFiles);
        const QString temp = m_dir.filePath("Temp");
        QVERIFY(QDir().mkpath(temp));
        QFile(temp + "/up.bin").open(QIODevice::WriteOnly);

        // Download: the typed name only chooses the folder.
        pane.updateFiles({entry("a.txt", "1"), entry("b.txt", "2")});
        child<QTreeView>(&pane, "filesView")->selectAll();
        QString proposed;
        onNextDialog([&](QDialog* dialog) {
            proposed = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
            answerNextFileDialog(temp + "/x.bin");
        });
        child<QPushButton>(&pane, "downloadButton")->click();
        QCOMPARE(proposed, QStringLiteral("a.txt"));
        QCOMPARE(downloads.size(), 1);
        QCOMPARE(downloads.at(0).at(0).toStringList(), (QStringList{"a.txt", "b.txt"}));
        QCOMPARE(downloads.at(0).at(1).toString(), temp);
        QCOMPARE(QSettings().value("history/last-directory").toString(), temp);

        // Upload starts in that folder; a cancel sends nothing.
        QString start;
        onNextDialog([&](QDialog* dialog) {
            start = static_cast<QFileDialog*>(dialog)->directory().absolutePath();
            dialog->reject();
        });
        child<QPushButton>(&pane, "uploadButton")->click();
        QCOMPARE(start, temp);
        answerNextFileDialog(temp + "/up.bin");
        child<QPushButton>(&pane, "uploadButton")->click();
        QCOMPARE(uploads.size(), 1);
        QCOMPARE(uploads.at(0).at(0).toStringList(), QStringList{temp + "/up.bin"});

        // Delete asks first: No sends nothing, Yes the selected names.
        MessageBoxAnswerer answers(QMessageBox::No);
        child<QPushButton>(&pane, "deleteButton")->click();
        QCOMPARE(answers.seen,
                 QStringList{"Delete File(s): Are you sure you want to delete 2 file(s)?"});
        QVERIFY(deletes.isEmpty());
        auto* view = child<QTreeView>(&pane, "filesView");
        view->clearSelection();
        view->setCurrentIndex(pane.model()->index(1, 0));
        answers.setAnswer(QMessageBox::Yes);
        child<QPushButton>(&pane, "deleteButton")->click();
        QCOMPARE(answers.seen.last(),
                 QStringLiteral("Delete File(s): Are you sure you want to delete \"b.txt\"?"));
        QCOMPARE(deletes.size(), 1);
        QCOMPARE(deletes.at(0).at(0).toStringList(), QStringList{"b.txt"});
    }

    void drops()
    {
        FileWidget pane;
        QSignalSpy uploads(&pane, &FileWidget::uploadFiles);
        auto* view = child<FilesView>(&pane, "filesView");
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile("/tmp/one.txt"), QUrl::fromLocalFile("/tmp/two.txt"),
                       QUrl("https://example.org/page")});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &files, Qt::LeftButton, {});
        QApplication::sendEvent(view->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &files, Qt::LeftButton, {});
        QApplication::sendEvent(view->viewport(), &drop);
        QCOMPARE(uploads.size(), 1);
        QCOMPARE(uploads.at(0).at(0).toStringList(), (QStringList{"/tmp/one.txt", "/tmp/two.txt"}));

        QMimeData text;
        text.setText(QStringLiteral("no files here"));
        QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, {});
        refused.setAccepted(false);
        QApplication::sendEvent(view->viewport(), &refused);
        QVERIFY(!refused.isAccepted());
    }

    void transfersShown()
    {
        FileWidget pane;
        auto* transfers = child<QTreeWidget>(&pane, "transfersView");
        auto* status = child<QLabel>(&pane, "transferStatusLabel");
        QVERIFY(transfers->isHidden() && status->isHidden());
        FileTransfer big;
        big.id = 7;
        big.name = QStringLiteral("big.bin");
        pane.updateTransfer(big); // size not known yet
        big.size = 1000;
        big.done = 420;
        pane.updateTransfer(big);
        QVERIFY(!transfers->isHidden());
        QCOMPARE(transfers->topLevelItemCount(), 1);
        QTreeWidgetItem* row = transfers->topLevelItem(0);
        auto* bar = qobject_cast<QProgressBar*>(transfers->itemWidget(row, 2));
        QVERIFY(bar);
        QCOMPARE(bar->value(), 42);
        QCOMPARE(row->text(1), QStringLiteral("Download"));

        FileTransfer up;
        up.id = 8;
        up.name = QStringLiteral("<b>up</b>.txt");
        up.upload = true;
        pane.updateTransfer(up);
        up.state = FileTransfer::Failed;
        up.error = QStringLiteral("file quota exceeded");
        pane.updateTransfer(up);
        big.state = FileTransfer::Complete;
        pane.updateTransfer(big);
        QCOMPARE(transfers->topLevelItemCount(), 2);
        QCOMPARE(row->text(2), QStringLiteral("Done"));
        QVERIFY(!transfers->itemWidget(row, 2));
        QCOMPARE(transfers->topLevelItem(1)->text(2), QStringLiteral("Failed"));
        QVERIFY(!status->isHidden());
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QCOMPARE(status->text(),
                 QStringLiteral("Upload of \"<b>up</b>.txt\" failed: file quota exceeded"));
        // The next request starts with a clean line; finished rows stay, but not without end.
        emit child<FilesView>(&pane, "filesView")->uploadFiles({"/tmp/x"});
        QVERIFY(status->isHidden());
        for (quint16 id = 100; id < 130; ++id) {
            FileTransfer done;
            done.id = id;
            done.state = FileTransfer::Complete;
            pane.updateTransfer(done);
        }
        QCOMPARE(transfers->topLevelItemCount(), 20);
    }
};

QTEST_MAIN(TestFilesPane)
#include "tst_filespane.moc"
