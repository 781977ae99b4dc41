// SPDX-License-Identifier: MIT
// Live screens in a meeting, end to end, under Xvfb: the program's meeting view (this process,
// anna) on a real voice-server with a voice-cli member (bob) sharing a display of his own with a
// known picture, anna sharing her own display with bob watching and driving it, and remote help
// with the built-in launcher against the program's own view in a second process (carol, the
// person helped, on a display of hers that records the input landing on it). One connection
// for the run; the cases build on each other's state.
#include "chat/chatwidget.h"
#include "chat/messageview.h"
#include "connectclient.h"
#include "logrecorder.h"
#include "meeting/clientlistmodel.h"
#include "meeting/meetingwidget.h"
#include "remote/screensession.h"
#include "remote/screenviewer.h"
#include "remote/sharebanner.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "xvfbdisplay.h"

#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

using namespace MeetingSupport;

namespace {

constexpr int ShareTimeout = 20000;

// Quadrants of a known picture, as fill() draws them on a display of size.
const QList<QColor> Colours{QColor(220, 30, 30), QColor(30, 200, 40), QColor(40, 60, 220),
                            QColor(240, 240, 240)};

QList<QRect> quadrantsOf(const QSize& size)
{
    const int w = size.width() / 2;
    const int h = size.height() / 2;
    return {QRect(0, 0, w, h), QRect(w, 0, w, h), QRect(0, h, w, h), QRect(w, h, w, h)};
}

// A lossy codec's colours are near, not equal.
bool near(const QColor& a, const QColor& b, int tolerance = 28)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

bool near(const QJsonValue& probe, const QColor& colour)
{
    const QJsonArray rgb = probe.toArray();
    return rgb.size() == 3 &&
           near(QColor(rgb.at(0).toInt(), rgb.at(1).toInt(), rgb.at(2).toInt()), colour);
}

ShareBanner* shownBanner()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* banner = qobject_cast<ShareBanner*>(widget); banner && banner->isVisible())
            return banner;
    }
    return nullptr;
}

// A window of one colour, and a button, on this process's own display at known places.
class Target : public QWidget
{
public:
    Target() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    {
        setGeometry(40, 560, 560, 400);
        setAutoFillBackground(true);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(250, 140, 0));
        setPalette(colours);
        button = new QPushButton(QStringLiteral("Press me"), this);
        button->setGeometry(300, 250, 200, 100);
    }
    // Global places: a point of the plain colour, and the button's middle.
    QPoint plain() const { return geometry().topLeft() + QPoint(100, 100); }
    QPoint buttonMiddle() const { return geometry().topLeft() + button->geometry().center(); }
    QPushButton* button;
};

} // namespace

class TestScreenMeeting : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    TsSDKClient* m_client = nullptr;
    VoiceCliProcess m_bob;
    int m_bobId = 0;
    int m_annaId = 0;
    quint64 m_room = 0;
    XvfbDisplay m_bobScreen{QSize(1280, 720)};
    QPointer<MeetingWidget> m_meeting;

    ScreenSession* screens() const { return m_meeting->findChild<ChatWidget*>()->screenSession(); }
    QTabWidget* tabs() const { return m_meeting->findChild<QTabWidget*>("viewerTabs"); }
    QAbstractItemModel* members() const { return m_meeting->findChild<QListView*>()->model(); }

    // The member tile's value of role for nickname.
    QVariant tile(const QString& nickname, int role) const
    {
        for (int row = 0; row < members()->rowCount(); ++row) {
            const QModelIndex index = members()->index(row, 0);
            if (index.data(Qt::DisplayRole).toString() == nickname)
                return index.data(role);
        }
        return QVariant();
    }

    int statusCount(const QString& text) const
    {
        const QTextDocument* history =
            m_meeting->findChild<MessageView*>(QStringLiteral("msgViewWidget"))->document();
        int count = 0;
        for (QTextBlock block = history->begin(); block.isValid(); block = block.next())
            count += block.text() == text ? 1 : 0;
        return count;
    }
    bool hasStatus(const QString& text) const { return statusCount(text) > 0; }

    // The viewer of sharer's running share once it shows a picture.
    ScreenViewer* shownViewer(quint16 sharer)
    {
        ScreenViewer* viewer = nullptr;
        const bool shown = QTest::qWaitFor(
            [&] {
                viewer = screens()->viewer(sharer);
                // Not one of an earlier share that still says why it ended.
                return viewer && !viewer->hasEnded() && viewer->display()->frameNumber() > 0;
            },
            ShareTimeout);
        return shown ? viewer : nullptr;
    }

    bool moveBob(quint64 channel)
    {
        m_bob.command({QStringLiteral("move"), m_bobId, double(channel), QString()});
        return QTest::qWaitFor(
            [&] { return m_client->channelOfClient(anyID(m_bobId)) == channel; });
    }

private slots:
    void initTestCase()
    {
        LogRecorder::install();
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        QSettings().clear();
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        QVERIFY(m_bobScreen.start());
        const QList<QRect> parts = quadrantsOf(m_bobScreen.size());
        for (int i = 0; i < parts.size(); ++i)
            QVERIFY(m_bobScreen.fill(parts.at(i), Colours.at(i)));

        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        m_client->setRole(3);
        m_annaId = m_client->ownClientID();
        m_bob.setEnvironmentVariable(QStringLiteral("DISPLAY"), m_bobScreen.name());
        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        m_bobId =
            m_bob.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        m_bob.command(
            {QStringLiteral("createchannel"), QStringLiteral("tolvane_Screens"), QString(), 1});
        QVERIFY(QTest::qWaitFor([&] { return m_client->channelIdByName("tolvane_Screens") != 0; }));
        m_room = m_client->channelIdByName(QStringLiteral("tolvane_Screens"));
        m_client->moveToChannel(QStringLiteral("tolvane_Screens"), QString());
        QTRY_COMPARE(m_client->currentChannelName(), QStringLiteral("tolvane_Screens"));
        QVERIFY(moveBob(m_room));
        m_meeting = new MeetingWidget(nullptr);
        m_meeting->setGeometry(600, 40, 660, 560);
        m_meeting->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_meeting));
    }

    void watchingAMember()
    {
        // bob shares: anna's meeting shows his screen at once, his tile says so.
        QCOMPARE(m_bob.command({"screenshare", "start"}).value("error").toInt(), 0);
        ScreenViewer* viewer = shownViewer(quint16(m_bobId));
        QVERIFY(viewer);
        QCOMPARE(tabs()->currentWidget(), viewer);
        QTRY_VERIFY(tile(QStringLiteral("bob"), ClientListModel::SharingRole).toBool());
        QTRY_VERIFY(hasStatus(QStringLiteral("bob is sharing their screen.")));
        QVERIFY(viewer->findChild<QLabel*>(QStringLiteral("screenTitle"))->text().contains("bob"));
        ScreenDisplay* display = viewer->display();
        QTRY_COMPARE_WITH_TIMEOUT(display->remoteSize(), m_bobScreen.size(), ShareTimeout);
        // The picture as painted: each quadrant in its colour, the aspect kept.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QRect area = display->pictureRect();
                const QImage shown = display->grab().toImage().copy(area);
                const QList<QRect> parts = quadrantsOf(shown.size());
                for (int i = 0; i < parts.size(); ++i) {
                    if (!near(shown.pixelColor(parts.at(i).center()), Colours.at(i)))
                        return false;
                }
                return qAbs(area.width() * 720 - area.height() * 1280) <= 1280;
            }(),
            ShareTimeout);
        // Nobody gave anna control: her clicks stay here.
        QCOMPARE(viewer->control()->state(), ScreenControl::ViewOnly);

        // Full screen once bob's still screen sends nothing more: the picture grows at once
        // and a whole new one is asked for, which comes sharp at the new size.
        quint32 settled = display->frameNumber();
        int still = 0;
        for (int waited = 0; still < 10 && waited < ShareTimeout; waited += 100) {
            QTest::qWait(100);
            still = display->frameNumber() == settled ? still + 1 : 0;
            settled = display->frameNumber();
        }
        QVERIFY(still >= 10);
        const QSize small = display->picture().size();
        viewer->setFullScreenShown(true);
        QTRY_VERIFY(display->picture().width() > small.width());
        QTRY_VERIFY_WITH_TIMEOUT(display->frameNumber() > settled, ShareTimeout);
        viewer->setFullScreenShown(false);
        QTRY_COMPARE(display->picture().size(), small);

        // bob stops: the viewer says so, and goes.
        QPointer<ScreenViewer> watched(viewer);
        QCOMPARE(m_bob.command({"screenshare", "stop"}).value("error").toInt(), 0);
        QTRY_COMPARE(display->notice(), QStringLiteral("bob stopped sharing their screen."));
        QVERIFY(hasStatus(QStringLiteral("bob stopped sharing their screen.")));
        QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), ScreenViewer::LingerMs + 2000);
        QTRY_VERIFY(!tile(QStringLiteral("bob"), ClientListModel::SharingRole).toBool());
        QTRY_VERIFY(tabs()->isHidden());

        // Shared again, and bob leaves the meeting: that ends it too, and the line says why.
        QCOMPARE(m_bob.command({"screenshare", "start"}).value("error").toInt(), 0);
        viewer = shownViewer(quint16(m_bobId));
        QVERIFY(viewer);
        QVERIFY(moveBob(1));
        QTRY_VERIFY(hasStatus(QStringLiteral("bob left the meeting: their screen share ended.")));
        QCOMPARE(viewer->display()->notice(),
                 QStringLiteral("bob left the meeting: their screen share ended."));
        QVERIFY(moveBob(m_room));
    }

    void sharingTheOwnScreen()
    {
        Target target;
        target.show();
        QVERIFY(QTest::qWaitForWindowExposed(&target));
        QSignalSpy pressed(target.button, &QPushButton::clicked);

        // The button in the chat pane shares anna's display; the bar says so.
        auto* share = m_meeting->findChild<QToolButton*>(QStringLiteral("btnShareScreen"));
        QVERIFY(share->isEnabled());
        share->click();
        QTRY_VERIFY_WITH_TIMEOUT(shownBanner() != nullptr, ShareTimeout);
        QVERIFY(share->isChecked());
        QVERIFY(shownBanner()->text().contains(QStringLiteral("Screens")));
        QVERIFY(!m_bob
                     .waitForEvent("onScreenShareEvent",
                                   both(is("clientID", m_annaId), is("sharing", 1)), ShareTimeout)
                     .isEmpty());
        QTRY_VERIFY(tile(QStringLiteral("anna"), ClientListModel::SharingRole).toBool());

        // bob watches and sees the colour under his probe.
        const QPoint probe = target.plain();
        QCOMPARE(
            m_bob.command({"screenwatch", m_annaId, probe.x(), probe.y()}).value("error").toInt(),
            0);
        QVERIFY(!m_bob
                     .waitForEvent(
                         "onScreenFrame",
                         [](const QJsonObject& e) {
                             return near(e.value("probe"), QColor(250, 140, 0));
                         },
                         ShareTimeout)
                     .isEmpty());

        // anna hands control to bob from the bar; his click presses her button.
        ShareBanner* banner = shownBanner();
        QList<QAction*> members =
            banner->findChild<QToolButton*>(QStringLiteral("shareBannerGive"))->menu()->actions();
        QCOMPARE(members.size(), 1);
        QCOMPARE(members.first()->text(), QStringLiteral("bob"));
        members.first()->trigger();
        QVERIFY(!m_bob.waitForEvent("onScreenControlEvent", is("controllerID", m_bobId)).isEmpty());
        QTRY_VERIFY(banner->text().contains(QStringLiteral("bob controls it.")));
        QTRY_VERIFY(tile(QStringLiteral("bob"), ClientListModel::ControllingRole).toBool());
        const QPoint at = target.buttonMiddle();
        m_bob.send({"screeninput", m_annaId, "move", at.x(), at.y()});
        m_bob.send({"screeninput", m_annaId, "button", 1, 1});
        m_bob.send({"screeninput", m_annaId, "button", 1, 0});
        QTRY_COMPARE_WITH_TIMEOUT(pressed.size(), 1, 5000);

        // The stop key works from any window, typed by whoever is at the keyboard (here bob,
        // through the share).
        QVERIFY(banner->hasGlobalShortcut());
        for (int keysym : {0xffe3, 0xffe9, 0xffe1, 0x73})
            m_bob.send({"screeninput", m_annaId, "key", keysym, 1});
        for (int keysym : {0x73, 0xffe1, 0xffe9, 0xffe3})
            m_bob.send({"screeninput", m_annaId, "key", keysym, 0});
        QVERIFY(!m_bob
                     .waitForEvent("onScreenShareEvent",
                                   both(is("clientID", m_annaId), is("sharing", 0)), ShareTimeout)
                     .isEmpty());
        QTRY_VERIFY(shownBanner() == nullptr);
        QTRY_VERIFY(!share->isChecked());
        QTRY_VERIFY(hasStatus(QStringLiteral("You stopped sharing your screen.")));

        // And once more, stopped with the bar's button.
        share->click();
        QTRY_VERIFY_WITH_TIMEOUT(shownBanner() != nullptr, ShareTimeout);
        QVERIFY(!m_bob
                     .waitForEvent("onScreenShareEvent",
                                   both(is("clientID", m_annaId), is("sharing", 1)), ShareTimeout)
                     .isEmpty());
        shownBanner()->findChild<QPushButton*>(QStringLiteral("shareBannerStop"))->click();
        QVERIFY(!m_bob
                     .waitForEvent("onScreenShareEvent",
                                   both(is("clientID", m_annaId), is("sharing", 0)), ShareTimeout)
                     .isEmpty());
        QVERIFY(shownBanner() == nullptr);
    }

    void remoteHelp()
    {
        // carol, who asks for help, on a display of her own that records what lands on it.
        XvfbDisplay carolScreen(QSize(1280, 720));
        QVERIFY(carolScreen.start());
        const QList<QRect> parts = quadrantsOf(carolScreen.size());
        for (int i = 0; i < parts.size(); ++i)
            QVERIFY(carolScreen.fill(parts.at(i), Colours.at(i)));
        QVERIFY(carolScreen.watchInput());
        QTemporaryDir home;
        QProcess carol;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), carolScreen.name());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath("config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath("data"));
        // Whatever lies beside the test binary: carol helps with the built-in screens.
        environment.insert(QStringLiteral("MEETING_REMOTE_LAUNCHER"), QStringLiteral("builtin"));
        carol.setProcessEnvironment(environment);
        carol.setWorkingDirectory(home.path());
        carol.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        carol.start(QCoreApplication::applicationDirPath() + QStringLiteral("/screenpeer"),
                    {QString::number(m_server.port()), QStringLiteral("carol"),
                     QStringLiteral("tolvane_Screens")});
        QStringList said;
        const auto waitForLine = [&](const QString& start) {
            return QTest::qWaitFor(
                [&] {
                    while (carol.canReadLine())
                        said << QString::fromUtf8(carol.readLine()).trimmed();
                    for (const QString& line : said) {
                        if (line.startsWith(start))
                            return true;
                    }
                    return false;
                },
                ShareTimeout);
        };
        QVERIFY(waitForLine(QStringLiteral("ready ")));
        const quint16 carolId = said.filter(QStringLiteral("ready ")).first().mid(6).toUShort();
        QVERIFY(carolId != 0);

        // She presses the remote-help button: her screen is shared at once, and anna's meeting
        // shows it, ready to be controlled.
        carol.write("help\n");
        QVERIFY(waitForLine(QStringLiteral("banner ")));
        ScreenViewer* viewer = shownViewer(carolId);
        QVERIFY(viewer);
        QTRY_VERIFY(hasStatus(
            QStringLiteral("The other remote component \"MeetingScreen\" has been started. "
                           "Showing carol's screen: click it to take control.")));
        QTRY_COMPARE(viewer->control()->state(), ScreenControl::Open);
        QTRY_COMPARE_WITH_TIMEOUT(viewer->display()->remoteSize(), carolScreen.size(),
                                  ShareTimeout);

        // One click of anna's takes control and lands where she clicked.
        ScreenDisplay* display = viewer->display();
        const QRect area = display->pictureRect();
        // Left of carol's own meeting window, where her screen records what lands.
        const QPoint local = area.topLeft() + QPoint(area.width() / 5, area.height() * 3 / 4);
        QPoint remote;
        QVERIFY(ScreenMapping::toRemote(local, area, display->remoteSize(), &remote));
        QTest::mouseClick(display, Qt::LeftButton, {}, local);
        QTRY_COMPARE(viewer->control()->state(), ScreenControl::Controlling);
        const QString landed = QStringLiteral("press 1 at %1,%2").arg(remote.x()).arg(remote.y());
        QTRY_VERIFY2_WITH_TIMEOUT(carolScreen.input().contains(landed),
                                  qPrintable(landed + QStringLiteral(" not in: ") +
                                             carolScreen.input().join(QStringLiteral("; "))),
                                  5000);
        QVERIFY(viewer->findChild<QLabel*>(QStringLiteral("screenControlState"))
                    ->property("controlling")
                    .toBool());
        // carol sees who controls her screen.
        QVERIFY(waitForLine(QStringLiteral("banner ")) && QTest::qWaitFor([&] {
                    while (carol.canReadLine())
                        said << QString::fromUtf8(carol.readLine()).trimmed();
                    return said.last().contains(QStringLiteral("anna controls it."));
                }));

        // She stops it from the bar: anna's viewer says so.
        carol.write("stop\n");
        QTRY_COMPARE_WITH_TIMEOUT(
            display->notice(), QStringLiteral("carol stopped sharing their screen."), ShareTimeout);
        QVERIFY(hasStatus(QStringLiteral("carol stopped sharing their screen.")));
        QVERIFY(waitForLine(QStringLiteral("nobanner")));
        carol.write("quit\n");
        QVERIFY(carol.waitForFinished(10000));
    }

    void lostConnection()
    {
        QCOMPARE(m_bob.command({"screenshare", "start"}).value("error").toInt(), 0);
        QPointer<ScreenViewer> viewer = shownViewer(quint16(m_bobId));
        QVERIFY(viewer);
        const QString stopped = QStringLiteral("bob stopped sharing their screen.");
        const int stoppedBefore = statusCount(stopped);
        QVERIFY(m_server.stop());
        // The viewer says why, and goes; the line stays.
        const QString why =
            QStringLiteral("The connection to the server was lost: screen sharing ended.");
        QTRY_VERIFY_WITH_TIMEOUT(hasStatus(why), 15000);
        QVERIFY2(!viewer || (viewer->hasEnded() && viewer->display()->notice() == why),
                 qPrintable(viewer ? viewer->display()->notice() : QString()));
        // Not mistaken for bob stopping.
        QCOMPARE(statusCount(stopped), stoppedBefore);
    }

    void cleanupTestCase()
    {
        delete m_meeting.data();
        m_bob.quit();
    }
};

QTEST_MAIN(TestScreenMeeting)
#include "tst_screenmeeting.moc"
