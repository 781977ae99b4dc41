// SPDX-License-Identifier: MIT
#include "messageimagehandler.h"

#include "historypictures.h"
#include "localfile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTextDocument>
#include <QThread>
#include <QUrl>
#include <QVariant>
#include <QWidget>

#include <cmath>

namespace MeetingSupport {

namespace {

const QString missingPicture =
    QStringLiteral(":/qt-project.org/styles/commonstyle/images/file-16.png");

bool onGuiThread()
{
    return QCoreApplication::instance() &&
           QCoreApplication::instance()->thread() == QThread::currentThread();
}

// The file behind a picture name: qrc URLs become resource paths, file URLs local paths.
QString fileNameOf(const QString& name, const QUrl& url)
{
    if (url.isValid()) {
        if (url.scheme() == QLatin1String("qrc"))
            return name.mid(3);
        if (url.scheme() == QLatin1String("file"))
            return url.toLocalFile();
    }
    return name;
}

// A double-resolution sibling ("name@2x.png") when drawing on such a device.
QString highResolutionName(const QString& fileName, qreal devicePixelRatio)
{
    if (devicePixelRatio < 1.5 || fileName.contains(QLatin1String("@2x")))
        return fileName;
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot <= fileName.lastIndexOf(QLatin1Char('/')))
        return fileName;
    const QString candidate = fileName.left(dot) + QLatin1String("@2x") + fileName.mid(dot);
    return QFileInfo(candidate).isFile() ? candidate : fileName;
}

template <typename Picture> Picture fromImage(const QImage& image);
template <> QPixmap fromImage<QPixmap>(const QImage& image)
{
    return QPixmap::fromImage(image);
}
template <> QImage fromImage<QImage>(const QImage& image)
{
    return image;
}

// Resources read the way the resource system does; anything else only as an ordinary file, so a
// name can never make the view wait on a pipe or read a device.
QImage loadPictureFile(const QString& fileName)
{
    if (fileName.startsWith(QLatin1String(":/")))
        return QImage(fileName);
    return loadLocalPicture(fileName);
}

// The picture of an image format, as QPixmap on the GUI thread and as QImage elsewhere: the
// document's resource under the name (a name starting with ":/" is a qrc URL), else the file of
// that name (kept as a resource), else a small stand-in picture.
template <typename Picture>
Picture loadPicture(QTextDocument* doc, const QTextImageFormat& format, qreal devicePixelRatio)
{
    QString name = format.name();
    if (name.startsWith(QLatin1String(":/")))
        name.prepend(QLatin1String("qrc"));
    const QUrl url(name);
    const QString fileName = highResolutionName(fileNameOf(name, url), devicePixelRatio);

    Picture picture;
    const QVariant data = doc->resource(QTextDocument::ImageResource, url);
    if (data.userType() == QMetaType::QPixmap || data.userType() == QMetaType::QImage)
        picture = qvariant_cast<Picture>(data);
    else if (data.userType() == QMetaType::QByteArray)
        picture = fromImage<Picture>(readBoundedImage(data.toByteArray()));
    if (picture.isNull()) {
        const QImage image = fileName.isEmpty() ? QImage() : loadPictureFile(fileName);
        if (image.isNull())
            return Picture(missingPicture);
        picture = fromImage<Picture>(image);
        doc->addResource(QTextDocument::ImageResource, url, picture);
    }
    if (fileName.contains(QLatin1String("@2x")))
        picture.setDevicePixelRatio(2.0);
    return picture;
}

QSize loadedSize(QTextDocument* doc, const QTextImageFormat& format)
{
    // Only the size is needed: a picture held as a resource is measured without converting it.
    QString name = format.name();
    if (name.startsWith(QLatin1String(":/")))
        name.prepend(QLatin1String("qrc"));
    const QVariant data = doc->resource(QTextDocument::ImageResource, QUrl(name));
    QSizeF size;
    if (data.userType() == QMetaType::QImage) {
        const QImage image = qvariant_cast<QImage>(data);
        size = QSizeF(image.size()) / image.devicePixelRatio();
    } else if (data.userType() == QMetaType::QPixmap) {
        const QPixmap pixmap = qvariant_cast<QPixmap>(data);
        size = QSizeF(pixmap.size()) / pixmap.devicePixelRatio();
    } else if (onGuiThread()) {
        const QPixmap pixmap = loadPicture<QPixmap>(doc, format, 1.0);
        size = QSizeF(pixmap.size()) / pixmap.devicePixelRatio();
    } else {
        const QImage image = loadPicture<QImage>(doc, format, 1.0);
        size = QSizeF(image.size()) / image.devicePixelRatio();
    }
    return QSize(int(size.width()), int(size.height()));
}

} // namespace

class MessageImageHandlerPrivate
{
public:
    MessageImageHandlerPrivate(MessageImageHandler* q, QWidget* view, qreal scale)
        : view(view), scale(scale), q(q)
    {}

    QWidget* view;
    qreal scale;
    HistoryPictures* pictures = nullptr;
    MessageImageHandler* q;
};

MessageImageHandler::MessageImageHandler(QWidget* view, qreal scale)
    : QObject(view), d(new MessageImageHandlerPrivate(this, view, scale))
{}

MessageImageHandler::~MessageImageHandler()
{
    delete d;
}

void MessageImageHandler::setPictures(HistoryPictures* pictures)
{
    d->pictures = pictures;
}

QSize MessageImageHandler::capDrawnSize(const QSize& size)
{
    const qint64 width = qMax(0, size.width());
    const qint64 height = qMax(0, size.height());
    if (width <= maxDrawnSide && height <= maxDrawnSide && width * height <= maxDrawnPixels)
        return QSize(int(width), int(height));
    const double factor =
        qMin(qMin(double(maxDrawnSide) / width, double(maxDrawnSide) / height),
             std::sqrt(double(maxDrawnPixels) / (double(width) * double(height))));
    return QSize(qMax(1, int(width * factor)), qMax(1, int(height * factor)));
}

QSizeF MessageImageHandler::intrinsicSize(QTextDocument* doc, int posInDocument,
                                          const QTextFormat& format)
{
    Q_UNUSED(posInDocument)
    const QTextImageFormat imageFormat = format.toImageFormat();
    const bool hasWidth = imageFormat.hasProperty(QTextFormat::ImageWidth);
    const bool hasHeight = imageFormat.hasProperty(QTextFormat::ImageHeight);
    QSize size(qRound(imageFormat.width()), qRound(imageFormat.height()));
    if (!hasWidth || !hasHeight) {
        const QSize registered =
            d->pictures ? d->pictures->originalSize(imageFormat.name()) : QSize();
        const QSize picture = registered.isValid() ? registered : loadedSize(doc, imageFormat);
        if (!hasWidth && !hasHeight)
            size = picture;
        else if (!hasWidth)
            size.setWidth(picture.height() > 0
                              ? qRound(size.height() * qreal(picture.width()) / picture.height())
                              : 0);
        else
            size.setHeight(picture.width() > 0
                               ? qRound(size.width() * qreal(picture.height()) / picture.width())
                               : 0);
    }
    // Covering the box, not fitting into it: a wide picture keeps a readable height.
    const QSize box(qRound(d->view->width() * d->scale), qRound(d->view->height() * d->scale));
    if (box.width() < size.width())
        size = size.scaled(box, Qt::KeepAspectRatioByExpanding);
    return capDrawnSize(size);
}

void MessageImageHandler::drawObject(QPainter* painter, const QRectF& rect, QTextDocument* doc,
                                     int posInDocument, const QTextFormat& format)
{
    Q_UNUSED(posInDocument)
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const QTextImageFormat imageFormat = format.toImageFormat();
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QSize target = rect.size().toSize();
    if (d->pictures && d->pictures->contains(imageFormat.name())) {
        // Decoded at the drawn size; until it is, whatever size is held (or nothing) is drawn.
        const QImage image = d->pictures->picture(imageFormat.name(), target * ratio);
        if (!image.isNull())
            painter->drawImage(rect, image, QRectF(image.rect()));
        return;
    }
    if (onGuiThread()) {
        const QPixmap pixmap = loadPicture<QPixmap>(doc, imageFormat, ratio);
        if (pixmap.width() > rect.width() && !target.isEmpty()) {
            const QPixmap scaled =
                pixmap.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
            painter->drawPixmap(rect, scaled, QRectF(scaled.rect()));
        } else {
            painter->drawPixmap(rect, pixmap, QRectF(pixmap.rect()));
        }
    } else {
        const QImage image = loadPicture<QImage>(doc, imageFormat, ratio);
        if (image.width() > rect.width() && !target.isEmpty()) {
            const QImage scaled =
                image.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
            painter->drawImage(rect, scaled, QRectF(scaled.rect()));
        } else {
            painter->drawImage(rect, image, QRectF(image.rect()));
        }
    }
}

} // namespace MeetingSupport
