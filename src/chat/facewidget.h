// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace MeetingSupport {

class FaceWidgetPrivate;

// The emoticon panel. It offers no emoticons yet; the chat pane keeps it hidden.
class FaceWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FaceWidget(QWidget* parent = nullptr);
    ~FaceWidget() override;

private:
    FaceWidgetPrivate* d;
    friend class FaceWidgetPrivate;
};

} // namespace MeetingSupport
