// SPDX-License-Identifier: MIT
#include "chatmessage.h"

#include "boundeduncompress.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMutex>

#include <array>
#include <limits>

namespace MeetingSupport {

namespace {

const char* const typeNames[] = {"message",        "group_message",  "file_message",
                                 "system_message", "remote_request", "shake_message",
                                 "meeting_request"};
constexpr int typeNameCount = int(sizeof typeNames / sizeof typeNames[0]);

const QString timeKey = QStringLiteral("time");
const QString senderKey = QStringLiteral("sender");
const QString receiverKey = QStringLiteral("receiver");
const QString contentKey = QStringLiteral("content");
const QString fontTag = QStringLiteral("font");

// Point sizes outside this range come only from broken or hostile senders; a huge one would
// make the view rasterise enormous glyphs.
constexpr int maxFontFamilyLength = 256;

QString defaultFontFamily()
{
    // Asking the font database goes through fontconfig and costs far more than the rest of a
    // message, so the family is looked up once. The database needs the GUI application;
    // without it (tools, early start-up) the family stays empty, which QFont treats as the
    // default family.
    static QBasicMutex mutex;
    static QString family;
    static bool known = false;
    const QMutexLocker lock(&mutex);
    if (!known && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
        known = true;
    }
    return family;
}

QJsonArray taggedItem(const QString& tag, const QJsonValue& value)
{
    return QJsonArray{tag, value};
}

QString clipped(const QByteArray& text, int limit)
{
    if (text.size() <= limit)
        return QString::fromUtf8(text);
    return QString::fromUtf8(text.left(limit)) + QStringLiteral("... (%1 bytes)").arg(text.size());
}

} // namespace

QString messageTypeName(MessageType type)
{
    const int value = int(type);
    if (value < 0 || value >= typeNameCount)
        return QString();
    return QString::fromLatin1(typeNames[value]);
}

MessageType messageTypeFromName(const QString& name)
{
    for (int i = 0; i < typeNameCount; ++i) {
        if (name == QLatin1String(typeNames[i]))
            return MessageType(i);
    }
    return UnknownMessage;
}

QDateTime MessageInfo::time() const
{
    const QDateTime epoch = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    bool ok = false;
    const quint64 ms = value(timeKey).toString().toULongLong(&ok);
    if (!ok || ms > quint64(std::numeric_limits<qint64>::max()))
        return epoch;
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
    return time.isValid() ? time : epoch;
}

void MessageInfo::setTime(const QDateTime& time)
{
    insert(timeKey, QString::number(time.toMSecsSinceEpoch()));
}

QString MessageInfo::sender() const
{
    return value(senderKey).toString();
}

void MessageInfo::setSender(const QString& name)
{
    insert(senderKey, name);
}

QString MessageInfo::receiver() const
{
    return value(receiverKey).toString();
}

void MessageInfo::setReceiver(const QString& name)
{
    insert(receiverKey, name);
}

MessageFont::MessageFont() : family(defaultFontFamily()) {}

QJsonObject MessageFont::toJson() const
{
    return QJsonObject{{QStringLiteral("size"), size},
                       {QStringLiteral("style"), style},
                       {QStringLiteral("color"), color.name()},
                       {QStringLiteral("name"), family}};
}

void MessageFont::fromJson(const QJsonObject& object)
{
    const int newSize = object.value(QStringLiteral("size")).toInt(size);
    if (newSize >= minFontPointSize && newSize <= maxFontPointSize)
        size = newSize;
    else
        qWarning() << "Ignoring a font size of" << newSize << "points";
    style = object.value(QStringLiteral("style")).toInt(style);
    color = QColor(object.value(QStringLiteral("color")).toString(color.name()));
    // Font names are short; asking the font system about a megabyte of name takes long.
    const QString name = object.value(QStringLiteral("name")).toString(family);
    if (name.size() <= maxFontFamilyLength)
        family = name;
    else
        qWarning() << "Ignoring a font name of" << name.size() << "characters";
}

QFont MessageFont::toFont() const
{
    QFont font(family);
    font.setPointSize(size);
    font.setBold(style & Bold);
    font.setItalic(style & Italic);
    font.setUnderline(style & Underline);
    return font;
}

bool MessageFont::operator==(const MessageFont& other) const
{
    return size == other.size && style == other.style && color == other.color &&
           family == other.family;
}

QJsonArray MessagePackage::contentWithFont() const
{
    QJsonArray items = content;
    items.prepend(taggedItem(fontTag, font.toJson()));
    return items;
}

void MessagePackage::setContent(const QJsonArray& items)
{
    content = items;
    const QJsonArray first = content.isEmpty() ? QJsonArray() : content.first().toArray();
    if (!first.isEmpty() && first.first().toString() == fontTag) {
        content.removeFirst();
        font.fromJson(first.last().toObject());
    }
}

void MessagePackage::appendText(const QString& text)
{
    content.append(text);
}

void MessagePackage::appendImage(const QString& src, const QImage& image)
{
    content.append(taggedItem(
        QStringLiteral("image"),
        QJsonObject{{QStringLiteral("src"), src}, {QStringLiteral("buffer"), encodeImage(image)}}));
}

void MessagePackage::appendFileNotice(const QString& fileName, bool upload)
{
    content.append(
        taggedItem(QStringLiteral("file"),
                   QJsonObject{{QStringLiteral("name"), fileName},
                               {QStringLiteral("cmd"),
                                upload ? QStringLiteral("upload") : QStringLiteral("delete")}}));
}

void MessagePackage::setRequest(const QJsonObject& object)
{
    content = taggedItem(QStringLiteral("request"), object);
}

void MessagePackage::setReply(const QJsonObject& object)
{
    content = taggedItem(QStringLiteral("reply"), object);
}

bool MessagePackage::operator==(const MessagePackage& other) const
{
    return font == other.font && content == other.content;
}

ChatMessage::ChatMessage()
{
    info.setTime(QDateTime::currentDateTimeUtc());
}

ChatMessage::ChatMessage(MessageType messageType) : ChatMessage()
{
    type = messageType;
}

QJsonObject ChatMessage::toJson() const
{
    QJsonObject value = info;
    switch (type) {
    case TextMessage:
    case GroupMessage:
        value.insert(contentKey, package.contentWithFont());
        break;
    case FileMessage:
    case SystemMessage:
    case RemoteRequest:
    case ShakeMessage:
    case MeetingRequest:
        value.insert(contentKey, package.content);
        break;
    default:
        break;
    }
    return QJsonObject{{QStringLiteral("poll_type"), messageTypeName(type)},
                       {QStringLiteral("value"), value}};
}

void ChatMessage::fromJson(const QJsonObject& object)
{
    type = messageTypeFromName(object.value(QStringLiteral("poll_type")).toString());
    QJsonObject value = object.value(QStringLiteral("value")).toObject();
    const QJsonArray content = value.take(contentKey).toArray();
    package.setContent(content);
    info = value;
}

bool ChatMessage::operator==(const ChatMessage& other) const
{
    return type == other.type && info == other.info && package == other.package;
}

QByteArray serializeMessages(const QList<ChatMessage>& messages)
{
    QJsonArray list;
    for (const ChatMessage& message : messages)
        list.append(message.toJson());
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), list}})
        .toJson(QJsonDocument::Compact);
}

QByteArray serializeMessages(const ChatMessage& message)
{
    return serializeMessages(QList<ChatMessage>{message});
}

QList<ChatMessage> parseMessages(const QByteArray& json)
{
    QList<ChatMessage> messages;
    // Texts come from other clients. The parser itself refuses nesting deeper than it can
    // handle; the size bound keeps a hostile sender from making us hold gigabytes of values.
    if (json.size() > maxMessageDocumentBytes) {
        qWarning() << "Dropping a message document of" << json.size() << "bytes";
        return messages;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return messages;
    if (document.isArray()) {
        // Nothing here sends heart beats; a big one is not worth a log line of its size.
        qDebug().noquote() << "Heart beat :"
                           << clipped(
                                  QJsonDocument(document.array()).toJson(QJsonDocument::Compact),
                                  1024);
        return messages;
    }
    if (!document.isObject())
        return messages;
    const QJsonArray list = document.object().value(QStringLiteral("result")).toArray();
    if (list.size() > maxMessagesPerDocument)
        qWarning() << "Dropping" << list.size() - maxMessagesPerDocument
                   << "messages beyond the first" << maxMessagesPerDocument << "of a document";
    const int count = qMin(list.size(), maxMessagesPerDocument);
    messages.reserve(count);
    for (int i = 0; i < count; ++i) {
        ChatMessage message;
        message.fromJson(list.at(i).toObject());
        messages.append(message);
    }
    return messages;
}

// As QByteArray::fromBase64(text.toUtf8(), base64Options), without the UTF-8 copy in between:
// a message text can be megabytes, and the copy doubles the time.
QByteArray documentFromText(const QString& text)
{
    static const auto table = [] {
        std::array<signed char, 128> t{};
        t.fill(-1);
        for (int i = 0; i < 26; ++i) {
            t[size_t('A' + i)] = char(i);
            t[size_t('a' + i)] = char(26 + i);
        }
        for (int i = 0; i < 10; ++i)
            t[size_t('0' + i)] = char(52 + i);
        t[size_t('-')] = 62;
        t[size_t('_')] = 63;
        return t;
    }();
    QByteArray bytes(int(qint64(text.size()) * 3 / 4 + 3), Qt::Uninitialized);
    char* out = bytes.data();
    uint buffer = 0;
    int bits = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        const int value = u < 128 ? table[u] : -1;
        if (value < 0)
            continue;
        buffer = (buffer << 6) | uint(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *out++ = char(buffer >> bits);
            buffer &= (1u << bits) - 1;
        }
    }
    bytes.truncate(int(out - bytes.constData()));
    return bytes;
}

QString messagesToText(const QList<ChatMessage>& messages)
{
    return QString::fromUtf8(serializeMessages(messages).toBase64(base64Options));
}

QList<ChatMessage> messagesFromText(const QString& text)
{
    // Base64 needs four characters for three bytes; longer text cannot hold an acceptable
    // document, and decoding it first would only cost memory.
    if (qint64(text.size()) > qint64(maxMessageDocumentBytes) / 3 * 4 + 4) {
        qWarning() << "Dropping a message text of" << text.size() << "characters";
        return {};
    }
    return parseMessages(documentFromText(text));
}

QString encodeImage(const QImage& image)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", -1);
    buffer.close();
    return QString::fromLatin1(qCompress(jpeg, -1).toBase64(base64Options));
}

QImage decodeImage(const QString& text)
{
    // Pictures come from other clients, and qUncompress believes the length written at the
    // front of the data: a few bytes could make it allocate gigabytes, and a tiny JPEG can
    // claim a picture of gigapixels. So the data is inflated with a hard bound and the picture's
    // size is read from its header before anything is decoded.
    const QByteArray compressed = compressedPicture(text);
    if (compressed.isEmpty())
        return QImage();
    UncompressStatus status = UncompressStatus::Corrupt;
    QByteArray jpeg = boundedUncompress(compressed, maxImageBytes, &status);
    if (status == UncompressStatus::TooLarge) {
        qWarning() << "Refusing a picture that inflates past" << maxImageBytes << "bytes";
        return QImage();
    }
    if (status != UncompressStatus::Ok || jpeg.isEmpty()) {
        qDebug() << "Ignoring damaged picture data";
        return QImage();
    }
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::ReadOnly);
    // Pictures travel as JPEG only; other decoders are of no use here and some cannot tell the
    // size before decoding.
    QImageReader reader(&buffer, "jpg");
    reader.setAutoDetectImageFormat(false);
    return readWithinBounds(reader);
}

QByteArray compressedPicture(const QString& text)
{
    if (qint64(text.size()) > qint64(maxImageBytes) / 3 * 4 + 4 * 1024 * 1024) {
        qWarning() << "Refusing a picture text of" << text.size() << "characters";
        return QByteArray();
    }
    // Straight from the text: no Latin-1 copy of megabytes in between.
    return documentFromText(text);
}

QImage readWithinBounds(QImageReader& reader)
{
    const QSize size = reader.size();
    if (!size.isValid()) {
        qDebug() << "Ignoring a picture whose size cannot be read:" << reader.errorString();
        return QImage();
    }
    if (size.width() > maxImageSide || size.height() > maxImageSide ||
        qint64(size.width()) * size.height() > maxImagePixels) {
        qWarning() << "Refusing a picture of" << size.width() << "x" << size.height() << "pixels";
        return QImage();
    }
    QImage image;
    if (!reader.read(&image)) {
        qDebug() << "Ignoring damaged picture data:" << reader.errorString();
        return QImage();
    }
    return image;
}

void registerChatMessageMetaTypes()
{
    qRegisterMetaType<ChatMessage>();
    qRegisterMetaType<QList<ChatMessage>>();
    // Signals declared inside or outside the namespace spell the types differently.
    qRegisterMetaType<ChatMessage>("ChatMessage");
    qRegisterMetaType<QList<ChatMessage>>("QList<ChatMessage>");
}

QDebug operator<<(QDebug debug, const ChatMessage& message)
{
    const QDebugStateSaver saver(debug);
    debug.nospace() << "{\n"
                    << "    MessageType: " << int(message.type) << "\n"
                    << "    MessageInfo: " << static_cast<const QJsonObject&>(message.info) << "\n"
                    << "    MessagePackage: " << message.package.content << "\n"
                    << "}";
    return debug;
}

namespace {
void registerAtStartUp()
{
    registerChatMessageMetaTypes();
}
} // namespace
Q_COREAPP_STARTUP_FUNCTION(registerAtStartUp)

} // namespace MeetingSupport
