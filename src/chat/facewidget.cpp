// SPDX-License-Identifier: MIT
#include "facewidget.h"

namespace MeetingSupport {

class FaceWidgetPrivate
{
public:
    explicit FaceWidgetPrivate(FaceWidget* q) : q(q) {}

    FaceWidget* q;
};

FaceWidget::FaceWidget(QWidget* parent) : QWidget(parent), d(new FaceWidgetPrivate(this)) {}

FaceWidget::~FaceWidget()
{
    delete d;
}

} // namespace MeetingSupport
