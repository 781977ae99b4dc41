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
// A viewer that changes size gets the newest picture fitted again at once: from the full-size
// frame when it is shown 1:1 (kept for free, it is the picture itself), else from the fitted
// picture, which is not sharp when it grows; the viewer then asks the sharer for a whole new
// picture. A full-size copy of every frame would cost a copy of 8 MB per 1080p frame.
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
    // when one waits to be taken. *sharp (may be null) is false when it was made larger than
    // the picture it came from: a new frame from the sharer is worth asking for.
    bool rescale(quint16 sharer, bool* sharp = nullptr);

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
        // The newest picture published (shared with the GUI or waiting; never written again).
        QImage latest;
        quint32 latestNumber = 0;
        QSize latestSource;
    };
    // The last frame at full size while it is shown 1:1 (the published picture itself).
    struct Last
    {
        QImage image;
        quint32 number = 0;
    };

    QImage reusable(Share* share, const QSize& size);
    // source: the shared screen's size; pixels, stride and pixelSize: what image was made from.
    bool publish(quint16 sharer, QImage image, quint32 number, const QSize& source,
                 const uchar* pixels, int stride, const QSize& pixelSize);

    // Order: m_lastMutex before m_mutex; the GUI thread's take() needs only m_mutex, so it
    // never waits for a frame being copied.
    QMutex m_mutex;
    QHash<quint16, Share> m_shares;
    QMutex m_lastMutex;
    QHash<quint16, Last> m_last;
};
