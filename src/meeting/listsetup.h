// SPDX-License-Identifier: MIT
#pragma once

#include <QListView>
#include <QSortFilterProxyModel>
#include <QTimer>

namespace MeetingSupport {

// The meeting list and the supporter list show their model through a sorting proxy and refresh
// now and every RefreshIntervalMs; each refresh restarts the timer, so an event-driven refresh
// puts the next periodic one off.
constexpr int RefreshIntervalMs = 5000;

inline QSortFilterProxyModel* showThroughProxy(QListView* view, QAbstractItemModel* model)
{
    auto* proxy = new QSortFilterProxyModel(view);
    proxy->setSourceModel(model);
    view->setModel(proxy);
    return proxy;
}

template <typename List> void startRefreshing(List* list, QTimer* timer, void (List::*refresh)())
{
    (list->*refresh)();
    timer->setInterval(RefreshIntervalMs);
    QObject::connect(timer, &QTimer::timeout, list, refresh);
    timer->start();
}

} // namespace MeetingSupport
