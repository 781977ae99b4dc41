// SPDX-License-Identifier: MIT
#pragma once

#include <QMainWindow>

class TestMainWindow;

namespace MeetingSupport {

class ChatMessage;
class MainWindowPrivate;

// The one top-level window after login: the left bar, the people online, and either the meeting
// list or the meeting the user is in. It also answers meeting invitations.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow();
    ~MainWindow() override;

    // Refreshes the meeting list, then the supporter list.
    void refreshLists();

    // Sets the own microphone (input muted) and then speakers (output muted) where they differ.
    static void setMuted(bool muted);

signals:
    void loggerMessage(QString messag, QtMsgType type);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void startMeeting();
    void showOptions();
    void joinMeeting(const QString& channelName);
    QString findFreeMeetingName();
    void handleTextMessage(const QString& name, const QString& msg);
    void handleRequest(const ChatMessage& message);
    void handleClientMove(const QString& name, bool is_login, int visibility);
    // The own client moved by someone else (its meeting deleted): followed like an own move.
    void handleClientMovedByOther(bool selfMoved, const QString& oldChannelName, bool selfMover,
                                  const QString& moverName);

    MainWindowPrivate* d;
    friend class MainWindowPrivate;
    friend class ::TestMainWindow;
};

} // namespace MeetingSupport

// Lets loggerMessage travel through queued connections and signal spies.
Q_DECLARE_METATYPE(QtMsgType)
