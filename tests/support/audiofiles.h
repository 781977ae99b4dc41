// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QString>
#include <QVector>
#include <QtEndian>

#include <cmath>
#include <cstring>

// 48 kHz mono 16-bit signals for voice tests and benchmarks: writing them as WAV files for the
// file microphone, reading what the file speaker recorded, and measuring level and pitch.
namespace audio {

constexpr int Rate = 48000;

inline QByteArray wavFile(const QVector<qint16>& samples)
{
    char h[44] = {};
    const quint32 bytes = quint32(samples.size() * 2);
    memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(36 + bytes, h + 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20);
    qToLittleEndian<quint16>(1, h + 22);
    qToLittleEndian<quint32>(Rate, h + 24);
    qToLittleEndian<quint32>(Rate * 2, h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(bytes, h + 40);
    QByteArray out(h, 44);
    for (qint16 s : samples) {
        char b[2];
        qToLittleEndian(s, b);
        out.append(b, 2);
    }
    return out;
}

inline bool writeWav(const QString& path, const QVector<qint16>& samples)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(wavFile(samples)) > 0;
}

// The samples of a 44-byte-header WAV file as the file speaker writes it.
inline QVector<qint16> readWav(const QString& path)
{
    QFile file(path);
    QVector<qint16> out;
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QByteArray bytes = file.readAll();
    for (int i = 44; i + 1 < bytes.size(); i += 2)
        out.append(qFromLittleEndian<qint16>(bytes.constData() + i));
    return out;
}

inline void appendSilence(QVector<qint16>* out, double seconds)
{
    out->resize(out->size() + int(seconds * Rate));
}

// Tone bursts: on for onSeconds, off for offSeconds, repeated; the pauses keep noise
// suppression from taking a steady tone for noise. Amplitude as a peak in sample units.
inline void appendBursts(QVector<qint16>* out, double frequency, double amplitude, int bursts,
                         double onSeconds = 0.3, double offSeconds = 0.1)
{
    for (int b = 0; b < bursts; ++b) {
        const int on = int(onSeconds * Rate);
        for (int i = 0; i < on; ++i)
            out->append(qint16(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / Rate))));
        appendSilence(out, offSeconds);
    }
}

// A tone of steady level whose pitch wavers between 850 and 1150 Hz three times a second, as a
// voice holding a vowel does: the codec takes it for speech (and conceals its losses as speech,
// fading within a few frames).
inline void appendWaver(QVector<qint16>* out, double amplitude, double seconds)
{
    double phase = 0;
    for (int i = 0; i < int(seconds * Rate); ++i) {
        phase += 2 * M_PI * (1000 + 150 * std::sin(2 * M_PI * 3 * i / Rate)) / Rate;
        out->append(qint16(std::lround(amplitude * std::sin(phase))));
    }
}

// RMS in dBFS of [from, from + count); -200 for silence.
inline double levelDb(const QVector<qint16>& s, int from = 0, int count = -1)
{
    if (count < 0)
        count = s.size() - from;
    double sum = 0;
    int n = 0;
    for (int i = qMax(0, from); i < qMin(s.size(), from + count); ++i, ++n)
        sum += double(s[i]) * s[i];
    if (n == 0 || sum == 0)
        return -200;
    return 20 * std::log10(std::sqrt(sum / n) / 32768.0);
}

// The loudest RMS over windows of `window` samples, in dBFS.
inline double peakLevelDb(const QVector<qint16>& s, int window = Rate / 10)
{
    double best = -200;
    for (int from = 0; from + window <= s.size(); from += window / 2)
        best = qMax(best, levelDb(s, from, window));
    return best;
}

// Power at one frequency relative to the whole signal's over the window (Goertzel), in dB: near
// 0 for a clean tone of that frequency, far below for anything else.
inline double toneShareDb(const QVector<qint16>& s, double frequency, int from, int count)
{
    const double w = 2 * M_PI * frequency / Rate;
    double s1 = 0, s2 = 0, total = 0;
    for (int i = from; i < from + count && i < s.size(); ++i) {
        const double x = s[i];
        const double s0 = x + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    if (total <= 0)
        return -200;
    return 10 * std::log10(2 * power / (count * total) + 1e-30);
}

// The first sample at or after `from` where the RMS over 2 ms exceeds the level, or -1.
inline int onset(const QVector<qint16>& s, double dbfs, int from = 0)
{
    const int window = Rate / 500;
    for (int i = from; i + window <= s.size(); i += window / 2) {
        if (levelDb(s, i, window) > dbfs)
            return i;
    }
    return -1;
}

} // namespace audio
