// SPDX-License-Identifier: MIT
#pragma once

// What the screen relay keeps of each share, watcher and client: shared by its own code and its
// crossing between cluster instances (screencrossing.cpp).
#include "screenconnection.h"
#include "screenrelay.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>

namespace voiceserver {

namespace screenrelay {
constexpr int FirstTrialMs = 20000;
constexpr double InputBurst = 500;
constexpr double RefusalBurst = 5;
// The cluster: shares are told again this often, and forgotten when not told for this long.
constexpr int RefreshMs = 5000;
constexpr int ForgetMs = 15000;
} // namespace screenrelay

struct ScreenRelay::WatchState
{
    quint8 stream = voicesdk::protocol::screen::FullStream;
    bool needKey = true;
    qint64 nextKeyAt = 0;
    qint64 keySentAt = 0;
    qint64 keyBytes = 0;
    // The scaled-down stream: since when, and when the full one is tried again.
    qint64 trialAt = 0;
    int trialMs = screenrelay::FirstTrialMs;
    qint64 trialStartedAt = 0; // 0: not on trial
};

// What another instance has of a share of this one.
struct ScreenRelay::Remote
{
    int watchers[2] = {0, 0}; // per stream
    QList<anyID> clients;     // who they are
    quint32 lowKbps = 0;      // what its slowest watcher on the scaled stream takes; 0: none
    qint64 seenAt = 0;
};

struct ScreenRelay::Share
{
    anyID sharer = 0;
    QString instance; // where the sharer is; empty: here
    quint64 channel = 0;
    int width = 0;
    int height = 0;
    QHash<anyID, WatchState> watchers; // here
    anyID controller = 0;
    bool open = false;
    QHash<QString, Remote> remotes; // the sharer's instance: the others with watchers
    qint64 lastKeyRequestAt[2] = {0, 0};
    bool keyQueued[2] = {false, false};
    // The full stream's rate as it passes.
    double fullKbps = 0;
    qint64 rateSince = 0;
    qint64 rateBytes = 0;
    qint64 lowAt = 0;
    quint32 lowSent = 0; // the scaled stream's rate last told
    QByteArray shape;    // the pointer's last picture, for newcomers
    qint64 seenAt = 0;   // another instance's share: when it was told last

    bool here() const { return instance.isEmpty(); }
    // Who watches, here and on the other instances.
    QList<anyID> watcherList() const
    {
        QList<anyID> all = watchers.keys();
        for (const Remote& remote : remotes)
            all += remote.clients;
        return all;
    }
};

struct ScreenRelay::Peer
{
    QPointer<ScreenConnection> stream;
    QByteArray ticket; // the key handed out last
    QSet<anyID> watching;
    double tokens = screenrelay::InputBurst;
    qint64 tokensAt = 0;
    double refusals = screenrelay::RefusalBurst; // refusals told now; a few a second
    qint64 lastRefusalAt = 0;
    // The watcher's link: what was queued after the last look, and the pace it drained at.
    qint64 backlogAfter = 0;
    qint64 lookedAt = 0;
    double rate = 0; // bytes a second; 0 until measured
    qint64 behindAt = 0;
};

} // namespace voiceserver
