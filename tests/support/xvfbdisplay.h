// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>

// An X11 display of a test's own (Xvfb, 24 bits, no window manager) to share: drawn on
// directly (the root window), with the pointer and the input that lands on it readable. Ended
// (and with it everything connected to it) on destruction or stop().
//
//   XvfbDisplay display({1280, 720});
//   QVERIFY(display.start());
//   display.fill({0, 0, 640, 360}, Qt::red);
//   sharer.setEnvironmentVariable("DISPLAY", display.name());
class XvfbDisplay
{
public:
    explicit XvfbDisplay(QSize size = QSize(1280, 720));
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool start(int timeoutMs = 10000);
    void stop();
    QString name() const { return m_name; }
    QSize size() const { return m_size; }

    bool fill(const QRect& rect, const QColor& color);
    bool putImage(const QImage& image, const QPoint& at = QPoint());
    // Moves a part of the screen within it, as a scrolling window would (in the X server).
    bool copyArea(const QRect& source, const QPoint& to);
    // The screen as it is now.
    QImage grab();
    QPoint pointer();

    // An input-only window over the whole screen that records what the pointer and keyboard do on
    // it: a line per event, "press 1 at 10,20", "release 1 at 10,20", "key a", "key A".
    bool watchInput();
    QStringList input();

private:
    struct Xcb;
    QSize m_size;
    QString m_name;
    QProcess m_process;
    std::unique_ptr<Xcb> m_x;
};
