// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QVariant>

// A signal spy for signals emitted on another thread. QSignalSpy records in the emitting thread,
// which races with the test reading it; this one receives the signal queued, like every receiver
// of the voice client, so its list is only touched on the test's thread.
class QueuedSpy : public QObject, public QList<QList<QVariant>>
{
public:
    template <typename Sender, typename... Args>
    QueuedSpy(Sender* sender, void (Sender::*signal)(Args...))
    {
        connect(
            sender, signal, this,
            [this](Args... args) { append(QList<QVariant>{QVariant::fromValue(args)...}); },
            Qt::QueuedConnection);
    }

    // Processes events until another signal arrived; false after timeout milliseconds.
    bool wait(int timeout = 5000)
    {
        const int before = size();
        QElapsedTimer timer;
        timer.start();
        while (size() == before && timer.elapsed() < timeout)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return size() > before;
    }
};
