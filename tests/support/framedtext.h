// SPDX-License-Identifier: MIT
#pragma once

// Chat messages between the in-process client and a voice-cli user, framed as clients frame
// them. Header-only: for tests that link the client.

#include "chat/chatmessage.h"
#include "tsclient/textframing.h"
#include "tsclient/tssdkclient.h"
#include "voicecliprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// Sends messages from cli as one framed text, privately to target (or to the channel when 0).
inline void sendFramed(VoiceCliProcess& cli, const QString& text, int target = 0)
{
    for (const QString& piece : TextFraming::frame(text)) {
        if (target)
            cli.command({QStringLiteral("sendprivate"), piece, target});
        else
            cli.command({QStringLiteral("sendchannel"), piece});
    }
}

// The next framed text cli receives from someone else than self; *targetMode (when given) gets
// how it was addressed. A null string after the timeout.
inline QString receiveFramedText(VoiceCliProcess& cli, int self, int* targetMode = nullptr,
                                 int timeoutMs = 10000)
{
    QString text;
    bool inside = false;
    for (;;) {
        const QJsonObject e = cli.waitForEvent(
            QStringLiteral("onTextMessageEvent"),
            [self](const QJsonObject& e) {
                return e.value(QStringLiteral("fromID")).toInt() != self;
            },
            timeoutMs);
        if (e.isEmpty())
            return QString();
        const QString message = e.value(QStringLiteral("message")).toString();
        if (message == TextFraming::BeginMarker) {
            inside = true;
            text = QLatin1String("");
            if (targetMode)
                *targetMode = e.value(QStringLiteral("targetMode")).toInt();
        } else if (message == TextFraming::EndMarker && inside) {
            return text;
        } else if (inside) {
            text += message;
        }
    }
}

inline QList<MeetingSupport::ChatMessage> receiveFramed(VoiceCliProcess& cli, int self,
                                                        int* targetMode = nullptr)
{
    return MeetingSupport::messagesFromText(receiveFramedText(cli, self, targetMode));
}

// The wire form written and read by hand, so that what a test checks does not rest on
// ChatMessage: a message list as JSON bytes, Base64 with the URL alphabet and no padding.
inline constexpr QByteArray::Base64Options wireBase64 =
    QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

inline void sendFramedJson(VoiceCliProcess& cli, const QByteArray& json, int target = 0)
{
    sendFramed(cli, QString::fromLatin1(json.toBase64(wireBase64)), target);
}

// The "result" list of the next framed text cli receives, as plain JSON.
inline QJsonArray receiveFramedJson(VoiceCliProcess& cli, int self)
{
    const QString text = receiveFramedText(cli, self);
    return QJsonDocument::fromJson(QByteArray::fromBase64(text.toLatin1(), wireBase64))
        .object()
        .value(QStringLiteral("result"))
        .toArray();
}

// Whether cli has received nothing more from this process's client: a marker sent now travels
// behind anything sent before, so it must be the very next text.
inline bool receivesNothingMore(VoiceCliProcess& cli, int self)
{
    static int round = 0;
    const QString marker = QStringLiteral("marker %1").arg(++round);
    return TsSDKClient::instance()->sendTextMessage(anyID(self), marker) == 0 &&
           receiveFramedText(cli, self) == marker;
}
