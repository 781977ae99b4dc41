// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QListView>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The meeting list form: one icon-mode list view filling the widget.
class MeetingList
{
public:
    QVBoxLayout* verticalLayout;
    QListView* listView;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("MeetingList"));
        widget->resize(319, 431);

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        verticalLayout->setContentsMargins(0, 0, 0, 0);

        listView = new QListView(widget);
        listView->setObjectName(QStringLiteral("listView"));
        listView->setFrameShape(QFrame::NoFrame);
        listView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        listView->setResizeMode(QListView::Adjust);
        listView->setLayoutMode(QListView::Batched);
        listView->setViewMode(QListView::IconMode);
        listView->setUniformItemSizes(true);
        listView->setWordWrap(true);
        listView->setSpacing(4);
        listView->setContextMenuPolicy(Qt::CustomContextMenu);
        verticalLayout->addWidget(listView);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        widget->setWindowTitle(
            QCoreApplication::translate("MeetingSupport::MeetingList", "MeetingList"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
