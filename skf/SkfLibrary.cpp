/* The library's start and stop, and the process's one device manager.
 *
 * Order at load: SKF_init switches OpenSSL's own clean-up at exit off
 * before anything of the library uses OpenSSL, starts the log and logs
 * "PROCESS ATTACH", then the manager is constructed, then the USB unit
 * (libusb context, command semaphore), which has no priority of its own
 * and so comes after both.
 * At unload and at exit SKF_fini ends the library: it logs "PROCESS
 * DETACH", stops the log, destroys the manager and lets the libusb context
 * go (their lines are dropped by the stopped log), and lets go of what the
 * log kept (its category, the buffers of every thread).  So "PROCESS
 * DETACH" is the last line either way.  Devices an application left
 * connected are not closed.
 *
 * At exit other threads may still be inside SKF calls.  Every call runs
 * between SkfCallBegins and SkfCallEnds: one that begins after the end is
 * refused, and while calls run at the end the manager and the libusb
 * context are left to the process's end (as the handle registry always
 * is), so no call meets a destroyed object.  OpenSSL's state (its random
 * generator, its locks) is not torn down at exit either, and the library's
 * own OpenSSL objects (the software layer's context, the SM2 groups, the
 * GM records) are freed only when the library is really unloaded with no
 * call running, never at exit: the exported GM and software cryptography
 * calls, which are not counted, may be running at exit too.  An exit is
 * told from an unload by a handler registered at load: at exit the exit
 * handlers run before SKF_fini, at an unload after it.
 *
 * A thread other than the main one that logged runs the log's code at its
 * end (it frees its buffers): while such a thread lives on or is ending, a
 * dlclose leaves the library loaded (the C library keeps an image while a
 * thread_local destructor of it is pending), and its end comes at exit. */
#include <openssl/crypto.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <type_traits>

#include "SarnComm/SarnComm.h"
#include "SoftCrypto/CryptoLibCtx.h"
#include "log/vexa_log.h"
#include "log/zlog/ZlogRuntime.h"
#include "skf/BrioManager.h"

#define SKF_INIT_PRIORITY 101
#define SKF_MANAGER_PRIORITY 102

namespace {

/* Set first thing at the end; the calls running now, counted. */
std::atomic<bool> g_bEnded{false};
std::atomic<long> g_lCalls{0};
/* Set by the exit handlers: the end is the process's exit. */
std::atomic<bool> g_bExiting{false};

void NoteExit(void)
{
    g_bExiting.store(true);
}

/* The manager lives in storage of its own: no destructor registered at load
 * tears it down at exit, SKF_fini alone does. */
std::aligned_storage_t<sizeof(CBrioManager), alignof(CBrioManager)> g_managerStorage;
CBrioManager *g_pManager = nullptr;

__attribute__((constructor(SKF_MANAGER_PRIORITY))) void SKF_make_manager(void)
{
    g_pManager = new (&g_managerStorage) CBrioManager;
}

}  // namespace

extern "C" __attribute__((constructor(SKF_INIT_PRIORITY))) void SKF_init(void)
{
    /* The first OpenSSL call of the process decides whether OpenSSL frees
     * its state in an exit handler; threads may still be inside calls then. */
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    atexit(NoteExit);
    /* A log that cannot start is not reported: the library runs without one. */
    vexa_log_init_ex(VEXA_LOG_CONF_PATH);
    TRACE(LOG_LEVEL_INFO, "PROCESS ATTACH");
}

extern "C" __attribute__((destructor)) void SKF_fini(void)
{
    /* Stored before the count is read, as a call counts itself before it
     * reads the flag: either the call sees the end, or the end sees it. */
    g_bEnded.store(true);
    /* The last lines are written by whichever thread unloads: they must
     * leave nothing for that thread's end to run in the library. */
    brio_zlog::zlog_end_begins();
    TRACE(LOG_LEVEL_INFO, "PROCESS DETACH");
    vexa_log_fini();
    if (g_lCalls.load() == 0) {
        g_pManager->~CBrioManager();
        SarnEndTransport();
        if (!g_bExiting.load()) softcrypto::ReleaseCryptoObjects();
    }
    /* Threads that logged may live on after the library is gone. */
    brio_zlog::zlog_end();
}

CBrioManager &SkfManager()
{
    return *g_pManager;
}

bool SkfCallBegins()
{
    g_lCalls.fetch_add(1);
    return !g_bEnded.load();
}

void SkfCallEnds()
{
    g_lCalls.fetch_sub(1);
}
