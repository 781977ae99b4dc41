// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include "chat/attention.h"
#include "chat/chatmessage.h"
#include "meeting/getselectdialog.h"
#include "meeting/meetinglistmodel.h"
#include "meeting/meetingwidget.h"
#include "options/aboutoption.h"
#include "options/optionsdialog.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QDebug>
#include <QKeyEvent>
#include <QMessageBox>

namespace MeetingSupport {

namespace {
constexpr quint64 LobbyChannel = 1;
} // namespace

class MainWindowPrivate
{
public:
    explicit MainWindowPrivate(MainWindow* q) : q(q) {}

    MeetingWidget* currentMeeting() const
    {
        return qobject_cast<MeetingWidget*>(ui.stackedWidget->currentWidget());
    }

    // The view leaves the stack at once; it is deleted later.
    void closeCurrentMeeting()
    {
        if (MeetingWidget* meeting = currentMeeting()) {
            meeting->close();
            ui.stackedWidget->removeWidget(meeting);
        }
    }

    // Shows the meeting view inside a meeting and the meeting list in the lobby, and turns the
    // microphone and speakers on and off with it.
    void followOwnChannel()
    {
        TsSDKClient* client = TsSDKClient::instance();
        bool muted = true;
        if (client->channelOfClient(client->ownClientID()) == LobbyChannel) {
            closeCurrentMeeting();
        } else if (!currentMeeting()) {
            // An open view follows the own channel by itself.
            auto* meeting = new MeetingWidget(nullptr);
            ui.stackedWidget->addWidget(meeting);
            ui.stackedWidget->setCurrentWidget(meeting);
            // Whatever road led here, a user who starts typing writes a message.
            meeting->focusChat();
            QObject::connect(q, &MainWindow::loggerMessage, meeting,
                             &MeetingWidget::onLogerMessage);
            muted = false;
        } else {
            muted = false;
        }
        MainWindow::setMuted(muted);
    }

    Ui::MainWindow ui;
    // Built with the window, so the stored sound settings apply at every start.
    OptionsDialog* options = nullptr;
    MainWindow* q;
};

MainWindow::MainWindow() : QMainWindow(nullptr), d(new MainWindowPrivate(this))
{
    qRegisterMetaType<QtMsgType>("QtMsgType");
    d->ui.setupUi(this);

    TsSDKClient* client = TsSDKClient::instance();
    connect(d->ui.toolButtonStartMeeting, &QToolButton::clicked, this, &MainWindow::startMeeting);
    connect(d->ui.meetingList, &MeetingList::requestJoinMeeting, this, &MainWindow::joinMeeting);
    connect(client, &TsSDKClient::onReceiveTextMessage, this, &MainWindow::handleTextMessage);
    connect(client, &TsSDKClient::onClientMoveEvent, this, &MainWindow::handleClientMove);
    connect(client, &TsSDKClient::onClientMoveMovedEvent, this,
            [this](bool selfMoved, const QString& oldChannelName, const QString&, bool selfMover,
                   const QString& moverName) {
                handleClientMovedByOther(selfMoved, oldChannelName, selfMover, moverName);
            });
    connect(d->ui.toolButtonSetting, &QToolButton::clicked, this, &MainWindow::showOptions);
    // However a meeting ends (closed, left, deleted), the keyboard goes back to the meeting list
    // rather than to whatever follows the gone view, such as the start-meeting button.
    connect(d->ui.stackedWidget, &QStackedWidget::currentChanged, this, [this] {
        if (d->ui.stackedWidget->currentWidget() == d->ui.meetingList)
            d->ui.meetingList->setFocus(Qt::OtherFocusReason);
    });

    d->options = new OptionsDialog(this);
    d->options->addOption(new AboutOption(d->options));
}

MainWindow::~MainWindow()
{
    d->closeCurrentMeeting();
    delete d;
}

void MainWindow::refreshLists()
{
    d->ui.meetingList->refresh();
    d->ui.supporterList->refresh();
}

void MainWindow::setMuted(bool muted)
{
    TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
    for (int flag : {int(CLIENT_INPUT_MUTED), int(CLIENT_OUTPUT_MUTED)}) {
        if (sdk->getClientSelfVariableAsInt(flag) != muted)
            sdk->setClientSelfVariableAsInt(flag, muted ? 1 : 0);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F5)
        refreshLists();
    QMainWindow::keyPressEvent(event);
}

void MainWindow::startMeeting()
{
    TsSDKClient* client = TsSDKClient::instance();
    QStringList names = client->clientList().values();
    names.removeOne(client->nickname());
    if (names.isEmpty())
        return;

    QStringList selected;
    QString meeting;
    if (!GetSelectDialog::getSelect(this, tr("Start Meeting."),
                                    tr("Please select contacts to add:"), names,
                                    d->ui.meetingList->meetingNames(), &selected, &meeting))
        return;

    QString channel = meeting;
    if (channel.isEmpty()) {
        channel = findFreeMeetingName();
        // A new name has no channel yet; creating it moves us in as its creator.
        if (!channel.isEmpty() && client->channelIdByName(channel) == 0 &&
            client->sdk()->createChannel(channel, QString()) != ERROR_ok)
            qDebug().noquote() << QStringLiteral("Error: Create Meeting Channel: %1").arg(channel);
    }
    if (!channel.isEmpty())
        joinMeeting(channel);
    // The invitations name the meeting just chosen: the move into it completes only later.
    sendMeetingInvitations(selected, channel);
}

void MainWindow::showOptions()
{
    d->options->show();
    d->options->raise();
    d->options->activateWindow();
}

void MainWindow::joinMeeting(const QString& channelName)
{
    if (channelName.isEmpty())
        return;
    TsSDKClient* client = TsSDKClient::instance();
    const quint64 channel = client->channelIdByName(channelName);
    // Already there: the open view stays. Leaving first would end in the lobby, for the move
    // back in is refused while the mirror still shows us inside.
    if (channel != 0 && d->currentMeeting() &&
        channel == client->channelOfClient(client->ownClientID()))
        return;
    d->closeCurrentMeeting();
    client->moveToChannel(channelName, QString());
}

QString MainWindow::findFreeMeetingName()
{
    TsSDKClient* client = TsSDKClient::instance();
    const QMap<quint64, QString> channels = client->channelList();
    int inUse = 0;
    for (auto it = channels.cbegin(); it != channels.cend(); ++it) {
        if (!it.value().startsWith(MeetingPrefix))
            continue;
        if (client->channelClientList(it.key()).isEmpty())
            return it.value();
        ++inUse;
    }
    const QString name = MeetingPrefix + QString::number(inUse);
    TsSDKInterface* sdk = client->sdk();
    const quint64 own = client->channelOfClient(client->ownClientID());
    const QString password = client->parameters().channelPwd();
    sdk->requestCreateDirectory(own, password, QStringLiteral("/") + name);
    sdk->requestCreateDirectory(own, password,
                                QStringLiteral("/") + name + QStringLiteral("/files"));
    return name;
}

void MainWindow::handleTextMessage(const QString& name, const QString& msg)
{
    Q_UNUSED(name)
    const QList<ChatMessage> messages = messagesFromText(msg);
    for (const ChatMessage& message : messages)
        handleRequest(message);
}

void MainWindow::handleRequest(const ChatMessage& message)
{
    TsSDKClient* client = TsSDKClient::instance();
    if (message.type != MeetingRequest || message.info.receiver() != client->nickname() ||
        message.package.content.size() < 2)
        return;

    const QString kind = message.package.content.at(0).toString();
    const QJsonObject data = message.package.content.at(1).toObject();
    const QString sender = message.info.sender();

    if (kind == QLatin1String("request")) {
        const QString channel = data.value(QStringLiteral("channel_name")).toString();
        if (channel.isEmpty())
            return;
        // The text comes from another client: ask only about a real sender and a real channel.
        if (!client->clientList().values().contains(sender) ||
            client->channelIdByName(channel) == 0) {
            qDebug().noquote() << "Ignoring an invitation from" << sender << "to" << channel
                               << "that names no one online or no existing channel";
            return;
        }
        callAttention(this);
        showNormal();
        activateWindow();
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("Question"),
            tr("\"%1\" invites you to join the \"%2\" meeting.").arg(sender, channel),
            QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes) {
            joinMeeting(channel);
            return;
        }
        ChatMessage reply(MeetingRequest);
        reply.package.setReply(QJsonObject{{QStringLiteral("reject"), QStringLiteral(" ")}});
        reply.info.setSender(message.info.receiver());
        reply.info.setReceiver(sender);
        reply.info.setTime(QDateTime::currentDateTimeUtc());
        TsSDKClient::sendTextMessageTo(sender, messagesToText({reply}));
    } else if (kind == QLatin1String("reply")) {
        if (data.contains(QStringLiteral("reject")))
            emit loggerMessage(tr("\"%1\" rejected your meeting invitation.").arg(sender),
                               QtInfoMsg);
    } else {
        qDebug().noquote() << "Unknown Remote Request: " + kind;
    }
}

void MainWindow::handleClientMove(const QString& name, bool is_login, int visibility)
{
    Q_UNUSED(visibility)
    TsSDKClient* client = TsSDKClient::instance();
    if (is_login && name == client->nickname())
        d->followOwnChannel();
    refreshLists();
}

void MainWindow::handleClientMovedByOther(bool selfMoved, const QString& oldChannelName,
                                          bool selfMover, const QString& moverName)
{
    if (selfMoved && !selfMover) {
        TsSDKClient* client = TsSDKClient::instance();
        const bool inLobby = client->channelOfClient(client->ownClientID()) == LobbyChannel;
        const bool wasInMeeting = d->currentMeeting() != nullptr;
        d->followOwnChannel();
        // The server moves others only when it deletes their channel.
        if (inLobby && wasInMeeting) {
            const QString text = tr("\"%1\" deleted the meeting \"%2\"; you are back in the lobby.")
                                     .arg(moverName, meetingShortName(oldChannelName));
            qDebug().noquote() << text;
            auto* box = new QMessageBox(QMessageBox::Information, tr("Meeting"), text,
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
    }
    refreshLists();
}

} // namespace MeetingSupport
