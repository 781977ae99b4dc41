// SPDX-License-Identifier: MIT
#include "mainwindow.h"

namespace MeetingSupport {

class MainWindowPrivate
{
public:
    explicit MainWindowPrivate(MainWindow* q)
        : q(q)
    {
    }

    MainWindow* q;
};

MainWindow::MainWindow()
    : QMainWindow(nullptr)
    , d(new MainWindowPrivate(this))
{
    setObjectName(QStringLiteral("MainWindow"));
    resize(849, 504);
    setWindowIcon(QIcon(QStringLiteral(":/images/meeting.png")));
    setWindowTitle(tr("Meeting"));
}

MainWindow::~MainWindow()
{
    delete d;
}

} // namespace MeetingSupport
