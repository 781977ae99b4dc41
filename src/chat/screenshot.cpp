// SPDX-License-Identifier: MIT
#include "screenshot.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace MeetingSupport {

namespace {

// After the window system says the veil is gone, the windows beneath (ours and other
// programs') still have to repaint what it covered, and a compositor may fade it out.
constexpr int settleMilliseconds = 200;
// How long to wait for the window system to take the veil away at all.
constexpr int hideTimeoutMilliseconds = 2000;
constexpr int pollMilliseconds = 10;

QRect availableGeometryAt(const QPoint& globalPos)
{
    QScreen* screen = QGuiApplication::screenAt(globalPos);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

} // namespace

class ScreenshotPrivate
{
public:
    explicit ScreenshotPrivate(Screenshot* q) : q(q) {}

    bool veilGone() const
    {
        const QWindow* window = q->windowHandle();
        return !window || !window->isExposed();
    }

    void waitForVeil()
    {
        if (veilGone() || hiding.elapsed() >= hideTimeoutMilliseconds) {
            if (!veilGone())
                qWarning() << "The screen capture veil is still shown; capturing anyway";
            QTimer::singleShot(settleMilliseconds, q, [this] { grab(); });
            return;
        }
        QTimer::singleShot(pollMilliseconds, q, [this] { waitForVeil(); });
    }

    void grab()
    {
        const QRect area = q->normalizedSelection();
        QScreen* screen = QGuiApplication::primaryScreen();
        // Window 0 is the whole desktop, addressed in desktop coordinates.
        const QPixmap pixmap =
            screen && !area.isEmpty()
                ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                : QPixmap();
        if (pixmap.isNull())
            qWarning() << "Screen capture of" << area << "gave no picture";
        else
            emit q->shootScreen(pixmap.toImage());
        q->close();
    }

    // Left, top, right and bottom as the mouse made them: the press point, and one less than
    // the pointer for right and bottom.
    QRect selection{QPoint(0, 0), QPoint(-1, -1)};
    bool pressing = false;
    bool grabbing = false;
    QElapsedTimer hiding;
    Screenshot* q;
};

Screenshot::Screenshot() : QWidget(nullptr), d(new ScreenshotPrivate(this))
{
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowOpacity(0.1);
    setAttribute(Qt::WA_DeleteOnClose);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect desktop = screen ? screen->virtualGeometry() : QRect(0, 0, 640, 480);
    setGeometry(desktop);
    setCursor(Qt::CrossCursor);
    setAttribute(Qt::WA_MouseTracking);
}

Screenshot::~Screenshot()
{
    delete d;
}

QRect Screenshot::selection() const
{
    return d->selection;
}

QRect Screenshot::normalizedSelection() const
{
    // The area between the press point and the pointer: a drag from (100, 100) to (300, 200)
    // and one from (300, 200) to (100, 100) both cover 200 x 100 pixels from (100, 100).
    const QRect& s = d->selection;
    const int x1 = s.left(), x2 = s.right() + 1;
    const int y1 = s.top(), y2 = s.bottom() + 1;
    return QRect(QPoint(qMin(x1, x2), qMin(y1, y2)), QPoint(qMax(x1, x2) - 1, qMax(y1, y2) - 1));
}

void Screenshot::grabSelection()
{
    if (d->grabbing)
        return;
    d->grabbing = true;
    d->pressing = false;
    // The veil must be off the screen before the grab, or it would be in the picture.
    hide();
    d->hiding.start();
    d->waitForVeil();
}

void Screenshot::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setPen(
        QPen(QBrush(Qt::blue, Qt::SolidPattern), 3, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(QBrush(Qt::yellow, Qt::SolidPattern));
    painter.drawRect(normalizedSelection().translated(-geometry().topLeft()));
}

void Screenshot::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && !d->grabbing)
        close();
    else
        event->ignore();
}

void Screenshot::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && !d->grabbing) {
        d->pressing = true;
        d->selection = QRect(event->globalPos(), event->globalPos());
    }
    update();
}

void Screenshot::mouseMoveEvent(QMouseEvent* event)
{
    if (d->grabbing)
        return;
    if (d->pressing) {
        d->selection.setRight(event->globalPos().x() - 1);
        d->selection.setBottom(event->globalPos().y() - 1);
    } else {
        d->selection = availableGeometryAt(event->globalPos());
    }
    update();
}

void Screenshot::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !d->pressing)
        return;
    d->pressing = false;
    const QRect area = normalizedSelection();
    // A few pixels of wobble are still a click.
    if (area.right() - area.left() < 5 && area.bottom() - area.top() < 5)
        d->selection = availableGeometryAt(event->globalPos());
    grabSelection();
}

} // namespace MeetingSupport
