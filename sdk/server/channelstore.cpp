// SPDX-License-Identifier: MIT
#include "channelstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cmath>

namespace voiceserver {

namespace {
QByteArray hashPassword(const QByteArray& salt, const QString& password)
{
    return QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256);
}

// JSON numbers are doubles: an ID counts only where a double holds it exactly, which also keeps
// it inside the signed 64-bit range IDs travel in.
bool readId(const QJsonValue& value, quint64* id)
{
    constexpr double Limit = 9007199254740992.0; // 2^53
    const double number = value.toDouble(-1);
    if (!value.isDouble() || !(number >= 0 && number < Limit) || number != std::floor(number))
        return false;
    *id = quint64(number);
    return true;
}
} // namespace

void Channel::setPassword(const QString& password)
{
    if (password.isEmpty()) {
        passwordSalt.clear();
        passwordHash.clear();
        return;
    }
    passwordSalt.resize(16);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(passwordSalt.data()), 4);
    passwordHash = hashPassword(passwordSalt, password);
}

bool Channel::checkPassword(const QString& password) const
{
    return !hasPassword() || hashPassword(passwordSalt, password) == passwordHash;
}

QString ChannelStore::filePath() const
{
    return QDir(m_directory).filePath(QStringLiteral("server.json"));
}

PersistentState ChannelStore::load(QString* warning) const
{
    PersistentState state;
    QFile file(filePath());
    if (!file.exists())
        return state;
    QJsonParseError parseError;
    QJsonDocument document;
    if (file.open(QIODevice::ReadOnly) && file.size() < 64 * 1024 * 1024)
        document = QJsonDocument::fromJson(file.readAll(), &parseError);
    file.close();
    if (!document.isObject()) {
        const QString aside = filePath() + QStringLiteral(".unreadable-") +
                              QString::number(QDateTime::currentSecsSinceEpoch());
        QFile::rename(filePath(), aside);
        *warning = QStringLiteral("%1 is not readable; set aside as %2").arg(filePath(), aside);
        return state;
    }
    const QJsonObject root = document.object();
    state.serverUniqueId = root.value(QLatin1String("serverUniqueId")).toString();
    quint64 next = 0;
    state.nextChannelId =
        readId(root.value(QLatin1String("nextChannelId")), &next) ? qMax<quint64>(2, next) : 2;
    for (const QJsonValue& value : root.value(QLatin1String("channels")).toArray()) {
        const QJsonObject object = value.toObject();
        Channel channel;
        if (!readId(object.value(QLatin1String("id")), &channel.id))
            channel.id = 0; // skipped below
        if (!readId(object.value(QLatin1String("parent")), &channel.parent))
            channel.parent = 0; // an unknown parent: a top-level channel, as for a lost one
        channel.name = object.value(QLatin1String("name")).toString();
        channel.topic = object.value(QLatin1String("topic")).toString();
        channel.description = object.value(QLatin1String("description")).toString();
        channel.passwordSalt = QByteArray::fromBase64(
            object.value(QLatin1String("passwordSalt")).toString().toLatin1());
        channel.passwordHash = QByteArray::fromBase64(
            object.value(QLatin1String("passwordHash")).toString().toLatin1());
        channel.permanent = true;
        if (channel.id < 2 || channel.name.isEmpty()) {
            *warning = QStringLiteral("skipped an invalid channel entry in %1").arg(filePath());
            continue;
        }
        state.nextChannelId = qMax(state.nextChannelId, channel.id + 1);
        state.channels.append(channel);
    }
    return state;
}

bool ChannelStore::save(const PersistentState& state, QString* error) const
{
    if (!QDir().mkpath(m_directory)) {
        *error = QStringLiteral("cannot create %1").arg(m_directory);
        return false;
    }
    QJsonArray channels;
    for (const Channel& channel : state.channels) {
        channels.append(QJsonObject{
            {QStringLiteral("id"), double(channel.id)},
            {QStringLiteral("parent"), double(channel.parent)},
            {QStringLiteral("name"), channel.name},
            {QStringLiteral("topic"), channel.topic},
            {QStringLiteral("description"), channel.description},
            {QStringLiteral("passwordSalt"), QString::fromLatin1(channel.passwordSalt.toBase64())},
            {QStringLiteral("passwordHash"), QString::fromLatin1(channel.passwordHash.toBase64())},
        });
    }
    const QJsonObject root{{QStringLiteral("serverUniqueId"), state.serverUniqueId},
                           {QStringLiteral("nextChannelId"), double(state.nextChannelId)},
                           {QStringLiteral("channels"), channels}};
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    file.write(QJsonDocument(root).toJson());
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace voiceserver
