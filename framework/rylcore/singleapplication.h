// SPDX-License-Identifier: MIT
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

namespace RylSystem {

// One running instance per key across processes. The instance that claims the key holds a lock
// file and listens on a local socket; any other process can detect it and send it messages.
class SingleApplication : public QObject
{
    Q_OBJECT
public:
    // With claim set, this object becomes the instance when no other process holds the key.
    explicit SingleApplication(const QString& key, bool claim = true, QObject* parent = nullptr);
    ~SingleApplication() override;

    QString key() const;

    // True when another process holds the key.
    bool isRunning() const;

    // True when this object holds the key.
    bool isPrimary() const;

    // Delivers message to the instance holding the key; false when none answers within
    // timeout milliseconds.
    bool sendMessage(const QString& message, int timeout = 5000);

    // The local socket name derived from a key; exposed for diagnostics and tests.
    static QString serverName(const QString& key);

signals:
    void messageReceived(const QString& message);

private:
    void acceptConnection();

    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace RylSystem
