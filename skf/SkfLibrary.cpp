/* The library's start and stop, and the process's one device manager.
 *
 * Order at load: SKF_init starts the log and logs "PROCESS ATTACH", then the
 * manager is constructed, then the USB unit (libusb context, command
 * semaphore), which has no priority of its own and so comes after both.
 * At unload SKF_fini logs "PROCESS DETACH", stops the log and lets go of
 * what the log kept (its category, the buffers of every thread); the
 * destructors registered at load then run in reverse: the USB unit's, then
 * the manager's, whose lines are dropped by the stopped log.  At exit those destructors run first and
 * SKF_fini last, so "PROCESS DETACH" is the last line either way.  Devices
 * an application left connected are not closed.
 *
 * Once a thread other than the one that loaded the library has logged, the
 * log marks the library never to be unloaded (a thread's end runs the log's
 * code): a later dlclose leaves it loaded, and its end comes at exit. */
#include "log/vexa_log.h"
#include "log/zlog/ZlogRuntime.h"
#include "skf/BrioManager.h"

#define SKF_INIT_PRIORITY 101
#define SKF_MANAGER_PRIORITY 102

extern "C" __attribute__((constructor(SKF_INIT_PRIORITY))) void SKF_init(void)
{
    /* A log that cannot start is not reported: the library runs without one. */
    vexa_log_init_ex(VEXA_LOG_CONF_PATH);
    TRACE(LOG_LEVEL_INFO, "PROCESS ATTACH");
}

extern "C" __attribute__((destructor)) void SKF_fini(void)
{
    /* The last lines are written by whichever thread unloads: they must not
     * mark the library to stay. */
    brio_zlog::zlog_end_begins();
    TRACE(LOG_LEVEL_INFO, "PROCESS DETACH");
    vexa_log_fini();
    /* Threads that logged may live on after the library is gone. */
    brio_zlog::zlog_end();
}

static CBrioManager g_BrioManager __attribute__((init_priority(SKF_MANAGER_PRIORITY)));

CBrioManager &SkfManager()
{
    return g_BrioManager;
}
