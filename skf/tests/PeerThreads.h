/* Threads of the test programs.  Each makes its SKF call once and then
 * either lives on, parked in the program's own code, until the program lets
 * it end (or exits with it still parked), or keeps making the call until
 * the process ends. */
#ifndef BRIO_SKF_TESTS_PEER_THREADS_H
#define BRIO_SKF_TESTS_PEER_THREADS_H

#include <pthread.h>

#define PEER_THREADS 2
#define PEER_THREADS_MAX 256

typedef void (*PeerCall)(void);

static pthread_mutex_t g_peerMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_peerCond = PTHREAD_COND_INITIALIZER;
static int g_nPeerCalled = 0;
static int g_bPeerEnd = 0;
static int g_bPeerRepeat = 0;
static int g_nPeerThreads = 0;
static PeerCall g_fnPeerCall = NULL;
static pthread_t g_aPeerThreads[PEER_THREADS_MAX];

static inline void *PeerThreadMain(void *pUnused)
{
    (void)pUnused;
    g_fnPeerCall();
    pthread_mutex_lock(&g_peerMutex);
    ++g_nPeerCalled;
    pthread_cond_broadcast(&g_peerCond);
    if (g_bPeerRepeat) {
        pthread_mutex_unlock(&g_peerMutex);
        for (;;) g_fnPeerCall();
    }
    while (!g_bPeerEnd) pthread_cond_wait(&g_peerCond, &g_peerMutex);
    pthread_mutex_unlock(&g_peerMutex);
    return NULL;
}

/* Starts nThreads threads (at most PEER_THREADS_MAX) and returns once each
 * has made its call; with bRepeat they go on calling until the process
 * ends.  0 on success. */
static inline int StartPeerThreadsEx(PeerCall fnCall, int nThreads, int bRepeat)
{
    int i;
    if (nThreads > PEER_THREADS_MAX) return -1;
    g_fnPeerCall = fnCall;
    g_bPeerRepeat = bRepeat;
    for (i = 0; i < nThreads; ++i) {
        if (pthread_create(&g_aPeerThreads[i], NULL, PeerThreadMain, NULL) != 0) return -1;
        g_nPeerThreads = i + 1;
    }
    pthread_mutex_lock(&g_peerMutex);
    while (g_nPeerCalled < nThreads) pthread_cond_wait(&g_peerCond, &g_peerMutex);
    pthread_mutex_unlock(&g_peerMutex);
    return 0;
}

static inline int StartPeerThreads(PeerCall fnCall)
{
    return StartPeerThreadsEx(fnCall, PEER_THREADS, 0);
}

/* Lets the parked threads end, without waiting for them. */
static inline void LetPeerThreadsEnd(void)
{
    pthread_mutex_lock(&g_peerMutex);
    g_bPeerEnd = 1;
    pthread_cond_broadcast(&g_peerCond);
    pthread_mutex_unlock(&g_peerMutex);
}

static inline void JoinPeerThreads(void)
{
    int i;
    for (i = 0; i < g_nPeerThreads; ++i) pthread_join(g_aPeerThreads[i], NULL);
}

/* Lets the threads end and waits for them. */
static inline void EndPeerThreads(void)
{
    LetPeerThreadsEnd();
    JoinPeerThreads();
}

#endif
