// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QString>

namespace MeetingSupport {

// Hands the style sheet in resource to apply when the resource can be read; does nothing otherwise.
template <typename Apply> void applyStyleSheetResource(const QString& resource, Apply apply)
{
    QFile file(resource);
    if (file.open(QIODevice::ReadOnly))
        apply(QString::fromUtf8(file.readAll()));
}

} // namespace MeetingSupport
