// SPDX-License-Identifier: MIT
// The direct text codec against the generic one: same bytes out, and never accepting what the
// generic reading refuses or reading it differently.
#include "frame.h"
#include "textmessagecodec.h"

#include <QCborValue>
#include <QTest>
#include <QtEndian>

#include <initializer_list>
#include <limits>

using namespace voicesdk::protocol;

namespace {

// What the generic path makes of `bytes` as a text string: its UTF-16 length when they come
// back unchanged, else -1.
int qtUtf16Length(const QByteArray& bytes)
{
    QByteArray cbor;
    cbor.append(char(0x7a)); // text string with a 4-byte length
    const quint32 size = quint32(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        cbor.append(char(size >> shift));
    cbor.append(bytes);
    QCborParserError error;
    const QCborValue value = QCborValue::fromCbor(cbor, &error);
    if (error.error != QCborError::NoError || !value.isString())
        return -1;
    const QString text = value.toString();
    return text.toUtf8() == bytes ? text.size() : -1;
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(char(value));
    return bytes;
}

Utf8View view(const QByteArray& bytes)
{
    return Utf8View{bytes.constData(), bytes.size()};
}

QByteArray bodyOf(const QByteArray& frame)
{
    return frame.mid(FrameHeaderSize);
}

QByteArray genericRequest(qint64 mode, qint64 target, const QString& message,
                          const QString* returnCode)
{
    QCborMap map{{TypeKey, type::Text},
                 {field::TargetMode, mode},
                 {field::Target, target},
                 {field::Message, message}};
    if (returnCode)
        map.insert(field::ReturnCode, *returnCode);
    return encodeFrame(map);
}

// The generic decoding of a body as the frame decoder does it; an empty map when it refuses.
QCborMap genericDecode(const QByteArray& body)
{
    QByteArray frame(FrameHeaderSize, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    FrameDecoder decoder;
    decoder.append(frame + body);
    QCborMap message;
    return decoder.next(&message) == FrameDecoder::Message ? message : QCborMap();
}

bool sameInteger(const QCborMap& map, QLatin1String key, qint64 value)
{
    return map.value(key).isInteger() && map.value(key).toInteger() == value;
}

bool sameText(const QCborMap& map, QLatin1String key, Utf8View text, int length)
{
    const QCborValue value = map.value(key);
    return value.isString() && value.toString() == QString::fromUtf8(text.data, text.size) &&
           value.toString().size() == length;
}

// Accepted by the direct decoder means accepted by the generic one with the same fields.
void checkRequestAgreement(const QByteArray& body)
{
    TextRequest request;
    if (!decodeTextRequest(body.constData(), body.size(), &request))
        return;
    const QCborMap map = genericDecode(body);
    QVERIFY2(!map.isEmpty(), body.toHex().constData());
    QCOMPARE(map.value(TypeKey).toString(), QString(type::Text));
    QVERIFY(sameInteger(map, field::TargetMode, request.mode));
    QVERIFY(sameInteger(map, field::Target, request.target));
    QVERIFY(sameText(map, field::Message, request.message, request.messageLength));
    QCOMPARE(map.contains(field::ReturnCode), request.hasReturnCode);
    if (request.hasReturnCode)
        QVERIFY(sameText(map, field::ReturnCode, request.returnCode, request.returnCodeLength));
    QCOMPARE(map.size(), request.hasReturnCode ? 5 : 4);
}

void checkEventAgreement(const QByteArray& body)
{
    TextMessageEvent event;
    if (!decodeTextMessage(body.constData(), body.size(), &event))
        return;
    const QCborMap map = genericDecode(body);
    QVERIFY2(!map.isEmpty(), body.toHex().constData());
    QCOMPARE(map.value(TypeKey).toString(), QString(type::TextMessage));
    QVERIFY(sameInteger(map, field::TargetMode, event.mode));
    QVERIFY(sameInteger(map, field::FromId, event.fromId));
    QVERIFY(sameText(map, field::FromName, event.fromName, event.fromNameLength));
    QVERIFY(sameText(map, field::FromUniqueId, event.fromUniqueId, event.fromUniqueIdLength));
    QVERIFY(sameText(map, field::Message, event.message, event.messageLength));
    QVERIFY(sameInteger(map, field::Target, event.target));
    QCOMPARE(map.size(), 7);
}

const qint64 Int64Max = std::numeric_limits<qint64>::max();
const qint64 Int64Min = std::numeric_limits<qint64>::min();

} // namespace

class tst_TextMessageCodec : public QObject
{
    Q_OBJECT
private slots:
    void utf8Length_data();
    void utf8Length();
    void utf8LengthAgreesOnShortSequences();
    void requestEncoding_data();
    void requestEncoding();
    void requestOversize();
    void eventEncoding_data();
    void eventEncoding();
    void decodesOwnFrames();
    void refusesOtherLayouts_data();
    void refusesOtherLayouts();
    void mutatedBodiesNeverDisagree();
};

void tst_TextMessageCodec::utf8Length_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("ascii, 7") << QByteArray("abcdefg");
    QTest::newRow("ascii, 17") << QByteArray("abcdefghijklmnopq");
    QTest::newRow("two-byte after eight ascii") << QByteArray("abcdefgh\xc3\xa9xyz");
    QTest::newRow("three-byte") << QByteArray("\xe4\xbd\xa0\xe5\xa5\xbd");
    QTest::newRow("four-byte") << QByteArray("a\xf0\x9f\x98\x80z");
    QTest::newRow("highest code point") << QByteArray("\xf4\x8f\xbf\xbf");
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3);
    QTest::newRow("noncharacter FFFE") << QByteArray("\xef\xbf\xbe");
    QTest::newRow("noncharacter FDD0") << QByteArray("\xef\xb7\x90");
    QTest::newRow("leading BOM") << QByteArray("\xef\xbb\xbfx");
    QTest::newRow("BOM later") << QByteArray("x\xef\xbb\xbf");
    QTest::newRow("lone continuation") << QByteArray("a\x80");
    QTest::newRow("truncated two-byte") << QByteArray("abc\xc3");
    QTest::newRow("truncated four-byte") << QByteArray("\xf0\x9f\x98");
    QTest::newRow("overlong NUL") << QByteArray("\xc0\x80");
    QTest::newRow("overlong three-byte") << QByteArray("\xe0\x80\xaf");
    QTest::newRow("overlong four-byte") << QByteArray("\xf0\x80\x80\xaf");
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("F5 lead") << QByteArray("\xf5\x80\x80\x80");
    QTest::newRow("FF") << QByteArray("abcdefgh\xff");
    QTest::newRow("bad continuation") << QByteArray("\xe4\xbd\x41");
}

void tst_TextMessageCodec::utf8Length()
{
    QFETCH(QByteArray, bytes);
    QCOMPARE(utf16LengthOfUtf8(bytes.constData(), bytes.size()), qtUtf16Length(bytes));
}

void tst_TextMessageCodec::utf8LengthAgreesOnShortSequences()
{
    // Every one- and two-byte string, and every lead and second byte of longer ones, with and
    // without ASCII in front so both the word loop and the byte loop see them.
    QList<QByteArray> cases;
    for (int a = 0; a < 256; ++a) {
        cases.append(QByteArray(1, char(a)));
        for (int b = 0; b < 256; ++b) {
            cases.append(bytesOf({a, b}));
            if (a >= 0xe0) {
                for (int c : {0x80, 0xbf, 0x41}) {
                    cases.append(bytesOf({a, b, c}));
                    cases.append(bytesOf({a, b, c, 0x80}));
                }
            }
        }
    }
    for (const QByteArray& bytes : qAsConst(cases)) {
        for (const QByteArray& prefix : {QByteArray(), QByteArray("12345678")}) {
            const QByteArray text = prefix + bytes;
            if (utf16LengthOfUtf8(text.constData(), text.size()) != qtUtf16Length(text))
                QFAIL(text.toHex().constData());
        }
    }
}

void tst_TextMessageCodec::requestEncoding_data()
{
    QTest::addColumn<qint64>("mode");
    QTest::addColumn<qint64>("target");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("hasReturnCode");
    QTest::addColumn<QString>("returnCode");

    QTest::newRow("channel text") << qint64(2) << qint64(0) << QStringLiteral("hello") << false
                                  << QString();
    QTest::newRow("private, return code")
        << qint64(1) << qint64(7) << QStringLiteral("hi") << true << QStringLiteral("rc-1");
    QTest::newRow("empty return code")
        << qint64(1) << qint64(7) << QStringLiteral("hi") << true << QString();
    QTest::newRow("empty text") << qint64(2) << qint64(1) << QString() << false << QString();
    QTest::newRow("23 and 24 long") << qint64(23) << qint64(24) << QString(23, QLatin1Char('a'))
                                    << true << QString(24, QLatin1Char('b'));
    QTest::newRow("255 and 256") << qint64(255) << qint64(256) << QString(255, QLatin1Char('a'))
                                 << false << QString();
    QTest::newRow("65535, 65536") << qint64(65535) << qint64(65536)
                                  << QString(256, QLatin1Char('a')) << false << QString();
    QTest::newRow("32-bit edges") << qint64(0xffffffffLL) << qint64(0x100000000LL)
                                  << QString(1024, QLatin1Char('x')) << false << QString();
    QTest::newRow("int64 max") << Int64Max << Int64Max << QStringLiteral("x") << false << QString();
    QTest::newRow("negative") << qint64(-1) << qint64(-24) << QStringLiteral("x") << false
                              << QString();
    QTest::newRow("negative, longer heads")
        << qint64(-25) << qint64(-257) << QStringLiteral("x") << false << QString();
    QTest::newRow("int64 min") << Int64Min << qint64(-65537) << QStringLiteral("x") << false
                               << QString();
    QTest::newRow("accents") << qint64(2) << qint64(0) << QString(1024, QChar(0x00e9)) << false
                             << QString();
    QTest::newRow("CJK and emoji")
        << qint64(2) << qint64(0) << QStringLiteral("\u4f60\u597d \U0001F600 \uFFFE") << true
        << QStringLiteral("\u00e9t\u00e9");
    QTest::newRow("long text") << qint64(2) << qint64(0) << QString(8192, QChar(0x4f60)) << false
                               << QString();
}

void tst_TextMessageCodec::requestEncoding()
{
    QFETCH(qint64, mode);
    QFETCH(qint64, target);
    QFETCH(QString, message);
    QFETCH(bool, hasReturnCode);
    QFETCH(QString, returnCode);
    const QByteArray text = message.toUtf8();
    const QByteArray code = returnCode.toUtf8();
    const Utf8View codeView = view(code);
    const QByteArray fast =
        encodeTextRequestFrame(mode, target, view(text), hasReturnCode ? &codeView : nullptr);
    QVERIFY(!fast.isEmpty());
    QCOMPARE(fast.toHex(),
             genericRequest(mode, target, message, hasReturnCode ? &returnCode : nullptr).toHex());
}

void tst_TextMessageCodec::requestOversize()
{
    const QString fits(MaxFrameSize - 60, QLatin1Char('x'));
    const QString over(MaxFrameSize, QLatin1Char('x'));
    for (const QString& message : {fits, over}) {
        const QByteArray text = message.toUtf8();
        QCOMPARE(encodeTextRequestFrame(2, 0, view(text), nullptr),
                 genericRequest(2, 0, message, nullptr));
    }
    QVERIFY(!genericRequest(2, 0, fits, nullptr).isEmpty());
    QVERIFY(genericRequest(2, 0, over, nullptr).isEmpty());
}

void tst_TextMessageCodec::eventEncoding_data()
{
    QTest::addColumn<qint64>("mode");
    QTest::addColumn<qint64>("fromId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("uniqueId");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("target");

    QTest::newRow("channel") << qint64(2) << qint64(3) << QStringLiteral("anna")
                             << QStringLiteral("x4bSx/Q0Gf1YQJXfAbWWoiTGJkE=")
                             << QStringLiteral("hello") << qint64(1);
    QTest::newRow("private to a high id")
        << qint64(1) << qint64(65535) << QString(64, QChar(0x00fc)) << QString()
        << QString(1024, QLatin1Char('x')) << qint64(65535);
    QTest::newRow("empty strings")
        << qint64(1) << qint64(0) << QString() << QString() << QString() << qint64(0);
    QTest::newRow("big channel id")
        << qint64(2) << qint64(24) << QStringLiteral("b\u00e4r") << QStringLiteral("u")
        << QStringLiteral("\U0001F600") << Int64Max;
}

void tst_TextMessageCodec::eventEncoding()
{
    QFETCH(qint64, mode);
    QFETCH(qint64, fromId);
    QFETCH(QString, name);
    QFETCH(QString, uniqueId);
    QFETCH(QString, message);
    QFETCH(qint64, target);
    // The server's generic message, fields in the order it inserted them.
    QCborMap generic{{TypeKey, type::TextMessage},    {field::TargetMode, mode},
                     {field::FromId, fromId},         {field::FromName, name},
                     {field::FromUniqueId, uniqueId}, {field::Message, message}};
    generic.insert(field::Target, target);
    const QByteArray n = name.toUtf8(), u = uniqueId.toUtf8(), m = message.toUtf8();
    QCOMPARE(encodeTextMessageFrame(mode, fromId, view(n), view(u), view(m), target).toHex(),
             encodeFrame(generic).toHex());
}

void tst_TextMessageCodec::decodesOwnFrames()
{
    const QByteArray text = QStringLiteral("gr\u00fc\u00df \U0001F600").toUtf8();
    const QByteArray code = QByteArray("rc");
    const Utf8View codeView = view(code);

    TextRequest request;
    QByteArray body = bodyOf(encodeTextRequestFrame(1, 70000, view(text), &codeView));
    QVERIFY(decodeTextRequest(body.constData(), body.size(), &request));
    QCOMPARE(request.mode, qint64(1));
    QCOMPARE(request.target, qint64(70000));
    QCOMPARE(QByteArray(request.message.data, request.message.size), text);
    QCOMPARE(request.messageLength, 7); // the emoji takes two
    QVERIFY(request.hasReturnCode);
    QCOMPARE(QByteArray(request.returnCode.data, request.returnCode.size), code);
    checkRequestAgreement(body);

    body = bodyOf(encodeTextRequestFrame(2, 0, view(text), nullptr));
    QVERIFY(decodeTextRequest(body.constData(), body.size(), &request));
    QVERIFY(!request.hasReturnCode);

    TextMessageEvent event;
    body = bodyOf(encodeTextMessageFrame(2, 9, view("nick"), view("uid"), view(text), 5));
    QVERIFY(decodeTextMessage(body.constData(), body.size(), &event));
    QCOMPARE(event.mode, qint64(2));
    QCOMPARE(event.fromId, qint64(9));
    QCOMPARE(QByteArray(event.fromName.data, event.fromName.size), QByteArray("nick"));
    QCOMPARE(QByteArray(event.fromUniqueId.data, event.fromUniqueId.size), QByteArray("uid"));
    QCOMPARE(QByteArray(event.message.data, event.message.size), text);
    QCOMPARE(event.messageLength, 7);
    QCOMPARE(event.target, qint64(5));
    checkEventAgreement(body);
}

void tst_TextMessageCodec::refusesOtherLayouts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("genericAccepts");

    const auto request = [](const QCborMap& map) { return QCborValue(map).toCbor(); };
    const QCborMap base{{TypeKey, type::Text},
                        {field::TargetMode, 2},
                        {field::Target, 0},
                        {field::Message, QStringLiteral("hi")}};
    const QByteArray good = request(base);

    QTest::newRow("fields in another order")
        << request(QCborMap{{TypeKey, type::Text},
                            {field::Target, 0},
                            {field::TargetMode, 2},
                            {field::Message, QStringLiteral("hi")}})
        << true;
    QTest::newRow("another type") << request(QCborMap{{TypeKey, type::Ping},
                                                      {field::TargetMode, 2},
                                                      {field::Target, 0},
                                                      {field::Message, QStringLiteral("hi")}})
                                  << true;
    QTest::newRow("an extra field") << request(QCborMap{{TypeKey, type::Text},
                                                        {field::TargetMode, 2},
                                                        {field::Target, 0},
                                                        {field::Message, QStringLiteral("hi")},
                                                        {QStringLiteral("x"), 1}})
                                    << true;
    QTest::newRow("trailing byte") << good + '\x00' << false;
    QTest::newRow("truncated") << good.left(good.size() - 1) << false;
    QTest::newRow("indefinite map")
        << QByteArray("\xbf") + good.mid(1) + QByteArray("\xff") << true;
    QTest::newRow("message is bytes") << request(QCborMap{{TypeKey, type::Text},
                                                          {field::TargetMode, 2},
                                                          {field::Target, 0},
                                                          {field::Message, QByteArray("hi")}})
                                      << true;
    QTest::newRow("target is a double") << request(QCborMap{{TypeKey, type::Text},
                                                            {field::TargetMode, 2},
                                                            {field::Target, 1.5},
                                                            {field::Message, QStringLiteral("hi")}})
                                        << true;
    QTest::newRow("negative target") << request(QCborMap{{TypeKey, type::Text},
                                                         {field::TargetMode, 2},
                                                         {field::Target, -1},
                                                         {field::Message, QStringLiteral("hi")}})
                                     << true;
    const int targetValue = good.indexOf("\x66target") + 7;
    QByteArray bigTarget = good;
    bigTarget.replace(targetValue, 1, "\x1b\xff\xff\xff\xff\xff\xff\xff\xff");
    QTest::newRow("target beyond int64") << bigTarget << true;
    QByteArray tagged = good;
    tagged.insert(targetValue, '\xc1');
    QTest::newRow("tagged target") << tagged << true;
    QByteArray invalid = good;
    invalid.replace(invalid.indexOf("hi"), 2, "\xc3\x28");
    QTest::newRow("invalid UTF-8") << invalid << false;
    QByteArray bom = good;
    bom.replace(bom.indexOf("\x62hi"), 3, "\x65\xef\xbb\xbfhi");
    QTest::newRow("leading BOM") << bom << true;
    QByteArray chunked = good;
    chunked.replace(chunked.indexOf("\x62hi"), 3, "\x7f\x62hi\xff");
    QTest::newRow("indefinite text") << chunked << true;
    QByteArray longHead = good;
    longHead.replace(longHead.indexOf("\x64type"), 5, "\x78\x04type");
    QTest::newRow("key with a long head") << longHead << true;
}

void tst_TextMessageCodec::refusesOtherLayouts()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, genericAccepts);
    TextRequest request;
    QVERIFY(!decodeTextRequest(body.constData(), body.size(), &request));
    QCOMPARE(!genericDecode(body).isEmpty(), genericAccepts);
}

void tst_TextMessageCodec::mutatedBodiesNeverDisagree()
{
    // Every byte of real frames replaced by a set of values, and every truncation: wherever the
    // direct decoders accept, the generic reading accepts the same values.
    const QByteArray text = QStringLiteral("a\u00e9\u4f60\U0001F600").toUtf8();
    const QByteArray code("rc");
    const Utf8View codeView = view(code);
    const QByteArray request = bodyOf(encodeTextRequestFrame(2, 300, view(text), &codeView));
    const QByteArray event =
        bodyOf(encodeTextMessageFrame(1, 42, view("nick"), view("uid"), view(text), 70000));
    const char replacements[] = {'\x00', '\x01', '\x17', '\x18', '\x19', '\x1b', '\x1f', '\x20',
                                 '\x3b', '\x40', '\x5f', '\x60', '\x61', '\x62', '\x7f', '\x80',
                                 '\xa4', '\xa5', '\xa7', '\xbf', '\xc1', '\xc3', '\xed', '\xef',
                                 '\xf0', '\xf4', '\xf5', '\xfb', '\xff'};
    for (const QByteArray& body : {request, event}) {
        const bool isRequest = body == request;
        const auto check = [&](const QByteArray& mutated) {
            if (isRequest)
                checkRequestAgreement(mutated);
            else
                checkEventAgreement(mutated);
        };
        for (int i = 0; i < body.size(); ++i) {
            for (char value : replacements) {
                QByteArray mutated = body;
                mutated[i] = value;
                check(mutated);
                if (QTest::currentTestFailed())
                    return;
            }
            check(body.left(i));
            QByteArray inserted = body;
            inserted.insert(i, '\x00');
            check(inserted);
            if (QTest::currentTestFailed())
                return;
        }
    }
}

QTEST_APPLESS_MAIN(tst_TextMessageCodec)
#include "tst_textmessagecodec.moc"
