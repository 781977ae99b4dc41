// SPDX-License-Identifier: MIT
#include "imageview.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPixmap>
#include <QWheelEvent>

#include <cmath>

namespace MeetingSupport {

namespace {

// Steps are counted as in decimal arithmetic: 0.7 - 0.1 is 0.6 although the doubles say
// 0.59999..., so a quotient within rounding noise of a whole number is that number.
double wholeSteps(double value, double step)
{
    const double steps = value / step;
    const double nearest = std::round(steps);
    return std::abs(steps - nearest) < 1e-9 ? nearest : steps;
}

constexpr double limitSlack = 1e-9;

} // namespace

class ImageViewPrivate
{
public:
    explicit ImageViewPrivate(ImageView* q) : q(q) {}
    ~ImageViewPrivate() { delete scene; }

    void applyTransform()
    {
        QTransform transform;
        transform.scale(scale, scale);
        transform.rotate(rotation);
        q->setTransform(transform);
    }

    const double minimumScale = 0.05;
    const double maximumScale = 50.0;
    const double scaleStep = 0.1;
    double scale = 1.0;
    double rotation = 0.0;
    QPixmap pixmap;
    QGraphicsScene* scene = nullptr;
    QGraphicsPixmapItem* pixmapItem = nullptr;
    ImageView::Resize resizeMode = ImageView::KeepSize;
    ImageView::AutoZoom autoZoomMode = ImageView::FitToWindow;
    ImageView* q;
};

ImageView::ImageView(QWidget* parent) : QGraphicsView(parent), d(new ImageViewPrivate(this))
{
    setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setBackgroundBrush(QBrush(Qt::black, Qt::SolidPattern));
    d->scene = new QGraphicsScene();
    d->pixmapItem = new QGraphicsPixmapItem();
    d->pixmapItem->setTransformationMode(Qt::SmoothTransformation);
    d->scene->addItem(d->pixmapItem);
    setScene(d->scene);
}

ImageView::~ImageView()
{
    // The scene goes before the view that shows it.
    setScene(nullptr);
    delete d;
}

ImageView::Resize ImageView::resizeMode() const
{
    return d->resizeMode;
}

ImageView::AutoZoom ImageView::autoZoomMode() const
{
    return d->autoZoomMode;
}

double ImageView::scale() const
{
    return d->scale;
}

double ImageView::rotation() const
{
    return d->rotation;
}

void ImageView::originalSize()
{
    d->scale = 1.0;
    d->applyTransform();
    emit updated();
}

void ImageView::fitToWindow()
{
    fitInView(sceneRect(), Qt::KeepAspectRatio);
    // The fitted transform is a uniform scale, perhaps turned: its length along one axis is the
    // scale. Reading m11 alone would give 0 on a quarter turn and a negative value upside down,
    // and a negative scale would turn the picture over at the next zoom step.
    const QTransform fitted = transform();
    d->scale = std::hypot(fitted.m11(), fitted.m21());
    emit updated();
}

void ImageView::openImage(const QImage& image)
{
    const QPixmap pixmap = QPixmap::fromImage(image);
    if (pixmap.isNull())
        return;
    d->pixmap = pixmap;
    d->pixmapItem->setPixmap(d->pixmap);
    d->scene->setSceneRect(0, 0, image.width(), image.height());
    originalSize();
    if (d->autoZoomMode == FitToWindow)
        fitToWindow();
    emit updated();
}

void ImageView::closeImage()
{
    d->pixmap = QPixmap();
    d->pixmapItem->setPixmap(d->pixmap);
    emit updated();
}

void ImageView::zoomIn()
{
    const double next = d->scale + d->scaleStep;
    if (next <= d->maximumScale + limitSlack)
        d->scale = std::floor(wholeSteps(next, d->scaleStep)) * d->scaleStep;
    d->applyTransform();
    emit updated();
}

void ImageView::zoomOut()
{
    const double next = d->scale - d->scaleStep;
    if (next >= d->minimumScale - limitSlack)
        d->scale = std::ceil(wholeSteps(next, d->scaleStep)) * d->scaleStep;
    d->applyTransform();
    emit updated();
}

void ImageView::rotate(double angle)
{
    d->rotation += angle;
    QGraphicsView::rotate(angle);
    emit updated();
}

void ImageView::rotateLeft()
{
    rotate(-90.0);
}

void ImageView::rotateRight()
{
    rotate(90.0);
}

void ImageView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        setDragMode(QGraphicsView::ScrollHandDrag);
    QGraphicsView::mousePressEvent(event);
}

void ImageView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        setDragMode(QGraphicsView::NoDrag);
    QGraphicsView::mouseReleaseEvent(event);
}

void ImageView::wheelEvent(QWheelEvent* event)
{
    // One step per event, however far the wheel turned.
    const QPoint angle = event->angleDelta();
    const int delta = angle.y() != 0 ? angle.y() : angle.x();
    if (delta >= 1)
        zoomIn();
    else
        zoomOut();
    event->accept();
}

} // namespace MeetingSupport
