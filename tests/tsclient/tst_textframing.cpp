// SPDX-License-Identifier: MIT
#include "tsclient/textframing.h"

#include <QtTest>

using Reassembler = TextFraming::Reassembler;

namespace {

const QString Begin = QStringLiteral("_sms_begin{");
const QString End = QStringLiteral("}_sms_end");

// Feeds messages from one sender; returns the texts completed along the way.
QStringList feedAll(Reassembler& r, anyID from, const QStringList& messages)
{
    QStringList done;
    for (const QString& message : messages) {
        QString text;
        if (r.feed(from, message, &text))
            done << text;
    }
    return done;
}

} // namespace

class TestTextFraming : public QObject
{
    Q_OBJECT
private slots:
    void markersAreExact()
    {
        QCOMPARE(TextFraming::BeginMarker, Begin);
        QCOMPARE(TextFraming::EndMarker, End);
    }

    void fragments_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("empty") << 0 << QList<int>{};
        QTest::newRow("one") << 1 << QList<int>{1};
        QTest::newRow("exactly one fragment") << 1024 << QList<int>{1024};
        QTest::newRow("one more") << 1025 << QList<int>{1024, 1};
        QTest::newRow("2500") << 2500 << QList<int>{1024, 1024, 452};
    }

    void fragments()
    {
        QFETCH(int, length);
        QFETCH(QList<int>, sizes);
        QString text;
        for (int i = 0; i < length; ++i)
            text += QChar(u'a' + i % 26);
        const QStringList pieces = TextFraming::fragments(text);
        QList<int> got;
        for (const QString& piece : pieces)
            got << piece.size();
        QCOMPARE(got, sizes);
        QCOMPARE(pieces.join(QString()), text);
    }

    void fragmentsNeverSplitASurrogatePair()
    {
        // 1023 ASCII characters, then a character outside the basic plane across the boundary.
        const QString text = QString(1023, QLatin1Char('x')) + QString::fromUcs4(U"\U0001F600") +
                             QStringLiteral("end");
        const QStringList pieces = TextFraming::fragments(text);
        QCOMPARE(pieces.size(), 2);
        QCOMPARE(pieces.at(0).size(), 1023);
        QVERIFY(pieces.at(1).startsWith(QString::fromUcs4(U"\U0001F600")));
        for (const QString& piece : pieces) {
            QVERIFY(piece.size() <= 1024);
            QCOMPARE(QString::fromUtf8(piece.toUtf8()), piece); // survives the UTF-8 trip intact
        }
        QCOMPARE(pieces.join(QString()), text);
    }

    void reassemblesOneText()
    {
        Reassembler r;
        QCOMPARE(feedAll(r, 7, {Begin, QStringLiteral("ab"), QStringLiteral("cd"), End}),
                 QStringList{"abcd"});
        QCOMPARE(r.pendingSenders(), 0);
        // Markers are case-sensitive: anything else is content.
        QCOMPARE(feedAll(r, 7, {Begin, QStringLiteral("}_SMS_END"), End}),
                 QStringList{"}_SMS_END"});
    }

    void emptyText()
    {
        Reassembler r;
        QCOMPARE(feedAll(r, 3, {Begin, End}), QStringList{QString()});
    }

    void strayEndMarkerDeliversNothing()
    {
        Reassembler r;
        QCOMPARE(feedAll(r, 7, {Begin, QStringLiteral("first"), End}), QStringList{"first"});
        // The delivered text is gone: a second end marker does not deliver it again.
        QCOMPARE(feedAll(r, 7, {End}), QStringList{});
        QCOMPARE(feedAll(r, 9, {End}), QStringList{});
    }

    void fragmentsWithoutBeginAreDropped()
    {
        Reassembler r;
        QCOMPARE(feedAll(r, 7, {QStringLiteral("orphan"), End}), QStringList{});
        QCOMPARE(feedAll(r, 7, {Begin, QStringLiteral("clean"), End}), QStringList{"clean"});
    }

    void sendersAreKeptApart()
    {
        Reassembler r;
        QString text;
        QVERIFY(!r.feed(1, Begin, &text));
        QVERIFY(!r.feed(2, Begin, &text));
        QVERIFY(!r.feed(1, QStringLiteral("hel"), &text));
        QVERIFY(!r.feed(2, QStringLiteral("wor"), &text));
        QVERIFY(!r.feed(1, QStringLiteral("lo"), &text));
        QVERIFY(r.feed(2, End, &text));
        QCOMPARE(text, QStringLiteral("wor"));
        QVERIFY(r.feed(1, End, &text));
        QCOMPARE(text, QStringLiteral("hello"));
    }

    void newBeginRestartsTheSendersText()
    {
        Reassembler r;
        QCOMPARE(feedAll(r, 4, {Begin, QStringLiteral("lost"), Begin, QStringLiteral("kept"), End}),
                 QStringList{"kept"});
    }

    void oversizedTextIsDropped()
    {
        Reassembler r;
        QString text;
        QVERIFY(!r.feed(5, Begin, &text));
        const QString chunk(1024 * 1024, QLatin1Char('z'));
        int fed = 0;
        while (fed <= TextFraming::MaxTextLength) {
            r.feed(5, chunk, &text);
            fed += chunk.size();
        }
        QCOMPARE(r.pendingSenders(), 0);
        QVERIFY(!r.feed(5, End, &text)); // the end of the dropped text delivers nothing
        // Other senders are unaffected.
        QCOMPARE(feedAll(r, 6, {Begin, QStringLiteral("fine"), End}), QStringList{"fine"});
    }

    void clearForgetsHalfTexts()
    {
        Reassembler r;
        QString text;
        r.feed(1, Begin, &text);
        r.feed(1, QStringLiteral("half"), &text);
        r.clear();
        QVERIFY(!r.feed(1, End, &text));
    }
};

QTEST_GUILESS_MAIN(TestTextFraming)
#include "tst_textframing.moc"
