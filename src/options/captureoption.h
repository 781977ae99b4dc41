// SPDX-License-Identifier: MIT
#pragma once

#include "abstractoption.h"

namespace MeetingSupport {

class CaptureOptionPrivate;

// The microphone side of the voice connection: sound system and device, voice activation or
// continuous transmission with its threshold, and echo cancellation. Built with the options
// dialog at start-up, it carries the stored settings into the voice connection at once, so they
// hold whether or not the dialog is ever opened.
class CaptureOption : public AbstractOption
{
    Q_OBJECT
public:
    explicit CaptureOption(QWidget* parent = nullptr);
    ~CaptureOption() override;

    QPixmap pixmap() const override;
    QString title() const override;
    QString description() const override;
    void apply() override;
    void save() override;
    void restore() override;
    bool isModified() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    // The input level meter runs while the page is shown.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void loadSettings();
    void applySettings();
    void saveSettings();
    void updateInputLevel();

    CaptureOptionPrivate* d;
    friend class CaptureOptionPrivate;
};

} // namespace MeetingSupport
