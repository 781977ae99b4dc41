// SPDX-License-Identifier: MIT
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace MeetingSupport {

// One page of the options dialog. The dialog knows its pages only through these operations.
class AbstractOption : public QWidget
{
    Q_OBJECT
public:
    explicit AbstractOption(QWidget* parent = nullptr);
    ~AbstractOption() override;

    // The icon for the list and the header: the window icon at 32 x 32.
    virtual QPixmap pixmap() const = 0;
    // The name for the list and the header: the window title.
    virtual QString title() const = 0;
    // One sentence for the header.
    virtual QString description() const = 0;
    // The Apply button's action; does what save() does.
    virtual void apply() = 0;
    // When modified: store the values in the settings and carry them into the running system.
    virtual void save() = 0;
    // Drops the user's edits: the widgets show the last stored values again.
    virtual void restore() = 0;
    // Whether any widget differs from the last stored values.
    virtual bool isModified() const = 0;
};

} // namespace MeetingSupport
