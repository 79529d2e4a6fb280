/* CDeviceContext: what stands behind one open connection to a token: the
 * device record, the six command objects, and the per-device mutex that
 * serialises whole operations on the token across threads and processes.
 * It opens and closes the token through the transport and establishes the
 * session key of the secure channel.
 *
 * Device mutex: a robust, recursive, process-shared, priority-inheriting
 * mutex in a SysV shared-memory segment of 72 bytes keyed by the device id
 * ((pid << 16) | (bus << 8) | address), permissions 0666:
 *   offset 0  id of the segment, 0 while the mutex is not initialised
 *   offset 4  initialisation mark (DEV_MUTEX_READY once initialised)
 *   offset 8  the mutex (40 bytes), offset 48 its attributes (4 bytes)
 *   offset 52 unused, zero
 *   offset 56 the key slot's owner word, 64 bits (see ClaimKeySlot)
 *   offset 64 the file layer change counter, 64 bits
 * The segment's set-up and reset run under the transport's command
 * semaphore, so of all processes opening the token at once exactly one
 * initialises the mutex and the others wait until it is ready; the last
 * process to detach resets it for the next open.  The segment stays; a
 * smaller one of an older layout is made anew while nobody is attached to
 * it, and refused while someone is. */
#ifndef BRIO_SARNCORE_DEVICE_CONTEXT_H
#define BRIO_SARNCORE_DEVICE_CONTEXT_H

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>

#include "SarnComm/SarnComm.h"
#include "SarnCore/APDUChip.h"
#include "SarnCore/APDUContainer.h"
#include "SarnCore/APDUCrypto.h"
#include "SarnCore/APDUFile.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/APDUPin.h"
#include "SarnCore/DeviceInfo.h"
#include "log/StepTrace.h"

#define DEV_MUTEX_SEGMENT_SIZE 72u
#define DEV_MUTEX_OFFSET 8u
#define DEV_MUTEX_READY 0x42524D58u
#define DEV_MUTEX_TIMEOUT_S 60
#define DEV_ENUM_BUFFER SARN_DEVICE_LIST_CAPACITY
#define SESSION_KEY_LEN 16u
/* Prefix of the bytes the product key signs over a token's authentication key. */
#define PRODUCT_KEY_TAG "Sarn-Product"

class CDeviceContext {
public:
    CDeviceContext();
    virtual ~CDeviceContext();
    CDeviceContext(const CDeviceContext &) = delete;
    CDeviceContext &operator=(const CDeviceContext &) = delete;

    /* Makes the device record and the six command objects. */
    virtual unsigned int Initialize();

    static unsigned int Enum(EnumDriverType eType, unsigned short usVendorID, unsigned short usProductID,
                             char *pszDevNames, unsigned int *pnSize);
    unsigned int SetDeviceName(const char *pszDevName, unsigned int ulNameLen);
    unsigned int Open(EnumDriverType eType, const char *pszDevName, bool bInitialize);
    /* 0; or, when the device mutex is not obtained while another thread of
     * this process holds it through this connection, the lock's code, with
     * nothing closed. */
    unsigned int Close();

    unsigned int CreateDevMutex();
    unsigned int WaitDevMutex();
    unsigned int ReleaseDevMutex();
    /* Resets the mutex when this is the last attachment, and detaches.  A
     * mutex that a thread of this process holds or waits for through this
     * attachment is neither destroyed nor unmapped (its robust list points
     * into the mapping): the attachment is kept. */
    void CloseDevMutex();
    /* How long WaitDevMutex waits, in seconds: DEV_MUTEX_TIMEOUT_S (tests
     * shorten it). */
    static unsigned int s_ulMutexTimeoutS;

    /* Holds of the device mutex that outlast a call (SKF_LockDev): the
     * connection counts them, so that Close gives back every hold its
     * thread still has.  Only the holding thread can drop a hold: from any
     * other thread DropDevMutex fails (E_FAIL) and the hold stays; with no
     * hold on this connection it does nothing.  A hold taken once the
     * mutex is had ends the holds counted for another thread (it died
     * holding them). */
    unsigned int HoldDevMutex();
    unsigned int DropDevMutex();

    /* Establishes the session key; unless bForce, keeps a channel the token
     * still accepts (and marks the key slot as nobody's when it does not). */
    unsigned int SetSessionKey(bool bForce);

    /* The token has one volatile symmetric key slot and one cipher state,
     * shared by every handle of every process.  The owner word names who
     * loaded them last: its high 32 bits are the generation of the last key
     * loaded into the slot, its low 32 bits the generation of the last
     * operation started on it (a key load starts one too).  Each runs from
     * 1 to 0xFFFFFFFF and on from 1 again, skipping 0, so no claim has a
     * zero half.  An operation generation of 0 marks the slot as nobody's
     * (a new segment, a token that may have lost its volatile state): no
     * handle owns what is in it, and the next claim starts a new key
     * generation.  Read and changed only under the device mutex; a context
     * without a mutex segment keeps the word itself. */
    unsigned long long KeySlotOwner() const;
    /* Advances the operation generation (and the key generation when
     * bNewKey or the slot is nobody's); the new word, which the claimant
     * keeps to recognise its own state. */
    unsigned long long ClaimKeySlot(bool bNewKey);
    /* Marks the slot as nobody's, as whoever finds the secure channel gone
     * does: the token may have lost its volatile state, key slot and all.
     * The key generation stays, so no later claim repeats an earlier word. */
    void DisownKeySlot();
    static unsigned int SlotKeyGeneration(unsigned long long ullWord) { return (unsigned int)(ullWord >> 32); }
    static bool SlotIsNobodys(unsigned long long ullWord) { return (unsigned int)ullWord == 0; }

    /* A count of changes to the token's file layer, read and bumped under
     * the device mutex (kept by the context itself without a segment).
     * Whoever may change the token's data files bumps it before the first
     * command: a raw file create, delete or write, a command sent by hand,
     * a holder of the mutex that died.  Whoever keeps what it read of the
     * files trusts it only while the counter stays where it was. */
    unsigned long long FileLayerChangeCounter() const;
    unsigned long long BumpFileLayerChangeCounter();
    /* Moves on each time this connection opens the token or sets up a new
     * secure channel (the token may have been replaced, or have lost its
     * state): nothing read before is trusted after it.  The file layer
     * counter is bumped with it, for the other connections. */
    unsigned long long ConnectionGeneration() const { return m_ullConnection; }

    static void TraceInfo(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));

    CDeviceInfo *GetDeviceHandle() const { return m_pDevieHandle; }
    CAPDUChip *GetAPDUChip() const { return m_pApduChip; }
    CAPDUContainer *GetAPDUContainer() const { return m_pApduContainer; }
    CAPDUCrypto *GetAPDUCrypto() const { return m_pApduCrypto; }
    CAPDUFile *GetAPDUFile() const { return m_pApduFile; }
    CAPDUKey *GetAPDUKey() const { return m_pApduKey; }
    CAPDUPin *GetAPDUPin() const { return m_pApduPin; }

    void *m_hMutexHandle;          /* attached device-mutex segment, or null */
    unsigned int m_ulDeviceID;
    CDeviceInfo *m_pDevieHandle;   /* the device record, owned */
    CAPDUChip *m_pApduChip;
    CAPDUContainer *m_pApduContainer;
    CAPDUCrypto *m_pApduCrypto;
    CAPDUFile *m_pApduFile;
    CAPDUKey *m_pApduKey;
    CAPDUPin *m_pApduPin;

protected:
    void DeleteCommandObjects();
    /* Initialize with TChip and TPin as the chip and PIN command classes:
     * the device record (kept when there is one) and the six command
     * objects, stored once all of them are made, so a failure leaves none. */
    template <class TChip, class TPin>
    unsigned int MakeCommandObjects(const char *szChipStep, const char *szPinStep);

private:
    unsigned long long *KeySlotWord() const;
    unsigned long long *FileLayerCounterWord() const;

    unsigned long long m_ullKeySlotOwner;     /* the owner word while no segment is attached */
    unsigned long long m_ullFileLayerChanges; /* the change counter while no segment is attached */
    unsigned long long m_ullConnection;       /* see ConnectionGeneration */
    /* A new connection generation, and a bump of the file layer counter. */
    void NoteNewConnection();

    /* The waits for the device mutex through this attachment in progress
     * and the locks they took not yet given back, of every thread. */
    std::atomic<unsigned int> m_ulMutexUsers;

    /* The holds of HoldDevMutex not yet dropped, and their thread. */
    std::mutex m_mtxHolds;
    unsigned int m_ulHolds;
    unsigned long long m_ullHolder;  /* the holding thread's tag */
    /* Gives back the holds of the calling thread; under m_mtxHolds. */
    void DropOwnHolds();
    /* The calling thread has the mutex, so the holds counted for another
     * thread ended with that thread: forgets them; under m_mtxHolds. */
    void ForgetEndedHolds();

    unsigned int WrapSessionKey(const unsigned char *pbKey, unsigned char *pbOut, unsigned int *pulOutLen);

    /* Makes one object of class T into pObject, tracing the step szStep of
     * "Initialize". */
    template <class T, class B, class... A>
    static unsigned int MakeObject(B *&pObject, const char *szStep, A... args)
    {
        pObject = new (std::nothrow) T(args...);
        if (pObject == nullptr) {
            TRACE_STEP_FAIL("Initialize", szStep, ERROR_NOT_ENOUGH_MEMORY);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        TRACE_STEP_OK("Initialize", szStep);
        return 0;
    }
};

/* The device mutex over one scope: taken when this is made, and given back
 * on every way out of the scope (an exception among them) unless Release
 * gave it back before.  Result is WaitDevMutex's code: the mutex is held
 * only when it is 0. */
class CDevMutexLock {
public:
    explicit CDevMutexLock(CDeviceContext *pContext)
        : m_pContext(pContext), m_ulRet(pContext->WaitDevMutex()), m_bHeld(m_ulRet == 0)
    {
    }
    ~CDevMutexLock() { Release(); }
    CDevMutexLock(const CDevMutexLock &) = delete;
    CDevMutexLock &operator=(const CDevMutexLock &) = delete;

    unsigned int Result() const { return m_ulRet; }
    /* Gives the mutex back now: ReleaseDevMutex's code, 0 when not held. */
    unsigned int Release()
    {
        if (!m_bHeld) return 0;
        m_bHeld = false;
        return m_pContext->ReleaseDevMutex();
    }

private:
    CDeviceContext *m_pContext;
    unsigned int m_ulRet;
    bool m_bHeld;
};

template <class TChip, class TPin>
unsigned int CDeviceContext::MakeCommandObjects(const char *szChipStep, const char *szPinStep)
{
    DeleteCommandObjects();
    if (m_pDevieHandle == nullptr) {
        unsigned int ulRet = MakeObject<CDeviceInfo>(m_pDevieHandle, "new QV_DEVICE_HANDLE");
        if (ulRet != 0) return ulRet;
    }
    CDeviceInfo *pInfo = m_pDevieHandle;
    unsigned int ulT = SARN_DEFAULT_TIMEOUT;
    unsigned int ulRet = MakeObject<TChip>(m_pApduChip, szChipStep, pInfo, ulT);
    if (ulRet == 0) ulRet = MakeObject<CAPDUContainer>(m_pApduContainer, "new CAPDUContainer", pInfo, ulT);
    if (ulRet == 0) ulRet = MakeObject<CAPDUCrypto>(m_pApduCrypto, "new CAPDUCrypto", pInfo, ulT);
    if (ulRet == 0) ulRet = MakeObject<CAPDUFile>(m_pApduFile, "new CAPDUFile", pInfo, ulT);
    if (ulRet == 0) ulRet = MakeObject<CAPDUKey>(m_pApduKey, "new CAPDUKey", pInfo, ulT);
    if (ulRet == 0) ulRet = MakeObject<TPin>(m_pApduPin, szPinStep, pInfo, ulT);
    if (ulRet != 0) DeleteCommandObjects();
    return ulRet;
}

#endif
