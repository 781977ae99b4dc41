// SPDX-License-Identifier: MIT
#include "voicecrypto.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <openssl/evp.h>

#include <limits>

namespace voicesdk::protocol::voice {

namespace {

constexpr int NonceSize = 12;

// The 96-bit nonce: four zero bytes and the counter. Each direction has a key of its own, so
// the counter alone keeps nonces apart.
void nonceOf(quint64 counter, unsigned char* nonce)
{
    std::fill(nonce, nonce + 4, 0);
    qToBigEndian(counter, nonce + 4);
}

EVP_CIPHER_CTX* newContext(const QByteArray& key, bool encrypt)
{
    if (key.size() != KeySize)
        return nullptr;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context && EVP_CipherInit_ex(context, EVP_chacha20_poly1305(), nullptr,
                                     reinterpret_cast<const unsigned char*>(key.constData()),
                                     nullptr, encrypt ? 1 : 0) == 1)
        return context;
    EVP_CIPHER_CTX_free(context);
    return nullptr;
}

bool clientKind(quint8 kind)
{
    return kind == quint8(Kind::Voice) || kind == quint8(Kind::Ping);
}

bool serverKind(quint8 kind)
{
    return kind == quint8(Kind::Voice) || kind == quint8(Kind::Pong);
}

} // namespace

bool CounterWindow::mayAccept(quint64 counter) const
{
    if (!m_started || counter > m_newest)
        return true;
    // The newest word is partly ahead of the newest counter; the window ends one word early.
    if (m_newest - counter >= quint64(Size - 64))
        return false;
    const quint64 bit = counter % Size;
    return !(m_bits[bit / 64] & (quint64(1) << (bit % 64)));
}

void CounterWindow::accept(quint64 counter)
{
    if (!m_started) {
        m_started = true;
        m_newest = counter;
    } else if (counter > m_newest) {
        // Clear the words between the old newest and the new one: their counters are unseen.
        const quint64 from = m_newest / 64;
        const quint64 to = counter / 64;
        const quint64 words = qMin<quint64>(to - from, quint64(m_bits.size()));
        for (quint64 i = 1; i <= words; ++i)
            m_bits[(from + i) % m_bits.size()] = 0;
        m_newest = counter;
    }
    const quint64 bit = counter % Size;
    m_bits[bit / 64] |= quint64(1) << (bit % 64);
}

Sealer::Sealer(const QByteArray& key) : m_context(newContext(key, true)) {}

Sealer::~Sealer()
{
    EVP_CIPHER_CTX_free(m_context);
}

QByteArray Sealer::seal(const QByteArray& header, const char* body, int size)
{
    if (!m_context || m_next == std::numeric_limits<quint64>::max())
        return {};
    const quint64 counter = m_next++;
    QByteArray out(header.size() + CounterSize + size + TagSize, Qt::Uninitialized);
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    std::copy(header.constBegin(), header.constEnd(), out.begin());
    qToBigEndian(counter, bytes + header.size());
    unsigned char nonce[NonceSize];
    nonceOf(counter, nonce);
    unsigned char* cipher = bytes + header.size() + CounterSize;
    int length = 0;
    if (EVP_EncryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_EncryptUpdate(m_context, nullptr, &length, bytes, header.size() + CounterSize) != 1 ||
        EVP_EncryptUpdate(m_context, cipher, &length, reinterpret_cast<const unsigned char*>(body),
                          size) != 1 ||
        EVP_EncryptFinal_ex(m_context, cipher + length, &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_GET_TAG, TagSize, cipher + size) != 1)
        return {};
    return out;
}

Opener::Opener(const QByteArray& key) : m_context(newContext(key, false)) {}

Opener::~Opener()
{
    EVP_CIPHER_CTX_free(m_context);
}

Opener::Result Opener::open(const char* data, int size, int headerSize, QByteArray* body)
{
    const int bodySize = size - headerSize - CounterSize - TagSize;
    if (!m_context || headerSize < 0 || bodySize < 0)
        return Result::Malformed;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const quint64 counter = qFromBigEndian<quint64>(bytes + headerSize);
    if (!m_window.mayAccept(counter))
        return Result::Replayed;
    unsigned char nonce[NonceSize];
    nonceOf(counter, nonce);
    body->resize(bodySize);
    auto* plain = reinterpret_cast<unsigned char*>(body->data());
    const unsigned char* cipher = bytes + headerSize + CounterSize;
    unsigned char tag[TagSize];
    std::copy(cipher + bodySize, cipher + bodySize + TagSize, tag);
    int length = 0;
    if (EVP_DecryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_SET_TAG, TagSize, tag) != 1 ||
        EVP_DecryptUpdate(m_context, nullptr, &length, bytes, headerSize + CounterSize) != 1 ||
        EVP_DecryptUpdate(m_context, plain, &length, cipher, bodySize) != 1 ||
        EVP_DecryptFinal_ex(m_context, plain + length, &length) != 1) {
        body->clear();
        return Result::Forged;
    }
    m_window.accept(counter);
    return Result::Opened;
}

QByteArray randomKey()
{
    QByteArray key(KeySize, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(key.data()), KeySize / 4);
    return key;
}

QByteArray sealClientDatagram(Sealer& sealer, const QByteArray& token, Kind kind,
                              const QByteArray& body)
{
    QByteArray header;
    header.reserve(ClientHeaderSize);
    header.append(char(SealedVersion));
    header.append(char(kind));
    header.append(token);
    return sealer.seal(header, body.constData(), body.size());
}

QByteArray sealServerDatagram(Sealer& sealer, Kind kind, const QByteArray& body)
{
    const char header[ServerHeaderSize] = {char(SealedVersion), char(kind)};
    return sealer.seal(QByteArray::fromRawData(header, ServerHeaderSize), body.constData(),
                       body.size());
}

bool peekSealedClientDatagram(const char* data, int size, QByteArray* token)
{
    // The smallest is a sealed ping.
    if (size < ClientHeaderSize + CounterSize + 4 + TagSize || size > MaxSealedDatagram ||
        quint8(data[0]) != SealedVersion || !clientKind(quint8(data[1])))
        return false;
    *token = QByteArray(data + 2, TokenSize);
    return true;
}

Opener::Result openClientDatagram(Opener& opener, const char* data, int size, ClientDatagram* out)
{
    if (!peekSealedClientDatagram(data, size, &out->token))
        return Opener::Result::Malformed;
    QByteArray body;
    const Opener::Result result = opener.open(data, size, ClientHeaderSize, &body);
    if (result != Opener::Result::Opened)
        return result;
    out->kind = Kind(quint8(data[1]));
    if (out->kind == Kind::Ping) {
        if (body.size() != 4)
            return Opener::Result::Malformed;
        out->nonce = qFromBigEndian<quint32>(body.constData());
        return result;
    }
    if (!decodeFrame(body.constData(), body.size(), &out->frame))
        return Opener::Result::Malformed;
    out->frameBytes = body;
    return result;
}

Opener::Result openServerDatagram(Opener& opener, const char* data, int size, ServerDatagram* out)
{
    if (size < ServerHeaderSize + CounterSize + 4 + TagSize || size > MaxSealedDatagram ||
        quint8(data[0]) != SealedVersion || !serverKind(quint8(data[1])))
        return Opener::Result::Malformed;
    QByteArray body;
    const Opener::Result result = opener.open(data, size, ServerHeaderSize, &body);
    if (result != Opener::Result::Opened)
        return result;
    out->kind = Kind(quint8(data[1]));
    if (out->kind == Kind::Pong) {
        if (body.size() != 4)
            return Opener::Result::Malformed;
        out->nonce = qFromBigEndian<quint32>(body.constData());
        return result;
    }
    return decodeFrame(body.constData(), body.size(), &out->frame) ? result
                                                                   : Opener::Result::Malformed;
}

} // namespace voicesdk::protocol::voice
