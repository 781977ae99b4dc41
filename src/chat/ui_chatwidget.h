// SPDX-License-Identifier: MIT
#pragma once

#include "messageview.h"
#include "sendtextedit.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QSpacerItem>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The chat pane's form: the history, the tool bar, the editor and the button row.
class ChatWidget
{
public:
    QVBoxLayout* mainLayout;
    MeetingSupport::MessageView* msgViewWidget;
    QHBoxLayout* toolBox;
    QToolButton* toolButtonFont;
    QToolButton* toolButtonFace;
    QToolButton* btnDevice_5;
    QToolButton* btnDevice_6;
    QToolButton* btnRemote;
    QToolButton* btnShareScreen;
    QToolButton* btnSendFile;
    QToolButton* toolButtonImage;
    QToolButton* btnScreenshot;
    QSpacerItem* horizontalSpacer;
    MeetingSupport::SendTextEdit* msgInputWidget;
    QHBoxLayout* sendBox;
    QDialogButtonBox* btnBox;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("ChatWidget"));
        widget->resize(477, 482);
        widget->setMinimumSize(QSize(440, 420));
        QPalette palette = widget->palette();
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setBrush(group, QPalette::Base, QColor(255, 255, 255));
            palette.setBrush(group, QPalette::Window, QColor(255, 255, 255));
        }
        widget->setPalette(palette);

        mainLayout = new QVBoxLayout(widget);
        mainLayout->setObjectName(QStringLiteral("mainLayout"));

        msgViewWidget = new MeetingSupport::MessageView(widget);
        msgViewWidget->setObjectName(QStringLiteral("msgViewWidget"));
        msgViewWidget->setFrameShape(QFrame::NoFrame);
        mainLayout->addWidget(msgViewWidget);

        toolBox = new QHBoxLayout();
        toolBox->setObjectName(QStringLiteral("toolBox"));
        toolBox->setSpacing(6);
        toolButtonFont = toolButton(widget, "toolButtonFont", ":/qml/images/font.png");
        toolButtonFont->setCheckable(true);
        toolButtonFace = toolButton(widget, "toolButtonFace", ":/qml/images/face.png");
        btnDevice_5 = toolButton(widget, "btnDevice_5", ":/qml/images/micro_o.png");
        btnDevice_5->setCheckable(true);
        btnDevice_6 = toolButton(widget, "btnDevice_6", ":/qml/images/volume_o.png");
        btnDevice_6->setCheckable(true);
        btnRemote = toolButton(widget, "btnRemote", ":/qml/images/remote.png");
        btnShareScreen = toolButton(widget, "btnShareScreen", ":/qml/images/share_screen.png");
        btnShareScreen->setCheckable(true);
        btnSendFile = toolButton(widget, "btnSendFile", ":/qml/images/send_file.png");
        toolButtonImage = toolButton(widget, "toolButtonImage", ":/qml/images/send_image.png");
        toolButtonImage->setIconSize(QSize(18, 18));
        btnScreenshot = toolButton(widget, "btnScreenshot", ":/qml/images/scissors.png");
        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        toolBox->addItem(horizontalSpacer);
        mainLayout->addLayout(toolBox);

        msgInputWidget = new MeetingSupport::SendTextEdit(widget);
        msgInputWidget->setObjectName(QStringLiteral("msgInputWidget"));
        msgInputWidget->setFrameShape(QFrame::NoFrame);
        msgInputWidget->setMaximumHeight(120);
        msgInputWidget->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        mainLayout->addWidget(msgInputWidget);

        sendBox = new QHBoxLayout();
        sendBox->setObjectName(QStringLiteral("sendBox"));
        sendBox->setSpacing(20);
        btnBox = new QDialogButtonBox(widget);
        btnBox->setObjectName(QStringLiteral("btnBox"));
        btnBox->setLayoutDirection(Qt::LeftToRight);
        btnBox->setStandardButtons(QDialogButtonBox::Close);
        btnBox->setCenterButtons(false);
        sendBox->addWidget(btnBox);
        mainLayout->addLayout(sendBox);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        widget->setWindowTitle(tr("Chat"));
        // The buttons show only icons: the names are what a screen reader says.
        describe(toolButtonFont, tr("Font"), tr("Show or hide the font bar"));
        describe(toolButtonFace, tr("Emoticons"), tr("Insert an emoticon"));
        describe(btnDevice_5, tr("Microphone"), tr("Microphone on or off"));
        describe(btnDevice_6, tr("Speakers"), tr("Speakers on or off"));
        describe(btnRemote, tr("Remote desktop"), tr("Ask the others for remote-desktop help"));
        describe(btnShareScreen, tr("Share screen"), tr("Share your screen with the meeting"));
        describe(btnSendFile, tr("Shared files"), tr("Show the meeting's shared files"));
        describe(toolButtonImage, tr("Send a picture"), tr("Insert a picture into the message"));
        describe(btnScreenshot, tr("Screen capture"),
                 tr("Capture part of the screen into the message"));
        msgViewWidget->setAccessibleName(tr("Messages"));
        msgInputWidget->setAccessibleName(tr("Message"));
    }

private:
    static void describe(QToolButton* button, const QString& name, const QString& tip)
    {
        button->setAccessibleName(name);
        button->setToolTip(tip);
    }

    static QString tr(const char* text)
    {
        return QCoreApplication::translate("MeetingSupport::ChatWidget", text);
    }

    QToolButton* toolButton(QWidget* widget, const char* name, const char* icon)
    {
        auto* button = new QToolButton(widget);
        button->setObjectName(QLatin1String(name));
        button->setIcon(QIcon(QLatin1String(icon)));
        button->setAutoRaise(true);
        toolBox->addWidget(button);
        return button;
    }
};

} // namespace Ui
} // namespace MeetingSupport
