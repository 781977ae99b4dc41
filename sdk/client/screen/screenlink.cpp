// SPDX-License-Identifier: MIT
#include "screenlink.h"

#include "core.h"
#include "frame.h"
#include "message.h"
#include "protocol.h"
#include "screenshare.h"
#include "screenview.h"
#include "tls.h"
#include "x11screen.h"

#include <QCborArray>
#include <QPointer>

namespace voicesdk {

using namespace protocol::screen;
using protocol::encodeFrame;
using protocol::MaxFrameSize;
using protocol::MessageReader;
using protocol::TypeKey;
namespace type = protocol::type;
namespace field = protocol::field;

namespace {
constexpr int EarlyInputLimit = 256;
constexpr int BacklogPollMs = 20;
constexpr qint64 MaxId = std::numeric_limits<qint64>::max();
} // namespace

ScreenLink::ScreenLink(uint64 handler, Hooks hooks, QObject* parent)
    : QObject(parent), m_handler(handler), m_hooks(std::move(hooks))
{
    m_readBuffer.resize(64 * 1024);
    m_reader.setMaxLength(1 + MaxPacket);
    m_backlogTimer.setInterval(BacklogPollMs);
    connect(&m_backlogTimer, &QTimer::timeout, this, &ScreenLink::measureBacklog);
}

ScreenLink::~ScreenLink()
{
    // The share's and the viewer's threads end before what they call into.
    m_share.reset();
    m_viewer.reset();
    if (m_stream)
        m_stream->abort();
}

void ScreenLink::start(const QString& host, quint16 port, bool plain,
                       const QSslCertificate& certificate, anyID ownId)
{
    m_running = true;
    m_host = host;
    m_port = port;
    m_plain = plain;
    m_certificate = certificate;
    m_ownId = ownId;
}

void ScreenLink::stop()
{
    if (!m_running)
        return;
    m_running = false;
    const bool removed = !handlerExists(m_handler);
    m_share.reset();
    m_input.reset();
    m_backlogTimer.stop();
    m_viewer.reset();
    m_streams.clear();
    if (m_stream) {
        m_stream->disconnect(this);
        m_stream->abort();
        m_stream->deleteLater();
        m_stream = nullptr;
    }
    m_streamState = Stream::None;
    m_reader = PacketReader();
    m_reader.setMaxLength(1 + MaxPacket);
    m_early.clear();
    QList<anyID> ended;
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            ended = state->screens.shares.keys();
            if (state->screens.sharing && !ended.contains(m_ownId))
                ended.append(m_ownId);
            state->screens = ScreenMirror();
        }
    }
    if (!removed)
        for (const anyID client : qAsConst(ended))
            if (const auto fn = screenCallbacks().onScreenShareEvent)
                fn(m_handler, client, 0, 0, 0);
}

bool ScreenLink::inOwnChannel(anyID client) const
{
    QMutexLocker locker(&stateMutex());
    const HandlerState* state = findHandler(m_handler);
    if (!state)
        return false;
    const ServerMirror& mirror = state->mirror;
    const auto own = mirror.clients.constFind(mirror.ownId);
    const auto other = mirror.clients.constFind(client);
    return own != mirror.clients.constEnd() && other != mirror.clients.constEnd() &&
           own->channel == other->channel;
}

void ScreenLink::tellShare(anyID client, bool sharing, int width, int height)
{
    if (const auto fn = screenCallbacks().onScreenShareEvent)
        fn(m_handler, client, sharing ? 1 : 0, width, height);
}

void ScreenLink::tellControl(anyID sharer, anyID controller, bool open)
{
    if (const auto fn = screenCallbacks().onScreenControlEvent)
        fn(m_handler, sharer, controller, open ? 1 : 0);
}

void ScreenLink::tellError(anyID client, unsigned int code, const QString& message)
{
    log(LogLevel_WARNING, "Screen",
        QStringLiteral("client %1: %2 (%3)").arg(client).arg(message).arg(code), m_handler);
    if (const auto fn = screenCallbacks().onScreenErrorEvent)
        fn(m_handler, client, code, message.toUtf8().constData());
}

bool ScreenLink::handleMessage(const QString& type, const QCborMap& message)
{
    MessageReader reader(message);
    if (type == type::ScreenReady) {
        const QByteArray key = reader.bytes(field::Key, 32, 32);
        if (!reader.ok())
            return false;
        if (m_streamState == Stream::Asked)
            connectStream(key);
        return true;
    }
    if (type == type::ScreenShared) {
        const anyID client = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const bool on = reader.boolean(field::On);
        const int width = int(reader.optionalInteger(field::Width, 0, MaxWidth));
        const int height = int(reader.optionalInteger(field::Height, 0, MaxHeight));
        if (!reader.ok() || (on && (width < 1 || height < 1)))
            return false;
        if (!on) {
            shareEnded(client);
            return true;
        }
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler)) {
                SharedScreen& share = state->screens.shares[client];
                share.width = width;
                share.height = height;
            }
        }
        tellShare(client, true, width, height);
        return true;
    }
    if (type == type::ScreenControlled) {
        const anyID sharer = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const anyID controller = anyID(reader.integer(field::Controller, 0, 0xFFFF));
        const bool open = reader.optionalBoolean(field::Open);
        if (!reader.ok())
            return false;
        anyID before = 0;
        {
            QMutexLocker locker(&stateMutex());
            HandlerState* state = findHandler(m_handler);
            if (!state || !state->screens.shares.contains(sharer))
                return true; // a share that ended meanwhile
            SharedScreen& share = state->screens.shares[sharer];
            before = share.controller;
            share.controller = controller;
            share.open = open;
        }
        // Keys and buttons the one who let go still held are let go of.
        if (sharer == m_ownId && before != controller && m_input)
            m_input->releaseAll();
        tellControl(sharer, controller, open);
        return true;
    }
    if (type == type::ScreenWatchers) {
        const int count = int(reader.integer(field::Count, 0, 0xFFFF));
        const QCborArray list = message.value(field::Clients).toArray();
        if (!reader.ok() || list.size() > 0xFFFF)
            return false;
        QList<anyID> now;
        for (const QCborValue& id : list) {
            if (!id.isInteger() || id.toInteger() < 1 || id.toInteger() > 0xFFFF)
                return false;
            now.append(anyID(id.toInteger()));
        }
        if (m_share)
            m_share->setWatchers(count);
        // Who came and who went, told one by one.
        QList<anyID> before;
        {
            QMutexLocker locker(&stateMutex());
            if (HandlerState* state = findHandler(m_handler)) {
                before = state->screens.watchers;
                state->screens.watchers = now;
            }
        }
        if (const auto fn = screenCallbacks().onScreenWatchEvent) {
            for (const anyID id : qAsConst(before))
                if (!now.contains(id))
                    fn(m_handler, id, 0);
            for (const anyID id : qAsConst(now))
                if (!before.contains(id))
                    fn(m_handler, id, 1);
        }
        return true;
    }
    if (type == type::ScreenError) {
        const anyID client = anyID(reader.integer(field::ClientId, 0, 0xFFFF));
        const unsigned int code = unsigned(reader.integer(field::Code, 1, 0xFFFF));
        const QString text = reader.optionalString(field::Message, MaxFrameSize);
        if (!reader.ok())
            return false;
        if (code == ERROR_screen_not_sharing) {
            bool watched = false;
            {
                QMutexLocker locker(&stateMutex());
                if (HandlerState* state = findHandler(m_handler))
                    watched = state->screens.watching.remove(client);
            }
            if (watched)
                forgetPictures(client);
        }
        tellError(client, code, text);
        return true;
    }
    return true; // newer servers may say more
}

void ScreenLink::requestKeyFrame(anyID sharer)
{
    if (m_running && m_streamState == Stream::Open)
        sendPacket(encodeKeyRequest(sharer, m_streams.value(sharer, FullStream)));
}

void ScreenLink::forgetPictures(anyID sharer)
{
    m_streams.remove(sharer);
    if (!m_viewer)
        return;
    m_viewer->forget(sharer);
    bool watching = false;
    {
        QMutexLocker locker(&stateMutex());
        if (const HandlerState* state = findHandler(m_handler))
            watching = !state->screens.watching.isEmpty();
    }
    // A watch asked for meanwhile makes a new one when it gets here.
    if (!watching)
        m_viewer.reset();
}

void ScreenLink::shareEnded(anyID sharer)
{
    bool known = false;
    bool watched = false;
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            known = state->screens.shares.remove(sharer) > 0;
            watched = state->screens.watching.remove(sharer);
        }
    }
    if (watched)
        forgetPictures(sharer);
    if (sharer == m_ownId && m_share) {
        // The server ended it (the own client moved): so does the capture.
        forgetWatchers();
        m_share.reset();
        m_input.reset();
        m_backlogTimer.stop();
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler))
            state->screens.sharing = false;
        known = true;
    }
    if (known)
        tellShare(sharer, false, 0, 0);
}

void ScreenLink::membersChanged()
{
    QList<anyID> gone;
    {
        QMutexLocker locker(&stateMutex());
        if (const HandlerState* state = findHandler(m_handler))
            gone = state->screens.shares.keys();
    }
    for (const anyID sharer : qAsConst(gone))
        if (sharer != m_ownId && !inOwnChannel(sharer))
            shareEnded(sharer);
    // The own client moved on: its share stays behind in the old channel, ended.
    if (m_share && m_shareChannel != 0) {
        quint64 channel = 0;
        {
            QMutexLocker locker(&stateMutex());
            if (const HandlerState* state = findHandler(m_handler))
                channel = state->mirror.clients.value(m_ownId).channel;
        }
        if (channel != m_shareChannel)
            shareEnded(m_ownId);
    }
}

void ScreenLink::share(std::unique_ptr<screen::X11Capture> capture,
                       std::unique_ptr<screen::X11Input> input, const QByteArray& display,
                       int monitor, unsigned int maxKbps)
{
    if (!m_running || m_share) {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler); state && !m_share)
            state->screens.sharing = false;
        return;
    }
    m_shareSize = capture->size();
    {
        QMutexLocker locker(&stateMutex());
        if (const HandlerState* state = findHandler(m_handler))
            m_shareChannel = state->mirror.clients.value(m_ownId).channel;
    }
    const QPointer<ScreenLink> self(this);
    screen::ScreenShare::Sink sink;
    sink.packet = [self](QByteArray packet) {
        QMetaObject::invokeMethod(
            self, [self, packet] { self->sendPacket(packet); }, Qt::QueuedConnection);
    };
    sink.resized = [self, display](QRect area) {
        QMetaObject::invokeMethod(
            self,
            [self, display, area] {
                self->m_shareSize = area.size();
                // Input lands on the share's new place.
                QString error;
                if (self->m_input)
                    self->m_input = screen::X11Input::open(display, area, &error);
                self->m_hooks.sendControl(QCborMap{{TypeKey, type::ScreenShare},
                                                   {field::On, true},
                                                   {field::Width, area.width()},
                                                   {field::Height, area.height()}});
            },
            Qt::QueuedConnection);
    };
    sink.failed = [self](unsigned int code, QString message) {
        QMetaObject::invokeMethod(
            self, [self, code, message] { self->ownShareFailed(code, message); },
            Qt::QueuedConnection);
    };
    m_input = std::move(input);
    m_share = std::make_unique<screen::ScreenShare>(std::move(capture), display, monitor, maxKbps,
                                                    std::move(sink));
    log(LogLevel_INFO, "Screen",
        QStringLiteral("sharing %1 x %2 pixels").arg(m_shareSize.width()).arg(m_shareSize.height()),
        m_handler);
    needStream();
    m_hooks.sendControl(QCborMap{{TypeKey, type::ScreenShare},
                                 {field::On, true},
                                 {field::Width, m_shareSize.width()},
                                 {field::Height, m_shareSize.height()}});
    m_backlogTimer.start();
}

void ScreenLink::ownShareFailed(unsigned int code, const QString& message)
{
    if (!m_share)
        return;
    tellError(m_ownId, code, message);
    stopShare(message);
}

void ScreenLink::forgetWatchers()
{
    QList<anyID> before;
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler))
            before.swap(state->screens.watchers);
    }
    if (const auto fn = screenCallbacks().onScreenWatchEvent)
        for (const anyID id : qAsConst(before))
            fn(m_handler, id, 0);
}

void ScreenLink::stopShare(const QString& why)
{
    if (!m_share) {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler))
            state->screens.sharing = false;
        return;
    }
    log(LogLevel_INFO, "Screen", QStringLiteral("the share ends: %1").arg(why), m_handler);
    m_share.reset();
    m_input.reset();
    m_backlogTimer.stop();
    if (m_running)
        m_hooks.sendControl(QCborMap{{TypeKey, type::ScreenShare}, {field::On, false}});
    bool known = false;
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            state->screens.sharing = false;
            known = state->screens.shares.remove(m_ownId) > 0;
        }
    }
    Q_UNUSED(known)
    forgetWatchers();
    tellShare(m_ownId, false, 0, 0);
}

void ScreenLink::watch(anyID sharer, bool on)
{
    if (!m_running)
        return;
    if (on) {
        needStream();
        if (!m_viewer) {
            screen::ScreenViewer::Callbacks callbacks;
            const uint64 handler = m_handler;
            callbacks.frame = [handler](quint16 client, quint32 frame, int width, int height,
                                        const uchar* pixels, int bytes) {
                if (const auto fn = screenCallbacks().onScreenFrameEvent)
                    fn(handler, client, frame, width, height, width * 4, pixels, unsigned(bytes));
            };
            callbacks.cursor = [handler](quint16 client, int x, int y, bool visible) {
                if (const auto fn = screenCallbacks().onScreenCursorEvent)
                    fn(handler, client, x, y, visible ? 1 : 0);
            };
            callbacks.shape = [handler](const CursorShape& shape) {
                if (const auto fn = screenCallbacks().onScreenCursorShapeEvent)
                    fn(handler, shape.client, shape.width, shape.height, shape.hotX, shape.hotY,
                       reinterpret_cast<const unsigned char*>(shape.pixels.constData()));
            };
            const QPointer<ScreenLink> self(this);
            callbacks.needKey = [self](quint16 client, quint8 stream) {
                QMetaObject::invokeMethod(
                    self,
                    [self, client, stream] { self->sendPacket(encodeKeyRequest(client, stream)); },
                    Qt::QueuedConnection);
            };
            m_viewer = std::make_unique<screen::ScreenViewer>(std::move(callbacks));
        }
    } else {
        forgetPictures(sharer);
    }
    m_hooks.sendControl(
        QCborMap{{TypeKey, type::ScreenWatch}, {field::ClientId, sharer}, {field::On, on}});
}

void ScreenLink::setController(anyID controller, bool open)
{
    if (!m_running)
        return;
    // The sharer's own word counts here at once: input of a member it just took control from
    // is not injected, whatever is still on its way.
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            const auto share = state->screens.shares.find(m_ownId);
            if (share != state->screens.shares.end()) {
                share->controller = controller;
                share->open = open;
            }
        }
    }
    if (m_input)
        m_input->releaseAll();
    m_hooks.sendControl(QCborMap{
        {TypeKey, type::ScreenControl}, {field::Controller, controller}, {field::Open, open}});
}

void ScreenLink::take(anyID sharer, bool on)
{
    if (m_running)
        m_hooks.sendControl(
            QCborMap{{TypeKey, type::ScreenTake}, {field::ClientId, sharer}, {field::On, on}});
}

void ScreenLink::input(const Input& input)
{
    if (!m_running)
        return;
    const QByteArray packet = encodeInput(input);
    if (m_streamState == Stream::Open)
        return sendPacket(packet);
    needStream();
    if (int(m_early.size()) < EarlyInputLimit)
        m_early.push_back(packet);
}

void ScreenLink::needStream()
{
    if (m_streamState != Stream::None || !m_running)
        return;
    m_streamState = Stream::Asked;
    m_hooks.sendControl(QCborMap{{TypeKey, type::ScreenOpen}});
}

void ScreenLink::connectStream(const QByteArray& key)
{
    m_streamState = Stream::Connecting;
    m_stream = new TlsSocket(this);
    connect(m_stream, &TlsSocket::connected, this, [this, key] {
        if (!m_plain) {
            // The server the control connection trusts, with the same certificate.
            const QSslCertificate offered = m_stream->peerCertificateChain().value(0);
            if ((offered.isNull() || offered != m_certificate) &&
                !m_stream->verificationError().isEmpty()) {
                tellError(m_ownId, ERROR_connection_certificate_changed,
                          QStringLiteral("the screen connection shows another certificate"));
                return onStreamEnded();
            }
        }
        m_stream->write(encodeFrame(QCborMap{{TypeKey, type::Screen}, {field::Key, key}}));
        onStreamConnected();
    });
    connect(m_stream, &TlsSocket::readyRead, this, &ScreenLink::onStreamReadable);
    connect(m_stream, &TlsSocket::ended, this, &ScreenLink::onStreamEnded);
    m_stream->connectToHost(m_host, m_port, m_plain,
                            m_hooks.session ? m_hooks.session() : TlsSession());
}

void ScreenLink::onStreamConnected()
{
    m_streamState = Stream::Open;
    log(LogLevel_DEBUG, "Screen", QStringLiteral("screen connection open"), m_handler);
    while (!m_early.empty()) {
        m_stream->write(m_early.front());
        m_early.pop_front();
    }
    // What the share sent before the connection existed was lost: a key frame starts anew.
    if (m_share)
        m_share->requestKeyFrame(FullStream);
}

void ScreenLink::onStreamEnded()
{
    if (!m_stream)
        return;
    const QString why = m_stream->errorString();
    m_stream->disconnect(this);
    m_stream->deleteLater();
    m_stream = nullptr;
    m_streamState = Stream::None;
    m_reader = PacketReader();
    m_reader.setMaxLength(1 + MaxPacket);
    if (!m_running)
        return;
    log(LogLevel_WARNING, "Screen",
        QStringLiteral("the screen connection ended: %1")
            .arg(why.isEmpty() ? QStringLiteral("closed") : why),
        m_handler);
    // Still needed: open again, the share and the watched shares resume with key frames.
    bool watching = false;
    {
        QMutexLocker locker(&stateMutex());
        if (const HandlerState* state = findHandler(m_handler))
            watching = !state->screens.watching.isEmpty();
    }
    if (m_share || watching)
        QTimer::singleShot(1000, this, [this] { needStream(); });
}

void ScreenLink::onStreamReadable()
{
    for (;;) {
        PacketReader::Body body;
        PacketReader::Result result;
        while ((result = m_reader.next(&body)) == PacketReader::Packet) {
            QString error;
            bool ok = true;
            switch (body.kind) {
            case Kind::Video: {
                Video video;
                ok = decodeVideo(body.data, body.size, &video, &error);
                if (ok && m_viewer) {
                    QMutexLocker locker(&stateMutex());
                    const HandlerState* state = findHandler(m_handler);
                    if (!state || !state->screens.watching.contains(video.client))
                        break;
                    locker.unlock();
                    m_streams.insert(video.client,
                                     (video.flags & LowFrame) ? ScaledStream : FullStream);
                    m_viewer->push(video);
                }
                break;
            }
            case Kind::Cursor: {
                Cursor cursor;
                ok = decodeCursor(body.data, body.size, &cursor, &error);
                if (ok && m_viewer)
                    m_viewer->push(cursor);
                break;
            }
            case Kind::CursorShape: {
                CursorShape shape;
                ok = decodeCursorShape(body.data, body.size, &shape, &error);
                if (ok && m_viewer)
                    m_viewer->push(shape);
                break;
            }
            case Kind::Input: {
                Input input;
                ok = decodeInput(body.data, body.size, &input, &error);
                if (ok)
                    injected(input);
                break;
            }
            case Kind::KeyRequest: {
                quint16 client = 0;
                quint8 stream = FullStream;
                ok = decodeKeyRequest(body.data, body.size, &client, &stream, &error);
                if (ok && m_share)
                    m_share->requestKeyFrame(stream);
                break;
            }
            case Kind::LowStream: {
                quint32 kbps = 0;
                ok = decodeLowStream(body.data, body.size, &kbps, &error);
                if (ok && m_share)
                    m_share->setLowStream(kbps);
                break;
            }
            }
            if (!ok) {
                log(LogLevel_ERROR, "Screen",
                    QStringLiteral("a bad screen packet from the server: %1").arg(error),
                    m_handler);
                m_stream->abort();
                return onStreamEnded();
            }
            if (!m_stream)
                return;
        }
        if (result == PacketReader::Error) {
            log(LogLevel_ERROR, "Screen", m_reader.errorString(), m_handler);
            m_stream->abort();
            return onStreamEnded();
        }
        const qint64 got = m_stream->read(m_readBuffer.data(), m_readBuffer.size());
        if (got <= 0)
            return;
        m_reader.append(m_readBuffer.constData(), int(got));
    }
}

void ScreenLink::injected(const Input& input)
{
    if (!m_share || !m_input)
        return;
    SharedScreen own;
    {
        QMutexLocker locker(&stateMutex());
        if (const HandlerState* state = findHandler(m_handler))
            own = state->screens.shares.value(m_ownId);
    }
    // The server passes only the controller's input; this side checks again: input of a member
    // it has not heard is in control, nor may take it (open control, nobody holding it; the
    // server's word of who took it travels on the control connection), is never injected.
    if (input.client == 0 ||
        (input.client != own.controller && !(own.open && own.controller == 0))) {
        log(LogLevel_WARNING, "Screen",
            QStringLiteral("input of client %1, who has no control, dropped").arg(input.client),
            m_handler);
        return;
    }
    bool ok = true;
    switch (input.type) {
    case InputType::Move:
        if (input.a >= m_shareSize.width() || input.b >= m_shareSize.height())
            return;
        ok = m_input->move(input.a, input.b);
        break;
    case InputType::Button:
        ok = m_input->button(input.a, input.b != 0);
        break;
    case InputType::Wheel:
        ok = m_input->wheel(input.a, input.b);
        break;
    case InputType::Key:
        ok = m_input->key(quint32(input.a), input.b != 0);
        break;
    case InputType::Text:
        ok = m_input->text(QString::fromUtf8(input.text));
        break;
    }
    if (!ok)
        ownShareFailed(ERROR_screen_ended, QStringLiteral("the X11 display closed"));
}

void ScreenLink::sendPacket(const QByteArray& packet)
{
    if (m_streamState != Stream::Open || !m_stream)
        return; // a picture with no way out is worth nothing later
    m_stream->write(packet);
    measureBacklog();
}

void ScreenLink::measureBacklog()
{
    if (m_share)
        m_share->setBacklog(m_stream ? m_stream->unsentBytes() : 0);
}

} // namespace voicesdk
