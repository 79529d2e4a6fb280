/* The transport unit: the one libusb context of the process, the command
 * semaphore and the state of the hot-plug wait.  Internal to SarnComm. */
#ifndef BRIO_SARNCOMM_SARN_UNIT_H
#define BRIO_SARNCOMM_SARN_UNIT_H

#include <libusb.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <mutex>

#define SARN_SEM_KEY 0x287FF013
#define SARN_LOCK_TIMEOUT_S 60
/* How long a semaphore set may stay without its first value before it is
 * taken for one whose creator died between its creation and its first
 * operation, and made anew.  Far above any time a live creator takes for
 * its two calls, and far below the lock's time-out. */
#define SARN_SEM_READY_WAIT_MS 10000u

/* What a hot-plug callback reports to the waiter. */
struct _usbHotplugEvent {
    uint32_t ulEvent;  /* 1 arrived, 2 left */
    char szDevName[32];
};

struct _usbInit {
    _usbInit();
    _usbInit(const _usbInit &) = delete;
    _usbInit &operator=(const _usbInit &) = delete;

    /* Callback handles, 0 meaning none; whoever swaps one to 0 deregisters it. */
    std::atomic<int> hArrival{0};
    std::atomic<int> hRemoved{0};

    /* The hot-plug wait: at most one at a time.  m_bCancelled is sticky for
     * the wait in progress and cleared when the next wait starts. */
    std::mutex m_mtxWait;
    bool m_bWaiting = false;
    std::atomic<bool> m_bCancelled{false};
    std::atomic<bool> m_bEventFilled{false};
    _usbHotplugEvent m_stEvent{};
};

extern libusb_context *g_pUsbCtx;
/* The command semaphore's id, -1 while none is open; a thread that finds
 * the set removed opens it again by its key and stores the new id. */
extern std::atomic<int> g_semLock;
extern _usbInit usbInit;

/* The id of the semaphore set of iKey (one semaphore, 0666, 1 when free)
 * once it has had its first value, or -1 (traced).  A set is made by
 * exclusive creation and its creator's first operation (+1); an opener
 * waits for that operation.  A set still without a value after
 * ulReadyWaitMs of that wait was never operated on, so nobody holds it:
 * it is removed and made anew.  With pDeadline (CLOCK_MONOTONIC), -1 once
 * it passes. */
int SarnOpenSemaphore(int iKey, unsigned int ulReadyWaitMs = SARN_SEM_READY_WAIT_MS,
                      const struct timespec *pDeadline = nullptr);
/* Takes the semaphore of iKey whose id iSem keeps (operation -1 with
 * undo) within ulTimeoutMs: 0 and the id taken in *piTaken, which is the
 * one to give back; else ERR_LOCK_TIMEOUT.  A set removed under the wait
 * is opened again by its key. */
unsigned int SarnTakeSemaphore(std::atomic<int> &iSem, int iKey, unsigned int ulReadyWaitMs,
                               unsigned int ulTimeoutMs, int *piTaken);
void SarnGiveSemaphore(int iTaken);
/* Called, when set, by the creator of a set between its creation and its
 * first value: tests stop or end a creator there. */
extern void (*g_pfnSemaphoreCreated)(int iSem);

/* Builds "Mirel&pid_%04x&bus_%03d&addr_%03d" into a 32-byte buffer. */
void SarnBuildDeviceName(char szName[32], uint16_t usProductID, uint8_t byBus, uint8_t byAddress);

#endif
