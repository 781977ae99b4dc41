// SPDX-License-Identifier: MIT
#include "admin.h"
#include "epolldispatcher.h"
#include "recordpool.h"
#include "server.h"
#include "serverconfig.h"
#include "serverlog.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// Signals reach the logic thread as events, through a self-pipe: handlers do nothing else.
bool installSignalHandlers(QCoreApplication* app, std::function<void(int)> handle)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [handle] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0)
            handle(int(byte));
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGHUP, &action, nullptr) == 0;
}

// Every client holds a descriptor, and so do connections before their hello and transfers; the
// usual soft limit of 1024 would refuse clients long before the machine runs out. The soft limit
// goes up to the hard one, which only the administrator can raise.
void raiseDescriptorLimit(const voiceserver::ServerOptions& options)
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    const qint64 wanted = qint64(options.maxClients) + options.maxPendingConnections + 64;
    if (limit.rlim_cur != RLIM_INFINITY && qint64(limit.rlim_cur) < wanted)
        voiceserver::logLine(
            voiceserver::LogLevel::Warning,
            QStringLiteral("only %1 descriptors: fewer clients than --max-clients %2 fit (raise "
                           "the hard limit, e.g. LimitNOFILE or ulimit -Hn)")
                .arg(qint64(limit.rlim_cur))
                .arg(options.maxClients));
}

int fail(const QString& message, int status = voiceserver::ExitBadConfig)
{
    voiceserver::logFailure(QStringLiteral("voice-server: %1").arg(message));
    return status;
}

// systemd waits TimeoutStopSec for the end of a stop; a drain that may take longer asks for its
// own time and a margin to close what is left.
void notifyStopping(int drainTimeoutMs)
{
    const quint64 usec = (quint64(drainTimeoutMs) + 10000) * 1000;
    sd_notifyf(0, "STOPPING=1\nEXTEND_TIMEOUT_USEC=%llu", static_cast<unsigned long long>(usec));
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace voiceserver;
    if (!recordpool::install())
        qWarning("TLS record buffers come from the heap: no room for their own");
    // Before the application exists, so that its event loop runs on epoll.
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("voice-server"));
    app.setApplicationVersion(QStringLiteral(VOICE_SERVER_VERSION));
    std::signal(SIGPIPE, SIG_IGN);

    const QStringList arguments = app.arguments();
    StartOptions start;
    QString error;
    if (!loadStartOptions(arguments, &start, &error))
        return fail(error);
    if (!start.checkOnly)
        logLine(QStringLiteral("voice-server %1 starting").arg(app.applicationVersion()));
    if (const int status = prepareStart(&start, &error))
        return fail(error, status);
    if (start.checkOnly) {
        std::printf("%s: ok\n", qPrintable(start.configFile.isEmpty() ? QStringLiteral("options")
                                                                      : start.configFile));
        return 0;
    }
    const ServerOptions& options = start.server;

    raiseDescriptorLimit(options);
    // The endpoint comes first, so that it tells a balancer the server is starting.
    AdminEndpoint admin;
    if (options.adminPort >= 0) {
        if (!admin.listen(options.adminAddress, quint16(options.adminPort), &error))
            return fail(QStringLiteral("cannot serve the admin endpoint on %1:%2: %3")
                            .arg(options.adminAddress.toString())
                            .arg(options.adminPort)
                            .arg(error),
                        ExitMayPass);
        std::printf("admin %s %u\n", qPrintable(options.adminAddress.toString()),
                    unsigned(admin.port()));
        std::fflush(stdout);
    }

    Server server(options);
    const auto shutDown = [&] {
        admin.setState(ServiceState::Draining);
        notifyStopping(options.drainTimeoutMs);
        server.drain(options.drainTimeoutMs);
    };
    QObject::connect(&server, &Server::drained, &app, [&] {
        admin.setState(ServiceState::Stopping);
        app.quit();
    });
    bool stopping = false;
    const auto handleSignal = [&](int number) {
        if (number == SIGHUP) {
            sd_notify(0, "RELOADING=1");
            // The file again, for the welcome text; the certificate and key from where they
            // were found at the start.
            StartOptions again;
            QString why;
            if (!loadStartOptions(arguments, &again, &why)) {
                logLine(voiceserver::LogLevel::Error,
                        QStringLiteral("reload: %1; nothing changed").arg(why));
            } else {
                server.setWelcomeMessage(again.server.welcomeMessage);
                if (options.tls && !server.reloadTlsIdentity(&why))
                    logLine(voiceserver::LogLevel::Error,
                            QStringLiteral("reload: %1; the certificate in use stays").arg(why));
            }
            sd_notify(0, "READY=1");
        } else if (!stopping) {
            stopping = true;
            shutDown();
        } else {
            logLine(voiceserver::LogLevel::Notice, QStringLiteral("asked again: stopping now"));
            app.quit();
        }
    };
    if (!installSignalHandlers(&app, handleSignal))
        return fail(QStringLiteral("cannot install signal handlers"));
    bool mayPass = false;
    if (!server.listen(&error, &mayPass))
        return fail(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(options.address.toString())
                        .arg(options.port)
                        .arg(error),
                    mayPass ? ExitMayPass : ExitBadConfig);
    admin.setMetricsSource(&server, [&server] { return server.metrics(); });
    admin.setState(ServiceState::Serving);
    std::printf("listening %s %u\n", qPrintable(server.address().toString()),
                unsigned(server.port()));
    std::fflush(stdout);
    sd_notifyf(0, "READY=1\nSTATUS=listening on %s port %u",
               qPrintable(server.address().toString()), unsigned(server.port()));
    const int result = app.exec();
    admin.setState(ServiceState::Stopping);
    admin.setMetricsSource(nullptr, {});
    logLine(QStringLiteral("shutting down"));
    return result;
}
