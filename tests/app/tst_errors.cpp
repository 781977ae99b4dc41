// SPDX-License-Identifier: MIT
#include "errors.h"

#include <QtTest>

using namespace RylSystem;

namespace {

int raiseLine = 0;

[[noreturn]] void raiseFatal(const QString& message)
{
    raiseLine = __LINE__ + 1;
    RYL_THROW(FatalError(message));
}

} // namespace

class TestErrors : public QObject
{
    Q_OBJECT
private slots:
    void whatIsTheUtf8Message()
    {
        const QString message = QStringLiteral("\"Zoë\" is login, can't repeat login! – 会议");
        FatalError fatal(message);
        QCOMPARE(QByteArray(fatal.what()), message.toUtf8());
        QCOMPARE(QString::fromUtf8(NonFatalError(message).what()), message);
        QCOMPARE(QString::fromUtf8(AssertionError(message).what()), message);
    }

    void defaultLocationIsEmpty()
    {
        const AssertionError error(QStringLiteral("Invalid Operation"));
        QCOMPARE(throwLine(error), -1);
        QVERIFY(!throwFunction(error));
        QVERIFY(!throwFile(error));
    }

    void throwRecordsFunctionFileAndLine()
    {
        try {
            raiseFatal(QStringLiteral("boom"));
            QFAIL("nothing thrown");
        } catch (const FatalError& error) {
            QCOMPARE(QByteArray(error.what()), QByteArray("boom"));
            QCOMPARE(throwLine(error), raiseLine);
            QVERIFY(QByteArray(throwFunction(error)).contains("raiseFatal(const QString&)"));
            // Relative to the project, not an absolute build path.
            QCOMPARE(QByteArray(throwFile(error)), QByteArray("tests/app/tst_errors.cpp"));
        }
    }

    void classHierarchy()
    {
        try {
            RYL_THROW(AssertionError(QStringLiteral("precondition")));
        } catch (const NonFatalError& error) {
            QVERIFY(dynamic_cast<const AssertionError*>(&error));
            QVERIFY(dynamic_cast<const std::logic_error*>(&error));
            QVERIFY(dynamic_cast<const boost::exception*>(&error));
            QVERIFY(throwLine(error) > 0);
        }
        try {
            RYL_THROW(FatalError(QStringLiteral("fatal")));
        } catch (const std::runtime_error& error) {
            QVERIFY(dynamic_cast<const FatalError*>(&error));
        }
    }

    void copiesKeepLocationAndMessage()
    {
        try {
            RYL_THROW(NonFatalError(QStringLiteral("original")));
        } catch (const NonFatalError& error) {
            const NonFatalError copy(error);
            QCOMPARE(QByteArray(copy.what()), QByteArray("original"));
            QCOMPARE(throwLine(copy), throwLine(error));
            QCOMPARE(QByteArray(throwFile(copy)), QByteArray(throwFile(error)));
            QCOMPARE(QByteArray(throwFunction(copy)), QByteArray(throwFunction(error)));
        }
    }
};

QTEST_GUILESS_MAIN(TestErrors)
#include "tst_errors.moc"
