// SPDX-License-Identifier: MIT
#include "chat/imageview.h"
#include "chat/imageviewer.h"

#include <QLabel>
#include <QScreen>
#include <QtTest>

using namespace MeetingSupport;

namespace {

QImage solidImage(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(40, 160, 90));
    return image;
}

void turnWheel(ImageView* view, int delta)
{
    const QPointF centre = QRectF(view->viewport()->rect()).center();
    QWheelEvent event(centre, view->viewport()->mapToGlobal(centre.toPoint()), QPoint(),
                      QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &event);
}

} // namespace

class TestImageViewer : public QObject
{
    Q_OBJECT
private slots:
    void zoomSteps_data()
    {
        // f fit, + zoom in, - zoom out, o original size, w / v the wheel away from / towards
        // the user, r a quarter turn to the right.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("status");
        QTest::newRow("fitted") << "f"
                                << "46%";
        QTest::newRow("in from 0.456") << "f+"
                                       << "50%";
        QTest::newRow("out from 0.456") << "f-"
                                        << "40%";
        QTest::newRow("out from 0.7") << "----"
                                      << "60%";
        QTest::newRow("in from 0.3") << "-------+"
                                     << "40%";
        QTest::newRow("nine outs") << "---------"
                                   << "10%";
        QTest::newRow("not below 0.1") << "-----------"
                                       << "10%";
        QTest::newRow("not above 50") << QString(495, QLatin1Char('+')) << "5000%";
        QTest::newRow("back to original") << "f++o"
                                          << "100%";
        QTest::newRow("wheel away") << "w"
                                    << "110%";
        QTest::newRow("wheel towards") << "vv"
                                       << "80%";
        QTest::newRow("quarter turn fitted") << "rf"
                                             << "46%";
        QTest::newRow("quarter turn, zoom in") << "rf+"
                                               << "50%";
        QTest::newRow("upside down, zoom out") << "rrf-"
                                               << "40%";
    }
    void zoomSteps()
    {
        QFETCH(QString, steps);
        QFETCH(QString, status);
        ImageViewer viewer;
        viewer.showImage(solidImage(QSize(1000, 1000)));
        // A viewport of 460 x 460 fits the picture at 0.456 (fitting leaves a margin of 2).
        ImageView* view = viewer.view();
        view->setParent(nullptr);
        view->resize(460, 460);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
        view->originalSize();
        for (const QChar step : steps) {
            switch (step.toLatin1()) {
            case 'f':
                view->fitToWindow();
                break;
            case '+':
                view->zoomIn();
                break;
            case '-':
                view->zoomOut();
                break;
            case 'o':
                view->originalSize();
                break;
            case 'w':
                turnWheel(view, 120);
                break;
            case 'v':
                turnWheel(view, -15);
                break;
            case 'r':
                view->rotateRight();
                break;
            }
        }
        QCOMPARE(viewer.findChild<QLabel*>("labelStatus")->text(), status);
        delete view;
    }

    void windowSize_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::newRow("small") << QSize(400, 100);
        QTest::newRow("large") << QSize(4000, 3000);
    }
    void windowSize()
    {
        QFETCH(QSize, picture);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        const QSize largest = available.size() - QSize(128, 128);
        ImageViewer viewer;
        viewer.showImage(solidImage(picture));
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        if (picture.width() < largest.width()) {
            QCOMPARE(viewer.width(), picture.width());
            QVERIFY(viewer.height() > picture.height());
        } else { // covering the largest size: the width meets it, the height goes past it
            QCOMPARE(viewer.width(), largest.width());
            QVERIFY(viewer.height() >= largest.height());
        }
        QVERIFY((viewer.geometry().center() - available.center()).manhattanLength() <= 2);

        // Fitted into the view as it is shown, and again after a resize.
        const auto fitted = [&] {
            const QSize room = viewer.view()->viewport()->size() - QSize(4, 4);
            return qMin(double(room.width()) / picture.width(),
                        double(room.height()) / picture.height());
        };
        QVERIFY(qAbs(viewer.view()->scale() - fitted()) < 1e-3);
        viewer.view()->zoomIn();
        viewer.resize(viewer.size() + QSize(10, 30));
        QTRY_VERIFY(qAbs(viewer.view()->scale() - fitted()) < 1e-3);
    }

    void closingKeys()
    {
        ImageViewer viewer;
        for (const Qt::Key key : {Qt::Key_A, Qt::Key_Q, Qt::Key_A, Qt::Key_Escape}) {
            // The window is kept for the next picture.
            viewer.showImage(solidImage(QSize(300, 200)));
            viewer.show();
            QVERIFY(QTest::qWaitForWindowExposed(&viewer));
            QTest::keyClick(&viewer, key);
            QCOMPARE(viewer.isVisible(), key == Qt::Key_A);
            QCOMPARE(viewer.image().isNull(), key != Qt::Key_A);
        }
    }
};

QTEST_MAIN(TestImageViewer)
#include "tst_imageviewer.moc"
