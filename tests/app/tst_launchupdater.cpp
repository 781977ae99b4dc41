// SPDX-License-Identifier: MIT
#include "launchupdater.h"

#include <QtTest>

using namespace MeetingSupport;

class TestLaunchUpdater : public QObject
{
    Q_OBJECT
private slots:
    void productWord_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("word");
        QTest::newRow("plain") << "Meeting"
                               << "Meeting";
        QTest::newRow("ryl prefix") << "RYL Meeting"
                                    << "Meeting";
        QTest::newRow("ryl any case") << "rYl Meeting Pro"
                                      << "Meeting";
        QTest::newRow("other prefix") << "Big Meeting"
                                      << "Big";
        QTest::newRow("no blanks") << "MeetingSupport"
                                   << "MeetingSupport";
        QTest::newRow("double blank keeps empty part") << "RYL  Meeting"
                                                       << "";
        QTest::newRow("ryl alone") << "RYL"
                                   << "";
        QTest::newRow("leading blank") << " Meeting"
                                       << "";
    }

    void productWord()
    {
        QFETCH(QString, name);
        QFETCH(QString, word);
        QCOMPARE(updaterProductWord(name), word);
    }

    void versionNumber_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("number");
        QTest::newRow("1.2") << "1.2"
                             << "12";
        QTest::newRow("2.35 truncates") << "2.35"
                                        << "23";
        QTest::newRow("2.3 despite binary rounding") << "2.3"
                                                     << "23";
        QTest::newRow("1.0") << "1.0"
                             << "10";
        QTest::newRow("integer") << "3"
                                 << "30";
        QTest::newRow("negative truncates toward zero") << "-1.25"
                                                        << "-12";
        QTest::newRow("not a number") << "1.2.3"
                                      << "0";
        QTest::newRow("empty") << ""
                               << "0";
        QTest::newRow("words") << "beta"
                               << "0";
    }

    void versionNumber()
    {
        QFETCH(QString, version);
        QFETCH(QString, number);
        QCOMPARE(updaterVersionNumber(version), number);
    }

    void argumentOrder()
    {
        QCoreApplication::setApplicationName(QStringLiteral("RYL Meeting"));
        QCoreApplication::setApplicationVersion(QStringLiteral("2.35"));
        const QString self = QCoreApplication::applicationFilePath();

        QCOMPARE(updaterArguments(QStringLiteral("812"), QStringLiteral("de_DE"), false),
                 (QStringList{self, QStringLiteral("Meeting"), QStringLiteral("23"),
                              QStringLiteral("812"), QStringLiteral("de_DE")}));
        QCOMPARE(updaterArguments(QStringLiteral("812"), QStringLiteral("de_DE"), true),
                 (QStringList{self, QStringLiteral("Meeting"), QStringLiteral("23"),
                              QStringLiteral("812"), QStringLiteral("checkupdates"),
                              QStringLiteral("de_DE")}));
    }

    void launchReportsWhetherTheUpdaterStarted()
    {
        // The test binary's directory holds no RylUpdater.
        QVERIFY(
            !QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/RylUpdater")));
        QVERIFY(!launchUpdater(QStringLiteral("1"), QStringLiteral("en_US"), false));
    }
};

QTEST_MAIN(TestLaunchUpdater)
#include "tst_launchupdater.moc"
