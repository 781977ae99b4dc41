// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"

#include <QList>
#include <QStringList>
#include <QWidget>

namespace MeetingSupport {

class ChatWidgetPrivate;
class ScreenSession;
class TeamSpeak3ServerInterface;

// The chat pane of an open meeting: the history, a tool bar (font bar, microphone, speakers,
// remote desktop, screen sharing, shared files, pictures, screen capture), the editor, and Send
// and Close. It binds a chat engine to the widgets: shows what arrives, sends what the user
// writes, forwards the shared-files pane's requests, and runs the remote-desktop request and
// reply, with the program beside Meeting or with its own live screens. Without an engine, or
// with fewer than two members in the room, nothing can be written. Deletes itself when closed.
class ChatWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ChatWidget(QWidget* parent = nullptr);
    ~ChatWidget() override;

    // Takes the engine over (deleting the one held before); null disables the pane.
    void setChatInterface(TeamSpeak3ServerInterface* engine);
    TeamSpeak3ServerInterface* chatInterface() const;
    // The meeting's live screens: the own share and the members' viewers.
    ScreenSession* screenSession() const;

    // Status line levels: 0 information (blue), 1 warning (orange), 2 error (red).
    static int statusLevel(QtMsgType type);

    // Puts the keyboard in the message editor: now when it takes input, else as soon as it
    // does, unless the user has gone elsewhere meanwhile.
    void focusEditor();

signals:
    // The Close button was pressed.
    void closed();
    void sendMessage(const MeetingSupport::ChatMessage& message);

public slots:
    void onNewMessage(const QList<MeetingSupport::ChatMessage>& msgs);
    // Adds a status line, coloured by the message type.
    void onLogerMessage(const QString& messag, QtMsgType type);
    // The microphone and speaker icons from the own mute flags.
    void updateDeviceIcons();

protected:
    void paintEvent(QPaintEvent* event) override;

private slots:
    void _q_sendMessage();
    void _q_uploadFiles(const QStringList& files);
    void _q_downloadFiles(const QStringList& files, const QString& path);
    void _q_deleteFiles(const QStringList& names);

private:
    ChatWidgetPrivate* d;
    friend class ChatWidgetPrivate;
};

} // namespace MeetingSupport
