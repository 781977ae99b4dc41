// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace MeetingSupport {

class ChatWidgetPrivate;

// The chat pane of an open meeting: the history of status lines and the button row whose Close
// button leaves the meeting.
class ChatWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ChatWidget(QWidget* parent = nullptr);
    ~ChatWidget() override;

    // Status line levels: 0 information (blue), 1 warning (orange), 2 error (red).
    static int statusLevel(QtMsgType type);

signals:
    // The Close button was pressed.
    void closed();

public slots:
    // Adds a status line, coloured by the message type.
    void onLogerMessage(const QString& messag, QtMsgType type);

private:
    ChatWidgetPrivate* d;
    friend class ChatWidgetPrivate;
};

} // namespace MeetingSupport
