// SPDX-License-Identifier: MIT
#include "playbackoption.h"

#include "optionsettings.h"
#include "sounddevicechoice.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_playbackoption.h"

#include <QDebug>
#include <QSettings>

namespace MeetingSupport {

namespace {

const QString VolumeModifierKey = QStringLiteral("playback/volumeModifier");
const QString VolumeFactorWaveKey = QStringLiteral("playback/volumeFactorWave");

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
    SoundDeviceChoice* device = nullptr;
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
    d->device = new SoundDeviceChoice(SoundDeviceChoice::Playback, d->ui.comboBoxMode,
                                      d->ui.comboBoxDevice, QStringLiteral("playback"), this);
    connect(d->ui.sliderVolumeModifier, &QSlider::valueChanged, this,
            &PlaybackOption::updateVolumeModifierLabel);
    connect(d->ui.sliderVolumeFactorWave, &QSlider::valueChanged, this,
            &PlaybackOption::updateVolumeFactorWaveLabel);

    const uint64 handler = client->sdk()->handlerId();
    d->storedVolumeModifier = d->shownVolumeModifier = playbackValue(handler, "volume_modifier");
    d->storedVolumeFactorWave = d->shownVolumeFactorWave =
        playbackValue(handler, "volume_factor_wave");

    updateVolumeModifierLabel();
    updateVolumeFactorWaveLabel();
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
    d->device->restore();
    d->ui.sliderVolumeModifier->setValue(
        sliderPosition(d->ui.sliderVolumeModifier, d->storedVolumeModifier));
    d->ui.sliderVolumeFactorWave->setValue(
        sliderPosition(d->ui.sliderVolumeFactorWave, d->storedVolumeFactorWave));
    updateVolumeModifierLabel();
    updateVolumeFactorWaveLabel();
}

bool PlaybackOption::isModified() const
{
    return d->storedVolumeModifier != d->shownVolumeModifier ||
           d->storedVolumeFactorWave != d->shownVolumeFactorWave || d->device->isModified();
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
    d->device->load();
}

void PlaybackOption::applySettings()
{
    TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
    d->device->apply();

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
    d->device->save();
}

} // namespace MeetingSupport
