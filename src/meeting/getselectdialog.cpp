// SPDX-License-Identifier: MIT
#include "getselectdialog.h"

#include "ui_getselectdialog.h"

#include <QComboBox>
#include <QPointer>

namespace MeetingSupport {

class GetSelectDialogPrivate
{
public:
    explicit GetSelectDialogPrivate(GetSelectDialog* q) : q(q) {}

    // The dialog opens with the keyboard on its first input, the chooser above the list.
    void focusFirstInput()
    {
        QListWidget* list = ui.listWidget;
        if (list->count() > 0 && !list->currentItem())
            list->setCurrentRow(0); // the space ticks it
        if (comboBox) {
            QWidget::setTabOrder(comboBox, list);
            comboBox->setFocus(Qt::OtherFocusReason);
        } else {
            list->setFocus(Qt::OtherFocusReason);
        }
    }

    Ui::GetSelectDialog ui;
    // The meeting chooser, created on demand.
    QComboBox* comboBox = nullptr;
    GetSelectDialog* q;
};

GetSelectDialog::GetSelectDialog(QWidget* parent)
    : QDialog(parent), d(new GetSelectDialogPrivate(this))
{
    d->ui.setupUi(this);
}

GetSelectDialog::~GetSelectDialog()
{
    delete d;
}

void GetSelectDialog::setLabelText(const QString& text)
{
    if (!d->ui.label) {
        d->ui.label = new QLabel(this);
        d->ui.label->setObjectName(QStringLiteral("label"));
        d->ui.label->setWordWrap(true);
        d->ui.verticalLayout->insertWidget(0, d->ui.label);
    }
    d->ui.label->setText(text);
}

void GetSelectDialog::setItems(const QStringList& items)
{
    for (const QString& text : items) {
        auto* item = new QListWidgetItem(text, d->ui.listWidget);
        item->setCheckState(Qt::Unchecked);
    }
}

void GetSelectDialog::setMeetings(const QStringList& meetings)
{
    if (meetings.isEmpty())
        return;
    if (!d->comboBox) {
        d->comboBox = new QComboBox(this);
        d->comboBox->setObjectName(QStringLiteral("comboBox"));
        // Long meeting names must not widen the dialog; the open list shows them whole.
        d->comboBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        d->comboBox->setMinimumContentsLength(12);
        const int at = d->ui.label ? d->ui.verticalLayout->indexOf(d->ui.label) : 0;
        d->ui.verticalLayout->insertWidget(qMax(at, 0), d->comboBox);
    }
    d->comboBox->addItems(meetings);
}

QStringList GetSelectDialog::selectedItems() const
{
    QStringList selected;
    QListWidget* list = d->ui.listWidget;
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->checkState() == Qt::Checked)
            selected << list->item(row)->text();
    }
    return selected;
}

QString GetSelectDialog::selectedMeeting() const
{
    return d->comboBox ? d->comboBox->currentText() : QString();
}

bool GetSelectDialog::getSelect(QWidget* parent, const QString& title, const QString& label,
                                const QStringList& items, const QStringList& meetings,
                                QStringList* selected, QString* meeting)
{
    QPointer<GetSelectDialog> dialog = new GetSelectDialog(parent);
    dialog->setWindowTitle(title);
    dialog->setLabelText(label);
    dialog->setItems(items);
    dialog->setMeetings(meetings);
    dialog->d->focusFirstInput();
    const bool accepted = dialog->exec() == QDialog::Accepted;
    // The dialog may have gone with its parent while it ran.
    if (!dialog)
        return false;
    if (accepted) {
        if (selected)
            *selected = dialog->selectedItems();
        if (meeting)
            *meeting = dialog->selectedMeeting();
    }
    delete dialog;
    return accepted;
}

QStringList GetSelectDialog::getSelectItems(QWidget* parent, const QString& title,
                                            const QString& label, const QStringList& items,
                                            bool* ok)
{
    QPointer<GetSelectDialog> dialog = new GetSelectDialog(parent);
    dialog->setWindowTitle(title);
    dialog->setLabelText(label);
    dialog->setItems(items);
    dialog->d->focusFirstInput();
    bool accepted = dialog->exec() == QDialog::Accepted;
    QStringList selected;
    if (!dialog) {
        accepted = false;
    } else {
        if (accepted)
            selected = dialog->selectedItems();
        delete dialog;
    }
    if (ok)
        *ok = accepted;
    return selected;
}

} // namespace MeetingSupport
