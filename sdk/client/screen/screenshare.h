// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace voicesdk::screen {

class X11Capture;

// The own share: a thread of its own that waits for the display to change, reads what changed,
// encodes it and hands the packets on, at most MaxFps pictures a second, and only while someone
// watches. Its bit rate is the cap, or less: what the server says the slowest watcher's link
// takes, and less while the own link falls behind (climbing back while it keeps up). Every call but
// the constructor may come from any thread.
class ScreenShare
{
public:
    static constexpr int MaxFps = 30;
    static constexpr int MaxLowFps = 15;
    static constexpr unsigned int DefaultKbps = 3000;
    static constexpr unsigned int MinKbps = 150;

    struct Sink
    {
        // Whole packets; called on the share's thread.
        std::function<void(QByteArray packet)> packet;
        // The screen changed size: the share goes on at the new one, on that part of the root
        // window.
        std::function<void(QRect area)> resized;
        // The share cannot go on (the display closed): it has stopped.
        std::function<void(unsigned int code, QString message)> failed;
    };

    // Takes an opened capture; the thread starts at once, idle until someone watches.
    ScreenShare(std::unique_ptr<X11Capture> capture, const QByteArray& display, int monitor,
                unsigned int maxKbps, Sink sink);
    ~ScreenShare();
    ScreenShare(const ScreenShare&) = delete;
    ScreenShare& operator=(const ScreenShare&) = delete;

    QSize size() const;
    void setWatchers(int count);
    // stream: FullStream or ScaledStream.
    void requestKeyFrame(quint8 stream);
    // Runs the scaled-down stream at kbps for watchers on slow links; 0 stops it.
    void setLowStream(unsigned int kbps);
    // What the own link still has to send of what the share gave it.
    void setBacklog(qint64 bytes);

private:
    void run();
    void wake();

    struct State;
    std::unique_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace voicesdk::screen
