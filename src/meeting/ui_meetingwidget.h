// SPDX-License-Identifier: MIT
#pragma once

#include "chat/chatwidget.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The meeting view form: the title line above the chat pane and the member tiles.
class MeetingWidget
{
public:
    QVBoxLayout* verticalLayout;
    QLabel* labelTitle;
    QHBoxLayout* horizontalLayout;
    QSplitter* splitter;
    QTabWidget* viewerTabs;
    MeetingSupport::ChatWidget* chatWidget;
    QListView* listView;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("MeetingWidget"));
        widget->resize(783, 541);

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        verticalLayout->setContentsMargins(0, 0, 0, 0);

        labelTitle = new QLabel(widget);
        labelTitle->setObjectName(QStringLiteral("labelTitle"));
        labelTitle->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed));
        QFont font;
        font.setPixelSize(18);
        labelTitle->setFont(font);
        // The title carries a channel name someone else chose: never markup.
        labelTitle->setTextFormat(Qt::PlainText);
        verticalLayout->addWidget(labelTitle);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        // Shared screens above the chat, shown while there are any.
        splitter = new QSplitter(Qt::Vertical, widget);
        splitter->setObjectName(QStringLiteral("splitter"));
        splitter->setChildrenCollapsible(false);
        viewerTabs = new QTabWidget(splitter);
        viewerTabs->setObjectName(QStringLiteral("viewerTabs"));
        viewerTabs->setDocumentMode(true);
        viewerTabs->setTabBarAutoHide(true);
        viewerTabs->hide();
        splitter->addWidget(viewerTabs);
        chatWidget = new MeetingSupport::ChatWidget(splitter);
        chatWidget->setObjectName(QStringLiteral("chatWidget"));
        // Narrower than the pane's own minimum, so that the meeting fits the main window's
        // design width instead of widening it.
        chatWidget->setMinimumWidth(400);
        // Lower than its own minimum too, so that a shared screen above it gets the room.
        chatWidget->setMinimumHeight(240);
        splitter->addWidget(chatWidget);
        splitter->setStretchFactor(0, 3);
        splitter->setStretchFactor(1, 2);
        horizontalLayout->addWidget(splitter);

        listView = new QListView(widget);
        listView->setObjectName(QStringLiteral("listView"));
        listView->setSizePolicy(QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding));
        listView->setMinimumWidth(200);
        listView->setMaximumWidth(200);
        listView->setFrameShape(QFrame::NoFrame);
        listView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        listView->setResizeMode(QListView::Adjust);
        listView->setLayoutMode(QListView::Batched);
        listView->setViewMode(QListView::IconMode);
        listView->setUniformItemSizes(true);
        listView->setWordWrap(true);
        listView->setSpacing(4);
        horizontalLayout->addWidget(listView);
        verticalLayout->addLayout(horizontalLayout);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        widget->setWindowTitle(
            QCoreApplication::translate("MeetingSupport::MeetingWidget", "Meeting Chat"));
        viewerTabs->setAccessibleName(
            QCoreApplication::translate("MeetingSupport::MeetingWidget", "Shared screens"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
