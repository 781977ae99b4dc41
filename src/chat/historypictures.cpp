// SPDX-License-Identifier: MIT
#include "historypictures.h"

#include "boundeduncompress.h"
#include "chatmessage.h"
#include "localfile.h"

#include <QBuffer>
#include <QDebug>
#include <QElapsedTimer>
#include <QHash>
#include <QImageReader>
#include <QThreadPool>

namespace MeetingSupport {

namespace {

// A header is looked for only this far into the data: an honest one is a few hundred bytes.
constexpr qint64 headerWindow = 1024 * 1024;
// Pictures this small are decoded on the GUI thread when they are drawn, as long as such work
// took less than syncBudgetMs in the last syncWindowMs; everything else goes to the worker.
constexpr qint64 smallPictureBytes = 1024 * 1024;
constexpr qint64 smallPicturePixels = qint64(4) * 1024 * 1024;
constexpr qint64 syncBudgetMs = 30;
constexpr qint64 syncWindowMs = 100;

struct Header
{
    QSize size;
    bool whole = false; // must be decoded at its whole size to be read at all
};

bool readByte(QIODevice* device, int* value)
{
    char c = 0;
    if (!device->getChar(&c))
        return false;
    *value = uchar(c);
    return true;
}

// The JPEG markers up to the first scan: the frame's size, and whether decoding needs the
// whole picture in memory (progressive, lossless, arithmetic or hierarchical coding, or
// components in separate scans) rather than stripes of it.
bool readJpegHeader(QIODevice* device, Header* header)
{
    int first = 0;
    int second = 0;
    if (!readByte(device, &first) || !readByte(device, &second) || first != 0xff || second != 0xd8)
        return false;
    int components = 0;
    bool sequential = false;
    for (;;) {
        int marker = 0;
        if (!readByte(device, &marker) || marker != 0xff)
            return false;
        do {
            if (!readByte(device, &marker))
                return false;
        } while (marker == 0xff);
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8))
            continue; // no segment follows
        if (marker == 0xd9)
            return false; // the end, before any scan
        int high = 0;
        int low = 0;
        if (!readByte(device, &high) || !readByte(device, &low))
            return false;
        const int length = (high << 8 | low) - 2;
        if (length < 0)
            return false;
        const bool frame =
            marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            const QByteArray segment = device->read(length);
            if (segment.size() != length || length < 6)
                return false;
            const auto at = [&](int i) { return int(uchar(segment.at(i))); };
            header->size = QSize(at(3) << 8 | at(4), at(1) << 8 | at(2));
            components = at(5);
            sequential = marker == 0xc0 || marker == 0xc1;
            continue;
        }
        if (marker == 0xda) {
            int inScan = 0;
            if (components == 0 || !readByte(device, &inScan))
                return false;
            header->whole = !sequential || inScan < components;
            return !header->size.isEmpty();
        }
        if (device->skip(length) != length)
            return false;
    }
}

bool withinBounds(const Header& header, const QString& what)
{
    const qint64 pixels = qint64(header.size.width()) * header.size.height();
    if (header.size.isEmpty() || header.size.width() > maxImageSide ||
        header.size.height() > maxImageSide || pixels > maxImagePixels ||
        (header.whole && pixels > maxWholeDecodePixels)) {
        qWarning().noquote() << "Not showing" << what << "of" << header.size.width() << "x"
                             << header.size.height() << "pixels"
                             << (header.whole ? "(decoded only whole)" : "");
        return false;
    }
    return true;
}

// Reads at the given size when that is smaller than the picture (JPEG decoders scale while
// decoding), else at the picture's own size.
QImage readScaled(QImageReader& reader, const QSize& original, const QSize& size)
{
    if (size.isValid() && !size.isEmpty() &&
        qint64(size.width()) * size.height() < qint64(original.width()) * original.height())
        reader.setScaledSize(size);
    QImage image;
    if (!reader.read(&image)) {
        qDebug() << "Ignoring damaged picture data:" << reader.errorString();
        return QImage();
    }
    return image;
}

struct Source
{
    QByteArray compressed; // a received picture: qCompress of JPEG data
    QString path;          // or a local file
    qint64 bytes = 0;      // the size of either
};

QImage decode(const Source& source, const QSize& original, const QSize& size)
{
    if (source.path.isEmpty()) {
        InflateDevice device(source.compressed, maxImageBytes);
        QImageReader reader(&device, "jpg");
        reader.setAutoDetectImageFormat(false);
        return readScaled(reader, original, size);
    }
    QByteArray data;
    if (!readOrdinaryFile(source.path, maxLocalPictureBytes, ReadLimit::Refuse, &data))
        return QImage();
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The file may have changed since it was measured.
    if (reader.size() != original)
        return QImage();
    return readScaled(reader, original, size);
}

} // namespace

class HistoryPicturesPrivate
{
public:
    explicit HistoryPicturesPrivate(HistoryPictures* q) : q(q)
    {
        // One at a time: a decode may need a picture's whole size for a moment.
        worker.setMaxThreadCount(1);
    }

    struct Entry
    {
        quint64 id = 0;
        Source source;
        Header header;
        QImage decoded;
        quint64 lastUse = 0;
        bool pending = false;
        bool failed = false;
    };

    bool add(const QString& name, const Source& source, const Header& header);
    // Whether the picture may be decoded here, on the GUI thread, now.
    bool decodesHere(const Entry& entry);
    void queue(const QString& name, Entry& entry, const QSize& size);
    void deliver(const QString& name, quint64 id, const QImage& image);
    void hold(const QString& name, Entry& entry, const QImage& image);
    void keepWithinBound(const QString& keep);

    QHash<QString, Entry> entries;
    QThreadPool worker;
    quint64 nextId = 1;
    quint64 useClock = 0;
    qint64 heldBytes = 0;
    qint64 bound = maxHistoryPictureBytes;
    QElapsedTimer syncWindow;
    qint64 syncSpentNs = 0;
    HistoryPictures* q;
};

bool HistoryPicturesPrivate::add(const QString& name, const Source& source, const Header& header)
{
    Entry entry;
    entry.id = nextId++;
    entry.source = source;
    entry.header = header;
    const auto old = entries.constFind(name);
    if (old != entries.constEnd())
        heldBytes -= old->decoded.sizeInBytes();
    entries.insert(name, entry);
    return true;
}

bool HistoryPicturesPrivate::decodesHere(const Entry& entry)
{
    const qint64 pixels = qint64(entry.header.size.width()) * entry.header.size.height();
    if (entry.source.bytes > smallPictureBytes || pixels > smallPicturePixels)
        return false;
    if (!syncWindow.isValid() || syncWindow.elapsed() > syncWindowMs) {
        syncWindow.start();
        syncSpentNs = 0;
    }
    return syncSpentNs < syncBudgetMs * 1000000;
}

void HistoryPicturesPrivate::queue(const QString& name, Entry& entry, const QSize& size)
{
    entry.pending = true;
    // The store waits for the worker before it goes, so it outlives every job; the result is
    // queued to the store's thread.
    HistoryPictures* const target = q;
    const quint64 id = entry.id;
    const Source source = entry.source;
    const QSize original = entry.header.size;
    worker.start(QRunnable::create([target, name, id, source, original, size] {
        const QImage image = decode(source, original, size);
        QMetaObject::invokeMethod(
            target, [target, name, id, image] { target->d->deliver(name, id, image); },
            Qt::QueuedConnection);
    }));
}

void HistoryPicturesPrivate::deliver(const QString& name, quint64 id, const QImage& image)
{
    const auto it = entries.find(name);
    if (it == entries.end() || it->id != id)
        return; // cleared or replaced meanwhile
    it->pending = false;
    if (image.isNull()) {
        it->failed = true;
        return;
    }
    hold(name, *it, image);
    emit q->picturesReady();
}

void HistoryPicturesPrivate::hold(const QString& name, Entry& entry, const QImage& image)
{
    heldBytes += image.sizeInBytes() - entry.decoded.sizeInBytes();
    entry.decoded = image;
    keepWithinBound(name);
}

void HistoryPicturesPrivate::keepWithinBound(const QString& keep)
{
    while (heldBytes > bound) {
        // The one drawn longest ago goes back to its compressed form.
        auto oldest = entries.end();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (!it->decoded.isNull() && it.key() != keep &&
                (oldest == entries.end() || it->lastUse < oldest->lastUse))
                oldest = it;
        }
        if (oldest == entries.end())
            return;
        heldBytes -= oldest->decoded.sizeInBytes();
        oldest->decoded = QImage();
    }
}

HistoryPictures::HistoryPictures(QObject* parent)
    : QObject(parent), d(new HistoryPicturesPrivate(this))
{}

HistoryPictures::~HistoryPictures()
{
    d->worker.clear();
    d->worker.waitForDone();
    delete d;
}

bool HistoryPictures::addCompressed(const QString& name, const QByteArray& compressed)
{
    Header header;
    {
        InflateDevice device(compressed, headerWindow);
        if (!readJpegHeader(&device, &header)) {
            qDebug() << "Ignoring a picture whose header cannot be read";
            return false;
        }
    }
    if (!withinBounds(header, QStringLiteral("a picture")))
        return false;
    Source source;
    source.compressed = compressed;
    source.bytes = compressed.size();
    return d->add(name, source, header);
}

bool HistoryPictures::addFile(const QString& name, const QString& path)
{
    QByteArray head;
    qint64 size = 0;
    if (!readOrdinaryFile(path, headerWindow, ReadLimit::Cut, &head, nullptr, &size) ||
        size > maxLocalPictureBytes)
        return false;
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);
    Header header;
    QImageReader reader(&buffer);
    if (reader.format() == "jpeg") {
        buffer.seek(0);
        if (!readJpegHeader(&buffer, &header))
            return false;
    } else {
        header.size = reader.size();
        header.whole = true;
    }
    if (!withinBounds(header, path))
        return false;
    Source source;
    source.path = path;
    source.bytes = size;
    return d->add(name, source, header);
}

void HistoryPictures::remove(const QString& name)
{
    const auto it = d->entries.constFind(name);
    if (it == d->entries.constEnd())
        return;
    d->heldBytes -= it->decoded.sizeInBytes();
    d->entries.erase(it);
}

bool HistoryPictures::contains(const QString& name) const
{
    return d->entries.contains(name);
}

QSize HistoryPictures::originalSize(const QString& name) const
{
    const auto it = d->entries.constFind(name);
    return it == d->entries.constEnd() ? QSize() : it->header.size;
}

QImage HistoryPictures::picture(const QString& name, const QSize& size)
{
    const auto it = d->entries.find(name);
    if (it == d->entries.end())
        return QImage();
    it->lastUse = ++d->useClock;
    const QSize wanted = size.boundedTo(it->header.size);
    if (it->failed || it->decoded.size() == wanted || it->pending)
        return it->decoded;
    if (d->decodesHere(*it)) {
        QElapsedTimer timer;
        timer.start();
        const QImage image = decode(it->source, it->header.size, wanted);
        d->syncSpentNs += timer.nsecsElapsed();
        if (image.isNull())
            it->failed = true;
        else
            d->hold(name, *it, image);
        return it->decoded;
    }
    d->queue(name, *it, wanted);
    return it->decoded;
}

QImage HistoryPictures::original(const QString& name) const
{
    const auto it = d->entries.constFind(name);
    if (it == d->entries.constEnd())
        return QImage();
    return decode(it->source, it->header.size, QSize());
}

QImage HistoryPictures::held(const QString& name) const
{
    return d->entries.value(name).decoded;
}

qint64 HistoryPictures::heldBytes() const
{
    return d->heldBytes;
}

qint64 HistoryPictures::memoryBound() const
{
    return d->bound;
}

void HistoryPictures::setMemoryBound(qint64 bytes)
{
    d->bound = qMax<qint64>(0, bytes);
    d->keepWithinBound(QString());
}

int HistoryPictures::pendingDecodes() const
{
    int count = 0;
    for (const auto& entry : qAsConst(d->entries))
        count += entry.pending ? 1 : 0;
    return count;
}

void HistoryPictures::clear()
{
    d->entries.clear();
    d->heldBytes = 0;
    // Queued decodes are of no use any more; running ones are ignored when they end.
    d->worker.clear();
}

} // namespace MeetingSupport
