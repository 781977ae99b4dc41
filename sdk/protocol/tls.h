// SPDX-License-Identifier: MIT
#pragma once

#include <QSslCertificate>
#include <QString>

class QAbstractSocket;

// What the client library and the server share about TLS.
namespace voicesdk::protocol {

// Bytes a socket still has to send. For a TLS socket these are the plain bytes not yet
// encrypted and the encrypted ones the kernel has not taken: Qt encrypts whatever is queued at
// the next chance, so QSslSocket::bytesToWrite alone stays small however far the peer is
// behind, and a bound on it would bound nothing.
qint64 unsentBytes(const QAbstractSocket* socket);

// For readers of a TLS socket with a bounded read buffer, once they have read all it offers.
// Qt stops decrypting while that buffer is full and starts again only when more bytes come
// from the network, so records it took in meanwhile can wait unseen: at the end of a stream,
// when nothing more comes, for ever. flush() runs its engine; true when that made more bytes
// readable (readyRead is emitted from inside, so readers guard against re-entry). False for
// a socket without TLS.
bool decryptPending(QAbstractSocket* socket);

// A certificate's SHA-256 digest as "SHA256:" and 64 hex digits: how logs and the client's
// list of known servers name it.
QString certificateFingerprint(const QSslCertificate& certificate);

} // namespace voicesdk::protocol
