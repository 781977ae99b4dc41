// SPDX-License-Identifier: MIT
#include "messageview.h"

#include "historypictures.h"
#include "imageviewer.h"
#include "localfile.h"
#include "messageimagehandler.h"

#include <QAbstractTextDocumentLayout>
#include <QDebug>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTimer>
#include <QUrl>

#include <functional>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace MeetingSupport {

namespace {

// Unknown tags logged per message.
constexpr int maxLoggedTags = 8;
// Combining marks kept on one letter: piles beyond this cost the layout dearly and show as
// a smear anyway.
constexpr int maxMarksInARow = 8;
// Qt finds where to break a line in a run without break opportunities by looking at the whole
// run for every line, so very long runs get an invisible break opportunity this often. It is
// left out again when the text is copied.
constexpr int longestUnbrokenRun = 1024;
constexpr int insertedBreakProperty = QTextFormat::UserProperty + 1;
// Names are short; a longer one is cut in the header.
constexpr int maxShownNameLength = 256;
const QString placeholderPicture = QStringLiteral(":/qml/images/temp_down_image.png");
// A message carrying this many characters of text and picture data leaves megabytes of
// decoding buffers behind; once they are freed, the heap gives them back to the system.
constexpr qint64 trimAfterCharacters = 1024 * 1024;

void trimHeap()
{
#ifdef __GLIBC__
    // Freed pages inside the heap, not only at its top: without this, every large message
    // leaves holes that keep the program's memory up.
    malloc_trim(0);
#endif
}

bool isLineBreak(uint c)
{
    return c == '\n' || c == '\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

bool isMark(uint c)
{
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return true;
    default:
        return false;
    }
}

// A history document tells when it is cleared: its pictures go with its text.
class HistoryDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;
    void clear() override
    {
        QTextDocument::clear();
        if (cleared)
            cleared();
    }
    std::function<void()> cleared;
};

} // namespace

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

    // What one message may still show while it is rendered, and what it left out.
    struct Allowance
    {
        int characters = maxMessageCharacters;
        int lineBreaks = maxMessageLineBreaks;
        int pictures = maxMessagePictures;
        qint64 pixels = maxMessagePicturePixels;
        int placeholders = maxMessagePictures;
        int loggedTags = 0;
        qint64 charactersLeftOut = 0;
        int picturesLeftOut = 0;
        int itemsLeftOut = 0;
    };

    void insertChatMessage(const ChatMessage& message);
    void insertNote(const ChatMessage& message);
    void renderContent(const ChatMessage& message, const QTextCharFormat& format);
    void insertText(const QString& text, const QTextCharFormat& format);
    void insertPicture(const QJsonObject& picture);
    void insertRegistered(const QString& name, bool received);
    void insertPlaceholder();
    void leavePictureOut();
    void insertFileNotices(const ChatMessage& message, const QJsonArray& item);
    void insertLeftOutNote(const QTextBlockFormat& body);

    QString ownName;
    HistoryDocument* document = nullptr;
    HistoryPictures* pictures = nullptr;
    QImage placeholder;
    Allowance allowance;
    qint64 messageCharacters = 0; // of text and picture data, in the message being added
    bool trimQueued = false;
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
    insertText(QStringLiteral("%1  %2").arg(message.info.sender().left(maxShownNameLength),
                                            localTime(message)),
               headerText);
    allowance = Allowance();

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
    QFont shownFont = font.toFont();
    // A message of our own carries the editor's record, bounded the same way.
    if (shownFont.pointSize() > maxFontPointSize)
        shownFont.setPointSize(maxFontPointSize);
    QTextCharFormat bodyText;
    bodyText.setFont(shownFont);
    bodyText.setForeground(font.color.isValid() ? font.color : QColor(Qt::black));
    renderContent(message, bodyText);
    insertLeftOutNote(body);
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
    insertLeftOutNote(note);
}

void MessageViewPrivate::renderContent(const ChatMessage& message, const QTextCharFormat& format)
{
    const QJsonArray& content = message.package.content;
    const int items = qMin(content.size(), maxMessageItems);
    allowance.itemsLeftOut = content.size() - items;
    for (int index = 0; index < items; ++index) {
        const QJsonValue item = content.at(index);
        if (item.isString()) {
            messageCharacters += item.toString().size();
            insertText(item.toString(), format);
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
        } else if (tag != QLatin1String("face") && allowance.loggedTags++ < maxLoggedTags) {
            qDebug().noquote().nospace() << "Unknown Messsage: " << tag.left(64);
        }
    }
}

void MessageViewPrivate::insertText(const QString& text, const QTextCharFormat& format)
{
    // Up to what is left of the message's characters and line breaks; piles of combining marks
    // are cut and long unbroken runs get break opportunities.
    QString shown;
    shown.reserve(qMin(text.size(), allowance.characters));
    QTextCharFormat insertedBreak = format;
    insertedBreak.setProperty(insertedBreakProperty, true);
    int marks = 0;
    int run = 0;
    int i = 0;
    for (; i < text.size(); ++i) {
        uint c = text.at(i).unicode();
        int width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            width = 2;
        }
        if (allowance.characters < width)
            break;
        const bool mark = isMark(c);
        marks = mark ? marks + 1 : 0;
        if (marks > maxMarksInARow) {
            allowance.charactersLeftOut += width;
            i += width - 1;
            continue;
        }
        if (isLineBreak(c)) {
            if (allowance.lineBreaks == 0)
                break;
            --allowance.lineBreaks;
        }
        if (QChar::isSpace(c) || isLineBreak(c)) {
            run = 0;
        } else if (!mark && run >= longestUnbrokenRun) {
            cursor.insertText(shown, format);
            shown.clear();
            cursor.insertText(QString(QChar(0x200b)), insertedBreak);
            run = 0;
        }
        run += width;
        shown += text.midRef(i, width);
        allowance.characters -= width;
        i += width - 1;
    }
    allowance.charactersLeftOut += text.size() - i;
    if (!shown.isEmpty())
        cursor.insertText(shown, format);
}

void MessageViewPrivate::insertPicture(const QJsonObject& picture)
{
    // "src" is chosen by the sender: only an ordinary local file of sane size is looked at, so a
    // name can never reach another machine, wait on a pipe or read a device. Anything else
    // counts as a file that is not there.
    const QString local = confinedPictureFile(picture.value(QStringLiteral("src")).toString());
    if (!local.isEmpty() && QFileInfo(local).isFile()) {
        if (allowance.pictures <= 0) {
            leavePictureOut();
            return;
        }
        if (pictures->contains(local) || pictures->addFile(local, local)) {
            insertRegistered(local, false);
            return;
        }
        qDebug() << "Not showing the picture file" << local << "(no readable picture)";
    }
    if (picture.contains(QStringLiteral("link")))
        return;
    if (!picture.contains(QStringLiteral("buffer"))) {
        insertPlaceholder();
        return;
    }
    if (allowance.pictures <= 0) {
        leavePictureOut();
        return;
    }
    // Kept as it came; decoded only at the size it is drawn, when it is drawn.
    const QString name = QStringLiteral("send_image_%1").arg(imageCounter);
    const QString buffer = picture.value(QStringLiteral("buffer")).toString();
    messageCharacters += buffer.size();
    const QByteArray data = compressedPicture(buffer);
    if (data.isEmpty() || !pictures->addCompressed(name, data))
        return;
    ++imageCounter;
    insertRegistered(name, true);
}

void MessageViewPrivate::insertRegistered(const QString& name, bool received)
{
    const QSize size = pictures->originalSize(name);
    const qint64 pixels = qint64(size.width()) * size.height();
    if (pixels > allowance.pixels) {
        // A received picture goes; a local file may be shown by another message.
        if (received)
            pictures->remove(name);
        leavePictureOut();
        return;
    }
    --allowance.pictures;
    allowance.pixels -= pixels;
    QTextImageFormat format;
    format.setName(name);
    cursor.insertImage(format);
}

void MessageViewPrivate::insertPlaceholder()
{
    if (placeholder.isNull())
        placeholder = QImage(placeholderPicture);
    // One decoded placeholder, shared by every place that shows it.
    cursor.insertImage(placeholder, QString::number(imageCounter++));
}

void MessageViewPrivate::leavePictureOut()
{
    ++allowance.picturesLeftOut;
    if (allowance.placeholders > 0) {
        --allowance.placeholders;
        insertPlaceholder();
    }
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
        insertText(text, cursor.charFormat());
    }
}

void MessageViewPrivate::insertLeftOutNote(const QTextBlockFormat& body)
{
    QStringList lines;
    if (allowance.charactersLeftOut > 0)
        lines << MessageView::tr("%Ln more characters not shown", nullptr,
                                 int(qMin<qint64>(allowance.charactersLeftOut, INT_MAX)));
    if (allowance.picturesLeftOut > 0)
        lines << MessageView::tr("%Ln pictures not shown: more than one message may hold", nullptr,
                                 allowance.picturesLeftOut);
    if (allowance.itemsLeftOut > 0)
        lines << MessageView::tr("%Ln more parts of the message not shown", nullptr,
                                 allowance.itemsLeftOut);
    allowance = Allowance();
    if (lines.isEmpty())
        return;
    QTextCharFormat grey;
    grey.setForeground(Qt::gray);
    grey.setFontItalic(true);
    cursor.insertBlock(body);
    cursor.insertText(QStringLiteral("[%1]").arg(lines.join(QChar(QChar::LineSeparator))), grey);
}

MessageView::MessageView(QWidget* parent) : QTextBrowser(parent), d(new MessageViewPrivate(this))
{
    setReadOnly(true);
    setOpenLinks(false);
    d->document = new HistoryDocument(this);
    // A history is only appended to: nothing to undo, and no undo stack growing with it.
    d->document->setUndoRedoEnabled(false);
    setDocument(d->document);
    d->document->setDefaultFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));

    d->cursor = QTextCursor(d->document);
    d->prepareRootFrame();

    auto* handler = new MessageImageHandler(this, 0.5);
    d->document->documentLayout()->registerHandler(QTextFormat::ImageObject, handler);
    // Created after the document and the handler, so it goes after them.
    d->pictures = new HistoryPictures(this);
    handler->setPictures(d->pictures);
    d->document->cleared = [this] { d->pictures->clear(); };
    connect(d->pictures, &HistoryPictures::picturesReady, viewport(),
            QOverload<>::of(&QWidget::update));
    d->viewer = new ImageViewer();
}

MessageView::~MessageView()
{
    delete d;
}

void MessageView::addMessage(const ChatMessage& message)
{
    const bool shown = message.type == TextMessage || message.type == GroupMessage ||
                       message.type == SystemMessage ||
                       (message.type == FileMessage && !d->isOwn(message)); // not news to us
    if (!shown)
        return;
    // One edit: the document is laid out once for the whole message, not at every insertion.
    d->cursor.beginEditBlock();
    d->prepareRootFrame();
    if (message.type == TextMessage || message.type == GroupMessage)
        d->insertChatMessage(message);
    else
        d->insertNote(message);
    d->cursor.endEditBlock();
    if (d->messageCharacters >= trimAfterCharacters && !d->trimQueued) {
        // After the caller has let go of the message and its wire form.
        d->trimQueued = true;
        QTimer::singleShot(0, this, [this] {
            d->trimQueued = false;
            trimHeap();
        });
    }
    d->messageCharacters = 0;
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
    d->insertText(text, coloured);
    d->allowance = MessageViewPrivate::Allowance();
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

HistoryPictures* MessageView::pictures() const
{
    return d->pictures;
}

QMimeData* MessageView::createMimeDataFromSelection() const
{
    // The break opportunities the view put into long runs are not part of the text.
    QTextDocument copy;
    QTextCursor(&copy).insertFragment(textCursor().selection());
    QList<QPair<int, int>> inserted;
    for (QTextBlock block = copy.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().hasProperty(insertedBreakProperty))
                inserted.prepend({it.fragment().position(), it.fragment().length()});
        }
    }
    if (inserted.isEmpty())
        return QTextBrowser::createMimeDataFromSelection();
    for (const auto& range : qAsConst(inserted)) {
        QTextCursor cursor(&copy);
        cursor.setPosition(range.first);
        cursor.setPosition(range.first + range.second, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    auto* data = new QMimeData;
    data->setText(copy.toPlainText());
    data->setHtml(copy.toHtml());
    return data;
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
        QImage image;
        if (d->pictures->contains(name)) {
            // The original, decoded now from what was kept.
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            image = d->pictures->original(name);
            QGuiApplication::restoreOverrideCursor();
        } else {
            image = qvariant_cast<QImage>(
                document()->resource(QTextDocument::ImageResource, QUrl(name)));
        }
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
