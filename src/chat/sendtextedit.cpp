// SPDX-License-Identifier: MIT
#include "sendtextedit.h"

#include "documentconverter.h"
#include "localfile.h"

#include <QBuffer>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include <functional>
#include <memory>

namespace MeetingSupport {

namespace {

void appendAttribute(QString& element, const QString& name, const QString& value)
{
    element +=
        QLatin1Char(' ') + name + QLatin1String("=\"") + value.toHtmlEscaped() + QLatin1Char('"');
}

// The picture a pasted document names: a local picture file, a "data:" URL or a resource of the
// program. Null for anything else (web addresses, devices, pipes, files beyond the bounds).
QImage namedPicture(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("data")) {
        // data:[<type>][;base64],<payload>
        const QByteArray whole = url.toString(QUrl::FullyEncoded).toLatin1();
        const int comma = whole.indexOf(',');
        if (comma < 0 || whole.size() - comma > maxLocalPictureBytes * 2)
            return QImage();
        const QByteArray header = whole.left(comma);
        QByteArray payload = QByteArray::fromPercentEncoding(whole.mid(comma + 1));
        if (header.endsWith(";base64"))
            payload = QByteArray::fromBase64(payload);
        return payload.size() > maxLocalPictureBytes ? QImage() : readBoundedImage(payload);
    }
    if (scheme == QLatin1String("qrc"))
        return QImage(QLatin1Char(':') + url.path());
    if (scheme.isEmpty() && url.path().startsWith(QLatin1String(":/")))
        return QImage(url.path());
    QString path;
    if (url.isLocalFile())
        path = confinedPictureFile(url.toString());
    else if (scheme.isEmpty() && QDir::isAbsolutePath(url.path()))
        path = confinedPictureFile(QUrl::fromLocalFile(url.path()).toString());
    return path.isEmpty() ? QImage() : loadLocalPicture(path);
}

// A picture's size from its header, for an ordinary local file; invalid when it is none.
QSize localPictureSize(const QString& path)
{
    QByteArray head;
    qint64 size = 0;
    if (!readOrdinaryFile(path, 1024 * 1024, ReadLimit::Cut, &head, nullptr, &size) ||
        size > maxLocalPictureBytes)
        return QSize();
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).size();
}

// What a document holds against the bounds of one message: characters of text (paragraph
// ends and pictures count one each), line breaks within paragraphs, pictures and their pixels.
struct Contents
{
    qint64 characters = 0;
    int lineBreaks = 0;
    int pictures = 0;
    qint64 pixels = 0;
};

Contents contentsOf(const QTextDocument* document)
{
    Contents contents;
    contents.characters = qMax(0, document->characterCount() - 1);
    contents.lineBreaks = document->toRawText().count(QChar::LineSeparator);
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QImage image = qvariant_cast<QImage>(document->resource(
                QTextDocument::ImageResource, QUrl(format.toImageFormat().name())));
            contents.pictures += it.fragment().length();
            contents.pixels += qint64(image.width()) * image.height() * it.fragment().length();
        }
    }
    return contents;
}

} // namespace

class SendTextEditPrivate
{
public:
    explicit SendTextEditPrivate(SendTextEdit* q) : q(q) {}

    QUrl nextDroppedName() { return QUrl(QStringLiteral("dropped_image_%1").arg(counter++)); }
    bool admitsText(qint64 characters, int lineBreaks);
    // Whether the document, edited so at the cursor, keeps to the content items of one message;
    // the edit is tried on a copy.
    bool admitsItems(const std::function<void(QTextCursor&)>& edit);
    bool admitsPicture(const QSize& size);
    void insertImageResource(const QUrl& url, const QImage& image);
    void insertFileText(const QString& path);
    void insertRichText(const QString& html, const QString& plain);

    MessageFont font;
    int counter = 1;
    SendTextEdit* q;
};

bool SendTextEditPrivate::admitsText(qint64 characters, int lineBreaks)
{
    const Contents now = contentsOf(q->document());
    if (now.characters + characters > maxMessageCharacters) {
        emit q->refused(SendTextEdit::tr("This text is too long to send: one message holds at "
                                         "most %Ln characters.",
                                         nullptr, maxMessageCharacters));
        return false;
    }
    if (now.lineBreaks + lineBreaks > maxMessageLineBreaks) {
        emit q->refused(SendTextEdit::tr("This text has too many lines to send: one message "
                                         "holds at most %Ln line breaks.",
                                         nullptr, maxMessageLineBreaks));
        return false;
    }
    return true;
}

bool SendTextEditPrivate::admitsItems(const std::function<void(QTextCursor&)>& edit)
{
    const std::unique_ptr<QTextDocument> trial(q->document()->clone());
    const QTextCursor current = q->textCursor();
    QTextCursor cursor(trial.get());
    cursor.setPosition(current.anchor());
    cursor.setPosition(current.position(), QTextCursor::KeepAnchor);
    if (!cursor.hasSelection())
        cursor.setCharFormat(current.charFormat());
    edit(cursor);
    if (DocumentConverter::itemCount(trial.get()) <= maxMessageItems)
        return true;
    emit q->refused(SendTextEdit::tr("This text has too many parts to send: one message holds at "
                                     "most %Ln paragraphs, runs of text and pictures.",
                                     nullptr, maxMessageItems));
    return false;
}

bool SendTextEditPrivate::admitsPicture(const QSize& size)
{
    const qint64 pixels = qint64(size.width()) * size.height();
    const Contents now = contentsOf(q->document());
    if (size.width() > maxImageSide || size.height() > maxImageSide || pixels > maxImagePixels) {
        emit q->refused(SendTextEdit::tr("This picture is too large to send: %1 x %2 pixels.")
                            .arg(size.width())
                            .arg(size.height()));
        return false;
    }
    if (now.pictures >= maxMessagePictures) {
        emit q->refused(SendTextEdit::tr("No more pictures fit into this message: one holds at "
                                         "most %Ln.",
                                         nullptr, maxMessagePictures));
        return false;
    }
    if (now.pixels + pixels > maxMessagePicturePixels || now.characters >= maxMessageCharacters) {
        emit q->refused(SendTextEdit::tr("This picture does not fit into this message: its "
                                         "pictures together may have at most %Ln megapixels.",
                                         nullptr, int(maxMessagePicturePixels >> 20)));
        return false;
    }
    return true;
}

void SendTextEditPrivate::insertImageResource(const QUrl& url, const QImage& image)
{
    if (image.isNull() || !admitsPicture(image.size()))
        return;
    QTextImageFormat picture;
    picture.setName(url.toString());
    if (!admitsItems([&picture](QTextCursor& cursor) { cursor.insertImage(picture); }))
        return;
    q->document()->addResource(QTextDocument::ImageResource, url, image);
    QString element = QStringLiteral("<img");
    appendAttribute(element, QStringLiteral("src"), url.toString());
    // Large pictures show in a box of a fifth of the editor, covering it.
    const QSize box(qRound(q->width() * 0.2), qRound(q->height() * 0.2));
    if (image.width() > box.width() || image.height() > box.height()) {
        const QSize shown = image.size().scaled(box, Qt::KeepAspectRatioByExpanding);
        appendAttribute(element, QStringLiteral("width"), QString::number(shown.width()));
        appendAttribute(element, QStringLiteral("height"), QString::number(shown.height()));
    }
    element += QLatin1String(" />");
    q->insertHtml(element);
}

void SendTextEditPrivate::insertFileText(const QString& path)
{
    // UTF-8 takes at most four bytes a character: a longer file holds more than fits.
    const qint64 room = 4 * qint64(maxMessageCharacters) + 4;
    QByteArray bytes;
    bool cut = false;
    if (!readOrdinaryFile(path, room, ReadLimit::Cut, &bytes, &cut)) {
        qDebug() << "Not inserting" << path << "(no readable file)";
        return;
    }
    // Line ends as a file opened in text mode reads them.
    bytes.replace("\r\n", "\n");
    const QString text = cut ? QString() : QString::fromUtf8(bytes);
    if (admitsText(cut ? room : text.size(), 0) &&
        admitsItems([&text](QTextCursor& cursor) { cursor.insertText(text); }))
        q->insertPlainText(text);
}

void SendTextEditPrivate::insertRichText(const QString& html, const QString& plain)
{
    // Parsing markup takes far longer than its text: past a bound only the plain text comes in.
    if (html.size() > 8 * qint64(maxMessageCharacters)) {
        if (!plain.isEmpty() && admitsText(plain.size(), 0) &&
            admitsItems([&plain](QTextCursor& cursor) { cursor.insertText(plain); }))
            q->insertPlainText(plain);
        else if (plain.isEmpty())
            admitsText(html.size(), 0);
        return;
    }
    // The fragment is parsed with the editor's document as the provider, so what it links to
    // goes through loadResource. Pictures that give nothing are left out.
    QTextDocument scratch;
    QTextCursor(&scratch).insertFragment(QTextDocumentFragment::fromHtml(html, q->document()));
    QList<int> unusable;
    for (QTextBlock block = scratch.begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            const QUrl name(fragment.charFormat().toImageFormat().name());
            const QImage image =
                qvariant_cast<QImage>(q->document()->resource(QTextDocument::ImageResource, name));
            if (!image.isNull())
                continue;
            qDebug() << "Leaving out a pasted picture that is no local picture:"
                     << name.toString().left(256);
            for (int i = 0; i < fragment.length(); ++i)
                unusable.prepend(fragment.position() + i);
        }
    }
    // From the end, so earlier positions stay where they are.
    for (int position : qAsConst(unusable)) {
        QTextCursor cursor(&scratch);
        cursor.setPosition(position);
        cursor.setPosition(position + 1, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    const Contents contents = contentsOf(&scratch);
    if (!admitsText(contents.characters - contents.pictures, contents.lineBreaks))
        return;
    if (contents.pictures > 0) {
        const Contents now = contentsOf(q->document());
        if (now.pictures + contents.pictures > maxMessagePictures ||
            now.pixels + contents.pixels > maxMessagePicturePixels) {
            emit q->refused(SendTextEdit::tr("The pictures pasted do not fit into this message: "
                                             "one holds at most %1 pictures of %2 megapixels "
                                             "together.")
                                .arg(maxMessagePictures)
                                .arg(maxMessagePicturePixels >> 20));
            return;
        }
    }
    const QTextDocumentFragment pasted(&scratch);
    if (!admitsItems([&pasted](QTextCursor& cursor) { cursor.insertFragment(pasted); }))
        return;
    q->textCursor().insertFragment(pasted);
    q->ensureCursorVisible();
}

SendTextEdit::SendTextEdit(QWidget* parent) : QTextEdit(parent), d(new SendTextEditPrivate(this)) {}

SendTextEdit::~SendTextEdit()
{
    delete d;
}

void SendTextEdit::setFontStyle(const MessageFont& font)
{
    d->font = font;
    // What others would not show is not written either.
    d->font.size = qBound(minFontPointSize, font.size, maxFontPointSize);
    // Style sheets name a class inside a namespace with "--" in place of "::".
    const QString selector = QString::fromLatin1(metaObject()->className())
                                 .replace(QLatin1String("::"), QLatin1String("--"));
    setStyleSheet(QStringLiteral("%1 {%2}").arg(selector, toStyleSheet(d->font)));
}

MessageFont SendTextEdit::fontStyle() const
{
    return d->font;
}

MessagePackage SendTextEdit::messageContent() const
{
    return DocumentConverter(document(), d->font).convert();
}

QString SendTextEdit::toStyleSheet(const MessageFont& font)
{
    QString style = QStringLiteral("color: %1;\n").arg(font.color.name());
    style += QLatin1String("font:");
    if (font.style & MessageFont::Bold)
        style += QLatin1String(" bold");
    if (font.style & MessageFont::Italic)
        style += QLatin1String(" italic");
    style += QStringLiteral(" %1pt").arg(font.size);
    style += QStringLiteral(" \"%1\"").arg(font.family);
    style += QLatin1Char(';');
    if (font.style & MessageFont::Underline)
        style += QLatin1String("\ntext-decoration: underline;");
    return style;
}

void SendTextEdit::insertImages(const QList<QUrl>& url)
{
    if (!isEnabled() || url.isEmpty())
        return;
    for (const QUrl& file : url) {
        // Measured before it is decoded: a picture too large is never read whole.
        const QSize size = localPictureSize(file.toLocalFile());
        if (size.isValid() && d->admitsPicture(size))
            d->insertImageResource(file, loadLocalPicture(file.toLocalFile()));
    }
}

void SendTextEdit::insertImage(const QImage& image)
{
    if (!isEnabled())
        return;
    d->insertImageResource(d->nextDroppedName(), image);
}

void SendTextEdit::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !(event->modifiers() & Qt::ShiftModifier)) {
        emit returnPressed();
        event->accept();
        return;
    }
    // Typing stops at the bounds of one message.
    const bool typing =
        !event->text().isEmpty() && event->text().at(0).isPrint() && !textCursor().hasSelection();
    // A letter typed into an empty paragraph starts a run of text: one part more.
    const bool refused =
        enter ? !d->admitsText(1, 1)
              : typing && ((document()->characterCount() > maxMessageCharacters &&
                            !d->admitsText(event->text().size(), 0)) ||
                           (DocumentConverter::itemCount(document()) >= maxMessageItems &&
                            !d->admitsItems([event](QTextCursor& cursor) {
                                cursor.insertText(event->text());
                            })));
    if (refused) {
        event->accept();
        return;
    }
    QTextEdit::keyPressEvent(event);
}

bool SendTextEdit::canInsertFromMimeData(const QMimeData* source) const
{
    if (source->hasImage() || source->hasUrls())
        return true;
    return QTextEdit::canInsertFromMimeData(source);
}

void SendTextEdit::insertFromMimeData(const QMimeData* source)
{
    if (source->hasImage()) {
        const QImage image = qvariant_cast<QImage>(source->imageData());
        if (!image.isNull() && d->admitsPicture(image.size()))
            d->insertImageResource(d->nextDroppedName(), image);
        return;
    }
    if (source->hasUrls()) {
        const QList<QByteArray> formats = QImageReader::supportedImageFormats();
        for (const QUrl& url : source->urls()) {
            const QString path = url.toLocalFile();
            const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
            if (suffix.isEmpty() || !formats.contains(suffix)) {
                d->insertFileText(path);
                continue;
            }
            const QSize size = localPictureSize(path);
            if (size.isValid() && d->admitsPicture(size))
                d->insertImageResource(url, loadLocalPicture(path));
        }
        return;
    }
    // Qt would read every file the rich text names itself, whole and without a bound.
    if (acceptRichText() && source->hasFormat(QStringLiteral("application/x-qrichtext"))) {
        d->insertRichText(
            QString::fromUtf8(source->data(QStringLiteral("application/x-qrichtext"))),
            source->text());
        return;
    }
    if (acceptRichText() && source->hasHtml()) {
        d->insertRichText(source->html(), source->text());
        return;
    }
    if (source->hasText()) {
        const QTextDocumentFragment pasted = QTextDocumentFragment::fromPlainText(source->text());
        if (!d->admitsText(source->text().size(), 0) ||
            !d->admitsItems([&pasted](QTextCursor& cursor) { cursor.insertFragment(pasted); }))
            return;
    }
    QTextEdit::insertFromMimeData(source);
}

QVariant SendTextEdit::loadResource(int type, const QUrl& name)
{
    if (type == QTextDocument::ImageResource) {
        const QImage image = namedPicture(name);
        if (!image.isNull())
            return image;
    }
    // Not a null value: for that the document would read the file itself.
    return QByteArray("");
}

} // namespace MeetingSupport
