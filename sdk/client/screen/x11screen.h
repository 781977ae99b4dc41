// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

namespace voicesdk::screen {

// The pointer's picture, B G R A premultiplied, with its hot spot.
struct CursorImage
{
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    QByteArray pixels;
};

// An X11 display's screen (or one monitor of it) as the sharer reads it, on one thread: through
// XCB, so that nothing of Xlib's process-wide error handling is touched. What changed comes
// from DAMAGE, the pixels through shared memory (MIT-SHM), only the changed rectangles of them;
// the pointer through XFIXES, so the video never carries it.
class X11Capture
{
public:
    ~X11Capture();
    // display: an X11 display name (empty: DISPLAY); monitor -1: the whole screen, else RandR's
    // monitor of that index. Null with the error code and a message when it cannot be captured.
    static std::unique_ptr<X11Capture> open(const QByteArray& display, int monitor,
                                            unsigned int* code, QString* error);

    QSize size() const { return m_area.size(); }
    // The shared part of the root window.
    QRect area() const { return m_area; }
    // The descriptor to wait on for the display's events.
    int descriptor() const;
    // Takes the events that came; false once the display is gone.
    bool processEvents();
    bool hasDamage() const { return !m_damage.isEmpty(); }
    // What changed since the last call, in the share's pixels.
    QVector<QRect> takeDamage();
    void damageAll();
    // Reads those rectangles of the screen and hands each to sink as it is read: B G R A pixels
    // of that rectangle, stride bytes a row, valid during the call. False once the display is
    // gone.
    using Sink = std::function<void(const QRect& rect, const uchar* pixels, int stride)>;
    bool grab(const QVector<QRect>& rects, const Sink& sink);
    // The pointer in the share's pixels; inside false when it is off the shared area.
    bool pointer(QPoint* position, bool* inside);
    // The pointer's picture changed since the last call.
    bool takeCursorChanged();
    bool cursorImage(CursorImage* image);
    // The screen or monitor changed size (RandR); the capture must be opened again.
    bool resized() const { return m_resized; }
    QString errorString() const { return m_error; }

private:
    X11Capture() = default;
    bool setUp(const QByteArray& display, int monitor, unsigned int* code);
    bool fetchDamage();

    struct Xcb;
    std::unique_ptr<Xcb> m_x;
    QRect m_area; // the shared area on the root window
    QVector<QRect> m_damage;
    bool m_cursorChanged = true;
    bool m_resized = false;
    QString m_error;
};

// Input injected into an X11 display through XTEST, as a controlling member sends it:
// coordinates in the share's pixels, X keysyms, and text typed character by character (a
// character the keyboard map lacks is mapped on a spare key for the moment it is typed).
class X11Input
{
public:
    ~X11Input();
    // area: the shared part of the root window.
    static std::unique_ptr<X11Input> open(const QByteArray& display, const QRect& area,
                                          QString* error);

    bool move(int x, int y);
    bool button(int button, bool pressed);
    bool wheel(int dx, int dy);
    bool key(quint32 keysym, bool pressed);
    bool text(const QString& text);
    // Lets go of every key and button this has pressed (the controller left mid-drag).
    void releaseAll();

private:
    X11Input() = default;
    bool typeKeysym(quint32 keysym);
    bool flush();

    struct Xcb;
    std::unique_ptr<Xcb> m_x;
    QRect m_area;
    QVector<quint8> m_keysDown;
    QVector<quint8> m_buttonsDown;
};

} // namespace voicesdk::screen
