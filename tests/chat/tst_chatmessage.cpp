// SPDX-License-Identifier: MIT
#include "chat/boundeduncompress.h"
#include "chat/chatmessage.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

using namespace MeetingSupport;

namespace {

// Collects what the code under test logs, and keeps it off the test output.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static QStringList& lines()
    {
        static QStringList captured;
        return captured;
    }
    bool contains(const QString& text) const
    {
        for (const QString& line : lines()) {
            if (line.contains(text))
                return true;
        }
        return false;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        lines().append(message);
    }
    QtMessageHandler m_previous;
};

const QString fixedTime = QStringLiteral("1700000000000");

ChatMessage headedMessage(MessageType type)
{
    ChatMessage message(type);
    message.info.insert(QStringLiteral("time"), fixedTime);
    message.info.setSender(QStringLiteral("alice"));
    message.info.setReceiver(QStringLiteral("bob"));
    return message;
}

MessageFont customFont()
{
    MessageFont font;
    font.size = 12;
    font.style = MessageFont::Bold | MessageFont::Underline;
    font.color = QColor(QStringLiteral("#12ab34"));
    font.family = QStringLiteral("Noto Serif");
    return font;
}

QString systemFamily()
{
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

// The wire form around one message value, as the list document writes it.
QByteArray listOf(const QByteArray& pollType, const QByteArray& contentPart)
{
    return "{\"result\":[{\"poll_type\":\"" + pollType + "\",\"value\":{" + contentPart +
           "\"receiver\":\"bob\",\"sender\":\"alice\",\"time\":\"1700000000000\"}}]}";
}

QByteArray customFontEntry()
{
    return "[\"font\",{\"color\":\"#12ab34\",\"name\":\"Noto Serif\",\"size\":12,\"style\":5}]";
}

QImage quadrantImage()
{
    QImage image(64, 48, QImage::Format_RGB32);
    const QRgb colours[4] = {qRgb(220, 30, 30), qRgb(30, 200, 40), qRgb(20, 40, 210),
                             qRgb(240, 240, 240)};
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, colours[(y >= 24) * 2 + (x >= 32)]);
    }
    return image;
}

QByteArray jpegBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

QString toImageText(const QByteArray& compressed)
{
    return QString::fromLatin1(compressed.toBase64(base64Options));
}

void setStatedLength(QByteArray& compressed, quint32 length)
{
    compressed[0] = char(length >> 24);
    compressed[1] = char(length >> 16);
    compressed[2] = char(length >> 8);
    compressed[3] = char(length);
}

// Rewrites the frame size in a JPEG's start-of-frame header.
QByteArray withJpegSize(QByteArray jpeg, int width, int height)
{
    int pos = 2;
    while (pos + 9 < jpeg.size()) {
        if (uchar(jpeg[pos]) != 0xff)
            return QByteArray();
        const uchar marker = uchar(jpeg[pos + 1]);
        const int length = uchar(jpeg[pos + 2]) << 8 | uchar(jpeg[pos + 3]);
        if (marker >= 0xc0 && marker <= 0xc2) {
            jpeg[pos + 5] = char(height >> 8);
            jpeg[pos + 6] = char(height);
            jpeg[pos + 7] = char(width >> 8);
            jpeg[pos + 8] = char(width);
            return jpeg;
        }
        pos += 2 + length;
    }
    return QByteArray();
}

bool closeColour(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 24 && qAbs(qGreen(a) - qGreen(b)) <= 24 &&
           qAbs(qBlue(a) - qBlue(b)) <= 24;
}

QByteArray randomBytes(QRandomGenerator& rng, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(rng.bounded(256));
    return bytes;
}

QJsonValue randomValue(QRandomGenerator& rng)
{
    static const QStringList words = {QStringLiteral("font"),    QStringLiteral("image"),
                                      QStringLiteral("message"), QStringLiteral("request"),
                                      QStringLiteral("reply"),   QStringLiteral("file"),
                                      QStringLiteral("#zzzzzz"), QStringLiteral("")};
    switch (rng.bounded(9)) {
    case 0:
        return QJsonValue();
    case 1:
        return rng.bounded(2) == 1;
    case 2:
        return double(rng.generate()) - 2147483648.0;
    case 3:
        return 1e308;
    case 4:
        return words.at(rng.bounded(words.size()));
    case 5:
        return QJsonArray{words.at(rng.bounded(words.size())), QJsonObject{{"size", -3}}};
    case 6:
        return QJsonObject{{"size", 1e12}, {"style", "x"}, {"color", 7}, {"name", QJsonArray()}};
    case 7:
        return QJsonArray();
    default:
        return QJsonObject();
    }
}

// Replaces one value somewhere in the tree by a value of another kind.
QJsonValue swapSomeValue(const QJsonValue& value, QRandomGenerator& rng)
{
    if (rng.bounded(4) == 0 || !(value.isArray() || value.isObject()))
        return randomValue(rng);
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        if (array.isEmpty())
            return randomValue(rng);
        const int i = rng.bounded(array.size());
        array[i] = swapSomeValue(array.at(i), rng);
        return array;
    }
    QJsonObject object = value.toObject();
    if (object.isEmpty())
        return randomValue(rng);
    const QString key = object.keys().at(rng.bounded(object.size()));
    object[key] = swapSomeValue(object.value(key), rng);
    return object;
}

QByteArray nested(int depth, const QByteArray& inner)
{
    return QByteArray(depth, '[') + inner + QByteArray(depth, ']');
}

} // namespace

class Receiver : public QObject
{
    Q_OBJECT
public:
    QList<ChatMessage> received;
    ChatMessage single;
public slots:
    void takeList(const QList<ChatMessage>& messages) { received = messages; }
    void takeOne(const ChatMessage& message) { single = message; }
};

class TestChatMessage : public QObject
{
    Q_OBJECT
private slots:
    void typeNames_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("name");
        QTest::newRow("0") << 0 << "message";
        QTest::newRow("1") << 1 << "group_message";
        QTest::newRow("2") << 2 << "file_message";
        QTest::newRow("3") << 3 << "system_message";
        QTest::newRow("4") << 4 << "remote_request";
        QTest::newRow("5") << 5 << "shake_message";
        QTest::newRow("6") << 6 << "meeting_request";
    }
    void typeNames()
    {
        QFETCH(int, value);
        QFETCH(QString, name);
        QCOMPARE(messageTypeName(MessageType(value)), name);
        QCOMPARE(int(messageTypeFromName(name)), value);
    }

    void typeNamesWithoutRow()
    {
        for (int value : {7, 8, -1, 1000})
            QCOMPARE(messageTypeName(MessageType(value)), QString());
        for (const char* name : {"Message", "", " message", "message ", "MEETING_REQUEST", "chat"})
            QCOMPARE(messageTypeFromName(QString::fromLatin1(name)), UnknownMessage);
    }

    void defaultMessage()
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const ChatMessage message;
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(message.type, TextMessage);
        QCOMPARE(message.info.keys(), QStringList{QStringLiteral("time")});
        const QJsonValue time = message.info.value(QStringLiteral("time"));
        QVERIFY(time.isString());
        QVERIFY(time.toString().toLongLong() >= before && time.toString().toLongLong() <= after);
        QVERIFY(message.package.content.isEmpty());
        QCOMPARE(message.package.font.size, 9);
        QCOMPARE(message.package.font.style, 0);
        QVERIFY(!message.package.font.color.isValid());
        QCOMPARE(message.package.font.family, systemFamily());
    }

    // A default-font text message, byte for byte, and back.
    void textMessageWithDefaultFont()
    {
        const QString family = systemFamily();
        QVERIFY(!family.contains('"') && !family.contains('\\'));
        ChatMessage message = headedMessage(TextMessage);
        message.package.appendText(QStringLiteral("Hi"));
        const QByteArray expected =
            listOf("message", "\"content\":[[\"font\",{\"color\":\"#000000\",\"name\":\"" +
                                  family.toUtf8() + "\",\"size\":9,\"style\":0}],\"Hi\"],");
        QCOMPARE(serializeMessages(message), expected);

        const QList<ChatMessage> parsed = parseMessages(expected);
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed[0].type, TextMessage);
        QCOMPARE(parsed[0].info, message.info);
        QCOMPARE(parsed[0].package.font.size, 9);
        QCOMPARE(parsed[0].package.font.style, 0);
        QCOMPARE(parsed[0].package.font.color.name(), QStringLiteral("#000000"));
        QCOMPARE(parsed[0].package.font.family, family);
        QCOMPARE(parsed[0].package.content, QJsonArray{QStringLiteral("Hi")});
    }

    void wireForm_data()
    {
        QTest::addColumn<ChatMessage>("message");
        QTest::addColumn<QByteArray>("expected");

        ChatMessage text = headedMessage(TextMessage);
        text.package.appendText(QStringLiteral("a"));
        text.package.content.append(
            QJsonArray{"image", QJsonObject{{"src", "file:///tmp/a.png"}, {"buffer", "xyz"}}});
        QTest::newRow("0 text")
            << text
            << listOf(
                   "message",
                   "\"content\":[" + customFontEntry() +
                       ",\"a\",[\"image\",{\"buffer\":\"xyz\",\"src\":\"file:///tmp/a.png\"}]],");
        ChatMessage group = headedMessage(GroupMessage);
        group.package.appendText(QStringLiteral("x\ny \"z\" ü"));
        QTest::newRow("1 group") << group
                                 << listOf("group_message", "\"content\":[" + customFontEntry() +
                                                                ",\"x\\ny \\\"z\\\" \xc3\xbc\"],");
        ChatMessage files = headedMessage(FileMessage);
        files.package.appendFileNotice(QStringLiteral("report.pdf"), true);
        files.package.appendFileNotice(QStringLiteral("a b.txt"), false);
        QTest::newRow("2 file")
            << files
            << listOf("file_message",
                      "\"content\":[[\"file\",{\"cmd\":\"upload\",\"name\":\"report.pdf\"}],["
                      "\"file\",{\"cmd\":\"delete\",\"name\":\"a b.txt\"}]],");
        ChatMessage system = headedMessage(SystemMessage);
        system.package.appendText(QStringLiteral("note"));
        QTest::newRow("3 system") << system << listOf("system_message", "\"content\":[\"note\"],");
        ChatMessage remote = headedMessage(RemoteRequest);
        remote.package.appendText(QStringLiteral("gone"));
        remote.package.setRequest(QJsonObject());
        QTest::newRow("4 request")
            << remote << listOf("remote_request", "\"content\":[\"request\",{}],");
        ChatMessage reply = headedMessage(RemoteRequest);
        reply.package.setReply(QJsonObject{{"app_name", "AnyDesk"}, {"cid", "123 456 789"}});
        QTest::newRow("4 reply")
            << reply
            << listOf(
                   "remote_request",
                   "\"content\":[\"reply\",{\"app_name\":\"AnyDesk\",\"cid\":\"123 456 789\"}],");
        QTest::newRow("5 shake") << headedMessage(ShakeMessage)
                                 << listOf("shake_message", "\"content\":[],");
        ChatMessage invite = headedMessage(MeetingRequest);
        invite.package.setRequest(QJsonObject{{"channel_name", "tolvane_Team"}});
        QTest::newRow("6 invitation")
            << invite
            << listOf("meeting_request",
                      "\"content\":[\"request\",{\"channel_name\":\"tolvane_Team\"}],");
        ChatMessage reject = headedMessage(MeetingRequest);
        reject.package.setReply(QJsonObject{{"reject", " "}});
        QTest::newRow("6 rejection")
            << reject << listOf("meeting_request", "\"content\":[\"reply\",{\"reject\":\" \"}],");
        ChatMessage unknown = headedMessage(UnknownMessage);
        QTest::newRow("7 no content") << unknown << listOf("", "");
    }
    // Every type byte for byte; the font entry only where text messages carry it; and back.
    void wireForm()
    {
        QFETCH(ChatMessage, message);
        QFETCH(QByteArray, expected);
        message.package.font = customFont();
        QCOMPARE(serializeMessages(message), expected);

        ChatMessage spoiled = message;
        spoiled.info.insert(QStringLiteral("content"), QStringLiteral("header junk"));
        if (message.type != UnknownMessage)
            QCOMPARE(serializeMessages(spoiled), expected);

        const QList<ChatMessage> parsed = parseMessages(expected);
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed[0].type, message.type);
        QCOMPARE(parsed[0].info, message.info);
        QCOMPARE(parsed[0].package.content, message.package.content);
        const bool carriesFont = message.type == TextMessage || message.type == GroupMessage;
        QCOMPARE(parsed[0].package.font, carriesFont ? customFont() : MessageFont());
        QCOMPARE(serializeMessages(parsed), expected);
    }

    void receivedHeaderKeysStay()
    {
        const QByteArray json = "{\"result\":[{\"poll_type\":\"message\",\"value\":{\"room\":\"x\","
                                "\"sender\":7,\"content\":[\"Hi\"]}}]}";
        const QList<ChatMessage> parsed = parseMessages(json);
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed[0].info, QJsonObject({{"room", "x"}, {"sender", 7}}));
        QCOMPARE(parsed[0].info.sender(), QString()); // not a string
        QCOMPARE(parsed[0].info.receiver(), QString());
        QCOMPARE(parsed[0].package.content, QJsonArray{"Hi"});
        QVERIFY(serializeMessages(parsed).contains("\"room\":\"x\""));
    }

    void receivedFontEntry_data()
    {
        QTest::addColumn<QByteArray>("pollType");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("remaining");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("style");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("family");

        const QString sys = systemFamily();
        const QString black = QStringLiteral("#000000");
        const QString sent = QStringLiteral("#a0b0c0");
        const QByteArray font =
            "[\"font\",{\"color\":\"#a0b0c0\",\"name\":\"Mono\",\"size\":14,\"style\":2}]";
        QTest::newRow("file message")
            << QByteArray("file_message")
            << "[" + font + ",[\"file\",{\"cmd\":\"upload\",\"name\":\"n\"}]]"
            << QByteArray("[[\"file\",{\"cmd\":\"upload\",\"name\":\"n\"}]]") << 14 << 2 << sent
            << "Mono";
        QTest::newRow("request") << QByteArray("remote_request") << "[" + font + ",\"request\",{}]"
                                 << QByteArray("[\"request\",{}]") << 14 << 2 << sent << "Mono";
        QTest::newRow("unknown type") << QByteArray("Message") << "[" + font + "]"
                                      << QByteArray("[]") << 14 << 2 << sent << "Mono";
        QTest::newRow("last element is the font")
            << QByteArray("message")
            << QByteArray("[[\"font\",{\"size\":11},\"junk\",{\"size\":15}],\"t\"]")
            << QByteArray("[\"t\"]") << 15 << 0 << black << sys;
        QTest::newRow("entry without object")
            << QByteArray("message") << QByteArray("[[\"font\"],\"t\"]") << QByteArray("[\"t\"]")
            << 9 << 0 << black << sys;
        QTest::newRow("missing keys keep defaults")
            << QByteArray("message") << QByteArray("[[\"font\",{\"style\":4}]]") << QByteArray("[]")
            << 9 << 4 << black << sys;
        QTest::newRow("wrong types keep defaults")
            << QByteArray("message")
            << QByteArray("[[\"font\",{\"size\":\"big\",\"style\":null,\"color\":5,\"name\":[]}]]")
            << QByteArray("[]") << 9 << 0 << black << sys;
        QTest::newRow("absurd size kept out")
            << QByteArray("message") << QByteArray("[[\"font\",{\"size\":100000}]]")
            << QByteArray("[]") << 9 << 0 << black << sys;
        QTest::newRow("largest size")
            << QByteArray("message") << QByteArray("[[\"font\",{\"size\":72}]]") << QByteArray("[]")
            << 72 << 0 << black << sys;
        QTest::newRow("size past the bound kept out")
            << QByteArray("message") << QByteArray("[[\"font\",{\"size\":73}]]") << QByteArray("[]")
            << 9 << 0 << black << sys;
        QTest::newRow("zero size kept out")
            << QByteArray("message") << QByteArray("[[\"font\",{\"size\":0}]]") << QByteArray("[]")
            << 9 << 0 << black << sys;
        QTest::newRow("text first") << QByteArray("message") << "[\"Hi\"," + font + "]"
                                    << "[\"Hi\"," + font + "]" << 9 << 0 << black << sys;
        QTest::newRow("tag is case-sensitive")
            << QByteArray("message") << QByteArray("[[\"Font\",{\"size\":14}]]")
            << QByteArray("[[\"Font\",{\"size\":14}]]") << 9 << 0 << black << sys;
        QTest::newRow("bare string font")
            << QByteArray("message") << QByteArray("[\"font\",{\"size\":14}]")
            << QByteArray("[\"font\",{\"size\":14}]") << 9 << 0 << black << sys;
        QTest::newRow("empty first array") << QByteArray("message") << QByteArray("[[],\"t\"]")
                                           << QByteArray("[[],\"t\"]") << 9 << 0 << black << sys;
        QTest::newRow("content not an array") << QByteArray("message") << QByteArray("{\"font\":1}")
                                              << QByteArray("[]") << 9 << 0 << black << sys;
    }
    void receivedFontEntry()
    {
        QFETCH(QByteArray, pollType);
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, remaining);
        QFETCH(int, size);
        QFETCH(int, style);
        QFETCH(QString, colour);
        QFETCH(QString, family);
        LogCapture log;
        const QList<ChatMessage> parsed =
            parseMessages("{\"result\":[{\"poll_type\":\"" + pollType +
                          "\",\"value\":{\"content\":" + content + "}}]}");
        QCOMPARE(parsed.size(), 1);
        const MessagePackage& package = parsed[0].package;
        QCOMPARE(QJsonDocument(package.content).toJson(QJsonDocument::Compact), remaining);
        QCOMPARE(package.font.size, size);
        QCOMPARE(package.font.style, style);
        QCOMPARE(package.font.color.name(), colour);
        QCOMPARE(package.font.family, family);
        QVERIFY(parsed[0].info.isEmpty());
    }

    void fontMakesQFont()
    {
        MessageFont font = customFont();
        QFont made = font.toFont();
        QCOMPARE(made.family(), QStringLiteral("Noto Serif"));
        QCOMPARE(made.pointSize(), 12);
        QVERIFY(made.bold() && !made.italic() && made.underline());
        font.style = MessageFont::Italic;
        made = font.toFont();
        QVERIFY(!made.bold() && made.italic() && !made.underline());
    }

    void headerTime()
    {
        MessageInfo info;
        QCOMPARE(info.time(), QDateTime::fromMSecsSinceEpoch(0, Qt::UTC));
        QCOMPARE(info.time().timeSpec(), Qt::UTC);

        const QDateTime when = QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15, 678), Qt::UTC);
        info.setTime(when);
        QCOMPARE(info.value(QStringLiteral("time")), QJsonValue(QStringLiteral("1709212455678")));
        QCOMPARE(info.time(), when);
        QCOMPARE(info.time().timeSpec(), Qt::UTC);

        // Anything but a string of decimal digits reads as the epoch.
        const QDateTime epoch = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
        for (const QJsonValue& bad :
             {QJsonValue(1709212455678.0), QJsonValue("soon"), QJsonValue("-5"),
              QJsonValue("99999999999999999999"), QJsonValue(""), QJsonValue(QJsonArray())}) {
            info.insert(QStringLiteral("time"), bad);
            QCOMPARE(info.time(), epoch);
        }

        const QList<ChatMessage> parsed = parseMessages(
            "{\"result\":[{\"poll_type\":\"message\",\"value\":{\"sender\":\"a\"}}]}");
        QCOMPARE(parsed.size(), 1);
        QVERIFY(!parsed[0].info.contains(QStringLiteral("time")));
        QCOMPARE(parsed[0].info.time(), QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(parsed[0].info.sender(), QStringLiteral("a"));

        // The time is a string on the wire, also for a message made right now.
        QRegularExpression stringTime(QStringLiteral("\"time\":\"\\d{13}\""));
        QVERIFY(stringTime.match(QString::fromUtf8(serializeMessages(ChatMessage()))).hasMatch());
    }

    void listDocument()
    {
        ChatMessage first = headedMessage(TextMessage);
        first.package.appendText(QStringLiteral("one"));
        ChatMessage second = headedMessage(FileMessage);
        second.package.appendFileNotice(QStringLiteral("two"), true);
        ChatMessage third = headedMessage(MeetingRequest);
        third.package.setRequest(QJsonObject{{"channel_name", "three"}});
        const QList<ChatMessage> list{first, second, third};

        const QList<ChatMessage> parsed = parseMessages(serializeMessages(list));
        QCOMPARE(parsed.size(), 3);
        QCOMPARE(parsed[0].package.content, first.package.content);
        QCOMPARE(parsed[1].package.content, second.package.content);
        QCOMPARE(parsed[2].package.content, third.package.content);
        QCOMPARE(parsed[1].type, FileMessage);
        QCOMPARE(serializeMessages(QList<ChatMessage>()), QByteArray("{\"result\":[]}"));
    }

    void documentsWithoutMessages_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not json") << QByteArray("hello");
        QTest::newRow("truncated") << QByteArray("{\"result\":[{\"poll_type\":\"message\"");
        QTest::newRow("scalar") << QByteArray("42");
        QTest::newRow("no result") << QByteArray("{\"results\":[{}]}");
        QTest::newRow("result object") << QByteArray("{\"result\":{\"poll_type\":\"message\"}}");
        QTest::newRow("result string") << QByteArray("{\"result\":\"[{}]\"}");
        QTest::newRow("too deep") << QByteArray(
            "{\"result\":[{\"value\":{\"content\":" + nested(5000, "1") + "}}]}");
    }
    void documentsWithoutMessages()
    {
        QFETCH(QByteArray, json);
        LogCapture log;
        QCOMPARE(parseMessages(json).size(), 0);
    }

    void oddResultElements()
    {
        const QList<ChatMessage> parsed =
            parseMessages("{\"result\":[5,\"x\",null,[1],{\"poll_type\":3,\"value\":\"v\"},{\"poll_"
                          "type\":\"message\",\"value\":{\"content\":\"Hi\"}}]}");
        QCOMPARE(parsed.size(), 6);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(parsed[i].type, UnknownMessage);
            QVERIFY(parsed[i].info.isEmpty());
            QVERIFY(parsed[i].package.content.isEmpty());
        }
        QCOMPARE(parsed[5].type, TextMessage);
        QVERIFY(parsed[5].package.content.isEmpty());
    }

    void heartBeat()
    {
        LogCapture log;
        QCOMPARE(parseMessages("[]").size(), 0);
        QVERIFY(log.contains(QStringLiteral("Heart beat :")));
        LogCapture::lines().clear();
        QCOMPARE(parseMessages("[{\"poll_type\":\"message\"},7]").size(), 0);
        QVERIFY(log.contains(QStringLiteral("Heart beat : [{\"poll_type\":\"message\"},7]")));

        // A huge one is still ignored, and its log line stays short.
        LogCapture::lines().clear();
        const QByteArray big = "[" + QByteArray("1,").repeated(300000) + "1]";
        QCOMPARE(parseMessages(big).size(), 0);
        QCOMPARE(LogCapture::lines().size(), 1);
        QVERIFY(LogCapture::lines().first().startsWith(QStringLiteral("Heart beat :")));
        QVERIFY(LogCapture::lines().first().size() < 2048);
    }

    void oversizedDocuments()
    {
        LogCapture log;
        QByteArray huge = "{\"result\":[{\"poll_type\":\"message\",\"value\":{\"content\":[\"";
        huge.append(QByteArray(maxMessageDocumentBytes, 'a'));
        huge.append("\"]}}]}");
        QCOMPARE(parseMessages(huge).size(), 0);
        QVERIFY(log.contains(QStringLiteral("Dropping a message document")));

        // As text the bound holds before the Base64 step.
        QCOMPARE(
            messagesFromText(QString(maxMessageDocumentBytes / 3 * 4 + 8, QLatin1Char('A'))).size(),
            0);
        QVERIFY(log.contains(QStringLiteral("Dropping a message text")));

        LogCapture::lines().clear();
        QByteArray many = "{\"result\":[";
        for (int i = 0; i < maxMessagesPerDocument + 5; ++i)
            many.append(i ? ",{}" : "{}");
        many.append("]}");
        QCOMPARE(parseMessages(many).size(), maxMessagesPerDocument);
        QVERIFY(log.contains(QStringLiteral("Dropping 5 messages")));
    }

    void transportText()
    {
        // Text whose UTF-8 gives the bytes that standard Base64 writes as "+" and "/".
        ChatMessage message = headedMessage(TextMessage);
        message.package.appendText(QString::fromUtf8("\xef\xbf\xbf\xef\xbb\xbe?>?~~~ \xc3\xbf"));
        for (int extra = 0; extra < 3; ++extra) {
            message.package.appendText(QString(extra, QLatin1Char('x')));
            const QList<ChatMessage> list{message};
            const QByteArray json = serializeMessages(list);
            const QByteArray standard = json.toBase64();
            const QString text = messagesToText(list);
            if (extra == 0)
                QVERIFY(standard.contains('+') || standard.contains('/'));
            QVERIFY(!text.contains('+') && !text.contains('/') && !text.contains('='));
            QCOMPARE(text.toUtf8(), json.toBase64(base64Options));
            const QList<ChatMessage> back = messagesFromText(text);
            QCOMPARE(back.size(), 1);
            QCOMPARE(back[0].package.content, message.package.content);
        }
        QCOMPARE(int(base64Options), 3);
        QCOMPARE(messagesFromText(QStringLiteral("not base64 at all!")).size(), 0);
        // Read straight from the text, as Qt reads its UTF-8: what is not of the alphabet is
        // skipped, padding and standard "+" and "/" included.
        for (const QString& odd :
             {QStringLiteral("eyJh-_\u00e9Ijo=xIn0 \n+/"), QStringLiteral("QQ"),
              QStringLiteral("QUI\u4e2dD"), QString::fromUtf8("\xf0\x9f\x98\x80TWFu")})
            QCOMPARE(documentFromText(odd), QByteArray::fromBase64(odd.toUtf8(), base64Options));
    }

    void debugOutput()
    {
        ChatMessage message = headedMessage(RemoteRequest);
        message.package.setRequest(QJsonObject());
        QString text;
        QDebug(&text) << message;
        const QStringList lines = text.trimmed().split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[0], QStringLiteral("{"));
        QCOMPARE(lines[1], QStringLiteral("    MessageType: 4"));
        QVERIFY(lines[2].startsWith(QStringLiteral("    MessageInfo: QJsonObject(")));
        QVERIFY(lines[2].contains(QStringLiteral("\"sender\":\"alice\"")));
        QVERIFY(lines[3].startsWith(QStringLiteral("    MessagePackage: QJsonArray(")));
        QVERIFY(lines[3].contains(QStringLiteral("[\"request\",{}]")));
        QCOMPARE(lines[4], QStringLiteral("}"));
    }

    // Both spellings travel through queued connections, also between threads.
    void queuedConnections()
    {
        QVERIFY(QMetaType::type("ChatMessage") != QMetaType::UnknownType);
        QCOMPARE(QMetaType::type("QList<ChatMessage>"), qMetaTypeId<QList<ChatMessage>>());
        QCOMPARE(QMetaType::type("MeetingSupport::ChatMessage"), qMetaTypeId<ChatMessage>());

        QThread thread;
        Receiver receiver;
        receiver.moveToThread(&thread);
        thread.start();
        ChatMessage message = headedMessage(MeetingRequest);
        message.package.setRequest(QJsonObject{{"channel_name", "Team"}});
        const QList<ChatMessage> list{message, headedMessage(FileMessage)};
        QVERIFY(QMetaObject::invokeMethod(&receiver, "takeList", Qt::QueuedConnection,
                                          Q_ARG(QList<ChatMessage>, list)));
        QVERIFY(QMetaObject::invokeMethod(&receiver, "takeOne", Qt::BlockingQueuedConnection,
                                          Q_ARG(ChatMessage, message)));
        thread.quit();
        QVERIFY(thread.wait(5000));
        QCOMPARE(receiver.received, list);
        QCOMPARE(receiver.single, message);
    }

    void imageRoundTrip()
    {
        const QImage image = quadrantImage();
        const QString text = encodeImage(image);
        QVERIFY(!text.isEmpty());
        QVERIFY(!text.contains('+') && !text.contains('/') && !text.contains('='));
        // qCompress framing: the length of the JPEG data in front.
        const QByteArray compressed = QByteArray::fromBase64(text.toLatin1(), base64Options);
        const QByteArray jpeg = jpegBytes(image);
        QCOMPARE(qUncompress(compressed), jpeg);

        const QImage back = decodeImage(text);
        QCOMPARE(back.size(), image.size());
        for (const QPoint& p : {QPoint(10, 10), QPoint(50, 10), QPoint(10, 40), QPoint(50, 40)})
            QVERIFY2(closeColour(back.pixel(p), image.pixel(p)),
                     qPrintable(QString::number(back.pixel(p), 16)));

        MessagePackage package;
        package.appendImage(QStringLiteral("file:///tmp/shot.png"), image);
        QCOMPARE(package.content.size(), 1);
        const QJsonArray item = package.content.at(0).toArray();
        QCOMPARE(item.size(), 2);
        QCOMPARE(item.at(0).toString(), QStringLiteral("image"));
        const QJsonObject object = item.at(1).toObject();
        QCOMPARE(object.value(QStringLiteral("src")).toString(),
                 QStringLiteral("file:///tmp/shot.png"));
        QCOMPARE(decodeImage(object.value(QStringLiteral("buffer")).toString()).size(),
                 image.size());
    }

    void damagedImageText_data()
    {
        QTest::addColumn<QString>("text");
        const QString good = encodeImage(quadrantImage());
        QByteArray compressed = QByteArray::fromBase64(good.toLatin1(), base64Options);
        QByteArray flipped = compressed;
        flipped[compressed.size() / 2] = char(flipped[compressed.size() / 2] ^ 0x55);
        QByteArray badAdler = compressed;
        badAdler[badAdler.size() - 1] = char(badAdler[badAdler.size() - 1] ^ 1);
        QByteArray jpeg = jpegBytes(quadrantImage());

        QTest::newRow("empty") << QString();
        QTest::newRow("not base64") << QStringLiteral("!!!! ????");
        QTest::newRow("too short") << QStringLiteral("AAA");
        QTest::newRow("null image") << encodeImage(QImage());
        QTest::newRow("half") << good.left(good.size() / 2);
        QTest::newRow("flipped stream") << toImageText(flipped);
        QTest::newRow("bad checksum") << toImageText(badAdler);
        QTest::newRow("not zlib") << toImageText(QByteArray("\0\0\0\x05hello", 9));
        QTest::newRow("not a jpeg") << toImageText(qCompress(QByteArray("GIF89a not really")));
        QTest::newRow("png") << toImageText(qCompress([] {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            quadrantImage().save(&buffer, "PNG");
            return png;
        }()));
        QTest::newRow("jpeg header only") << toImageText(qCompress(jpeg.left(200)));
    }
    void damagedImageText()
    {
        QFETCH(QString, text);
        LogCapture log;
        QVERIFY(decodeImage(text).isNull());
    }

    // Small inputs that claim or inflate to huge outputs are refused before anything that size
    // is allocated or decoded; the log says which limit refused them.
    void imageBombs()
    {
        LogCapture log;
        QByteArray small = qCompress(jpegBytes(quadrantImage()));
        setStatedLength(small, 1u << 30);
        QVERIFY(decodeImage(toImageText(small)).isNull());
        QVERIFY(log.contains(QStringLiteral("inflates past")));

        LogCapture::lines().clear();
        QByteArray zeros = qCompress(QByteArray(maxImageBytes + 4096, '\0'), 9);
        QVERIFY(zeros.size() < 200 * 1024);
        setStatedLength(zeros, 100);
        QVERIFY(decodeImage(toImageText(zeros)).isNull());
        QVERIFY(log.contains(QStringLiteral("inflates past")));

        const QByteArray jpeg = jpegBytes(quadrantImage());
        LogCapture::lines().clear();
        const QByteArray wide = withJpegSize(jpeg, 20000, 20000);
        QVERIFY(!wide.isEmpty());
        QVERIFY(decodeImage(toImageText(qCompress(wide))).isNull());
        QVERIFY(log.contains(QStringLiteral("20000 x 20000")));

        LogCapture::lines().clear();
        QVERIFY(
            decodeImage(toImageText(qCompress(withJpegSize(jpeg, maxImageSide + 1, 8)))).isNull());
        QVERIFY(log.contains(QStringLiteral("Refusing a picture of")));
        LogCapture::lines().clear();
        QVERIFY(decodeImage(toImageText(qCompress(withJpegSize(jpeg, maxImageSide, maxImageSide))))
                    .isNull());
        QVERIFY(log.contains(QStringLiteral("Refusing a picture of")));

        // Just inside the limits the same header is decoded (the data is short, so libjpeg
        // fills the rest), which shows the size check is what refused the others.
        LogCapture::lines().clear();
        const QImage tall = decodeImage(toImageText(qCompress(withJpegSize(jpeg, 64, 2000))));
        QCOMPARE(tall.size(), QSize(64, 2000));
    }

    void uncompressMatchesQt_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("level");
        QRandomGenerator rng(7);
        const QByteArray noise = randomBytes(rng, 200 * 1024);
        QByteArray text;
        for (int i = 0; i < 20000; ++i)
            text += QByteArray::number(rng.bounded(1000)) + (i % 7 ? " apples, " : " pears\n");
        for (int level : {0, 1, 6, 9}) {
            const QByteArray suffix = "@" + QByteArray::number(level);
            QTest::newRow("one byte" + suffix) << QByteArray("x") << level;
            QTest::newRow("noise" + suffix) << noise << level;
            QTest::newRow("text" + suffix) << text << level;
            QTest::newRow("runs" + suffix)
                << QByteArray(300000, 'q') + noise.left(999) + QByteArray(70000, 'r') << level;
            QTest::newRow("jpeg" + suffix) << jpegBytes(quadrantImage()) << level;
        }
    }
    void uncompressMatchesQt()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, level);
        const QByteArray compressed = qCompress(data, level);
        UncompressStatus status = UncompressStatus::Corrupt;
        QCOMPARE(boundedUncompress(compressed, data.size(), &status), data);
        QCOMPARE(status, UncompressStatus::Ok);
        // One byte less room than the data needs: refused, even when the length field lies.
        QByteArray understated = compressed;
        setStatedLength(understated, 1);
        QVERIFY(boundedUncompress(understated, data.size() - 1, &status).isEmpty());
        QCOMPARE(status, UncompressStatus::TooLarge);
        QCOMPARE(boundedUncompress(understated, data.size(), &status), data);
        QCOMPARE(status, UncompressStatus::Ok);
    }

    void uncompressRefusesDamage()
    {
        UncompressStatus status = UncompressStatus::Ok;
        const QByteArray good = qCompress(QByteArray("some words, some words, some words"));
        QCOMPARE(boundedUncompress(qCompress(QByteArray()), 10, &status), QByteArray());
        QCOMPARE(status, UncompressStatus::Ok);

        QByteArray badHeader = good;
        badHeader[4] = 0x79;
        QByteArray dictionary = good;
        dictionary[5] = char(uchar(dictionary[5]) | 0x20);
        QByteArray badType = good;
        badType[6] = char(uchar(badType[6]) | 0x06); // block type 3
        const QList<QByteArray> damaged = {QByteArray(),
                                           good.left(3),
                                           good.left(6),
                                           good.left(good.size() - 1),
                                           good.left(good.size() - 4),
                                           badHeader,
                                           dictionary,
                                           badType};
        for (const QByteArray& data : damaged) {
            status = UncompressStatus::Ok;
            QVERIFY(boundedUncompress(data, 1000, &status).isEmpty());
            QCOMPARE(status, UncompressStatus::Corrupt);
        }
    }

    // Random and mutated documents: never a crash or hang, only sane results.
    void fuzzParse()
    {
        LogCapture log;
        QRandomGenerator rng(20240229);
        QList<QByteArray> corpus;
        MessagePackage pictures;
        QImage small(12, 9, QImage::Format_RGB32);
        small.fill(qRgb(90, 160, 30));
        pictures.appendImage(QStringLiteral("file:///nowhere.png"), small);
        for (int type = 0; type <= 7; ++type) {
            ChatMessage message = headedMessage(MessageType(type));
            message.package = pictures;
            message.package.appendText(QStringLiteral("hello"));
            message.package.appendFileNotice(QStringLiteral("f"), type % 2);
            ChatMessage request = headedMessage(MessageType(type));
            request.package.setRequest(QJsonObject{{"channel_name", "c"}});
            corpus.append(serializeMessages(QList<ChatMessage>{message, request}));
        }

        int parsedMessages = 0;
        for (int round = 0; round < 3000; ++round) {
            QByteArray doc = corpus.at(rng.bounded(corpus.size()));
            switch (rng.bounded(7)) {
            case 0: // flipped bytes
                for (int n = 1 + rng.bounded(8); n > 0; --n)
                    doc[rng.bounded(doc.size())] = char(rng.bounded(256));
                break;
            case 1: // truncated
                doc.truncate(rng.bounded(doc.size()));
                break;
            case 2: { // a stretch repeated
                const int from = rng.bounded(doc.size());
                const int len = rng.bounded(doc.size() - from) + 1;
                doc.insert(rng.bounded(doc.size()), doc.mid(from, len));
                break;
            }
            case 3: // a value of another kind somewhere
            case 4:
                doc = QJsonDocument(
                          swapSomeValue(QJsonDocument::fromJson(doc).object(), rng).toObject())
                          .toJson(QJsonDocument::Compact);
                break;
            case 5: { // deep nesting in place of the content or the whole result
                const QByteArray deep = nested(1 + rng.bounded(1500), "\"font\"");
                doc =
                    rng.bounded(2)
                        ? "{\"result\":[{\"poll_type\":\"message\",\"value\":{\"content\":" + deep +
                              "}}]}"
                        : "{\"result\":" + deep + "}";
                break;
            }
            default:
                doc = randomBytes(rng, rng.bounded(300));
                break;
            }

            const QList<ChatMessage> messages = parseMessages(doc);
            QVERIFY(messages.size() <= doc.count(',') + 1);
            for (const ChatMessage& message : messages) {
                QVERIFY(message.type >= TextMessage && message.type <= UnknownMessage);
                QVERIFY(message.package.font.size >= minFontPointSize &&
                        message.package.font.size <= maxFontPointSize);
                // Whatever came in can go out again and come back as the same kinds.
                const QList<ChatMessage> again = parseMessages(serializeMessages(message));
                QCOMPARE(again.size(), 1);
                QCOMPARE(again[0].type, message.type);
                for (const QJsonValue& item : message.package.content) {
                    const QJsonArray tagged = item.toArray();
                    if (tagged.at(0).toString() != QLatin1String("image"))
                        continue;
                    const QImage image =
                        decodeImage(tagged.at(1).toObject().value("buffer").toString());
                    QVERIFY(image.isNull() || image.size() == small.size());
                }
            }
            parsedMessages += messages.size();
        }
        // The mutations must leave enough valid documents for the checks above to mean something.
        QVERIFY2(parsedMessages > 1000, qPrintable(QString::number(parsedMessages)));
    }

    void fuzzDecodeImage()
    {
        LogCapture log;
        QRandomGenerator rng(4711);
        const QByteArray jpeg = jpegBytes(quadrantImage());
        const QString good = encodeImage(quadrantImage());
        const QByteArray compressed = qCompress(jpeg);
        int decoded = 0;
        for (int round = 0; round < 1500; ++round) {
            QString text;
            switch (rng.bounded(5)) {
            case 0: { // characters of the text
                text = good;
                for (int n = 1 + rng.bounded(6); n > 0; --n)
                    text[rng.bounded(text.size())] = QChar(rng.bounded(32, 127));
                break;
            }
            case 1: { // bits of the zlib stream or its length field
                QByteArray data = compressed;
                for (int n = 1 + rng.bounded(4); n > 0; --n) {
                    const int at = rng.bounded(data.size());
                    data[at] = char(data[at] ^ (1 << rng.bounded(8)));
                }
                text = toImageText(data);
                break;
            }
            case 2: { // bytes of the JPEG, well compressed
                QByteArray data = jpeg;
                for (int n = 1 + rng.bounded(6); n > 0; --n)
                    data[rng.bounded(data.size())] = char(rng.bounded(256));
                if (rng.bounded(3) == 0)
                    data.truncate(rng.bounded(data.size()));
                text = toImageText(qCompress(data));
                break;
            }
            case 3:
                text = good.left(rng.bounded(good.size()));
                break;
            default:
                text = toImageText(randomBytes(rng, rng.bounded(400)));
                break;
            }
            const QImage image = decodeImage(text);
            if (!image.isNull()) {
                ++decoded;
                QVERIFY(image.width() <= maxImageSide && image.height() <= maxImageSide);
                QVERIFY(qint64(image.width()) * image.height() <= maxImagePixels);
            }
        }
        QVERIFY(decoded > 0);
        QCOMPARE(decodeImage(good).size(), quadrantImage().size());
    }
};

QTEST_MAIN(TestChatMessage)
#include "tst_chatmessage.moc"
