// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"

class QTextDocument;

namespace MeetingSupport {

// Turns the editor's document into a message body: its text runs and pictures in order, with the
// given font. Only the blocks of the root frame count (tables and other frames are skipped), and
// paragraphs follow each other without a separator.
class DocumentConverter
{
public:
    DocumentConverter(const QTextDocument* document, const MessageFont& font);

    MessagePackage convert();

    // How many content items convert() makes of a document at most: one per run of text, one
    // per picture (counted whether or not its data can be had, so no resource is looked up).
    static int itemCount(const QTextDocument* document);

private:
    const QTextDocument* m_document;
    MessagePackage m_package;
};

} // namespace MeetingSupport
