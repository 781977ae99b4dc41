// SPDX-License-Identifier: MIT
#include "sounddevicechoice.h"

#include "optionsettings.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QComboBox>
#include <QDebug>
#include <QSettings>

namespace MeetingSupport {

SoundDeviceChoice::SoundDeviceChoice(Direction direction, QComboBox* mode, QComboBox* device,
                                     const QString& group, QObject* parent)
    : QObject(parent)
    , m_direction(direction)
    , m_mode(mode)
    , m_device(device)
    , m_modeKey(group + QStringLiteral("/currentMode"))
    , m_deviceKey(group + QStringLiteral("/currentDeviceID"))
{
    TsSDKClient* client = TsSDKClient::instance();
    const bool capture = direction == Capture;
    const QStringList modes = capture ? client->captureModeList() : client->playbackModeList();
    for (const QString& name : modes)
        m_devicesByMode.insert(name, capture ? client->captureDeviceList(name)
                                             : client->playbackDeviceList(name));
    m_currentMode = capture ? client->currentCaptureMode() : client->currentPlaybackMode();
    m_currentDeviceID =
        capture ? client->currentCaptureDeviceName() : client->currentPlaybackDeviceName();
    m_mode->addItems(modes);
    m_mode->setCurrentText(m_currentMode);
    connect(m_mode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { fillDevices(m_mode->itemText(index)); });
    fillDevices(m_mode->currentText());
}

void SoundDeviceChoice::showMode(const QString& mode)
{
    m_mode->setCurrentText(mode);
    // Setting the text that is shown already emits nothing: the device box must still list
    // the shown mode's devices.
    if (m_filledMode != m_mode->currentText())
        fillDevices(m_mode->currentText());
}

void SoundDeviceChoice::fillDevices(const QString& mode)
{
    m_filledMode = mode;
    m_device->clear();
    const QList<SoundDevice> devices = m_devicesByMode.value(mode);
    for (const SoundDevice& device : devices)
        m_device->addItem(device.name(), device.id());
}

void SoundDeviceChoice::selectDevice(const QString& id)
{
    m_device->setCurrentIndex(m_device->findData(id));
}

void SoundDeviceChoice::load()
{
    showMode(OptionSettings::readString(m_modeKey, m_currentMode));
    selectDevice(OptionSettings::readString(m_deviceKey, m_currentDeviceID));
}

void SoundDeviceChoice::restore()
{
    showMode(m_currentMode);
    selectDevice(m_currentDeviceID);
}

bool SoundDeviceChoice::isModified() const
{
    const QString mode = m_mode->currentText();
    if (!mode.isEmpty() && mode != m_currentMode)
        return true;
    return m_device->currentIndex() >= 0 && m_device->currentData().toString() != m_currentDeviceID;
}

void SoundDeviceChoice::apply()
{
    const QString deviceID = m_device->currentData().toString();
    const QString mode = m_mode->currentText();
    if (deviceID == m_currentDeviceID && mode == m_currentMode)
        return;
    const QList<SoundDevice> devices = m_devicesByMode.value(mode);
    for (const SoundDevice& device : devices) {
        if (device.id() != deviceID)
            continue;
        m_currentMode = mode;
        m_currentDeviceID = deviceID;
        TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
        const bool capture = m_direction == Capture;
        const unsigned int error =
            capture ? sdk->openCaptureDevice(device) : sdk->openPlaybackDevice(device);
        qDebug().noquote() << QStringLiteral("%1: open device %2 %3: %4")
                                  .arg(capture ? QStringLiteral("Capture")
                                               : QStringLiteral("Playback"),
                                       mode, deviceID)
                                  .arg(error);
        return;
    }
}

void SoundDeviceChoice::save() const
{
    QSettings settings;
    settings.setValue(m_modeKey, m_currentMode);
    settings.setValue(m_deviceKey, m_currentDeviceID);
}

} // namespace MeetingSupport
