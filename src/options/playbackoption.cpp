// SPDX-License-Identifier: MIT
#include "playbackoption.h"

#include "optionsettings.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_playbackoption.h"

#include <QDebug>
#include <QMap>
#include <QSettings>

namespace MeetingSupport {

namespace {

const QString VolumeModifierKey = QStringLiteral("playback/volumeModifier");
const QString VolumeFactorWaveKey = QStringLiteral("playback/volumeFactorWave");
const QString ModeKey = QStringLiteral("playback/currentMode");
const QString DeviceKey = QStringLiteral("playback/currentDeviceID");

const QString DarkGreen = QStringLiteral("#006400");
const QString DarkOrange = QStringLiteral("#FF8C00");
const QString Red = QStringLiteral("#FF0000");

// A playback value as the SDK reports it; 0 dB when the call fails.
float playbackValue(uint64 handler, const char* ident)
{
    float value = 0;
    const unsigned int error = ts3client_getPlaybackConfigValueAsFloat(handler, ident, &value);
    qDebug().noquote()
        << QStringLiteral("Playback: get %1: %2").arg(QLatin1String(ident)).arg(error);
    return error == ERROR_ok ? value : 0.0f;
}

// Whole decibels of a slider in tenths, truncated toward zero.
int sliderDecibels(const QSlider* slider)
{
    return slider->value() / 10;
}

QString decibelText(int dB, const QString& color)
{
    const QString form = dB < 0 ? QStringLiteral("<font color=\"%1\">%2 dB</font>")
                                : QStringLiteral("<font color=\"%1\">+%2 dB</font>");
    return form.arg(color, QString::number(dB));
}

// The slider position of a decibel value, inside the slider's range.
int sliderPosition(const QSlider* slider, float dB)
{
    return qBound(slider->minimum(), int(double(dB) * 10.0), slider->maximum());
}

} // namespace

class PlaybackOptionPrivate
{
public:
    explicit PlaybackOptionPrivate(PlaybackOption* q) : q(q) {}

    void selectDevice(const QString& id)
    {
        ui.comboBoxDevice->setCurrentIndex(ui.comboBoxDevice->findData(id));
    }

    // The stored value as read from the settings, in the slider's range.
    float readDecibels(const QString& key, float fallback, const QSlider* slider) const
    {
        return float(OptionSettings::readNumber(key, double(fallback), slider->minimum() / 10.0,
                                                slider->maximum() / 10.0));
    }

    Ui::PlaybackOption ui;
    PlaybackOption* q;

    // What the SDK was last given and the settings hold, and what the sliders show, in dB.
    float storedVolumeModifier = 0;
    float storedVolumeFactorWave = 0;
    float shownVolumeModifier = 0;
    float shownVolumeFactorWave = 0;
    QString currentMode;
    QString currentDeviceID;
    QMap<QString, QList<SoundDevice>> devicesByMode;
};

PlaybackOption::PlaybackOption(QWidget* parent)
    : AbstractOption(parent), d(new PlaybackOptionPrivate(this))
{
    d->ui.setupUi(this);
    // Room for the widest value, so the sliders keep their length while they move.
    for (QLabel* label : {d->ui.labelVolumeModifier, d->ui.labelVolumeFactorWave}) {
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("+00 dB")));
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    TsSDKClient* client = TsSDKClient::instance();
    const QStringList modes = client->playbackModeList();
    for (const QString& mode : modes)
        d->devicesByMode.insert(mode, client->playbackDeviceList(mode));
    d->ui.comboBoxMode->addItems(modes);

    connect(d->ui.comboBoxMode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { fillDevices(d->ui.comboBoxMode->itemText(index)); });
    connect(d->ui.sliderVolumeModifier, &QSlider::valueChanged, this,
            &PlaybackOption::updateVolumeModifierLabel);
    connect(d->ui.sliderVolumeFactorWave, &QSlider::valueChanged, this,
            &PlaybackOption::updateVolumeFactorWaveLabel);

    const uint64 handler = client->sdk()->handlerId();
    d->storedVolumeModifier = d->shownVolumeModifier = playbackValue(handler, "volume_modifier");
    d->storedVolumeFactorWave = d->shownVolumeFactorWave =
        playbackValue(handler, "volume_factor_wave");
    d->currentMode = client->currentPlaybackMode();
    d->currentDeviceID = client->currentPlaybackDeviceName();

    updateVolumeModifierLabel();
    updateVolumeFactorWaveLabel();
    fillDevices(d->currentMode);
    loadSettings();
    applySettings();
}

PlaybackOption::~PlaybackOption()
{
    delete d;
}

QPixmap PlaybackOption::pixmap() const
{
    return windowIcon().pixmap(32, 32, QIcon::Normal, QIcon::Off);
}

QString PlaybackOption::title() const
{
    return windowTitle();
}

QString PlaybackOption::description() const
{
    return tr("Configure the Playback Sound System");
}

void PlaybackOption::apply()
{
    save();
}

void PlaybackOption::save()
{
    if (!isModified())
        return;
    applySettings();
    saveSettings();
}

void PlaybackOption::restore()
{
    d->ui.comboBoxMode->setCurrentText(d->currentMode);
    d->selectDevice(d->currentDeviceID);
    d->ui.sliderVolumeModifier->setValue(
        sliderPosition(d->ui.sliderVolumeModifier, d->storedVolumeModifier));
    d->ui.sliderVolumeFactorWave->setValue(
        sliderPosition(d->ui.sliderVolumeFactorWave, d->storedVolumeFactorWave));
    updateVolumeModifierLabel();
    updateVolumeFactorWaveLabel();
}

bool PlaybackOption::isModified() const
{
    const Ui::PlaybackOption& ui = d->ui;
    if (d->storedVolumeModifier != d->shownVolumeModifier ||
        d->storedVolumeFactorWave != d->shownVolumeFactorWave ||
        ui.comboBoxMode->currentText() != d->currentMode)
        return true;
    return ui.comboBoxDevice->currentIndex() >= 0 &&
           ui.comboBoxDevice->currentData().toString() != d->currentDeviceID;
}

void PlaybackOption::fillDevices(const QString& mode)
{
    d->ui.comboBoxDevice->clear();
    const QList<SoundDevice> devices = d->devicesByMode.value(mode);
    for (const SoundDevice& device : devices)
        d->ui.comboBoxDevice->addItem(device.name(), device.id());
}

void PlaybackOption::updateVolumeModifierLabel()
{
    QSlider* slider = d->ui.sliderVolumeModifier;
    const int dB = sliderDecibels(slider);
    d->shownVolumeModifier = float(dB);
    slider->setSingleStep(dB >= 0 ? 50 : 100);
    const QString& color = dB <= 0 ? DarkGreen : dB <= 6 ? DarkOrange : Red;
    d->ui.labelVolumeModifier->setText(decibelText(dB, color));
}

void PlaybackOption::updateVolumeFactorWaveLabel()
{
    const int dB = sliderDecibels(d->ui.sliderVolumeFactorWave);
    d->shownVolumeFactorWave = float(dB);
    d->ui.labelVolumeFactorWave->setText(decibelText(dB, DarkGreen));
}

void PlaybackOption::loadSettings()
{
    QSlider* modifier = d->ui.sliderVolumeModifier;
    QSlider* wave = d->ui.sliderVolumeFactorWave;
    modifier->setValue(sliderPosition(
        modifier, d->readDecibels(VolumeModifierKey, d->storedVolumeModifier, modifier)));
    wave->setValue(sliderPosition(
        wave, d->readDecibels(VolumeFactorWaveKey, d->storedVolumeFactorWave, wave)));
    d->ui.comboBoxMode->setCurrentText(OptionSettings::readString(ModeKey, d->currentMode));
    d->selectDevice(OptionSettings::readString(DeviceKey, d->currentDeviceID));
}

void PlaybackOption::applySettings()
{
    TsSDKClient* client = TsSDKClient::instance();
    TsSDKInterface* sdk = client->sdk();
    const Ui::PlaybackOption& ui = d->ui;

    const QString deviceID = ui.comboBoxDevice->currentData().toString();
    const QString mode = ui.comboBoxMode->currentText();
    if (deviceID != d->currentDeviceID || mode != d->currentMode) {
        const QList<SoundDevice> devices = d->devicesByMode.value(mode);
        for (const SoundDevice& device : devices) {
            if (device.id() != deviceID)
                continue;
            d->currentMode = mode;
            d->currentDeviceID = deviceID;
            const unsigned int error = sdk->openPlaybackDevice(device);
            qDebug().noquote()
                << QStringLiteral("Playback: open device %1 %2: %3").arg(mode, deviceID).arg(error);
            break;
        }
    }

    if (d->shownVolumeModifier != d->storedVolumeModifier) {
        d->storedVolumeModifier = d->shownVolumeModifier;
        sdk->setVolumeModifier(d->storedVolumeModifier);
    }
    if (d->shownVolumeFactorWave != d->storedVolumeFactorWave) {
        d->storedVolumeFactorWave = d->shownVolumeFactorWave;
        sdk->setVolumeFactorWave(d->storedVolumeFactorWave);
    }

    const unsigned int error = ts3client_flushClientSelfUpdates(sdk->handlerId(), nullptr);
    qDebug().noquote() << QStringLiteral("Playback: flush: %1").arg(error);
}

void PlaybackOption::saveSettings()
{
    QSettings settings;
    // As doubles: the INI file keeps a float only in binary form.
    settings.setValue(VolumeModifierKey, double(d->storedVolumeModifier));
    settings.setValue(VolumeFactorWaveKey, double(d->storedVolumeFactorWave));
    settings.setValue(ModeKey, d->currentMode);
    settings.setValue(DeviceKey, d->currentDeviceID);
}

} // namespace MeetingSupport
