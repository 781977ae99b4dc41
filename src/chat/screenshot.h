// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

namespace MeetingSupport {

class ScreenshotPrivate;

// A faint veil over the whole desktop for picking a part of the screen: a click takes the
// available area of the screen under the mouse, a drag takes a rectangle, Escape cancels. The
// window deletes itself when it closes, after at most one capture.
class Screenshot : public QWidget
{
    Q_OBJECT
public:
    // Always a window of its own: there is no parent.
    Screenshot();
    ~Screenshot() override;

    // The selection in desktop coordinates, as the mouse made it (edges inclusive).
    QRect selection() const;
    // The area the selection stands for, whichever way it was dragged.
    QRect normalizedSelection() const;

    // Hides the veil, waits until it is off the screen, grabs the selection, emits shootScreen
    // and closes the window.
    void grabSelection();

signals:
    void shootScreen(const QImage& image);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    ScreenshotPrivate* d;
    friend class ScreenshotPrivate;
};

} // namespace MeetingSupport
