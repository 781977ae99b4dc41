// SPDX-License-Identifier: MIT
#include "epolldispatcher.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QThread>
#include <QVarLengthArray>

#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

Q_CORE_EXPORT uint qGlobalPostedEventsCount();

namespace voiceserver {

namespace {

constexpr int MaxEvents = 256;

qint64 monotonicMs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadline();
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_epoll < 0 || m_wake < 0)
        qFatal("EpollDispatcher: cannot create epoll or eventfd descriptors");
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = m_wake;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(m_wake);
    ::close(m_epoll);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted = false;
    emit awake();
    QCoreApplication::sendPostedEvents();
    // Handlers of posted events may have asked for more: postEvent() wakes us, so waiting in
    // epoll below returns at once for them.
    const bool wait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted;
    int timeout = 0;
    if (wait) {
        timeout = timeToNextTimer();
        emit aboutToBlock();
    }
    applyChanges();
    epoll_event events[MaxEvents];
    int ready = ::epoll_wait(m_epoll, events, MaxEvents, timeout);
    if (ready < 0)
        ready = 0; // EINTR: go round again
    emit awake();
    bool handled = false;
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_wake) {
            eventfd_t value;
            ::eventfd_read(m_wake, &value);
            continue;
        }
        if (flags & QEventLoop::ExcludeSocketNotifiers)
            continue;
        const uint32_t what = events[i].events;
        // A notifier's slot may close this or any other descriptor: each activation looks the
        // watch up afresh.
        const auto watch = m_watches.constFind(fd);
        if (watch != m_watches.constEnd() && watch->watcher) {
            watch->watcher->ready(what);
            handled = true;
            continue;
        }
        if (what & (EPOLLIN | EPOLLHUP | EPOLLERR))
            activate(fd, &Watch::read);
        if (what & (EPOLLOUT | EPOLLERR))
            activate(fd, &Watch::write);
        if (what & EPOLLPRI)
            activate(fd, &Watch::exception);
        handled = true;
    }
    if (!(flags & QEventLoop::X11ExcludeTimers))
        handled = fireTimers() || handled;
    return handled;
}

bool EpollDispatcher::hasPendingEvents()
{
    return qGlobalPostedEventsCount() > 0;
}

void EpollDispatcher::activate(int fd, QSocketNotifier* Watch::*which)
{
    auto it = m_watches.find(fd);
    if (it == m_watches.end() || !((*it).*which))
        return;
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent((*it).*which, &event);
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    Watch& watch = m_watches[fd];
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        watch.read = notifier;
        break;
    case QSocketNotifier::Write:
        watch.write = notifier;
        break;
    case QSocketNotifier::Exception:
        watch.exception = notifier;
        break;
    }
    updateWatch(fd);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    if (it->read == notifier)
        it->read = nullptr;
    if (it->write == notifier)
        it->write = nullptr;
    if (it->exception == notifier)
        it->exception = nullptr;
    updateWatch(fd);
}

void EpollDispatcher::watch(int fd, EpollWatcher* watcher, bool read, bool write)
{
    Watch& watch = m_watches[fd];
    watch.watcher = watcher;
    watch.watchRead = read;
    watch.watchWrite = write;
    if (!watch.dirty) {
        watch.dirty = true;
        m_dirty.append(fd);
    }
}

void EpollDispatcher::unwatch(int fd)
{
    auto it = m_watches.find(fd);
    if (it == m_watches.end() || !it->watcher)
        return;
    if (it->registered) {
        epoll_event event = {};
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &event);
    }
    m_watches.erase(it);
}

void EpollDispatcher::updateWatch(int fd)
{
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    if (!it->read && !it->write && !it->exception) {
        // At once: the descriptor is about to be closed, and a new one of the same number must
        // not find it registered. Closed already, it left epoll by itself.
        epoll_event event = {};
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &event);
        m_watches.erase(it);
        return;
    }
    if (!it->dirty) {
        it->dirty = true;
        m_dirty.append(fd);
    }
}

void EpollDispatcher::applyChanges()
{
    for (int fd : qAsConst(m_dirty)) {
        auto it = m_watches.find(fd);
        if (it == m_watches.end())
            continue;
        it->dirty = false;
        uint32_t events = 0;
        if (it->read || it->watchRead)
            events |= EPOLLIN;
        if (it->write || it->watchWrite)
            events |= EPOLLOUT;
        if (it->exception)
            events |= EPOLLPRI;
        if (it->registered && events == it->events)
            continue;
        epoll_event event = {};
        event.events = events;
        event.data.fd = fd;
        const int first = it->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        if (::epoll_ctl(m_epoll, first, fd, &event) != 0 && (errno == ENOENT || errno == EEXIST))
            ::epoll_ctl(m_epoll, first == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd,
                        &event);
        it->registered = true;
        it->events = events;
    }
    m_dirty.clear();
}

void EpollDispatcher::schedule(int timerId, Timer& timer, qint64 from)
{
    timer.deadline = from + timer.interval;
    m_deadlines.emplace(timer.deadline, timerId);
}

void EpollDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType,
                                    QObject* object)
{
    Timer timer;
    timer.interval = qMax(0, interval);
    timer.type = timerType;
    timer.object = object;
    schedule(timerId, timer, monotonicMs());
    m_timers.insert(timerId, timer);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    auto range = m_deadlines.equal_range(it->deadline);
    for (auto d = range.first; d != range.second; ++d) {
        if (d->second == timerId) {
            m_deadlines.erase(d);
            break;
        }
    }
    m_timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject* object)
{
    QList<int> ids;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (it->object == object)
            ids.append(it.key());
    }
    for (int id : qAsConst(ids))
        unregisterTimer(id);
    return !ids.isEmpty();
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (it->object == object)
            list.append(TimerInfo(it.key(), it->interval, it->type));
    }
    return list;
}

int EpollDispatcher::remainingTime(int timerId)
{
    auto it = m_timers.constFind(timerId);
    if (it == m_timers.constEnd())
        return -1;
    return int(qMax<qint64>(0, it->deadline - monotonicMs()));
}

int EpollDispatcher::timeToNextTimer() const
{
    if (m_deadlines.empty())
        return -1;
    return int(qBound<qint64>(0, m_deadlines.begin()->first - monotonicMs(), 24 * 3600 * 1000));
}

bool EpollDispatcher::fireTimers()
{
    const qint64 now = monotonicMs();
    QVarLengthArray<int, 32> due;
    for (auto it = m_deadlines.begin(); it != m_deadlines.end() && it->first <= now;) {
        due.append(it->second);
        it = m_deadlines.erase(it);
    }
    for (int id : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue; // stopped by an earlier timer's handler
        // Rescheduled before its event, so a handler that stops or restarts it finds it in
        // order; a late timer fires once, not once for every interval it missed.
        qint64 next = it->deadline + it->interval;
        if (next <= now)
            next = now + it->interval;
        it->deadline = next;
        m_deadlines.emplace(next, id);
        QObject* object = it->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
    }
    return !due.isEmpty();
}

void EpollDispatcher::wakeUp()
{
    ::eventfd_write(m_wake, 1);
}

void EpollDispatcher::interrupt()
{
    m_interrupted = true;
    wakeUp();
}

} // namespace voiceserver
