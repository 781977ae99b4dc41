// SPDX-License-Identifier: MIT
#pragma once

#include "abstractoption.h"

namespace MeetingSupport {

class AboutOptionPrivate;

// The program's name and build, and a button that runs an update check with the updater
// program. Nothing to store: the page is never modified.
class AboutOption : public AbstractOption
{
    Q_OBJECT
public:
    explicit AboutOption(QWidget* parent = nullptr);
    ~AboutOption() override;

    QPixmap pixmap() const override;
    QString title() const override;
    QString description() const override;
    void apply() override;
    void save() override;
    void restore() override;
    bool isModified() const override;

    // Starts the updater with the check flag and shows its progress; a cancelled check also
    // stops the updater.
    void checkForUpdates();

private:
    AboutOptionPrivate* d;
    friend class AboutOptionPrivate;
};

} // namespace MeetingSupport
