// SPDX-License-Identifier: MIT
#include "virtualdevices.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace voicesdk::sound {

const char* const VirtualMode = "virtual";
const char* const FileDevicePrefix = "file:";
const char* const ListedCaptureFile = "file:capture.wav";
const char* const ListedPlaybackFile = "file:playback.wav";

namespace {

constexpr qint64 FrameBytes = FrameSamples * 2;
constexpr qint64 WavHeaderBytes = 44;

bool isWavPath(const QString& path)
{
    return path.endsWith(QLatin1String(".wav"), Qt::CaseInsensitive);
}

// The path of a "file:<path>" ID; empty for any other ID.
QString filePath(const QByteArray& deviceId)
{
    if (!deviceId.startsWith(FileDevicePrefix))
        return {};
    return QString::fromUtf8(deviceId.mid(int(std::strlen(FileDevicePrefix))));
}

} // namespace

ReadStatus SilenceSource::read(Frame& frame)
{
    frame.fill(0);
    return ReadStatus::Frame;
}

ReadStatus ToneSource::read(Frame& frame)
{
    constexpr double twoPi = 2.0 * M_PI;
    constexpr double step = twoPi * Frequency / SampleRate;
    for (auto& sample : frame) {
        sample = int16_t(std::lround(Amplitude * std::sin(m_phase)));
        m_phase += step;
        if (m_phase >= twoPi)
            m_phase -= twoPi;
    }
    return ReadStatus::Frame;
}

void ToneSource::skip(int64_t frames)
{
    if (frames > 0)
        m_phase =
            std::fmod(m_phase + 2.0 * M_PI * Frequency * double(frames) * FrameSamples / SampleRate,
                      2.0 * M_PI);
}

unsigned int FileCaptureSource::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return ERROR_sound_device_open_failed;
    if (isWavPath(path))
        return readWavHeader();
    m_remaining = m_file.size();
    return ERROR_ok;
}

// Walks the chunks up to "data"; only 48 kHz mono 16-bit PCM is taken, since nothing here
// converts formats.
unsigned int FileCaptureSource::readWavHeader()
{
    const auto fail = [this] {
        m_file.close();
        return ERROR_sound_device_open_failed;
    };
    const QByteArray riff = m_file.read(12);
    if (riff.size() != 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
        return fail();
    bool formatOk = false;
    for (;;) {
        const QByteArray header = m_file.read(8);
        if (header.size() != 8)
            return fail();
        const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
        const qint64 bodyStart = m_file.pos();
        if (header.startsWith("fmt ")) {
            if (size < 16)
                return fail();
            const QByteArray fmt = m_file.read(16);
            if (fmt.size() != 16)
                return fail();
            const char* p = fmt.constData();
            formatOk =
                qFromLittleEndian<quint16>(p) == 1 && qFromLittleEndian<quint16>(p + 2) == 1 &&
                qFromLittleEndian<quint32>(p + 4) == quint32(SampleRate) &&
                qFromLittleEndian<quint16>(p + 12) == 2 && qFromLittleEndian<quint16>(p + 14) == 16;
            if (!formatOk)
                return fail();
        } else if (header.startsWith("data")) {
            if (!formatOk)
                return fail();
            // Writers that stream often leave the size unset; the file's end bounds it anyway.
            m_remaining = qMin<qint64>(size, m_file.size() - bodyStart);
            return ERROR_ok;
        }
        const qint64 next = bodyStart + qint64(size) + (size & 1);
        if (next > m_file.size() || !m_file.seek(next))
            return fail();
    }
}

ReadStatus FileCaptureSource::read(Frame& frame)
{
    if (!m_file.isOpen() || m_remaining < 2)
        return ReadStatus::Ended;
    char bytes[FrameBytes];
    const qint64 got = m_file.read(bytes, qMin(FrameBytes, m_remaining));
    if (got < 2) {
        m_remaining = 0;
        return ReadStatus::Ended;
    }
    m_remaining -= got;
    const qint64 samples = got / 2;
    for (qint64 i = 0; i < samples; ++i)
        frame[size_t(i)] = qFromLittleEndian<qint16>(bytes + 2 * i);
    // The last frame of a file is padded with silence.
    for (size_t i = size_t(samples); i < frame.size(); ++i)
        frame[i] = 0;
    return ReadStatus::Frame;
}

void FileCaptureSource::skip(int64_t frames)
{
    if (!m_file.isOpen() || frames <= 0)
        return;
    const qint64 bytes = qMin<qint64>(m_remaining, qint64(frames) * FrameBytes);
    if (m_file.seek(m_file.pos() + bytes))
        m_remaining -= bytes;
}

unsigned int FilePlaybackSink::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return ERROR_sound_device_open_failed;
    m_wav = isWavPath(path);
    if (m_wav && !updateWavHeader()) {
        m_file.close();
        return ERROR_sound_device_open_failed;
    }
    return ERROR_ok;
}

bool FilePlaybackSink::updateWavHeader()
{
    char h[WavHeaderBytes];
    std::memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(quint32(36 + m_dataBytes), h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20); // PCM
    qToLittleEndian<quint16>(1, h + 22); // mono
    qToLittleEndian<quint32>(quint32(SampleRate), h + 24);
    qToLittleEndian<quint32>(quint32(SampleRate * 2), h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(m_dataBytes, h + 40);
    const qint64 end = m_file.pos();
    if (!m_file.seek(0) || m_file.write(h, WavHeaderBytes) != WavHeaderBytes)
        return false;
    return m_file.seek(qMax(end, WavHeaderBytes));
}

// The header is rewritten with every frame so the file is complete whenever it is read.
bool FilePlaybackSink::write(const Frame& frame)
{
    if (!m_file.isOpen())
        return false;
    if (m_wav && quint64(m_dataBytes) + FrameBytes > 0xFFFFFFFFull - 36)
        return false; // a WAV file cannot describe more
    char bytes[FrameBytes];
    for (size_t i = 0; i < frame.size(); ++i)
        qToLittleEndian<qint16>(frame[i], bytes + 2 * i);
    if (m_file.write(bytes, FrameBytes) != FrameBytes)
        return false;
    m_dataBytes += quint32(FrameBytes);
    if (m_wav && !updateWavHeader())
        return false;
    return m_file.flush();
}

void FilePlaybackSink::skip(int64_t frames)
{
    if (!m_file.isOpen() || frames <= 0)
        return;
    int64_t left = qMin(frames, MaxSkipFrames);
    if (m_wav)
        left = qMin<int64_t>(left, (0xFFFFFFFFll - 36 - m_dataBytes) / FrameBytes);
    const QByteArray second(int(50 * FrameBytes), '\0');
    while (left > 0) {
        const int64_t now = qMin<int64_t>(left, 50);
        if (m_file.write(second.constData(), now * FrameBytes) != now * FrameBytes)
            return;
        m_dataBytes += quint32(now * FrameBytes);
        left -= now;
    }
    if (!m_wav || updateWavHeader())
        m_file.flush();
}

void LoopbackRoom::play(const Frame& frame)
{
    QMutexLocker lock(&m_mutex);
    Frame& slot = m_frames[size_t(m_played % History)];
    for (size_t i = 0; i < frame.size(); ++i)
        slot[i] = int16_t(std::lround(frame[i] * LoopbackGain));
    ++m_played;
}

void LoopbackRoom::hear(quint64* cursor, Frame* frame) const
{
    QMutexLocker lock(&m_mutex);
    // The microphone hears frame n as the speaker played frame n - delay, counted in frames,
    // not in time: the echo's delay stays fixed however the threads are scheduled, as it would
    // with one sound card's clock. A frame not played yet, or long gone, is silence.
    const quint64 read = (*cursor)++;
    if (read < quint64(LoopbackDelayFrames) || read - LoopbackDelayFrames >= m_played ||
        read - LoopbackDelayFrames + History <= m_played) {
        frame->fill(0);
        return;
    }
    *frame = m_frames[size_t((read - LoopbackDelayFrames) % History)];
}

void LoopbackRoom::pause(int64_t frames)
{
    if (frames <= 0)
        return;
    QMutexLocker lock(&m_mutex);
    for (int64_t i = 0; i < qMin<int64_t>(frames, History); ++i)
        m_frames[size_t((m_played + quint64(i)) % History)].fill(0);
    m_played += quint64(frames);
}

quint64 LoopbackRoom::played() const
{
    QMutexLocker lock(&m_mutex);
    return m_played;
}

ReadStatus LoopbackSource::read(Frame& frame)
{
    m_room->hear(&m_cursor, &frame);
    return ReadStatus::Frame;
}

bool LoopbackSink::write(const Frame& frame)
{
    m_room->play(frame);
    return true;
}

QByteArray VirtualSoundSystem::id() const
{
    return VirtualMode;
}

QList<DeviceInfo> VirtualSoundSystem::devices(Direction direction) const
{
    if (direction == Direction::Capture)
        return {{"silence", "Silence"},
                {"tone", "Tone 440 Hz"},
                {"loopback", "Loopback (what is played)"},
                {ListedCaptureFile, "File capture.wav"}};
    return {{"discard", "Discard"},
            {"loopback", "Loopback (into the microphone)"},
            {ListedPlaybackFile, "File playback.wav"}};
}

QByteArray VirtualSoundSystem::defaultDevice(Direction direction) const
{
    return direction == Direction::Capture ? "silence" : "discard";
}

unsigned int VirtualSoundSystem::openCapture(const QByteArray& deviceId,
                                             std::unique_ptr<CaptureSource>* out)
{
    if (deviceId == "silence") {
        *out = std::make_unique<SilenceSource>();
        return ERROR_ok;
    }
    if (deviceId == "tone") {
        *out = std::make_unique<ToneSource>();
        return ERROR_ok;
    }
    if (deviceId == "loopback") {
        *out = std::make_unique<LoopbackSource>(m_room);
        return ERROR_ok;
    }
    const QString path = filePath(deviceId);
    if (path.isEmpty())
        return ERROR_sound_invalid_device;
    auto source = std::make_unique<FileCaptureSource>();
    const unsigned int code = source->open(path);
    if (code == ERROR_ok)
        *out = std::move(source);
    return code;
}

unsigned int VirtualSoundSystem::openPlayback(const QByteArray& deviceId,
                                              std::unique_ptr<PlaybackSink>* out)
{
    if (deviceId == "discard") {
        *out = std::make_unique<DiscardSink>();
        return ERROR_ok;
    }
    if (deviceId == "loopback") {
        *out = std::make_unique<LoopbackSink>(m_room);
        return ERROR_ok;
    }
    const QString path = filePath(deviceId);
    if (path.isEmpty())
        return ERROR_sound_invalid_device;
    auto sink = std::make_unique<FilePlaybackSink>();
    const unsigned int code = sink->open(path);
    if (code == ERROR_ok)
        *out = std::move(sink);
    return code;
}

} // namespace voicesdk::sound
