// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"

#include <QTextBrowser>

namespace MeetingSupport {

class HistoryPictures;
class ImageViewer;
class MessageViewPrivate;

// The read-only chat history: chat messages with a header of sender and time and a body in the
// sender's font with inline pictures, grey system and file notes, and coloured status lines.
// Everything is appended at the end. A double click on a picture opens it in the image viewer.
// What another member sends costs bounded time and memory: a message shows its text up to
// maxMessageCharacters and maxMessageLineBreaks and its pictures up to maxMessagePictures and
// maxMessagePicturePixels, with a note of what was left out (pictures left out show the
// placeholder picture); pictures are kept compressed and decoded at the size they are drawn.
class MessageView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit MessageView(QWidget* parent = nullptr);
    ~MessageView() override;

    // Chat messages (types 0 and 1), system notes (3) and other members' file notes (2); other
    // types show nothing.
    void addMessage(const ChatMessage& message);
    // A centred line in blue (level 0), orange (1) or red (2); other levels and empty texts
    // show nothing.
    void addStatus(const QString& text, int level);

    // Messages whose "sender" is this name are our own.
    void setOwnName(const QString& name);
    QString ownName() const;

    ImageViewer* imageViewer() const;
    // The pictures of the history, with their bound on decoded memory.
    HistoryPictures* pictures() const;

public slots:
    void scrollbarToEnd();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;

private slots:
    void _q_addMessage(const ChatMessage& message);

private:
    MessageViewPrivate* d;
    friend class MessageViewPrivate;
};

} // namespace MeetingSupport
