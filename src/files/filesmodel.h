// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractItemModel>
#include <QJsonArray>
#include <QString>
#include <QVector>

namespace MeetingSupport {

// The shared files of a room as a flat table: name, size and how much of it is complete.
class FilesModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    struct Entry
    {
        QString name;
        QString path;
        quint64 size = 0;
        quint64 incompleteSize = 0; // bytes still missing
        quint64 dateTime = 0;
        int type = 0;
    };

    explicit FilesModel(QObject* parent = nullptr);

    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    QVector<Entry> entries() const { return m_entries; }

    // "%1 B" below 1 KiB, whole "%1 K" below 1 MiB, else whole "%1 M".
    static QString sizeText(quint64 size);
    // Empty when nothing is missing, else the whole percent complete as "%1%".
    static QString completeText(quint64 size, quint64 incompleteSize);
    // One entry of the engine's list; missing or unreadable numbers give 0.
    static Entry entryFromJson(const QJsonObject& object);

public slots:
    // Replaces the whole list (the selection goes with it).
    void updateFiles(const QJsonArray& arr);

private:
    QVector<Entry> m_entries;
};

} // namespace MeetingSupport
