// SPDX-License-Identifier: MIT
#include "optionsdialog.h"

#include "abstractoption.h"
#include "captureoption.h"
#include "playbackoption.h"
#include "ui_optionsdialog.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

namespace MeetingSupport {

class OptionsDialogPrivate
{
public:
    explicit OptionsDialogPrivate(OptionsDialog* q) : q(q) {}

    // The page the stack shows; null for a widget that is no option page.
    AbstractOption* currentPage() const
    {
        return qobject_cast<AbstractOption*>(ui.optionsStack->currentWidget());
    }

    // The header names the page that is shown.
    void fillHeader()
    {
        if (AbstractOption* page = currentPage()) {
            ui.labelTitle->setText(page->title());
            ui.labelDescription->setText(page->description());
            ui.labelLogo->setPixmap(page->pixmap());
        }
    }

    void updateApplyButton()
    {
        AbstractOption* page = currentPage();
        ui.buttonBox->button(QDialogButtonBox::Apply)->setEnabled(page && page->isModified());
    }

    Ui::OptionsDialog ui;
    OptionsDialog* q;
    CaptureOption* capture = nullptr;
    PlaybackOption* playback = nullptr;
};

OptionsDialog::OptionsDialog(QWidget* parent) : QDialog(parent), d(new OptionsDialogPrivate(this))
{
    d->ui.setupUi(this);
    QFont font = d->ui.labelTitle->font();
    font.setPointSize(15);
    font.setBold(true);
    d->ui.labelTitle->setFont(font);

    d->capture = new CaptureOption(this);
    addOption(d->capture);
    d->playback = new PlaybackOption(this);
    addOption(d->playback);
    d->ui.optionsView->setCurrentRow(0);
    d->ui.optionsStack->setCurrentIndex(0);
    // From the first opening on, never the form's placeholder texts.
    d->fillHeader();
    // The page list is the first input.
    d->ui.optionsView->setFocus(Qt::OtherFocusReason);

    connect(d->ui.buttonBox->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &OptionsDialog::applyCurrent);
    connect(d->ui.optionsView, &QListWidget::currentRowChanged, this, &OptionsDialog::showOption);
}

OptionsDialog::~OptionsDialog()
{
    delete d;
}

void OptionsDialog::addOption(AbstractOption* page)
{
    auto* item = new QListWidgetItem(d->ui.optionsView);
    item->setData(Qt::DisplayRole, page->title());
    item->setData(Qt::DecorationRole, page->pixmap());
    d->ui.optionsStack->addWidget(page);
}

void OptionsDialog::accept()
{
    AbstractOption* page = d->currentPage();
    if (page && page->isModified())
        page->save();
    QDialog::accept();
}

void OptionsDialog::reject()
{
    AbstractOption* page = d->currentPage();
    if (page && page->isModified())
        page->restore();
    QDialog::reject();
}

void OptionsDialog::paintEvent(QPaintEvent* event)
{
    d->updateApplyButton();
    QDialog::paintEvent(event);
}

void OptionsDialog::applyCurrent()
{
    AbstractOption* page = d->currentPage();
    if (page && page->isModified())
        page->apply();
    // Pressing the button repaints only the button.
    d->updateApplyButton();
}

void OptionsDialog::showOption(int row)
{
    if (!maybeSave()) {
        // The list has moved already; move it back once the click or key that moved it is
        // through, so what is selected is what is shown.
        QTimer::singleShot(0, this, [this] {
            const QSignalBlocker blocker(d->ui.optionsView);
            d->ui.optionsView->setCurrentRow(d->ui.optionsStack->currentIndex());
        });
        return;
    }
    d->ui.optionsStack->setCurrentIndex(row);
    d->fillHeader();
    d->updateApplyButton();
}

bool OptionsDialog::maybeSave()
{
    AbstractOption* page = d->currentPage();
    if (!page || !page->isModified())
        return true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Unsaved Changes"),
        tr("The \"%1\" settings have been modified.\n\nDo you want to Save, Discard your changes "
           "or Abort closing this window?")
            .arg(page->title()),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Abort, QMessageBox::NoButton);
    switch (answer) {
    case QMessageBox::Save:
        page->save();
        return true;
    case QMessageBox::Discard:
        page->restore();
        return true;
    case QMessageBox::Abort:
        return false;
    default:
        return true;
    }
}

} // namespace MeetingSupport
