// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The certificates of servers met before, trusted on first use: "known_servers.txt" in the
// working directory (where a client keeps "identity.txt"), one line per server,
//
//   host:port SHA256:<64 hex digits>
//
// Lines starting with '#' and lines that do not parse are skipped. Removing a server's line
// makes the next connection to it trust whatever certificate it then shows.
namespace voicesdk::knownservers {

QString filePath();
// How a server is named in the file: the host in lower case ("[...]" around an IPv6 address),
// a colon, the port.
QString serverName(const QString& host, quint16 port);
// The fingerprint remembered for the server, or an empty string.
QString lookup(const QString& server);
// Adds the server's line; false with *error when the file cannot be written.
bool remember(const QString& server, const QString& fingerprint, QString* error);

} // namespace voicesdk::knownservers
