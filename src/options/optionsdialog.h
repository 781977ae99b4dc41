// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

namespace MeetingSupport {

class AbstractOption;
class OptionsDialogPrivate;

// The settings window: a list of option pages, the chosen page under its title, description
// and icon, and OK / Cancel / Apply, which act on the page shown. Leaving a modified page asks
// whether to save or drop its changes. Builds the capture and playback pages itself, which
// apply the stored sound settings as they are built.
class OptionsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit OptionsDialog(QWidget* parent = nullptr);
    ~OptionsDialog() override;

    // Appends page to the list and the stack; list row and stack index are the same.
    void addOption(AbstractOption* page);

    void accept() override;
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyCurrent();
    void showOption(int row);
    bool maybeSave();

    OptionsDialogPrivate* d;
    friend class OptionsDialogPrivate;
};

} // namespace MeetingSupport
