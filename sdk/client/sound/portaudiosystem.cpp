// SPDX-License-Identifier: MIT
#include "portaudiosystem.h"

#include "resampler.h"
#include "ringbuffer.h"

#include <portaudio.h>
#if VOICESDK_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <QHash>
#include <QVector>

#include <cstdarg>
#include <cstdlib>

// libjack comes in with PortAudio; when present, its client messages about a missing JACK
// server are silenced like ALSA's. Weak, so nothing breaks without it.
extern "C" void jack_set_error_function(void (*)(const char*)) __attribute__((weak));
extern "C" void jack_set_info_function(void (*)(const char*)) __attribute__((weak));

namespace voicesdk::sound {

namespace {

// Probing devices makes ALSA and JACK print dozens of lines about cards and servers that are not
// there. They are noise for the user; VOICESDK_SOUND_VERBOSE=1 keeps them for debugging.
#if VOICESDK_HAVE_ALSA
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif
void quietJack(const char*) {}

void silenceBackendMessages()
{
    const char* verbose = std::getenv("VOICESDK_SOUND_VERBOSE");
    if (verbose && *verbose && *verbose != '0')
        return;
#if VOICESDK_HAVE_ALSA
    snd_lib_error_set_handler(quietAlsa);
#endif
    if (jack_set_error_function)
        jack_set_error_function(quietJack);
    if (jack_set_info_function)
        jack_set_info_function(quietJack);
}

// Pa_Initialize and Pa_Terminate are reference counted by PortAudio; every stream holds the
// runtime so it is terminated only after the last stream has closed.
class Runtime
{
public:
    Runtime() : m_ok(Pa_Initialize() == paNoError) {}
    ~Runtime()
    {
        if (m_ok)
            Pa_Terminate();
    }
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

constexpr size_t RingFrames = 10; // 200 ms: the voice path's slack before samples are dropped

struct StreamCloser
{
    void operator()(PaStream* stream) const
    {
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
    }
};
using StreamPtr = std::unique_ptr<PaStream, StreamCloser>;

// 48 kHz when the device takes it, else its own rate, which the stream then converts.
int chooseRate(const PaStreamParameters& params, Direction direction)
{
    const PaStreamParameters* in = direction == Direction::Capture ? &params : nullptr;
    const PaStreamParameters* out = direction == Direction::Playback ? &params : nullptr;
    if (Pa_IsFormatSupported(in, out, SampleRate) == paFormatIsSupported)
        return SampleRate;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(params.device);
    const int native = info ? int(info->defaultSampleRate) : 0;
    if (native >= 8000 && native <= 192000 &&
        Pa_IsFormatSupported(in, out, native) == paFormatIsSupported)
        return native;
    return 0;
}

PaStreamParameters monoInt16(PaDeviceIndex device, Direction direction)
{
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters p{};
    p.device = device;
    p.channelCount = 1;
    p.sampleFormat = paInt16;
    p.suggestedLatency = info ? (direction == Direction::Capture ? info->defaultLowInputLatency
                                                                 : info->defaultLowOutputLatency)
                              : 0.05;
    return p;
}

// Members in this order so the stream closes (stopping the callback) before the ring goes and
// before the runtime may terminate.
class Capture : public CaptureSource
{
public:
    explicit Capture(std::shared_ptr<Runtime> runtime)
        : m_runtime(std::move(runtime)), m_ring(RingFrames * FrameSamples * 4)
    {}

    unsigned int open(PaDeviceIndex device)
    {
        const PaStreamParameters params = monoInt16(device, Direction::Capture);
        const int rate = chooseRate(params, Direction::Capture);
        if (rate == 0)
            return ERROR_sound_device_open_failed;
        if (rate != SampleRate) {
            m_resampler = std::make_unique<Resampler>(rate, SampleRate);
            if (!m_resampler->isValid())
                return ERROR_sound_device_open_failed;
        }
        PaStream* raw = nullptr;
        if (Pa_OpenStream(&raw, &params, nullptr, rate, unsigned(rate / 50), paClipOff, callback,
                          this) != paNoError)
            return ERROR_sound_device_open_failed;
        m_stream.reset(raw);
        if (Pa_StartStream(raw) != paNoError) {
            m_stream.reset();
            return ERROR_sound_device_open_failed;
        }
        return ERROR_ok;
    }

    ReadStatus read(Frame& frame) override
    {
        if (!m_resampler) {
            if (m_ring.available() < size_t(FrameSamples))
                return ReadStatus::Pending;
            m_ring.pop(frame.data(), frame.size());
            return ReadStatus::Frame;
        }
        int16_t chunk[FrameSamples];
        while (m_converted.size() < frame.size()) {
            const size_t got = m_ring.pop(chunk, FrameSamples);
            if (got == 0)
                return ReadStatus::Pending;
            m_resampler->process(chunk, got, &m_converted);
        }
        std::copy(m_converted.begin(), m_converted.begin() + long(frame.size()), frame.begin());
        m_converted.erase(m_converted.begin(), m_converted.begin() + long(frame.size()));
        return ReadStatus::Frame;
    }
    bool isClocked() const override { return true; }

private:
    static int callback(const void* input, void*, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self)
    {
        // When the voice path falls behind, the newest samples are dropped.
        if (input)
            static_cast<Capture*>(self)->m_ring.push(static_cast<const int16_t*>(input), frames);
        return paContinue;
    }

    std::shared_ptr<Runtime> m_runtime;
    SampleRing m_ring;
    std::unique_ptr<Resampler> m_resampler;
    std::vector<int16_t> m_converted; // 48 kHz samples not yet handed out
    StreamPtr m_stream;
};

class Playback : public PlaybackSink
{
public:
    explicit Playback(std::shared_ptr<Runtime> runtime)
        : m_runtime(std::move(runtime)), m_ring(RingFrames * FrameSamples * 4)
    {}

    unsigned int open(PaDeviceIndex device)
    {
        const PaStreamParameters params = monoInt16(device, Direction::Playback);
        const int rate = chooseRate(params, Direction::Playback);
        if (rate == 0)
            return ERROR_sound_device_open_failed;
        m_rate = rate;
        if (rate != SampleRate) {
            m_resampler = std::make_unique<Resampler>(SampleRate, rate);
            if (!m_resampler->isValid())
                return ERROR_sound_device_open_failed;
        }
        PaStream* raw = nullptr;
        if (Pa_OpenStream(&raw, nullptr, &params, rate, unsigned(rate / 50), paClipOff, callback,
                          this) != paNoError)
            return ERROR_sound_device_open_failed;
        m_stream.reset(raw);
        if (Pa_StartStream(raw) != paNoError) {
            m_stream.reset();
            return ERROR_sound_device_open_failed;
        }
        return ERROR_ok;
    }

    bool write(const Frame& frame) override
    {
        const int16_t* samples = frame.data();
        size_t count = frame.size();
        if (m_resampler) {
            m_converted.clear();
            m_resampler->process(frame.data(), frame.size(), &m_converted);
            samples = m_converted.data();
            count = m_converted.size();
        }
        if (m_ring.capacity() - m_ring.available() < count)
            return false;
        m_ring.push(samples, count);
        return true;
    }
    bool isClocked() const override { return true; }
    // In 48 kHz samples, whatever the device's rate.
    long queuedSamples() const override
    {
        return long(m_ring.available() * size_t(SampleRate) / size_t(m_rate));
    }

private:
    static int callback(const void*, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self)
    {
        auto* out = static_cast<int16_t*>(output);
        const size_t got = static_cast<Playback*>(self)->m_ring.pop(out, frames);
        for (size_t i = got; i < frames; ++i)
            out[i] = 0; // underrun plays silence
        return paContinue;
    }

    std::shared_ptr<Runtime> m_runtime;
    SampleRing m_ring;
    int m_rate = SampleRate;
    std::unique_ptr<Resampler> m_resampler;
    std::vector<int16_t> m_converted;
    StreamPtr m_stream;
};

struct Device
{
    DeviceInfo info;
    PaDeviceIndex index;
};

class HostApiSystem : public SoundSystem
{
public:
    HostApiSystem(std::shared_ptr<Runtime> runtime, QByteArray name)
        : m_runtime(std::move(runtime)), m_name(std::move(name))
    {}

    void add(Direction direction, const Device& device, bool isDefault)
    {
        auto& list = direction == Direction::Capture ? m_capture : m_playback;
        list.append(device);
        if (isDefault)
            (direction == Direction::Capture ? m_defaultCapture : m_defaultPlayback) =
                device.info.id;
    }

    bool empty() const { return m_capture.isEmpty() && m_playback.isEmpty(); }

    QByteArray id() const override { return m_name; }

    QList<DeviceInfo> devices(Direction direction) const override
    {
        QList<DeviceInfo> out;
        for (const Device& d : direction == Direction::Capture ? m_capture : m_playback)
            out.append(d.info);
        return out;
    }

    QByteArray defaultDevice(Direction direction) const override
    {
        const auto& list = direction == Direction::Capture ? m_capture : m_playback;
        const QByteArray& chosen =
            direction == Direction::Capture ? m_defaultCapture : m_defaultPlayback;
        if (!chosen.isEmpty() || list.isEmpty())
            return chosen;
        return list.first().info.id;
    }

    unsigned int openCapture(const QByteArray& deviceId,
                             std::unique_ptr<CaptureSource>* out) override
    {
        const Device* device = find(m_capture, deviceId);
        if (!device)
            return ERROR_sound_invalid_device;
        auto capture = std::make_unique<Capture>(m_runtime);
        const unsigned int code = capture->open(device->index);
        if (code == ERROR_ok)
            *out = std::move(capture);
        return code;
    }

    unsigned int openPlayback(const QByteArray& deviceId,
                              std::unique_ptr<PlaybackSink>* out) override
    {
        const Device* device = find(m_playback, deviceId);
        if (!device)
            return ERROR_sound_invalid_device;
        auto playback = std::make_unique<Playback>(m_runtime);
        const unsigned int code = playback->open(device->index);
        if (code == ERROR_ok)
            *out = std::move(playback);
        return code;
    }

private:
    static const Device* find(const QList<Device>& list, const QByteArray& id)
    {
        for (const Device& d : list)
            if (d.info.id == id)
                return &d;
        return nullptr;
    }

    std::shared_ptr<Runtime> m_runtime;
    QByteArray m_name;
    QList<Device> m_capture;
    QList<Device> m_playback;
    QByteArray m_defaultCapture;
    QByteArray m_defaultPlayback;
};

} // namespace

std::vector<std::unique_ptr<SoundSystem>> createPortAudioSystems()
{
    std::vector<std::unique_ptr<SoundSystem>> systems;
    silenceBackendMessages();
    auto runtime = std::make_shared<Runtime>();
    if (!runtime->ok())
        return systems;

    const PaHostApiIndex apiCount = Pa_GetHostApiCount();
    const PaHostApiIndex defaultApi = Pa_GetDefaultHostApi();
    std::vector<std::unique_ptr<HostApiSystem>> apis;
    for (PaHostApiIndex i = 0; i < apiCount; ++i) {
        const PaHostApiInfo* info = Pa_GetHostApiInfo(i);
        apis.push_back(info && info->name
                           ? std::make_unique<HostApiSystem>(runtime, QByteArray(info->name))
                           : nullptr);
    }

    QVector<QHash<QByteArray, int>> seen(apiCount); // per host API: how often a name came up
    const PaDeviceIndex deviceCount = Pa_GetDeviceCount();
    for (PaDeviceIndex d = 0; d < deviceCount; ++d) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(d);
        if (!info || info->hostApi < 0 || info->hostApi >= apiCount || !apis[size_t(info->hostApi)])
            continue;
        const QByteArray name =
            info->name && *info->name ? QByteArray(info->name) : QByteArray("Device");
        const int repeat = ++seen[info->hostApi][name];
        const QByteArray id = repeat == 1 ? name : name + " (" + QByteArray::number(repeat) + ")";
        const Device device{{id, id}, d};
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        auto& system = apis[size_t(info->hostApi)];
        if (info->maxInputChannels > 0)
            system->add(Direction::Capture, device, api->defaultInputDevice == d);
        if (info->maxOutputChannels > 0)
            system->add(Direction::Playback, device, api->defaultOutputDevice == d);
    }

    if (defaultApi >= 0 && defaultApi < apiCount && apis[size_t(defaultApi)] &&
        !apis[size_t(defaultApi)]->empty())
        systems.push_back(std::move(apis[size_t(defaultApi)]));
    for (auto& api : apis)
        if (api && !api->empty())
            systems.push_back(std::move(api));
    return systems;
}

} // namespace voicesdk::sound
