// SPDX-License-Identifier: MIT
#include "updatecheck.h"

#include <QFileInfo>

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {
// A feed is a few hundred bytes; anything far larger is not a feed.
constexpr qint64 MaxFeedBytes = 1024 * 1024;
} // namespace

bool UpdaterArguments::parse(const QStringList& args, UpdaterArguments* out, QString* error)
{
    // args[0] is the updater itself.
    const int n = args.size() - 1;
    if (n != 5 && n != 6) {
        *error = QStringLiteral("expected: PROGRAM PRODUCT VERSION BUILD [checkupdates] LANGUAGE");
        return false;
    }
    if (n == 6 && args.at(5) != QLatin1String("checkupdates")) {
        *error = QStringLiteral("unknown argument: %1").arg(args.at(5));
        return false;
    }
    bool ok = false;
    out->program = args.at(1);
    out->product = args.at(2);
    out->version = args.at(3).toInt(&ok);
    if (!ok) {
        *error = QStringLiteral("version is not a number: %1").arg(args.at(3));
        return false;
    }
    out->build = args.at(4);
    out->userCheck = n == 6;
    out->language = args.last();
    return true;
}

UpdateCheck::UpdateCheck(const UpdaterArguments& args, const QUrl& feed, QObject* parent)
    : QObject(parent)
    , m_args(args)
    , m_feed(feed)
    , m_network(new QNetworkAccessManager(this))
    , m_timeout(new QTimer(this))
{
    m_timeout->setSingleShot(true);
}

void UpdateCheck::start(int timeoutMsec)
{
    QNetworkRequest request(m_feed);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > MaxFeedBytes)
            reply->abort();
    });
    connect(m_timeout, &QTimer::timeout, reply, &QNetworkReply::abort);
    m_timeout->start(timeoutMsec);
}

void UpdateCheck::onReply(QNetworkReply* reply)
{
    reply->deleteLater();
    m_timeout->stop();
    if (m_feed.isLocalFile() && !QFileInfo::exists(m_feed.toLocalFile())) {
        // No feed installed next to the program: the usual case outside a release.
        m_summary =
            QStringLiteral("no update feed at %1: nothing to check").arg(m_feed.toLocalFile());
        emit finished(FeedUnavailable);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        m_summary = QStringLiteral("update feed %1 unavailable: %2")
                        .arg(m_feed.toString(), reply->errorString());
        emit finished(FeedUnavailable);
        return;
    }
    const QByteArray body = reply->read(MaxFeedBytes + 1);
    if (body.size() > MaxFeedBytes) {
        m_summary = QStringLiteral("update feed %1 is too large").arg(m_feed.toString());
        emit finished(FeedInvalid);
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (!doc.isObject()) {
        m_summary = QStringLiteral("update feed %1 is not a JSON object").arg(m_feed.toString());
        emit finished(FeedInvalid);
        return;
    }
    emit finished(evaluate(doc.object(), m_args, &m_summary));
}

UpdateCheck::Outcome UpdateCheck::evaluate(const QJsonObject& feed, const UpdaterArguments& args,
                                           QString* summary)
{
    const QString product = feed.value(QStringLiteral("product")).toString();
    if (!product.isEmpty() && product.compare(args.product, Qt::CaseInsensitive) != 0) {
        *summary = QStringLiteral("update feed is for %1, not %2").arg(product, args.product);
        return FeedInvalid;
    }
    const QJsonValue buildValue = feed.value(QStringLiteral("build"));
    bool ok = false;
    const qint64 latest = buildValue.isDouble() ? qint64(buildValue.toDouble())
                                                : buildValue.toString().toLongLong(&ok);
    if (!buildValue.isDouble() && !ok) {
        *summary = QStringLiteral("update feed has no build number");
        return FeedInvalid;
    }
    const qint64 current = args.build.toLongLong();
    if (latest > current) {
        *summary = QStringLiteral("update available: %1 build %2 (running build %3) at %4")
                       .arg(args.product)
                       .arg(latest)
                       .arg(current)
                       .arg(feed.value(QStringLiteral("url")).toString());
        return UpdateAvailable;
    }
    *summary = QStringLiteral("%1 build %2 is up to date").arg(args.product).arg(current);
    return UpToDate;
}
