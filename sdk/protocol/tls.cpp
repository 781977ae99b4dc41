// SPDX-License-Identifier: MIT
#include "tls.h"

#include <QCryptographicHash>
#include <QSslSocket>

namespace voicesdk::protocol {

qint64 unsentBytes(const QAbstractSocket* socket)
{
    qint64 bytes = socket->bytesToWrite();
    if (const auto* tls = qobject_cast<const QSslSocket*>(socket))
        bytes += tls->encryptedBytesToWrite();
    return bytes;
}

bool decryptPending(QAbstractSocket* socket)
{
    auto* tls = qobject_cast<QSslSocket*>(socket);
    if (!tls || !tls->isEncrypted())
        return false;
    tls->flush();
    return tls->bytesAvailable() > 0;
}

QString certificateFingerprint(const QSslCertificate& certificate)
{
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

} // namespace voicesdk::protocol
