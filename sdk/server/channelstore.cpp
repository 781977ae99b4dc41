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

namespace voiceserver {

namespace {
QByteArray hashPassword(const QByteArray& salt, const QString& password)
{
    return QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256);
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
        const QString aside =
            filePath() + QStringLiteral(".unreadable-") +
            QString::number(QDateTime::currentSecsSinceEpoch());
        QFile::rename(filePath(), aside);
        *warning = QStringLiteral("%1 is not readable; set aside as %2").arg(filePath(), aside);
        return state;
    }
    const QJsonObject root = document.object();
    state.serverUniqueId = root.value(QLatin1String("serverUniqueId")).toString();
    state.nextChannelId =
        quint64(qMax<qint64>(2, qint64(root.value(QLatin1String("nextChannelId")).toDouble())));
    for (const QJsonValue& value : root.value(QLatin1String("channels")).toArray()) {
        const QJsonObject object = value.toObject();
        Channel channel;
        channel.id = quint64(object.value(QLatin1String("id")).toDouble());
        channel.parent = quint64(object.value(QLatin1String("parent")).toDouble());
        channel.name = object.value(QLatin1String("name")).toString();
        channel.topic = object.value(QLatin1String("topic")).toString();
        channel.description = object.value(QLatin1String("description")).toString();
        channel.passwordSalt =
            QByteArray::fromBase64(object.value(QLatin1String("passwordSalt")).toString().toLatin1());
        channel.passwordHash =
            QByteArray::fromBase64(object.value(QLatin1String("passwordHash")).toString().toLatin1());
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
