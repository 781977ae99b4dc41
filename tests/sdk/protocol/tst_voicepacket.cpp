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

void tst_VoicePacket::badCopiesAreRefused_data()
{
    QTest::addColumn<QByteArray>("payload"); // after the header, with WithPrevious set
    QTest::newRow("no length") << QByteArray("\x00", 1);
    QTest::newRow("nothing after the length") << QByteArray("\x00\x01", 2);
    QTest::newRow("empty frame") << QByteArray("\x00\x00xy", 4);
    QTest::newRow("no copy") << QByteArray("\x00\x02xy", 4);
    QTest::newRow("longer than the payload") << QByteArray("\x00\x09xyz", 5);
}

void tst_VoicePacket::badCopiesAreRefused()
{
    QFETCH(QByteArray, payload);
    QByteArray bytes(8, '\0');
    bytes.append(char(WithPrevious));
    bytes.append(payload);
    Frame frame;
    QVERIFY(!decodeFrame(bytes.constData(), bytes.size(), &frame));
}

void tst_VoicePacket::lossMeter_data()
{
    QTest::addColumn<QVector<int>>("arrivals"); // sequence numbers in order of arrival
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("overtaken");
    QVector<int> clean, lost, late, reordered, wrapped;
    for (int i = 0; i < 100; ++i) {
        clean << i;
        if (i % 10 != 3)
            lost << i;
        wrapped << (65500 + i) % 65536;
    }
    QTest::newRow("clean") << clean << 0 << false;
    QTest::newRow("wrapping") << wrapped << 0 << false;
    QTest::newRow("one in ten lost") << lost << 11 << false; // 10 of the 96 judged, rounded up
    // Overtaken by up to three frames: no loss; by more: as good as lost.
    reordered = clean;
    std::swap(reordered[10], reordered[13]);
    QTest::newRow("overtaken") << reordered << 0 << true;
    late = clean;
    late.move(10, 60);
    QTest::newRow("too late") << late << 2 << true; // 1 of the 96 judged, rounded up
    QTest::newRow("repeated") << (QVector<int>{0, 1, 1, 2, 2, 2, 3, 4, 5, 6, 7, 8}) << 0 << false;
}

void tst_VoicePacket::lossMeter()
{
    QFETCH(QVector<int>, arrivals);
    QFETCH(int, percent);
    QFETCH(bool, overtaken);
    LossMeter meter;
    QVERIFY(meter.idle());
    for (int sequence : arrivals)
        meter.frame(quint16(sequence));
    QVERIFY(meter.heardThisSecond());
    QCOMPARE(meter.lossPercent(), percent);
    QCOMPARE(meter.overtaken(), overtaken);
    // The window moves on: what is older than it no longer counts.
    meter.rotate();
    QVERIFY(!meter.heardThisSecond());
    QCOMPARE(meter.lossPercent(), percent);
    for (int i = 1; i < LossMeter::WindowSeconds; ++i)
        meter.rotate();
    QVERIFY(meter.idle());
    QCOMPARE(meter.lossPercent(), 0);
}

QTEST_GUILESS_MAIN(tst_VoicePacket)
#include "tst_voicepacket.moc"
