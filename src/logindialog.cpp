// SPDX-License-Identifier: MIT
#include "logindialog.h"

#include "stylesheet.h"
#include "ui_logindialog.h"

#include <QSettings>
#include <QToolTip>

namespace MeetingSupport {

class LoginDialogPrivate
{
public:
    explicit LoginDialogPrivate(LoginDialog* q) : q(q) {}

    Ui::LoginDialog ui;
    LoginDialog* q;
};

LoginDialog::LoginDialog() : QDialog(nullptr), d(new LoginDialogPrivate(this))
{
    d->ui.setupUi(this);
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);

    const QString saved = QSettings().value(QStringLiteral("login/username"), QString()).toString();
    if (!saved.isEmpty())
        d->ui.lineEditUsername->setText(saved);
    d->ui.lineEditUsername->setFocus(Qt::OtherFocusReason);

    applyStyleSheetResource(QStringLiteral(":/images/logindialog.css"),
                            [this](const QString& css) { setStyleSheet(css); });
}

LoginDialog::~LoginDialog()
{
    delete d;
}

QString LoginDialog::userName() const
{
    return d->ui.lineEditUsername->text();
}

void LoginDialog::accept()
{
    QLineEdit* edit = d->ui.lineEditUsername;
    if (edit->text().isEmpty()) {
        QToolTip::showText(edit->mapToGlobal(QPoint(0, 0)), tr("Please Input Username"), edit);
        return;
    }
    QSettings().setValue(QStringLiteral("login/username"), edit->text());
    QDialog::accept();
}

} // namespace MeetingSupport
