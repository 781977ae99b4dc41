// SPDX-License-Identifier: MIT
#pragma once

#include <QMetaType>
#include <QString>

namespace MeetingSupport {

// Where one shared-file upload or download stands: the chat engine reports it when it starts,
// while it runs and once when it ends; the shared-files pane shows it.
struct FileTransfer
{
    enum State : int { Running, Complete, Failed };

    quint16 id = 0; // the SDK's transfer ID; 0 for one refused before it could start
    QString name;   // the shared file's name
    bool upload = false;
    State state = Running;
    quint64 done = 0; // bytes moved so far
    quint64 size = 0; // 0 while unknown (a download before the server answered)
    QString folder;   // the local folder it is read from or saved in
    QString error;    // why it failed

    // The whole percent moved; -1 while the size is unknown.
    int percent() const
    {
        if (state == Complete)
            return 100;
        if (size == 0)
            return -1;
        return int(qMin<quint64>(done, size) * 100 / size);
    }
};

} // namespace MeetingSupport

Q_DECLARE_METATYPE(MeetingSupport::FileTransfer)
