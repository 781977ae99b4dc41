// SPDX-License-Identifier: MIT
// Screen packets read back as written, and every bound refused as untrusted input.
#include "screenpacket.h"

#include <QTest>
#include <QtEndian>

using namespace voicesdk::protocol::screen;

namespace {
// The body of a whole packet: what a reader hands on.
PacketReader::Body only(const QByteArray& packet, PacketReader* reader)
{
    reader->append(packet.constData(), packet.size());
    PacketReader::Body body;
    if (reader->next(&body) != PacketReader::Packet)
        return {};
    return body;
}
} // namespace

class tst_ScreenPacket : public QObject
{
    Q_OBJECT
private slots:
    void roundTrips();
    void refusals_data();
    void refusals();
    void readerSplitsAndBounds();
};

void tst_ScreenPacket::roundTrips()
{
    PacketReader reader;
    Video video;
    video.client = 7;
    video.frame = 123456;
    video.flags = KeyFrame;
    video.width = 1920;
    video.height = 1080;
    video.data = QByteArray(3000, 'v');
    const PacketReader::Body body = only(encodeVideo(video), &reader);
    QCOMPARE(body.kind, Kind::Video);
    Video back;
    QString error;
    QVERIFY2(decodeVideo(body.data, body.size, &back, &error), qPrintable(error));
    QCOMPARE(back.frame, video.frame);
    QCOMPARE(back.width, video.width);
    QCOMPARE(back.data, video.data);
    // The server puts the sharer's ID in place.
    const QByteArray relayed = withClient(encodeVideo(video), 42);
    const PacketReader::Body again = only(relayed, &reader);
    QVERIFY(decodeVideo(again.data, again.size, &back, &error));
    QCOMPARE(back.client, quint16(42));

    for (const Input& input :
         {Input{1, InputType::Move, 1919, 1079, {}}, Input{1, InputType::Button, 3, 1, {}},
          Input{1, InputType::Wheel, -2, 5, {}}, Input{1, InputType::Key, 0x1000e9, 0, {}},
          Input{1, InputType::Text, 0, 0, QByteArray("héllo")}}) {
        const PacketReader::Body in = only(encodeInput(input), &reader);
        Input read;
        QVERIFY2(decodeInput(in.data, in.size, &read, &error), qPrintable(error));
        QCOMPARE(read.type, input.type);
        QCOMPARE(read.a, input.a);
        QCOMPARE(read.b, input.b);
        QCOMPARE(read.text, input.text);
    }
}

void tst_ScreenPacket::refusals_data()
{
    QTest::addColumn<QByteArray>("packet");
    const auto video = [](quint16 w, quint16 h, int bytes, quint8 codec = 1, quint8 flags = 0) {
        Video v;
        v.width = w;
        v.height = h;
        v.flags = flags;
        v.codec = Codec(codec);
        v.data = QByteArray(bytes, 'x');
        return encodeVideo(v);
    };
    QTest::newRow("picture wider than the bound") << video(MaxWidth + 1, 100, 10);
    QTest::newRow("picture of no size") << video(0, 100, 10);
    QTest::newRow("picture without bytes") << video(100, 100, 0);
    QTest::newRow("codec not carried") << video(100, 100, 10, 2);
    QTest::newRow("unknown flags") << video(100, 100, 10, 1, 0x80);
    QTest::newRow("pointer off the bounds")
        << encodeInput(Input{1, InputType::Move, MaxWidth, 0, {}});
    QTest::newRow("button 0") << encodeInput(Input{1, InputType::Button, 0, 1, {}});
    QTest::newRow("keysym beyond X's") << encodeInput(Input{1, InputType::Key, 0x20000000, 1, {}});
    QTest::newRow("text too long")
        << encodeInput(Input{1, InputType::Text, 0, 0, QByteArray(MaxText + 1, 'a')});
    CursorShape shape;
    shape.width = 4;
    shape.height = 4;
    shape.hotX = 4; // outside
    shape.pixels = QByteArray(64, 0);
    QTest::newRow("hot spot outside the pointer") << encodeCursorShape(shape);
    shape.hotX = 0;
    shape.pixels.chop(1);
    QTest::newRow("pointer picture cut short") << encodeCursorShape(shape);
    QByteArray truncated = encodeInput(Input{1, InputType::Key, 0x61, 1, {}});
    truncated.chop(1);
    qToBigEndian(quint32(truncated.size() - LengthBytes), truncated.data());
    QTest::newRow("key cut short") << truncated;
}

void tst_ScreenPacket::refusals()
{
    QFETCH(QByteArray, packet);
    PacketReader reader;
    const PacketReader::Body body = only(packet, &reader);
    QVERIFY(body.data);
    QString error;
    bool decoded = false;
    Video video;
    Input input;
    CursorShape shape;
    switch (body.kind) {
    case Kind::Video:
        decoded = decodeVideo(body.data, body.size, &video, &error);
        break;
    case Kind::Input:
        decoded = decodeInput(body.data, body.size, &input, &error);
        break;
    case Kind::CursorShape:
        decoded = decodeCursorShape(body.data, body.size, &shape, &error);
        break;
    default:
        QFAIL("unexpected kind");
    }
    QVERIFY(!decoded);
    QVERIFY(!error.isEmpty());
}

void tst_ScreenPacket::readerSplitsAndBounds()
{
    // Packets arrive in any pieces.
    const QByteArray stream =
        encodeKeyRequest(3, FullStream) + encodeLowStream(400) + encodeKeyRequest(9, ScaledStream);
    PacketReader reader;
    QList<Kind> kinds;
    for (char c : stream) {
        reader.append(&c, 1);
        PacketReader::Body body;
        while (reader.next(&body) == PacketReader::Packet)
            kinds.append(body.kind);
    }
    QCOMPARE(kinds, (QList<Kind>{Kind::KeyRequest, Kind::LowStream, Kind::KeyRequest}));

    // A length past the connection's bound, or an unknown kind, ends the stream for good.
    PacketReader small;
    small.setMaxLength(2048);
    const QByteArray big = encodeInput(Input{1, InputType::Text, 0, 0, QByteArray(1000, 'a')}) +
                           QByteArray::fromHex("00100000") + QByteArray(16, 'x');
    small.append(big.constData(), big.size());
    PacketReader::Body body;
    QCOMPARE(small.next(&body), PacketReader::Packet);
    QCOMPARE(small.next(&body), PacketReader::Error);
    QCOMPARE(small.next(&body), PacketReader::Error);
    PacketReader unknown;
    const QByteArray odd = QByteArray::fromHex("0000000163");
    unknown.append(odd.constData(), odd.size());
    QCOMPARE(unknown.next(&body), PacketReader::Error);
}

QTEST_APPLESS_MAIN(tst_ScreenPacket)
#include "tst_screenpacket.moc"
