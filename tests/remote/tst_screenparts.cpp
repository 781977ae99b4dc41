// SPDX-License-Identifier: MIT
// The program's side of live screens without a server: frames from the library's callback to
// the viewer's picture, the viewer's mouse and keys to the shared screen's pixels and keysyms,
// control taken on the first act, and the remote-help launcher's choices. The library is the
// real one; frames are handed to its callback as its screen thread would, and what would be sent
// to the server is recorded where ScreenControl reaches the library.
#include "logrecorder.h"
#include "remote/anydeskhandle.h"
#include "remote/builtinremotehandle.h"
#include "remote/screeninput.h"
#include "remote/screenviewer.h"
#include "tsclient/screenframes.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkevents.h"

#include <QFile>
#include <QKeyEvent>
#include <QSettings>
#include <QtTest>

#include <thread>

using namespace MeetingSupport;

namespace {

// A screen of four quadrants: red, green / blue, white, B, G, R, A bytes as the library gives.
QByteArray quadrants(int width, int height, int stride)
{
    QByteArray pixels(stride * height, '\0');
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uchar*>(pixels.data()) + y * stride;
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2;
            const bool lower = y >= height / 2;
            const QRgb colour = lower ? (right ? qRgb(255, 255, 255) : qRgb(0, 0, 255))
                                      : (right ? qRgb(0, 255, 0) : qRgb(255, 0, 0));
            row[x * 4 + 0] = uchar(qBlue(colour));
            row[x * 4 + 1] = uchar(qGreen(colour));
            row[x * 4 + 2] = uchar(qRed(colour));
            row[x * 4 + 3] = 255;
        }
    }
    return pixels;
}

// The colour in the middle of each quadrant of a picture.
QList<QRgb> quadrantColours(const QImage& image)
{
    const int w = image.width();
    const int h = image.height();
    return {image.pixel(w / 4, h / 4), image.pixel(3 * w / 4, h / 4), image.pixel(w / 4, 3 * h / 4),
            image.pixel(3 * w / 4, 3 * h / 4)};
}

const QList<QRgb> Expected{qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 255)};

// Whether the colours are the expected ones, give or take the scaler's rounding.
bool nearly(const QList<QRgb>& colours, const QList<QRgb>& expected = Expected)
{
    if (colours.size() != expected.size())
        return false;
    for (int i = 0; i < colours.size(); ++i) {
        const QRgb a = colours.at(i);
        const QRgb b = expected.at(i);
        if (qAbs(qRed(a) - qRed(b)) > 4 || qAbs(qGreen(a) - qGreen(b)) > 4 ||
            qAbs(qBlue(a) - qBlue(b)) > 4)
            return false;
    }
    return true;
}

ScreenInput in(ScreenInput::Kind kind, int a, int b, quint32 keysym = 0)
{
    ScreenInput input;
    input.kind = kind;
    input.a = a;
    input.b = b;
    input.keysym = keysym;
    return input;
}

// What a ScreenControl would have sent, and its questions for control.
struct Recorder
{
    QList<ScreenInput> sent;
    QList<bool> asked;

    ScreenControl::Link link()
    {
        return {[this](const ScreenInput& input) {
                    sent << input;
                    return unsigned(ERROR_ok);
                },
                [this](bool take) {
                    asked << take;
                    return unsigned(ERROR_ok);
                }};
    }
};

constexpr quint16 Self = 7;
constexpr quint16 Sharer = 3;

} // namespace

class TestScreenParts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogRecorder::install();
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        TsSDKClient::instance();
    }

    void framesAreFittedOnceAndReplacedNotQueued()
    {
        ScreenFrames frames;
        const QByteArray screen = quadrants(1920, 1080, 1920 * 4 + 64);
        // Nobody looks: nothing is made.
        QVERIFY(!frames.deliver(Sharer, 1, 1920, 1080, 1920 * 4 + 64,
                                reinterpret_cast<const uchar*>(screen.constData())));

        frames.setViewBox(Sharer, QSize(800, 800));
        const auto deliver = [&](quint32 n) {
            return frames.deliver(Sharer, n, 1920, 1080, 1920 * 4 + 64,
                                  reinterpret_cast<const uchar*>(screen.constData()));
        };
        QVERIFY(deliver(1));
        // The GUI has not taken the first: the second replaces it without a second notice.
        QVERIFY(!deliver(2));
        ScreenFrames::Frame frame;
        QVERIFY(frames.take(Sharer, &frame));
        QCOMPARE(frame.number, 2u);
        QCOMPARE(frame.source, QSize(1920, 1080));
        QCOMPARE(frame.image.size(), QSize(800, 450));
        QVERIFY(nearly(quadrantColours(frame.image)));
        QVERIFY(!frames.take(Sharer, &frame));

        // Once the GUI lets go of a picture, the next frame is written into it.
        const uchar* shown = frame.image.constBits();
        QVERIFY(deliver(3));
        ScreenFrames::Frame next;
        QVERIFY(frames.take(Sharer, &next));
        QVERIFY(next.image.constBits() != shown); // the shown one is still held
        frame = ScreenFrames::Frame();
        QVERIFY(deliver(4));
        QVERIFY(frames.take(Sharer, &frame));
        QCOMPARE(frame.image.constBits(), shown);

        // A larger size: the last picture is fitted again at once, not sharp (a new frame is
        // to be asked for), since no full-size copy of a shrunk frame is kept.
        frames.setViewBox(Sharer, QSize(1920, 1200));
        bool sharp = true;
        QVERIFY(frames.rescale(Sharer, &sharp));
        QVERIFY(!sharp);
        QVERIFY(frames.take(Sharer, &frame));
        QCOMPARE(frame.image.size(), QSize(1920, 1080));
        QCOMPARE(frame.number, 4u);
        QVERIFY(nearly(quadrantColours(frame.image)));
        // Shown 1:1, the frame is the picture: a smaller size later is fitted from it, sharp.
        frame = ScreenFrames::Frame();
        QVERIFY(deliver(5));
        QVERIFY(frames.take(Sharer, &frame));
        QCOMPARE(frame.image.size(), QSize(1920, 1080));
        frames.setViewBox(Sharer, QSize(960, 960));
        QVERIFY(frames.rescale(Sharer, &sharp));
        QVERIFY(sharp);
        QVERIFY(frames.take(Sharer, &frame));
        QCOMPARE(frame.image.size(), QSize(960, 540));
        QCOMPARE(frame.number, 5u);
        QVERIFY(nearly(quadrantColours(frame.image)));

        // Gone: frames are dropped and nothing is kept.
        frames.setViewBox(Sharer, QSize());
        QVERIFY(!deliver(6));
        QVERIFY(!frames.rescale(Sharer));
    }

    void badFramesAreDropped()
    {
        ScreenFrames frames;
        frames.setViewBox(Sharer, QSize(640, 480));
        const QByteArray pixels(64 * 64 * 4, '\x7f');
        const auto* data = reinterpret_cast<const uchar*>(pixels.constData());
        LogRecorder::take();
        QVERIFY(!frames.deliver(Sharer, 1, 64, 64, 64 * 4, nullptr));
        QVERIFY(!frames.deliver(Sharer, 1, 64, 64, 63 * 4, data)); // rows overlap
        QVERIFY(!frames.deliver(Sharer, 1, 0, 64, 64 * 4, data));
        QVERIFY(!frames.deliver(Sharer, 1, 7681, 1, 7681 * 4, data));
        QVERIFY(!frames.deliver(Sharer, 1, 1, 4321, 4, data));
        QCOMPARE(LogRecorder::take().filter(QStringLiteral("Dropping a screen frame")).size(), 5);
        ScreenFrames::Frame frame;
        QVERIFY(!frames.take(Sharer, &frame));
        QCOMPARE(ScreenFrames::fitted(QSize(100, 50), QSize(1000, 1000)), QSize(1000, 500));
        QCOMPARE(ScreenFrames::fitted(QSize(7680, 4320), QSize(20000, 20000)), QSize(7680, 4320));
        QCOMPARE(ScreenFrames::fitted(QSize(4000, 1), QSize(100, 100)), QSize(100, 1));
    }

    void mapping_data()
    {
        QTest::addColumn<QPoint>("local");
        QTest::addColumn<bool>("inside");
        QTest::addColumn<QPoint>("remote");
        // A 1920 x 1080 screen drawn at 960 x 540 from (20, 30), in a wider area.
        QTest::newRow("top left") << QPoint(20, 30) << true << QPoint(0, 0);
        QTest::newRow("bottom right") << QPoint(979, 569) << true << QPoint(1918, 1078);
        QTest::newRow("middle") << QPoint(500, 300) << true << QPoint(960, 540);
        QTest::newRow("left of it") << QPoint(19, 100) << false << QPoint();
        QTest::newRow("below it") << QPoint(100, 570) << false << QPoint();
    }
    void mapping()
    {
        QFETCH(QPoint, local);
        QFETCH(bool, inside);
        QFETCH(QPoint, remote);
        const QRect picture =
            ScreenMapping::pictureRect(QSize(1920, 1080), QRect(0, 30, 1000, 540));
        QCOMPARE(picture, QRect(20, 30, 960, 540));
        QPoint mapped;
        QCOMPARE(ScreenMapping::toRemote(local, picture, QSize(1920, 1080), &mapped), inside);
        if (inside) {
            QCOMPARE(mapped, remote);
            // And back, to within a pixel of the viewer.
            const QPoint back = ScreenMapping::toLocal(mapped, picture, QSize(1920, 1080));
            QVERIFY((back - local).manhattanLength() <= 2);
        }
    }

    void keysymsAndButtons()
    {
        using ScreenMapping::keysym;
        QCOMPARE(keysym(Qt::Key_A, QStringLiteral("A")), 0x61u);
        QCOMPARE(keysym(Qt::Key_C, QStringLiteral("\x03")), 0x63u); // Ctrl+C types a control
        QCOMPARE(keysym(Qt::Key_1, QStringLiteral("1")), 0x31u);
        QCOMPARE(keysym(Qt::Key_Return, QStringLiteral("\r")), 0xff0du);
        QCOMPARE(keysym(Qt::Key_F12, QString()), 0xffc9u);
        QCOMPARE(keysym(Qt::Key_Shift, QString()), 0xffe1u);
        QCOMPARE(keysym(Qt::Key_unknown, QStringLiteral("é")), 0xe9u);
        QCOMPARE(keysym(Qt::Key_unknown, QStringLiteral("€")), 0x010020acu);
        QCOMPARE(keysym(Qt::Key_unknown, QString()), 0u);
        // X's own keysym wins: Right Ctrl is told from the left one.
        const QKeyEvent right(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105,
                              ScreenMapping::ControlR, 0);
        QCOMPARE(keysym(right), ScreenMapping::ControlR);
        QCOMPARE(ScreenMapping::xButton(Qt::LeftButton), 1);
        QCOMPARE(ScreenMapping::xButton(Qt::RightButton), 3);
        QCOMPARE(ScreenMapping::xButton(Qt::BackButton), 8);
    }

    void controlTakenByTheFirstActLandsInOrder()
    {
        Recorder wire;
        ScreenControl control(Sharer, Self);
        control.setLink(wire.link());
        // View only: nothing goes out, nothing is asked.
        QVERIFY(!control.button(1, true, QPoint(5, 5)));
        QVERIFY(!control.key(0x61, true));
        QVERIFY(wire.sent.isEmpty() && wire.asked.isEmpty());

        // Open: a move alone takes nothing; the click asks, and waits with what follows.
        control.setControl(0, true);
        QCOMPARE(control.state(), ScreenControl::Open);
        QVERIFY(!control.move(QPoint(1, 1)));
        QVERIFY(control.button(1, true, QPoint(10, 20)));
        QCOMPARE(control.state(), ScreenControl::Asking);
        QVERIFY(control.button(1, false, QPoint(10, 20)));
        QVERIFY(control.key(0x61, true));
        QCOMPARE(wire.asked, QList<bool>{true});
        QVERIFY(wire.sent.isEmpty());
        // Another event without the grant does not end the wait.
        control.setControl(0, true);
        QCOMPARE(control.state(), ScreenControl::Asking);

        control.setControl(Self, true);
        QCOMPARE(control.state(), ScreenControl::Controlling);
        QCOMPARE(wire.sent, (QList<ScreenInput>{
                                in(ScreenInput::Move, 10, 20), in(ScreenInput::Button, 1, 1),
                                in(ScreenInput::Button, 1, 0), in(ScreenInput::Key, 0, 1, 0x61)}));
        wire.sent.clear();

        // Moves are merged; a click goes after the newest one.
        QVERIFY(control.move(QPoint(30, 30)));
        QVERIFY(control.move(QPoint(31, 32)));
        QVERIFY(control.button(3, true, QPoint(40, 41)));
        QCOMPARE(wire.sent, (QList<ScreenInput>{in(ScreenInput::Move, 40, 41),
                                                in(ScreenInput::Button, 3, 1)}));
        wire.sent.clear();

        // Letting go leaves nothing held over there.
        control.letGo();
        QCOMPARE(wire.sent.size(), 2);
        QVERIFY(wire.sent.contains(in(ScreenInput::Key, 0, 0, 0x61)));
        QVERIFY(wire.sent.contains(in(ScreenInput::Button, 3, 0)));
        QCOMPARE(wire.asked, (QList<bool>{true, false}));
        QCOMPARE(control.state(), ScreenControl::Open);
        QVERIFY(control.pressedKeys().isEmpty() && control.pressedButtons().isEmpty());
    }

    void controlWaitIsBoundedAndRefusalsDropIt()
    {
        Recorder wire;
        ScreenControl control(Sharer, Self);
        control.setLink(wire.link());
        control.setControl(0, true);
        QSignalSpy dropped(&control, &ScreenControl::dropped);
        QVERIFY(control.key(0x62, true));
        for (int i = 0; i < 2 * ScreenControl::MaxWaiting; ++i)
            control.text(QStringLiteral("x"));
        QCOMPARE(dropped.size(), 1);
        // Someone else was first: what waited is dropped, and no input goes out.
        control.setControl(9, false);
        QCOMPARE(control.state(), ScreenControl::HeldByOther);
        control.setControl(Self, false);
        QVERIFY(wire.sent.isEmpty());
        QVERIFY(control.pressedKeys().isEmpty());

        // The server refuses input: back to what the sharer said, and nothing waits.
        control.refused();
        QCOMPARE(control.state(), ScreenControl::ViewOnly);
        QVERIFY(!control.key(0x63, true));
    }

    void viewerShowsFramesAndMapsInput()
    {
        ScreenViewer viewer(Sharer, Self);
        Recorder wire;
        viewer.control()->setLink(wire.link());
        viewer.resize(1000, 640);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        ScreenDisplay* display = viewer.display();
        QSignalSpy shown(display, &ScreenDisplay::frameShown);

        // The library's screen thread hands over a frame; the GUI paints it at its own size.
        const QByteArray screen = quadrants(1920, 1080, 1920 * 4);
        std::thread([&] {
            TsSDKEvents::onScreenFrameEvent(1, Sharer, 42, 1920, 1080, 1920 * 4,
                                            reinterpret_cast<const uchar*>(screen.constData()),
                                            1000);
        }).join();
        QVERIFY(shown.wait());
        QTRY_COMPARE(display->picture().size(), display->pictureRect().size());
        QCOMPARE(display->remoteSize(), QSize(1920, 1080));
        QCOMPARE(display->frameNumber(), 42u);
        const QImage painted = display->grab().toImage();
        QRect area = display->pictureRect();
        QVERIFY(nearly(quadrantColours(painted.copy(area))));
        // Outside the picture: the letterbox, never stretched.
        QCOMPARE(area.width() * 1080 / 1920, area.height());

        // View only: the picture takes no input; a double click shows it on the whole screen
        // and Esc comes back.
        QTest::mouseClick(display, Qt::LeftButton, {}, area.center());
        QVERIFY(wire.sent.isEmpty() && wire.asked.isEmpty());
        QTest::mouseDClick(display, Qt::LeftButton, {}, area.center());
        QTRY_VERIFY(viewer.isFullScreenShown());
        QTest::keyClick(display, Qt::Key_Escape);
        QTRY_VERIFY(!viewer.isFullScreenShown());

        // In control: the click lands at the shared screen's pixel under it.
        QTRY_COMPARE(viewer.size(), QSize(1000, 640));
        QTest::qWait(2 * 60);
        QTRY_COMPARE(display->picture().size(), display->pictureRect().size());
        area = display->pictureRect();
        viewer.setControl(Self, false);
        QCOMPARE(viewer.control()->state(), ScreenControl::Controlling);
        const QPoint lowerRight =
            area.topLeft() + QPoint(area.width() * 3 / 4, area.height() * 3 / 4);
        QTest::mouseClick(display, Qt::LeftButton, {}, lowerRight);
        QCOMPARE(wire.sent.size(), 3);
        QCOMPARE(wire.sent.at(0).kind, ScreenInput::Move);
        QVERIFY2(qAbs(wire.sent.at(0).a - 1440) <= 2 && qAbs(wire.sent.at(0).b - 810) <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(wire.sent.at(0).a).arg(wire.sent.at(0).b)));
        QCOMPARE(wire.sent.at(1), in(ScreenInput::Button, 1, 1));
        QCOMPARE(wire.sent.at(2), in(ScreenInput::Button, 1, 0));
        wire.sent.clear();

        // Keys go there, Tab and Esc too; Right Ctrl alone keeps the keyboard here, where Esc
        // is the viewer's again.
        display->setFocus();
        QTest::keyClick(display, Qt::Key_Tab);
        QTest::keyClick(display, Qt::Key_Escape);
        QCOMPARE(wire.sent, (QList<ScreenInput>{in(ScreenInput::Key, 0, 1, 0xff09),
                                                in(ScreenInput::Key, 0, 0, 0xff09),
                                                in(ScreenInput::Key, 0, 1, 0xff1b),
                                                in(ScreenInput::Key, 0, 0, 0xff1b)}));
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier, 105,
                        ScreenMapping::ControlR, 0);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 105,
                          ScreenMapping::ControlR, 0);
        QApplication::sendEvent(display, &press);
        QApplication::sendEvent(display, &release);
        QVERIFY(!display->keyboardToRemote());
        QVERIFY(viewer.findChild<QWidget*>(QStringLiteral("screenKeyboard"))->isVisible());
        wire.sent.clear();
        QTest::keyClick(display, Qt::Key_A);
        QVERIFY(wire.sent.isEmpty());

        // Ended: it says why, takes nothing more, and goes.
        QPointer<ScreenViewer> alive(&viewer);
        viewer.end(QStringLiteral("Anna stopped sharing their screen."));
        QCOMPARE(display->notice(), QStringLiteral("Anna stopped sharing their screen."));
        QCOMPARE(viewer.control()->state(), ScreenControl::ViewOnly);
    }

    void remoteHelpLauncher()
    {
        quint16 id = 0;
        QVERIFY(BuiltinRemoteHandle::parseClientId(QStringLiteral("65535"), &id) && id == 65535);
        for (const QJsonValue& bad :
             {QJsonValue(QStringLiteral("0")), QJsonValue(QStringLiteral("65536")),
              QJsonValue(QStringLiteral("+5")), QJsonValue(QStringLiteral("5 ")),
              QJsonValue(QStringLiteral("")), QJsonValue(5)})
            QVERIFY2(!BuiltinRemoteHandle::parseClientId(bad, &id), qPrintable(bad.toString()));

        // A reply the built-in launcher cannot use shows why, and opens nothing.
        BuiltinRemoteHandle handle(nullptr);
        QString message;
        QVERIFY(!handle.handleReply({{"app_name", "MeetingScreen"}, {"cid", "x"}}, &message));
        QCOMPARE(message, QStringLiteral("The reply names no screen to show."));
        QVERIFY(!handle.handleReply({{"app_name", "MeetingScreen"}, {"error", "no"}}, &message));
        QCOMPARE(message, QStringLiteral("no"));

        // The program beside Meeting when it is there, the built-in screens when not; either
        // can be forced.
        const QString program = AnyDeskHandle::programFile(true);
        QFile::remove(program);
        QSettings().remove(QStringLiteral("remote/launcher"));
        QCOMPARE(chosenRemoteLauncher(1), RemoteLauncher::BuiltIn);
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(chosenRemoteLauncher(1), RemoteLauncher::External);
        QSettings().setValue(QStringLiteral("remote/launcher"), QStringLiteral("builtin"));
        QCOMPARE(chosenRemoteLauncher(1), RemoteLauncher::BuiltIn);
        qputenv("MEETING_REMOTE_LAUNCHER", "External");
        QCOMPARE(chosenRemoteLauncher(1), RemoteLauncher::External);
        qunsetenv("MEETING_REMOTE_LAUNCHER");
        QFile::remove(program);
        QSettings().setValue(QStringLiteral("remote/launcher"), QStringLiteral("external"));
        QCOMPARE(chosenRemoteLauncher(1), RemoteLauncher::External);
        QSettings().remove(QStringLiteral("remote/launcher"));
    }
};

QTEST_MAIN(TestScreenParts)
#include "tst_screenparts.moc"
