/* Threads of the test programs that make one SKF call each and then live
 * on, parked in the program's own code, until the program lets them end
 * (or exits with them still parked). */
#ifndef BRIO_SKF_TESTS_PEER_THREADS_H
#define BRIO_SKF_TESTS_PEER_THREADS_H

#include <pthread.h>

#define PEER_THREADS 2

typedef void (*PeerCall)(void);

static pthread_mutex_t g_peerMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_peerCond = PTHREAD_COND_INITIALIZER;
static int g_nPeerCalled = 0;
static int g_bPeerEnd = 0;
static pthread_t g_aPeerThreads[PEER_THREADS];

static inline void *PeerThreadMain(void *pCall)
{
    ((PeerCall)pCall)();
    pthread_mutex_lock(&g_peerMutex);
    ++g_nPeerCalled;
    pthread_cond_broadcast(&g_peerCond);
    while (!g_bPeerEnd) pthread_cond_wait(&g_peerCond, &g_peerMutex);
    pthread_mutex_unlock(&g_peerMutex);
    return NULL;
}

/* Starts the threads and returns once each has made its call; 0 on success. */
static inline int StartPeerThreads(PeerCall fnCall)
{
    int i;
    for (i = 0; i < PEER_THREADS; ++i)
        if (pthread_create(&g_aPeerThreads[i], NULL, PeerThreadMain, (void *)fnCall) != 0) return -1;
    pthread_mutex_lock(&g_peerMutex);
    while (g_nPeerCalled < PEER_THREADS) pthread_cond_wait(&g_peerCond, &g_peerMutex);
    pthread_mutex_unlock(&g_peerMutex);
    return 0;
}

/* Lets the threads end and waits for them. */
static inline void EndPeerThreads(void)
{
    int i;
    pthread_mutex_lock(&g_peerMutex);
    g_bPeerEnd = 1;
    pthread_cond_broadcast(&g_peerCond);
    pthread_mutex_unlock(&g_peerMutex);
    for (i = 0; i < PEER_THREADS; ++i) pthread_join(g_aPeerThreads[i], NULL);
}

#endif
