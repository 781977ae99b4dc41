// SPDX-License-Identifier: MIT
#include "chatwidget.h"

#include "attention.h"
#include "facewidget.h"
#include "files/filewidget.h"
#include "fontwidget.h"
#include "remote/anydeskhandle.h"
#include "remote/builtinremotehandle.h"
#include "remote/screensession.h"
#include "screenshot.h"
#include "teamspeak3serverinterface.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_chatwidget.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>

#include <utility>

namespace MeetingSupport {

namespace {

// Texts from the other side's launcher are shown; a long one is cut.
constexpr int MaxShownRemoteText = 512;
// Remote-desktop messages kept while the launcher waits for its program; more are dropped.
constexpr int MaxQueuedRemote = 8;
// A requester's name as another client gave it, in the question to the user.
constexpr int MaxShownRequester = 64;
// What the server says an undelivered text was for, as shown; and one notice for the
// fragments of one message, which each fail alike.
constexpr int MaxShownWhere = 128;
constexpr int UndeliveredQuietMs = 2000;

QString shownRemoteText(const QString& text)
{
    if (text.size() <= MaxShownRemoteText)
        return text;
    return text.left(MaxShownRemoteText) + QStringLiteral("...");
}

int clientRole()
{
    return TsSDKClient::instance()->role();
}

} // namespace

class ChatWidgetPrivate
{
public:
    explicit ChatWidgetPrivate(ChatWidget* q) : q(q) {}
    ~ChatWidgetPrivate()
    {
        delete fontWidget;
        delete fileWidget;
        delete faceWidget;
        TeamSpeak3ServerInterface* gone = std::exchange(engine, nullptr);
        delete gone;
        delete anyDesk;
        delete builtin;
        // Stops the own share and closes the viewers while the pane is still whole.
        delete screens;
    }

    QList<QWidget*> inputs() const
    {
        QList<QWidget*> widgets{sendButton,       ui.msgInputWidget, ui.btnDevice_5,
                                ui.btnDevice_6,   ui.btnSendFile,    ui.toolButtonImage,
                                ui.btnScreenshot, ui.btnShareScreen};
        if (!ui.btnRemote->isHidden())
            widgets << ui.btnRemote;
        return widgets;
    }

    void setInputsEnabled(bool enabled)
    {
        for (QWidget* widget : inputs())
            widget->setEnabled(enabled);
        // A share running when the others left can still be stopped here.
        if (screens && screens->isSharing())
            ui.btnShareScreen->setEnabled(true);
        if (enabled && editorFocusWanted) {
            // Only while the keyboard is still in the pane or nowhere: a user who went on to
            // something else is not pulled back.
            QWidget* focus = QApplication::focusWidget();
            if (!focus || focus == q || q->isAncestorOf(focus) ||
                q->window()->focusWidget() == nullptr)
                ui.msgInputWidget->setFocus(Qt::OtherFocusReason);
            editorFocusWanted = false;
        }
    }

    // Whether what the user writes now reaches someone: a supporter's messages always go out
    // while connected; an ordinary user's only with someone else in the room. After a lost
    // connection neither counts until the connection is back and the room has been counted
    // anew: the count from before the loss says nothing, and a reconnect attempt is no
    // connection.
    bool canWrite() const
    {
        if (!engine || !linkUp || countStale || !TsSDKClient::instance()->isConnected())
            return false;
        if (clientRole() == 2)
            return true;
        return engine->memberCount() > 1;
    }

    MessageInfo makeInfo() const
    {
        if (engine)
            return engine->makeInfo();
        MessageInfo info;
        info.setTime(QDateTime::currentDateTimeUtc());
        return info;
    }

    void addStatus(const QString& text, int level) { ui.msgViewWidget->addStatus(text, level); }
    void connectStatusChanged(int status);
    void membersCounted();
    void toggleDevice(int flag);
    void setTabOrder();
    void chooseImages();
    void startScreenCapture();
    void requestRemote();
    void toggleScreenShare();
    void sharingChanged(bool sharing);
    void handleRemote(const ChatMessage& message, bool own = false);
    bool handleRemoteOne(const ChatMessage& message, bool own);
    RemoteHandle* answeringLauncher(bool own, const QString& requester);
    BuiltinRemoteHandle* builtinLauncher();

    Ui::ChatWidget ui;
    FontWidget* fontWidget = nullptr;
    FileWidget* fileWidget = nullptr;
    FaceWidget* faceWidget = nullptr;
    QPushButton* sendButton = nullptr;
    TeamSpeak3ServerInterface* engine = nullptr;
    // The launchers: the program beside Meeting, and the built-in screens.
    RemoteHandle* anyDesk = nullptr;
    BuiltinRemoteHandle* builtin = nullptr;
    ScreenSession* screens = nullptr;
    // Remote-desktop messages that came while the launcher was busy with one; own marks the
    // user's own request (role 3), which is answered without asking.
    struct QueuedRemote
    {
        ChatMessage message;
        bool own = false;
    };
    QList<QueuedRemote> remoteQueue;
    bool remoteBusy = false;
    QElapsedTimer lastUndelivered;
    // The editor is to take the keyboard once it takes input.
    bool editorFocusWanted = false;
    // The connection as the engine's status events told it, in their order: down from a loss
    // (or a new attempt) until connected again.
    bool linkUp = false;
    // The member count is from before the last loss: nothing has recounted it since.
    bool countStale = true;
    ChatWidget* q;
};

void ChatWidgetPrivate::connectStatusChanged(int status)
{
    switch (status) {
    case STATUS_DISCONNECTED:
    case STATUS_CONNECTING:
        // Every reconnect attempt says connecting: the inputs stay off until the room has been
        // counted on a connection that is up.
        linkUp = false;
        countStale = true;
        setInputsEnabled(false);
        break;
    case STATUS_CONNECTED:
        linkUp = true;
        q->updateDeviceIcons();
        break;
    default:
        break;
    }
}

void ChatWidgetPrivate::membersCounted()
{
    if (linkUp)
        countStale = false;
    setInputsEnabled(canWrite());
}

// Reading order: the history, the font bar when shown, the tool bar, the editor, Send, Close.
void ChatWidgetPrivate::setTabOrder()
{
    QList<QWidget*> order{ui.msgViewWidget};
    for (QWidget* widget = fontWidget->nextInFocusChain(); widget != fontWidget;
         widget = widget->nextInFocusChain()) {
        if (fontWidget->isAncestorOf(widget) && (widget->focusPolicy() & Qt::TabFocus))
            order << widget;
    }
    order << ui.toolButtonFont << ui.toolButtonFace << ui.btnDevice_5 << ui.btnDevice_6
          << ui.btnRemote << ui.btnShareScreen << ui.btnSendFile << ui.toolButtonImage
          << ui.btnScreenshot << ui.msgInputWidget << sendButton
          << ui.btnBox->button(QDialogButtonBox::Close);
    for (int i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order.at(i - 1), order.at(i));
}

void ChatWidgetPrivate::toggleDevice(int flag)
{
    if (!engine)
        return;
    engine->enableDevice(flag);
    q->updateDeviceIcons();
}

void ChatWidgetPrivate::chooseImages()
{
    // Created on the heap and watched: the pane (its parent) may close while the dialog runs.
    QPointer<QFileDialog> dialog = new QFileDialog(q, ChatWidget::tr("Select Images"));
    dialog->setNameFilter(ChatWidget::tr(
        "Image files (*.bmp *.gif *.jpg *.png *.pbm *.pgm *.ppm *.xbm *.xpm *.svg)"));
    dialog->setOption(QFileDialog::ReadOnly);
    dialog->setFileMode(QFileDialog::ExistingFile);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return;
    const QList<QUrl> urls = dialog->selectedUrls();
    delete dialog;
    if (accepted)
        ui.msgInputWidget->insertImages(urls);
}

void ChatWidgetPrivate::startScreenCapture()
{
    auto* capture = new Screenshot();
    QObject::connect(capture, &Screenshot::shootScreen, ui.msgInputWidget,
                     &SendTextEdit::insertImage);
    capture->show();
}

void ChatWidgetPrivate::requestRemote()
{
    // The built-in screens are always there; a program beside Meeting must be.
    const int role = clientRole();
    if (chosenRemoteLauncher(role) == RemoteLauncher::External &&
        !QFileInfo(AnyDeskHandle::programFile(AnyDeskHandle::variantForRole(role))).isFile()) {
        addStatus(ChatWidget::tr("No valid remote component, remote request can't be send."), 2);
        return;
    }
    ChatMessage request(RemoteRequest);
    request.package.setRequest(QJsonObject());
    if (role == 3) {
        // Our own program starts (or our screen is shared) and the answer goes to the others
        // at once.
        handleRemote(request, true);
        return;
    }
    request.info = makeInfo();
    // The engine holds it back when nobody else is in the room: saying it was sent would
    // leave the user waiting for a reply that cannot come.
    const bool reachesSomeone = canWrite();
    emit q->sendMessage(request);
    if (reachesSomeone)
        addStatus(ChatWidget::tr("Remote request has been send, please wait for the reply..."), 0);
    else
        addStatus(ChatWidget::tr("Nobody else is in the meeting: the remote request was not "
                                 "sent."),
                  1);
}

void ChatWidgetPrivate::toggleScreenShare()
{
    if (screens->isSharing()) {
        screens->stopSharing();
        return;
    }
    QString error;
    if (!screens->startSharing(false, QString(), &error))
        addStatus(error, 2);
    // Checked once the share runs, not on the click.
    ui.btnShareScreen->setChecked(screens->isSharing());
}

void ChatWidgetPrivate::sharingChanged(bool sharing)
{
    QToolButton* button = ui.btnShareScreen;
    button->setChecked(sharing);
    button->setToolTip(sharing ? ChatWidget::tr("Your screen is shared: stop sharing it")
                               : ChatWidget::tr("Share your screen with the meeting"));
    if (sharing)
        button->setEnabled(true);
    else
        setInputsEnabled(canWrite());
}

BuiltinRemoteHandle* ChatWidgetPrivate::builtinLauncher()
{
    if (!builtin)
        builtin = new BuiltinRemoteHandle(screens);
    return builtin;
}

RemoteHandle* ChatWidgetPrivate::answeringLauncher(bool own, const QString& requester)
{
    if (chosenRemoteLauncher(clientRole()) == RemoteLauncher::External) {
        if (!anyDesk)
            anyDesk = new AnyDeskHandle(AnyDeskHandle::variantForRole(clientRole()));
        return anyDesk;
    }
    BuiltinRemoteHandle* launcher = builtinLauncher();
    if (own) {
        launcher->setRequester(QString());
    } else {
        // Whoever asks, the user is asked first; a nameless request is still a request.
        const QString name = requester.trimmed().left(MaxShownRequester);
        launcher->setRequester(name.isEmpty() ? ChatWidget::tr("A member of the meeting") : name);
    }
    return launcher;
}

void ChatWidgetPrivate::handleRemote(const ChatMessage& message, bool own)
{
    // The launcher runs the event loop while it waits for its program, so more requests may
    // come meanwhile: they are answered in turn once it is done.
    if (remoteQueue.size() >= MaxQueuedRemote) {
        qDebug() << "Dropping a remote-desktop message: too many wait for an answer";
        return;
    }
    remoteQueue.append({message, own});
    if (remoteBusy)
        return;
    remoteBusy = true;
    while (!remoteQueue.isEmpty()) {
        const QueuedRemote next = remoteQueue.takeFirst();
        if (!handleRemoteOne(next.message, next.own))
            return; // the pane went away: this record is gone too
    }
    remoteBusy = false;
}

bool ChatWidgetPrivate::handleRemoteOne(const ChatMessage& message, bool own)
{
    const QJsonArray content = message.package.content;
    if (content.size() < 2)
        return true;
    const QString tag = content.at(0).toString();
    const QPointer<ChatWidget> alive(q);
    if (tag == QLatin1String("request")) {
        const QJsonObject reply = answeringLauncher(own, message.info.sender())->handleRequest();
        if (!alive)
            return false;
        ChatMessage answer(RemoteRequest);
        answer.info = makeInfo();
        answer.package.setReply(reply);
        emit q->sendMessage(answer);
        // The user asked: what went wrong is said here too, not only to the others.
        if (own && reply.contains(QStringLiteral("error")))
            addStatus(shownRemoteText(reply.value(QStringLiteral("error")).toString()), 2);
    } else if (tag == QLatin1String("reply")) {
        const QJsonObject reply = content.at(1).toObject();
        const QString app = reply.value(QStringLiteral("app_name")).toString();
        // A launcher per program named; replies naming another program show nothing.
        RemoteHandle* launcher = nullptr;
        if (app == QLatin1String("AnyDesk")) {
            if (!anyDesk)
                anyDesk = new AnyDeskHandle(AnyDeskHandle::variantForRole(clientRole()));
            launcher = anyDesk;
        } else if (app == BuiltinRemoteHandle::appName()) {
            launcher = builtinLauncher();
        } else {
            qDebug().noquote() << "No launcher for the remote component" << app.left(64);
            return true;
        }
        QString extra;
        const bool started = launcher->handleReply(reply, &extra);
        if (!alive)
            return false;
        if (started) {
            addStatus(
                ChatWidget::tr("The other remote component \"%1\" has been started.").arg(app) +
                    extra,
                0);
        } else {
            addStatus(ChatWidget::tr("The other remote component \"%1\" has an error: %2")
                          .arg(app, shownRemoteText(extra)),
                      2);
        }
    } else {
        qDebug().noquote().nospace() << "Unknown Remote Request: " << tag.left(64);
    }
    return true;
}

ChatWidget::ChatWidget(QWidget* parent) : QWidget(parent), d(new ChatWidgetPrivate(this))
{
    d->ui.setupUi(this);
    d->ui.toolButtonFace->hide();

    d->fontWidget = new FontWidget(this);
    d->ui.mainLayout->insertWidget(d->ui.mainLayout->indexOf(d->ui.msgViewWidget) + 1,
                                   d->fontWidget);
    d->ui.msgInputWidget->setFontStyle(d->fontWidget->fontStyle());
    d->fontWidget->hide();

    d->fileWidget = new FileWidget(this);
    d->fileWidget->hide();
    d->faceWidget = new FaceWidget(this);
    d->faceWidget->hide();

    QFile styleSheet(QStringLiteral(":/qml/casetable.css"));
    if (styleSheet.open(QIODevice::ReadOnly))
        setStyleSheet(QString::fromUtf8(styleSheet.readAll()));
    setAttribute(Qt::WA_DeleteOnClose);
    d->sendButton = d->ui.btnBox->addButton(tr("Send"), QDialogButtonBox::ApplyRole);
    d->sendButton->setObjectName(QStringLiteral("btnSend"));

    connect(d->ui.btnBox, &QDialogButtonBox::rejected, this, &ChatWidget::closed);
    connect(d->sendButton, &QPushButton::clicked, this, &ChatWidget::_q_sendMessage);
    connect(d->ui.msgInputWidget, &SendTextEdit::returnPressed, this, &ChatWidget::_q_sendMessage);
    connect(d->ui.msgInputWidget, &SendTextEdit::refused, this,
            [this](const QString& reason) { d->addStatus(reason, 1); });
    connect(d->ui.toolButtonFont, &QToolButton::clicked, this, [this] {
        d->fontWidget->setVisible(d->ui.toolButtonFont->isChecked());
        d->ui.msgViewWidget->scrollbarToEnd();
    });
    connect(d->fontWidget, &FontWidget::valueChanged, this,
            [this] { d->ui.msgInputWidget->setFontStyle(d->fontWidget->fontStyle()); });
    connect(d->ui.btnDevice_5, &QToolButton::clicked, this,
            [this] { d->toggleDevice(CLIENT_INPUT_MUTED); });
    connect(d->ui.btnDevice_6, &QToolButton::clicked, this,
            [this] { d->toggleDevice(CLIENT_OUTPUT_MUTED); });
    // Queued: the exchange may run the event loop for long, better not inside the button's click.
    connect(
        d->ui.btnRemote, &QToolButton::clicked, this, [this] { d->requestRemote(); },
        Qt::QueuedConnection);
    d->screens = new ScreenSession(this);
    connect(d->screens, &ScreenSession::status, this,
            [this](const QString& text, int level) { d->addStatus(text, level); });
    connect(d->screens, &ScreenSession::sharingChanged, this,
            [this](bool sharing) { d->sharingChanged(sharing); });
    connect(d->ui.btnShareScreen, &QToolButton::clicked, this, [this] { d->toggleScreenShare(); });
    // The history shows what was sent as sent: a text the server could not deliver says so.
    connect(TsSDKClient::instance(), &TsSDKClient::textNotDelivered, this,
            [this](const QString& where) {
                if (d->lastUndelivered.isValid() &&
                    d->lastUndelivered.elapsed() < UndeliveredQuietMs)
                    return;
                d->lastUndelivered.start();
                d->addStatus(tr("A message did not reach everyone it was for (%1): the servers "
                                "lost touch meanwhile. Please send it again.")
                                 .arg(where.left(MaxShownWhere)),
                             2);
            });
    connect(d->ui.btnSendFile, &QToolButton::clicked, this, [this] {
        d->fileWidget->show();
        d->fileWidget->raise();
        d->fileWidget->activateWindow();
    });
    connect(d->ui.toolButtonImage, &QToolButton::clicked, this, [this] { d->chooseImages(); });
    connect(d->ui.btnScreenshot, &QToolButton::clicked, this, [this] { d->startScreenCapture(); });
    connect(d->fileWidget, &FileWidget::uploadFiles, this, &ChatWidget::_q_uploadFiles);
    connect(d->fileWidget, &FileWidget::downloadFiles, this, &ChatWidget::_q_downloadFiles);
    connect(d->fileWidget, &FileWidget::deleteFiles, this, &ChatWidget::_q_deleteFiles);

    // Tab leaves the editor for Send instead of writing a tab.
    d->ui.msgInputWidget->setTabChangesFocus(true);
    d->setTabOrder();
    // The pane hands the keyboard to its editor, and counts as one stop among its neighbours.
    setFocusProxy(d->ui.msgInputWidget);

    // Nothing to write to before an engine is set.
    d->setInputsEnabled(false);
}

ChatWidget::~ChatWidget()
{
    delete d;
}

void ChatWidget::setChatInterface(TeamSpeak3ServerInterface* engine)
{
    delete std::exchange(d->engine, nullptr);
    d->engine = engine;
    if (!engine) {
        d->setInputsEnabled(false);
        return;
    }
    connect(engine, &QObject::destroyed, this, [this, engine] {
        if (d->engine == engine)
            d->engine = nullptr;
    });
    d->ui.msgViewWidget->clear();
    d->ui.msgViewWidget->setOwnName(engine->makeInfo().sender());

    connect(engine, &TeamSpeak3ServerInterface::newMessage, this,
            [this](const QList<ChatMessage>& messages) {
                // Someone wrote, sent a file notice or asks for remote help.
                for (const ChatMessage& message : messages) {
                    if (message.type != ShakeMessage && message.type != MeetingRequest) {
                        callAttention(this);
                        break;
                    }
                }
                onNewMessage(messages);
            });
    connect(this, &ChatWidget::sendMessage, engine, &TeamSpeak3ServerInterface::sendMessage);
    connect(engine, &TeamSpeak3ServerInterface::filesChanged, d->fileWidget,
            &FileWidget::updateFiles);
    connect(engine, &TeamSpeak3ServerInterface::transferChanged, d->fileWidget,
            &FileWidget::updateTransfer);
    connect(engine, &TeamSpeak3ServerInterface::channelMemberChanged, this,
            [this] { d->membersCounted(); });
    connect(engine, &TeamSpeak3ServerInterface::connectStatusChanged, this,
            [this](int status) { d->connectStatusChanged(status); });

    // The member count may be complete already: no change of it may follow soon. Without a
    // connection it is not, and the next one brings a new count.
    d->linkUp = TsSDKClient::instance()->isConnected();
    d->countStale = !d->linkUp;
    d->setInputsEnabled(d->canWrite());
    updateDeviceIcons();
    d->fileWidget->updateFiles(engine->files());

    const QPointer<ChatWidget> alive(this);
    for (const ChatMessage& message : engine->history()) {
        if (message.type == TextMessage || message.type == GroupMessage)
            onNewMessage({message});
        else
            qDebug() << "Filter History Message";
        if (!alive)
            return;
    }
    if (clientRole() == 2) {
        d->ui.btnRemote->hide();
        d->ui.btnRemote->setEnabled(false);
    }
}

TeamSpeak3ServerInterface* ChatWidget::chatInterface() const
{
    return d->engine;
}

ScreenSession* ChatWidget::screenSession() const
{
    return d->screens;
}

int ChatWidget::statusLevel(QtMsgType type)
{
    switch (type) {
    case QtCriticalMsg:
    case QtFatalMsg:
        return 2;
    case QtWarningMsg:
        return 1;
    default:
        return 0;
    }
}

void ChatWidget::onNewMessage(const QList<ChatMessage>& msgs)
{
    // A remote-desktop exchange runs the event loop, in which the pane may be closed.
    const QPointer<ChatWidget> alive(this);
    for (const ChatMessage& message : msgs) {
        if (!alive)
            return;
        switch (message.type) {
        case TextMessage:
        case GroupMessage:
        case SystemMessage:
            d->ui.msgViewWidget->addMessage(message);
            break;
        case FileMessage:
            d->ui.msgViewWidget->addMessage(message);
            if (d->engine)
                d->engine->updateCaseFiles();
            break;
        case RemoteRequest:
            d->handleRemote(message);
            break;
        case ShakeMessage:
            break;
        case MeetingRequest:
            qDebug() << "Empty message...";
            break;
        default:
            qDebug() << "Unknown message...";
            break;
        }
    }
}

void ChatWidget::focusEditor()
{
    if (d->ui.msgInputWidget->isEnabled()) {
        d->ui.msgInputWidget->setFocus(Qt::OtherFocusReason);
        return;
    }
    // Nothing to write to yet: the keyboard waits in the history, away from whatever was
    // focused before (a space there would press a button the user cannot see).
    d->ui.msgViewWidget->setFocus(Qt::OtherFocusReason);
    d->editorFocusWanted = true;
}

void ChatWidget::onLogerMessage(const QString& messag, QtMsgType type)
{
    d->addStatus(messag, statusLevel(type));
}

void ChatWidget::updateDeviceIcons()
{
    TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
    const bool microphoneOff = sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED);
    const bool speakersOff = sdk->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED);
    QToolButton* microphone = d->ui.btnDevice_5;
    QToolButton* speakers = d->ui.btnDevice_6;
    microphone->setIcon(QIcon(microphoneOff ? QStringLiteral(":/qml/images/micro_c.png")
                                            : QStringLiteral(":/qml/images/micro_o.png")));
    speakers->setIcon(QIcon(speakersOff ? QStringLiteral(":/qml/images/volume_c.png")
                                        : QStringLiteral(":/qml/images/volume_o.png")));
    // Checked means on, so a screen reader says the state and the tip says what a press does.
    microphone->setChecked(!microphoneOff);
    speakers->setChecked(!speakersOff);
    microphone->setToolTip(microphoneOff ? tr("Microphone is off: turn it on")
                                         : tr("Microphone is on: turn it off"));
    speakers->setToolTip(speakersOff ? tr("Speakers are off: turn them on")
                                     : tr("Speakers are on: turn them off"));
}

void ChatWidget::paintEvent(QPaintEvent* event)
{
    if (d->engine && !d->canWrite())
        d->setInputsEnabled(false);
    QWidget::paintEvent(event);
}

void ChatWidget::_q_sendMessage()
{
    SendTextEdit* editor = d->ui.msgInputWidget;
    if (editor->document()->isEmpty())
        return;
    ChatMessage message(TextMessage);
    message.info = d->makeInfo();
    message.package = editor->messageContent();
    emit sendMessage(message);
    d->ui.msgViewWidget->addMessage(message);
    editor->clear();
}

void ChatWidget::_q_uploadFiles(const QStringList& files)
{
    if (d->engine)
        d->engine->uploadFiles(files);
}

void ChatWidget::_q_downloadFiles(const QStringList& files, const QString& path)
{
    if (d->engine)
        d->engine->downloadFiles(files, path);
}

void ChatWidget::_q_deleteFiles(const QStringList& names)
{
    if (!d->engine || !d->engine->deleteFiles(names))
        return;
    ChatMessage notice(FileMessage);
    notice.info = d->makeInfo();
    for (const QString& name : names)
        notice.package.appendFileNotice(name, false);
    emit sendMessage(notice);
}

} // namespace MeetingSupport
