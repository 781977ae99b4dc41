// SPDX-License-Identifier: MIT
#include "filesmodel.h"

#include <QJsonObject>

#include <limits>

namespace MeetingSupport {

namespace {

constexpr quint64 KiB = 1024;
constexpr quint64 MiB = 1024 * 1024;

quint64 number(const QJsonObject& object, const QString& key)
{
    bool ok = false;
    const quint64 value = object.value(key).toString().toULongLong(&ok, 10);
    return ok ? value : 0;
}

} // namespace

FilesModel::FilesModel(QObject* parent) : QAbstractItemModel(parent) {}

QModelIndex FilesModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || row >= m_entries.size() || column < 0 || column >= 3)
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex FilesModel::parent(const QModelIndex&) const
{
    return QModelIndex();
}

int FilesModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_entries.size();
}

int FilesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant FilesModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_entries.size())
        return QVariant();
    const Entry& entry = m_entries.at(index.row());
    switch (index.column()) {
    case 0:
        return entry.name;
    case 1:
        return sizeText(entry.size);
    case 2:
        return completeText(entry.size, entry.incompleteSize);
    default:
        return QVariant();
    }
}

QVariant FilesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return tr("Name");
        case 1:
            return tr("Size");
        case 2:
            return tr("Complete");
        default:
            return QVariant();
        }
    }
    if (role == Qt::TextAlignmentRole) {
        if (section == 0)
            return int(Qt::AlignLeft);
        if (section == 2)
            return int(Qt::AlignCenter);
        return int(Qt::AlignRight);
    }
    return QVariant();
}

QString FilesModel::sizeText(quint64 size)
{
    if (size < KiB)
        return tr("%1 B").arg(size);
    if (size < MiB)
        return tr("%1 K").arg(size / KiB);
    return tr("%1 M").arg(size / MiB);
}

QString FilesModel::completeText(quint64 size, quint64 incompleteSize)
{
    if (incompleteSize == 0)
        return QString();
    // A server that reports more missing than the whole counts as nothing done.
    const quint64 done = size > incompleteSize ? size - incompleteSize : 0;
    quint64 percent = 0;
    if (size == 0)
        percent = 0;
    else if (size <= std::numeric_limits<quint64>::max() / 100)
        percent = done * 100 / size;
    else // sizes no disk holds: near enough, and never 100 while a byte is missing
        percent = qMin<quint64>(done / (size / 100), 99);
    return tr("%1%").arg(percent);
}

FilesModel::Entry FilesModel::entryFromJson(const QJsonObject& object)
{
    Entry entry;
    entry.name = object.value(QStringLiteral("file_name")).toString();
    entry.path = object.value(QStringLiteral("file_path")).toString();
    entry.size = number(object, QStringLiteral("file_size"));
    entry.incompleteSize = number(object, QStringLiteral("incomplete_size"));
    entry.dateTime = number(object, QStringLiteral("date_time"));
    entry.type = object.value(QStringLiteral("type")).toInt();
    return entry;
}

void FilesModel::updateFiles(const QJsonArray& arr)
{
    QVector<Entry> entries;
    entries.reserve(arr.size());
    for (const QJsonValue& value : arr)
        entries.append(entryFromJson(value.toObject()));
    beginResetModel();
    m_entries.swap(entries);
    endResetModel();
}

} // namespace MeetingSupport
