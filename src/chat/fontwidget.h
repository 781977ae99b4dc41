// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"

#include <QWidget>

namespace MeetingSupport {

class FontWidgetPrivate;

// The font bar above the editor: family, size, bold, italic, underline and colour of the user's
// messages. Reads its settings when built and writes them when destroyed.
class FontWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FontWidget(QWidget* parent = nullptr);
    ~FontWidget() override;

    MessageFont fontStyle() const;

signals:
    // After every change made through the bar.
    void valueChanged();

private slots:
    void on_toolButtonTextBold_clicked();
    void on_toolButtonTextItalic_clicked();
    void on_toolButtonTextUnder_clicked();
    void on_toolButtonTextColor_clicked();
    void on_fontSizeComboBox_currentIndexChanged(int index);
    void on_fontComboBox_currentFontChanged(const QFont& font);

private:
    FontWidgetPrivate* d;
    friend class FontWidgetPrivate;
};

} // namespace MeetingSupport
