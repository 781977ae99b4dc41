// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

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

void MainWindow::refreshLists()
{
}

void MainWindow::setMuted(bool muted)
{
    TsSDKInterface* sdk = TsSDKClient::instance()->sdk();
    for (int flag : {int(CLIENT_INPUT_MUTED), int(CLIENT_OUTPUT_MUTED)}) {
        if (sdk->getClientSelfVariableAsInt(flag) != muted)
            sdk->setClientSelfVariableAsInt(flag, muted ? 1 : 0);
    }
}

} // namespace MeetingSupport
