// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QSize>

// The road of a watched screen's frames from the SDK's screen thread to the GUI thread.
//
// A viewer says how much room it has for a share's picture (setViewBox). Each decoded frame
// is scaled once, on the SDK's thread, straight into a picture of the size the viewer draws
// (aspect kept, a box filter when shrinking), and left as the one pending frame; the GUI
// thread takes the newest one when told, and paints it without copying or scaling. A GUI that
// falls behind sees frames replaced, never queued. The pictures are reused once the GUI has let
// go of them, so a running share allocates nothing per frame.
//
// The last decoded frame is also kept at full size, so a viewer that changes size (full
// screen) gets a sharp picture at once even when the shared screen is still and sends nothing.
// When the last viewer of a share goes, the heap's freed pages go back to the system.
class ScreenFrames
{
public:
    struct Frame
    {
        QImage image;       // Format_RGB32, the fitted size
        QSize source;       // the shared screen's size in pixels
        quint32 number = 0; // the sharer's frame number
    };

    // What a share may be; larger frames are dropped with a log line.
    static constexpr int MaxWidth = 7680;
    static constexpr int MaxHeight = 4320;

    ScreenFrames() = default;
    ScreenFrames(const ScreenFrames&) = delete;
    ScreenFrames& operator=(const ScreenFrames&) = delete;

    // GUI thread: the room (device pixels) a viewer has for sharer's picture. An empty size
    // drops the sharer's frames and everything kept of them.
    void setViewBox(quint16 sharer, const QSize& box);
    // The SDK's screen thread: one decoded frame, B, G, R, A bytes. True when the GUI thread
    // must be told that a frame waits (it was not told already about one it has not taken).
    bool deliver(quint16 sharer, quint32 number, int width, int height, int stride,
                 const uchar* pixels);
    // GUI thread: the newest frame since the last take; false when none came.
    bool take(quint16 sharer, Frame* frame);
    // GUI thread: the last frame again, fitted to the box as it is now (after a resize); true
    // when one waits to be taken.
    bool rescale(quint16 sharer);

    // source scaled to fit box with its aspect kept; empty when either is empty.
    static QSize fitted(const QSize& source, const QSize& box);

private:
    struct Share
    {
        QSize box;
        QImage pending;
        quint32 pendingNumber = 0;
        QSize pendingSource;
        // Pictures handed out or waiting; one is reused once only this list holds it.
        QList<QImage> pool;
        bool told = false;
    };
    // The last frame at full size (the published picture itself when it is shown 1:1).
    struct Last
    {
        QImage image;
        quint32 number = 0;
    };

    QImage reusable(Share* share, const QSize& size);
    bool publish(quint16 sharer, QImage image, quint32 number, const QSize& source,
                 const uchar* pixels, int stride);

    // Order: m_lastMutex before m_mutex; the GUI thread's take() needs only m_mutex, so it
    // never waits for a frame being copied.
    QMutex m_mutex;
    QHash<quint16, Share> m_shares;
    QMutex m_lastMutex;
    QHash<quint16, Last> m_last;
};
