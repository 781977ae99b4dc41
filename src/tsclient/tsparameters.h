// SPDX-License-Identifier: MIT
#pragma once

#include <QJsonObject>
#include <QString>

// Where and as whom to connect: one JSON object whose members are the parameters.
// Accessors of parameters that must be present raise RylSystem::AssertionError when they are
// missing or of the wrong type.
class TsParameters
{
public:
    QString ip() const;
    int port() const;
    QString channelPwd() const;
    QString channel() const;
    QString channelId() const;
    QString nickname() const;
    QString supporter() const;
    QString serverPwd() const;

    void setIp(const QString& ip);
    void setPort(int port);
    void setChannelPwd(const QString& password);
    void setChannel(const QString& channel);
    void setChannelId(const QString& channelId);
    void setNickname(const QString& nickname);
    void setSupporter(const QString& supporter);
    void setServerPwd(const QString& password);

    QJsonObject toJson() const { return m_values; }

    // Parameters for userName from "ts3_server.dat" in directory (else, for an installed
    // program, in systemDirectory when that is an absolute path), falling back to the defaults
    // for whatever the file does not give.
    static TsParameters fromServerFile(const QString& userName, const QString& directory,
                                       const QString& systemDirectory = systemServerDirectory());
    // Where an installed program finds the file system-wide: "/etc/meeting" on Unix. Nowhere
    // on Windows, where that path names a folder on the current drive that any user may make.
    static QString systemServerDirectory();

    static const char* const DefaultHost;
    static constexpr int DefaultPort = 10087;
    static const char* const DefaultServerPassword;

private:
    QJsonObject m_values;
};
