// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QVector>

#include <memory>

namespace voicesdk::screen {

// A shared screen's encoder (libvpx in real time, tuned for screen content). It keeps the
// picture in I420; the sharer converts only what changed into it (libyuv), and the encoder
// spends its work only on the macroblocks that changed (an active map). When the screen comes
// to rest, one "top-off" frame sharpens what changed since the last one, so a still screen ends
// up crisp and then costs nothing.
class ScreenEncoder
{
public:
    enum class Frame { Delta, Key, TopOff };

    ScreenEncoder(protocol::screen::Codec codec, int width, int height, unsigned int kbps);
    ~ScreenEncoder();
    ScreenEncoder(const ScreenEncoder&) = delete;
    ScreenEncoder& operator=(const ScreenEncoder&) = delete;

    bool isValid() const { return m_valid; }
    QString errorString() const { return m_error; }
    protocol::screen::Codec codec() const { return m_codec; }
    int width() const { return m_width; }
    int height() const { return m_height; }

    // A rectangle grows to even bounds: 2 x 2 pixels share their colour in I420.
    QRect aligned(const QRect& rect) const;
    // Converts B G R A pixels of an aligned rectangle (the first pixel its top left, stride
    // bytes a row) into the encoder's picture.
    void update(const uchar* bgra, int stride, const QRect& rect);
    // The whole picture of the full stream's encoder, scaled to this one's size; what changed
    // there (in its pixels) is what changes here.
    void scaleFrom(const ScreenEncoder& full, const QRect& changed);
    // Something changed since the last frame.
    bool hasChanges() const { return m_changed; }
    // Something changed since the last top-off (or key frame) and is not sharp yet.
    bool needsTopOff() const { return m_soft; }
    // Encodes a frame of that kind; false with errorString() when the codec failed. An empty
    // result is no error: the encoder had nothing to say.
    bool encode(Frame kind, qint64 timestampMs, QByteArray* out, bool* key);
    void setBitrate(unsigned int kbps);
    unsigned int bitrate() const { return m_kbps; }

private:
    struct Vpx;
    void markActive(const QRect& rect);
    bool configure(int minQuantizer, int maxQuantizer, bool mayDrop);

    std::unique_ptr<Vpx> m_vpx;
    protocol::screen::Codec m_codec;
    int m_width;
    int m_height;
    unsigned int m_kbps;
    bool m_valid = false;
    QString m_error;
    QByteArray m_picture; // I420
    int m_mbCols = 0;
    int m_mbRows = 0;
    QByteArray m_active; // macroblocks changed since the last frame
    QByteArray m_dirty;  // since the last top-off
    bool m_changed = false;
    bool m_soft = false;
    int m_quantizers[2] = {-1, -1};
};

// A watched share's decoder: VP8 or VP9 as the packet says, into B G R A.
class ScreenDecoder
{
public:
    ScreenDecoder();
    ~ScreenDecoder();
    ScreenDecoder(const ScreenDecoder&) = delete;
    ScreenDecoder& operator=(const ScreenDecoder&) = delete;

    // Decodes one picture into *bgra (width * 4 bytes a row). False with errorString() for a
    // picture that cannot be decoded: the watcher waits for the next key frame.
    bool decode(const protocol::screen::Video& video, QByteArray* bgra);
    QString errorString() const { return m_error; }

private:
    struct Vpx;
    std::unique_ptr<Vpx> m_vpx;
    QString m_error;
};

} // namespace voicesdk::screen
