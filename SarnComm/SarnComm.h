/* USB transport of the token: enumeration by vendor and product, open by
 * device name, the bulk-only command exchange under the cross-process command
 * semaphore, and the wait for a token to arrive or leave.
 *
 * Device names have the form "Mirel&pid_%04x&bus_%03d&addr_%03d" (31
 * characters).  A device-name list is the names one after another, each with
 * its NUL, and one more NUL after the last. */
#ifndef BRIO_SARNCOMM_SARN_COMM_H
#define BRIO_SARNCOMM_SARN_COMM_H

#include "SarnComm/SarnErrors.h"

/* Kind of driver a caller asks for; the bulk-only transport is the only one
 * and the value is not read. */
enum EnumDriverType {
    DRIVER_TYPE_DEFAULT = 0,
    DRIVER_TYPE_USB_BULK = 2
};

#define USB_KEY_NAME_PREFIX "Mirel"
#define SARN_DEVICE_NAME_LEN 31u
/* Room a device-name list may take: the output of SarnEnumDevice must hold
 * this many bytes; tokens beyond it are not listed. */
#define SARN_DEVICE_LIST_CAPACITY 4160u
/* Largest answer the exchange returns (1024-byte area less the 13-byte
 * status wrapper). */
#define SARN_MAX_ANSWER_LEN 1011u
/* Time-out value every caller passes to SarnSendCommand (not read). */
#define SARN_DEFAULT_TIMEOUT 180u

#define SARN_EVENT_ARRIVED 1u
#define SARN_EVENT_LEFT    2u

unsigned int SarnEnumDevice(EnumDriverType eType, unsigned short usVendorID, unsigned short usProductID,
                            char *pszDevNames, unsigned int *pulSize);
unsigned int SarnOpenDevice(EnumDriverType eType, const char *pszDevName, void **ppDevHandle);
unsigned int SarnCloseDevice(void *pDevHandle);
unsigned int SarnGetDeviceID(EnumDriverType eType, const char *pszDevName, unsigned short *pusVendorID,
                             unsigned short *pusProductID);
/* One command and its answer.  *pulRepLen is the capacity of pbReply in,
 * the answer length out (the needed length with 259). */
unsigned int SarnSendCommand(void *pDevHandle, const unsigned char *pbCommand, unsigned int ulCmdLen,
                             unsigned char *pbReply, unsigned int *pulRepLen, unsigned int ulTimeout);
/* Blocks until a matching token arrives or leaves (name of at least 32
 * bytes, event 1 or 2), or until SarnCancelEvent ends the wait (0 and
 * event 0). */
unsigned int SarnHotplugEvent(unsigned short usVendorID, unsigned short usProductID, char *pszDevName,
                              unsigned int *pulEvent);
unsigned int SarnCancelEvent(void);

/* Lets the libusb context go, for the library's end when no transport call
 * runs; the process's exit alone never does. */
void SarnEndTransport(void);

/* Reads the number (in base iBase) after szKey, searched from pszFrom;
 * *ppszEnd is set behind it.  False when the key or the number is absent. */
bool SarnParseNameField(const char *pszFrom, const char *szKey, int iBase, unsigned long *pulValue,
                        const char **ppszEnd);

/* The command semaphore, for the few callers above the transport that need a
 * short machine-wide critical section of their own (the device-mutex segment
 * set-up).  Never held across a USB phase of the caller's.  The acquire
 * answers 0 and the id of the set it took (the release gives back to that
 * one), or ERR_LOCK_TIMEOUT. */
unsigned int SarnAcquireCommandLock(int *piTaken);
void SarnReleaseCommandLock(int iTaken);

/* The command semaphore over one scope: taken when this is made, and given
 * back on every way out of the scope (an exception among them).  Result is
 * SarnAcquireCommandLock's code: the semaphore is held only when it is 0. */
class CSarnCommandLock {
public:
    CSarnCommandLock() : m_ulRet(SarnAcquireCommandLock(&m_iTaken)) {}
    ~CSarnCommandLock()
    {
        if (m_ulRet == 0) SarnReleaseCommandLock(m_iTaken);
    }
    CSarnCommandLock(const CSarnCommandLock &) = delete;
    CSarnCommandLock &operator=(const CSarnCommandLock &) = delete;

    unsigned int Result() const { return m_ulRet; }

private:
    int m_iTaken = -1;  /* made before m_ulRet, whose acquire sets it */
    unsigned int m_ulRet;
};

#endif
