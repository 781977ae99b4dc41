// SPDX-License-Identifier: MIT
#include "videocodec.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/scale.h>
#include <vpx/vp8cx.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>
#include <vpx/vpx_encoder.h>

#include <cstring>

namespace voicesdk::screen {

using protocol::screen::Codec;

namespace {
// The quantizers of moving pictures, and of the top-off that sharpens a still one.
constexpr int MinQuantizer = 4;
// As coarse as VP8 goes: the rate control decides, and a slow link's key frames stay small.
constexpr int MaxQuantizer = 63;
constexpr int TopOffQuantizer = 8;
// A picture too costly for the bit rate (noise, a video) is skipped by the encoder while its
// buffer is below this share of its size: the cap holds, and the changes go with the next one.
constexpr unsigned int DropBelowPercent = 30;
// A key frame may cost this many per cent of an average frame: the first picture of a share
// arrives quickly, and is sharpened by the top-off.
constexpr unsigned int MaxIntraPercent = 600;

int even(int value)
{
    return value & ~1;
}
} // namespace

struct ScreenEncoder::Vpx
{
    vpx_codec_ctx_t codec = {};
    vpx_codec_enc_cfg_t config = {};
    vpx_image_t image = {};
    bool open = false;
    ~Vpx()
    {
        if (open)
            vpx_codec_destroy(&codec);
    }
};

ScreenEncoder::ScreenEncoder(Codec codec, int width, int height, unsigned int kbps)
    : m_vpx(std::make_unique<Vpx>()), m_codec(codec), m_width(width), m_height(height), m_kbps(kbps)
{
    // I420 wants even sizes; the odd last row or column is coded as part of the picture.
    vpx_codec_iface_t* iface = codec == Codec::Vp9 ? vpx_codec_vp9_cx() : vpx_codec_vp8_cx();
    vpx_codec_enc_cfg_t& cfg = m_vpx->config;
    if (vpx_codec_enc_config_default(iface, &cfg, 0) != VPX_CODEC_OK) {
        m_error = QStringLiteral("the video encoder has no default settings");
        return;
    }
    cfg.g_w = unsigned(width);
    cfg.g_h = unsigned(height);
    cfg.g_timebase = {1, 1000};
    cfg.g_threads = 1;
    cfg.g_lag_in_frames = 0;
    cfg.g_pass = VPX_RC_ONE_PASS;
    cfg.g_error_resilient = 0;
    cfg.rc_end_usage = VPX_CBR;
    cfg.rc_target_bitrate = kbps;
    cfg.rc_min_quantizer = MinQuantizer;
    cfg.rc_max_quantizer = MaxQuantizer;
    cfg.rc_dropframe_thresh = DropBelowPercent;
    cfg.rc_undershoot_pct = 50;
    cfg.rc_overshoot_pct = 50;
    cfg.rc_buf_sz = 1000;
    cfg.rc_buf_initial_sz = 500;
    cfg.rc_buf_optimal_sz = 600;
    cfg.kf_mode = VPX_KF_DISABLED; // key frames when a watcher needs one
    if (vpx_codec_enc_init(&m_vpx->codec, iface, &cfg, 0) != VPX_CODEC_OK) {
        m_error = QStringLiteral("cannot start the video encoder: %1")
                      .arg(QString::fromUtf8(vpx_codec_error(&m_vpx->codec)));
        return;
    }
    m_vpx->open = true;
    m_quantizers[0] = MinQuantizer;
    m_quantizers[1] = MaxQuantizer;
    vpx_codec_ctx_t* c = &m_vpx->codec;
    if (codec == Codec::Vp9) {
        vpx_codec_control(c, VP8E_SET_CPUUSED, 9);
        vpx_codec_control(c, VP9E_SET_TUNE_CONTENT, VP9E_CONTENT_SCREEN);
        vpx_codec_control(c, VP9E_SET_AQ_MODE, 0);
    } else {
        vpx_codec_control(c, VP8E_SET_CPUUSED, 12);
        vpx_codec_control(c, VP8E_SET_SCREEN_CONTENT_MODE, 1);
        vpx_codec_control(c, VP8E_SET_STATIC_THRESHOLD, 1);
    }
    vpx_codec_control(c, VP8E_SET_NOISE_SENSITIVITY, 0);
    vpx_codec_control(c, VP8E_SET_MAX_INTRA_BITRATE_PCT, MaxIntraPercent);

    m_picture.fill(char(0), width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2));
    vpx_img_wrap(&m_vpx->image, VPX_IMG_FMT_I420, unsigned(width), unsigned(height), 1,
                 reinterpret_cast<unsigned char*>(m_picture.data()));
    m_mbCols = (width + 15) / 16;
    m_mbRows = (height + 15) / 16;
    m_active.fill(char(0), m_mbCols * m_mbRows);
    m_dirty.fill(char(0), m_mbCols * m_mbRows);
    m_valid = true;
}

ScreenEncoder::~ScreenEncoder() = default;

void ScreenEncoder::markActive(const QRect& rect)
{
    const int left = rect.left() / 16, right = rect.right() / 16;
    const int top = rect.top() / 16, bottom = rect.bottom() / 16;
    for (int row = top; row <= bottom && row < m_mbRows; ++row)
        for (int col = left; col <= right && col < m_mbCols; ++col) {
            m_active[row * m_mbCols + col] = 1;
            m_dirty[row * m_mbCols + col] = 1;
        }
}

QRect ScreenEncoder::aligned(const QRect& rect) const
{
    const int x = even(rect.x()), y = even(rect.y());
    const int right = qMin(m_width, even(rect.right() + 2));
    const int bottom = qMin(m_height, even(rect.bottom() + 2));
    return QRect(x, y, right - x, bottom - y);
}

void ScreenEncoder::update(const uchar* bgra, int stride, const QRect& rect)
{
    if (rect.isEmpty() || rect.x() % 2 || rect.y() % 2 || rect.right() >= m_width ||
        rect.bottom() >= m_height)
        return;
    vpx_image_t& image = m_vpx->image;
    const int x = rect.x(), y = rect.y();
    libyuv::ARGBToI420(bgra, stride, image.planes[0] + y * image.stride[0] + x, image.stride[0],
                       image.planes[1] + (y / 2) * image.stride[1] + x / 2, image.stride[1],
                       image.planes[2] + (y / 2) * image.stride[2] + x / 2, image.stride[2],
                       rect.width(), rect.height());
    markActive(rect);
    m_changed = true;
    m_soft = true;
}

void ScreenEncoder::scaleFrom(const ScreenEncoder& full, const QRect& changed)
{
    const vpx_image_t& from = full.m_vpx->image;
    vpx_image_t& to = m_vpx->image;
    libyuv::I420Scale(from.planes[0], from.stride[0], from.planes[1], from.stride[1],
                      from.planes[2], from.stride[2], full.m_width, full.m_height, to.planes[0],
                      to.stride[0], to.planes[1], to.stride[1], to.planes[2], to.stride[2], m_width,
                      m_height, libyuv::kFilterBox);
    // The filter reaches a pixel beyond the scaled rectangle.
    const QRect scaled(changed.x() * m_width / full.m_width - 2,
                       changed.y() * m_height / full.m_height - 2,
                       changed.width() * m_width / full.m_width + 5,
                       changed.height() * m_height / full.m_height + 5);
    const QRect area = scaled & QRect(0, 0, m_width, m_height);
    if (area.isEmpty())
        return;
    markActive(area);
    m_changed = true;
    m_soft = true;
}

bool ScreenEncoder::configure(int minQuantizer, int maxQuantizer, bool mayDrop)
{
    const unsigned int drop = mayDrop ? DropBelowPercent : 0;
    if (m_quantizers[0] == minQuantizer && m_quantizers[1] == maxQuantizer &&
        m_vpx->config.rc_dropframe_thresh == drop)
        return true;
    m_vpx->config.rc_min_quantizer = unsigned(minQuantizer);
    m_vpx->config.rc_max_quantizer = unsigned(maxQuantizer);
    m_vpx->config.rc_dropframe_thresh = drop;
    if (vpx_codec_enc_config_set(&m_vpx->codec, &m_vpx->config) != VPX_CODEC_OK) {
        m_error = QStringLiteral("the video encoder refused its settings: %1")
                      .arg(QString::fromUtf8(vpx_codec_error(&m_vpx->codec)));
        return false;
    }
    m_quantizers[0] = minQuantizer;
    m_quantizers[1] = maxQuantizer;
    return true;
}

void ScreenEncoder::setBitrate(unsigned int kbps)
{
    if (!m_valid || kbps == m_kbps)
        return;
    m_kbps = kbps;
    m_vpx->config.rc_target_bitrate = kbps;
    vpx_codec_enc_config_set(&m_vpx->codec, &m_vpx->config);
}

bool ScreenEncoder::encode(Frame kind, qint64 timestampMs, QByteArray* out, bool* key)
{
    out->clear();
    *key = false;
    if (!m_valid)
        return false;
    vpx_codec_ctx_t* c = &m_vpx->codec;
    const bool topOff = kind == Frame::TopOff;
    // Key frames and top-offs are never skipped: a watcher waits for the one, a still screen
    // for the other.
    if (!configure(MinQuantizer, topOff ? TopOffQuantizer : MaxQuantizer, kind == Frame::Delta))
        return false;
    vpx_active_map_t map = {nullptr, unsigned(m_mbRows), unsigned(m_mbCols)};
    if (kind != Frame::Key)
        map.active_map =
            reinterpret_cast<unsigned char*>(topOff ? m_dirty.data() : m_active.data());
    // Where nothing is active the encoder would code the whole picture.
    if (map.active_map && !std::memchr(map.active_map, 1, size_t(m_mbCols * m_mbRows)))
        return true;
    vpx_codec_control(c, VP8E_SET_ACTIVEMAP, &map);
    const vpx_codec_err_t result =
        vpx_codec_encode(c, &m_vpx->image, timestampMs, 1,
                         kind == Frame::Key ? VPX_EFLAG_FORCE_KF : 0, VPX_DL_REALTIME);
    if (result != VPX_CODEC_OK) {
        m_error = QStringLiteral("the video encoder failed: %1")
                      .arg(QString::fromUtf8(vpx_codec_error(c)));
        return false;
    }
    vpx_codec_iter_t iter = nullptr;
    while (const vpx_codec_cx_pkt_t* packet = vpx_codec_get_cx_data(c, &iter)) {
        if (packet->kind != VPX_CODEC_CX_FRAME_PKT)
            continue;
        out->append(static_cast<const char*>(packet->data.frame.buf), int(packet->data.frame.sz));
        *key = *key || (packet->data.frame.flags & VPX_FRAME_IS_KEY);
    }
    if (out->isEmpty())
        return true; // skipped: what changed stays marked for the next frame
    std::memset(m_active.data(), 0, size_t(m_active.size()));
    m_changed = false;
    if (kind != Frame::Delta) {
        // A key frame leaves everything coarse; a top-off leaves it sharp.
        std::memset(m_dirty.data(), kind == Frame::Key ? 1 : 0, size_t(m_dirty.size()));
        m_soft = kind == Frame::Key;
    }
    return true;
}

struct ScreenDecoder::Vpx
{
    vpx_codec_ctx_t codec = {};
    bool open = false;
    Codec kind = Codec::Vp8;
    ~Vpx()
    {
        if (open)
            vpx_codec_destroy(&codec);
    }
};

ScreenDecoder::ScreenDecoder() : m_vpx(std::make_unique<Vpx>()) {}

ScreenDecoder::~ScreenDecoder() = default;

bool ScreenDecoder::decode(const protocol::screen::Video& video, QByteArray* bgra)
{
    Vpx& d = *m_vpx;
    vpx_codec_iface_t* iface = video.codec == Codec::Vp9 ? vpx_codec_vp9_dx() : vpx_codec_vp8_dx();
    // The picture's size as its bitstream says must be the size the packet was checked for:
    // a decoder would otherwise allocate whatever a hostile key frame asks for.
    vpx_codec_stream_info_t info = {sizeof info, 0, 0, 0};
    const vpx_codec_err_t peeked =
        vpx_codec_peek_stream_info(iface, reinterpret_cast<const uint8_t*>(video.data.constData()),
                                   unsigned(video.data.size()), &info);
    if ((video.flags & protocol::screen::KeyFrame) &&
        (peeked != VPX_CODEC_OK || !info.is_kf || int(info.w) != video.width ||
         int(info.h) != video.height)) {
        m_error = QStringLiteral("a key frame that is not one of %1 x %2 pixels")
                      .arg(video.width)
                      .arg(video.height);
        if (d.open)
            vpx_codec_destroy(&d.codec);
        d.open = false;
        return false;
    }
    if (d.open && d.kind != video.codec) {
        vpx_codec_destroy(&d.codec);
        d.open = false;
    }
    if (!d.open) {
        if (!(video.flags & protocol::screen::KeyFrame)) {
            m_error = QStringLiteral("waiting for a key frame");
            return false;
        }
        vpx_codec_dec_cfg_t cfg = {1, video.width, video.height};
        if (vpx_codec_dec_init(&d.codec, iface, &cfg, 0) != VPX_CODEC_OK) {
            m_error = QStringLiteral("cannot start the video decoder");
            return false;
        }
        d.open = true;
        d.kind = video.codec;
    }
    if (vpx_codec_decode(&d.codec, reinterpret_cast<const uint8_t*>(video.data.constData()),
                         unsigned(video.data.size()), nullptr, 0) != VPX_CODEC_OK) {
        m_error = QStringLiteral("a picture could not be decoded: %1")
                      .arg(QString::fromUtf8(vpx_codec_error(&d.codec)));
        // What comes after a broken picture is garbage until the next key frame.
        vpx_codec_destroy(&d.codec);
        d.open = false;
        return false;
    }
    vpx_codec_iter_t iter = nullptr;
    const vpx_image_t* image = vpx_codec_get_frame(&d.codec, &iter);
    if (!image || image->fmt != VPX_IMG_FMT_I420 || int(image->d_w) != video.width ||
        int(image->d_h) != video.height) {
        m_error = QStringLiteral("the decoder gave no picture of %1 x %2")
                      .arg(video.width)
                      .arg(video.height);
        return false;
    }
    bgra->resize(video.width * video.height * 4);
    libyuv::I420ToARGB(image->planes[0], image->stride[0], image->planes[1], image->stride[1],
                       image->planes[2], image->stride[2], reinterpret_cast<uint8_t*>(bgra->data()),
                       video.width * 4, video.width, video.height);
    return true;
}

} // namespace voicesdk::screen
