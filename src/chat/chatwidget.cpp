// SPDX-License-Identifier: MIT
#include "chatwidget.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace MeetingSupport {
namespace Ui {

// The pane's form: the history on top, the button row below.
class ChatWidget
{
public:
    QVBoxLayout* mainLayout;
    QTextBrowser* msgViewWidget;
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

        msgViewWidget = new QTextBrowser(widget);
        msgViewWidget->setObjectName(QStringLiteral("msgViewWidget"));
        msgViewWidget->setFrameShape(QFrame::NoFrame);
        msgViewWidget->setReadOnly(true);
        msgViewWidget->setOpenLinks(false);
        mainLayout->addWidget(msgViewWidget);

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
        widget->setWindowTitle(QCoreApplication::translate("MeetingSupport::ChatWidget", "Chat"));
    }
};

} // namespace Ui

class ChatWidgetPrivate
{
public:
    explicit ChatWidgetPrivate(ChatWidget* q) : q(q) {}

    Ui::ChatWidget ui;
    ChatWidget* q;
};

ChatWidget::ChatWidget(QWidget* parent) : QWidget(parent), d(new ChatWidgetPrivate(this))
{
    d->ui.setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(d->ui.btnBox, &QDialogButtonBox::rejected, this, &ChatWidget::closed);
}

ChatWidget::~ChatWidget()
{
    delete d;
}

int ChatWidget::statusLevel(QtMsgType type)
{
    switch (type) {
    case QtCriticalMsg:
    case QtFatalMsg:
        return 2;
    case QtWarningMsg:
        return 1;
    default:
        return 0;
    }
}

void ChatWidget::onLogerMessage(const QString& messag, QtMsgType type)
{
    static const char* const colours[] = {"#1E90FF", "#FF7F24", "#FF3030"};
    // The text may carry names sent by other clients: shown as plain text, never as markup.
    d->ui.msgViewWidget->append(
        QStringLiteral("<span style=\"color:%1\">%2</span>")
            .arg(QLatin1String(colours[statusLevel(type)]),
                 messag.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"))));
}

} // namespace MeetingSupport
