// SPDX-License-Identifier: MIT
#include "imageviewer.h"

#include "ui_imageviewer.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include <cmath>

namespace MeetingSupport {

class ImageViewerPrivate
{
public:
    explicit ImageViewerPrivate(ImageViewer* q) : q(q) {}

    QRect availableGeometry() const
    {
        QScreen* screen = q->screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        return screen ? screen->availableGeometry() : QRect(QPoint(0, 0), defaultSize);
    }

    Ui::ImageViewer ui;
    const QSize defaultSize{640, 480};
    QImage image;
    ImageViewer* q;
};

ImageViewer::ImageViewer() : QWidget(nullptr), d(new ImageViewerPrivate(this))
{
    d->ui.setupUi(this);
    connect(d->ui.view, &ImageView::updated, this, &ImageViewer::updateStatus);
    connect(d->ui.pushButtonFitToWindow, &QPushButton::clicked, d->ui.view,
            &ImageView::fitToWindow);
    connect(d->ui.pushButtonOriginalSize, &QPushButton::clicked, d->ui.view,
            &ImageView::originalSize);
    connect(d->ui.pushButtonZoomIn, &QPushButton::clicked, d->ui.view, &ImageView::zoomIn);
    connect(d->ui.pushButtonZoomOut, &QPushButton::clicked, d->ui.view, &ImageView::zoomOut);
}

ImageViewer::~ImageViewer()
{
    delete d;
}

void ImageViewer::showImage(const QImage& image)
{
    d->image = image;
    d->ui.view->openImage(image);

    if (!isMaximized()) {
        const QRect available = d->availableGeometry();
        const QSize largest = available.size() - QSize(128, 128);
        QSize wanted(image.width(), image.height() + d->ui.toolBar->sizeHint().height());
        // Covering the largest size rather than fitting into it: one side may stay larger.
        if (wanted.width() > largest.width() || wanted.height() > largest.height())
            wanted = wanted.scaled(largest, Qt::KeepAspectRatioByExpanding);
        resize(wanted);
    }
    const QPoint centre = d->availableGeometry().center();
    move(centre.x() - width() / 2, centre.y() - height() / 2);
}

QImage ImageViewer::image() const
{
    return d->image;
}

ImageView* ImageViewer::view() const
{
    return d->ui.view;
}

void ImageViewer::showEvent(QShowEvent* event)
{
    activateWindow();
    QWidget::showEvent(event);
    // The window's resize on its first showing comes before the view has its size, and the
    // picture would be fitted into a view of a few pixels: fit again now that it has.
    d->ui.view->fitToWindow();
}

void ImageViewer::closeEvent(QCloseEvent* event)
{
    d->ui.view->closeImage();
    d->image = QImage();
    QWidget::closeEvent(event);
}

void ImageViewer::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Q || event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ImageViewer::resizeEvent(QResizeEvent* event)
{
    d->ui.view->fitToWindow();
    QWidget::resizeEvent(event);
}

void ImageViewer::updateStatus()
{
    // Halves round upward; the scale is never negative.
    const int percent = int(std::floor(d->ui.view->scale() * 100.0 + 0.5));
    d->ui.labelStatus->setText(QString::number(percent) + QLatin1Char('%'));
}

} // namespace MeetingSupport
