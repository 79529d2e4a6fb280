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
int g_semLock = -1;

/* Opens the command semaphore, or creates it.  Only the process whose
 * exclusive creation succeeds gives it its first value (a semaphore is born
 * with 0, i.e. taken): the others then wait in their first exchange until
 * the creator has done so, and no late starter can reset a taken one. */
int SarnOpenSemaphore(int iKey)
{
    int iSem = semget(iKey, 1, 0666);
    if (iSem >= 0) return iSem;
    iSem = semget(iKey, 1, 0666 | IPC_CREAT | IPC_EXCL);
    if (iSem >= 0) {
        struct sembuf stOp = {0, 1, 0};
        if (semop(iSem, &stOp, 1) != 0) TRACE_STEP_FAIL("usbInit", "semop(init)", errno);
        return iSem;
    }
    if (errno == EEXIST) iSem = semget(iKey, 1, 0666);
    if (iSem < 0) TRACE_STEP_FAIL("usbInit", "semget", errno);
    return iSem;
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

unsigned int SarnAcquireCommandLock(void)
{
    if (g_semLock < 0) return ERR_LOCK_TIMEOUT;
    struct timespec stDeadline;
    clock_gettime(CLOCK_MONOTONIC, &stDeadline);
    stDeadline.tv_sec += SARN_LOCK_TIMEOUT_S;
    for (;;) {
        struct timespec stNow, stLeft;
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        stLeft.tv_sec = stDeadline.tv_sec - stNow.tv_sec;
        stLeft.tv_nsec = stDeadline.tv_nsec - stNow.tv_nsec;
        if (stLeft.tv_nsec < 0) {
            stLeft.tv_nsec += 1000000000L;
            stLeft.tv_sec -= 1;
        }
        if (stLeft.tv_sec < 0) return ERR_LOCK_TIMEOUT;
        struct sembuf stOp = {0, -1, SEM_UNDO};
        if (semtimedop(g_semLock, &stOp, 1, &stLeft) == 0) return 0;
        if (errno != EINTR) return ERR_LOCK_TIMEOUT;
    }
}

void SarnReleaseCommandLock(void)
{
    struct sembuf stOp = {0, 1, SEM_UNDO};
    if (g_semLock >= 0 && semop(g_semLock, &stOp, 1) != 0) {
        TRACE_STEP_FAIL("SarnReleaseCommandLock", "semop", errno);
    }
}

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
