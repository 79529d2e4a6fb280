/* A look at a token's device mutex from outside the code under test: does
 * another thread get it at once?  One try, no waiting, so that a mutex left
 * held shows as such instead of as a call that gives up after a minute. */
#pragma once

#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <thread>

#include "SarnCore/DeviceContext.h"

/* What a new thread's one pthread_mutex_trylock of the device mutex of
 * device ulDeviceID ((pid << 16) | (bus << 8) | address) answers (the mutex
 * is given back when taken): 0 free, EBUSY held; -1 when the device has no
 * mutex segment. */
inline int DevMutexTryLock(unsigned int ulDeviceID)
{
    int iID = shmget(static_cast<key_t>(ulDeviceID), 0, 0);
    if (iID < 0) return -1;
    void *pSegment = shmat(iID, nullptr, 0);
    if (pSegment == reinterpret_cast<void *>(-1)) return -1;
    pthread_mutex_t *pMutex = reinterpret_cast<pthread_mutex_t *>(static_cast<char *>(pSegment) + DEV_MUTEX_OFFSET);
    int iRet = -1;
    std::thread other([&] {
        iRet = pthread_mutex_trylock(pMutex);
        if (iRet == 0) pthread_mutex_unlock(pMutex);
    });
    other.join();
    shmdt(pSegment);
    return iRet;
}

/* Whether a new thread takes the device mutex at its first try; false also
 * when the device has no mutex segment. */
inline bool DevMutexFreeAtOnce(unsigned int ulDeviceID)
{
    return DevMutexTryLock(ulDeviceID) == 0;
}

/* How many attachments the mutex segment of device ulDeviceID has; -1 when
 * the device has no mutex segment. */
inline int DevMutexAttachments(unsigned int ulDeviceID)
{
    struct shmid_ds stDs;
    int iID = shmget(static_cast<key_t>(ulDeviceID), 0, 0);
    return iID >= 0 && shmctl(iID, IPC_STAT, &stDs) == 0 ? static_cast<int>(stDs.shm_nattch) : -1;
}
