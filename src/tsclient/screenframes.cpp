// SPDX-License-Identifier: MIT
#include "screenframes.h"

#include <QDebug>
#include <QMutexLocker>

#include <libyuv/scale_argb.h>

#include <cstring>

namespace {

// Pictures kept per share: one shown, one waiting, one being written, one to spare.
constexpr int MaxPooled = 4;

// source into target (both Format_RGB32, which is B, G, R, A in memory): a box filter when
// shrinking keeps text readable, bilinear when growing.
void scaleInto(const uchar* source, int stride, const QSize& size, QImage* target)
{
    if (target->size() == size) {
        const int rowBytes = size.width() * 4;
        for (int y = 0; y < size.height(); ++y)
            std::memcpy(target->scanLine(y), source + qsizetype(y) * stride, size_t(rowBytes));
        return;
    }
    const bool shrinking = target->width() < size.width() || target->height() < size.height();
    libyuv::ARGBScale(source, stride, size.width(), size.height(), target->bits(),
                      int(target->bytesPerLine()), target->width(), target->height(),
                      shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
}

} // namespace

QSize ScreenFrames::fitted(const QSize& source, const QSize& box)
{
    if (source.isEmpty() || box.isEmpty())
        return QSize();
    const QSize bounded = box.boundedTo(QSize(MaxWidth, MaxHeight));
    return source.scaled(bounded, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

void ScreenFrames::setViewBox(quint16 sharer, const QSize& box)
{
    QMutexLocker locker(&m_mutex);
    if (box.isEmpty()) {
        m_shares.remove(sharer);
        return;
    }
    m_shares[sharer].box = box;
}

QImage ScreenFrames::reusable(Share* share, const QSize& size)
{
    QImage found;
    for (int i = share->pool.size() - 1; i >= 0; --i) {
        QImage& image = share->pool[i];
        // Held by nobody else: neither waiting nor shown.
        if (!image.isDetached())
            continue;
        if (image.size() != size) {
            share->pool.removeAt(i); // of a size gone by
        } else if (found.isNull()) {
            found = std::move(image);
            share->pool.removeAt(i);
        }
    }
    return found;
}

void ScreenFrames::publish(Share* share, QImage image, quint32 number)
{
    while (share->pool.size() >= MaxPooled)
        share->pool.removeFirst();
    share->pool.append(image);
    share->pending = std::move(image);
    share->pendingNumber = number;
}

bool ScreenFrames::deliver(quint16 sharer, quint32 number, int width, int height, int stride,
                           const uchar* pixels)
{
    if (!pixels || width <= 0 || height <= 0 || width > MaxWidth || height > MaxHeight ||
        stride < width * 4) {
        qDebug() << "Dropping a screen frame of" << width << "x" << height << "stride" << stride
                 << "from client" << sharer;
        return false;
    }
    const QSize source(width, height);
    QSize size;
    QImage out;
    QImage copy;
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_shares.find(sharer);
        if (it == m_shares.end())
            return false; // nobody looks at it
        size = fitted(source, it->box);
        out = reusable(&*it, size);
        copy = std::move(it->spare);
    }
    // Written outside the lock: the GUI thread never waits for a frame being made.
    if (out.isNull())
        out = QImage(size, QImage::Format_RGB32);
    if (copy.size() != source)
        copy = QImage(source, QImage::Format_RGB32);
    if (out.isNull() || copy.isNull()) {
        qDebug() << "No memory for a screen frame of" << width << "x" << height;
        return false;
    }
    scaleInto(pixels, stride, source, &copy);
    scaleInto(copy.constBits(), int(copy.bytesPerLine()), source, &out);

    QMutexLocker locker(&m_mutex);
    const auto it = m_shares.find(sharer);
    if (it == m_shares.end())
        return false;
    if (fitted(source, it->box) != out.size()) {
        // The viewer changed size meanwhile, and may have asked for the last frame again
        // before this one was kept: this one at the new size, or a still screen stays blurred.
        out = QImage(fitted(source, it->box), QImage::Format_RGB32);
        if (out.isNull())
            return false;
        scaleInto(copy.constBits(), int(copy.bytesPerLine()), source, &out);
    }
    it->spare = std::move(it->last);
    it->last = std::move(copy);
    it->lastNumber = number;
    publish(&*it, std::move(out), number);
    const bool tell = !it->told;
    it->told = true;
    return tell;
}

bool ScreenFrames::take(quint16 sharer, Frame* frame)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_shares.find(sharer);
    if (it == m_shares.end())
        return false;
    it->told = false;
    if (it->pending.isNull())
        return false;
    frame->image = std::move(it->pending);
    it->pending = QImage();
    frame->source = it->last.size();
    frame->number = it->pendingNumber;
    return true;
}

bool ScreenFrames::rescale(quint16 sharer)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_shares.find(sharer);
    if (it == m_shares.end() || it->last.isNull())
        return false;
    const QSize size = fitted(it->last.size(), it->box);
    if (!it->pending.isNull() && it->pending.size() == size)
        return true;
    QImage out = reusable(&*it, size);
    if (out.isNull())
        out = QImage(size, QImage::Format_RGB32);
    if (out.isNull())
        return false;
    scaleInto(it->last.constBits(), int(it->last.bytesPerLine()), it->last.size(), &out);
    publish(&*it, std::move(out), it->lastNumber);
    return true;
}
