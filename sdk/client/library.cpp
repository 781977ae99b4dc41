// SPDX-License-Identifier: MIT
// Library lifetime, the network thread, connection handlers, logging and the small helpers of
// the C API.
#include "connection.h"
#include "core.h"
#include "memory.h"
#include "protocol.h"
#include "sound/sound.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QRecursiveMutex>

#include <atomic>
#include <cstdio>
#include <future>
#include <map>
#include <thread>

#include <pthread.h>
#include <vector>

namespace voicesdk {

namespace {

struct Library
{
    ClientUIFunctions callbacks = {};
    std::map<uint64, HandlerState> handlers;
    uint64 nextHandler = 1;
    std::thread thread;
    std::thread::id threadId;
    Core* core = nullptr;       // lives on the network thread
    QEventLoop* loop = nullptr; // the network thread's loop
    // Work for the network thread. One posted event drains everything queued meanwhile, so a
    // burst of requests costs one wake-up, not one each.
    QMutex queueMutex;
    std::vector<std::function<void(Core&)>> queue;
    bool drainPosted = false;
};

QRecursiveMutex g_stateMutex;
Library* g_library = nullptr; // guarded by g_stateMutex
std::atomic<bool> g_initialised{false};
ClientUIFunctions g_callbacks = {}; // written only while no network thread runs

QMutex g_logMutex; // guards the three below
int g_logTypes = 0;
std::FILE* g_logFile = nullptr;

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel_CRITICAL:
        return "CRITICAL";
    case LogLevel_ERROR:
        return "ERROR";
    case LogLevel_WARNING:
        return "WARNING";
    case LogLevel_DEBUG:
        return "DEBUG";
    case LogLevel_INFO:
        return "INFO";
    case LogLevel_DEVEL:
        return "DEVEL";
    }
    return "INFO";
}

// The network thread runs its own event loop. A host without a QCoreApplication gets one
// created on this thread, which then is the only thread using Qt's event machinery.
void startNetworkThread(Library* library)
{
    const bool needApplication = QCoreApplication::instance() == nullptr;
    std::promise<void> ready;
    library->thread = std::thread([library, needApplication, &ready] {
        pthread_setname_np(pthread_self(), "voicesdk-net");
        static int argc = 1;
        static char name[] = "voicesdk";
        static char* argv[] = {name, nullptr};
        std::unique_ptr<QCoreApplication> application;
        if (needApplication)
            application = std::make_unique<QCoreApplication>(argc, argv);
        QEventLoop loop;
        {
            Core core;
            library->loop = &loop;
            library->core = &core;
            library->threadId = std::this_thread::get_id();
            ready.set_value();
            loop.exec();
            library->core = nullptr;
        }
    });
    ready.get_future().wait();
}

unsigned int checkOut(const void* result)
{
    if (!g_initialised)
        return ERROR_lib_not_initialized;
    return result ? ERROR_ok : ERROR_parameter_invalid;
}

} // namespace

bool isLibraryInitialised()
{
    return g_initialised;
}

bool handlerExists(uint64 serverConnectionHandlerID)
{
    QMutexLocker locker(&g_stateMutex);
    return findHandler(serverConnectionHandlerID) != nullptr;
}

VoiceSelfFlags voiceSelfFlags(uint64 serverConnectionHandlerID)
{
    QMutexLocker locker(&g_stateMutex);
    VoiceSelfFlags flags;
    if (const HandlerState* state = findHandler(serverConnectionHandlerID)) {
        flags.inputMuted = state->self.inputMuted;
        flags.outputMuted = state->self.outputMuted;
        flags.inputDeactivated = state->self.inputDeactivated;
    }
    return flags;
}

QRecursiveMutex& stateMutex()
{
    return g_stateMutex;
}

HandlerState* findHandler(uint64 handler)
{
    if (!g_library)
        return nullptr;
    auto it = g_library->handlers.find(handler);
    return it == g_library->handlers.end() ? nullptr : &it->second;
}

const ClientUIFunctions& callbacks()
{
    return g_callbacks;
}

bool post(std::function<void(Core&)> fn)
{
    QMutexLocker locker(&g_stateMutex);
    Library* library = g_library;
    if (!library || !library->core)
        return false;
    bool postDrain = false;
    {
        QMutexLocker lock(&library->queueMutex);
        library->queue.push_back(std::move(fn));
        postDrain = !library->drainPosted;
        library->drainPosted = true;
    }
    if (!postDrain)
        return true;
    Core* core = library->core;
    return QMetaObject::invokeMethod(
        core,
        [library, core] {
            std::vector<std::function<void(Core&)>> batch;
            {
                QMutexLocker lock(&library->queueMutex);
                batch.swap(library->queue);
                library->drainPosted = false;
            }
            for (auto& work : batch)
                work(*core);
        },
        Qt::QueuedConnection);
}

bool onNetworkThread()
{
    QMutexLocker locker(&g_stateMutex);
    return g_library && g_library->threadId == std::this_thread::get_id();
}

void log(LogLevel level, const char* channel, const QString& message, uint64 handler)
{
    if (!g_initialised)
        return;
    const QByteArray time =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8();
    const QByteArray text = message.toUtf8();
    const QByteArray complete = time + '|' + QByteArray(levelName(level)).leftJustified(8) + '|' +
                                QByteArray(channel).leftJustified(14) + '|' +
                                QByteArray::number(handler).rightJustified(3) + '|' + text;
    bool userLogging = false;
    {
        QMutexLocker lock(&g_logMutex);
        if (g_logFile) {
            std::fprintf(g_logFile, "%s\n", complete.constData());
            std::fflush(g_logFile);
        }
        if (g_logTypes & LogType_CONSOLE)
            std::fprintf(stderr, "%s\n", complete.constData());
        userLogging = (g_logTypes & LogType_USERLOGGING) && g_callbacks.onUserLoggingMessageEvent;
    }
    if (!userLogging)
        return;
    auto deliver = [=] {
        if (g_initialised && g_callbacks.onUserLoggingMessageEvent)
            g_callbacks.onUserLoggingMessageEvent(text.constData(), level, channel, handler,
                                                  time.constData(), complete.constData());
    };
    if (onNetworkThread())
        deliver();
    else
        post([deliver](Core&) { deliver(); });
}

} // namespace voicesdk

using namespace voicesdk;

extern "C" {

unsigned int ts3client_initClientLib(const struct ClientUIFunctions* functionPointers,
                                     const struct ClientUIFunctionsRare*, int usedLogTypes,
                                     const char* logFileFolder, const char*)
{
    if (!functionPointers)
        return ERROR_parameter_invalid;
    QMutexLocker locker(&g_stateMutex);
    if (g_library)
        return ERROR_lib_already_initialized;
    g_callbacks = *functionPointers;
    {
        QMutexLocker lock(&g_logMutex);
        g_logTypes = usedLogTypes;
        if ((usedLogTypes & LogType_FILE) && logFileFolder && *logFileFolder) {
            const QString folder = QString::fromUtf8(logFileFolder);
            QDir().mkpath(folder);
            const QString file = QDir(folder).filePath(
                QStringLiteral("voicesdk_%1.log")
                    .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
            g_logFile = std::fopen(QFile::encodeName(file).constData(), "a");
        }
    }
    auto library = std::make_unique<Library>();
    startNetworkThread(library.get());
    g_library = library.release();
    g_initialised = true;
    locker.unlock();
    sound::initialise();
    log(LogLevel_INFO, "ClientLib",
        QStringLiteral("library initialised, protocol version %1").arg(protocol::Version));
    return ERROR_ok;
}

unsigned int ts3client_destroyClientLib(void)
{
    if (onNetworkThread()) {
        log(LogLevel_ERROR, "ClientLib", QStringLiteral("destroyClientLib called from a callback"));
        return ERROR_undefined;
    }
    Library* library = nullptr;
    {
        QMutexLocker locker(&g_stateMutex);
        if (!g_library)
            return ERROR_lib_not_initialized;
        log(LogLevel_INFO, "ClientLib", QStringLiteral("library shutting down"));
        g_initialised = false;
        library = g_library;
        g_library = nullptr;
        QEventLoop* loop = library->loop;
        QMetaObject::invokeMethod(
            library->core, [loop] { loop->quit(); }, Qt::QueuedConnection);
    }
    sound::shutdown();
    library->thread.join();
    delete library;
    g_callbacks = ClientUIFunctions{};
    forgetScreenCallbacks();
    QMutexLocker lock(&g_logMutex);
    if (g_logFile)
        std::fclose(g_logFile);
    g_logFile = nullptr;
    g_logTypes = 0;
    return ERROR_ok;
}

unsigned int ts3client_spawnNewServerConnectionHandler(int port, uint64* result)
{
    if (const unsigned int code = checkOut(result))
        return code;
    if (port < 0 || port > 65535)
        return ERROR_parameter_invalid;
    uint64 id = 0;
    {
        QMutexLocker locker(&g_stateMutex);
        if (!g_library)
            return ERROR_lib_not_initialized;
        id = g_library->nextHandler++;
        g_library->handlers[id];
    }
    *result = id;
    log(LogLevel_DEBUG, "ClientLib", QStringLiteral("spawned connection handler"), id);
    return ERROR_ok;
}

unsigned int ts3client_destroyServerConnectionHandler(uint64 serverConnectionHandlerID)
{
    {
        QMutexLocker locker(&g_stateMutex);
        if (!g_library)
            return ERROR_lib_not_initialized;
        if (g_library->handlers.erase(serverConnectionHandlerID) == 0)
            return ERROR_connection_handler_invalid;
    }
    sound::releaseHandler(serverConnectionHandlerID);
    // After this returns no callback names the handler: wait for the network thread to drop it,
    // unless this is the network thread itself.
    if (onNetworkThread()) {
        // From a callback: drop the connection now, so the burst being delivered stops here.
        Core* core = nullptr;
        {
            QMutexLocker locker(&g_stateMutex);
            core = g_library ? g_library->core : nullptr;
        }
        if (core)
            core->remove(serverConnectionHandlerID);
    } else {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        if (post([serverConnectionHandlerID, done](Core& core) {
                core.remove(serverConnectionHandlerID);
                done->set_value();
            }))
            finished.wait();
    }
    log(LogLevel_DEBUG, "ClientLib", QStringLiteral("destroyed connection handler"),
        serverConnectionHandlerID);
    return ERROR_ok;
}

unsigned int ts3client_createIdentity(char** result)
{
    if (!result)
        return ERROR_parameter_invalid;
    QByteArray random(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()),
                                          random.size() / 4);
    *result = dupString("V1:" + random.toBase64());
    return *result ? ERROR_ok : ERROR_out_of_memory;
}

unsigned int ts3client_getClientLibVersion(char** result)
{
    if (!result)
        return ERROR_parameter_invalid;
    *result = dupString(QByteArrayLiteral("1.0.0 (Meeting voice SDK, protocol ") +
                        QByteArray::number(protocol::Version) + ')');
    return *result ? ERROR_ok : ERROR_out_of_memory;
}

unsigned int ts3client_getErrorMessage(unsigned int errorCode, char** error)
{
    if (!error)
        return ERROR_parameter_invalid;
    const char* text = errorText(errorCode);
    if (!text)
        return ERROR_parameter_invalid;
    *error = dupString(QByteArray(text));
    return *error ? ERROR_ok : ERROR_out_of_memory;
}

unsigned int ts3client_freeMemory(void* pointer)
{
    std::free(pointer);
    return ERROR_ok;
}

} // extern "C"
