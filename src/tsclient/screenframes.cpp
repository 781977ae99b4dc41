// SPDX-License-Identifier: MIT
#include "screenframes.h"

#include <QDebug>
#include <QMutexLocker>

#include <libyuv/scale_argb.h>

#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Pictures kept per share: one shown, one waiting, one to spare (the one being written is out).
constexpr int MaxPooled = 3;

// source into target (both B, G, R, A in memory, which Format_RGB32 is): a box filter when
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
    if (!box.isEmpty()) {
        QMutexLocker locker(&m_mutex);
        m_shares[sharer].box = box;
        return;
    }
    {
        QMutexLocker last(&m_lastMutex);
        QMutexLocker locker(&m_mutex);
        const bool had = m_shares.remove(sharer) + m_last.remove(sharer) > 0;
        if (!had)
            return;
    }
#ifdef __GLIBC__
    // Megabytes of pictures were freed inside the heap; without this they would stay the
    // program's.
    malloc_trim(0);
#endif
}

QImage ScreenFrames::reusable(Share* share, const QSize& size)
{
    QImage found;
    for (int i = share->pool.size() - 1; i >= 0; --i) {
        QImage& image = share->pool[i];
        // Held by nobody else: neither waiting, nor shown, nor kept as the last frame.
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

bool ScreenFrames::publish(quint16 sharer, QImage image, quint32 number, const QSize& source,
                           const uchar* pixels, int stride, const QSize& pixelSize)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_shares.find(sharer);
    if (it == m_shares.end())
        return false;
    const QSize size = fitted(source, it->box);
    if (size != image.size()) {
        // The viewer changed size meanwhile, and may have asked for the last frame again
        // before this one was kept: this one at the new size, or a still screen stays blurred.
        image = QImage(size, QImage::Format_RGB32);
        if (image.isNull())
            return false;
        scaleInto(pixels, stride, pixelSize, &image);
    }
    while (it->pool.size() >= MaxPooled)
        it->pool.removeFirst();
    it->pool.append(image);
    it->latest = image;
    it->latestNumber = number;
    it->latestSource = source;
    it->pending = std::move(image);
    it->pendingNumber = number;
    it->pendingSource = source;
    const bool tell = !it->told;
    it->told = true;
    return tell;
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
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_shares.find(sharer);
        if (it == m_shares.end())
            return false; // nobody looks at it
        size = fitted(source, it->box);
        out = reusable(&*it, size);
    }
    // Written outside m_mutex: the GUI thread never waits for a frame being made.
    if (out.isNull())
        out = QImage(size, QImage::Format_RGB32);
    if (out.isNull()) {
        qDebug() << "No memory for a screen frame of" << width << "x" << height;
        return false;
    }
    scaleInto(pixels, stride, source, &out);
    {
        QMutexLocker last(&m_lastMutex);
        if (size == source) {
            // Shown 1:1: the picture is the full-size frame, shared, never written again.
            Last& kept = m_last[sharer];
            kept.number = number;
            kept.image = out;
        } else {
            m_last.remove(sharer);
        }
    }
    return publish(sharer, std::move(out), number, source, pixels, stride, source);
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
    frame->number = it->pendingNumber;
    // The size of the screen the picture was made from, not of the picture.
    frame->source = it->pendingSource;
    return true;
}

bool ScreenFrames::rescale(quint16 sharer, bool* sharp)
{
    if (sharp)
        *sharp = true;
    QMutexLocker last(&m_lastMutex);
    QImage from;
    quint32 number = 0;
    QSize source;
    QSize size;
    QImage out;
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_shares.find(sharer);
        if (it == m_shares.end())
            return false;
        const auto kept = m_last.constFind(sharer);
        if (kept != m_last.cend() && !kept->image.isNull()) {
            from = kept->image;
            number = kept->number;
            source = from.size();
        } else {
            from = it->latest;
            number = it->latestNumber;
            source = it->latestSource;
        }
        if (from.isNull())
            return false;
        size = fitted(source, it->box);
        if (!it->pending.isNull() && it->pending.size() == size)
            return true;
        out = reusable(&*it, size);
    }
    if (out.isNull())
        out = QImage(size, QImage::Format_RGB32);
    if (out.isNull())
        return false;
    scaleInto(from.constBits(), int(from.bytesPerLine()), from.size(), &out);
    if (sharp)
        *sharp = size.width() <= from.width() && size.height() <= from.height();
    publish(sharer, std::move(out), number, source, from.constBits(), int(from.bytesPerLine()),
            from.size());
    return true;
}
