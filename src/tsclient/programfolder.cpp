// SPDX-License-Identifier: MIT
#include "programfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString programDataFolder(const QString& relative)
{
    return programDataFolder(relative, QCoreApplication::applicationDirPath(),
                             QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

QString programDataFolder(const QString& relative, const QString& programDirectory,
                          const QString& userDirectory)
{
    for (const QString& base : {programDirectory, userDirectory}) {
        if (base.isEmpty())
            continue;
        const QString folder = QDir(base).filePath(relative);
        if (QDir().mkpath(folder) && QFileInfo(folder).isWritable())
            return folder;
    }
    return QString();
}
