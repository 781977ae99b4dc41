// SPDX-License-Identifier: MIT
#pragma once

#include "queuedspy.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

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

// Returns once the server has answered a request sent now. Requests travel in order and the
// server answers in order, so whatever this client asked for before has been handled and its
// events have reached the test's thread.
inline bool syncWithServer(int timeoutMs = 5000)
{
    TsSDKClient* client = TsSDKClient::instance();
    QueuedSpy answers(client, &TsSDKClient::onServerErrorEvent);
    static int round = 0;
    const QByteArray code = "sync " + QByteArray::number(++round);
    if (ts3client_requestChannelSubscribeAll(client->sdk()->handlerId(), code.constData()) !=
        ERROR_ok)
        return false;
    return answers.waitFor([](const QList<QVariant>& args) { return args.at(0) == "ok"; },
                           timeoutMs);
}
