// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

// Texts between clients travel over the voice server's text messages as a begin marker, the text
// in fragments of at most FragmentLength UTF-16 code units, and an end marker; one piece per
// server message. The sender cuts them (TsSDKClient), the receiver puts them together per sender
// (TsSDKEvents).
namespace TextFraming {

extern const QString BeginMarker;
extern const QString EndMarker;
constexpr int FragmentLength = 1024;
// A text that grows past this many UTF-16 code units while being put together is dropped.
constexpr int MaxTextLength = 32 * 1024 * 1024;

// The cut points of text: fragments of at most FragmentLength units, never splitting a
// surrogate pair.
QStringList fragments(const QString& text);
// Every piece to send for text, the markers included.
QStringList frame(const QString& text);

// Reassembly of framed texts, one buffer per sending client. Thread-safe.
class Reassembler
{
public:
    // Feeds one server text message; true with the complete text in *text when an end marker
    // closed a text begun by the same sender.
    bool feed(anyID fromID, const QString& message, QString* text);
    void clear();
    int pendingSenders() const;

private:
    mutable QMutex m_mutex;
    QHash<anyID, QString> m_buffers;
};

} // namespace TextFraming
