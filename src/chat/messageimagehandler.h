// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QSize>
#include <QTextObjectInterface>

class QWidget;

namespace MeetingSupport {

class HistoryPictures;
class MessageImageHandlerPrivate;

// Sizes and draws the pictures of the message history: a picture wider than half the view is
// scaled to cover a box of half the view's width and height, keeping its aspect ratio.
class MessageImageHandler : public QObject, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)
public:
    // The view whose size bounds the pictures; it is also the parent.
    explicit MessageImageHandler(QWidget* view, qreal scale = 0.5);
    ~MessageImageHandler() override;

    // Pictures registered there are measured by their header and drawn from what it decodes
    // at the drawn size; other names are read from the document's resources.
    void setPictures(HistoryPictures* pictures);

    QSizeF intrinsicSize(QTextDocument* doc, int posInDocument, const QTextFormat& format) override;
    void drawObject(QPainter* painter, const QRectF& rect, QTextDocument* doc, int posInDocument,
                    const QTextFormat& format) override;

    // Bounds on a drawn picture. The covering rule turns a picture of extreme shape (16384 x 1)
    // into millions of pixels on its long side; beyond these it is scaled down, shape kept.
    static constexpr int maxDrawnSide = 4096;
    static constexpr qint64 maxDrawnPixels = qint64(4096) * 2048;
    static QSize capDrawnSize(const QSize& size);

private:
    MessageImageHandlerPrivate* d;
};

} // namespace MeetingSupport
