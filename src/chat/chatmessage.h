// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QDebug>
#include <QFont>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

class QImageReader;

namespace MeetingSupport {

// The Base64 flavour of every message text: "-" and "_" instead of "+" and "/", no trailing "=".
inline constexpr QByteArray::Base64Options base64Options{QByteArray::Base64UrlEncoding |
                                                         QByteArray::OmitTrailingEquals};

// Bounds on what another client can make us hold. Valid messages stay far below them.
inline constexpr int maxMessageDocumentBytes = 64 * 1024 * 1024;
inline constexpr int maxMessagesPerDocument = 100000;
inline constexpr int maxImageBytes = 64 * 1024 * 1024;
inline constexpr int maxImageSide = 16384;
// 64 megapixels: 256 MiB once decoded, more than any screen capture needs.
inline constexpr qint64 maxImagePixels = qint64(64) * 1024 * 1024;
// A picture that cannot be decoded in stripes at a smaller size (progressive JPEG, other
// formats) needs its whole size in memory while it is read: such pictures stay below this.
inline constexpr qint64 maxWholeDecodePixels = qint64(16) * 1024 * 1024;

// What one chat message may hold, shown in the history and sent from the editor. Laying out
// text costs the GUI thread about a microsecond per character (far more for some shapes), so a
// longer text is shown up to these bounds with a note of the rest.
inline constexpr int maxMessageCharacters = 64 * 1024;
inline constexpr int maxMessageLineBreaks = 2048;
// Content items (a run of text per paragraph and format, and each picture): an honest message
// has a few.
inline constexpr int maxMessageItems = 4096;
// Pictures with data, and the pixels their headers claim together.
inline constexpr int maxMessagePictures = 16;
inline constexpr qint64 maxMessagePicturePixels = qint64(64) * 1024 * 1024;
// Font sizes in points a message may carry: received ones outside are ignored, the editor and
// the view stop there. The font bar itself offers 9 to 22.
inline constexpr int minFontPointSize = 1;
inline constexpr int maxFontPointSize = 72;
// The decoded pictures of one history together (they are decoded at the size they are drawn).
inline constexpr qint64 maxHistoryPictureBytes = qint64(128) * 1024 * 1024;

// The kind of a message; the wire string is its "poll_type".
enum MessageType : int {
    TextMessage = 0,    // "message": text and pictures, with the font entry
    GroupMessage = 1,   // "group_message": received like TextMessage
    FileMessage = 2,    // "file_message": file notices
    SystemMessage = 3,  // "system_message": a local note, never sent
    RemoteRequest = 4,  // "remote_request": remote-desktop request or reply
    ShakeMessage = 5,   // "shake_message": ignored
    MeetingRequest = 6, // "meeting_request": invitation or rejection
    UnknownMessage = 7, // any received "poll_type" we do not know
};

// The wire string of a type; empty for a value that has none.
QString messageTypeName(MessageType type);
// The type of a wire string (exact, case-sensitive); UnknownMessage when it has none.
MessageType messageTypeFromName(const QString& name);

// The header of a message: a JSON object with "time", "sender" and "receiver". Keys we do not
// write stay as received.
class MessageInfo : public QJsonObject
{
public:
    MessageInfo() = default;
    MessageInfo(const QJsonObject& object) : QJsonObject(object) {}

    // "time" holds the milliseconds since the epoch as a decimal string. A missing or unreadable
    // value reads as the epoch.
    QDateTime time() const;
    void setTime(const QDateTime& time);

    QString sender() const;
    void setSender(const QString& name);
    QString receiver() const;
    void setReceiver(const QString& name);
};

// The one font of a whole message.
struct MessageFont
{
    enum Style : int { Bold = 1, Italic = 2, Underline = 4 };

    MessageFont();

    int size = 9;   // points
    int style = 0;  // Style bits
    QColor color;   // invalid by default, written as "#000000"
    QString family; // the system's general font by default

    // {"size", "style", "color", "name"}.
    QJsonObject toJson() const;
    // Reads what the object has; missing or unusable keys keep the current values.
    void fromJson(const QJsonObject& object);

    QFont toFont() const;

    bool operator==(const MessageFont& other) const;
    bool operator!=(const MessageFont& other) const { return !(*this == other); }
};

// The body of a message: its font and its content items in display order.
struct MessagePackage
{
    MessageFont font;
    QJsonArray content;

    // The content with ["font", {font}] in front, as text messages carry it.
    QJsonArray contentWithFont() const;
    // Takes a received content array; a leading font entry is removed and read into font.
    void setContent(const QJsonArray& items);

    void appendText(const QString& text);
    // ["image", {"src": src, "buffer": encodeImage(image)}]
    void appendImage(const QString& src, const QImage& image);
    // ["file", {"name": fileName, "cmd": "upload" or "delete"}]
    void appendFileNotice(const QString& fileName, bool upload);
    // The whole content becomes ["request", object] or ["reply", object].
    void setRequest(const QJsonObject& object);
    void setReply(const QJsonObject& object);

    bool operator==(const MessagePackage& other) const;
    bool operator!=(const MessagePackage& other) const { return !(*this == other); }
};

// One message between clients: chat text, file notice, remote-desktop or meeting request.
class ChatMessage
{
public:
    // Type 0, a header holding only "time" (now), default font and no content.
    ChatMessage();
    explicit ChatMessage(MessageType type);

    MessageType type = TextMessage;
    MessageInfo info;
    MessagePackage package;

    // {"poll_type": name, "value": header + "content"}.
    QJsonObject toJson() const;
    // Replaces type, header and content from a package object; the header loses "content".
    void fromJson(const QJsonObject& object);

    bool operator==(const ChatMessage& other) const;
    bool operator!=(const ChatMessage& other) const { return !(*this == other); }
};

// {"result": [message, ...]} as compact JSON.
QByteArray serializeMessages(const QList<ChatMessage>& messages);
QByteArray serializeMessages(const ChatMessage& message);
// The messages of a list document. Anything else, damaged or oversized yields none; an array
// document is a heart beat, logged and ignored.
QList<ChatMessage> parseMessages(const QByteArray& json);

// The text that travels between clients: the list document in Base64 (base64Options).
QString messagesToText(const QList<ChatMessage>& messages);
QList<ChatMessage> messagesFromText(const QString& text);
// The list document of such a text, Base64 decoded (characters outside the alphabet skipped).
QByteArray documentFromText(const QString& text);

// A picture as the text of an image's "buffer": JPEG, qCompress, Base64 (base64Options).
QString encodeImage(const QImage& image);
// The inverse; a null image for damaged data or a picture beyond the size limits.
QImage decodeImage(const QString& text);
// The compressed picture data of such a text (qCompress of JPEG), not inflated; empty when the
// text is longer than any acceptable picture.
QByteArray compressedPicture(const QString& text);
// Reads a picture only when its header shows it within maxImageSide and maxImagePixels.
QImage readWithinBounds(QImageReader& reader);

// Makes ChatMessage and QList<ChatMessage> usable in queued connections, also under their
// unqualified names. Runs by itself when the application object is created; calling it again
// does no harm.
void registerChatMessageMetaTypes();

QDebug operator<<(QDebug debug, const ChatMessage& message);

} // namespace MeetingSupport

Q_DECLARE_METATYPE(MeetingSupport::ChatMessage)
