// SPDX-License-Identifier: MIT
#pragma once

#include "queuedspy.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"

// Connects this process's voice client to the test server on port as nickname; true once the
// connection is established. For tests that link the client.
inline bool connectVoiceClient(quint16 port, const QString& nickname, int timeoutMs = 10000)
{
    TsSDKClient* client = TsSDKClient::instance();
    QueuedSpy status(client, &TsSDKClient::onConnectStatusChanged);
    TsParameters params;
    params.setNickname(nickname);
    params.setIp(QStringLiteral("127.0.0.1"));
    params.setPort(port);
    params.setServerPwd(QStringLiteral("mossel"));
    if (client->connectToServer(params) != 0)
        return false;
    return status.waitFor([](const QList<QVariant>& args) { return args.at(0) == 4; }, timeoutMs);
}
