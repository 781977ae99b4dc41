// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"
#include "tlssocket.h"
#include "voicesdk.h"

#include <QByteArray>
#include <QCborMap>
#include <QHash>
#include <QObject>
#include <QSize>
#include <QSslCertificate>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace voicesdk {

namespace screen {
class ScreenShare;
class ScreenViewer;
class X11Capture;
class X11Input;
} // namespace screen

// The screen callbacks registered now (a copy: the table may change meanwhile); forgotten when
// the library goes down.
VoiceScreenFunctions screenCallbacks();
void forgetScreenCallbacks();

// The live screens of one established control connection, on the network thread: the screen
// connection to the server (opened when first needed, with a key the control connection asks
// for), the own share with its injected input, the watched shares and their viewer, and the
// mirror of who shares and who controls in the own channel.
class ScreenLink : public QObject
{
    Q_OBJECT
public:
    struct Hooks
    {
        std::function<void(const QCborMap& message)> sendControl;
        // The session of the control connection, to resume.
        std::function<TlsSession()> session;
    };

    ScreenLink(uint64 handler, Hooks hooks, QObject* parent);
    ~ScreenLink() override;

    // The connection is established.
    void start(const QString& host, quint16 port, bool plain, const QSslCertificate& certificate,
               anyID ownId);
    // The connection ended: the own share and all watching end, told as events.
    void stop();
    // A "screen..." message from the server; false when malformed.
    bool handleMessage(const QString& type, const QCborMap& message);
    // Someone joined, moved or left: shares outside the own channel are gone for this client.
    void membersChanged();

    // The C API's requests, on the network thread; checked on the caller's thread already.
    void share(std::unique_ptr<screen::X11Capture> capture, std::unique_ptr<screen::X11Input> input,
               const QByteArray& display, int monitor, unsigned int maxKbps);
    void stopShare(const QString& why);
    void watch(anyID sharer, bool on);
    void requestKeyFrame(anyID sharer);
    void setController(anyID controller, bool open);
    void take(anyID sharer, bool on);
    void input(const protocol::screen::Input& input);

private:
    enum class Stream { None, Asked, Connecting, Open };

    void needStream();
    void connectStream(const QByteArray& key);
    void onStreamConnected();
    void onStreamReadable();
    void onStreamEnded();
    void sendPacket(const QByteArray& packet);
    void measureBacklog();
    void injected(const protocol::screen::Input& input);
    void shareEnded(anyID sharer);
    // Nothing more of sharer's pictures; the decoding thread goes once nothing is watched.
    void forgetPictures(anyID sharer);
    // The own share ended: its watchers are told as gone.
    void forgetWatchers();
    void ownShareFailed(unsigned int code, const QString& message);
    // Events; the mirror is written before they are told.
    void tellShare(anyID client, bool sharing, int width, int height);
    void tellControl(anyID sharer, anyID controller, bool open);
    void tellError(anyID client, unsigned int code, const QString& message);
    bool inOwnChannel(anyID client) const;

    uint64 m_handler;
    Hooks m_hooks;
    bool m_running = false;
    anyID m_ownId = 0;
    QString m_host;
    quint16 m_port = 0;
    bool m_plain = false;
    QSslCertificate m_certificate;
    Stream m_streamState = Stream::None;
    TlsSocket* m_stream = nullptr;
    protocol::screen::PacketReader m_reader;
    std::deque<QByteArray> m_early; // input waiting for the stream to open, bounded
    QByteArray m_readBuffer;
    std::unique_ptr<screen::ScreenShare> m_share;
    std::unique_ptr<screen::X11Input> m_input;
    QSize m_shareSize;
    quint64 m_shareChannel = 0; // where the own share runs
    std::unique_ptr<screen::ScreenViewer> m_viewer;
    // The stream each watched share's pictures come on (the server chooses it).
    QHash<anyID, quint8> m_streams;
    QTimer m_backlogTimer;
};

} // namespace voicesdk
