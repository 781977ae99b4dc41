/* SPDX-License-Identifier: MIT */
/* A plain C host without any Qt application object: the header compiles as C, and the library
 * runs its own event machinery, reports 1797 for a port nobody listens on, and can be
 * initialised again after being destroyed. */
#include "voicesdk.h"

#include <stdio.h>
#include <unistd.h>

static volatile int lastStatus = -1;
static volatile unsigned int lastError = 0;

static void onStatus(uint64 handler, int status, unsigned int error)
{
    (void)handler;
    lastError = error;
    lastStatus = status;
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "FAIL: %s (line %d)\n", #condition, __LINE__);                         \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int main(void)
{
    struct ClientUIFunctions functions = {0};
    uint64 handler = 0;
    char* text = NULL;
    int round;
    functions.onConnectStatusChangeEvent = onStatus;
    for (round = 0; round < 2; ++round) {
        int waited;
        lastStatus = -1;
        CHECK(ts3client_initClientLib(&functions, NULL, LogType_NONE, NULL, NULL) == ERROR_ok);
        CHECK(ts3client_spawnNewServerConnectionHandler(0, &handler) == ERROR_ok);
        CHECK(ts3client_startConnection(handler, "identity", "127.0.0.1", 1, "c", NULL, NULL,
                                        NULL) == ERROR_ok);
        for (waited = 0; waited < 500 && lastStatus != 0; ++waited)
            usleep(10000);
        CHECK(lastStatus == STATUS_DISCONNECTED);
        CHECK(lastError == ERROR_failed_connection_initialisation);
        CHECK(ts3client_getErrorMessage(lastError, &text) == ERROR_ok && text != NULL);
        ts3client_freeMemory(text);
        CHECK(ts3client_destroyServerConnectionHandler(handler) == ERROR_ok);
        CHECK(ts3client_destroyClientLib() == ERROR_ok);
    }
    printf("PASS\n");
    return 0;
}
