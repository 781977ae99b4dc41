// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QListView>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The supporter list form: one plain list view filling the widget.
class SupporterList
{
public:
    QVBoxLayout* verticalLayout;
    QListView* listView;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("SupporterList"));
        widget->resize(279, 441);

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        verticalLayout->setContentsMargins(0, 0, 0, 0);

        listView = new QListView(widget);
        listView->setObjectName(QStringLiteral("listView"));
        listView->setFrameShape(QFrame::NoFrame);
        verticalLayout->addWidget(listView);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        widget->setWindowTitle(
            QCoreApplication::translate("MeetingSupport::SupporterList", "Supporter List"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
