// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace voiceserver {

// The server's certificate (with the chain that follows it in its file) and private key.
struct TlsIdentity
{
    QList<QSslCertificate> chain; // the server's own certificate first
    QSslKey key;
};

// Where the identity comes from: the files given (both or neither), else "server.crt" and
// "server.key" in the data directory, made there at the first start: a new P-256 key and a
// self-signed certificate for it. An existing pair is always reused, because clients remember
// the certificate; half a pair, a damaged file or a key that does not fit its certificate is an
// error, never replaced. Without a data directory a new identity lives in memory only.
// *note tells where the identity came from, for the log.
bool loadTlsIdentity(const QString& dataDirectory, const QString& certificateFile,
                     const QString& keyFile, TlsIdentity* identity, QString* note, QString* error);

} // namespace voiceserver
