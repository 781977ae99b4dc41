// SPDX-License-Identifier: MIT
#include "captureoption.h"

#include "optionsettings.h"
#include "sounddevicechoice.h"
#include "tsclient/sdkmemory.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "ui_captureoption.h"

#include <QDebug>
#include <QSettings>
#include <QTimer>

#include <cmath>

namespace MeetingSupport {

namespace {

const QString VadKey = QStringLiteral("capture/vad");
const QString VadLevelKey = QStringLiteral("capture/vadLevel");
const QString EchoCancelingKey = QStringLiteral("capture/echoCanceling");
constexpr int LevelIntervalMs = 50;

// A preprocessor value as the SDK reports it; false when the call fails.
bool preProcessorValue(uint64 handler, const char* ident, QString* value)
{
    char* text = nullptr;
    const unsigned int error = ts3client_getPreProcessorConfigValue(handler, ident, &text);
    *value = takeSdkString(text);
    qDebug().noquote()
        << QStringLiteral("Capture: get %1: %2").arg(QLatin1String(ident)).arg(error);
    return error == ERROR_ok;
}

void setPreProcessorFlag(uint64 handler, const char* ident, bool on)
{
    const unsigned int error =
        ts3client_setPreProcessorConfigValue(handler, ident, on ? "true" : "false");
    qDebug().noquote()
        << QStringLiteral("Capture: set %1: %2").arg(QLatin1String(ident)).arg(error);
}

} // namespace

class CaptureOptionPrivate
{
public:
    explicit CaptureOptionPrivate(CaptureOption* q) : q(q) {}

    void updateSliderEnabled()
    {
        ui.sliderVadLevel->setEnabled(!ui.radioContinuousTransmission->isChecked());
    }

    void showVad(bool vad)
    {
        // A checked radio button of an exclusive pair cannot be unchecked, only its partner
        // checked.
        (vad ? ui.radioVad : ui.radioContinuousTransmission)->setChecked(true);
    }

    Ui::CaptureOption ui;
    CaptureOption* q;

    // What the SDK was last given and the settings hold.
    int vadLevel = 0;
    bool vad = false;
    bool echoCanceling = false;
    SoundDeviceChoice* device = nullptr;
    QTimer levelTimer;
    int levelSent = -1; // the meter's colour: 1 sent, 0 not, -1 not set yet
};

CaptureOption::CaptureOption(QWidget* parent)
    : AbstractOption(parent), d(new CaptureOptionPrivate(this))
{
    d->ui.setupUi(this);

    TsSDKClient* client = TsSDKClient::instance();
    d->device = new SoundDeviceChoice(SoundDeviceChoice::Capture, d->ui.comboBoxMode,
                                      d->ui.comboBoxDevice, QStringLiteral("capture"), this);
    connect(d->ui.radioContinuousTransmission, &QRadioButton::toggled, this,
            [this] { d->updateSliderEnabled(); });
    d->levelTimer.setInterval(LevelIntervalMs);
    connect(&d->levelTimer, &QTimer::timeout, this, &CaptureOption::updateInputLevel);

    const uint64 handler = client->sdk()->handlerId();
    QString value;
    if (preProcessorValue(handler, "vad", &value))
        d->vad = value == QLatin1String("true");
    if (preProcessorValue(handler, "voiceactivation_level", &value)) {
        bool ok = false;
        const float level = value.toFloat(&ok);
        // Bounded, so the conversion stays defined whatever the SDK answers.
        if (ok && std::isfinite(level))
            d->vadLevel = int(qBound(-1e6f, level, 1e6f));
    }
    if (preProcessorValue(handler, "echo_canceling", &value))
        d->echoCanceling = value == QLatin1String("true");

    loadSettings();
    applySettings();
}

CaptureOption::~CaptureOption()
{
    delete d;
}

QPixmap CaptureOption::pixmap() const
{
    return windowIcon().pixmap(32, 32, QIcon::Normal, QIcon::Off);
}

QString CaptureOption::title() const
{
    return windowTitle();
}

QString CaptureOption::description() const
{
    return tr("Configure the Capture Sound System");
}

void CaptureOption::apply()
{
    save();
}

void CaptureOption::save()
{
    if (!isModified())
        return;
    applySettings();
    saveSettings();
}

void CaptureOption::restore()
{
    d->device->restore();
    d->showVad(d->vad);
    d->ui.sliderVadLevel->setValue(d->vadLevel);
    d->ui.checkEchoCanceling->setChecked(d->echoCanceling);
}

bool CaptureOption::isModified() const
{
    const Ui::CaptureOption& ui = d->ui;
    // The threshold is only carried over with voice activation; counting it otherwise would
    // leave the page modified after every save.
    if (ui.radioVad->isChecked() != d->vad ||
        (ui.radioVad->isChecked() && ui.sliderVadLevel->value() != d->vadLevel) ||
        ui.checkEchoCanceling->isChecked() != d->echoCanceling)
        return true;
    return d->device->isModified();
}

void CaptureOption::paintEvent(QPaintEvent* event)
{
    d->updateSliderEnabled();
    AbstractOption::paintEvent(event);
}

void CaptureOption::showEvent(QShowEvent* event)
{
    AbstractOption::showEvent(event);
    updateInputLevel();
    d->levelTimer.start();
}

void CaptureOption::hideEvent(QHideEvent* event)
{
    d->levelTimer.stop();
    AbstractOption::hideEvent(event);
}

// The last 20 ms of the microphone on the slider's scale; green where voice activation would
// send it.
void CaptureOption::updateInputLevel()
{
    float level = -50.0f;
    if (ts3client_getPreProcessorInfoValueFloat(TsSDKClient::instance()->sdk()->handlerId(),
                                                "decibel_last_period", &level) != ERROR_ok ||
        !std::isfinite(level))
        level = -50.0f;
    QProgressBar* meter = d->ui.progressBarInputLevel;
    const int value = int(std::lround(qBound(-50.0f, level, 50.0f)));
    const bool sent =
        d->ui.radioContinuousTransmission->isChecked() || value >= d->ui.sliderVadLevel->value();
    meter->setValue(value);
    if (int(sent) == d->levelSent)
        return;
    d->levelSent = sent;
    meter->setStyleSheet(sent ? QStringLiteral("QProgressBar::chunk { background: #3CB371; }")
                              : QStringLiteral("QProgressBar::chunk { background: #A9A9A9; }"));
}

void CaptureOption::loadSettings()
{
    using namespace OptionSettings;
    QSlider* slider = d->ui.sliderVadLevel;
    d->showVad(readBool(VadKey, d->vad));
    slider->setValue(
        int(readNumber(VadLevelKey, d->vadLevel, slider->minimum(), slider->maximum())));
    d->ui.checkEchoCanceling->setChecked(readBool(EchoCancelingKey, d->echoCanceling));
    d->device->load();
}

void CaptureOption::applySettings()
{
    TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
    const uint64 handler = sdk->handlerId();
    const Ui::CaptureOption& ui = d->ui;
    d->device->apply();

    const bool vad = ui.radioVad->isChecked();
    if (vad != d->vad) {
        d->vad = vad;
        setPreProcessorFlag(handler, "vad", vad);
        // Capture stays active in both modes: voice activation only decides when to send.
        const unsigned int error =
            ts3client_setClientSelfVariableAsInt(handler, CLIENT_INPUT_DEACTIVATED, 0);
        qDebug().noquote() << QStringLiteral("Capture: set input deactivated: %1").arg(error);
    }

    if (!ui.radioContinuousTransmission->isChecked() && ui.sliderVadLevel->value() != d->vadLevel) {
        d->vadLevel = ui.sliderVadLevel->value();
        sdk->setVadLevel(float(d->vadLevel));
    }

    if (ui.checkEchoCanceling->isChecked() != d->echoCanceling) {
        d->echoCanceling = ui.checkEchoCanceling->isChecked();
        setPreProcessorFlag(handler, "echo_canceling", d->echoCanceling);
    }

    const unsigned int error = ts3client_flushClientSelfUpdates(handler, nullptr);
    qDebug().noquote() << QStringLiteral("Capture: flush: %1").arg(error);
}

void CaptureOption::saveSettings()
{
    QSettings settings;
    settings.setValue(VadKey, d->vad);
    settings.setValue(VadLevelKey, d->vadLevel);
    settings.setValue(EchoCancelingKey, d->echoCanceling);
    d->device->save();
}

} // namespace MeetingSupport
