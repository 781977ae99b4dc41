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

private:
    MainWindowPrivate* d;
    friend class MainWindowPrivate;
};

} // namespace MeetingSupport
