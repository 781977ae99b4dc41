// SPDX-License-Identifier: MIT
#include "messageview.h"

#include "imageviewer.h"
#include "localfile.h"
#include "messageimagehandler.h"

#include <QAbstractTextDocumentLayout>
#include <QDebug>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>

namespace MeetingSupport {

class MessageViewPrivate
{
public:
    explicit MessageViewPrivate(MessageView* q) : q(q) {}
    ~MessageViewPrivate() { delete viewer; }

    bool isOwn(const ChatMessage& message) const { return message.info.sender() == ownName; }

    QString localTime(const ChatMessage& message) const
    {
        return message.info.time().toLocalTime().toString(timeFormat);
    }

    // Clearing the view gives the document a new root frame: its margins come back here.
    void prepareRootFrame()
    {
        QTextFrame* root = document->rootFrame();
        QTextFrameFormat format = root->frameFormat();
        if (format.topMargin() != unit || format.bottomMargin() != unit) {
            format.setTopMargin(unit);
            format.setBottomMargin(unit);
            root->setFrameFormat(format);
        }
        cursor.movePosition(QTextCursor::End);
    }

    // A new block at the end; the empty block a document starts with is used for the first.
    void startBlock(const QTextBlockFormat& format)
    {
        if (document->isEmpty())
            cursor.setBlockFormat(format);
        else
            cursor.insertBlock(format);
    }

    void insertChatMessage(const ChatMessage& message);
    void insertNote(const ChatMessage& message);
    void renderContent(const ChatMessage& message, const QTextCharFormat& format);
    void insertPicture(const QJsonObject& picture);
    void insertFileNotices(const ChatMessage& message, const QJsonArray& item);

    QString ownName;
    QTextDocument* document = nullptr;
    QTextCursor cursor;
    const qreal unit = 8.0;
    uint imageCounter = 0;
    ImageViewer* viewer = nullptr;
    const QString timeFormat = QStringLiteral("yyyy/M/d hh:mm:ss");
    MessageView* q;
};

void MessageViewPrivate::insertChatMessage(const ChatMessage& message)
{
    const bool own = isOwn(message);

    QTextBlockFormat header;
    header.setTopMargin(unit);
    if (own) {
        header.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        header.setRightMargin(unit);
    } else {
        header.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        header.setLeftMargin(unit);
    }
    startBlock(header);
    QTextCharFormat headerText;
    headerText.setForeground(own ? Qt::darkGreen : Qt::blue);
    cursor.insertText(QStringLiteral("%1  %2").arg(message.info.sender(), localTime(message)),
                      headerText);

    QTextBlockFormat body;
    body.setTopMargin(unit / 3);
    body.setBottomMargin(unit);
    if (own) {
        body.setAlignment(Qt::AlignRight);
        body.setRightMargin(3 * unit);
    } else {
        body.setAlignment(Qt::AlignLeft);
        body.setLeftMargin(3 * unit);
    }
    cursor.insertBlock(body);

    const MessageFont& font = message.package.font;
    QTextCharFormat bodyText;
    bodyText.setFont(font.toFont());
    bodyText.setForeground(font.color.isValid() ? font.color : QColor(Qt::black));
    renderContent(message, bodyText);
}

void MessageViewPrivate::insertNote(const ChatMessage& message)
{
    QTextCharFormat grey;
    grey.setForeground(Qt::gray);

    QTextBlockFormat timeLine;
    timeLine.setAlignment(Qt::AlignCenter);
    timeLine.setTopMargin(unit);
    startBlock(timeLine);
    cursor.insertText(localTime(message), grey);

    QTextBlockFormat note;
    note.setAlignment(Qt::AlignCenter);
    note.setBottomMargin(unit);
    cursor.insertBlock(note);
    renderContent(message, grey);
}

void MessageViewPrivate::renderContent(const ChatMessage& message, const QTextCharFormat& format)
{
    for (const QJsonValue& item : message.package.content) {
        if (item.isString()) {
            cursor.insertText(item.toString(), format);
            continue;
        }
        const QJsonArray tagged = item.toArray();
        if (tagged.size() < 2 || !tagged.at(0).isString())
            continue;
        const QString tag = tagged.at(0).toString();
        if (tag == QLatin1String("image")) {
            for (int i = 1; i < tagged.size(); ++i) {
                if (tagged.at(i).isObject())
                    insertPicture(tagged.at(i).toObject());
            }
        } else if (tag == QLatin1String("file")) {
            insertFileNotices(message, tagged);
        } else if (tag != QLatin1String("face")) {
            qDebug().noquote().nospace() << "Unknown Messsage: " << tag;
        }
    }
}

void MessageViewPrivate::insertPicture(const QJsonObject& picture)
{
    // "src" is chosen by the sender: only an ordinary local file of sane size is looked at, so a
    // name can never reach another machine, wait on a pipe or read a device. Anything else
    // counts as a file that is not there.
    const QString local = confinedPictureFile(picture.value(QStringLiteral("src")).toString());
    if (!local.isEmpty()) {
        const QImage image = loadLocalPicture(local);
        if (!image.isNull()) {
            cursor.insertImage(image, local);
            return;
        }
        if (QFileInfo::exists(local))
            qDebug() << "Not showing the picture file" << local << "(no readable picture)";
    }
    if (picture.contains(QStringLiteral("link")))
        return;
    if (!picture.contains(QStringLiteral("buffer"))) {
        cursor.insertImage(QImage(QStringLiteral(":/qml/images/temp_down_image.png")),
                           QString::number(imageCounter++));
        return;
    }
    const QImage image = decodeImage(picture.value(QStringLiteral("buffer")).toString());
    if (image.isNull())
        return;
    cursor.insertImage(image, QStringLiteral("send_image_%1").arg(imageCounter++));
}

void MessageViewPrivate::insertFileNotices(const ChatMessage& message, const QJsonArray& item)
{
    const QString sender = message.info.sender();
    if (sender == ownName)
        return;
    for (int i = 1; i < item.size(); ++i) {
        if (!item.at(i).isObject())
            continue;
        const QJsonObject notice = item.at(i).toObject();
        const QString command = notice.value(QStringLiteral("cmd")).toString();
        const QString name = notice.value(QStringLiteral("name")).toString();
        QString text;
        if (command == QLatin1String("delete"))
            text = MessageView::tr("%1 delete file: %2").arg(sender, name);
        else if (command == QLatin1String("upload"))
            text = MessageView::tr("%1 upload a new file: %2").arg(sender, name);
        if (text.isEmpty())
            continue;
        // Several files in one note: one line each.
        if (!cursor.atBlockStart())
            text.prepend(QChar::LineSeparator);
        cursor.insertText(text);
    }
}

MessageView::MessageView(QWidget* parent) : QTextBrowser(parent), d(new MessageViewPrivate(this))
{
    setReadOnly(true);
    setOpenLinks(false);
    d->document = new QTextDocument(this);
    // A history is only appended to: nothing to undo, and no undo stack growing with it.
    d->document->setUndoRedoEnabled(false);
    setDocument(d->document);
    d->document->setDefaultFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));

    d->cursor = QTextCursor(d->document);
    d->prepareRootFrame();

    d->document->documentLayout()->registerHandler(QTextFormat::ImageObject,
                                                   new MessageImageHandler(this, 0.5));
    d->viewer = new ImageViewer();
}

MessageView::~MessageView()
{
    delete d;
}

void MessageView::addMessage(const ChatMessage& message)
{
    switch (message.type) {
    case TextMessage:
    case GroupMessage:
        d->prepareRootFrame();
        d->insertChatMessage(message);
        break;
    case FileMessage:
        // Our own uploads and deletes are not news to us.
        if (d->isOwn(message))
            return;
        d->prepareRootFrame();
        d->insertNote(message);
        break;
    case SystemMessage:
        d->prepareRootFrame();
        d->insertNote(message);
        break;
    default:
        return;
    }
    scrollbarToEnd();
}

void MessageView::addStatus(const QString& text, int level)
{
    static const char* const colours[] = {"#1E90FF", "#FF7F24", "#FF3030"};
    if (text.isEmpty() || level < 0 || level > 2)
        return;
    d->prepareRootFrame();
    QTextBlockFormat line;
    line.setLeftMargin(5 * d->unit);
    line.setRightMargin(5 * d->unit);
    line.setBottomMargin(d->unit);
    line.setAlignment(Qt::AlignCenter);
    d->startBlock(line);
    QTextCharFormat coloured;
    coloured.setForeground(QColor(QLatin1String(colours[level])));
    d->cursor.insertText(text, coloured);
    scrollbarToEnd();
}

void MessageView::setOwnName(const QString& name)
{
    d->ownName = name;
}

QString MessageView::ownName() const
{
    return d->ownName;
}

ImageViewer* MessageView::imageViewer() const
{
    return d->viewer;
}

void MessageView::scrollbarToEnd()
{
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void MessageView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPointF position(event->pos() +
                           QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value()));
    const QTextFormat format = document()->documentLayout()->formatAt(position);
    const QString name = format.isImageFormat() ? format.toImageFormat().name() : QString();
    if (!name.isEmpty()) {
        const QImage image =
            qvariant_cast<QImage>(document()->resource(QTextDocument::ImageResource, QUrl(name)));
        if (!image.isNull()) {
            qDebug() << image;
            d->viewer->showImage(image);
            d->viewer->show();
            d->viewer->raise();
            d->viewer->activateWindow();
        }
    }
    QTextEdit::mouseDoubleClickEvent(event);
}

void MessageView::_q_addMessage(const ChatMessage& message)
{
    addMessage(message);
}

} // namespace MeetingSupport
