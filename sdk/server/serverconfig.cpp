// SPDX-License-Identifier: MIT
#include "serverconfig.h"

#include "protocol.h"
#include "redislink.h"
#include "serverlog.h"
#include "tlsidentity.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <functional>

namespace voiceserver {

namespace {

constexpr qint64 MaxConfigBytes = 1024 * 1024;
// What README and --help print: a server that others reach should not keep it.
const QLatin1String DefaultPassword("mossel");
// Keys that say the same thing two ways: one source may give only one of each pair.
const std::pair<const char*, const char*> Alternatives[] = {
    {"password", "password-file"}, {"cluster-password", "cluster-password-file"}};

// One option, the same on the command line and in the file.
struct Setting
{
    QString name;
    QString description;
    QString valueName;   // empty: a flag (true or false in the file)
    QString defaultText; // what --help shows; empty: none
    // Checks a value and stores it; false with the reason.
    std::function<bool(const QString& value, QString* why)> apply;
};

bool parseFlag(const QString& text, bool* value)
{
    const QString word = text.toLower();
    if (word == QLatin1String("true") || word == QLatin1String("yes") ||
        word == QLatin1String("on") || word == QLatin1String("1"))
        *value = true;
    else if (word == QLatin1String("false") || word == QLatin1String("no") ||
             word == QLatin1String("off") || word == QLatin1String("0"))
        *value = false;
    else
        return false;
    return true;
}

bool parsePort(const QString& text, int min, int* port, QString* why)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > 65535) {
        *why = QStringLiteral("'%1' is not a port (%2 to 65535)").arg(text).arg(min);
        return false;
    }
    *port = value;
    return true;
}

// "PORT" (on 127.0.0.1), "ADDRESS:PORT" or "[IPv6]:PORT"; empty: off.
bool parseAdminListen(const QString& text, QHostAddress* address, int* port, QString* why)
{
    if (text.isEmpty()) {
        *port = -1;
        return true;
    }
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress parsed;
    if (!parsed.setAddress(host)) {
        *why = QStringLiteral("'%1' is not an address (ADDRESS:PORT, or a port alone)").arg(text);
        return false;
    }
    if (!parsePort(text.mid(colon + 1), 0, port, why))
        return false;
    *address = parsed;
    return true;
}

// "ADDRESS", "ADDRESS:PORT", "[IPv6]" or "[IPv6]:PORT" (port 0: none given); empty: off. An
// address, not a name: every client would have to look a name up.
bool parsePublicAddress(const QString& text, QString* address, int* port, QString* why)
{
    address->clear();
    *port = 0;
    if (text.isEmpty())
        return true;
    QString host = text;
    QString portText;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        host = text.mid(1, close - 1);
        if (close < 0 || (close + 1 < text.size() && text.at(close + 1) != QLatin1Char(':')))
            host.clear();
        portText = text.mid(close + 2);
    } else if (text.count(QLatin1Char(':')) == 1) {
        host = text.section(QLatin1Char(':'), 0, 0);
        portText = text.section(QLatin1Char(':'), 1);
    }
    QHostAddress parsed;
    if (host.isEmpty() || !parsed.setAddress(host)) {
        *why = QStringLiteral("'%1' is not ADDRESS[:PORT] (an IP address)").arg(text);
        return false;
    }
    if (!portText.isEmpty() && !parsePort(portText, 1, port, why))
        return false;
    *address = parsed.toString();
    return true;
}

// A DNS name as RFC 1123 has it: labels of letters, digits and inner hyphens, the last one not
// all digits (so "999.1.1.1" is a bad address, not a name).
bool isHostName(const QString& text)
{
    static const QRegularExpression label(
        QStringLiteral("^[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    const QStringList labels = text.split(QLatin1Char('.'));
    if (text.size() > 253 || digits.match(labels.last()).hasMatch())
        return false;
    return std::all_of(labels.cbegin(), labels.cend(),
                       [](const QString& part) { return label.match(part).hasMatch(); });
}

// A secret kept in a file of its own, readable by the service alone: its one line, without
// the line break. An empty file is refused: no password is said with an empty "password".
std::function<bool(const QString&, QString*)> secretFile(QString* target, int limit)
{
    return [target, limit](const QString& value, QString* why) {
        QFile file(value);
        if (value.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            *why = QStringLiteral("cannot read '%1': %2").arg(value, file.errorString());
            return false;
        }
        const QByteArray bytes = file.read(64 * 1024);
        const int lineEnd = bytes.indexOf('\n');
        QByteArray line = lineEnd < 0 ? bytes : bytes.left(lineEnd);
        if (line.endsWith('\r'))
            line.chop(1);
        const QString secret = QString::fromUtf8(line);
        if (secret.isEmpty() || secret.size() > limit ||
            (lineEnd >= 0 && !bytes.mid(lineEnd + 1).trimmed().isEmpty()) || !file.atEnd()) {
            *why = QStringLiteral("'%1' must hold one line: a password of 1 to %2 characters")
                       .arg(value)
                       .arg(limit);
            return false;
        }
        *target = secret;
        return true;
    };
}

Setting text(const char* name, const char* description, const char* valueName,
             const QString& defaultText, std::function<bool(const QString&, QString*)> apply)
{
    return Setting{QLatin1String(name), QLatin1String(description), QLatin1String(valueName),
                   defaultText, std::move(apply)};
}

Setting flag(const char* name, const char* description, bool* target)
{
    return Setting{QLatin1String(name), QLatin1String(description), QString(), QString(),
                   [target](const QString& value, QString* why) {
                       if (parseFlag(value, target))
                           return true;
                       *why = QStringLiteral("'%1' is neither true nor false").arg(value);
                       return false;
                   }};
}

// A whole number within bounds; a unit of "kib" or "mib" scales it into bytes.
template <typename T>
Setting number(const char* name, const char* description, const char* unit, qint64 min, qint64 max,
               T* target)
{
    const int shift = qstrcmp(unit, "mib") == 0 ? 20 : qstrcmp(unit, "kib") == 0 ? 10 : 0;
    return Setting{
        QLatin1String(name), QLatin1String(description), QLatin1String(unit),
        QString::number(qint64(*target) >> shift), [=](const QString& value, QString* why) {
            bool ok = false;
            const qint64 parsed = value.toLongLong(&ok);
            if (!ok) {
                *why = QStringLiteral("'%1' is not a whole number").arg(value);
                return false;
            }
            if (parsed < min || parsed > max) {
                *why =
                    QStringLiteral("%1 is out of range (%2 to %3)").arg(parsed).arg(min).arg(max);
                return false;
            }
            *target = T(parsed << shift);
            return true;
        }};
}

// Flags are stored the other way round: "no-udp" clears udp later.
QList<Setting> settingsOf(ServerOptions* o, QString* listenName, bool* noUdp, bool* noTls)
{
    using namespace voicesdk::protocol;
    auto bounded = [](QString* target, int limit) {
        return [target, limit](const QString& value, QString* why) {
            if (value.size() > limit) {
                *why = QStringLiteral("longer than %1 characters").arg(limit);
                return false;
            }
            *target = value;
            return true;
        };
    };
    auto path = [](QString* target) {
        return [target](const QString& value, QString* why) {
            if (value.isEmpty() || value.contains(QChar(0))) {
                *why = QStringLiteral("not a path");
                return false;
            }
            *target = value;
            return true;
        };
    };
    FileServiceLimits& files = o->files;
    return {
        text("listen",
             "Address to listen on, or a host name, resolved at the start (of several "
             "addresses, the first IPv4 one).",
             "address", o->address.toString(),
             [o, listenName](const QString& value, QString* why) {
                 listenName->clear();
                 if (o->address.setAddress(value))
                     return true;
                 if (isHostName(value)) {
                     *listenName = value;
                     return true;
                 }
                 *why = QStringLiteral("'%1' is neither an address nor a host name").arg(value);
                 return false;
             }),
        text("port", "Port (0 picks a free one).", "port", QString::number(o->port),
             [o](const QString& value, QString* why) {
                 int port = 0;
                 if (!parsePort(value, 0, &port, why))
                     return false;
                 o->port = quint16(port);
                 return true;
             }),
        text("password", "Server password (empty: none).", "password", o->password,
             bounded(&o->password, limits::PasswordLength)),
        text("password-file",
             "File holding the server password on its one line, instead of password: kept out "
             "of process lists and of the config file.",
             "file", QString(), secretFile(&o->password, limits::PasswordLength)),
        text("welcome", "Welcome message.", "text", QString(),
             bounded(&o->welcomeMessage, limits::WelcomeMessageLength)),
        text("data",
             "Data directory (permanent channels, file stores, the certificate). Default: "
             "$STATE_DIRECTORY under systemd, else the user's data folder, "
             "~/.local/share/voice-server.",
             "dir", QString(), path(&o->dataDirectory)),
        text("cert",
             "TLS certificate (PEM; a chain may follow it). Default: server.crt in the data "
             "directory, made at the first start.",
             "file", QString(), path(&o->certificateFile)),
        text("key",
             "Private key of the certificate (PEM). Default: server.key in the data directory.",
             "file", QString(), path(&o->keyFile)),
        flag("no-udp", "Offer no voice datagrams: voice travels on the control connections.",
             noUdp),
        flag("no-tls",
             "No TLS and no voice encryption: everything travels in clear. Only for tests that "
             "read the wire; clients refuse such a server unless VOICESDK_PLAIN=1 is set for "
             "them.",
             noTls),
        number("max-clients", "Most clients at once.", "n", 1, 65535, &o->maxClients),
        number("max-channels", "Most channels.", "n", 1, 100000, &o->maxChannels),
        number("io-threads", "Threads that serve the connections (0: one per core).", "n", 0, 256,
               &o->ioThreads),
        number("max-output-kib", "Unsent output per client before it is dropped, in KiB.", "kib",
               16, 1024 * 1024, &o->maxOutputBytes),
        number("hello-timeout-ms", "Time a new connection has to introduce itself.", "ms", 1,
               3600 * 1000, &o->helloTimeoutMs),
        number("idle-timeout-ms", "A client silent for this long is dropped (clients ping).", "ms",
               1000, 24 * 3600 * 1000, &o->idleTimeoutMs),
        number("max-pending", "Connections that have not introduced themselves yet, in all.", "n",
               1, 65535, &o->maxPendingConnections),
        number("max-pending-per-address", "The same from one address.", "n", 1, 65535,
               &o->maxPendingPerAddress),
        number("flood-burst", "Requests a client may send at once before it is held to the rate.",
               "n", 1, 1000000, &o->floodBurst),
        number("flood-rate", "Requests a client may send per second, steadily.", "n", 1, 1000000,
               &o->floodRate),
        number("max-file-mib", "Largest file in a channel's store, in MiB.", "mib", 0,
               qint64(1) << 30, &files.maxFileBytes),
        number("quota-mib", "Size of each channel's file store, in MiB.", "mib", 0, qint64(1) << 30,
               &files.quotaBytes),
        number("server-quota-mib", "Size of all channels' file stores together, in MiB.", "mib", 0,
               qint64(1) << 30, &files.serverQuotaBytes),
        number("max-transfers", "File transfers one client may have started or running at once.",
               "n", 1, 1024, &files.maxTransfersPerClient),
        number("transfer-key-ttl-ms", "How long a file transfer key stays valid unused.", "ms", 1,
               3600 * 1000, &files.transferKeyTtlMs),
        number("transfer-idle-ms", "A file transfer without progress for this long is ended.", "ms",
               100, 3600 * 1000, &files.transferIdleMs),
        text("admin-listen",
             "Serve /health and /metrics over plain HTTP on ADDRESS:PORT (a port alone: on "
             "127.0.0.1). Off unless given.",
             "address:port", QString(),
             [o](const QString& value, QString* why) {
                 return parseAdminListen(value, &o->adminAddress, &o->adminPort, why);
             }),
        text("cluster",
             "Join a cluster of instances sharing their clients and channels through Redis at "
             "redis://HOST[:PORT][/DB] or unix:PATH. Every instance of a cluster uses the same "
             "data directory. Off unless given.",
             "url", QString(),
             [o](const QString& value, QString* why) {
                 RedisEndpoint endpoint;
                 if (!value.isEmpty() && !parseRedisUrl(value, &endpoint, why))
                     return false;
                 o->cluster = value;
                 return true;
             }),
        text("public-address",
             "Where clients send voice datagrams to this instance, ADDRESS[:PORT] (default port: "
             "the listening one), told in the welcome: needed behind a front that carries only "
             "TCP. Default: the address the client connected to.",
             "address", QString(),
             [o](const QString& value, QString* why) {
                 return parsePublicAddress(value, &o->publicAddress, &o->publicPort, why);
             }),
        text("cluster-password",
             "Redis's password (in the config file only, or VOICE_SERVER_REDIS_PASSWORD).",
             "password", QString(), bounded(&o->clusterPassword, 512)),
        text("cluster-password-file", "File holding Redis's password on its one line.", "file",
             QString(), secretFile(&o->clusterPassword, 512)),
        number("cluster-hold-ms",
               "How long a text for another instance waits through a Redis outage before its "
               "sender is told that it was not delivered.",
               "ms", 1000, 600 * 1000, &o->clusterHoldMs),
        number("drain-timeout-ms",
               "On SIGTERM, how long clients told to leave get before the server closes on them.",
               "ms", 0, 600 * 1000, &o->drainTimeoutMs),
    };
}

// The key that says the same as this one another way, or an empty string.
QString alternativeOf(const QString& key)
{
    for (const auto& [first, second] : Alternatives) {
        if (key == QLatin1String(first))
            return QLatin1String(second);
        if (key == QLatin1String(second))
            return QLatin1String(first);
    }
    return QString();
}

// Reads the file's "key = value" lines into the settings. Lines starting with '#' or ';' are
// comments; a value in double quotes keeps its spaces.
bool applyFile(const QString& fileName, const QList<Setting>& settings, QString* error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    QByteArray bytes = file.read(MaxConfigBytes + 1);
    if (bytes.size() > MaxConfigBytes) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(fileName).arg(MaxConfigBytes);
        return false;
    }
    // The byte-order mark that some editors put first is no part of the text.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const QString content = QString::fromUtf8(bytes);
    if (content.toUtf8() != bytes) {
        *error = QStringLiteral("%1: not UTF-8 text").arg(fileName);
        return false;
    }
    QHash<QString, int> seenAt;
    const QStringList lines = content.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        const auto fail = [&](const QString& what) {
            *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(lineNumber).arg(what);
            return false;
        };
        if (line.startsWith(QLatin1Char('[')))
            return fail(QStringLiteral("groups are not used: every key stands on its own"));
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(QStringLiteral("expected 'key = value'"));
        const QString key = line.left(equals).trimmed();
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        const auto setting = std::find_if(settings.cbegin(), settings.cend(),
                                          [&](const Setting& s) { return s.name == key; });
        if (setting == settings.cend())
            return fail(QStringLiteral("%1: unknown key").arg(key));
        if (seenAt.contains(key))
            return fail(QStringLiteral("%1: already set on line %2").arg(key).arg(seenAt[key]));
        const QString other = alternativeOf(key);
        if (seenAt.contains(other))
            return fail(QStringLiteral("%1: %2 is set on line %3; give one of them")
                            .arg(key, other)
                            .arg(seenAt[other]));
        seenAt.insert(key, lineNumber);
        QString why;
        if (!setting->apply(value, &why))
            return fail(QStringLiteral("%1: %2").arg(key, why));
    }
    return true;
}

} // namespace

bool loadStartOptions(const QStringList& arguments, StartOptions* start, QString* error)
{
    *start = StartOptions();
    ServerOptions& options = start->server;
    bool noUdp = false, noTls = false;
    const QList<Setting> settings = settingsOf(&options, &start->listenName, &noUdp, &noTls);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Voice server for the Meeting client."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("INI file of options: one 'key = value' a line, the keys being the long "
                       "option names. Options given on the command line win over it."),
        QStringLiteral("file"));
    const QCommandLineOption check(QStringLiteral("check-config"),
                                   QStringLiteral("Check the options and the file, then exit."));
    parser.addOptions({config, check});
    QList<QCommandLineOption> lineOptions;
    for (const Setting& setting : qAsConst(settings)) {
        if (setting.valueName.isEmpty())
            lineOptions.append(QCommandLineOption(setting.name, setting.description));
        else
            lineOptions.append(QCommandLineOption(
                setting.name,
                setting.defaultText.isEmpty() ? setting.description
                                              : QStringLiteral("%1 (default: %2)")
                                                    .arg(setting.description, setting.defaultText),
                setting.valueName, setting.defaultText));
    }
    parser.addOptions(lineOptions);
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return false;
    }
    start->checkOnly = parser.isSet(check);
    for (const auto& [first, second] : Alternatives) {
        if (parser.isSet(QLatin1String(first)) && parser.isSet(QLatin1String(second))) {
            *error = QStringLiteral("--%1 and --%2: give one of them").arg(first, second);
            return false;
        }
    }
    if (parser.isSet(config)) {
        start->configFile = parser.value(config);
        if (!applyFile(start->configFile, settings, error))
            return false;
    }
    for (int i = 0; i < settings.size(); ++i) {
        const Setting& setting = settings.at(i);
        if (!parser.isSet(lineOptions.at(i)))
            continue;
        // Process lists show every argument.
        if (setting.name == QLatin1String("cluster-password")) {
            *error = QStringLiteral("--cluster-password: give it in the config file or in "
                                    "VOICE_SERVER_REDIS_PASSWORD, where others cannot read it");
            return false;
        }
        QString why;
        const QString value =
            setting.valueName.isEmpty() ? QStringLiteral("true") : parser.value(lineOptions.at(i));
        if (!setting.apply(value, &why)) {
            *error = QStringLiteral("--%1: %2").arg(setting.name, why);
            return false;
        }
    }
    if (options.clusterPassword.isEmpty())
        options.clusterPassword = qEnvironmentVariable("VOICE_SERVER_REDIS_PASSWORD");
    options.udp = !noUdp;
    options.tls = !noTls;
    if (options.certificateFile.isEmpty() != options.keyFile.isEmpty()) {
        *error = QStringLiteral("cert and key go together");
        return false;
    }
    if (!options.tls && !options.certificateFile.isEmpty()) {
        *error = QStringLiteral("cert and key make no sense with no-tls");
        return false;
    }
    // Plain HTTP on the voice port would answer clients that expect TLS, or not bind at all.
    if (options.adminPort > 0 && options.adminPort == options.port) {
        *error = QStringLiteral("admin-listen: port %1 is the voice port; give the endpoint "
                                "a port of its own")
                     .arg(options.port);
        return false;
    }
    if (options.dataDirectory.isEmpty())
        options.dataDirectory = qEnvironmentVariable("STATE_DIRECTORY");
    if (options.dataDirectory.isEmpty())
        options.dataDirectory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return true;
}

namespace {

// A directory the server can write in: there already, made now (create), or, for a check, one
// that can be made where the nearest existing parent is. Probed by writing, as root can pass
// every permission and still meet a read-only file system.
bool usableDirectory(const QString& path, bool create, QString* error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    if (create && !QFileInfo::exists(absolute))
        QDir().mkpath(absolute); // why it failed is found below
    QString existing = absolute;
    while (!QFileInfo::exists(existing))
        existing = QFileInfo(existing).absolutePath();
    if (!QFileInfo(existing).isDir()) {
        *error = QStringLiteral("data directory %1: %2 is not a directory").arg(path, existing);
        return false;
    }
    if (existing != absolute) {
        const QTemporaryDir probe(existing + QStringLiteral("/.voice-server-check-XXXXXX"));
        if (!probe.isValid() || create) {
            *error = QStringLiteral("data directory %1: cannot create it in %2 (%3)")
                         .arg(path, existing, probe.errorString());
            return false;
        }
        return true;
    }
    QTemporaryFile probe(absolute + QStringLiteral("/.voice-server-check-XXXXXX"));
    if (!probe.open()) {
        *error = QStringLiteral("data directory %1: cannot write in it (%2)")
                     .arg(path, probe.errorString());
        return false;
    }
    return true;
}

} // namespace

int prepareStart(StartOptions* start, QString* error)
{
    ServerOptions& options = start->server;
    if (!start->listenName.isEmpty()) {
        const QHostInfo info = QHostInfo::fromName(start->listenName);
        const QList<QHostAddress> addresses = info.addresses();
        if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
            *error = QStringLiteral("listen: cannot resolve '%1': %2")
                         .arg(start->listenName, info.errorString());
            // A name that does not exist is a mistake; a name server that does not answer yet
            // may answer at the next try.
            return info.error() == QHostInfo::HostNotFound ? ExitBadConfig : ExitMayPass;
        }
        const auto v4 = std::find_if(addresses.cbegin(), addresses.cend(), [](const auto& a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        options.address = v4 != addresses.cend() ? *v4 : addresses.first();
        logLine(
            QStringLiteral("listen: %1 is %2").arg(start->listenName, options.address.toString()));
    }
    if (!options.dataDirectory.isEmpty() &&
        !usableDirectory(options.dataDirectory, !start->checkOnly, error))
        return ExitBadConfig;
    // A start reads the certificate and key once the admin endpoint tells it is starting; a
    // check reads them here. Files that are not there yet are made at the first start.
    const QDir data(options.dataDirectory);
    const bool made = !options.dataDirectory.isEmpty() &&
                      (QFileInfo::exists(data.filePath(QStringLiteral("server.crt"))) ||
                       QFileInfo::exists(data.filePath(QStringLiteral("server.key"))));
    if (start->checkOnly && options.tls && (!options.certificateFile.isEmpty() || made)) {
        TlsIdentity identity;
        QString note;
        if (!loadTlsIdentity(options.dataDirectory, options.certificateFile, options.keyFile,
                             &identity, &note, error, false))
            return ExitBadConfig;
    }
    if (options.password == DefaultPassword && !options.address.isLoopback())
        logLine(LogLevel::Warning,
                QStringLiteral("listening on %1 with the default password \"%2\", which anyone "
                               "can read in the documentation: set password or password-file")
                    .arg(options.address.toString(), DefaultPassword));
    return 0;
}

} // namespace voiceserver
