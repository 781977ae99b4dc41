// SPDX-License-Identifier: MIT
#include "screensession.h"

#include "meeting/meetinglistmodel.h"
#include "screenviewer.h"
#include "sharebanner.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QDebug>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <memory>

namespace MeetingSupport {

namespace {

// Why a share ended is known a moment after it ended: the library may tell the end of the
// connection, or the sharer's move out of the channel, after the share's end.
constexpr int ReasonDelayMs = 300;

} // namespace

class ScreenSessionPrivate
{
public:
    // Ending: the own share ended without the user stopping it; why follows.
    enum class Own { Idle, Starting, Sharing, Stopping, Ending };

    struct Share
    {
        QSize size;
        quint16 controller = 0;
        bool open = false;
    };

    explicit ScreenSessionPrivate(ScreenSession* q) : q(q) {}

    static TsSDKClient* client() { return TsSDKClient::instance(); }
    static quint16 self() { return client()->ownClientID(); }
    static QString nameOf(quint16 id);
    void say(const QString& text, int level) { emit q->status(text, level); }

    void shareEvent(quint16 clientID, bool sharing, const QSize& size);
    void controlEvent(quint16 sharer, quint16 controller, bool open);
    void errorEvent(quint16 clientID, quint32 error, const QString& message);
    void connectionChanged(int status);

    void ownStarted();
    void ownEnded(const QString& why, int level);
    void updateBanner();
    void watch(quint16 sharer);
    void shareEnded(quint16 sharer);
    void finishEnd(quint16 sharer);
    void endAll(const QString& why);

    Own own = Own::Idle;
    bool forHelp = false;
    QString helper;
    quint16 ownController = 0;
    bool ownOpen = false;
    std::unique_ptr<ShareBanner> banner;
    QHash<quint16, Share> shares;
    QHash<quint16, QPointer<ScreenViewer>> viewers;
    // Members' shares that ended, waiting for why.
    QSet<quint16> ending;
    ScreenSession* q;
};

QString ScreenSessionPrivate::nameOf(quint16 id)
{
    QString name;
    if (client()->sdk()->getClientNickname(id, &name) != ERROR_ok || name.isEmpty())
        return ScreenSession::tr("client %1").arg(id);
    return name;
}

void ScreenSessionPrivate::shareEvent(quint16 clientID, bool sharing, const QSize& size)
{
    if (clientID == 0)
        return;
    if (clientID == self()) {
        if (sharing && own == Own::Starting) {
            ownStarted();
        } else if (!sharing && own == Own::Stopping) {
            ownEnded(ScreenSession::tr("You stopped sharing your screen."), 0);
        } else if (!sharing && (own == Own::Starting || own == Own::Sharing)) {
            // Not stopped here: the display went, or the connection; said once known.
            own = Own::Ending;
            banner.reset();
            QTimer::singleShot(ReasonDelayMs, q, [this] {
                if (own == Own::Ending)
                    ownEnded(ScreenSession::tr("Sharing your screen ended."), 1);
            });
        }
        return;
    }
    if (!sharing) {
        shareEnded(clientID);
        return;
    }
    const bool fresh = !shares.contains(clientID);
    Share& share = shares[clientID];
    share.size = size;
    if (fresh) {
        // A share running when it was announced may already have its controller.
        anyID controller = 0;
        bool open = false;
        if (client()->sdk()->getScreenController(clientID, &controller, &open) == ERROR_ok) {
            share.controller = controller;
            share.open = open;
        }
        // Ended and at once shared again: the same viewer goes on.
        if (!ending.remove(clientID))
            say(ScreenSession::tr("%1 is sharing their screen.").arg(nameOf(clientID)), 0);
        ScreenViewer* waiting = viewers.value(clientID);
        if (waiting && !waiting->hasEnded()) {
            // Opened for a remote-help reply that came before the share.
            waiting->setControl(share.controller, share.open);
            watch(clientID);
        } else {
            // Everyone in the meeting sees it at once.
            q->openViewer(clientID);
        }
    }
    emit q->sharesChanged();
}

void ScreenSessionPrivate::shareEnded(quint16 sharer)
{
    const bool known = shares.remove(sharer) > 0;
    ScreenViewer* viewer = viewers.value(sharer);
    if ((!known && !viewer) || ending.contains(sharer))
        return;
    // No more input goes there; the viewer says why once that is known.
    if (viewer)
        viewer->setControl(0, false);
    ending.insert(sharer);
    emit q->sharesChanged();
    QTimer::singleShot(ReasonDelayMs, q, [this, sharer] { finishEnd(sharer); });
}

void ScreenSessionPrivate::finishEnd(quint16 sharer)
{
    if (!ending.remove(sharer) || shares.contains(sharer))
        return; // said already (the connection ended), or shared again
    ScreenViewer* viewer = viewers.value(sharer);
    // Whoever left the channel took their share along.
    const quint64 own = client()->channelOfClient(self());
    const bool left = own != 0 && client()->channelOfClient(sharer) != own;
    const QString name = nameOf(sharer);
    const QString why =
        left ? ScreenSession::tr("%1 left the meeting: their screen share ended.").arg(name)
             : ScreenSession::tr("%1 stopped sharing their screen.").arg(name);
    if (viewer)
        viewer->end(why);
    say(why, left ? 1 : 0);
}

void ScreenSessionPrivate::controlEvent(quint16 sharer, quint16 controller, bool open)
{
    if (sharer == self()) {
        if (own == Own::Idle)
            return;
        const quint16 before = std::exchange(ownController, controller);
        ownOpen = open;
        if (controller != before) {
            if (controller != 0)
                say(ScreenSession::tr("%1 now controls your screen.").arg(nameOf(controller)), 1);
            else
                say(ScreenSession::tr("Nobody controls your screen now."), 0);
        }
        updateBanner();
        emit q->sharesChanged();
        return;
    }
    const auto it = shares.find(sharer);
    if (it == shares.end())
        return;
    const quint16 before = std::exchange(it->controller, controller);
    it->open = open;
    if (ScreenViewer* viewer = viewers.value(sharer))
        viewer->setControl(controller, open);
    if (controller != before && controller == self())
        say(ScreenSession::tr("You now control %1's screen.").arg(nameOf(sharer)), 0);
    else if (controller != before && before == self())
        say(ScreenSession::tr("You no longer control %1's screen.").arg(nameOf(sharer)), 0);
    emit q->sharesChanged();
}

void ScreenSessionPrivate::errorEvent(quint16 clientID, quint32 error, const QString& message)
{
    const QString text = message.isEmpty() ? ScreenSession::errorText(error) : message;
    if (clientID == self() || clientID == 0) {
        if (own == Own::Idle)
            return;
        if (own == Own::Starting) {
            ownEnded(ScreenSession::tr("Your screen cannot be shared: %1").arg(text), 2);
            return;
        }
        // The share's end follows as its own event; the reason is said now.
        say(ScreenSession::tr("Sharing your screen: %1").arg(text), 2);
        return;
    }
    ScreenViewer* viewer = viewers.value(clientID);
    if (error == ERROR_screen_not_controller) {
        if (viewer)
            viewer->controlRefused(text);
        return;
    }
    if (viewer && !viewer->hasEnded())
        viewer->setNotice(text);
    say(ScreenSession::tr("The screen of %1: %2").arg(nameOf(clientID), text), 1);
}

void ScreenSessionPrivate::connectionChanged(int status)
{
    if (status != STATUS_DISCONNECTED && status != STATUS_CONNECTING)
        return;
    endAll(ScreenSession::tr("The connection to the server was lost: screen sharing ended."));
}

void ScreenSessionPrivate::endAll(const QString& why)
{
    const bool anything = own != Own::Idle || !shares.isEmpty() || !viewers.isEmpty();
    shares.clear();
    ending.clear();
    for (const QPointer<ScreenViewer>& viewer : qAsConst(viewers)) {
        // One that ended a moment ago (its sharer dropped first) says the larger reason.
        if (viewer && viewer->hasEnded())
            viewer->setNotice(why);
        else if (viewer)
            viewer->end(why);
    }
    if (own != Own::Idle)
        ownEnded(QString(), 0);
    if (anything) {
        say(why, 2);
        emit q->sharesChanged();
    }
}

void ScreenSessionPrivate::ownStarted()
{
    own = Own::Sharing;
    if (forHelp) {
        // The person who asked for help is in control as soon as they act.
        client()->sdk()->setScreenController(0, true);
        ownOpen = true;
    }
    banner = std::make_unique<ShareBanner>();
    QObject::connect(banner.get(), &ShareBanner::stopRequested, q, &ScreenSession::stopSharing);
    QObject::connect(banner.get(), &ShareBanner::giveControl, q, &ScreenSession::giveControl);
    updateBanner();
    banner->show();
    say(forHelp ? ScreenSession::tr("Your screen is shared for remote help: the first member to "
                                    "act on it controls it. Stop it from the bar at the top of "
                                    "the screen or with %1.")
                      .arg(ShareBanner::shortcutText())
                : ScreenSession::tr("Your screen is shared with the meeting. Stop it from the bar "
                                    "at the top of the screen or with %1.")
                      .arg(ShareBanner::shortcutText()),
        0);
    emit q->sharingChanged(true);
    emit q->sharesChanged();
}

void ScreenSessionPrivate::ownEnded(const QString& why, int level)
{
    own = Own::Idle;
    forHelp = false;
    helper.clear();
    ownController = 0;
    ownOpen = false;
    banner.reset();
    if (!why.isEmpty())
        say(why, level);
    emit q->sharingChanged(false);
    emit q->sharesChanged();
}

void ScreenSessionPrivate::updateBanner()
{
    if (!banner)
        return;
    const QString meeting = meetingShortName(client()->currentChannelName());
    banner->setState(meeting, ownController ? nameOf(ownController) : QString(), ownOpen, helper);
    QList<QPair<quint16, QString>> members;
    const QMap<anyID, QString> inChannel =
        client()->channelClientList(client()->channelOfClient(self()));
    for (auto it = inChannel.cbegin(); it != inChannel.cend(); ++it) {
        if (it.key() != self())
            members.append({it.key(), it.value()});
    }
    banner->setMembers(members);
}

void ScreenSessionPrivate::watch(quint16 sharer)
{
    ScreenViewer* viewer = viewers.value(sharer);
    if (!viewer)
        return;
    const unsigned int error = client()->sdk()->watchScreen(sharer, true);
    if (error == ERROR_ok)
        viewer->setNotice(ScreenSession::tr("Waiting for the picture..."));
    else
        viewer->setNotice(ScreenSession::tr("%1's screen cannot be shown: %2")
                              .arg(nameOf(sharer), ScreenSession::errorText(error)));
}

ScreenSession::ScreenSession(QObject* parent) : QObject(parent), d(new ScreenSessionPrivate(this))
{
    TsSDKClient* client = TsSDKClient::instance();
    connect(client, &TsSDKClient::onScreenShareEvent, this,
            [this](quint16 id, bool sharing, QSize size) { d->shareEvent(id, sharing, size); });
    connect(client, &TsSDKClient::onScreenControlEvent, this,
            [this](quint16 sharer, quint16 controller, bool open) {
                d->controlEvent(sharer, controller, open);
            });
    connect(client, &TsSDKClient::onScreenErrorEvent, this,
            [this](quint16 id, quint32 error, const QString& message) {
                d->errorEvent(id, error, message);
            });
    connect(client, &TsSDKClient::onConnectStatusChanged, this,
            [this](int status) { d->connectionChanged(status); });
    // Who can be given control changes as members come and go.
    connect(client, &TsSDKClient::onClientMoveEvent, this, [this] { d->updateBanner(); });

    // Shares already running when the meeting opened were announced before anyone listened.
    // Looked up once the owner has set up, so it can place their viewers.
    QTimer::singleShot(0, this, [this] {
        TsSDKClient* client = TsSDKClient::instance();
        if (!client->isConnected())
            return;
        QList<anyID> running;
        client->sdk()->getScreenSharers(&running);
        for (anyID sharer : qAsConst(running)) {
            QSize size;
            client->sdk()->getScreenShareSize(sharer, &size);
            if (sharer != d->self())
                d->shareEvent(sharer, true, size);
        }
    });
}

ScreenSession::~ScreenSession()
{
    TsSDKClient* client = TsSDKClient::eventTarget();
    if (client && d->own != ScreenSessionPrivate::Own::Idle && client->isConnected())
        client->sdk()->stopScreenShare();
    // Closing the viewers stops watching.
    const QHash<quint16, QPointer<ScreenViewer>> viewers = std::exchange(d->viewers, {});
    for (const QPointer<ScreenViewer>& viewer : viewers)
        delete viewer.data();
    delete d;
}

bool ScreenSession::startSharing(bool forHelp, const QString& helper, QString* error)
{
    if (d->own == ScreenSessionPrivate::Own::Starting ||
        d->own == ScreenSessionPrivate::Own::Sharing) {
        // Asked for help while already shared with the meeting: control opens now.
        if (forHelp && !d->forHelp) {
            d->forHelp = true;
            if (d->own == ScreenSessionPrivate::Own::Sharing && d->ownController == 0) {
                TsSDKClient::instance()->sdk()->setScreenController(0, true);
                d->ownOpen = true;
            }
        }
        if (!helper.isEmpty())
            d->helper = helper;
        d->updateBanner();
        return true;
    }
    const unsigned int result = TsSDKClient::instance()->sdk()->startScreenShare();
    if (result != ERROR_ok) {
        if (error)
            *error = tr("Your screen cannot be shared: %1").arg(errorText(result));
        return false;
    }
    d->own = ScreenSessionPrivate::Own::Starting;
    d->forHelp = forHelp;
    d->helper = helper;
    return true;
}

void ScreenSession::stopSharing()
{
    if (d->own == ScreenSessionPrivate::Own::Idle || d->own == ScreenSessionPrivate::Own::Stopping)
        return;
    d->own = ScreenSessionPrivate::Own::Stopping;
    // The banner goes at once: the person asked for it to stop.
    d->banner.reset();
    if (TsSDKClient::instance()->sdk()->stopScreenShare() != ERROR_ok)
        d->ownEnded(tr("You stopped sharing your screen."), 0);
}

bool ScreenSession::isSharing() const
{
    return d->own == ScreenSessionPrivate::Own::Starting ||
           d->own == ScreenSessionPrivate::Own::Sharing;
}

void ScreenSession::giveControl(quint16 member)
{
    if (d->own != ScreenSessionPrivate::Own::Sharing)
        return;
    // Handed on or taken back, control is no longer for whoever acts first.
    d->forHelp = false;
    TsSDKClient::instance()->sdk()->setScreenController(member, false);
}

quint16 ScreenSession::ownController() const
{
    return d->ownController;
}

QList<quint16> ScreenSession::sharers() const
{
    QList<quint16> list = d->shares.keys();
    std::sort(list.begin(), list.end());
    return list;
}

quint16 ScreenSession::controllerOf(quint16 sharer) const
{
    if (sharer == d->self())
        return d->ownController;
    return d->shares.value(sharer).controller;
}

QSize ScreenSession::shareSize(quint16 sharer) const
{
    return d->shares.value(sharer).size;
}

ScreenViewer* ScreenSession::viewer(quint16 sharer) const
{
    return d->viewers.value(sharer);
}

ScreenViewer* ScreenSession::openViewer(quint16 sharer)
{
    if (sharer == 0 || sharer == d->self())
        return nullptr;
    if (ScreenViewer* open = d->viewers.value(sharer); open && !open->hasEnded()) {
        open->window()->raise();
        open->setFocus(Qt::OtherFocusReason);
        return open;
    }
    auto* viewer = new ScreenViewer(sharer, d->self());
    d->viewers.insert(sharer, viewer);
    connect(viewer, &ScreenViewer::closeRequested, this, [this, sharer] {
        if (ScreenViewer* gone = d->viewers.take(sharer))
            gone->deleteLater();
    });
    connect(viewer, &QObject::destroyed, this, [this, sharer, viewer] {
        if (d->viewers.value(sharer) == viewer)
            d->viewers.remove(sharer);
        TsSDKClient* client = TsSDKClient::eventTarget();
        // Still shared and still here: stop receiving it.
        if (client && client->isConnected() && d->shares.contains(sharer) &&
            !d->viewers.contains(sharer))
            client->sdk()->watchScreen(sharer, false);
    });
    const auto share = d->shares.constFind(sharer);
    if (share != d->shares.cend()) {
        viewer->setControl(share->controller, share->open);
        d->watch(sharer);
    } else {
        viewer->setNotice(tr("Waiting for %1's screen...").arg(d->nameOf(sharer)));
        const QPointer<ScreenViewer> waiting(viewer);
        QTimer::singleShot(ShareWaitMs, this, [this, waiting, sharer] {
            if (waiting && !waiting->hasEnded() && !d->shares.contains(sharer)) {
                const QString why = tr("%1's screen did not arrive.").arg(d->nameOf(sharer));
                waiting->end(why);
                d->say(why, 2);
            }
        });
    }
    emit viewerOpened(viewer);
    if (!viewer->parentWidget()) {
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->resize(960, 600);
        viewer->show();
    }
    return viewer;
}

QString ScreenSession::errorText(unsigned int error)
{
    switch (error) {
    case ERROR_screen_no_display:
        return tr("there is no X11 display to capture (a Wayland session without X11 access "
                  "cannot be shared).");
    case ERROR_screen_not_sharing:
        return tr("that member shares no screen here.");
    case ERROR_screen_already_sharing:
        return tr("the screen is shared already.");
    case ERROR_screen_not_watching:
        return tr("that screen is not being watched.");
    case ERROR_screen_not_controller:
        return tr("you do not control that screen.");
    case ERROR_screen_codec:
        return tr("the video could not be encoded or decoded.");
    case ERROR_screen_limit_reached:
        return tr("the screen is too large, or too much came too fast.");
    case ERROR_screen_ended:
        return tr("the share has ended.");
    case ERROR_connection_not_connected:
        return tr("not connected to the server.");
    default:
        break;
    }
    const QString message = TsSDKInterface::errorMessage(error);
    return message.isEmpty() ? tr("error %1.").arg(error) : message;
}

} // namespace MeetingSupport
