// SPDX-License-Identifier: MIT
#include "chat/screenshot.h"

#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QtTest>

using namespace MeetingSupport;

namespace {

// Every pixel tells where it is: red and green are x and y modulo 256.
QRgb patternAt(const QPoint& p)
{
    return qRgb(p.x() % 256, p.y() % 256, 128);
}

class PatternWindow : public QWidget
{
public:
    explicit PatternWindow(const QRect& area)
        : QWidget(nullptr, Qt::FramelessWindowHint), m_image(area.size(), QImage::Format_RGB32)
    {
        for (int y = 0; y < m_image.height(); ++y) {
            for (int x = 0; x < m_image.width(); ++x)
                m_image.setPixel(x, y, patternAt(QPoint(x, y) + area.topLeft()));
        }
        setGeometry(area);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_image); }

private:
    QImage m_image;
};

void sendMouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button, const QPoint& global)
{
    const QPoint local = widget->mapFromGlobal(global);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, local, global, button, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

class TestScreenshot : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("Screen capture needs an X server; this test runs under xvfb-run");
        m_pattern.reset(new PatternWindow(QGuiApplication::primaryScreen()->virtualGeometry()));
        m_pattern->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_pattern.data()));
        QTest::qWait(100);
    }

    void capture_data()
    {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<QRect>("area"); // empty: the screen's available area
        QTest::newRow("drag 200 x 100")
            << QPoint(100, 100) << QPoint(300, 200) << QRect(100, 100, 200, 100);
        QTest::newRow("drag up and left")
            << QPoint(300, 200) << QPoint(100, 100) << QRect(100, 100, 200, 100);
        QTest::newRow("3 x 3 is a click") << QPoint(500, 500) << QPoint(503, 503) << QRect();
        QTest::newRow("click") << QPoint(40, 30) << QPoint(40, 30) << QRect();
    }

    void capture()
    {
        QFETCH(QPoint, press);
        QFETCH(QPoint, release);
        QFETCH(QRect, area);
        if (area.isEmpty())
            area = QGuiApplication::screenAt(release)->availableGeometry();

        QPointer<Screenshot> shot = new Screenshot;
        QSignalSpy captured(shot.data(), &Screenshot::shootScreen);
        shot->show();
        QVERIFY(QTest::qWaitForWindowExposed(shot.data()));
        // The veil is drawn where the pattern was; without a compositor it is not see-through.
        QTest::qWait(50);

        sendMouse(shot, QEvent::MouseMove, Qt::NoButton, press);
        sendMouse(shot, QEvent::MouseButtonPress, Qt::LeftButton, press);
        sendMouse(shot, QEvent::MouseMove, Qt::LeftButton, (press + release) / 2);
        sendMouse(shot, QEvent::MouseMove, Qt::LeftButton, release);
        sendMouse(shot, QEvent::MouseButtonRelease, Qt::LeftButton, release);

        QTRY_COMPARE_WITH_TIMEOUT(captured.count(), 1, 5000);
        const QImage image = captured.first().first().value<QImage>();
        QCOMPARE(image.size(), area.size());
        // The pattern and nothing of the veil, in the right place.
        for (const QPoint& p : {QPoint(0, 0), QPoint(image.width() - 1, image.height() - 1),
                                QPoint(image.width() / 2, image.height() / 3)}) {
            QCOMPARE(QColor(image.pixel(p)), QColor(patternAt(p + area.topLeft())));
        }
        QTRY_VERIFY(shot.isNull());
        QCOMPARE(captured.count(), 1);
    }

    void escapeCancels()
    {
        QPointer<Screenshot> shot = new Screenshot;
        QSignalSpy captured(shot.data(), &Screenshot::shootScreen);
        shot->show();
        QVERIFY(QTest::qWaitForWindowExposed(shot.data()));
        QTest::keyClick(shot.data(), Qt::Key_A);
        QVERIFY(shot->isVisible());
        QTest::keyClick(shot.data(), Qt::Key_Escape);
        QTRY_VERIFY(shot.isNull());
        QCOMPARE(captured.count(), 0);
    }

    void rightButtonIgnored()
    {
        QPointer<Screenshot> shot = new Screenshot;
        QSignalSpy captured(shot.data(), &Screenshot::shootScreen);
        shot->show();
        QVERIFY(QTest::qWaitForWindowExposed(shot.data()));
        sendMouse(shot, QEvent::MouseButtonPress, Qt::RightButton, QPoint(100, 100));
        sendMouse(shot, QEvent::MouseButtonRelease, Qt::RightButton, QPoint(100, 100));
        QTest::qWait(400);
        QVERIFY(!shot.isNull());
        QVERIFY(shot->isVisible());
        QCOMPARE(captured.count(), 0);
        delete shot;
    }

private:
    QScopedPointer<PatternWindow> m_pattern;
};

QTEST_MAIN(TestScreenshot)
#include "tst_screenshot.moc"
