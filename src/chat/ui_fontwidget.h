// SPDX-License-Identifier: MIT
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QFontComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QSpacerItem>
#include <QToolButton>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The font bar's form: family, size, bold, italic, underline and colour in one row.
class FontWidget
{
public:
    QHBoxLayout* horizontalLayout;
    QFontComboBox* fontComboBox;
    QComboBox* fontSizeComboBox;
    QToolButton* toolButtonTextBold;
    QToolButton* toolButtonTextItalic;
    QToolButton* toolButtonTextUnder;
    QToolButton* toolButtonTextColor;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("FontWidget"));
        widget->resize(400, 34);

        horizontalLayout = new QHBoxLayout(widget);
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        horizontalLayout->setSpacing(12);
        horizontalLayout->setContentsMargins(6, 6, 6, 6);

        fontComboBox = new QFontComboBox(widget);
        fontComboBox->setObjectName(QStringLiteral("fontComboBox"));
        fontComboBox->setEditable(false);
        fontComboBox->setFontFilters(QFontComboBox::ScalableFonts | QFontComboBox::MonospacedFonts |
                                     QFontComboBox::ProportionalFonts);
        fontComboBox->setMaximumWidth(100);
        horizontalLayout->addWidget(fontComboBox);

        fontSizeComboBox = new QComboBox(widget);
        fontSizeComboBox->setObjectName(QStringLiteral("fontSizeComboBox"));
        fontSizeComboBox->setMinimumWidth(66);
        for (int size = 9; size <= 22; ++size)
            fontSizeComboBox->addItem(QString::number(size));
        horizontalLayout->addWidget(fontSizeComboBox);

        toolButtonTextBold = toolButton(widget, "toolButtonTextBold", ":/qml/images/textbold.png");
        toolButtonTextBold->setIconSize(QSize(16, 16));
        toolButtonTextBold->setCheckable(true);
        horizontalLayout->addWidget(toolButtonTextBold);
        toolButtonTextItalic =
            toolButton(widget, "toolButtonTextItalic", ":/qml/images/textitalic.png");
        toolButtonTextItalic->setCheckable(true);
        horizontalLayout->addWidget(toolButtonTextItalic);
        toolButtonTextUnder =
            toolButton(widget, "toolButtonTextUnder", ":/qml/images/textunder.png");
        toolButtonTextUnder->setCheckable(true);
        horizontalLayout->addWidget(toolButtonTextUnder);
        toolButtonTextColor =
            toolButton(widget, "toolButtonTextColor", ":/qml/images/textcolor.png");
        horizontalLayout->addWidget(toolButtonTextColor);

        horizontalLayout->addItem(
            new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));

        retranslateUi(widget);
        QMetaObject::connectSlotsByName(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* context = "MeetingSupport::FontWidget";
        widget->setWindowTitle(QCoreApplication::translate(context, "Font"));
        toolButtonTextBold->setToolTip(QCoreApplication::translate(context, "Bold"));
        toolButtonTextItalic->setToolTip(QCoreApplication::translate(context, "Italic"));
        toolButtonTextUnder->setToolTip(QCoreApplication::translate(context, "Underline"));
        toolButtonTextColor->setToolTip(QCoreApplication::translate(context, "Colour"));
    }

private:
    static QToolButton* toolButton(QWidget* parent, const char* name, const char* icon)
    {
        QToolButton* button = new QToolButton(parent);
        button->setObjectName(QLatin1String(name));
        button->setAutoRaise(true);
        button->setIcon(QIcon(QLatin1String(icon)));
        return button;
    }
};

} // namespace Ui
} // namespace MeetingSupport
