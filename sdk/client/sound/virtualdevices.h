// SPDX-License-Identifier: MIT
#pragma once

#include "soundsystem.h"

#include <array>
#include <memory>

#include <QFile>
#include <QMutex>
#include <QString>

// The sound system that exists on every machine. Its devices produce and take frames on demand;
// the file-backed ones let tests feed known audio in and check what came out.
//
// Device IDs: capture "silence", "tone" (440 Hz sine), "loopback", "file:<path>"; playback
// "discard", "loopback", "file:<path>". What is played on "loopback" comes back on the "loopback"
// microphone LoopbackDelayFrames later (counted in frames, so it never drifts) and LoopbackGain
// quieter, like a speaker beside a microphone; one pair per process (one room). A path ending in
// ".wav" (any case) is a 48 kHz mono 16-bit PCM WAV file, anything else raw 48 kHz mono 16-bit
// little-endian samples. A relative path is taken from the process's working directory. Playback
// creates or truncates its file.
namespace voicesdk::sound {

extern const char* const VirtualMode;        // "virtual"
extern const char* const FileDevicePrefix;   // "file:"
extern const char* const ListedCaptureFile;  // the file device shown in the capture list
extern const char* const ListedPlaybackFile; // the file device shown in the playback list

class SilenceSource : public CaptureSource
{
public:
    ReadStatus read(Frame& frame) override;
    bool isClocked() const override { return false; }
};

class ToneSource : public CaptureSource
{
public:
    static constexpr double Frequency = 440.0;
    static constexpr double Amplitude = 8000.0;
    ReadStatus read(Frame& frame) override;
    bool isClocked() const override { return false; }
    void skip(int64_t frames) override;

private:
    double m_phase = 0.0;
};

class FileCaptureSource : public CaptureSource
{
public:
    // ERROR_ok, or ERROR_sound_device_open_failed when the file cannot be read or is a WAV file
    // of another format.
    unsigned int open(const QString& path);
    ReadStatus read(Frame& frame) override;
    bool isClocked() const override { return false; }
    void skip(int64_t frames) override;

private:
    unsigned int readWavHeader();
    QFile m_file;
    qint64 m_remaining = 0; // bytes of sample data left
};

constexpr int LoopbackDelayFrames = 2; // 40 ms
constexpr double LoopbackGain = 0.5;   // -6 dB

// The air between the loopback speaker and the loopback microphones.
class LoopbackRoom
{
public:
    void play(const Frame& frame);
    // The frame heard at the cursor; silence while nothing has travelled that far yet.
    void hear(quint64* cursor, Frame* frame) const;
    // Frames of silence the speaker played while nobody wrote to it.
    void pause(int64_t frames);
    quint64 played() const;

private:
    static constexpr int History = 32;
    mutable QMutex m_mutex;
    std::array<Frame, History> m_frames{};
    quint64 m_played = 0;
};

class LoopbackSource : public CaptureSource
{
public:
    explicit LoopbackSource(std::shared_ptr<LoopbackRoom> room)
        : m_room(std::move(room)), m_cursor(m_room->played())
    {}
    ReadStatus read(Frame& frame) override;
    bool isClocked() const override { return false; }
    void skip(int64_t frames) override { m_cursor += quint64(qMax<int64_t>(0, frames)); }

private:
    std::shared_ptr<LoopbackRoom> m_room;
    quint64 m_cursor;
};

class LoopbackSink : public PlaybackSink
{
public:
    explicit LoopbackSink(std::shared_ptr<LoopbackRoom> room) : m_room(std::move(room)) {}
    bool write(const Frame& frame) override;
    bool isClocked() const override { return false; }
    void skip(int64_t frames) override { m_room->pause(frames); }

private:
    std::shared_ptr<LoopbackRoom> m_room;
};

class DiscardSink : public PlaybackSink
{
public:
    bool write(const Frame&) override { return true; }
    bool isClocked() const override { return false; }
};

class FilePlaybackSink : public PlaybackSink
{
public:
    unsigned int open(const QString& path);
    bool write(const Frame& frame) override;
    bool isClocked() const override { return false; }
    // Writes the silence, so a sample's place in the file stays its time; at most
    // MaxSkipFrames at once, beyond that the file goes on from now.
    void skip(int64_t frames) override;
    static constexpr int64_t MaxSkipFrames = 50 * 60;

private:
    bool updateWavHeader();
    QFile m_file;
    bool m_wav = false;
    quint32 m_dataBytes = 0;
};

class VirtualSoundSystem : public SoundSystem
{
public:
    QByteArray id() const override;
    QList<DeviceInfo> devices(Direction direction) const override;
    QByteArray defaultDevice(Direction direction) const override;
    unsigned int openCapture(const QByteArray& deviceId,
                             std::unique_ptr<CaptureSource>* out) override;
    unsigned int openPlayback(const QByteArray& deviceId,
                              std::unique_ptr<PlaybackSink>* out) override;

private:
    std::shared_ptr<LoopbackRoom> m_room = std::make_shared<LoopbackRoom>();
};

} // namespace voicesdk::sound
