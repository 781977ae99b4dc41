// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"

#include <QList>
#include <QTextEdit>
#include <QUrl>

namespace MeetingSupport {

class SendTextEditPrivate;

// The editor a chat message is written in. Return or Enter sends (returnPressed), Shift+Return
// breaks the line. Pictures come in by paste, drop, insertImage (screen captures) and
// insertImages (chosen files); a dropped text file is inserted as text. Pasted rich text keeps
// only the pictures it names that are local picture files or inline data, read with the bounds
// of localfile.h. The whole text shows in the one font of the user's messages.
// The editor holds at most what one message may (chatmessage.h): a paste, drop or picture that
// would make it hold more is refused whole, and refused() says why.
class SendTextEdit : public QTextEdit
{
    Q_OBJECT
public:
    explicit SendTextEdit(QWidget* parent = nullptr);
    ~SendTextEdit() override;

    void setFontStyle(const MessageFont& font);
    MessageFont fontStyle() const;
    // The message body of the document: the font with the text runs and pictures in order.
    MessagePackage messageContent() const;

    // The style sheet text of a font: colour, weight, slant, size and family, underline.
    static QString toStyleSheet(const MessageFont& font);

signals:
    void returnPressed();
    // Something pasted, dropped or inserted was not taken: the message would have grown past
    // what one message may hold. The text says so to the user.
    void refused(const QString& reason);

public slots:
    void insertImages(const QList<QUrl>& url);
    void insertImage(const QImage& image);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    // Pictures a pasted or dropped document names come through the bounded reader; nothing
    // else is ever read for the document.
    QVariant loadResource(int type, const QUrl& name) override;

private:
    SendTextEditPrivate* d;
    friend class SendTextEditPrivate;
};

} // namespace MeetingSupport
