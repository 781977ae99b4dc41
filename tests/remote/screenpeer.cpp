// SPDX-License-Identifier: MIT
// The person being helped, for the remote-help tests: the program's meeting view in a process of
// its own, on the display in DISPLAY, as nickname in the meeting channel. Lines out:
//   ready <own client ID>         connected, in the meeting, the view shown
//   banner <text>                 the sharing bar came up or changed
//   nobanner                      it went
//   frames <n>                    (asked) pictures the viewers have shown so far
// Lines in:
//   help                          the remote-help button is pressed
//   stop                          the bar's Stop button is pressed
//   fullscreen                    the viewer shows its screen on the whole display
//   frames                        how many pictures were shown
//   quit
//
//   screenpeer <port> <nickname> <channel>
#include "connectclient.h"
#include "meeting/meetingwidget.h"
#include "remote/screenviewer.h"
#include "remote/sharebanner.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <unistd.h>

using namespace MeetingSupport;

namespace {

ShareBanner* shownBanner()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* banner = qobject_cast<ShareBanner*>(widget); banner && banner->isVisible())
            return banner;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
    QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return 2;
    QTextStream out(stdout);
    const auto say = [&out](const QString& line) { out << line << Qt::endl; };

    if (!connectVoiceClient(quint16(args.at(1).toUInt()), args.at(2)))
        return 3;
    TsSDKClient* client = TsSDKClient::instance();
    // As the program sets itself after connecting: it answers its own remote-help requests.
    client->setRole(3);
    client->moveToChannel(args.at(3), QString());
    QElapsedTimer waited;
    waited.start();
    while (client->currentChannelName() != args.at(3) && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (client->currentChannelName() != args.at(3))
        return 4;
    QPointer<MeetingWidget> meeting = new MeetingWidget(nullptr);
    meeting->setGeometry(600, 120, 660, 560);
    meeting->show();
    say(QStringLiteral("ready %1").arg(client->ownClientID()));

    QString lastBanner;
    int framesShown = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        // Viewers open as members share: their pictures are counted.
        if (meeting) {
            for (ScreenViewer* viewer : meeting->findChildren<ScreenViewer*>()) {
                if (viewer->property("counted").toBool())
                    continue;
                viewer->setProperty("counted", true);
                QObject::connect(viewer->display(), &ScreenDisplay::frameShown, &app,
                                 [&framesShown] { ++framesShown; });
            }
        }
        ShareBanner* banner = shownBanner();
        const QString now = banner ? banner->text() : QString();
        if (now == lastBanner)
            return;
        lastBanner = now;
        say(banner ? QStringLiteral("banner ") + now : QStringLiteral("nobanner"));
    });
    watch.start(50);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[256] = {};
        const ssize_t got = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (got <= 0) {
            app.quit();
            return;
        }
        for (const QString& command :
             QString::fromLatin1(line, int(got)).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (command == QLatin1String("help") && meeting) {
                meeting->findChild<QToolButton*>(QStringLiteral("btnRemote"))->click();
            } else if (command == QLatin1String("stop")) {
                if (ShareBanner* banner = shownBanner())
                    banner->findChild<QPushButton*>(QStringLiteral("shareBannerStop"))->click();
            } else if (command == QLatin1String("fullscreen") && meeting) {
                if (auto* viewer = meeting->findChild<ScreenViewer*>())
                    viewer->setFullScreenShown(true);
            } else if (command == QLatin1String("frames")) {
                say(QStringLiteral("frames %1").arg(framesShown));
            } else if (command == QLatin1String("quit")) {
                app.quit();
            }
        }
    });
    const int status = app.exec();
    delete meeting.data();
    return status;
}
