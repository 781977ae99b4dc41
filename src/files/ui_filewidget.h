// SPDX-License-Identifier: MIT
#pragma once

#include "filesview.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace MeetingSupport {
namespace Ui {

// The shared-files form: a label, the list, the running transfers with a line for failures,
// and the Upload, Download and Delete buttons.
class SendFileWidget
{
public:
    QVBoxLayout* verticalLayout;
    QLabel* channelLabel;
    FilesView* filesView;
    QTreeWidget* transfersView;
    QLabel* transferStatusLabel;
    QHBoxLayout* horizontalLayout;
    QPushButton* uploadButton;
    QPushButton* downloadButton;
    QPushButton* deleteButton;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("SendFileWidget"));
        widget->resize(436, 412);

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

        channelLabel = new QLabel(widget);
        channelLabel->setObjectName(QStringLiteral("channelLabel"));
        verticalLayout->addWidget(channelLabel);

        filesView = new FilesView(widget);
        filesView->setObjectName(QStringLiteral("filesView"));
        filesView->setAcceptDrops(true);
        filesView->setEditTriggers(QAbstractItemView::NoEditTriggers);
        filesView->setDragEnabled(false);
        filesView->setDragDropMode(QAbstractItemView::DropOnly);
        filesView->setAlternatingRowColors(true);
        filesView->setSelectionMode(QAbstractItemView::ExtendedSelection);
        filesView->setSelectionBehavior(QAbstractItemView::SelectRows);
        filesView->setIndentation(0);
        filesView->setRootIsDecorated(false);
        filesView->setItemsExpandable(false);
        filesView->setExpandsOnDoubleClick(false);
        verticalLayout->addWidget(filesView);

        // Hidden while there is nothing to show, so an idle pane is just its list.
        transfersView = new QTreeWidget(widget);
        transfersView->setObjectName(QStringLiteral("transfersView"));
        transfersView->setColumnCount(3);
        transfersView->setRootIsDecorated(false);
        transfersView->setIndentation(0);
        transfersView->setSelectionMode(QAbstractItemView::NoSelection);
        transfersView->setFocusPolicy(Qt::NoFocus);
        transfersView->setMaximumHeight(110);
        transfersView->header()->setStretchLastSection(false);
        transfersView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        transfersView->header()->setSectionResizeMode(0, QHeaderView::Stretch);
        transfersView->header()->setSectionResizeMode(2, QHeaderView::Fixed);
        transfersView->header()->resizeSection(2, 140);
        transfersView->hide();
        verticalLayout->addWidget(transfersView);

        transferStatusLabel = new QLabel(widget);
        transferStatusLabel->setObjectName(QStringLiteral("transferStatusLabel"));
        transferStatusLabel->setTextFormat(Qt::PlainText);
        transferStatusLabel->setWordWrap(true);
        transferStatusLabel->setStyleSheet(QStringLiteral("color: #FF3030;"));
        transferStatusLabel->hide();
        verticalLayout->addWidget(transferStatusLabel);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        uploadButton = new QPushButton(widget);
        uploadButton->setObjectName(QStringLiteral("uploadButton"));
        uploadButton->setIcon(QIcon(QStringLiteral(":/qml/images/upload.png")));
        uploadButton->setIconSize(QSize(20, 20));
        horizontalLayout->addWidget(uploadButton);
        downloadButton = new QPushButton(widget);
        downloadButton->setObjectName(QStringLiteral("downloadButton"));
        downloadButton->setEnabled(false);
        downloadButton->setIcon(QIcon(QStringLiteral(":/qml/images/download.png")));
        downloadButton->setIconSize(QSize(20, 20));
        horizontalLayout->addWidget(downloadButton);
        deleteButton = new QPushButton(widget);
        deleteButton->setObjectName(QStringLiteral("deleteButton"));
        deleteButton->setEnabled(false);
        deleteButton->setIcon(QIcon(QStringLiteral(":/qml/images/delete.png")));
        deleteButton->setIconSize(QSize(20, 20));
        horizontalLayout->addWidget(deleteButton);
        verticalLayout->addLayout(horizontalLayout);

        retranslateUi(widget);
        QMetaObject::connectSlotsByName(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* const context = "MeetingSupport::SendFileWidget";
        widget->setWindowTitle(QCoreApplication::translate(context, "Send File"));
        transfersView->setHeaderLabels({QCoreApplication::translate(context, "Transfer"),
                                        QCoreApplication::translate(context, "Direction"),
                                        QCoreApplication::translate(context, "Progress")});
        uploadButton->setToolTip(QCoreApplication::translate(context, "Upload"));
        uploadButton->setText(QCoreApplication::translate(context, "Upload"));
        downloadButton->setToolTip(QCoreApplication::translate(context, "Download"));
        downloadButton->setText(QCoreApplication::translate(context, "Download"));
        deleteButton->setToolTip(QCoreApplication::translate(context, "Delete"));
        deleteButton->setText(QCoreApplication::translate(context, "Delete"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
