// SPDX-License-Identifier: MIT
#include "screenview.h"

#include "videocodec.h"

#include <pthread.h>

namespace voicesdk::screen {

using namespace protocol::screen;

namespace {
// Pictures of one share waiting to be decoded: beyond these, the decoder is behind and the
// share skips to its next key frame.
constexpr int MaxWaiting = 6;
} // namespace

struct ScreenViewer::Item
{
    enum Type { Picture, Pointer, Shape, Forget } type = Picture;
    quint16 client = 0;
    Video video;
    Cursor cursor;
    CursorShape shape;
};

struct ScreenViewer::Stream
{
    ScreenDecoder decoder;
    QByteArray pixels;
};

ScreenViewer::ScreenViewer(Callbacks callbacks) : m_callbacks(std::move(callbacks))
{
    m_thread = std::thread([this] { run(); });
}

ScreenViewer::~ScreenViewer()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void ScreenViewer::enqueue(Item item)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(std::move(item));
    }
    m_wake.notify_one();
}

void ScreenViewer::push(const Video& video)
{
    bool ask = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        bool& skipping = m_skipping[video.client];
        const bool key = video.flags & KeyFrame;
        if (skipping && !key)
            return;
        int& waiting = m_waiting[video.client];
        if (key) {
            // A key frame makes everything queued before it worthless.
            for (auto it = m_queue.begin(); it != m_queue.end();)
                if (it->type == Item::Picture && it->client == video.client) {
                    it = m_queue.erase(it);
                    --waiting;
                } else {
                    ++it;
                }
            skipping = false;
        } else if (waiting >= MaxWaiting) {
            skipping = true;
            ask = true;
        }
        if (!skipping) {
            Item item;
            item.client = video.client;
            item.video = video;
            m_queue.push_back(std::move(item));
            ++waiting;
        }
    }
    if (ask && m_callbacks.needKey)
        m_callbacks.needKey(video.client, (video.flags & LowFrame) ? ScaledStream : FullStream);
    m_wake.notify_one();
}

void ScreenViewer::push(const Cursor& cursor)
{
    Item item;
    item.type = Item::Pointer;
    item.client = cursor.client;
    item.cursor = cursor;
    enqueue(std::move(item));
}

void ScreenViewer::push(const CursorShape& shape)
{
    Item item;
    item.type = Item::Shape;
    item.client = shape.client;
    item.shape = shape;
    enqueue(std::move(item));
}

void ScreenViewer::forget(quint16 client)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();)
            it = it->client == client ? m_queue.erase(it) : std::next(it);
        m_waiting.erase(client);
        m_skipping.erase(client);
        Item item;
        item.type = Item::Forget;
        item.client = client;
        m_queue.push_back(std::move(item));
    }
    m_wake.notify_one();
}

void ScreenViewer::run()
{
    pthread_setname_np(pthread_self(), "voicesdk-screen");
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            item = std::move(m_queue.front());
            m_queue.pop_front();
            if (item.type == Item::Picture)
                --m_waiting[item.client];
        }
        switch (item.type) {
        case Item::Forget:
            m_streams.erase(item.client);
            break;
        case Item::Pointer:
            if (m_callbacks.cursor)
                m_callbacks.cursor(item.client, item.cursor.x, item.cursor.y, item.cursor.visible);
            break;
        case Item::Shape:
            if (m_callbacks.shape)
                m_callbacks.shape(item.shape);
            break;
        case Item::Picture: {
            auto& stream = m_streams[item.client];
            if (!stream)
                stream = std::make_unique<Stream>();
            if (!stream->decoder.decode(item.video, &stream->pixels)) {
                // Whatever follows a picture that failed is garbage until the next key frame.
                bool ask = false;
                {
                    std::lock_guard<std::mutex> lock(m_lock);
                    bool& skipping = m_skipping[item.client];
                    ask = !skipping;
                    skipping = true;
                }
                if (ask && m_callbacks.needKey)
                    m_callbacks.needKey(item.client,
                                        (item.video.flags & LowFrame) ? ScaledStream : FullStream);
                break;
            }
            if (m_callbacks.frame)
                m_callbacks.frame(item.client, item.video.frame, item.video.width,
                                  item.video.height,
                                  reinterpret_cast<const uchar*>(stream->pixels.constData()),
                                  item.video.data.size());
            break;
        }
        }
    }
}

} // namespace voicesdk::screen
