// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

// The keys of servers met before, trusted on first use: "known_servers.txt" in the working
// directory (where a client keeps "identity.txt"), one line per pin,
//
//   host:port SPKI-SHA256:<64 hex digits>   the certificate's public key: a certificate
//                                           renewed for the same key still matches
//   host:port SHA256:<64 hex digits>        the whole certificate, as earlier versions wrote
//
// Lines starting with '#' and lines that do not parse are skipped. Removing a server's lines
// makes the next connection to it trust whatever key it then shows.
namespace voicesdk::knownservers {

QString filePath();
// How a server is named in the file: the host in lower case ("[...]" around an IPv6 address),
// a colon, the port.
QString serverName(const QString& host, quint16 port);
// Every pin remembered for the server, in the order of the file; empty when none.
QStringList lookup(const QString& server);
// Adds a line for the server; false with *error when the file cannot be written.
bool remember(const QString& server, const QString& pin, QString* error);

} // namespace voicesdk::knownservers
