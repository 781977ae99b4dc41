// SPDX-License-Identifier: MIT
#include "frame.h"
#include "message.h"
#include "rawpeer.h"

#include <QCborArray>
#include <QCborValue>
#include <QTest>
#include <QtEndian>

using namespace voicesdk::protocol;

namespace {

QCborMap text(const QString& message)
{
    return QCborMap{{TypeKey, type::Text}, {field::Message, message}, {field::Target, 7}};
}

} // namespace

class tst_FrameCodec : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void rejects_data();
    void rejects();
    void needsMoreUntilComplete();
    void errorIsFinal();
    void encodeRefusesOversize();
    void reader_data();
    void reader();
};

void tst_FrameCodec::roundTrip_data()
{
    QTest::addColumn<QList<QCborMap>>("messages");
    QTest::addColumn<int>("chunk"); // bytes fed at a time; 0 = all at once

    const QList<QCborMap> one{text(QStringLiteral("hello"))};
    const QList<QCborMap> several{text(QStringLiteral("a")), text(QString(1024, QChar(0x00e9))),
                                  QCborMap{{TypeKey, type::Synced}},
                                  text(QStringLiteral("\u4f60\u597d"))};
    QTest::newRow("one, whole") << one << 0;
    QTest::newRow("one, byte by byte") << one << 1;
    QTest::newRow("several, whole") << several << 0;
    QTest::newRow("several, byte by byte") << several << 1;
    QTest::newRow("several, chunks of 7") << several << 7;
    QTest::newRow("several, chunks of 1000") << several << 1000;
}

void tst_FrameCodec::roundTrip()
{
    QFETCH(QList<QCborMap>, messages);
    QFETCH(int, chunk);
    QByteArray stream;
    for (const QCborMap& message : messages)
        stream += encodeFrame(message);

    FrameDecoder decoder;
    QList<QCborMap> decoded;
    const int step = chunk == 0 ? stream.size() : chunk;
    for (int offset = 0; offset < stream.size(); offset += step) {
        decoder.append(stream.mid(offset, step));
        QCborMap message;
        FrameDecoder::Result result;
        while ((result = decoder.next(&message)) == FrameDecoder::Message)
            decoded.append(message);
        QCOMPARE(result, FrameDecoder::NeedMore);
    }
    QCOMPARE(decoded, messages);
    QCOMPARE(decoder.pending(), 0);
}

void tst_FrameCodec::rejects_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    QByteArray deep;
    for (int i = 0; i < 20000; ++i)
        deep += char(0x81); // arrays nested in arrays
    deep += char(0x01);

    QTest::newRow("zero length") << frameHeader(0) << "empty frame";
    QTest::newRow("length over the limit") << frameHeader(MaxFrameSize + 1) << "exceeds";
    QTest::newRow("huge length") << frameHeader(0xFFFFFFFFu) << "exceeds";
    QTest::newRow("not CBOR") << rawFrame(QByteArray("\xff\xff\xff\xff", 4)) << "malformed";
    QTest::newRow("truncated CBOR") << rawFrame(QByteArray("\xa1\x64type", 6)) << "malformed";
    QTest::newRow("integer, not a map") << rawFrame(QCborValue(5).toCbor()) << "not a CBOR map";
    QTest::newRow("array, not a map")
        << rawFrame(QCborValue(QCborArray{1, 2}).toCbor()) << "not a CBOR map";
    QTest::newRow("map without type")
        << rawFrame(QCborValue(QCborMap{{QStringLiteral("x"), 1}}).toCbor()) << "no type";
    QTest::newRow("type is a number")
        << rawFrame(QCborValue(QCborMap{{TypeKey, 3}}).toCbor()) << "no type";
    QTest::newRow("trailing bytes")
        << rawFrame(QCborValue(QCborMap{{TypeKey, type::Ping}}).toCbor() + "\x01") << "trailing";
    QTest::newRow("deep nesting") << rawFrame(deep) << "";
}

void tst_FrameCodec::rejects()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    FrameDecoder decoder;
    decoder.append(bytes);
    QCborMap message;
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    QVERIFY2(decoder.errorString().contains(reason), qPrintable(decoder.errorString()));
}

void tst_FrameCodec::needsMoreUntilComplete()
{
    const QByteArray frame = encodeFrame(text(QStringLiteral("complete")));
    FrameDecoder decoder;
    QCborMap message;
    decoder.append(frame.left(3));
    QCOMPARE(decoder.next(&message), FrameDecoder::NeedMore);
    decoder.append(frame.mid(3, frame.size() - 4));
    QCOMPARE(decoder.next(&message), FrameDecoder::NeedMore);
    decoder.append(frame.right(1));
    QCOMPARE(decoder.next(&message), FrameDecoder::Message);
    QCOMPARE(message.value(field::Message).toString(), QStringLiteral("complete"));
}

void tst_FrameCodec::errorIsFinal()
{
    FrameDecoder decoder;
    decoder.append(frameHeader(0));
    QCborMap message;
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    decoder.append(encodeFrame(text(QStringLiteral("after"))));
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    QCOMPARE(decoder.pending(), 0);
}

void tst_FrameCodec::encodeRefusesOversize()
{
    QVERIFY(encodeFrame(text(QString(MaxFrameSize, QLatin1Char('x')))).isEmpty());
    const QByteArray fits = encodeFrame(text(QString(MaxFrameSize - 100, QLatin1Char('x'))));
    QVERIFY(!fits.isEmpty());
    QVERIFY(fits.size() <= MaxFrameSize + FrameHeaderSize);
}

void tst_FrameCodec::reader_data()
{
    QTest::addColumn<QCborMap>("message");
    QTest::addColumn<bool>("ok");

    const QCborMap good{
        {field::ClientId, 5}, {field::Message, QStringLiteral("hi")}, {field::Force, true}};
    QCborMap negative = good;
    negative.insert(field::ClientId, -1);
    QCborMap huge = good;
    huge.insert(field::ClientId, 70000);
    QCborMap stringId = good;
    stringId.insert(field::ClientId, QStringLiteral("5"));
    QCborMap longText = good;
    longText.insert(field::Message, QString(11, QLatin1Char('x')));
    QCborMap numberText = good;
    numberText.insert(field::Message, 12);
    QCborMap intBool = good;
    intBool.insert(field::Force, 1);
    QCborMap missing = good;
    missing.remove(field::ClientId);
    QCborMap withOptional = good;
    withOptional.insert(field::Password, QStringLiteral("pw"));
    QCborMap badOptional = good;
    badOptional.insert(field::Password, false);

    QTest::newRow("good") << good << true;
    QTest::newRow("good with optional") << withOptional << true;
    QTest::newRow("negative id") << negative << false;
    QTest::newRow("id out of range") << huge << false;
    QTest::newRow("id as string") << stringId << false;
    QTest::newRow("text too long") << longText << false;
    QTest::newRow("text as number") << numberText << false;
    QTest::newRow("boolean as integer") << intBool << false;
    QTest::newRow("required field missing") << missing << false;
    QTest::newRow("optional field of wrong type") << badOptional << false;
}

void tst_FrameCodec::reader()
{
    QFETCH(QCborMap, message);
    QFETCH(bool, ok);
    MessageReader reader(message);
    const qint64 id = reader.integer(field::ClientId, 0, 0xFFFF);
    const QString text = reader.string(field::Message, 10);
    const bool force = reader.boolean(field::Force);
    const QString password = reader.optionalString(field::Password, 10);
    QCOMPARE(reader.ok(), ok);
    if (ok) {
        QCOMPARE(id, 5);
        QCOMPARE(text, QStringLiteral("hi"));
        QVERIFY(force);
        QCOMPARE(password.isEmpty(), !message.contains(field::Password));
    } else {
        QVERIFY(!reader.errorString().isEmpty());
    }
}

QTEST_APPLESS_MAIN(tst_FrameCodec)
#include "tst_framecodec.moc"
