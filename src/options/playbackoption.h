// SPDX-License-Identifier: MIT
#pragma once

#include "abstractoption.h"

namespace MeetingSupport {

class PlaybackOptionPrivate;

// The loudspeaker side of the voice connection: sound system and device, the loudness of the
// others' voices and of the sound pack, in whole decibels. Like the capture page it carries the
// stored settings into the voice connection when it is built.
class PlaybackOption : public AbstractOption
{
    Q_OBJECT
public:
    explicit PlaybackOption(QWidget* parent = nullptr);
    ~PlaybackOption() override;

    QPixmap pixmap() const override;
    QString title() const override;
    QString description() const override;
    void apply() override;
    void save() override;
    void restore() override;
    bool isModified() const override;

private:
    void updateVolumeModifierLabel();
    void updateVolumeFactorWaveLabel();
    void loadSettings();
    void applySettings();
    void saveSettings();

    PlaybackOptionPrivate* d;
    friend class PlaybackOptionPrivate;
};

} // namespace MeetingSupport
