// SPDX-License-Identifier: MIT
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// The updater's command line: program, product, version, build, ["checkupdates"], language.
struct UpdaterArguments
{
    QString program;
    QString product;
    int version = 0;
    QString build;
    bool userCheck = false;
    QString language;

    static bool parse(const QStringList& args, UpdaterArguments* out, QString* error);
};

// Fetches the update feed (a JSON object with "product", "build", "version", "url") and compares
// its build with the running one.
class UpdateCheck : public QObject
{
    Q_OBJECT
public:
    enum Outcome { UpToDate, UpdateAvailable, FeedUnavailable, FeedInvalid };

    UpdateCheck(const UpdaterArguments& args, const QUrl& feed, QObject* parent = nullptr);

    void start(int timeoutMsec);
    QString summary() const { return m_summary; }

    static Outcome evaluate(const QJsonObject& feed, const UpdaterArguments& args,
                            QString* summary);

signals:
    void finished(UpdateCheck::Outcome outcome);

private:
    void onReply(QNetworkReply* reply);

    UpdaterArguments m_args;
    QUrl m_feed;
    QNetworkAccessManager* m_network;
    QTimer* m_timeout;
    QString m_summary;
};
