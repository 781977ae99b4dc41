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

MessagePackage DocumentConverter::convert()
{
    const QTextFrame* root = m_document->rootFrame();
    for (QTextFrame::iterator frameIt = root->begin(); !frameIt.atEnd(); ++frameIt) {
        const QTextBlock block = frameIt.currentBlock();
        if (!block.isValid())
            continue;
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            const QString text = fragment.text();
            const QTextCharFormat format = fragment.charFormat();
            if (text.contains(QChar::ObjectReplacementCharacter) && format.isImageFormat()) {
                const QString name = format.toImageFormat().name();
                // Equal pictures side by side share one fragment: one item per character.
                for (int i = 0; i < text.size(); ++i) {
                    if (name.isEmpty())
                        continue;
                    const QImage image = qvariant_cast<QImage>(
                        m_document->resource(QTextDocument::ImageResource, QUrl(name)));
                    if (image.isNull()) {
                        qDebug() << "Leaving out a picture without data:" << name;
                        continue;
                    }
                    m_package.appendImage(name, image);
                }
            } else {
                // A dropped text file can make a run of a megabyte: the log gets its start.
                qDebug() << (text.size() > 256 ? text.left(256) + QStringLiteral("...") : text);
                if (!text.isEmpty())
                    m_package.appendText(text);
            }
        }
    }
    return m_package;
}

} // namespace MeetingSupport
