// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

namespace voiceserver {

// The server's certificate (with the chain that follows it in its file) and private key, as PEM,
// checked to belong together.
struct TlsIdentity
{
    QByteArray certificatePem; // the server's own certificate first
    QByteArray keyPem;
    QString fingerprint;    // of the server's own certificate, "SHA256:..."
    QString keyFingerprint; // of its public key, "SPKI-SHA256:...": what clients pin
};

// Where the identity comes from: the files given (both or neither), else "server.crt" and
// "server.key" in the data directory, made there at the first start (when mayCreate): a new P-256
// key and a self-signed certificate for it. An existing pair is always reused, because clients
// remember the certificate; half a pair, a damaged file or a key that does not fit its
// certificate is an error, never replaced. Without a data directory a new identity lives in
// memory only. *note tells where the identity came from, for the log.
bool loadTlsIdentity(const QString& dataDirectory, const QString& certificateFile,
                     const QString& keyFile, TlsIdentity* identity, QString* note, QString* error,
                     bool mayCreate = true);

// What every TLS connection of the server starts from: TLS 1.2 or later, the identity, the
// fastest ciphers on this machine first, session tickets for clients that come back, and
// OpenSSL's buffers released while a connection is idle. Null with *error when the identity does
// not load. Shared by the connection threads; an SSL made from it keeps it alive.
std::shared_ptr<SSL_CTX> makeServerContext(const TlsIdentity& identity, QString* error);

} // namespace voiceserver
