// SPDX-License-Identifier: MIT
// Which video codec carries a shared screen: VP8, VP9 and AV1 (libaom) in their real-time,
// screen-content settings, on the same 1920 x 1080 screens (typing into a page of text, and the
// page scrolling every frame). Prints per codec the encoder's and the decoder's CPU per frame,
// the bit rate at 30 frames a second and the picture's quality (PSNR of the luma), so the choice
// in docs/protocol.md ("Screens") can be checked on any machine.
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QVector>

#include <aom/aom_decoder.h>
#include <aom/aom_encoder.h>
#include <aom/aomcx.h>
#include <aom/aomdx.h>
#include <libyuv/convert.h>
#include <vpx/vp8cx.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>
#include <vpx/vpx_encoder.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int Frames = 120;

double threadMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct I420
{
    QByteArray data{Width * Height * 3 / 2, 0};
    uchar* y() { return reinterpret_cast<uchar*>(data.data()); }
    uchar* u() { return y() + Width * Height; }
    uchar* v() { return u() + Width * Height / 4; }
};

// A page of 12-point text as an editor shows it; scroll moves it up, typed adds characters.
QImage page(int scroll, int typed)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(16);
    painter.setFont(font);
    painter.setPen(Qt::black);
    const QString line = QStringLiteral(
        "The quick brown fox jumps over the lazy dog; sphinx of black quartz, judge my vow. %1");
    for (int row = 0; row < 200; ++row) {
        const int y = 40 + row * 22 - scroll;
        if (y < -22 || y > Height + 22)
            continue;
        painter.drawText(20, y, line.arg(row));
    }
    painter.fillRect(0, 0, Width, 28, QColor(230, 230, 235));
    painter.drawText(20, Height - 10,
                     QStringLiteral("typed: ") + QString(typed, QLatin1Char('x')).left(200));
    return image;
}

double psnr(const uchar* a, const uchar* b, int strideB)
{
    double sum = 0;
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            const double d = double(a[y * Width + x]) - double(b[y * strideB + x]);
            sum += d * d;
        }
    const double mse = sum / (double(Width) * Height);
    return mse <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Result
{
    double encodeMs = 0;
    double decodeMs = 0;
    double kbps = 0;
    double psnr = 0;
    double keyKiB = 0;
};

// One codec behind three calls.
struct Codec
{
    const char* name;
    std::function<bool(unsigned kbps)> open;
    // Encodes one frame; appends the bytes of what came out.
    std::function<void(I420& frame, int index, bool key, QByteArray* out)> encode;
    // Decodes; returns the luma plane and its stride.
    std::function<const uchar*(const QByteArray& bytes, int* stride)> decode;
    std::function<void()> close;
};

Codec vpxCodec(const char* name, vpx_codec_iface_t* (*cx)(), vpx_codec_iface_t* (*dx)(), bool vp9)
{
    auto enc = std::make_shared<vpx_codec_ctx_t>();
    auto dec = std::make_shared<vpx_codec_ctx_t>();
    Codec codec;
    codec.name = name;
    codec.open = [=](unsigned kbps) {
        vpx_codec_enc_cfg_t cfg;
        vpx_codec_enc_config_default(cx(), &cfg, 0);
        cfg.g_w = Width;
        cfg.g_h = Height;
        cfg.g_timebase = {1, 1000};
        cfg.rc_target_bitrate = kbps;
        cfg.rc_end_usage = VPX_CBR;
        cfg.g_lag_in_frames = 0;
        cfg.g_threads = 1;
        cfg.g_pass = VPX_RC_ONE_PASS;
        cfg.kf_mode = VPX_KF_DISABLED;
        cfg.rc_dropframe_thresh = 0;
        cfg.rc_min_quantizer = 2;
        cfg.rc_max_quantizer = 56;
        cfg.rc_buf_sz = 1000;
        cfg.rc_buf_initial_sz = 500;
        cfg.rc_buf_optimal_sz = 600;
        cfg.rc_undershoot_pct = 50;
        cfg.rc_overshoot_pct = 50;
        if (vpx_codec_enc_init(enc.get(), cx(), &cfg, 0) != VPX_CODEC_OK)
            return false;
        if (vp9) {
            vpx_codec_control(enc.get(), VP8E_SET_CPUUSED, 9);
            vpx_codec_control(enc.get(), VP9E_SET_TUNE_CONTENT, VP9E_CONTENT_SCREEN);
            vpx_codec_control(enc.get(), VP9E_SET_AQ_MODE, 3);
            vpx_codec_control(enc.get(), VP9E_SET_ROW_MT, 0);
        } else {
            vpx_codec_control(enc.get(), VP8E_SET_CPUUSED, 12);
            vpx_codec_control(enc.get(), VP8E_SET_SCREEN_CONTENT_MODE, 1);
            vpx_codec_control(enc.get(), VP8E_SET_STATIC_THRESHOLD, 1);
        }
        vpx_codec_control(enc.get(), VP8E_SET_MAX_INTRA_BITRATE_PCT, 900);
        vpx_codec_dec_cfg_t dcfg = {1, Width, Height};
        return vpx_codec_dec_init(dec.get(), dx(), &dcfg, 0) == VPX_CODEC_OK;
    };
    codec.encode = [=](I420& frame, int index, bool key, QByteArray* out) {
        vpx_image_t image;
        vpx_img_wrap(&image, VPX_IMG_FMT_I420, Width, Height, 1, frame.y());
        vpx_codec_encode(enc.get(), &image, index * 33, 33, key ? VPX_EFLAG_FORCE_KF : 0,
                         VPX_DL_REALTIME);
        vpx_codec_iter_t iter = nullptr;
        while (const vpx_codec_cx_pkt_t* packet = vpx_codec_get_cx_data(enc.get(), &iter))
            if (packet->kind == VPX_CODEC_CX_FRAME_PKT)
                out->append(static_cast<const char*>(packet->data.frame.buf),
                            int(packet->data.frame.sz));
    };
    codec.decode = [=](const QByteArray& bytes, int* stride) -> const uchar* {
        vpx_codec_decode(dec.get(), reinterpret_cast<const uint8_t*>(bytes.constData()),
                         unsigned(bytes.size()), nullptr, 0);
        vpx_codec_iter_t iter = nullptr;
        const vpx_image_t* image = vpx_codec_get_frame(dec.get(), &iter);
        if (!image)
            return nullptr;
        *stride = image->stride[0];
        return image->planes[0];
    };
    codec.close = [=] {
        vpx_codec_destroy(enc.get());
        vpx_codec_destroy(dec.get());
    };
    return codec;
}

Codec aomCodec()
{
    auto enc = std::make_shared<aom_codec_ctx_t>();
    auto dec = std::make_shared<aom_codec_ctx_t>();
    Codec codec;
    codec.name = "AV1 (libaom)";
    codec.open = [=](unsigned kbps) {
        aom_codec_enc_cfg_t cfg;
        aom_codec_enc_config_default(aom_codec_av1_cx(), &cfg, AOM_USAGE_REALTIME);
        cfg.g_w = Width;
        cfg.g_h = Height;
        cfg.g_timebase = {1, 1000};
        cfg.rc_target_bitrate = kbps;
        cfg.rc_end_usage = AOM_CBR;
        cfg.g_lag_in_frames = 0;
        cfg.g_threads = 1;
        cfg.kf_mode = AOM_KF_DISABLED;
        cfg.rc_dropframe_thresh = 0;
        if (aom_codec_enc_init(enc.get(), aom_codec_av1_cx(), &cfg, 0) != AOM_CODEC_OK)
            return false;
        aom_codec_control(enc.get(), AOME_SET_CPUUSED, 10);
        aom_codec_control(enc.get(), AV1E_SET_TUNE_CONTENT, AOM_CONTENT_SCREEN);
        aom_codec_control(enc.get(), AV1E_SET_AQ_MODE, 3);
        aom_codec_dec_cfg_t dcfg = {1, Width, Height, 1};
        return aom_codec_dec_init(dec.get(), aom_codec_av1_dx(), &dcfg, 0) == AOM_CODEC_OK;
    };
    codec.encode = [=](I420& frame, int index, bool key, QByteArray* out) {
        aom_image_t image;
        aom_img_wrap(&image, AOM_IMG_FMT_I420, Width, Height, 1, frame.y());
        aom_codec_encode(enc.get(), &image, index * 33, 33, key ? AOM_EFLAG_FORCE_KF : 0);
        aom_codec_iter_t iter = nullptr;
        while (const aom_codec_cx_pkt_t* packet = aom_codec_get_cx_data(enc.get(), &iter))
            if (packet->kind == AOM_CODEC_CX_FRAME_PKT)
                out->append(static_cast<const char*>(packet->data.frame.buf),
                            int(packet->data.frame.sz));
    };
    codec.decode = [=](const QByteArray& bytes, int* stride) -> const uchar* {
        aom_codec_decode(dec.get(), reinterpret_cast<const uint8_t*>(bytes.constData()),
                         size_t(bytes.size()), nullptr);
        aom_codec_iter_t iter = nullptr;
        const aom_image_t* image = aom_codec_get_frame(dec.get(), &iter);
        if (!image)
            return nullptr;
        *stride = image->stride[0];
        return image->planes[0];
    };
    codec.close = [=] {
        aom_codec_destroy(enc.get());
        aom_codec_destroy(dec.get());
    };
    return codec;
}

Result run(Codec& codec, const QVector<I420>& frames, unsigned kbps)
{
    Result result;
    if (!codec.open(kbps)) {
        std::printf("  %s: cannot open\n", codec.name);
        return result;
    }
    qint64 bytes = 0;
    double psnrSum = 0;
    int decoded = 0;
    for (int i = 0; i < frames.size(); ++i) {
        if (i > 0 && frames[i].data == frames[i - 1].data)
            continue; // a still screen is not encoded
        I420 frame = frames[i];
        QByteArray out;
        double t0 = threadMs();
        codec.encode(frame, i, i == 0, &out);
        result.encodeMs += threadMs() - t0;
        if (i == 0)
            result.keyKiB = out.size() / 1024.0;
        bytes += out.size();
        if (out.isEmpty())
            continue;
        int stride = 0;
        t0 = threadMs();
        const uchar* luma = codec.decode(out, &stride);
        result.decodeMs += threadMs() - t0;
        if (luma) {
            psnrSum +=
                psnr(reinterpret_cast<const uchar*>(frames[i].data.constData()), luma, stride);
            ++decoded;
        }
    }
    codec.close();
    result.encodeMs /= frames.size();
    result.decodeMs /= frames.size();
    result.kbps = bytes * 8.0 / (frames.size() / 30.0) / 1000.0;
    result.psnr = decoded ? psnrSum / decoded : 0;
    return result;
}

QVector<I420> scene(bool scrolling)
{
    QVector<I420> frames;
    for (int i = 0; i < Frames; ++i) {
        const QImage image = page(scrolling ? i * 12 : 0, scrolling ? 0 : i / 3);
        I420 frame;
        libyuv::ARGBToI420(image.constBits(), image.bytesPerLine(), frame.y(), Width, frame.u(),
                           Width / 2, frame.v(), Width / 2, Width, Height);
        frames.append(frame);
    }
    return frames;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::printf("screen codecs at %dx%d, %d frames at 30/s, one thread each, CPU per frame\n",
                Width, Height, Frames);
    QVector<Codec> codecs{vpxCodec("VP8", vpx_codec_vp8_cx, vpx_codec_vp8_dx, false),
                          vpxCodec("VP9", vpx_codec_vp9_cx, vpx_codec_vp9_dx, true), aomCodec()};
    const struct
    {
        const char* name;
        bool scrolling;
        unsigned kbps;
    } scenes[] = {{"typing (a character every 3 frames)", false, 1500},
                  {"scrolling (the whole screen every frame)", true, 3000}};
    for (const auto& s : scenes) {
        const QVector<I420> frames = scene(s.scrolling);
        std::printf("\n%s, target %u kbit/s\n", s.name, s.kbps);
        std::printf("  %-14s %10s %10s %10s %10s %10s\n", "codec", "encode ms", "decode ms",
                    "kbit/s", "PSNR dB", "key KiB");
        for (Codec& codec : codecs) {
            const Result r = run(codec, frames, s.kbps);
            std::printf("  %-14s %10.2f %10.2f %10.0f %10.2f %10.1f\n", codec.name, r.encodeMs,
                        r.decodeMs, r.kbps, r.psnr, r.keyKiB);
        }
    }
    return 0;
}
