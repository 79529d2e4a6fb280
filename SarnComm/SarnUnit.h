/* The transport unit: the one libusb context of the process, the command
 * semaphore and the state of the hot-plug wait.  Internal to SarnComm. */
#ifndef BRIO_SARNCOMM_SARN_UNIT_H
#define BRIO_SARNCOMM_SARN_UNIT_H

#include <libusb.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#define SARN_SEM_KEY 0x287FF013
#define SARN_LOCK_TIMEOUT_S 60

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
extern int g_semLock;
extern _usbInit usbInit;

/* Opens the semaphore set of iKey, or creates it with the value 1; see the
 * unit's constructor.  Returns the id, or -1. */
int SarnOpenSemaphore(int iKey);

/* Builds "Mirel&pid_%04x&bus_%03d&addr_%03d" into a 32-byte buffer. */
void SarnBuildDeviceName(char szName[32], uint16_t usProductID, uint8_t byBus, uint8_t byAddress);

#endif
