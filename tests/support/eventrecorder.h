// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QTest>
#include <QThread>
#include <QVariantMap>

#include <functional>

// Records every callback of the C API with its arguments. Callbacks arrive on the library's
// network thread; tests read and wait from the test thread.
struct Event
{
    QString name;
    uint64 handler = 0;
    QVariantMap args;
    int value(const char* key) const { return args.value(QLatin1String(key)).toInt(); }
    QString text(const char* key) const { return args.value(QLatin1String(key)).toString(); }
};

class EventRecorder
{
public:
    using Predicate = std::function<bool(const Event&)>;

    static EventRecorder& instance()
    {
        static EventRecorder recorder;
        return recorder;
    }

    static ClientUIFunctions callbacks();

    void record(const QString& name, uint64 handler, const QVariantMap& args)
    {
        Hook hook;
        {
            QMutexLocker locker(&m_mutex);
            m_threads.insert(QThread::currentThread());
            m_events.append({name, handler, args});
            m_claimed.append(false);
            hook = m_hook;
        }
        if (hook)
            hook({name, handler, args});
    }

    // Runs on the callback's thread after each recorded event, outside the recorder's lock, so
    // a test can call back into the API from a callback. Empty to stop.
    using Hook = std::function<void(const Event&)>;
    void setHook(Hook hook)
    {
        QMutexLocker locker(&m_mutex);
        m_hook = std::move(hook);
    }

    // Every event of a handler, in order, optionally of one name.
    QList<Event> events(uint64 handler, const QString& name = QString()) const
    {
        QMutexLocker locker(&m_mutex);
        QList<Event> result;
        for (const Event& event : m_events) {
            if (event.handler == handler && (name.isEmpty() || event.name == name))
                result.append(event);
        }
        return result;
    }

    // The first unclaimed matching event, waiting up to timeoutMs; claims it. The returned
    // event's name is empty on timeout.
    Event wait(uint64 handler, const QString& name, const Predicate& also = {},
               int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            {
                QMutexLocker locker(&m_mutex);
                for (int i = 0; i < m_events.size(); ++i) {
                    const Event& event = m_events.at(i);
                    if (!m_claimed.at(i) && event.handler == handler && event.name == name &&
                        (!also || also(event))) {
                        m_claimed[i] = true;
                        return event;
                    }
                }
            }
            if (timer.elapsed() > timeoutMs)
                return {};
            QTest::qWait(5);
        }
    }

    // Whether a matching event arrives within timeoutMs (claims nothing).
    bool arrives(uint64 handler, const QString& name, const Predicate& also, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            for (const Event& event : events(handler, name)) {
                if (!also || also(event))
                    return true;
            }
            QTest::qWait(10);
        }
        return false;
    }

    // Marks the events so far of a handler and name as seen, so wait() looks only at new ones.
    void claimAll(uint64 handler, const QString& name)
    {
        QMutexLocker locker(&m_mutex);
        for (int i = 0; i < m_events.size(); ++i) {
            if (m_events.at(i).handler == handler && m_events.at(i).name == name)
                m_claimed[i] = true;
        }
    }

    QSet<QThread*> threads() const
    {
        QMutexLocker locker(&m_mutex);
        return m_threads;
    }

    void clear()
    {
        QMutexLocker locker(&m_mutex);
        m_events.clear();
        m_claimed.clear();
    }

private:
    mutable QMutex m_mutex;
    QList<Event> m_events;
    QList<bool> m_claimed;
    QSet<QThread*> m_threads;
    Hook m_hook;
};

namespace recorder_detail {

inline QString str(const char* s)
{
    return s ? QString::fromUtf8(s) : QStringLiteral("<null>");
}

inline void note(const char* name, uint64 handler, const QVariantMap& args)
{
    EventRecorder::instance().record(QLatin1String(name), handler, args);
}

// What the mirror says about a client at the moment of the callback.
inline bool knows(uint64 handler, anyID client)
{
    uint64 channel = 0;
    return ts3client_getChannelOfClient(handler, client, &channel) == ERROR_ok;
}

} // namespace recorder_detail

inline ClientUIFunctions EventRecorder::callbacks()
{
    using namespace recorder_detail;
    ClientUIFunctions f = {};
    f.onConnectStatusChangeEvent = [](uint64 h, int status, unsigned int error) {
        QVariantMap args{{"newStatus", status}, {"errorNumber", error}};
        if (status == STATUS_CONNECTED) {
            // Own ID and welcome message must be readable now.
            anyID own = 0;
            char* welcome = nullptr;
            args.insert("ownIdResult", ts3client_getClientID(h, &own));
            args.insert("ownId", own);
            if (ts3client_getServerVariableAsString(h, VIRTUALSERVER_WELCOMEMESSAGE, &welcome) ==
                ERROR_ok) {
                args.insert("welcome", QString::fromUtf8(welcome));
                ts3client_freeMemory(welcome);
            }
        }
        note("onConnectStatusChangeEvent", h, args);
    };
    f.onNewChannelEvent = [](uint64 h, uint64 channel, uint64 parent) {
        note("onNewChannelEvent", h, {{"channelID", channel}, {"channelParentID", parent}});
    };
    f.onNewChannelCreatedEvent = [](uint64 h, uint64 channel, uint64 parent, anyID invoker,
                                    const char* name, const char* uid) {
        note("onNewChannelCreatedEvent", h,
             {{"channelID", channel},
              {"channelParentID", parent},
              {"invokerID", invoker},
              {"invokerName", str(name)},
              {"invokerUniqueIdentifier", str(uid)}});
    };
    f.onDelChannelEvent = [](uint64 h, uint64 channel, anyID invoker, const char* name,
                             const char*) {
        note("onDelChannelEvent", h,
             {{"channelID", channel}, {"invokerID", invoker}, {"invokerName", str(name)}});
    };
    f.onUpdateClientEvent = [](uint64 h, anyID client, anyID invoker, const char* name,
                               const char*) {
        note("onUpdateClientEvent", h,
             {{"clientID", client}, {"invokerID", invoker}, {"invokerName", str(name)}});
    };
    f.onClientMoveEvent = [](uint64 h, anyID client, uint64 from, uint64 to, int visibility,
                             const char* message) {
        note("onClientMoveEvent", h,
             {{"clientID", client},
              {"oldChannelID", from},
              {"newChannelID", to},
              {"visibility", visibility},
              {"moveMessage", str(message)},
              {"known", knows(h, client)}});
    };
    f.onClientMoveSubscriptionEvent = [](uint64 h, anyID client, uint64 from, uint64 to,
                                         int visibility) {
        note("onClientMoveSubscriptionEvent", h,
             {{"clientID", client},
              {"oldChannelID", from},
              {"newChannelID", to},
              {"visibility", visibility}});
    };
    f.onClientMoveTimeoutEvent = [](uint64 h, anyID client, uint64 from, uint64 to, int visibility,
                                    const char* message) {
        note("onClientMoveTimeoutEvent", h,
             {{"clientID", client},
              {"oldChannelID", from},
              {"newChannelID", to},
              {"visibility", visibility},
              {"timeoutMessage", str(message)}});
    };
    f.onClientMoveMovedEvent = [](uint64 h, anyID client, uint64 from, uint64 to, int visibility,
                                  anyID mover, const char* moverName, const char*,
                                  const char* message) {
        note("onClientMoveMovedEvent", h,
             {{"clientID", client},
              {"oldChannelID", from},
              {"newChannelID", to},
              {"visibility", visibility},
              {"moverID", mover},
              {"moverName", str(moverName)},
              {"moveMessage", str(message)}});
    };
    f.onServerErrorEvent = [](uint64 h, const char* message, unsigned int error,
                              const char* returnCode, const char* extra) {
        note("onServerErrorEvent", h,
             {{"errorMessage", str(message)},
              {"error", error},
              {"returnCode", str(returnCode)},
              {"extraMessage", str(extra)}});
    };
    f.onTextMessageEvent = [](uint64 h, anyID mode, anyID to, anyID from, const char* name,
                              const char* uid, const char* message) {
        note("onTextMessageEvent", h,
             {{"targetMode", mode},
              {"toID", to},
              {"fromID", from},
              {"fromName", str(name)},
              {"fromUniqueIdentifier", str(uid)},
              {"message", str(message)}});
    };
    f.onTalkStatusChangeEvent = [](uint64 h, int status, int whisper, anyID client) {
        note("onTalkStatusChangeEvent", h,
             {{"status", status}, {"isReceivedWhisper", whisper}, {"clientID", client}});
    };
    f.onFileTransferStatusEvent = [](anyID transfer, unsigned int status, const char* message,
                                     uint64 size, uint64 h) {
        // What the caller sees when it asks at the moment of the event.
        int sender = -1;
        const unsigned int senderResult = ts3client_isTransferSender(h, transfer, &sender);
        note("onFileTransferStatusEvent", h,
             {{"transferID", transfer},
              {"status", status},
              {"statusMessage", str(message)},
              {"remotefileSize", size},
              {"isSender", senderResult == ERROR_ok ? sender : -1}});
    };
    f.onFileListEvent = [](uint64 h, uint64 channel, const char* path, const char* name,
                           uint64 size, uint64 datetime, int type, uint64 incomplete,
                           const char* returnCode) {
        note("onFileListEvent", h,
             {{"channelID", channel},
              {"path", str(path)},
              {"name", str(name)},
              {"size", size},
              {"datetime", datetime},
              {"type", type},
              {"incompletesize", incomplete},
              {"returnCode", str(returnCode)}});
    };
    f.onFileListFinishedEvent = [](uint64 h, uint64 channel, const char* path) {
        note("onFileListFinishedEvent", h, {{"channelID", channel}, {"path", str(path)}});
    };
    f.onUserLoggingMessageEvent = [](const char* message, int level, const char* channel, uint64 id,
                                     const char*, const char*) {
        note("onUserLoggingMessageEvent", 0,
             {{"logMessage", str(message)},
              {"logLevel", level},
              {"logChannel", str(channel)},
              {"logID", id}});
    };
    return f;
}

// Connects handler h through the C API to the test server on port; true once the connection is
// established, false when it ends without.
inline bool connectHandler(uint64 h, quint16 port, const char* nickname,
                           const char* password = "mossel", const char* identity = "identity")
{
    EventRecorder::instance().claimAll(h, "onConnectStatusChangeEvent");
    if (ts3client_startConnection(h, identity, "127.0.0.1", port, nickname, nullptr, nullptr,
                                  password) != ERROR_ok)
        return false;
    const Event end =
        EventRecorder::instance().wait(h, "onConnectStatusChangeEvent", [](const Event& e) {
            return e.value("newStatus") == STATUS_CONNECTION_ESTABLISHED ||
                   e.value("newStatus") == STATUS_DISCONNECTED;
        });
    return end.value("newStatus") == STATUS_CONNECTION_ESTABLISHED;
}
