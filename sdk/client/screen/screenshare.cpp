// SPDX-License-Identifier: MIT
#include "screenshare.h"

#include "videocodec.h"
#include "voicesdk.h"
#include "x11screen.h"

#include <QElapsedTimer>
#include <QMutex>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace voicesdk::screen {

using namespace protocol::screen;

namespace {
// The pointer's place is looked at this often while someone watches and it moves, and less
// often once it has rested a while.
constexpr int PointerPollMs = 16;
constexpr int RestingPointerPollMs = 100;
constexpr int PointerRestsAfterMs = 2000;
// A screen at rest this long gets its top-off.
constexpr int TopOffAfterMs = 300;
// The own link may hold this many bytes of pictures (at the bit rate now) before capturing
// waits for it.
constexpr double BacklogSeconds = 0.25;
constexpr qint64 MinBacklog = 64 * 1024;
// The own link: less by this factor while it is behind, at most this often; more by this factor
// a second while it keeps up.
constexpr double Decrease = 0.7;
constexpr int DecreaseGapMs = 500;
constexpr double Increase = 1.1;
constexpr int IncreaseQuietMs = 2000;
} // namespace

struct ScreenShare::State
{
    std::unique_ptr<X11Capture> capture;
    QByteArray display;
    int monitor = -1;
    unsigned int maxKbps = DefaultKbps;
    Sink sink;
    int wakeFd = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> watchers{0};
    std::atomic<bool> keyRequested{false};
    std::atomic<bool> lowKeyRequested{false};
    std::atomic<unsigned int> lowKbps{0};
    std::atomic<qint64> backlog{0};
    mutable QMutex sizeLock;
    QSize size;
};

ScreenShare::ScreenShare(std::unique_ptr<X11Capture> capture, const QByteArray& display,
                         int monitor, unsigned int maxKbps, Sink sink)
    : m_state(std::make_unique<State>())
{
    m_state->size = capture->size();
    m_state->capture = std::move(capture);
    m_state->display = display;
    m_state->monitor = monitor;
    m_state->maxKbps = maxKbps == 0 ? DefaultKbps : qMax(MinKbps, maxKbps);
    m_state->sink = std::move(sink);
    m_state->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_thread = std::thread([this] { run(); });
}

ScreenShare::~ScreenShare()
{
    m_state->stop = true;
    wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_state->wakeFd >= 0)
        ::close(m_state->wakeFd);
}

QSize ScreenShare::size() const
{
    QMutexLocker lock(&m_state->sizeLock);
    return m_state->size;
}

void ScreenShare::wake()
{
    const quint64 one = 1;
    if (m_state->wakeFd >= 0)
        (void)!::write(m_state->wakeFd, &one, sizeof one);
}

void ScreenShare::setWatchers(int count)
{
    m_state->watchers = count;
    wake();
}

void ScreenShare::requestKeyFrame(quint8 stream)
{
    (stream == ScaledStream ? m_state->lowKeyRequested : m_state->keyRequested) = true;
    wake();
}

void ScreenShare::setLowStream(unsigned int kbps)
{
    m_state->lowKbps = kbps == 0 ? 0 : qMax(MinKbps, kbps);
    wake();
}

void ScreenShare::setBacklog(qint64 bytes)
{
    const qint64 before = m_state->backlog.exchange(bytes);
    // Capturing may have waited for the link.
    if (bytes < before)
        wake();
}

void ScreenShare::run()
{
    pthread_setname_np(pthread_self(), "voicesdk-share");
    State& s = *m_state;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<ScreenEncoder> encoder;
    // The scaled-down stream, while a watcher's link needs it: what changed since its last
    // picture, in the full stream's pixels.
    std::unique_ptr<ScreenEncoder> low;
    QRect lowChanged;
    // The next picture of it waits until the last one has left at its rate: the encoder
    // overshoots its rate on pictures that all change, and the link it serves has no room.
    qint64 lowNextAt = 0, lowChangeAt = 0;
    quint32 lowNumber = 0;
    unsigned int kbps = s.maxKbps;
    unsigned int own = s.maxKbps; // what the own link takes
    quint32 frameNumber = 0;
    qint64 lastFrameAt = -1000, lastChangeAt = 0, lastPointerAt = 0, pointerMovedAt = 0;
    qint64 lastDecreaseAt = -DecreaseGapMs, lastCongestionAt = -IncreaseQuietMs, lastIncreaseAt = 0;
    bool behind = false; // the own link, at the last look
    QPoint pointer(-1, -1);
    bool pointerInside = false;
    bool watched = false;
    const int interval = 1000 / MaxFps;

    const auto send = [&](const ScreenEncoder& from, quint32 number, quint8 flags,
                          QByteArray data) {
        Video video;
        video.frame = number;
        video.flags = flags;
        video.codec = from.codec();
        video.width = quint16(from.width());
        video.height = quint16(from.height());
        video.data = std::move(data);
        s.sink.packet(encodeVideo(video));
    };
    // The scaled-down stream: a picture when something changed (at most MaxLowFps a second),
    // a key frame when asked, a top-off when the screen rests; false when the codec failed.
    const auto encodeLow = [&](qint64 at) -> bool {
        const unsigned int kbps = s.lowKbps;
        if (kbps == 0) {
            low.reset();
            return true;
        }
        const QSize size(qMax(2, (encoder->width() / 2) & ~1),
                         qMax(2, (encoder->height() / 2) & ~1));
        if (!low || QSize(low->width(), low->height()) != size) {
            low = std::make_unique<ScreenEncoder>(Codec::Vp8, size.width(), size.height(), kbps);
            if (!low->isValid())
                return false;
            lowChanged = QRect(0, 0, encoder->width(), encoder->height());
            s.lowKeyRequested = true;
        }
        low->setBitrate(kbps);
        if (at < lowNextAt)
            return true;
        ScreenEncoder::Frame kind;
        if (s.lowKeyRequested)
            kind = ScreenEncoder::Frame::Key;
        else if (!lowChanged.isEmpty())
            kind = ScreenEncoder::Frame::Delta;
        else if (low->needsTopOff() && at - lowChangeAt >= TopOffAfterMs)
            kind = ScreenEncoder::Frame::TopOff;
        else
            return true;
        if (kind != ScreenEncoder::Frame::TopOff) {
            low->scaleFrom(*encoder, kind == ScreenEncoder::Frame::Key
                                         ? QRect(0, 0, encoder->width(), encoder->height())
                                         : lowChanged);
            lowChanged = QRect();
            lowChangeAt = at;
        }
        if (kind == ScreenEncoder::Frame::Key)
            s.lowKeyRequested = false;
        QByteArray data;
        bool key = false;
        if (!low->encode(kind, at, &data, &key))
            return false;
        // kbit/s are bits per millisecond.
        lowNextAt = at + qMax<qint64>(1000 / MaxLowFps, qint64(data.size()) * 8 / kbps);
        if (data.isEmpty()) {
            if (kind == ScreenEncoder::Frame::Key)
                s.lowKeyRequested = true;
            return true;
        }
        send(*low, ++lowNumber, LowFrame | (key ? KeyFrame : 0), std::move(data));
        return true;
    };
    const auto fail = [&](unsigned int code, const QString& message) {
        if (s.sink.failed)
            s.sink.failed(code, message);
    };
    const auto startEncoder = [&]() -> bool {
        const QSize size = s.capture->size();
        encoder = std::make_unique<ScreenEncoder>(Codec::Vp8, size.width(), size.height(), kbps);
        if (!encoder->isValid()) {
            fail(ERROR_screen_codec, encoder->errorString());
            return false;
        }
        s.capture->damageAll();
        return true;
    };
    if (!startEncoder())
        return;

    while (!s.stop) {
        const qint64 now = clock.elapsed();
        const bool watching = s.watchers > 0;
        int timeout = -1;
        const int pointerPoll =
            now - pointerMovedAt < PointerRestsAfterMs ? PointerPollMs : RestingPointerPollMs;
        if (watching) {
            timeout = int(qMax<qint64>(0, lastPointerAt + pointerPoll - now));
            qint64 frameAt = -1;
            if (s.capture->hasDamage() || s.keyRequested)
                frameAt = lastFrameAt + interval;
            else if (encoder->needsTopOff())
                frameAt = qMax(lastFrameAt + interval, lastChangeAt + TopOffAfterMs);
            if (s.lowKbps > 0 && (s.lowKeyRequested || !lowChanged.isEmpty()))
                frameAt = frameAt < 0 ? lowNextAt : qMin(frameAt, lowNextAt);
            if (frameAt >= 0) {
                // Behind, the own link wakes this when it catches up; a spent bit rate refills.
                if (behind)
                    frameAt = qMax(frameAt, now + interval);
                timeout = qMin(timeout, int(qMax<qint64>(0, frameAt - now)));
            }
        }
        pollfd fds[2] = {{s.capture->descriptor(), POLLIN, 0}, {s.wakeFd, POLLIN, 0}};
        ::poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            quint64 count;
            (void)!::read(s.wakeFd, &count, sizeof count);
        }
        if (s.stop)
            break;
        if (!s.capture->processEvents())
            return fail(ERROR_screen_ended, s.capture->errorString());
        if (s.capture->resized()) {
            // The screen or the monitor changed: read it anew at its new size.
            unsigned int code = ERROR_ok;
            QString error;
            std::unique_ptr<X11Capture> reopened =
                X11Capture::open(s.display, s.monitor, &code, &error);
            if (!reopened)
                return fail(ERROR_screen_ended, error);
            s.capture = std::move(reopened);
            {
                QMutexLocker lock(&s.sizeLock);
                s.size = s.capture->size();
            }
            if (!startEncoder())
                return;
            s.keyRequested = true;
            if (s.sink.resized)
                s.sink.resized(s.capture->area());
            continue;
        }
        const qint64 at = clock.elapsed();
        if (!watching) {
            // Nobody looks: nothing is read or encoded, and the next watcher starts afresh.
            s.capture->takeDamage();
            watched = false;
            continue;
        }
        if (!watched) {
            watched = true;
            s.capture->damageAll();
            s.keyRequested = true;
            pointer = QPoint(-1, -1);
        }

        // Rate: the cap, the slowest watcher's link, and the own link, whichever is least.
        const qint64 budget = qMax<qint64>(MinBacklog, qint64(kbps * 125.0 * BacklogSeconds));
        const bool linkBehind = s.backlog > budget;
        behind = linkBehind;
        if (linkBehind) {
            lastCongestionAt = at;
            if (at - lastDecreaseAt >= DecreaseGapMs) {
                own = qMax(MinKbps, unsigned(kbps * Decrease));
                lastDecreaseAt = at;
            }
        } else if (own < s.maxKbps && at - lastCongestionAt >= IncreaseQuietMs &&
                   at - lastIncreaseAt >= 1000) {
            own = qMin(s.maxKbps, unsigned(own * Increase) + 20);
            lastIncreaseAt = at;
        }
        const unsigned int target = qMax(MinKbps, qMin(own, s.maxKbps));
        if (target != kbps) {
            kbps = target;
            encoder->setBitrate(kbps);
        }

        if (at - lastPointerAt >= pointerPoll) {
            lastPointerAt = at;
            QPoint position;
            bool inside = false;
            if (!s.capture->pointer(&position, &inside))
                return fail(ERROR_screen_ended, s.capture->errorString());
            if (position != pointer || inside != pointerInside) {
                pointerMovedAt = at;
                pointer = position;
                pointerInside = inside;
                Cursor cursor;
                cursor.x = quint16(qBound(0, position.x(), MaxWidth - 1));
                cursor.y = quint16(qBound(0, position.y(), MaxHeight - 1));
                cursor.visible = inside;
                s.sink.packet(encodeCursor(cursor));
            }
            CursorImage image;
            if (s.capture->takeCursorChanged() && s.capture->cursorImage(&image)) {
                CursorShape shape;
                shape.width = quint16(image.width);
                shape.height = quint16(image.height);
                shape.hotX = quint16(image.hotX);
                shape.hotY = quint16(image.hotY);
                shape.pixels = image.pixels;
                s.sink.packet(encodeCursorShape(shape));
            }
        }

        if (!linkBehind && !encodeLow(at))
            return fail(ERROR_screen_codec, low->errorString());

        ScreenEncoder::Frame kind;
        if (s.keyRequested)
            kind = ScreenEncoder::Frame::Key;
        else if (s.capture->hasDamage())
            kind = ScreenEncoder::Frame::Delta;
        else if (encoder->needsTopOff() && at - lastChangeAt >= TopOffAfterMs)
            kind = ScreenEncoder::Frame::TopOff;
        else
            continue;
        // Pictures keep their pace, and wait while the own link is behind (what changed
        // meanwhile is read when it catches up).
        if (at - lastFrameAt < interval || linkBehind)
            continue;
        if (kind != ScreenEncoder::Frame::TopOff) {
            if (kind == ScreenEncoder::Frame::Key)
                s.capture->damageAll();
            QVector<QRect> rects = s.capture->takeDamage();
            for (QRect& rect : rects)
                rect = encoder->aligned(rect);
            // Straight from the shared memory into the encoder's picture.
            if (!s.capture->grab(rects, [&](const QRect& rect, const uchar* pixels, int stride) {
                    encoder->update(pixels, stride, rect);
                    lowChanged |= rect;
                }))
                return fail(ERROR_screen_ended, s.capture->errorString());
            lastChangeAt = at;
        }
        if (kind == ScreenEncoder::Frame::Key)
            s.keyRequested = false;
        QByteArray data;
        bool key = false;
        if (!encoder->encode(kind, at, &data, &key))
            return fail(ERROR_screen_codec, encoder->errorString());
        lastFrameAt = at;
        if (data.isEmpty()) {
            if (kind == ScreenEncoder::Frame::Key)
                s.keyRequested = true; // the encoder skipped it: asked again
            continue;
        }
        send(*encoder, ++frameNumber, key ? KeyFrame : 0, std::move(data));
    }
}

} // namespace voicesdk::screen
