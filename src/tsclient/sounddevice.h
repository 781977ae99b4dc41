// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>

class ISoundDevice
{
public:
    virtual ~ISoundDevice() = default;
    virtual QString id() const = 0;
    virtual QString mode() const = 0;
    virtual QString name() const = 0;
};

// A sound device as the SDK names it: its identifier, its sound system and its display name.
class SoundDevice : public ISoundDevice
{
public:
    SoundDevice() = default;
    SoundDevice(const SoundDevice& other) = default;
    SoundDevice& operator=(const SoundDevice& other) = default;

    QString id() const override { return m_id; }
    QString mode() const override { return m_mode; }
    QString name() const override { return m_name; }

    void setId(const QString& id) { m_id = id; }
    void setMode(const QString& mode) { m_mode = mode; }
    void setName(const QString& name) { m_name = name; }

    // Only a device with all three fields can be opened.
    bool isUsable() const { return !m_id.isEmpty() && !m_mode.isEmpty() && !m_name.isEmpty(); }

private:
    QString m_id;
    QString m_mode;
    QString m_name;
};
