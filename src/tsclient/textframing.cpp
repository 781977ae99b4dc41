// SPDX-License-Identifier: MIT
#include "textframing.h"

#include <QDebug>

namespace TextFraming {

const QString BeginMarker = QStringLiteral("_sms_begin{");
const QString EndMarker = QStringLiteral("}_sms_end");

QStringList fragments(const QString& text)
{
    QStringList pieces;
    int start = 0;
    while (start < text.size()) {
        int length = qMin(FragmentLength, text.size() - start);
        // A pair cut in half would reach the other side as two replacement characters.
        if (start + length < text.size() && text.at(start + length - 1).isHighSurrogate())
            --length;
        pieces << text.mid(start, length);
        start += length;
    }
    return pieces;
}

QStringList frame(const QString& text)
{
    QStringList pieces{BeginMarker};
    pieces << fragments(text);
    pieces << EndMarker;
    return pieces;
}

bool Reassembler::feed(anyID fromID, const QString& message, QString* text)
{
    QMutexLocker locker(&m_mutex);
    if (message == BeginMarker) {
        m_buffers.insert(fromID, QString());
        return false;
    }
    auto buffer = m_buffers.find(fromID);
    if (message == EndMarker) {
        if (buffer == m_buffers.end()) {
            qDebug() << "Dropping an end marker without a begin marker from client" << fromID;
            return false;
        }
        *text = std::move(*buffer);
        m_buffers.erase(buffer);
        return true;
    }
    if (buffer == m_buffers.end()) {
        qDebug() << "Dropping a text fragment without a begin marker from client" << fromID;
        return false;
    }
    if (buffer->size() + message.size() > MaxTextLength) {
        qDebug() << "Dropping a text from client" << fromID << "that grows past" << MaxTextLength
                 << "characters";
        m_buffers.erase(buffer);
        return false;
    }
    buffer->append(message);
    return false;
}

void Reassembler::clear()
{
    QMutexLocker locker(&m_mutex);
    m_buffers.clear();
}

int Reassembler::pendingSenders() const
{
    QMutexLocker locker(&m_mutex);
    return m_buffers.size();
}

} // namespace TextFraming
