// SPDX-License-Identifier: MIT
#pragma once

#include <QMainWindow>

namespace MeetingSupport {

class MainWindowPrivate;

// The one top-level window after login.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow();
    ~MainWindow() override;

    // Refreshes the meeting list, then the supporter list.
    void refreshLists();

    // Sets the own microphone (input muted) and then speakers (output muted) where they differ.
    static void setMuted(bool muted);

private:
    MainWindowPrivate* d;
    friend class MainWindowPrivate;
};

} // namespace MeetingSupport
