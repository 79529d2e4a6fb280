/* A program whose worker thread loads the shipped library, makes an SKF
 * call (which logs) and ends while the main thread unloads the library:
 *   unload_peer LIBRARY
 * Each mutex that the library's code takes in the worker once the worker's
 * own function has returned (in what runs at the thread's end) is taken
 * only after 300 ms, as a preemption on a busy machine holds a thread in
 * the middle of that code; the main thread unloads the library as the
 * first such hold begins, says "unloaded" or "still loaded", then waits
 * for the worker and returns from main.  The program defines
 * pthread_mutex_lock itself (and exports it), so that the library's calls
 * of it come here first. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

#include "skf/skf.h"

typedef int (*LockFn)(pthread_mutex_t *);
typedef ULONG (*EnumDevFn)(BOOL, LPSTR, ULONG *);

static LockFn g_pfnLock = NULL;
static _Thread_local int t_bHoldLocks = 0;
static atomic_int g_bHoldBegan = 0;
static sem_t g_holdBegins;
static const char *g_pszLibrary = NULL;
static void *g_pLibrary = NULL;
static void *g_pLibraryBase = NULL;

/* Whether pCaller is code of the library. */
static int InLibrary(void *pCaller)
{
    Dl_info info;
    return g_pLibraryBase != NULL && dladdr(pCaller, &info) != 0 && info.dli_fbase == g_pLibraryBase;
}

int pthread_mutex_lock(pthread_mutex_t *pMutex)
{
    struct timespec hold = {0, 300 * 1000000L};
    if (t_bHoldLocks && InLibrary(__builtin_return_address(0))) {
        if (!atomic_exchange(&g_bHoldBegan, 1)) sem_post(&g_holdBegins);
        while (nanosleep(&hold, &hold) != 0 && errno == EINTR) {}
    }
    return g_pfnLock(pMutex);
}

static void *Worker(void *pUnused)
{
    EnumDevFn pfnEnumDev;
    ULONG ulSize = 0;
    (void)pUnused;
    g_pLibrary = dlopen(g_pszLibrary, RTLD_NOW | RTLD_LOCAL);
    if (g_pLibrary == NULL) return NULL;
    pfnEnumDev = (EnumDevFn)dlsym(g_pLibrary, "SKF_EnumDev");
    if (pfnEnumDev != NULL) {
        Dl_info info;
        if (dladdr((void *)pfnEnumDev, &info) != 0) g_pLibraryBase = info.dli_fbase;
        pfnEnumDev(TRUE, NULL, &ulSize);
    }
    t_bHoldLocks = 1;
    return NULL;
}

int main(int argc, char **argv)
{
    pthread_t worker;
    struct timespec deadline;
    int nWait;
    if (argc != 2) return 2;
    g_pszLibrary = argv[1];
    g_pfnLock = (LockFn)dlsym(RTLD_NEXT, "pthread_mutex_lock");
    if (g_pfnLock == NULL || sem_init(&g_holdBegins, 0, 0) != 0) return 1;
    if (pthread_create(&worker, NULL, Worker, NULL) != 0) return 1;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    while ((nWait = sem_timedwait(&g_holdBegins, &deadline)) != 0 && errno == EINTR) {}
    /* A worker that gives nothing back at its end is waited for first. */
    if (nWait != 0) pthread_join(worker, NULL);
    if (g_pLibrary == NULL || dlclose(g_pLibrary) != 0) return 1;
    printf("%s\n", dlopen(g_pszLibrary, RTLD_NOW | RTLD_NOLOAD) == NULL ? "unloaded" : "still loaded");
    fflush(stdout);
    if (nWait == 0) pthread_join(worker, NULL);
    return 0;
}
