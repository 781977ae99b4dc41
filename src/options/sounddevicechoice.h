// SPDX-License-Identifier: MIT
#pragma once

#include "tsclient/sounddevice.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class QComboBox;

namespace MeetingSupport {

// The sound system and device boxes that the capture and playback pages share: what the SDK
// offers in one direction, what is in use, the two settings keys, and opening the chosen device.
class SoundDeviceChoice : public QObject
{
    Q_OBJECT
public:
    enum Direction { Capture, Playback };

    // Fills the boxes from the SDK and keeps the device box following the chosen mode.
    // group is the settings group: "capture" or "playback".
    SoundDeviceChoice(Direction direction, QComboBox* mode, QComboBox* device, const QString& group,
                      QObject* parent);

    // The stored choice, or what is in use when nothing is stored.
    void load();
    // Back to what is in use.
    void restore();
    bool isModified() const;
    // Opens the chosen device when it differs from the one in use.
    void apply();
    void save() const;

private:
    void fillDevices(const QString& mode);
    // Shows mode in the mode box, with its devices in the device box.
    void showMode(const QString& mode);
    void selectDevice(const QString& id);

    Direction m_direction;
    QComboBox* m_mode;
    QComboBox* m_device;
    QString m_modeKey;
    QString m_deviceKey;
    QString m_currentMode;
    QString m_currentDeviceID;
    QString m_filledMode; // whose devices the device box lists
    QMap<QString, QList<SoundDevice>> m_devicesByMode;
};

} // namespace MeetingSupport
