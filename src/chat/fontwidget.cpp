// SPDX-License-Identifier: MIT
#include "fontwidget.h"

#include "ui_fontwidget.h"

#include <QColorDialog>
#include <QFontDatabase>
#include <QSettings>
#include <QSignalBlocker>

namespace MeetingSupport {

namespace {

const QString nameKey = QStringLiteral("editor/font/name");
const QString sizeKey = QStringLiteral("editor/font/size");
const QString boldKey = QStringLiteral("editor/font/bold");
const QString italicKey = QStringLiteral("editor/font/italic");
const QString underlineKey = QStringLiteral("editor/font/underline");
const QString colorKey = QStringLiteral("editor/font/color");

bool isInstalled(const QString& family)
{
    return QFontDatabase().families().contains(family);
}

} // namespace

class FontWidgetPrivate
{
public:
    explicit FontWidgetPrivate(FontWidget* q) : q(q) {}

    void setStyleBit(int bit, bool on) { font.style = on ? font.style | bit : font.style & ~bit; }

    void loadSettings()
    {
        QSettings settings;
        const QString family = settings.value(nameKey, font.family).toString();
        if (isInstalled(family))
            font.family = family;
        bool ok = false;
        const int size = settings.value(sizeKey, font.size).toInt(&ok);
        if (ok && size >= minFontPointSize && size <= maxFontPointSize)
            font.size = size;
        setStyleBit(MessageFont::Bold, settings.value(boldKey, false).toBool());
        setStyleBit(MessageFont::Italic, settings.value(italicKey, false).toBool());
        setStyleBit(MessageFont::Underline, settings.value(underlineKey, false).toBool());
        font.color = QColor(settings.value(colorKey, font.color.name()).toString());

        // Showing the values is no change of them.
        const QSignalBlocker blockFamily(ui.fontComboBox);
        const QSignalBlocker blockSize(ui.fontSizeComboBox);
        ui.fontComboBox->setCurrentFont(font.toFont());
        ui.fontSizeComboBox->setCurrentIndex(
            ui.fontSizeComboBox->findText(QString::number(font.size), Qt::MatchExactly));
        ui.toolButtonTextBold->setChecked(font.style & MessageFont::Bold);
        ui.toolButtonTextItalic->setChecked(font.style & MessageFont::Italic);
        ui.toolButtonTextUnder->setChecked(font.style & MessageFont::Underline);
    }

    void saveSettings() const
    {
        QSettings settings;
        settings.setValue(nameKey, font.family);
        settings.setValue(sizeKey, font.size);
        settings.setValue(boldKey, bool(font.style & MessageFont::Bold));
        settings.setValue(italicKey, bool(font.style & MessageFont::Italic));
        settings.setValue(underlineKey, bool(font.style & MessageFont::Underline));
        settings.setValue(colorKey, font.color.name());
    }

    MessageFont font;
    Ui::FontWidget ui;
    FontWidget* q;
};

FontWidget::FontWidget(QWidget* parent) : QWidget(parent), d(new FontWidgetPrivate(this))
{
    d->ui.setupUi(this);
    d->loadSettings();
}

FontWidget::~FontWidget()
{
    d->saveSettings();
    delete d;
}

MessageFont FontWidget::fontStyle() const
{
    return d->font;
}

void FontWidget::on_toolButtonTextBold_clicked()
{
    d->setStyleBit(MessageFont::Bold, d->ui.toolButtonTextBold->isChecked());
    emit valueChanged();
}

void FontWidget::on_toolButtonTextItalic_clicked()
{
    d->setStyleBit(MessageFont::Italic, d->ui.toolButtonTextItalic->isChecked());
    emit valueChanged();
}

void FontWidget::on_toolButtonTextUnder_clicked()
{
    d->setStyleBit(MessageFont::Underline, d->ui.toolButtonTextUnder->isChecked());
    emit valueChanged();
}

void FontWidget::on_toolButtonTextColor_clicked()
{
    const QColor color = QColorDialog::getColor(d->font.color, this);
    if (color.isValid())
        d->font.color = color;
    emit valueChanged();
}

void FontWidget::on_fontSizeComboBox_currentIndexChanged(int index)
{
    bool ok = false;
    const int size = d->ui.fontSizeComboBox->itemText(index).toInt(&ok);
    if (index >= 0 && ok)
        d->font.size = size;
    emit valueChanged();
}

void FontWidget::on_fontComboBox_currentFontChanged(const QFont& font)
{
    if (isInstalled(font.family()))
        d->font.family = font.family();
    emit valueChanged();
}

} // namespace MeetingSupport
