// SPDX-License-Identifier: MIT
#include "tsparameters.h"

#include "errors.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

const char* const TsParameters::DefaultHost = "localhost";
const char* const TsParameters::DefaultServerPassword = "mossel";

namespace {

const QString KeyIp = QStringLiteral("ip");
const QString KeyPort = QStringLiteral("port");
const QString KeyServerPwd = QStringLiteral("server_pwd");
const QString KeyNickname = QStringLiteral("nick_name");
const QString KeyChannel = QStringLiteral("channel");
const QString KeyChannelPwd = QStringLiteral("channel_pwd");
const QString KeyChannelId = QStringLiteral("channel_id");
const QString KeySupporter = QStringLiteral("supporter");

// The file is a few lines of JSON; a larger one is not ours.
constexpr qint64 MaxServerFileBytes = 64 * 1024;

RylSystem::AssertionError invalidOperation()
{
    return RylSystem::AssertionError(
        QCoreApplication::translate("RylSystem::RylApplication", "Invalid Operation"));
}

} // namespace

// Required string: present and a string, else an assertion.
#define REQUIRED_STRING(key)                                                                       \
    const QJsonValue value = m_values.value(key);                                                  \
    if (!value.isString())                                                                         \
        RYL_THROW(invalidOperation());                                                             \
    return value.toString()

// Optional string: absent gives empty, present must be a string.
#define OPTIONAL_STRING(key)                                                                       \
    if (!m_values.contains(key))                                                                   \
        return QString();                                                                          \
    const QJsonValue value = m_values.value(key);                                                  \
    if (!value.isString())                                                                         \
        RYL_THROW(invalidOperation());                                                             \
    return value.toString()

QString TsParameters::ip() const
{
    REQUIRED_STRING(KeyIp);
}

int TsParameters::port() const
{
    const int port = m_values.value(KeyPort).toInt(0);
    if (port == 0)
        RYL_THROW(invalidOperation());
    return port;
}

QString TsParameters::channelPwd() const
{
    OPTIONAL_STRING(KeyChannelPwd);
}
QString TsParameters::channel() const
{
    OPTIONAL_STRING(KeyChannel);
}
QString TsParameters::channelId() const
{
    REQUIRED_STRING(KeyChannelId);
}
QString TsParameters::nickname() const
{
    REQUIRED_STRING(KeyNickname);
}
QString TsParameters::supporter() const
{
    OPTIONAL_STRING(KeySupporter);
}
QString TsParameters::serverPwd() const
{
    REQUIRED_STRING(KeyServerPwd);
}

#undef REQUIRED_STRING
#undef OPTIONAL_STRING

void TsParameters::setIp(const QString& ip)
{
    m_values[KeyIp] = ip;
}
void TsParameters::setPort(int port)
{
    m_values[KeyPort] = port;
}
void TsParameters::setChannelPwd(const QString& password)
{
    m_values[KeyChannelPwd] = password;
}
void TsParameters::setChannel(const QString& channel)
{
    m_values[KeyChannel] = channel;
}
void TsParameters::setChannelId(const QString& channelId)
{
    m_values[KeyChannelId] = channelId;
}
void TsParameters::setNickname(const QString& nickname)
{
    m_values[KeyNickname] = nickname;
}
void TsParameters::setSupporter(const QString& supporter)
{
    m_values[KeySupporter] = supporter;
}
void TsParameters::setServerPwd(const QString& password)
{
    m_values[KeyServerPwd] = password;
}

QString TsParameters::systemServerDirectory()
{
#ifdef Q_OS_UNIX
    return QStringLiteral("/etc/meeting");
#else
    return QString();
#endif
}

TsParameters TsParameters::fromServerFile(const QString& userName, const QString& directory,
                                          const QString& systemDirectory)
{
    QString host = QString::fromLatin1(DefaultHost);
    int port = DefaultPort;
    QString serverPwd = QString::fromLatin1(DefaultServerPassword);

    QJsonObject file;
    const QString name = QStringLiteral("ts3_server.dat");
    QFile dat(QDir(directory).filePath(name));
    // An empty or relative folder would be looked up from the working directory.
    if (!dat.exists() && !systemDirectory.isEmpty() && QDir::isAbsolutePath(systemDirectory))
        dat.setFileName(QDir(systemDirectory).filePath(name));
    if (dat.open(QIODevice::ReadOnly) && dat.size() <= MaxServerFileBytes)
        file = QJsonDocument::fromJson(dat.readAll()).object();

    if (file.contains(QStringLiteral("domain")))
        host = file.value(QStringLiteral("domain")).toString();
    if (file.contains(QStringLiteral("port")))
        port = file.value(QStringLiteral("port")).toInt(0);
    if (file.contains(QStringLiteral("server_pwd")))
        serverPwd = file.value(QStringLiteral("server_pwd")).toString();

    TsParameters params;
    params.setNickname(userName);
    params.setIp(host);
    params.setPort(port);
    params.setServerPwd(serverPwd);
    return params;
}
