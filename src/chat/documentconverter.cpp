// SPDX-License-Identifier: MIT
#include "documentconverter.h"

#include <QDebug>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>

namespace MeetingSupport {

DocumentConverter::DocumentConverter(const QTextDocument* document, const MessageFont& font)
    : m_document(document)
{
    m_package.font = font;
}

namespace {

// What convert() reads: the root frame's blocks, fragment by fragment. picture(name, count) for
// a run of pictures of one name, text(text) for any other fragment.
template <typename Picture, typename Text>
void walk(const QTextDocument* document, Picture picture, Text text)
{
    const QTextFrame* root = document->rootFrame();
    for (QTextFrame::iterator frameIt = root->begin(); !frameIt.atEnd(); ++frameIt) {
        const QTextBlock block = frameIt.currentBlock();
        if (!block.isValid())
            continue;
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            const QString run = fragment.text();
            const QTextCharFormat format = fragment.charFormat();
            if (run.contains(QChar::ObjectReplacementCharacter) && format.isImageFormat()) {
                const QString name = format.toImageFormat().name();
                // Equal pictures side by side share one fragment: one item per character.
                if (!name.isEmpty())
                    picture(name, run.size());
            } else {
                text(run);
            }
        }
    }
}

} // namespace

MessagePackage DocumentConverter::convert()
{
    walk(
        m_document,
        [this](const QString& name, int count) {
            const QImage image = qvariant_cast<QImage>(
                m_document->resource(QTextDocument::ImageResource, QUrl(name)));
            if (image.isNull()) {
                qDebug() << "Leaving out a picture without data:" << name;
                return;
            }
            for (int i = 0; i < count; ++i)
                m_package.appendImage(name, image);
        },
        [this](const QString& text) {
            // A dropped text file can make a run of a megabyte: the log gets its start.
            qDebug() << (text.size() > 256 ? text.left(256) + QStringLiteral("...") : text);
            if (!text.isEmpty())
                m_package.appendText(text);
        });
    return m_package;
}

int DocumentConverter::itemCount(const QTextDocument* document)
{
    int items = 0;
    walk(
        document, [&items](const QString&, int count) { items += count; },
        [&items](const QString& text) { items += text.isEmpty() ? 0 : 1; });
    return items;
}

} // namespace MeetingSupport
