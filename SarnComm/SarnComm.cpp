/* USB transport: the process's libusb context, the command semaphore,
 * enumeration, open and close, and the bulk-only command exchange. */
#include "SarnComm/SarnComm.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <type_traits>

#include "SarnComm/BulkOnly.h"
#include "SarnComm/SarnUnit.h"
#include "log/StepTrace.h"
#include "log/vexa_log.h"

/* The open-device record behind the handle the transport hands out. */
struct _usbDevice {
    libusb_device_handle *dev_handle;
    uint8_t bus_number;
    uint8_t device_address;
    uint32_t interface_number;
    uint32_t bulk_in;
    uint32_t bulk_out;
    uint32_t interrupt_ep;
    uint32_t ref_count;
    uint32_t *p_ref_count;
    uint8_t reserved;
};

/* A stalled pipe is cleared and the transfer tried again this many times;
 * a device that keeps stalling fails the exchange instead of holding the
 * command semaphore for ever. */
#define SARN_MAX_STALL_RETRIES 3
/* Zero-length transfers tolerated in a row before a phase is given up. */
#define SARN_MAX_EMPTY_TRANSFERS 4
#define SARN_WRITE_TIMEOUT_MS 5000
#define SARN_READ_TIMEOUT_MS 180000
/* After "USBS" with a foreign tag, how long the rest of an answer may take
 * to follow before that wrapper is taken as the end of the phase. */
#define SARN_STRAY_WRAPPER_GRACE_MS 500
#define SARN_PHASE_PAUSE_US 15000

libusb_context *g_pUsbCtx = nullptr;
std::atomic<int> g_semLock{-1};
void (*g_pfnSemaphoreCreated)(int iSem) = nullptr;

/* Rounds of SarnOpenSemaphore before it gives up: each ends with a set
 * opened, or with one removed (by another process, or as never given its
 * value) and a new look. */
#define SARN_SEM_OPEN_ROUNDS 16
/* The wait for a set's first value looks again after 1 ms, and then at
 * most every 50 ms. */
#define SARN_SEM_POLL_FIRST_US 1000L
#define SARN_SEM_POLL_MAX_US 50000L

namespace {

union SemArg {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

long long NowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long ToUs(const struct timespec &ts) { return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000; }

bool SetIsGone(int iErr) { return iErr == EIDRM || iErr == EINVAL; }

enum class SetState { Ready, Gone, NeverGiven, Late };

/* Waits for the first value of the set iSem: its creator's first
 * operation sets sem_otime; a set given its value by semctl (as another
 * release may) has a value other than 0 but no operation yet.  A set that
 * has neither was never operated on, so nobody holds it. */
SetState WaitForFirstValue(int iSem, unsigned int ulReadyWaitMs, const struct timespec *pDeadline)
{
    long long llStart = NowUs();
    long lPauseUs = SARN_SEM_POLL_FIRST_US;
    for (;;) {
        struct semid_ds stDs;
        SemArg arg;
        arg.buf = &stDs;
        if (semctl(iSem, 0, IPC_STAT, arg) != 0) return SetIsGone(errno) ? SetState::Gone : SetState::Ready;
        if (stDs.sem_otime != 0) return SetState::Ready;
        int iValue = semctl(iSem, 0, GETVAL);
        if (iValue < 0) return SetIsGone(errno) ? SetState::Gone : SetState::Ready;
        if (iValue != 0) return SetState::Ready;
        long long llNow = NowUs();
        if (llNow - llStart >= (long long)ulReadyWaitMs * 1000LL) return SetState::NeverGiven;
        if (pDeadline != nullptr && llNow >= ToUs(*pDeadline)) return SetState::Late;
        usleep((useconds_t)lPauseUs);
        lPauseUs = lPauseUs * 2 < SARN_SEM_POLL_MAX_US ? lPauseUs * 2 : SARN_SEM_POLL_MAX_US;
    }
}

}  // namespace

int SarnOpenSemaphore(int iKey, unsigned int ulReadyWaitMs, const struct timespec *pDeadline)
{
    static const char *OP = "usbInit";
    for (int nRound = 0; nRound < SARN_SEM_OPEN_ROUNDS; ++nRound) {
        int iSem = semget(iKey, 1, 0666);
        if (iSem < 0) {
            if (errno != ENOENT) break;
            /* Only the process whose exclusive creation succeeds gives the
             * set its first value (it is born with 0, i.e. taken), so no
             * late starter can reset a taken one. */
            iSem = semget(iKey, 1, 0666 | IPC_CREAT | IPC_EXCL);
            if (iSem < 0) {
                if (errno == EEXIST) continue;
                break;
            }
            if (g_pfnSemaphoreCreated != nullptr) g_pfnSemaphoreCreated(iSem);
            struct sembuf stOp = {0, 1, 0};
            if (semop(iSem, &stOp, 1) == 0) return iSem;
            /* Removed before its first value, taken for a dead creator's:
             * the set of the key now is another one. */
            if (SetIsGone(errno)) continue;
            TRACE_STEP_FAIL(OP, "semop(init)", errno);
            return iSem;
        }
        switch (WaitForFirstValue(iSem, ulReadyWaitMs, pDeadline)) {
        case SetState::Ready:
            return iSem;
        case SetState::Gone:
            continue;
        case SetState::Late:
            TRACE_STEP_FAIL(OP, "wait for the first value", ERR_LOCK_TIMEOUT);
            return -1;
        case SetState::NeverGiven:
            /* Its creator ended (or stopped) before its first operation.
             * One remover succeeds; the others find it gone.  Both look
             * for the set of the key again. */
            if (semctl(iSem, 0, IPC_RMID) == 0) {
                TRACE_STEP_OK(OP, "semctl(IPC_RMID) of a set never given its value");
            } else if (!SetIsGone(errno)) {
                TRACE_STEP_FAIL(OP, "semctl(IPC_RMID)", errno);
                return iSem;
            }
            continue;
        }
    }
    TRACE_STEP_FAIL(OP, "semget", errno != 0 ? errno : ERR_LOCK_TIMEOUT);
    return -1;
}

_usbInit::_usbInit()
{
    libusb_init(&g_pUsbCtx);
    g_semLock = SarnOpenSemaphore(SARN_SEM_KEY);
}

/* Nothing of the unit is torn down by the process's exit: other threads may
 * still be inside transport calls then.  The library's end lets the context
 * go (SarnEndTransport) when no call runs. */
static_assert(std::is_trivially_destructible<_usbInit>::value, "the unit must outlive the exit handlers");
_usbInit usbInit;

void SarnEndTransport(void)
{
    if (g_pUsbCtx != nullptr) libusb_exit(g_pUsbCtx);
    g_pUsbCtx = nullptr;
}

unsigned int SarnTakeSemaphore(std::atomic<int> &iSem, int iKey, unsigned int ulReadyWaitMs,
                               unsigned int ulTimeoutMs, int *piTaken)
{
    struct timespec stDeadline;
    clock_gettime(CLOCK_MONOTONIC, &stDeadline);
    stDeadline.tv_sec += ulTimeoutMs / 1000;
    stDeadline.tv_nsec += (long)(ulTimeoutMs % 1000) * 1000000L;
    if (stDeadline.tv_nsec >= 1000000000L) {
        stDeadline.tv_sec += 1;
        stDeadline.tv_nsec -= 1000000000L;
    }
    int iID = iSem.load();
    int iStale = iID;  /* the id this thread found no set behind */
    for (;;) {
        if (iID < 0) {
            /* Not open, or removed: the set of the key now, stored unless
             * another thread stored one meanwhile (then that one). */
            int iOpened = SarnOpenSemaphore(iKey, ulReadyWaitMs, &stDeadline);
            if (iOpened < 0) return ERR_LOCK_TIMEOUT;
            iID = iSem.compare_exchange_strong(iStale, iOpened) ? iOpened : iStale;
        }
        long long llLeftUs = ToUs(stDeadline) - NowUs();
        if (llLeftUs < 0) return ERR_LOCK_TIMEOUT;
        struct timespec stLeft = {(time_t)(llLeftUs / 1000000LL), (long)(llLeftUs % 1000000LL) * 1000L};
        struct sembuf stOp = {0, -1, SEM_UNDO};
        if (semtimedop(iID, &stOp, 1, &stLeft) == 0) {
            *piTaken = iID;
            return 0;
        }
        if (errno == EINTR) continue;
        if (!SetIsGone(errno)) return ERR_LOCK_TIMEOUT;
        iStale = iID;
        iID = -1;
    }
}

void SarnGiveSemaphore(int iTaken)
{
    struct sembuf stOp = {0, 1, SEM_UNDO};
    if (iTaken >= 0 && semop(iTaken, &stOp, 1) != 0) TRACE_STEP_FAIL("SarnReleaseCommandLock", "semop", errno);
}

unsigned int SarnAcquireCommandLock(int *piTaken)
{
    return SarnTakeSemaphore(g_semLock, SARN_SEM_KEY, SARN_SEM_READY_WAIT_MS, SARN_LOCK_TIMEOUT_S * 1000u, piTaken);
}

void SarnReleaseCommandLock(int iTaken) { SarnGiveSemaphore(iTaken); }

void SarnBuildDeviceName(char szName[32], uint16_t usProductID, uint8_t byBus, uint8_t byAddress)
{
    snprintf(szName, 32, "%s&pid_%04x&bus_%03d&addr_%03d", USB_KEY_NAME_PREFIX, usProductID, byBus,
             byAddress);
}

/* The current device list; negative (traced) when there is none. */
static ssize_t GetDeviceList(const char *szOperation, libusb_device ***pppList)
{
    ssize_t lCount = libusb_get_device_list(g_pUsbCtx, pppList);
    if (lCount < 0 || *pppList == nullptr) {
        TRACE_STEP_FAIL(szOperation, "libusb_get_device_list", ERR_USB_NO_DEVICE);
        return -1;
    }
    return lCount;
}

unsigned int SarnEnumDevice(EnumDriverType, unsigned short usVendorID, unsigned short usProductID,
                            char *pszDevNames, unsigned int *pulSize)
{
    static const char *OP = "SarnEnumDevice";
    if (pulSize == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pulSize", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    *pulSize = 0;
    libusb_device **ppList = nullptr;
    ssize_t lCount = GetDeviceList(OP, &ppList);
    if (lCount < 0) return ERR_USB_NO_DEVICE;
    unsigned int ulRet = 0;
    unsigned int ulSize = 0;
    for (ssize_t i = 0; i < lCount; ++i) {
        libusb_device *pDev = ppList[i];
        uint8_t byBus = libusb_get_bus_number(pDev);
        uint8_t byAddr = libusb_get_device_address(pDev);
        struct libusb_device_descriptor stDesc;
        int iRet = libusb_get_device_descriptor(pDev, &stDesc);
        if (iRet != 0) {
            ulRet = (unsigned int)iRet;
            TRACE_STEP_FAIL(OP, "libusb_get_device_descriptor", ulRet);
            break;
        }
        if (stDesc.idVendor != usVendorID || stDesc.idProduct != usProductID) continue;
        /* Room for this name, its NUL and the closing NUL of the list. */
        if (ulSize + SARN_DEVICE_NAME_LEN + 1 + 1 > SARN_DEVICE_LIST_CAPACITY) {
            TRACE(LOG_LEVEL_WARN, "%s - %s", OP, "device list full, further tokens not listed");
            break;
        }
        char szName[32];
        SarnBuildDeviceName(szName, usProductID, byBus, byAddr);
        if (pszDevNames != nullptr) memcpy(pszDevNames + ulSize, szName, SARN_DEVICE_NAME_LEN + 1);
        ulSize += SARN_DEVICE_NAME_LEN + 1;
    }
    if (ulRet == 0 && ulSize > 0) {
        if (pszDevNames != nullptr) pszDevNames[ulSize] = '\0';
        ulSize += 1;
    }
    *pulSize = ulSize;
    libusb_free_device_list(ppList, 1);
    if (ulRet == 0) TRACE_STEP_OK(OP, "libusb_get_device_list");
    return ulRet;
}

bool SarnParseNameField(const char *pszFrom, const char *szKey, int iBase, unsigned long *pulValue,
                           const char **ppszEnd)
{
    const char *p = strstr(pszFrom, szKey);
    if (p == nullptr) return false;
    p += strlen(szKey);
    char *pEnd = nullptr;
    errno = 0;
    unsigned long ulValue = strtoul(p, &pEnd, iBase);
    if (pEnd == p || errno != 0) return false;
    *pulValue = ulValue;
    *ppszEnd = pEnd;
    return true;
}

static void SetRecordEndpoints(_usbDevice *pRec, const struct libusb_interface_descriptor *pAlt)
{
    for (uint8_t i = 0; i < pAlt->bNumEndpoints; ++i) {
        const struct libusb_endpoint_descriptor *pEp = &pAlt->endpoint[i];
        uint8_t byType = pEp->bmAttributes & 0x03;
        if (byType == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
            pRec->interrupt_ep = pEp->bEndpointAddress;
        } else if (byType == LIBUSB_TRANSFER_TYPE_BULK) {
            if (pEp->bEndpointAddress & 0x80) {
                pRec->bulk_in = pEp->bEndpointAddress;
            } else {
                pRec->bulk_out = pEp->bEndpointAddress;
            }
        }
    }
}

/* Opens the found device and makes its record; undoes the open on failure. */
static unsigned int OpenFoundDevice(libusb_device *pDev, void **ppDevHandle)
{
    static const char *OP = "SarnOpenDevice";
    libusb_device_handle *pHandle = nullptr;
    int iRet = libusb_open(pDev, &pHandle);
    if (iRet != 0) {
        TRACE_STEP_FAIL(OP, "libusb_open", (unsigned int)iRet);
        return (unsigned int)iRet;
    }
    struct libusb_config_descriptor *pConfig = nullptr;
    int iInterface = -1;
    unsigned int ulRet = 0;
    const struct libusb_interface_descriptor *pAlt = nullptr;
    _usbDevice *pRec = nullptr;

    iRet = libusb_get_active_config_descriptor(pDev, &pConfig);
    if (iRet != 0) {
        ulRet = (unsigned int)iRet;
        TRACE_STEP_FAIL(OP, "libusb_get_active_config_descriptor", ulRet);
        goto failed;
    }
    for (uint8_t i = 0; i < pConfig->bNumInterfaces; ++i) {
        const struct libusb_interface *pIf = &pConfig->interface[i];
        if (pIf->num_altsetting > 0 && pIf->altsetting[0].bInterfaceClass == LIBUSB_CLASS_MASS_STORAGE) {
            pAlt = &pIf->altsetting[0];
            iInterface = pAlt->bInterfaceNumber;
            break;
        }
    }
    if (pAlt == nullptr) {
        ulRet = ERR_USB_NOT_FOUND;
        TRACE_STEP_FAIL(OP, "get_usb_interface", ulRet);
        goto failed;
    }
    if (libusb_kernel_driver_active(pHandle, iInterface) == 1) {
        iRet = libusb_detach_kernel_driver(pHandle, iInterface);
        /* Not found: another process opening the token detached it meanwhile. */
        if (iRet != 0 && iRet != LIBUSB_ERROR_NOT_FOUND) {
            ulRet = (unsigned int)iRet;
            TRACE_STEP_FAIL(OP, "libusb_detach_kernel_driver", ulRet);
            goto failed;
        }
    }
    pRec = new (std::nothrow) _usbDevice();
    if (pRec == nullptr) {
        ulRet = ERROR_NOT_ENOUGH_MEMORY;
        TRACE_STEP_FAIL(OP, "new _usbDevice", ulRet);
        goto failed;
    }
    pRec->dev_handle = pHandle;
    pRec->bus_number = libusb_get_bus_number(pDev);
    pRec->device_address = libusb_get_device_address(pDev);
    pRec->interface_number = (uint32_t)iInterface;
    SetRecordEndpoints(pRec, pAlt);
    pRec->ref_count = 1;
    pRec->p_ref_count = &pRec->ref_count;
    pRec->reserved = 19;
    libusb_free_config_descriptor(pConfig);
    *ppDevHandle = pRec;
    TRACE_STEP_OK(OP, "libusb_open");
    return 0;

failed:
    if (pConfig != nullptr) libusb_free_config_descriptor(pConfig);
    libusb_attach_kernel_driver(pHandle, iInterface < 0 ? 0 : iInterface);
    libusb_close(pHandle);
    return ulRet;
}

unsigned int SarnOpenDevice(EnumDriverType, const char *pszDevName, void **ppDevHandle)
{
    static const char *OP = "SarnOpenDevice";
    const char *pszPrefix = pszDevName != nullptr ? strstr(pszDevName, USB_KEY_NAME_PREFIX) : nullptr;
    if (pszPrefix == nullptr) {
        TRACE_STEP_FAIL(OP, "Check pszDevName USB_KEY_NAME_PREFIX", ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    if (ppDevHandle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK ppDevHandle", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    unsigned long ulPid = 0, ulBus = 0, ulAddr = 0;
    const char *p = pszPrefix;
    if (!SarnParseNameField(p, "pid_", 16, &ulPid, &p) || !SarnParseNameField(p, "bus_", 10, &ulBus, &p) ||
        !SarnParseNameField(p, "addr_", 10, &ulAddr, &p)) {
        TRACE_STEP_FAIL(OP, "Check pszDevName pid_ bus_ addr_", ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }

    libusb_device **ppList = nullptr;
    ssize_t lCount = GetDeviceList(OP, &ppList);
    if (lCount < 0) return ERR_USB_NO_DEVICE;
    unsigned int ulRet = ERR_USB_NO_DEVICE;
    libusb_device *pFound = nullptr;
    for (ssize_t i = 0; i < lCount; ++i) {
        struct libusb_device_descriptor stDesc;
        int iRet = libusb_get_device_descriptor(ppList[i], &stDesc);
        if (iRet != 0) {
            ulRet = (unsigned int)iRet;
            TRACE_STEP_FAIL(OP, "libusb_get_device_descriptor", ulRet);
            break;
        }
        if (stDesc.idProduct == ulPid && libusb_get_bus_number(ppList[i]) == ulBus &&
            libusb_get_device_address(ppList[i]) == ulAddr) {
            pFound = ppList[i];
            break;
        }
    }
    if (pFound != nullptr) {
        ulRet = OpenFoundDevice(pFound, ppDevHandle);
    } else if (ulRet == ERR_USB_NO_DEVICE) {
        TRACE_STEP_FAIL(OP, "CHECK pDevHandle", ulRet);
    }
    libusb_free_device_list(ppList, 1);
    return ulRet;
}

unsigned int SarnCloseDevice(void *pDevHandle)
{
    static const char *OP = "SarnCloseDevice";
    _usbDevice *pRec = static_cast<_usbDevice *>(pDevHandle);
    if (pRec == nullptr || pRec->dev_handle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pDeviceHandle->dev_handle", ERR_NO_USB_HANDLE);
        return ERR_NO_USB_HANDLE;
    }
    if (*pRec->p_ref_count > 0) --*pRec->p_ref_count;
    if (*pRec->p_ref_count == 0) {
        libusb_close(pRec->dev_handle);
        pRec->dev_handle = nullptr;
        delete pRec;
    }
    TRACE_STEP_OK(OP, "libusb_close");
    return 0;
}

unsigned int SarnGetDeviceID(EnumDriverType, const char *, unsigned short *, unsigned short *)
{
    TRACE_STEP_FAIL("SarnGetDeviceID", "get_device_vid_pid", ERR_UNSUPPORTED);
    return ERR_UNSUPPORTED;
}

static uint32_t HandleTag(const _usbDevice *pRec)
{
    return (uint32_t)(uintptr_t)pRec->dev_handle;
}

/* One bulk transfer; a stalled pipe is cleared and retried a bounded number
 * of times.  Returns the libusb code of the last try. */
static int BulkTransfer(_usbDevice *pRec, unsigned char byEndpoint, unsigned char *pbData, int iLen,
                        int *piDone, unsigned int ulTimeoutMs)
{
    for (int iStalls = 0;; ++iStalls) {
        *piDone = 0;
        int iRet = libusb_bulk_transfer(pRec->dev_handle, byEndpoint, pbData, iLen, piDone, ulTimeoutMs);
        if (iRet != LIBUSB_ERROR_PIPE || iStalls >= SARN_MAX_STALL_RETRIES) return iRet;
        libusb_clear_halt(pRec->dev_handle, byEndpoint);
        usleep(5000);
        if (libusb_claim_interface(pRec->dev_handle, (int)pRec->interface_number) != 0) return iRet;
    }
}

/* Writes ulLen bytes to the bulk-out endpoint. */
static unsigned int Send_USB(_usbDevice *pRec, const unsigned char *pbData, unsigned int ulLen)
{
    static const char *OP = "Send_USB";
    int iIf = (int)pRec->interface_number;
    if (libusb_claim_interface(pRec->dev_handle, iIf) != 0) {
        TRACE_STEP_FAIL(OP, "libusb_claim_interface", ERR_USB_TRANSFER);
        return ERR_USB_TRANSFER;
    }
    unsigned int ulDone = 0;
    int iEmpty = 0;
    while (ulDone < ulLen) {
        int iDone = 0;
        int iRet = BulkTransfer(pRec, (unsigned char)pRec->bulk_out, const_cast<unsigned char *>(pbData) + ulDone,
                                (int)(ulLen - ulDone), &iDone, SARN_WRITE_TIMEOUT_MS);
        if (iRet != 0 || (iDone == 0 && ++iEmpty > SARN_MAX_EMPTY_TRANSFERS)) {
            libusb_release_interface(pRec->dev_handle, iIf);
            TRACE_STEP_FAIL(OP, "libusb_bulk_transfer", (unsigned int)iRet);
            return ERR_USB_TRANSFER;
        }
        if (iDone > 0) iEmpty = 0;
        ulDone += (unsigned int)iDone;
    }
    libusb_release_interface(pRec->dev_handle, iIf);
    return 0;
}

/* Reads up to a status wrapper with the handle's tag.  pbArea holds
 * BOT_READ_AREA bytes; *pulDataLen gets the bytes before the wrapper and
 * *pbyStatus its status byte.  "USBS" with another tag ends the read only if
 * nothing follows it within a short grace time: then it is a stray wrapper
 * (228), otherwise it was answer data. */
static unsigned int ReadUSB(_usbDevice *pRec, unsigned char *pbArea, unsigned int *pulDataLen,
                            unsigned char *pbyStatus)
{
    static const char *OP = "ReadUSB";
    int iIf = (int)pRec->interface_number;
    uint32_t ulTag = HandleTag(pRec);
    unsigned int ulTotal = 0;
    int iEmpty = 0;
    bool bForeignWrapper = false;
    *pulDataLen = 0;
    unsigned int ulRet = ERR_USB_TRANSFER;
    for (;;) {
        if (libusb_claim_interface(pRec->dev_handle, iIf) != 0) {
            TRACE_STEP_FAIL(OP, "libusb_claim_interface", ERR_USB_TRANSFER);
            return ERR_USB_TRANSFER;
        }
        int iDone = 0;
        int iRet = BulkTransfer(pRec, (unsigned char)pRec->bulk_in, pbArea + ulTotal, (int)(BOT_READ_AREA - ulTotal),
                                &iDone, bForeignWrapper ? SARN_STRAY_WRAPPER_GRACE_MS : SARN_READ_TIMEOUT_MS);
        if (iRet == 0 && iDone > 0) {
            iEmpty = 0;
            ulTotal += (unsigned int)iDone;
            EnumCSWMatch eMatch = MatchCSW(pbArea, ulTotal, ulTag);
            if (eMatch == CSW_OURS) {
                libusb_release_interface(pRec->dev_handle, iIf);
                *pulDataLen = ulTotal - BOT_CSW_LEN;
                *pbyStatus = CSWStatus(pbArea, ulTotal);
                return 0;
            }
            bForeignWrapper = (eMatch == CSW_OTHER_TAG);
            if (ulTotal < BOT_READ_AREA) continue;
            ulRet = bForeignWrapper ? ERR_CSW_TAG : ERR_USB_TRANSFER;
            TRACE_STEP_FAIL(OP, "CHECK CSW in read area", ulRet);
            break;
        }
        if (bForeignWrapper) {
            /* Nothing more came: the wrapper was the end, with the wrong tag. */
            ulRet = ERR_CSW_TAG;
            TRACE_STEP_FAIL(OP, "CHECK CSW tag", ulRet);
            break;
        }
        if (iRet != 0 || ++iEmpty > SARN_MAX_EMPTY_TRANSFERS) {
            ulRet = ERR_USB_TRANSFER;
            TRACE_STEP_FAIL(OP, "libusb_bulk_transfer", (unsigned int)iRet);
            break;
        }
    }
    libusb_release_interface(pRec->dev_handle, iIf);
    return ulRet;
}

/* Write phase: the wrapper announcing the frame, then the frame. */
static unsigned int WritePhase(_usbDevice *pRec, const unsigned char *pbCommand, unsigned int ulCmdLen)
{
    unsigned char pbCBW[BOT_CBW_LEN];
    BuildWriteCBW(HandleTag(pRec), ulCmdLen, pbCBW);
    unsigned int ulRet = Send_USB(pRec, pbCBW, BOT_CBW_LEN);
    if (ulRet == 0) ulRet = Send_USB(pRec, pbCommand, ulCmdLen);
    return ulRet;
}

/* Read phase: the status of the write, the wrapper asking for the answer,
 * the answer and its status. */
static unsigned int ReadPhase(_usbDevice *pRec, unsigned char *pbArea, unsigned int *pulAnswerLen)
{
    unsigned int ulLen = 0;
    unsigned char byStatus = 0;
    unsigned int ulRet = ReadUSB(pRec, pbArea, &ulLen, &byStatus);
    if (ulRet != 0) return ulRet;
    if (byStatus != 0) return ERR_USB_TRANSFER;
    unsigned char pbCBW[BOT_CBW_LEN];
    BuildReadCBW(HandleTag(pRec), pbCBW);
    ulRet = Send_USB(pRec, pbCBW, BOT_CBW_LEN);
    if (ulRet != 0) return ulRet;
    ulRet = ReadUSB(pRec, pbArea, pulAnswerLen, &byStatus);
    if (ulRet != 0) return ulRet;
    return byStatus != 0 ? ERR_USB_TRANSFER : 0;
}

unsigned int SarnSendCommand(void *pDevHandle, const unsigned char *pbCommand, unsigned int ulCmdLen,
                             unsigned char *pbReply, unsigned int *pulRepLen, unsigned int)
{
    static const char *OP = "SarnSendCommand";
    _usbDevice *pRec = static_cast<_usbDevice *>(pDevHandle);
    if (pulRepLen == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pnRepLen", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    unsigned int ulCapacity = *pulRepLen;
    *pulRepLen = 0;
    if (pRec == nullptr || pRec->dev_handle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pDeviceHandle", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    if (pbCommand == nullptr || ulCmdLen == 0) {
        TRACE_STEP_FAIL(OP, "CHECK pbCommand", ERR_EMPTY_COMMAND);
        return ERR_EMPTY_COMMAND;
    }

    unsigned int ulRet;
    {
        CSarnCommandLock lock;
        ulRet = lock.Result();
        if (ulRet == 0) ulRet = WritePhase(pRec, pbCommand, ulCmdLen);
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "WriteUSB", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "WriteUSB");

    usleep(SARN_PHASE_PAUSE_US);

    unsigned char pbArea[BOT_READ_AREA];
    unsigned int ulAnswerLen = 0;
    {
        CSarnCommandLock lock;
        ulRet = lock.Result();
        if (ulRet == 0) ulRet = ReadPhase(pRec, pbArea, &ulAnswerLen);
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "ReadUSB", ulRet);
    } else if (ulCapacity < ulAnswerLen) {
        *pulRepLen = ulAnswerLen;
        ulRet = ERR_BUFFER_TOO_SMALL;
        TRACE_STEP_FAIL(OP, "CHECK *pnRepLen SIZE", ulRet);
    } else {
        TRACE_STEP_OK(OP, "ReadUSB");
        if (pbReply != nullptr) memcpy(pbReply, pbArea, ulAnswerLen);
        *pulRepLen = ulAnswerLen;
    }
    explicit_bzero(pbArea, sizeof(pbArea));
    return ulRet;
}
