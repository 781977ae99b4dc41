// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

namespace MeetingSupport {

class HistoryPicturesPrivate;

// The pictures of a message history. Each is kept as it came: the compressed JPEG data of a
// received picture, or the path of a local picture file, with the size its header gives. What
// is drawn is decoded at the size it is drawn, small pictures at once and larger ones on a
// worker thread, so the GUI thread never decodes a large picture. The decoded pictures of the
// whole history stay under a bound; beyond it, those drawn longest ago are let go and decoded
// again when they are drawn next.
class HistoryPictures : public QObject
{
    Q_OBJECT
public:
    explicit HistoryPictures(QObject* parent = nullptr);
    ~HistoryPictures() override;

    // Registers a received picture (qCompress of JPEG data) under name. False, and nothing
    // kept, when its header cannot be read within a bounded window or claims a picture beyond
    // the size bounds.
    bool addCompressed(const QString& name, const QByteArray& compressed);
    // The same for an ordinary local picture file, read again whenever it is decoded.
    bool addFile(const QString& name, const QString& path);
    void remove(const QString& name);
    bool contains(const QString& name) const;
    // The picture's own size; invalid for a name not registered.
    QSize originalSize(const QString& name) const;

    // The picture to draw at size (device pixels). The decoded picture when it has that size;
    // otherwise the one held (another size, or null) while the right one is decoded, and
    // picturesReady() tells when it is there.
    QImage picture(const QString& name, const QSize& size);
    // The picture at its own size, decoded now (for the image viewer); null when it fails.
    QImage original(const QString& name) const;

    // The decoded picture held for name; null when only its compressed form is held.
    QImage held(const QString& name) const;
    qint64 heldBytes() const;
    qint64 memoryBound() const;
    void setMemoryBound(qint64 bytes);
    // Decodes queued or running on the worker.
    int pendingDecodes() const;

    // Forgets every picture; decodes still running are thrown away when they end.
    void clear();

signals:
    // Pictures decoded on the worker have arrived: what shows them should be drawn again.
    void picturesReady();

private:
    HistoryPicturesPrivate* d;
    friend class HistoryPicturesPrivate;
};

} // namespace MeetingSupport
