// SPDX-License-Identifier: MIT
#include "sendtextedit.h"

#include "documentconverter.h"
#include "localfile.h"

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

namespace MeetingSupport {

namespace {

void appendAttribute(QString& element, const QString& name, const QString& value)
{
    element +=
        QLatin1Char(' ') + name + QLatin1String("=\"") + value.toHtmlEscaped() + QLatin1Char('"');
}

// Drops a UTF-8 sequence that the cut at the byte limit left incomplete.
void trimPartialUtf8(QByteArray& bytes)
{
    int lead = bytes.size() - 1;
    int continuation = 0;
    while (lead >= 0 && continuation < 3 && (uchar(bytes.at(lead)) & 0xc0) == 0x80) {
        --lead;
        ++continuation;
    }
    if (lead < 0)
        return;
    const uchar first = uchar(bytes.at(lead));
    const int length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 1;
    if (length > continuation + 1)
        bytes.truncate(lead);
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

} // namespace

class SendTextEditPrivate
{
public:
    explicit SendTextEditPrivate(SendTextEdit* q) : q(q) {}

    QUrl nextDroppedName() { return QUrl(QStringLiteral("dropped_image_%1").arg(counter++)); }
    void insertImageResource(const QUrl& url, const QImage& image);
    void insertFileText(const QString& path);
    void insertRichText(const QString& html);

    MessageFont font;
    int counter = 1;
    SendTextEdit* q;
};

void SendTextEditPrivate::insertImageResource(const QUrl& url, const QImage& image)
{
    if (image.isNull())
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
    QByteArray bytes;
    bool cut = false;
    if (!readOrdinaryFile(path, maxDroppedTextBytes, ReadLimit::Cut, &bytes, &cut)) {
        qDebug() << "Not inserting" << path << "(no readable file)";
        return;
    }
    if (cut) {
        qDebug() << "Inserting only the first" << maxDroppedTextBytes << "bytes of" << path;
        trimPartialUtf8(bytes);
    }
    // Line ends as a file opened in text mode reads them.
    bytes.replace("\r\n", "\n");
    q->insertPlainText(QString::fromUtf8(bytes));
}

void SendTextEditPrivate::insertRichText(const QString& html)
{
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
    q->textCursor().insertFragment(QTextDocumentFragment(&scratch));
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
    // Style sheets name a class inside a namespace with "--" in place of "::".
    const QString selector = QString::fromLatin1(metaObject()->className())
                                 .replace(QLatin1String("::"), QLatin1String("--"));
    setStyleSheet(QStringLiteral("%1 {%2}").arg(selector, toStyleSheet(font)));
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
    for (const QUrl& file : url)
        d->insertImageResource(file, loadLocalPicture(file.toLocalFile()));
}

void SendTextEdit::insertImage(const QImage& image)
{
    if (!isEnabled())
        return;
    d->insertImageResource(d->nextDroppedName(), image);
}

void SendTextEdit::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !(event->modifiers() & Qt::ShiftModifier)) {
        emit returnPressed();
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
        d->insertImageResource(d->nextDroppedName(), qvariant_cast<QImage>(source->imageData()));
        return;
    }
    if (source->hasUrls()) {
        const QList<QByteArray> formats = QImageReader::supportedImageFormats();
        for (const QUrl& url : source->urls()) {
            const QString path = url.toLocalFile();
            const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
            if (!suffix.isEmpty() && formats.contains(suffix))
                d->insertImageResource(url, loadLocalPicture(path));
            else
                d->insertFileText(path);
        }
        return;
    }
    // Qt would read every file the rich text names itself, whole and without a bound.
    if (acceptRichText() && source->hasFormat(QStringLiteral("application/x-qrichtext"))) {
        d->insertRichText(
            QString::fromUtf8(source->data(QStringLiteral("application/x-qrichtext"))));
        return;
    }
    if (acceptRichText() && source->hasHtml()) {
        d->insertRichText(source->html());
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
