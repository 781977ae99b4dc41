// SPDX-License-Identifier: MIT
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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

int fail(const QString& message)
{
    std::fprintf(stderr, "voice-server: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
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
    const QCommandLineOption maxClients(QStringLiteral("max-clients"),
                                        QStringLiteral("Most clients at once."),
                                        QStringLiteral("n"), QString::number(options.maxClients));
    const QCommandLineOption maxChannels(QStringLiteral("max-channels"),
                                         QStringLiteral("Most channels."), QStringLiteral("n"),
                                         QString::number(options.maxChannels));
    const QCommandLineOption maxOutput(
        QStringLiteral("max-output-kib"),
        QStringLiteral("Unsent output per client before it is dropped, in KiB."),
        QStringLiteral("kib"), QString::number(options.maxOutputBytes / 1024));
    const QCommandLineOption helloTimeout(
        QStringLiteral("hello-timeout-ms"),
        QStringLiteral("Time a new connection has to introduce itself."), QStringLiteral("ms"),
        QString::number(options.helloTimeoutMs));
    const QCommandLineOption maxFile(QStringLiteral("max-file-mib"),
                                     QStringLiteral("Largest file in a channel's store, in MiB."),
                                     QStringLiteral("mib"),
                                     QString::number(options.files.maxFileBytes >> 20));
    const QCommandLineOption quota(
        QStringLiteral("quota-mib"), QStringLiteral("Size of each channel's file store, in MiB."),
        QStringLiteral("mib"), QString::number(options.files.quotaBytes >> 20));
    const QCommandLineOption maxTransfers(
        QStringLiteral("max-transfers"),
        QStringLiteral("File transfers one client may have started or running at once."),
        QStringLiteral("n"), QString::number(options.files.maxTransfersPerClient));
    const QCommandLineOption keyTtl(
        QStringLiteral("transfer-key-ttl-ms"),
        QStringLiteral("How long a file transfer key stays valid unused."), QStringLiteral("ms"),
        QString::number(options.files.transferKeyTtlMs));
    const QCommandLineOption transferIdle(
        QStringLiteral("transfer-idle-ms"),
        QStringLiteral("A file transfer without progress for this long is ended."),
        QStringLiteral("ms"), QString::number(options.files.transferIdleMs));
    parser.addOptions({listen, port, password, welcome, data, maxClients, maxChannels, maxOutput,
                       helloTimeout, maxFile, quota, maxTransfers, keyTtl, transferIdle});
    parser.process(app);

    auto number = [&parser](const QCommandLineOption& option, qint64 min, qint64 max, qint64* out) {
        bool ok = false;
        const qint64 value = parser.value(option).toLongLong(&ok);
        if (!ok || value < min || value > max)
            return false;
        *out = value;
        return true;
    };
    qint64 value = 0;
    if (!options.address.setAddress(parser.value(listen)))
        return fail(QStringLiteral("invalid --listen address"));
    if (!number(port, 0, 65535, &value))
        return fail(QStringLiteral("invalid --port"));
    options.port = quint16(value);
    if (!number(maxClients, 1, 65535, &value))
        return fail(QStringLiteral("invalid --max-clients"));
    options.maxClients = int(value);
    if (!number(maxChannels, 1, 1000000, &value))
        return fail(QStringLiteral("invalid --max-channels"));
    options.maxChannels = int(value);
    if (!number(maxOutput, 16, 1024 * 1024, &value))
        return fail(QStringLiteral("invalid --max-output-kib"));
    options.maxOutputBytes = value * 1024;
    if (!number(helloTimeout, 1, 3600 * 1000, &value))
        return fail(QStringLiteral("invalid --hello-timeout-ms"));
    options.helloTimeoutMs = int(value);
    if (!number(maxFile, 0, qint64(1) << 30, &value))
        return fail(QStringLiteral("invalid --max-file-mib"));
    options.files.maxFileBytes = value << 20;
    if (!number(quota, 0, qint64(1) << 30, &value))
        return fail(QStringLiteral("invalid --quota-mib"));
    options.files.quotaBytes = value << 20;
    if (!number(maxTransfers, 1, 1024, &value))
        return fail(QStringLiteral("invalid --max-transfers"));
    options.files.maxTransfersPerClient = int(value);
    if (!number(keyTtl, 1, 3600 * 1000, &value))
        return fail(QStringLiteral("invalid --transfer-key-ttl-ms"));
    options.files.transferKeyTtlMs = int(value);
    if (!number(transferIdle, 100, 3600 * 1000, &value))
        return fail(QStringLiteral("invalid --transfer-idle-ms"));
    options.files.transferIdleMs = int(value);
    options.password = parser.value(password);
    options.welcomeMessage =
        parser.value(welcome).left(voicesdk::protocol::limits::WelcomeMessageLength);
    options.dataDirectory = parser.value(data);

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
