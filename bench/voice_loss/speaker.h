// SPDX-License-Identifier: MIT
#pragma once

#include "audiofiles.h"
#include "eventrecorder.h"
#include "lossyproxy.h"

#include <QTest>

#include <chrono>

// What both tables of bench_voice_loss share: a speaker whose datagrams cross the lossy relay,
// and its two ends opened on files.

// A new handler connected through `proxy` (started towards the server, losing on the way up
// only), once voice goes over UDP.
inline bool speakerThrough(LossyProxy& proxy, quint16 serverPort, uint64* speaker)
{
    if (!proxy.start(serverPort))
        return false;
    proxy.ways = LossyProxy::Up;
    ts3client_spawnNewServerConnectionHandler(0, speaker);
    if (!connectHandler(*speaker, proxy.port(), "mouth"))
        return false;
    QTest::qWait(1500); // past the first pongs: voice over UDP
    return true;
}

// Writes what the speaker says to `mouth`, opens the listener's file speaker on `ear` and the
// speaker's file microphone on `mouth`; *offsetMs: how much later the microphone's clock
// started than the speaker's (each taken as the middle of the call that opened it).
inline bool openEnds(uint64 speaker, uint64 listener, const QVector<qint16>& said,
                     const QString& mouth, const QString& ear, double* offsetMs)
{
    if (!audio::writeWav(mouth, said))
        return false;
    const auto middle = [](auto open, bool* ok) {
        const auto before = std::chrono::steady_clock::now();
        *ok = open() == ERROR_ok;
        return before + (std::chrono::steady_clock::now() - before) / 2;
    };
    bool ok1 = false, ok2 = false;
    const auto earOpened = middle(
        [&] { return ts3client_openPlaybackDevice(listener, "virtual", ("file:" + ear).toUtf8()); },
        &ok1);
    const auto mouthOpened = middle(
        [&] { return ts3client_openCaptureDevice(speaker, "virtual", ("file:" + mouth).toUtf8()); },
        &ok2);
    *offsetMs = std::chrono::duration<double, std::milli>(mouthOpened - earOpened).count();
    return ok1 && ok2;
}
