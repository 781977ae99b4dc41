// SPDX-License-Identifier: MIT
#pragma once

#include <QGraphicsView>
#include <QImage>

namespace MeetingSupport {

class ImageViewPrivate;

// One picture on a black ground: zoom in fixed steps between fixed limits, wheel zoom, panning
// with the left button, fit to the window, rotation.
class ImageView : public QGraphicsView
{
    Q_OBJECT
public:
    enum Resize { KeepSize = 0, FitToImage = 1, FitToBigImage = 2 };
    Q_ENUM(Resize)
    enum AutoZoom {
        FitToWindow = 0,
        FitBigToWindow = 1,
        FitToDesktop = 2,
        FitBigToDesktop = 3,
        FitToCustom = 4,
        FitBigToCustom = 5,
    };
    Q_ENUM(AutoZoom)

    explicit ImageView(QWidget* parent = nullptr);
    ~ImageView() override;

    Resize resizeMode() const;
    AutoZoom autoZoomMode() const;
    // The zoom factor, 1.0 for the original size; never negative, whatever the rotation.
    double scale() const;
    double rotation() const;

signals:
    // After every change of picture, zoom or rotation.
    void updated();

public slots:
    void originalSize();
    void fitToWindow();
    void openImage(const QImage& image);
    void closeImage();
    void zoomIn();
    void zoomOut();
    void rotate(double angle);
    void rotateLeft();
    void rotateRight();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    ImageViewPrivate* d;
    friend class ImageViewPrivate;
};

} // namespace MeetingSupport
