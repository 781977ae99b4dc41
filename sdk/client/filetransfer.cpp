// SPDX-License-Identifier: MIT
// The channel file store. Transfers will run on their own connections to the server, opened
// with a one-time key (docs/protocol.md); until the server offers them, every request is
// answered with ERROR_not_implemented after the usual argument checks.
#include "core.h"

using namespace voicesdk;

namespace {
unsigned int notOffered(uint64 handler)
{
    return withHandler(handler, [](HandlerState&) { return unsigned(ERROR_not_implemented); });
}
} // namespace

extern "C" {

unsigned int ts3client_sendFile(uint64 serverConnectionHandlerID, uint64, const char*,
                                const char*, int, int, const char*, anyID*, const char*)
{
    return notOffered(serverConnectionHandlerID);
}

unsigned int ts3client_requestFile(uint64 serverConnectionHandlerID, uint64, const char*,
                                   const char*, int, int, const char*, anyID*, const char*)
{
    return notOffered(serverConnectionHandlerID);
}

unsigned int ts3client_isTransferSender(uint64 serverConnectionHandlerID, anyID, int*)
{
    return notOffered(serverConnectionHandlerID);
}

unsigned int ts3client_requestFileList(uint64 serverConnectionHandlerID, uint64, const char*,
                                       const char*, const char*)
{
    return notOffered(serverConnectionHandlerID);
}

unsigned int ts3client_requestDeleteFile(uint64 serverConnectionHandlerID, uint64, const char*,
                                         const char**, const char*)
{
    return notOffered(serverConnectionHandlerID);
}

unsigned int ts3client_requestCreateDirectory(uint64 serverConnectionHandlerID, uint64,
                                              const char*, const char*, const char*)
{
    return notOffered(serverConnectionHandlerID);
}

} // extern "C"
