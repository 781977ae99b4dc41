// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QStringList>

namespace MeetingSupport {

class GetSelectDialogPrivate;

// A modal list of tick boxes, optionally with a chooser of meetings above it; used to pick the
// people to invite.
class GetSelectDialog : public QDialog
{
    Q_OBJECT
public:
    explicit GetSelectDialog(QWidget* parent = nullptr);
    ~GetSelectDialog() override;

    void setLabelText(const QString& text);
    // One unticked row per string, in order.
    void setItems(const QStringList& items);
    // Adds a meeting chooser above the label holding these names; nothing for an empty list.
    // The first name is preselected.
    void setMeetings(const QStringList& meetings);

    // The texts of the ticked rows, top to bottom.
    QStringList selectedItems() const;
    // The chooser's current text; empty without a chooser.
    QString selectedMeeting() const;

    // Runs the dialog with a meeting chooser. True when accepted; only then are *selected and
    // *meeting written (each when not null).
    static bool getSelect(QWidget* parent, const QString& title, const QString& label,
                          const QStringList& items, const QStringList& meetings,
                          QStringList* selected, QString* meeting);
    // Runs the dialog without a chooser; the ticked items, empty when cancelled. *ok tells
    // whether it was accepted.
    static QStringList getSelectItems(QWidget* parent, const QString& title, const QString& label,
                                      const QStringList& items, bool* ok);

private:
    GetSelectDialogPrivate* d;
    friend class GetSelectDialogPrivate;
};

} // namespace MeetingSupport
