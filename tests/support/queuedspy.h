// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QVariant>

#include <functional>

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

    // Processes events until a signal whose arguments match has arrived (one that came before
    // counts too); false after timeout milliseconds.
    bool waitFor(const std::function<bool(const QList<QVariant>&)>& match, int timeout = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        int checked = 0;
        for (;;) {
            for (; checked < size(); ++checked) {
                if (match(at(checked)))
                    return true;
            }
            if (timer.elapsed() >= timeout)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
    }
};
