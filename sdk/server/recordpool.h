// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

namespace voiceserver {

// OpenSSL makes and frees a connection's record buffers (16 KiB and their overhead) around each
// read and write of a busy connection, as SSL_MODE_RELEASE_BUFFERS asks, and a handshake's
// message buffer beside them. From glibc's heap, a crowd's handshakes left thousands of such
// holes between the connections' lasting state; trimmed once, they were faulted in again one by
// one by later blocks of every size, and a TLS server at 2,000 clients kept up to three times the
// memory it used. Here they come from a region of their own in slots: a few freed ones stay ready
// for the next records, and the pages of the others go back to the system at once.
namespace recordpool {

// Room for a block of OpenSSL's that size takes a slot; smaller and larger ones are the heap's.
constexpr size_t SlotBytes = 24 * 1024;
constexpr size_t LeastBytes = 16 * 1024;
// Freed slots kept resident for the next buffers.
constexpr int ReadySlots = 64;

// Routes OpenSSL's allocations through the pool. Must run before OpenSSL allocates anything;
// false when that is too late or the region cannot be reserved (the heap serves then).
bool install();

struct Use
{
    qint64 live = 0;  // slots holding a buffer
    qint64 ready = 0; // freed, resident
    qint64 given = 0; // freed, pages given back
};
Use use();

} // namespace recordpool
} // namespace voiceserver
