// SPDX-License-Identifier: MIT
#pragma once

#include "chat/chatwidget.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
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
        chatWidget = new MeetingSupport::ChatWidget(widget);
        chatWidget->setObjectName(QStringLiteral("chatWidget"));
        // Narrower than the pane's own minimum, so that the meeting fits the main window's
        // design width instead of widening it.
        chatWidget->setMinimumWidth(400);
        horizontalLayout->addWidget(chatWidget);

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
    }
};

} // namespace Ui
} // namespace MeetingSupport
