// SPDX-License-Identifier: MIT
#pragma once

#include "imageview.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The viewer's form: the picture above a row of zoom buttons around the zoom percentage.
class ImageViewer
{
public:
    QVBoxLayout* verticalLayout;
    MeetingSupport::ImageView* view;
    QHBoxLayout* toolBar;
    QPushButton* pushButtonOriginalSize;
    QPushButton* pushButtonZoomOut;
    QLabel* labelStatus;
    QPushButton* pushButtonZoomIn;
    QPushButton* pushButtonFitToWindow;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("ImageViewer"));
        widget->resize(675, 504);

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        verticalLayout->setContentsMargins(11, 11, 11, 11);

        view = new MeetingSupport::ImageView(widget);
        view->setObjectName(QStringLiteral("view"));
        view->setFrameShape(QFrame::NoFrame);
        verticalLayout->addWidget(view);

        toolBar = new QHBoxLayout();
        toolBar->setObjectName(QStringLiteral("toolBar"));
        toolBar->setSpacing(12);
        toolBar->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));

        pushButtonOriginalSize =
            flatButton(widget, "pushButtonOriginalSize", ":/qml/images/zoom-original.png");
        toolBar->addWidget(pushButtonOriginalSize);
        pushButtonZoomOut = flatButton(widget, "pushButtonZoomOut", ":/qml/images/zoom-out.png");
        toolBar->addWidget(pushButtonZoomOut);

        labelStatus = new QLabel(widget);
        labelStatus->setObjectName(QStringLiteral("labelStatus"));
        labelStatus->setAlignment(Qt::AlignCenter);
        toolBar->addWidget(labelStatus);

        pushButtonZoomIn = flatButton(widget, "pushButtonZoomIn", ":/qml/images/zoom-in.png");
        toolBar->addWidget(pushButtonZoomIn);
        pushButtonFitToWindow =
            flatButton(widget, "pushButtonFitToWindow", ":/qml/images/zoom-fit-window.png");
        pushButtonFitToWindow->setAutoRepeat(false);
        pushButtonFitToWindow->setAutoExclusive(false);
        toolBar->addWidget(pushButtonFitToWindow);

        toolBar->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
        verticalLayout->addLayout(toolBar);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* context = "MeetingSupport::ImageViewer";
        widget->setWindowTitle(QCoreApplication::translate(context, "ImageViewer"));
        pushButtonOriginalSize->setToolTip(QCoreApplication::translate(context, "Original Size"));
        pushButtonZoomOut->setToolTip(QCoreApplication::translate(context, "Zoom Out"));
        labelStatus->setText(QStringLiteral("1000%"));
        pushButtonZoomIn->setToolTip(QCoreApplication::translate(context, "Zoom In"));
        pushButtonFitToWindow->setToolTip(QCoreApplication::translate(context, "Fit to Window"));
    }

private:
    static QPushButton* flatButton(QWidget* parent, const char* name, const char* icon)
    {
        QPushButton* button = new QPushButton(parent);
        button->setObjectName(QLatin1String(name));
        button->setFlat(true);
        button->setIcon(QIcon(QLatin1String(icon)));
        return button;
    }
};

} // namespace Ui
} // namespace MeetingSupport
