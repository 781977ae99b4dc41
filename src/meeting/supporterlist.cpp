// SPDX-License-Identifier: MIT
#include "supporterlist.h"

#include "clientlistmodel.h"
#include "listsetup.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_supporterlist.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSortFilterProxyModel>
#include <QTimer>

namespace MeetingSupport {

class SupporterListPrivate
{
public:
    explicit SupporterListPrivate(SupporterList* q) : q(q) {}

    Ui::SupporterList ui;
    QTimer timer;
    QMutex mutex;
    ClientListModel* model = nullptr;
    QSortFilterProxyModel* proxy = nullptr;
    SupporterList* q;
};

SupporterList::SupporterList(QWidget* parent) : QWidget(parent), d(new SupporterListPrivate(this))
{
    d->ui.setupUi(this);
    // Everyone in the lobby is muted by design: their badges would say nothing.
    d->model = new ClientListModel(this, ClientListModel::Marking::Departures);
    d->proxy = showThroughProxy(d->ui.listView, d->model);

    TsSDKClient* client = TsSDKClient::instance();
    connect(client, &TsSDKClient::onClientMoveEvent, this, &SupporterList::refresh);
    // Moves made by others (a meeting deleted) and dropped clients change the list too.
    connect(client, &TsSDKClient::onClientMoveMovedEvent, this, &SupporterList::refresh);
    connect(client, &TsSDKClient::onClientMoveTimeoutEvent, this, &SupporterList::refresh);
    // Someone turned their microphone or speakers on or off.
    connect(client, &TsSDKClient::onUpdateClientEvent, this, &SupporterList::refresh);
    startRefreshing(this, &d->timer, &SupporterList::refresh);
}

SupporterList::~SupporterList()
{
    delete d;
}

void SupporterList::refresh()
{
    QMutexLocker locker(&d->mutex);
    TsSDKClient* client = TsSDKClient::instance();
    const QMap<anyID, QString> clients = client->clientList();
    const uint64 handler = client->sdk()->handlerId();
    QVector<ClientEntry> entries;
    entries.reserve(clients.size());
    for (auto it = clients.cbegin(); it != clients.cend(); ++it) {
        uint64 channel = 0;
        const unsigned int error = ts3client_getChannelOfClient(handler, it.key(), &channel);
        if (error != ERROR_ok) {
            TsSDKInterface::printError(QStringLiteral("Error getting channel of client:"), error);
            channel = 0;
        }
        // Who is talking is known only inside the own meeting: the list shows no ring.
        ClientStatus status = readClientStatus(it.key());
        status.talking = false;
        entries.append(ClientEntry{it.value(), quint64(channel), status});
    }
    d->model->setClients(entries);
    d->timer.start();
}

} // namespace MeetingSupport
