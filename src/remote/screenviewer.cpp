// SPDX-License-Identifier: MIT
#include "screenviewer.h"

#include "tsclient/screenframes.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

namespace MeetingSupport {

namespace {

// Before the viewer knows its size, frames are fitted into this.
const QSize FirstBox(1280, 720);
// After a resize the last frame is fitted again once the size holds still this long.
constexpr int RescaleDelayMs = 60;
// A pointer shape is not drawn smaller than this share of its size.
constexpr qreal MinCursorScale = 0.6;
const QColor Letterbox(40, 40, 40);

} // namespace

class ScreenDisplayPrivate
{
public:
    ScreenDisplayPrivate(ScreenDisplay* q, quint16 sharer, ScreenControl* control)
        : sharer(sharer), control(control), q(q)
    {}

    QRect cursorRect() const;
    bool sendsInput() const
    {
        const ScreenControl::State state = control->state();
        return state == ScreenControl::Controlling || state == ScreenControl::Asking ||
               state == ScreenControl::Open;
    }
    bool keysGoThere() const { return keyboardToRemote && sendsInput(); }
    bool remotePoint(const QPoint& local, QPoint* remote, bool clamp) const;
    void takeFrame();
    void updateBox();

    quint16 sharer;
    ScreenControl* control;
    QImage picture;
    QSize remote;
    quint32 number = 0;
    QPoint cursor;
    bool cursorVisible = false;
    QImage cursorShape;
    QPoint hotSpot;
    QString notice;
    bool keyboardToRemote = true;
    // Right Ctrl went down and nothing else since: its release toggles the keyboard.
    bool loneControlR = false;
    QPoint wheelRest;
    QTimer rescale;
    ScreenDisplay* q;
};

QRect ScreenDisplayPrivate::cursorRect() const
{
    if (!cursorVisible || cursorShape.isNull() || remote.isEmpty())
        return QRect();
    const QRect area = q->pictureRect();
    const qreal scale = qMax(MinCursorScale, qreal(area.width()) / remote.width());
    const QPoint at = ScreenMapping::toLocal(cursor, area, remote);
    const QSize size = (QSizeF(cursorShape.size()) * scale).toSize().expandedTo(QSize(1, 1));
    return QRect(at - (QPointF(hotSpot) * scale).toPoint(), size);
}

bool ScreenDisplayPrivate::remotePoint(const QPoint& local, QPoint* point, bool clamp) const
{
    const QRect area = q->pictureRect();
    if (area.isEmpty())
        return false;
    // A release outside the picture still lets go there, at its edge.
    const QPoint at = clamp ? QPoint(qBound(area.left(), local.x(), area.right()),
                                     qBound(area.top(), local.y(), area.bottom()))
                            : local;
    return ScreenMapping::toRemote(at, area, remote, point);
}

void ScreenDisplayPrivate::takeFrame()
{
    ScreenFrames::Frame frame;
    if (!TsSDKClient::instance()->screenFrames()->take(sharer, &frame))
        return;
    const QRect before = q->pictureRect();
    picture = std::move(frame.image);
    remote = frame.source;
    number = frame.number;
    q->update(q->pictureRect().united(before));
    emit q->frameShown(number);
}

void ScreenDisplayPrivate::updateBox()
{
    const qreal ratio = q->devicePixelRatioF();
    const QSize box = (QSizeF(q->size()) * ratio).toSize();
    if (box.isEmpty())
        return;
    ScreenFrames* frames = TsSDKClient::instance()->screenFrames();
    frames->setViewBox(sharer, box);
    bool sharp = true;
    if (frames->rescale(sharer, &sharp))
        takeFrame();
    // Made larger than the picture it had: a whole new one comes from the sharer.
    if (!sharp)
        TsSDKClient::instance()->sdk()->requestScreenKeyFrame(sharer);
}

ScreenDisplay::ScreenDisplay(quint16 sharer, ScreenControl* control, QWidget* parent)
    : QWidget(parent), d(new ScreenDisplayPrivate(this, sharer, control))
{
    setObjectName(QStringLiteral("screenDisplay"));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    // Everything is painted here: no background fill first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(160, 90);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    TsSDKClient* client = TsSDKClient::instance();
    client->screenFrames()->setViewBox(sharer, FirstBox);
    connect(client, &TsSDKClient::onScreenFrameReady, this, [this](quint16 id) {
        if (id == d->sharer)
            d->takeFrame();
    });
    connect(client, &TsSDKClient::onScreenCursorEvent, this,
            [this](quint16 id, QPoint position, bool visible) {
                if (id != d->sharer)
                    return;
                const QRect before = d->cursorRect();
                d->cursor = position;
                d->cursorVisible = visible;
                update(before.united(d->cursorRect()));
            });
    connect(client, &TsSDKClient::onScreenCursorShapeEvent, this,
            [this](quint16 id, const QImage& shape, QPoint hot) {
                if (id != d->sharer)
                    return;
                const QRect before = d->cursorRect();
                d->cursorShape = shape;
                d->hotSpot = hot;
                update(before.united(d->cursorRect()));
            });
    connect(control, &ScreenControl::stateChanged, this, [this] {
        if (!d->sendsInput())
            d->loneControlR = false;
        setCursor(d->sendsInput() ? Qt::CrossCursor : Qt::ArrowCursor);
    });

    d->rescale.setSingleShot(true);
    d->rescale.setInterval(RescaleDelayMs);
    connect(&d->rescale, &QTimer::timeout, this, [this] { d->updateBox(); });
}

ScreenDisplay::~ScreenDisplay()
{
    // Nobody looks any more: the frames stop being made and what was kept goes.
    if (TsSDKClient* client = TsSDKClient::eventTarget())
        client->screenFrames()->setViewBox(d->sharer, QSize());
    delete d;
}

quint16 ScreenDisplay::sharer() const
{
    return d->sharer;
}

QImage ScreenDisplay::picture() const
{
    return d->picture;
}

QSize ScreenDisplay::remoteSize() const
{
    return d->remote;
}

quint32 ScreenDisplay::frameNumber() const
{
    return d->number;
}

QRect ScreenDisplay::pictureRect() const
{
    const qreal ratio = devicePixelRatioF();
    return ScreenMapping::pictureRect((QSizeF(d->picture.size()) / ratio).toSize(), rect());
}

bool ScreenDisplay::keyboardToRemote() const
{
    return d->keyboardToRemote;
}

void ScreenDisplay::setKeyboardToRemote(bool toRemote)
{
    if (d->keyboardToRemote == toRemote)
        return;
    if (!toRemote)
        d->control->releaseAll();
    d->keyboardToRemote = toRemote;
    emit keyboardToRemoteChanged(toRemote);
}

void ScreenDisplay::setNotice(const QString& text)
{
    d->notice = text;
    update();
}

QString ScreenDisplay::notice() const
{
    return d->notice;
}

QSize ScreenDisplay::sizeHint() const
{
    return QSize(640, 360);
}

void ScreenDisplay::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRect area = pictureRect();
    // The letterbox around the picture, only where this paint reaches.
    const QRegion around = QRegion(event->rect()).subtracted(area);
    for (const QRect& part : around)
        painter.fillRect(part, Letterbox);
    if (!d->picture.isNull() && area.intersects(event->rect())) {
        if ((QSizeF(area.size()) * devicePixelRatioF()).toSize() == d->picture.size()) {
            // As made for this size: a plain copy.
            painter.drawImage(area.topLeft(), d->picture);
        } else {
            // Between a resize and the frame made for it.
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(area, d->picture);
        }
    }
    const QRect cursor = d->cursorRect();
    if (!cursor.isNull() && cursor.intersects(event->rect())) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(cursor, d->cursorShape);
    }
    if (!d->notice.isEmpty()) {
        QFont font = painter.font();
        font.setPointSizeF(font.pointSizeF() * 1.4);
        painter.setFont(font);
        const QRect text = painter.fontMetrics()
                               .boundingRect(rect().adjusted(24, 0, -24, 0),
                                             Qt::AlignCenter | Qt::TextWordWrap, d->notice)
                               .adjusted(-16, -10, 16, 10);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 170));
        painter.drawRoundedRect(text, 6, 6);
        painter.setPen(Qt::white);
        painter.drawText(text, Qt::AlignCenter | Qt::TextWordWrap, d->notice);
    }
}

void ScreenDisplay::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // New frames are fitted to the new size at once; the last one once the size holds still.
    const qreal ratio = devicePixelRatioF();
    TsSDKClient::instance()->screenFrames()->setViewBox(d->sharer,
                                                        (QSizeF(size()) * ratio).toSize());
    d->rescale.start();
}

void ScreenDisplay::mouseMoveEvent(QMouseEvent* event)
{
    QPoint remote;
    if (d->remotePoint(event->pos(), &remote, event->buttons() != Qt::NoButton))
        d->control->move(remote);
}

void ScreenDisplay::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    QPoint remote;
    if (d->sendsInput() && d->remotePoint(event->pos(), &remote, false)) {
        d->control->button(ScreenMapping::xButton(event->button()), true, remote);
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void ScreenDisplay::mouseReleaseEvent(QMouseEvent* event)
{
    QPoint remote;
    if (d->remotePoint(event->pos(), &remote, true) &&
        d->control->button(ScreenMapping::xButton(event->button()), false, remote)) {
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void ScreenDisplay::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A double click that goes to the shared screen is its second press there.
    if (d->sendsInput()) {
        mousePressEvent(event);
        return;
    }
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
}

void ScreenDisplay::wheelEvent(QWheelEvent* event)
{
    QPoint remote;
    if (!d->sendsInput() || !d->remotePoint(event->position().toPoint(), &remote, false)) {
        QWidget::wheelEvent(event);
        return;
    }
    // Steps of 120 eighths of a degree; fine wheels add up to them. Qt's x grows to the left.
    d->wheelRest += event->angleDelta();
    const int dx = -(d->wheelRest.x() / 120);
    const int dy = d->wheelRest.y() / 120;
    d->wheelRest = QPoint(d->wheelRest.x() % 120, d->wheelRest.y() % 120);
    if (dx != 0 || dy != 0)
        d->control->wheel(dx, dy, remote);
    event->accept();
}

void ScreenDisplay::keyPressEvent(QKeyEvent* event)
{
    if (!d->keysGoThere()) {
        if (event->key() == Qt::Key_Escape && !event->isAutoRepeat()) {
            emit escapePressed();
            event->accept();
            return;
        }
        QWidget::keyPressEvent(event);
        return;
    }
    const quint32 keysym = ScreenMapping::keysym(*event);
    d->loneControlR = keysym == ScreenMapping::ControlR && !event->isAutoRepeat();
    if (keysym != 0)
        d->control->key(keysym, true);
    else
        d->control->text(event->text());
    event->accept();
}

void ScreenDisplay::keyReleaseEvent(QKeyEvent* event)
{
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    const quint32 keysym = ScreenMapping::keysym(*event);
    if (d->keysGoThere() || d->control->pressedKeys().contains(keysym))
        d->control->key(keysym, false);
    if (keysym == ScreenMapping::ControlR && std::exchange(d->loneControlR, false) &&
        d->control->state() == ScreenControl::Controlling) {
        // Right Ctrl on its own hands the keyboard back to this desktop, or takes it again.
        setKeyboardToRemote(!d->keyboardToRemote);
    }
    event->accept();
}

void ScreenDisplay::focusOutEvent(QFocusEvent* event)
{
    // Nothing stays pressed over there while the keys go elsewhere here.
    d->control->releaseAll();
    d->loneControlR = false;
    QWidget::focusOutEvent(event);
}

bool ScreenDisplay::focusNextPrevChild(bool next)
{
    // Tab is a key of the shared screen while the keyboard goes there.
    if (d->keysGoThere())
        return false;
    return QWidget::focusNextPrevChild(next);
}

bool ScreenDisplay::event(QEvent* event)
{
    // Keys that are the program's shortcuts go to the shared screen too while it has them.
    if (event->type() == QEvent::ShortcutOverride && d->keysGoThere()) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

// ---- the viewer

class ScreenViewerPrivate
{
public:
    ScreenViewerPrivate(ScreenViewer* q, quint16 sharer) : sharer(sharer), q(q) {}

    void updateState();
    void leaveFullScreen() { q->setFullScreenShown(false); }

    quint16 sharer;
    QString name;
    QString controllerName;
    ScreenControl* control = nullptr;
    ScreenDisplay* display = nullptr;
    QWidget* content = nullptr;
    QVBoxLayout* layout = nullptr;
    QLabel* title = nullptr;
    QLabel* state = nullptr;
    QLabel* placeholder = nullptr;
    QToolButton* keyboard = nullptr;
    QToolButton* controlButton = nullptr;
    QToolButton* fullScreen = nullptr;
    QToolButton* close = nullptr;
    QString refusal;
    bool ended = false;
    ScreenViewer* q;
};

void ScreenViewerPrivate::updateState()
{
    const ScreenControl::State now = ended ? ScreenControl::ViewOnly : control->state();
    QString text;
    switch (now) {
    case ScreenControl::ViewOnly:
        text = ScreenViewer::tr("View only");
        break;
    case ScreenControl::Open:
        text = ScreenViewer::tr("Click the screen to take control");
        break;
    case ScreenControl::Asking:
        text = ScreenViewer::tr("Asking for control...");
        break;
    case ScreenControl::Controlling:
        text = display->keyboardToRemote()
                   ? ScreenViewer::tr("You control this screen. Right Ctrl keeps the keyboard "
                                      "on your own desktop.")
                   : ScreenViewer::tr("You control the mouse; the keyboard stays on your "
                                      "desktop. Right Ctrl sends it there again.");
        break;
    case ScreenControl::HeldByOther:
        text = ScreenViewer::tr("%1 controls this screen").arg(controllerName);
        break;
    }
    if (!refusal.isEmpty() && now != ScreenControl::Controlling)
        text += QStringLiteral(" (") + refusal + QLatin1Char(')');
    state->setText(text);
    state->setToolTip(text);
    // Controlling shows in colour: the user sees at once that clicks land over there.
    state->setProperty("controlling", now == ScreenControl::Controlling);
    state->setStyleSheet(now == ScreenControl::Controlling
                             ? QStringLiteral("QLabel { background: #f57900; color: white; "
                                              "border-radius: 3px; padding: 1px 6px; }")
                             : QString());
    keyboard->setVisible(now == ScreenControl::Controlling);
    keyboard->setChecked(display->keyboardToRemote());
    const bool mayTake = now == ScreenControl::Open;
    const bool mayRelease = now == ScreenControl::Controlling || now == ScreenControl::Asking;
    controlButton->setVisible(mayTake || mayRelease);
    controlButton->setText(mayRelease ? ScreenViewer::tr("Release control")
                                      : ScreenViewer::tr("Take control"));
    controlButton->setAccessibleName(controlButton->text());
}

ScreenViewer::ScreenViewer(quint16 sharer, quint16 self, QWidget* parent)
    : QWidget(parent), d(new ScreenViewerPrivate(this, sharer))
{
    setObjectName(QStringLiteral("screenViewer"));
    TsSDKClient* client = TsSDKClient::instance();
    if (client->sdk()->getClientNickname(sharer, &d->name) != ERROR_ok || d->name.isEmpty())
        d->name = tr("client %1").arg(sharer);

    d->control = new ScreenControl(sharer, self, this);
    d->content = new QWidget(this);
    d->content->setObjectName(QStringLiteral("screenViewerContent"));
    auto* column = new QVBoxLayout(d->content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    auto* bar = new QHBoxLayout();
    bar->setContentsMargins(4, 2, 4, 2);
    d->title = new QLabel(d->content);
    d->title->setObjectName(QStringLiteral("screenTitle"));
    d->title->setTextFormat(Qt::PlainText);
    QFont bold = d->title->font();
    bold.setBold(true);
    d->title->setFont(bold);
    d->title->setText(tr("%1 is sharing their screen").arg(d->name));
    d->state = new QLabel(d->content);
    d->state->setObjectName(QStringLiteral("screenControlState"));
    d->state->setTextFormat(Qt::PlainText);
    d->state->setAccessibleName(tr("Control"));
    // Long states are cut rather than widening the meeting; the whole text is the tip.
    d->state->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    d->title->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    d->title->setMinimumWidth(0);
    const auto toolButton = [this](const char* name, const QString& text, const QString& tip) {
        auto* button = new QToolButton(d->content);
        button->setObjectName(QLatin1String(name));
        button->setText(text);
        button->setToolTip(tip);
        button->setAccessibleName(text);
        button->setAutoRaise(true);
        return button;
    };
    d->keyboard = toolButton("screenKeyboard", tr("Keyboard"),
                             tr("Send the keyboard to the shared screen (Right Ctrl)"));
    d->keyboard->setCheckable(true);
    d->controlButton = toolButton("screenControlButton", tr("Take control"),
                                  tr("Take or give back control of this screen"));
    d->fullScreen =
        toolButton("screenFullScreen", tr("Full screen"),
                   tr("Show the screen on the whole display (double click; Esc comes back)"));
    d->close = toolButton("screenClose", tr("Close"), tr("Stop watching this screen"));
    bar->addWidget(d->title);
    bar->addWidget(d->state, 1);
    bar->addWidget(d->keyboard);
    bar->addWidget(d->controlButton);
    bar->addWidget(d->fullScreen);
    bar->addWidget(d->close);
    column->addLayout(bar);
    d->display = new ScreenDisplay(sharer, d->control, d->content);
    d->display->setAccessibleName(tr("Screen of %1").arg(d->name));
    column->addWidget(d->display, 1);

    d->layout = new QVBoxLayout(this);
    d->layout->setContentsMargins(0, 0, 0, 0);
    d->layout->addWidget(d->content);
    d->placeholder = new QLabel(tr("Shown on the whole screen. Esc comes back."), this);
    d->placeholder->setAlignment(Qt::AlignCenter);
    d->placeholder->hide();
    d->layout->addWidget(d->placeholder);
    setFocusProxy(d->display);
    setWindowTitle(title());

    connect(d->control, &ScreenControl::stateChanged, this, [this](ScreenControl::State state) {
        if (state == ScreenControl::Controlling) {
            d->refusal.clear();
            // The keys go where the mouse acts.
            d->display->setFocus(Qt::OtherFocusReason);
        }
        d->updateState();
    });
    connect(d->control, &ScreenControl::dropped, this,
            [] { qDebug() << "Input for a shared screen came too fast: some was dropped"; });
    connect(d->display, &ScreenDisplay::keyboardToRemoteChanged, this,
            [this] { d->updateState(); });
    connect(d->keyboard, &QToolButton::clicked, this,
            [this](bool checked) { d->display->setKeyboardToRemote(checked); });
    connect(d->controlButton, &QToolButton::clicked, this, [this] {
        if (d->control->state() == ScreenControl::Open)
            d->control->ask();
        else
            d->control->letGo();
    });
    connect(d->fullScreen, &QToolButton::clicked, this,
            [this] { setFullScreenShown(!isFullScreenShown()); });
    connect(d->close, &QToolButton::clicked, this, &ScreenViewer::closeRequested);
    connect(d->display, &ScreenDisplay::doubleClicked, this,
            [this] { setFullScreenShown(!isFullScreenShown()); });
    connect(d->display, &ScreenDisplay::escapePressed, this, [this] { d->leaveFullScreen(); });
    // Pictures came: whatever was said while waiting for them is over.
    connect(d->display, &ScreenDisplay::frameShown, this, [this] {
        if (!d->ended && !d->display->notice().isEmpty())
            d->display->setNotice(QString());
    });
    d->content->installEventFilter(this);
    d->updateState();
}

ScreenViewer::~ScreenViewer()
{
    // Shown on its own, the content has no parent to take it along.
    if (!d->content->parent())
        delete d->content;
    delete d;
}

quint16 ScreenViewer::sharer() const
{
    return d->sharer;
}

QString ScreenViewer::sharerName() const
{
    return d->name;
}

ScreenDisplay* ScreenViewer::display() const
{
    return d->display;
}

ScreenControl* ScreenViewer::control() const
{
    return d->control;
}

QString ScreenViewer::title() const
{
    return tr("%1's screen").arg(d->name);
}

void ScreenViewer::setControl(quint16 controller, bool open)
{
    if (d->ended)
        return;
    d->controllerName.clear();
    if (controller != 0 && TsSDKClient::instance()->sdk()->getClientNickname(
                               controller, &d->controllerName) != ERROR_ok)
        d->controllerName = tr("client %1").arg(controller);
    d->control->setControl(controller, open);
    d->updateState();
}

void ScreenViewer::controlRefused(const QString& message)
{
    d->refusal = message;
    d->control->refused();
    d->updateState();
}

void ScreenViewer::setNotice(const QString& text)
{
    d->display->setNotice(text);
}

void ScreenViewer::end(const QString& why)
{
    if (d->ended)
        return;
    d->ended = true;
    d->title->setText(title());
    d->control->setControl(0, false);
    d->display->setNotice(why);
    d->updateState();
    d->controlButton->hide();
    d->keyboard->hide();
    QTimer::singleShot(LingerMs, this, &QObject::deleteLater);
}

bool ScreenViewer::hasEnded() const
{
    return d->ended;
}

bool ScreenViewer::isFullScreenShown() const
{
    return d->content->isWindow();
}

void ScreenViewer::setFullScreenShown(bool shown)
{
    if (shown == isFullScreenShown())
        return;
    if (shown) {
        // The picture and its bar become a window of their own over the whole screen; the
        // viewer keeps their place.
        d->layout->removeWidget(d->content);
        d->content->setParent(nullptr, Qt::Window);
        d->content->setWindowTitle(title());
        d->placeholder->show();
        // The screen the viewer is on; set outright too, for a desktop without a window manager.
        if (const QScreen* screen = this->screen())
            d->content->setGeometry(screen->geometry());
        d->content->showFullScreen();
        d->content->activateWindow();
        d->display->setFocus(Qt::OtherFocusReason);
    } else {
        d->content->hide();
        d->content->setParent(this, Qt::Widget);
        // Back at the viewer's size, not the screen's it had.
        d->content->resize(size());
        d->layout->insertWidget(0, d->content);
        d->placeholder->hide();
        d->content->show();
        d->display->setFocus(Qt::OtherFocusReason);
    }
    d->fullScreen->setText(shown ? tr("Leave full screen") : tr("Full screen"));
    d->fullScreen->setAccessibleName(d->fullScreen->text());
}

bool ScreenViewer::eventFilter(QObject* watched, QEvent* event)
{
    // The window manager closing the full-screen window brings the picture back here.
    if (watched == d->content && event->type() == QEvent::Close && isFullScreenShown()) {
        event->ignore();
        QTimer::singleShot(0, this, [this] { d->leaveFullScreen(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace MeetingSupport
