// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

// The preprocessor and playback values of one connection handler. Values arrive as text from the
// C API; anything that is not exactly a known identifier or a well-formed value is refused, so a
// typo never silently switches a feature off.
namespace voicesdk::sound {

struct SoundConfig
{
    static constexpr float LevelMin = -100.0f; // voice activation level, dB
    static constexpr float LevelMax = 100.0f;
    static constexpr float VolumeMin = -100.0f; // playback volumes, dB
    static constexpr float VolumeMax = 100.0f;

    bool vad = false;
    float voiceActivationLevel = -50.0f;
    bool echoCanceling = false;
    float volumeModifier = 0.0f;
    float volumeFactorWave = 0.0f;

    // ERROR_ok, ERROR_sound_invalid_identifier or ERROR_sound_invalid_value; on an error nothing
    // changes.
    unsigned int setPreProcessorValue(const QByteArray& ident, const QByteArray& value);
    unsigned int preProcessorValue(const QByteArray& ident, QByteArray* text) const;
    unsigned int setPlaybackValue(const QByteArray& ident, const QByteArray& value);
    unsigned int playbackValue(const QByteArray& ident, float* value) const;
};

// Strict parsers, independent of the C locale: "true"/"false"; a finite decimal number within
// [min, max] with nothing around it.
bool parseBool(const QByteArray& text, bool* out);
bool parseDecibels(const QByteArray& text, float min, float max, float* out);
// Six significant digits, '.' as the decimal point ("-50", "0.5", "0.123457").
QByteArray formatNumber(float value);

} // namespace voicesdk::sound
