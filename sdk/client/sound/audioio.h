// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

// What the voice path sees of a sound device: 48 kHz mono 16-bit audio in 20 ms frames.
namespace voicesdk::sound {

constexpr int SampleRate = 48000;
constexpr int FrameSamples = SampleRate / 50;

using Frame = std::array<int16_t, FrameSamples>;

enum class ReadStatus {
    Frame,   // a full frame was delivered
    Pending, // a clocked device has not captured a full frame yet
    Ended    // the source has nothing more to give (a file at its end)
};

// Used by one thread at a time (the voice path's); never blocks.
class CaptureSource
{
public:
    virtual ~CaptureSource() = default;
    virtual ReadStatus read(Frame& frame) = 0;
    // True when the device's own clock produces the frames. Otherwise frames come on demand and
    // the caller reads one every 20 ms.
    virtual bool isClocked() const = 0;
    // Unclocked devices: frames that went by unread while the caller rested, so the next
    // read is the frame of now. Live sources have nothing to skip.
    virtual void skip(int64_t frames) { (void)frames; }
};

// Used by one thread at a time; never blocks.
class PlaybackSink
{
public:
    virtual ~PlaybackSink() = default;
    // False when the frame was dropped: a full buffer or a failed write.
    virtual bool write(const Frame& frame) = 0;
    // True when the device consumes frames at its own pace; otherwise the caller paces it.
    virtual bool isClocked() const = 0;
    // Clocked devices: the samples written but not yet played, which the caller keeps low.
    virtual long queuedSamples() const { return 0; }
    // Unclocked devices: frames of silence that went by unwritten while the caller rested,
    // so what is written next lands at its time. Devices that keep no time ignore it.
    virtual void skip(int64_t frames) { (void)frames; }
};

} // namespace voicesdk::sound
