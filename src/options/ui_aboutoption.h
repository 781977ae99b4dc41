// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The about page: name and build centred, the update check button below.
class AboutOption
{
public:
    QGridLayout* gridLayout;
    QLabel* label;
    QSpacerItem* horizontalSpacer;
    QPushButton* pushButtonChekUpdate;
    QSpacerItem* horizontalSpacer_2;
    QSpacerItem* verticalSpacer;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("AboutOption"));
        widget->resize(411, 298);
        widget->setWindowIcon(QIcon(QStringLiteral(":/images/about.png")));

        gridLayout = new QGridLayout(widget);
        gridLayout->setObjectName(QStringLiteral("gridLayout"));

        label = new QLabel(widget);
        label->setObjectName(QStringLiteral("label"));
        label->setAlignment(Qt::AlignCenter);
        gridLayout->addWidget(label, 0, 0, 1, 3);

        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        gridLayout->addItem(horizontalSpacer, 1, 0);
        pushButtonChekUpdate = new QPushButton(widget);
        pushButtonChekUpdate->setObjectName(QStringLiteral("pushButtonChekUpdate"));
        gridLayout->addWidget(pushButtonChekUpdate, 1, 1);
        horizontalSpacer_2 = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        gridLayout->addItem(horizontalSpacer_2, 1, 2);

        verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Fixed);
        gridLayout->addItem(verticalSpacer, 2, 0, 1, 3);
        // The name takes the room and stays in its middle.
        gridLayout->setRowStretch(0, 1);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* context = "MeetingSupport::AboutOption";
        widget->setWindowTitle(QCoreApplication::translate(context, "About"));
        pushButtonChekUpdate->setText(QCoreApplication::translate(context, "ChekUpdate"));
        label->setText(QStringLiteral("TextLabel"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
