// SPDX-License-Identifier: MIT
// Voice frames that carry a copy of the one before, and a listener's measure of loss.
#include "voicepacket.h"

#include <QTest>

using namespace voicesdk::protocol::voice;

class tst_VoicePacket : public QObject
{
    Q_OBJECT
private slots:
    void copyRoundTrips();
    void olderCopiesAndTheirCuts();
    void badCopiesAreRefused_data();
    void badCopiesAreRefused();
    void lossMeter_data();
    void lossMeter();
};

void tst_VoicePacket::copyRoundTrips()
{
    Frame frame;
    frame.sequence = 7;
    frame.timestamp = 960 * 7;
    frame.flags = EndOfSpeech;
    frame.payload = QByteArray(60, 'a');
    frame.previous = QByteArray(70, 'b');
    const QByteArray bytes = encodeFrame(frame);
    Frame back;
    QVERIFY(decodeFrame(bytes.constData(), bytes.size(), &back));
    QCOMPARE(back.flags, quint8(EndOfSpeech | WithPrevious));
    QCOMPARE(back.payload, frame.payload);
    QCOMPARE(back.previous, frame.previous);
    // Without a copy the flag goes too: what older peers read stays as it was.
    frame.previous.clear();
    const QByteArray plain = encodeFrame(frame);
    QCOMPARE(quint8(plain.at(8)), quint8(EndOfSpeech));
    QVERIFY(decodeFrame(plain.constData(), plain.size(), &back));
    QVERIFY(back.previous.isEmpty());
    QVERIFY(previousFits(600, 600));
    QVERIFY(!previousFits(700, 600));
}

// Frames with older copies too, and what the server makes of them for listeners that read fewer.
void tst_VoicePacket::olderCopiesAndTheirCuts()
{
    Frame frame;
    frame.sequence = 9;
    frame.payload = QByteArray(80, 'a');
    frame.previous = QByteArray(80, 'b');
    frame.older = {QByteArray(30, 'c'), QByteArray(31, 'd'), QByteArray(32, 'e')};
    const QByteArray bytes = encodeFrame(frame);
    QCOMPARE(bytes.size(), FrameHeaderBytes + payloadSize(frame));
    Frame back;
    QVERIFY(decodeFrame(bytes.constData(), bytes.size(), &back));
    QCOMPARE(back.flags, quint8(WithPrevious | WithOlder));
    QCOMPARE(back.payload, frame.payload);
    QCOMPARE(back.copies(), MaxCopies);
    for (int b = 1; b <= MaxCopies; ++b)
        QCOMPARE(*back.copy(b), b == 1 ? frame.previous : frame.older[b - 2]);
    QVERIFY(!back.copy(MaxCopies + 1));
    // A listener of one copy reads the frame exactly as older senders wrote it; one of none, the
    // plain frame.
    Frame one = back;
    keepCopies(&one, 1);
    Frame older;
    older.sequence = 9;
    older.payload = frame.payload;
    older.previous = frame.previous;
    QCOMPARE(encodeFrame(one), encodeFrame(older));
    Frame none = back;
    keepCopies(&none, 0);
    QCOMPARE(quint8(encodeFrame(none).at(8)), quint8(0));
    QCOMPARE(encodeFrame(none).size(), FrameHeaderBytes + 80);
    // Older copies without the previous one are not written.
    Frame orphan;
    orphan.payload = "x";
    orphan.older = {"y"};
    QCOMPARE(encodeFrame(orphan).size(), FrameHeaderBytes + 1);
}

void tst_VoicePacket::badCopiesAreRefused_data()
{
    QTest::addColumn<quint8>("flags");
    QTest::addColumn<QByteArray>("payload"); // after the header
    const quint8 one = WithPrevious;
    const quint8 more = WithPrevious | WithOlder;
    QTest::newRow("no length") << one << QByteArray("\x00", 1);
    QTest::newRow("nothing after the length") << one << QByteArray("\x00\x01", 2);
    QTest::newRow("empty frame") << one << QByteArray("\x00\x00xy", 4);
    QTest::newRow("no copy") << one << QByteArray("\x00\x02xy", 4);
    QTest::newRow("longer than the payload") << one << QByteArray("\x00\x09xyz", 5);
    QTest::newRow("older without previous") << quint8(WithOlder) << QByteArray("xyz");
    QTest::newRow("older: no older copy") << more << QByteArray("\x00\x01x\x00\x01y", 6);
    QTest::newRow("older: empty copy") << more << QByteArray("\x00\x01x\x00\x01y\x00\x00", 8);
    QTest::newRow("older: a copy past the end")
        << more << QByteArray("\x00\x01x\x00\x01y\x00\x05zz", 9);
    QTest::newRow("older: a stray byte") << more << QByteArray("\x00\x01x\x00\x01y\x00\x01zq", 10);
    QTest::newRow("older: five copies")
        << more << QByteArray("\x00\x01x\x00\x01g\x00\x01h\x00\x01i\x00\x01j\x00\x01k", 18);
}

void tst_VoicePacket::badCopiesAreRefused()
{
    QFETCH(quint8, flags);
    QFETCH(QByteArray, payload);
    QByteArray bytes(8, '\0');
    bytes.append(char(flags));
    bytes.append(payload);
    Frame frame;
    QVERIFY(!decodeFrame(bytes.constData(), bytes.size(), &frame));
}

void tst_VoicePacket::lossMeter_data()
{
    QTest::addColumn<QVector<int>>("arrivals"); // sequence numbers in order of arrival
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("overtaken");
    QTest::addColumn<int>("burst");
    QVector<int> clean, lost, late, reordered, wrapped, bursts, mixed;
    for (int i = 0; i < 100; ++i) {
        clean << i;
        if (i % 10 != 3)
            lost << i;
        wrapped << (65500 + i) % 65536;
        if (i % 20 < 17)
            bursts << i;
        // Nine frames lost alone and one run of five: the run holds more than a tenth of them.
        if ((i % 10 != 5 || i >= 90) && (i < 90 || i > 94))
            mixed << i;
    }
    QTest::newRow("clean") << clean << 0 << false << 0;
    QTest::newRow("wrapping") << wrapped << 0 << false << 0;
    // 10 of the 96 judged, rounded up
    QTest::newRow("one in ten lost") << lost << 11 << false << 1;
    QTest::newRow("runs of three") << bursts << 13 << false << 3;
    QTest::newRow("mostly alone, one run of five") << mixed << 15 << false << 5;
    // Overtaken by up to three frames: no loss; by more: as good as lost.
    reordered = clean;
    std::swap(reordered[10], reordered[13]);
    QTest::newRow("overtaken") << reordered << 0 << true << 0;
    late = clean;
    late.move(10, 60);
    QTest::newRow("too late") << late << 2 << true << 1; // 1 of the 96 judged, rounded up
    QTest::newRow("repeated") << (QVector<int>{0, 1, 1, 2, 2, 2, 3, 4, 5, 6, 7, 8}) << 0 << false
                              << 0;
}

void tst_VoicePacket::lossMeter()
{
    QFETCH(QVector<int>, arrivals);
    QFETCH(int, percent);
    QFETCH(bool, overtaken);
    QFETCH(int, burst);
    LossMeter meter;
    QVERIFY(meter.idle());
    for (int sequence : arrivals)
        meter.frame(quint16(sequence));
    QVERIFY(meter.heardThisSecond());
    QCOMPARE(meter.lossPercent(), percent);
    QCOMPARE(meter.overtaken(), overtaken);
    QCOMPARE(meter.burstLength(), burst);
    // The window moves on: what is older than it no longer counts.
    meter.rotate();
    QVERIFY(!meter.heardThisSecond());
    QCOMPARE(meter.lossPercent(), percent);
    for (int i = 1; i < LossMeter::WindowSeconds; ++i)
        meter.rotate();
    QVERIFY(meter.idle());
    QCOMPARE(meter.lossPercent(), 0);
    QCOMPARE(meter.burstLength(), 0);
}

QTEST_GUILESS_MAIN(tst_VoicePacket)
#include "tst_voicepacket.moc"
