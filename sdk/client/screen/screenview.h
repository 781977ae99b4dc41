// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace voicesdk::screen {

class ScreenDecoder;

// The watched shares of one connection: the library's screen thread decodes their pictures
// and hands them, with the pointer's moves and shapes, to the callbacks in the order they came.
// What it cannot decode in time is dropped up to the next key frame, never queued without
// bound.
class ScreenViewer
{
public:
    struct Callbacks
    {
        std::function<void(quint16 client, quint32 frame, int width, int height,
                           const uchar* pixels, int encodedBytes)>
            frame;
        std::function<void(quint16 client, int x, int y, bool visible)> cursor;
        std::function<void(const protocol::screen::CursorShape& shape)> shape;
        // A share needs a key frame of that stream to go on (on the screen thread).
        std::function<void(quint16 client, quint8 stream)> needKey;
    };

    explicit ScreenViewer(Callbacks callbacks);
    ~ScreenViewer();
    ScreenViewer(const ScreenViewer&) = delete;
    ScreenViewer& operator=(const ScreenViewer&) = delete;

    void push(const protocol::screen::Video& video);
    void push(const protocol::screen::Cursor& cursor);
    void push(const protocol::screen::CursorShape& shape);
    // Nothing more of that share: its decoder and what waits of it go.
    void forget(quint16 client);

private:
    struct Item;
    struct Stream;
    void run();
    void enqueue(Item item);

    Callbacks m_callbacks;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    std::map<quint16, std::unique_ptr<Stream>> m_streams; // only the thread touches these
    std::map<quint16, int> m_waiting;                     // pictures queued per share, locked
    std::map<quint16, bool> m_skipping;                   // drop until a key frame, locked
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace voicesdk::screen
