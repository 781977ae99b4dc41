// SPDX-License-Identifier: MIT
#pragma once

#include "meeting/meetinglist.h"
#include "meeting/supporterlist.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace MeetingSupport {
namespace Ui {

// The main window's form, laid out as the designer form describes it.
class MainWindow
{
public:
    QWidget* centralWidget;
    QHBoxLayout* horizontalLayout;
    QWidget* widget;
    QVBoxLayout* verticalLayout;
    QToolButton* toolButtonStartMeeting;
    QSpacerItem* verticalSpacer;
    QToolButton* toolButtonSetting;
    SupporterList* supporterList;
    QStackedWidget* stackedWidget;
    MeetingList* meetingList;

    void setupUi(QMainWindow* window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName(QStringLiteral("MainWindow"));
        window->resize(849, 504);
        window->setWindowIcon(QIcon(QStringLiteral(":/images/meeting.png")));

        centralWidget = new QWidget(window);
        centralWidget->setObjectName(QStringLiteral("centralWidget"));
        centralWidget->setPalette(solidPalette(centralWidget->palette(), QColor(255, 255, 255)));

        horizontalLayout = new QHBoxLayout(centralWidget);
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        horizontalLayout->setSpacing(0);
        horizontalLayout->setContentsMargins(0, 0, 0, 0);

        widget = new QWidget(centralWidget);
        widget->setObjectName(QStringLiteral("widget"));
        widget->setPalette(solidPalette(widget->palette(), QColor(105, 105, 105)));
        widget->setAutoFillBackground(true);
        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        verticalLayout->setSpacing(6);
        verticalLayout->setContentsMargins(6, 6, 6, 6);

        toolButtonStartMeeting = new QToolButton(widget);
        toolButtonStartMeeting->setObjectName(QStringLiteral("toolButtonStartMeeting"));
        toolButtonStartMeeting->setIcon(QIcon(QStringLiteral(":/images/invite_members.png")));
        toolButtonStartMeeting->setIconSize(QSize(32, 32));
        toolButtonStartMeeting->setAutoRaise(true);
        verticalLayout->addWidget(toolButtonStartMeeting);

        verticalSpacer = new QSpacerItem(28, 377, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout->addItem(verticalSpacer);

        toolButtonSetting = new QToolButton(widget);
        toolButtonSetting->setObjectName(QStringLiteral("toolButtonSetting"));
        toolButtonSetting->setIcon(QIcon(QStringLiteral(":/images/setting.png")));
        toolButtonSetting->setIconSize(QSize(32, 32));
        toolButtonSetting->setAutoRaise(true);
        verticalLayout->addWidget(toolButtonSetting);
        horizontalLayout->addWidget(widget);

        supporterList = new SupporterList(centralWidget);
        supporterList->setObjectName(QStringLiteral("supporterList"));
        QSizePolicy fixedWidth(QSizePolicy::Fixed, QSizePolicy::Preferred);
        supporterList->setSizePolicy(fixedWidth);
        supporterList->setFixedWidth(180);
        horizontalLayout->addWidget(supporterList);

        stackedWidget = new QStackedWidget(centralWidget);
        stackedWidget->setObjectName(QStringLiteral("stackedWidget"));
        meetingList = new MeetingList(stackedWidget);
        meetingList->setObjectName(QStringLiteral("meetingList"));
        stackedWidget->addWidget(meetingList);
        horizontalLayout->addWidget(stackedWidget);

        window->setCentralWidget(centralWidget);
        retranslateUi(window);
        stackedWidget->setCurrentIndex(0);
    }

    void retranslateUi(QMainWindow* window)
    {
        window->setWindowTitle(
            QCoreApplication::translate("MeetingSupport::MainWindow", "Meeting"));
        toolButtonStartMeeting->setToolTip(
            QCoreApplication::translate("MeetingSupport::MainWindow", "Start meeting"));
        toolButtonStartMeeting->setText(QString());
        toolButtonSetting->setText(QStringLiteral("..."));
        // Icon-only buttons: these are what a screen reader says.
        toolButtonStartMeeting->setAccessibleName(
            QCoreApplication::translate("MeetingSupport::MainWindow", "Start meeting"));
        toolButtonSetting->setAccessibleName(
            QCoreApplication::translate("MeetingSupport::MainWindow", "Settings"));
        toolButtonSetting->setToolTip(
            QCoreApplication::translate("MeetingSupport::MainWindow", "Settings"));
    }

private:
    // Base and Window in one colour for every colour group.
    static QPalette solidPalette(QPalette palette, const QColor& color)
    {
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setBrush(group, QPalette::Base, color);
            palette.setBrush(group, QPalette::Window, color);
        }
        return palette;
    }
};

} // namespace Ui
} // namespace MeetingSupport
