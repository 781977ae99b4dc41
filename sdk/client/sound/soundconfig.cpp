// SPDX-License-Identifier: MIT
#include "soundconfig.h"

#include "voicesdk.h"

#include <QString>

#include <charconv>
#include <cmath>

namespace voicesdk::sound {

bool parseBool(const QByteArray& text, bool* out)
{
    if (text == "true")
        *out = true;
    else if (text == "false")
        *out = false;
    else
        return false;
    return true;
}

bool parseDecibels(const QByteArray& text, float min, float max, float* out)
{
    const char* begin = text.constData();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') {
        ++begin; // from_chars takes no sign but the minus
        if (begin != end && *begin == '-')
            return false;
    }
    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || begin == end || !std::isfinite(value))
        return false;
    if (value < double(min) || value > double(max))
        return false;
    *out = float(value);
    return true;
}

QByteArray formatNumber(float value)
{
    return QString::number(double(value), 'g', 6).toUtf8();
}

unsigned int SoundConfig::setPreProcessorValue(const QByteArray& ident, const QByteArray& value)
{
    if (ident == "vad")
        return parseBool(value, &vad) ? ERROR_ok : ERROR_sound_invalid_value;
    if (ident == "echo_canceling")
        return parseBool(value, &echoCanceling) ? ERROR_ok : ERROR_sound_invalid_value;
    if (ident == "voiceactivation_level")
        return parseDecibels(value, LevelMin, LevelMax, &voiceActivationLevel)
                   ? ERROR_ok
                   : ERROR_sound_invalid_value;
    return ERROR_sound_invalid_identifier;
}

unsigned int SoundConfig::preProcessorValue(const QByteArray& ident, QByteArray* text) const
{
    if (ident == "vad")
        *text = vad ? "true" : "false";
    else if (ident == "echo_canceling")
        *text = echoCanceling ? "true" : "false";
    else if (ident == "voiceactivation_level")
        *text = formatNumber(voiceActivationLevel);
    else
        return ERROR_sound_invalid_identifier;
    return ERROR_ok;
}

unsigned int SoundConfig::setPlaybackValue(const QByteArray& ident, const QByteArray& value)
{
    float* target = ident == "volume_modifier"      ? &volumeModifier
                    : ident == "volume_factor_wave" ? &volumeFactorWave
                                                    : nullptr;
    if (!target)
        return ERROR_sound_invalid_identifier;
    return parseDecibels(value, VolumeMin, VolumeMax, target) ? ERROR_ok
                                                              : ERROR_sound_invalid_value;
}

unsigned int SoundConfig::playbackValue(const QByteArray& ident, float* value) const
{
    if (ident == "volume_modifier")
        *value = volumeModifier;
    else if (ident == "volume_factor_wave")
        *value = volumeFactorWave;
    else
        return ERROR_sound_invalid_identifier;
    return ERROR_ok;
}

} // namespace voicesdk::sound
