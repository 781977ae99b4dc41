// SPDX-License-Identifier: MIT
#include "exceptionreport.h"
#include "rylcoreapplication.h"

#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

namespace {

struct LocatedError : boost::exception, std::runtime_error
{
    LocatedError() : std::runtime_error("disk on fire") {}
};

LocatedError located(const char* function, const char* file, int line)
{
    LocatedError error;
    error << boost::throw_function(function) << boost::throw_file(file) << boost::throw_line(line);
    return error;
}

QStringList capturedLog;

void captureMessages(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedLog << message;
}

} // namespace

// Needs a RylCoreApplication, so it brings its own main.
class TestExceptionReport : public QObject
{
    Q_OBJECT
private slots:
    void describesLocatedAndPlainExceptions()
    {
        try {
            throw located("void burn()", "src/fire.cpp", 42);
        } catch (...) {
            const auto d = RylSystem::describeException(std::current_exception());
            QCOMPARE(d.message, QStringLiteral("disk on fire"));
            QCOMPARE(d.function, QStringLiteral("void burn()"));
            QCOMPARE(d.file, QStringLiteral("src/fire.cpp"));
            QCOMPARE(d.line, 42);
            QCOMPARE(d.toString(),
                     QStringLiteral("disk on fire (in void burn(), src/fire.cpp:42)"));
        }
        try {
            throw std::out_of_range("index 7");
        } catch (...) {
            const auto d = RylSystem::describeException(std::current_exception());
            QCOMPARE(d.message, QStringLiteral("index 7"));
            QCOMPARE(d.line, -1);
            QCOMPARE(d.toString(), QStringLiteral("index 7"));
        }
        try {
            throw 17;
        } catch (...) {
            QCOMPARE(RylSystem::describeException(std::current_exception()).message,
                     QStringLiteral("unknown error"));
        }
    }

    void exceptionInEventHandlerIsReportedAndEndsTheLoop()
    {
        capturedLog.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessages);

        bool boxSeen = false;
        QString boxText;
        // The critical box runs its own loop; close it from there like a user would.
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxSeen = true;
                boxText = box->text();
                box->accept();
            }
        });
        closer.start();

        QTimer::singleShot(0, this, [] { throw located("void handler()", "src/handler.cpp", 7); });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        watchdog.start(10000);

        const int code = QCoreApplication::exec();
        qInstallMessageHandler(previous);

        QCOMPARE(code, RylSystem::ExceptionExitCode);
        QVERIFY(boxSeen);
        QVERIFY(boxText.contains(QStringLiteral("disk on fire")));
        QVERIFY(boxText.contains(QStringLiteral("src/handler.cpp:7")));
        QVERIFY(capturedLog.join('\n').contains(
            QStringLiteral("disk on fire (in void handler(), src/handler.cpp:7)")));
    }
};

int main(int argc, char** argv)
{
    RylSystem::RylCoreApplication app(argc, argv);
    TestExceptionReport test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_exceptionreport.moc"
