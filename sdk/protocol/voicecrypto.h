// SPDX-License-Identifier: MIT
#pragma once

#include "voicepacket.h"

#include <QByteArray>

#include <array>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

// Sealed voice datagrams (docs/protocol.md, "Sealed datagrams"): the clear header of a datagram
// (version 2, kind, and for a client's datagram its token), an 8-byte counter, then the body
// encrypted with ChaCha20-Poly1305 under a key of one direction of one client, with the header
// and the counter as additional data and a 16-byte tag. The counter is the nonce: the sender
// counts up from 0 and never uses a value twice under a key; the receiver refuses a counter it
// has seen or that lies too far behind the newest, and updates its window only for datagrams
// whose tag verified, so forged datagrams cannot push good ones out.
namespace voicesdk::protocol::voice {

constexpr quint8 SealedVersion = 2;
constexpr int KeySize = 32;
constexpr int CounterSize = 8;
constexpr int TagSize = 16;
constexpr int ClientHeaderSize = 2 + TokenSize;
constexpr int ServerHeaderSize = 2;
constexpr int MaxSealedDatagram = MaxDatagram + CounterSize + TagSize;

// Which counters of one sender were seen, over the last Size - 64 of them.
class CounterWindow
{
public:
    static constexpr int Size = 1024;
    // True when counter may be new; nothing is recorded.
    bool mayAccept(quint64 counter) const;
    // Records counter as seen (one for which mayAccept was true and whose tag verified).
    void accept(quint64 counter);

private:
    bool m_started = false;
    quint64 m_newest = 0;
    std::array<quint64, Size / 64> m_bits = {};
};

// One direction's key, sealing. Not copyable: it holds the cipher's state.
class Sealer
{
public:
    explicit Sealer(const QByteArray& key);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    bool isValid() const { return m_context != nullptr; }
    // header, then the next counter, then body sealed. Empty when the key is unusable or its
    // counters are spent.
    QByteArray seal(const QByteArray& header, const char* body, int size);

private:
    EVP_CIPHER_CTX* m_context = nullptr;
    quint64 m_next = 0;
};

// One direction's key, opening, with the sender's counter window.
class Opener
{
public:
    enum class Result { Opened, Malformed, Forged, Replayed };

    explicit Opener(const QByteArray& key);
    ~Opener();
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    bool isValid() const { return m_context != nullptr; }
    // Checks and decrypts a datagram whose clear header is headerSize bytes; *body gets the
    // plain body. Malformed: too short to hold counter and tag.
    Result open(const char* data, int size, int headerSize, QByteArray* body);

private:
    EVP_CIPHER_CTX* m_context = nullptr;
    CounterWindow m_window;
};

// A fresh random key.
QByteArray randomKey();

// The sealed forms of the datagrams of voicepacket.h. Client to server: kind Voice (a frame) or
// Ping (a 4-byte nonce); server to client: Voice (a frame) or Pong (the nonce).
QByteArray sealClientDatagram(Sealer& sealer, const QByteArray& token, Kind kind,
                              const QByteArray& body);
QByteArray sealServerDatagram(Sealer& sealer, Kind kind, const QByteArray& body);
// The clear part of a sealed client datagram: false when it cannot be one.
bool peekSealedClientDatagram(const char* data, int size, QByteArray* token);
// Opens and decodes; Malformed also for a body that is not what its kind needs.
Opener::Result openClientDatagram(Opener& opener, const char* data, int size, ClientDatagram* out);
Opener::Result openServerDatagram(Opener& opener, const char* data, int size, ServerDatagram* out);

} // namespace voicesdk::protocol::voice
