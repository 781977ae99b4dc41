// SPDX-License-Identifier: MIT
#include "sharebanner.h"

#include "globalshortcut.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QToolButton>

namespace MeetingSupport {

namespace {

constexpr quint32 KeysymS = 0x73;
const QColor BannerColour(0xcc, 0x00, 0x00);

} // namespace

class ShareBannerPrivate
{
public:
    QLabel* label = nullptr;
    QToolButton* give = nullptr;
    QMenu* giveMenu = nullptr;
    QPushButton* takeBack = nullptr;
    QPushButton* stop = nullptr;
    GlobalShortcut* global = nullptr;
};

ShareBanner::ShareBanner(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus)
    , d(new ShareBannerPrivate)
{
    setObjectName(QStringLiteral("shareBanner"));
    setWindowTitle(tr("Your screen is shared"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAccessibleName(tr("Screen sharing"));
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, Qt::white);
    setPalette(colours);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 4, 6, 4);
    d->label = new QLabel(this);
    d->label->setObjectName(QStringLiteral("shareBannerText"));
    d->label->setTextFormat(Qt::PlainText);
    QFont bold = d->label->font();
    bold.setBold(true);
    d->label->setFont(bold);
    row->addWidget(d->label, 1);

    d->give = new QToolButton(this);
    d->give->setObjectName(QStringLiteral("shareBannerGive"));
    d->give->setText(tr("Give control"));
    d->give->setAccessibleName(d->give->text());
    d->give->setToolTip(tr("Let a member of the meeting control your screen"));
    d->give->setPopupMode(QToolButton::InstantPopup);
    d->give->setFocusPolicy(Qt::NoFocus);
    d->giveMenu = new QMenu(d->give);
    d->give->setMenu(d->giveMenu);
    row->addWidget(d->give);

    d->takeBack = new QPushButton(tr("Take back control"), this);
    d->takeBack->setObjectName(QStringLiteral("shareBannerTakeBack"));
    d->takeBack->setAccessibleName(d->takeBack->text());
    d->takeBack->setToolTip(tr("Nobody controls your screen any more; it stays shared"));
    d->takeBack->setFocusPolicy(Qt::NoFocus);
    connect(d->takeBack, &QPushButton::clicked, this, [this] { emit giveControl(0); });
    row->addWidget(d->takeBack);

    d->global = new GlobalShortcut(KeysymS, this);
    d->stop = new QPushButton(tr("Stop sharing"), this);
    d->stop->setObjectName(QStringLiteral("shareBannerStop"));
    d->stop->setAccessibleName(d->stop->text());
    d->stop->setToolTip(
        tr("Stop sharing your screen and end all control of it (%1)").arg(shortcutText()));
    d->stop->setFocusPolicy(Qt::NoFocus);
    connect(d->stop, &QPushButton::clicked, this, &ShareBanner::stopRequested);
    connect(d->global, &GlobalShortcut::activated, this, &ShareBanner::stopRequested);
    row->addWidget(d->stop);
    if (!d->global->isActive()) {
        // Without a grab, at least while one of the program's windows has the keyboard.
        auto* local = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+S")), this);
        local->setContext(Qt::ApplicationShortcut);
        connect(local, &QShortcut::activated, this, &ShareBanner::stopRequested);
    }
    setMembers({});
    setState(QString(), QString(), false, QString());
}

ShareBanner::~ShareBanner()
{
    delete d;
}

QString ShareBanner::shortcutText()
{
    return QKeySequence(QStringLiteral("Ctrl+Alt+Shift+S")).toString(QKeySequence::NativeText);
}

bool ShareBanner::hasGlobalShortcut() const
{
    return d->global->isActive();
}

void ShareBanner::setState(const QString& meeting, const QString& controller, bool open,
                           const QString& helper)
{
    QString text = meeting.isEmpty()
                       ? tr("Your screen is shared with the meeting.")
                       : tr("Your screen is shared with the meeting \"%1\".").arg(meeting);
    if (!controller.isEmpty())
        text += QLatin1Char(' ') + tr("%1 controls it.").arg(controller);
    else if (!helper.isEmpty() && open)
        text += QLatin1Char(' ') + tr("%1 may control it.").arg(helper);
    else if (open)
        text += QLatin1Char(' ') + tr("The first member to act on it controls it.");
    d->label->setText(text);
    d->takeBack->setVisible(!controller.isEmpty() || open);
    adjustSize();
}

void ShareBanner::setMembers(const QList<QPair<quint16, QString>>& members)
{
    d->giveMenu->clear();
    for (const auto& member : members) {
        const quint16 id = member.first;
        QAction* action = d->giveMenu->addAction(member.second);
        connect(action, &QAction::triggered, this, [this, id] { emit giveControl(id); });
    }
    d->give->setEnabled(!members.isEmpty());
}

QString ShareBanner::text() const
{
    return d->label->text();
}

void ShareBanner::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    adjustSize();
    // At the top of the screen, in the middle, where it is seen and covers little.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y());
    }
}

void ShareBanner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), BannerColour);
}

} // namespace MeetingSupport
