// SPDX-License-Identifier: MIT
#include "aboutoption.h"

#include "checkupdatedlg.h"
#include "launchupdater.h"
#include "rylcoreapplication.h"
#include "singleapplication.h"
#include "ui_aboutoption.h"

#include <QLocale>
#include <QSettings>

namespace MeetingSupport {

namespace {

QString buildNumber()
{
    const RylSystem::RylCoreApplication* app = RylSystem::RylCoreApplication::instance();
    return app ? app->buildNumber() : QString();
}

} // namespace

class AboutOptionPrivate
{
public:
    explicit AboutOptionPrivate(AboutOption* q) : q(q) {}

    Ui::AboutOption ui;
    AboutOption* q;
};

AboutOption::AboutOption(QWidget* parent) : AbstractOption(parent), d(new AboutOptionPrivate(this))
{
    d->ui.setupUi(this);
    QFont font = d->ui.label->font();
    font.setPointSize(12);
    font.setBold(true);
    d->ui.label->setFont(font);
    d->ui.label->setText(
        QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(), buildNumber()));
    connect(d->ui.pushButtonChekUpdate, &QPushButton::clicked, this, &AboutOption::checkForUpdates);
}

AboutOption::~AboutOption()
{
    delete d;
}

QPixmap AboutOption::pixmap() const
{
    return windowIcon().pixmap(32, 32, QIcon::Normal, QIcon::Off);
}

QString AboutOption::title() const
{
    return windowTitle();
}

QString AboutOption::description() const
{
    return tr("About %1").arg(QCoreApplication::applicationName());
}

void AboutOption::apply() {}

void AboutOption::save() {}

void AboutOption::restore() {}

bool AboutOption::isModified() const
{
    return false;
}

void AboutOption::checkForUpdates()
{
    const QString language =
        QSettings().value(QStringLiteral("language"), QLocale::system().name()).toString();
    // A failed start is not reported here: the check dialog tells that no updater came up.
    launchUpdater(buildNumber(), language, true);

    RylSystem::CheckUpdateDlg dialog(this);
    if (dialog.exec() != QDialog::Rejected)
        return;
    const QString key = QStringLiteral("RYL Auto Updater") + QCoreApplication::applicationName();
    RylSystem::SingleApplication updater(key, false, nullptr);
    if (updater.isRunning())
        updater.sendMessage(QStringLiteral("cancel"), 500);
}

} // namespace MeetingSupport
