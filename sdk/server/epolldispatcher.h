// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QVector>

#include <atomic>
#include <map>

class QSocketNotifier;

namespace voiceserver {

// Told when a descriptor watched without a QSocketNotifier is ready: the connection threads'
// own sockets, which need no QObject each.
class EpollWatcher
{
public:
    // events: EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR as epoll reports them.
    virtual void ready(uint32_t events) = 0;

protected:
    ~EpollWatcher() = default;
};

// An event dispatcher on epoll for the server's threads. Qt's own dispatchers hand every socket
// to poll() at every wake-up, so their cost grows with the number of connections, idle ones
// included; here a wake-up costs what is ready. Socket notifiers and timers behave as Qt's do;
// posted events are delivered at every wake-up, and posting from another thread wakes it.
// Install before the thread's event loop exists: QCoreApplication::setEventDispatcher() for the
// main thread, QThread::setEventDispatcher() for others.
class EpollDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    // A descriptor watched directly: reading, writing, both or (to hear only of hang-ups and
    // errors) neither. Changes reach epoll before the next wait, as notifiers' do.
    void watch(int fd, EpollWatcher* watcher, bool read, bool write);
    // Stops watching at once, before the descriptor is closed or handed on.
    void unwatch(int fd);

    void wakeUp() override;
    void interrupt() override;
    void flush() override {}

private:
    struct Watch
    {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QSocketNotifier* exception = nullptr;
        EpollWatcher* watcher = nullptr; // instead of notifiers
        bool watchRead = false;
        bool watchWrite = false;
        bool registered = false; // epoll has the descriptor
        uint32_t events = 0;     // the events epoll has for it
        bool dirty = false;      // in m_dirty
    };
    struct Timer
    {
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        qint64 deadline = 0; // msecs on the monotonic clock
    };

    void updateWatch(int fd);
    // Hands epoll the changes since the last wait; a notifier switched on and off again between
    // two waits (a socket's write notifier, whenever what it wrote went out at once) costs none.
    void applyChanges();
    void activate(int fd, QSocketNotifier* Watch::*which);
    // Fires the timers that are due; true when any did.
    bool fireTimers();
    // Milliseconds until the next timer is due, -1 without timers.
    int timeToNextTimer() const;
    void schedule(int timerId, Timer& timer, qint64 from);

    int m_epoll = -1;
    int m_wake = -1; // eventfd
    std::atomic<bool> m_interrupted{false};
    QHash<int, Watch> m_watches;            // by descriptor
    QVector<int> m_dirty;                   // descriptors whose events changed
    QHash<int, Timer> m_timers;             // by timer ID
    std::multimap<qint64, int> m_deadlines; // deadline to timer ID
};

} // namespace voiceserver
