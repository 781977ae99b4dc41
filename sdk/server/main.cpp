// SPDX-License-Identifier: MIT
#include "epolldispatcher.h"
#include "server.h"
#include "serverlog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a self-pipe, so shutdown runs normal destructors.
bool installSignalHandlers(QCoreApplication* app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
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
            QStringLiteral("only %1 descriptors: fewer clients than --max-clients %2 fit (raise "
                           "the hard limit, e.g. LimitNOFILE or ulimit -Hn)")
                .arg(qint64(limit.rlim_cur))
                .arg(options.maxClients));
}

int fail(const QString& message)
{
    std::fprintf(stderr, "voice-server: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before the application exists, so that its event loop runs on epoll.
    QCoreApplication::setEventDispatcher(new voiceserver::EpollDispatcher);
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("voice-server"));
    std::signal(SIGPIPE, SIG_IGN);

    voiceserver::ServerOptions options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Voice server for the Meeting client."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on."),
                                    QStringLiteral("address"), options.address.toString());
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port (0 picks a free one)."),
                                  QStringLiteral("port"), QString::number(options.port));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Server password (empty: none)."),
                                      QStringLiteral("password"), options.password);
    const QCommandLineOption welcome(QStringLiteral("welcome"), QStringLiteral("Welcome message."),
                                     QStringLiteral("text"));
    const QCommandLineOption data(
        QStringLiteral("data"), QStringLiteral("Data directory (permanent channels, file stores)."),
        QStringLiteral("dir"), QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));

    // Every numeric option: its name, text, unit, default, bounds, and where it goes. A unit of
    // "mib" or "kib" scales the value into bytes.
    struct NumberOption
    {
        const char* name;
        const char* description;
        const char* unit;
        qint64 min;
        qint64 max;
        qint64* target; // holds the default until parsed
    };
    qint64 maxClients = options.maxClients, maxChannels = options.maxChannels;
    qint64 helloTimeout = options.helloTimeoutMs, idleTimeout = options.idleTimeoutMs;
    qint64 maxPending = options.maxPendingConnections;
    qint64 maxPendingPerAddress = options.maxPendingPerAddress;
    qint64 floodBurst = options.floodBurst, floodRate = options.floodRate;
    qint64 maxTransfers = options.files.maxTransfersPerClient;
    qint64 keyTtl = options.files.transferKeyTtlMs, transferIdle = options.files.transferIdleMs;
    qint64 ioThreads = options.ioThreads;
    NumberOption numbers[] = {
        {"max-clients", "Most clients at once.", "n", 1, 65535, &maxClients},
        {"max-channels", "Most channels.", "n", 1, 100000, &maxChannels},
        {"io-threads", "Threads that serve the connections (0: one per core).", "n", 0, 256,
         &ioThreads},
        {"max-output-kib", "Unsent output per client before it is dropped, in KiB.", "kib", 16,
         1024 * 1024, &options.maxOutputBytes},
        {"hello-timeout-ms", "Time a new connection has to introduce itself.", "ms", 1, 3600 * 1000,
         &helloTimeout},
        {"idle-timeout-ms", "A client silent for this long is dropped (clients ping).", "ms", 1000,
         24 * 3600 * 1000, &idleTimeout},
        {"max-pending", "Connections that have not introduced themselves yet, in all.", "n", 1,
         65535, &maxPending},
        {"max-pending-per-address", "The same from one address.", "n", 1, 65535,
         &maxPendingPerAddress},
        {"flood-burst", "Requests a client may send at once before it is held to the rate.", "n", 1,
         1000000, &floodBurst},
        {"flood-rate", "Requests a client may send per second, steadily.", "n", 1, 1000000,
         &floodRate},
        {"max-file-mib", "Largest file in a channel's store, in MiB.", "mib", 0, qint64(1) << 30,
         &options.files.maxFileBytes},
        {"quota-mib", "Size of each channel's file store, in MiB.", "mib", 0, qint64(1) << 30,
         &options.files.quotaBytes},
        {"server-quota-mib", "Size of all channels' file stores together, in MiB.", "mib", 0,
         qint64(1) << 30, &options.files.serverQuotaBytes},
        {"max-transfers", "File transfers one client may have started or running at once.", "n", 1,
         1024, &maxTransfers},
        {"transfer-key-ttl-ms", "How long a file transfer key stays valid unused.", "ms", 1,
         3600 * 1000, &keyTtl},
        {"transfer-idle-ms", "A file transfer without progress for this long is ended.", "ms", 100,
         3600 * 1000, &transferIdle},
    };
    auto scale = [](const char* unit) {
        return qstrcmp(unit, "mib") == 0 ? 20 : qstrcmp(unit, "kib") == 0 ? 10 : 0;
    };
    QList<QCommandLineOption> numberOptions;
    for (const NumberOption& number : numbers) {
        numberOptions.append(QCommandLineOption(
            QLatin1String(number.name), QLatin1String(number.description),
            QLatin1String(number.unit), QString::number(*number.target >> scale(number.unit))));
    }
    const QCommandLineOption noUdp(
        QStringLiteral("no-udp"),
        QStringLiteral("Offer no voice datagrams: voice travels on the control connections."));
    const QCommandLineOption certificate(
        QStringLiteral("cert"),
        QStringLiteral("TLS certificate (PEM; a chain may follow it). Default: server.crt in "
                       "the data directory, made at the first start."),
        QStringLiteral("file"));
    const QCommandLineOption key(
        QStringLiteral("key"),
        QStringLiteral("Private key of the certificate (PEM). Default: server.key in the data "
                       "directory."),
        QStringLiteral("file"));
    const QCommandLineOption noTls(
        QStringLiteral("no-tls"),
        QStringLiteral("No TLS and no voice encryption: everything travels in clear. Only for "
                       "tests that read the wire; clients refuse such a server unless "
                       "VOICESDK_PLAIN=1 is set for them."));
    parser.addOptions({listen, port, password, welcome, data, noUdp, certificate, key, noTls});
    parser.addOptions(numberOptions);
    parser.process(app);

    if (!options.address.setAddress(parser.value(listen)))
        return fail(QStringLiteral("invalid --listen address"));
    bool ok = false;
    const qint64 portValue = parser.value(port).toLongLong(&ok);
    if (!ok || portValue < 0 || portValue > 65535)
        return fail(QStringLiteral("invalid --port"));
    options.port = quint16(portValue);
    for (int i = 0; i < numberOptions.size(); ++i) {
        NumberOption& number = numbers[i];
        const qint64 value = parser.value(numberOptions.at(i)).toLongLong(&ok);
        if (!ok || value < number.min || value > number.max)
            return fail(QStringLiteral("invalid --%1").arg(QLatin1String(number.name)));
        *number.target = value << scale(number.unit);
    }
    options.maxClients = int(maxClients);
    options.maxChannels = int(maxChannels);
    options.ioThreads = int(ioThreads);
    options.helloTimeoutMs = int(helloTimeout);
    options.idleTimeoutMs = int(idleTimeout);
    options.maxPendingConnections = int(maxPending);
    options.maxPendingPerAddress = int(maxPendingPerAddress);
    options.floodBurst = int(floodBurst);
    options.floodRate = int(floodRate);
    options.files.maxTransfersPerClient = int(maxTransfers);
    options.files.transferKeyTtlMs = int(keyTtl);
    options.files.transferIdleMs = int(transferIdle);
    options.password = parser.value(password);
    options.welcomeMessage =
        parser.value(welcome).left(voicesdk::protocol::limits::WelcomeMessageLength);
    options.dataDirectory = parser.value(data);
    options.udp = !parser.isSet(noUdp);
    options.tls = !parser.isSet(noTls);
    options.certificateFile = parser.value(certificate);
    options.keyFile = parser.value(key);
    if (!options.tls && (parser.isSet(certificate) || parser.isSet(key)))
        return fail(QStringLiteral("--cert and --key make no sense with --no-tls"));

    raiseDescriptorLimit(options);
    if (!installSignalHandlers(&app))
        return fail(QStringLiteral("cannot install signal handlers"));
    voiceserver::Server server(options);
    QString error;
    if (!server.listen(&error))
        return fail(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(options.address.toString())
                        .arg(options.port)
                        .arg(error));
    std::printf("listening %s %u\n", qPrintable(server.address().toString()),
                unsigned(server.port()));
    std::fflush(stdout);
    const int result = app.exec();
    std::fprintf(stderr, "voice-server: shutting down\n");
    return result;
}
