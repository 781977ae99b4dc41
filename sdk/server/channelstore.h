// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace voiceserver {

struct Channel
{
    quint64 id = 0;
    quint64 parent = 0;
    QString name;
    QString topic;
    QString description;
    QByteArray passwordSalt; // empty: no password
    QByteArray passwordHash;
    bool permanent = false;
    bool semiPermanent = false;

    bool hasPassword() const { return !passwordHash.isEmpty(); }
    void setPassword(const QString& password);
    bool checkPassword(const QString& password) const;
};

// What survives a restart: the server's identity and its permanent channels, in one JSON file
// written atomically.
struct PersistentState
{
    QString serverUniqueId;
    quint64 nextChannelId = 2;
    QList<Channel> channels;
};

class ChannelStore
{
public:
    explicit ChannelStore(const QString& directory) : m_directory(directory) {}

    // A missing file gives an empty state. An unreadable one is set aside and reported.
    PersistentState load(QString* warning) const;
    bool save(const PersistentState& state, QString* error) const;
    QString filePath() const;

private:
    QString m_directory;
};

} // namespace voiceserver
