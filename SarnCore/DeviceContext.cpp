#include "SarnCore/DeviceContext.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <new>

#include <openssl/crypto.h>

#include "SoftCrypto/SymKeyHandle.h"
#include "log/StepTrace.h"
#include "log/vexa_log.h"

/* Layout of the device-mutex segment. */
struct DEV_MUTEX_SEGMENT {
    int32_t iSegmentID;
    uint32_t ulReadyMark;
    pthread_mutex_t stMutex;
    pthread_mutexattr_t stAttr;
    uint32_t ulUnused;
    unsigned long long ullKeySlotOwner;
    unsigned long long ullFileLayerChanges;
};
static_assert(offsetof(DEV_MUTEX_SEGMENT, stMutex) == DEV_MUTEX_OFFSET, "mutex at offset 8");
static_assert(offsetof(DEV_MUTEX_SEGMENT, stAttr) == 48, "attributes at offset 48");
static_assert(offsetof(DEV_MUTEX_SEGMENT, ullKeySlotOwner) == 56, "key slot owner at offset 56");
static_assert(offsetof(DEV_MUTEX_SEGMENT, ullFileLayerChanges) == 64, "file layer changes at offset 64");
static_assert(sizeof(unsigned long long) == 8, "64-bit words");
static_assert(sizeof(DEV_MUTEX_SEGMENT) <= DEV_MUTEX_SEGMENT_SIZE, "segment of 72 bytes");

unsigned int CDeviceContext::s_ulMutexTimeoutS = DEV_MUTEX_TIMEOUT_S;

static unsigned int ErrnoCode(int iErr)
{
    return iErr != 0 ? (unsigned int)iErr : E_FAIL;
}

void CDeviceContext::TraceInfo(const char *pszFormat, ...)
{
    char szText[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    TRACE(LOG_LEVEL_INFO, "%s - %s\n", "TraceInfo", szText);
}

CDeviceContext::CDeviceContext()
    : m_hMutexHandle(nullptr),
      m_ulDeviceID(0),
      m_pDevieHandle(nullptr),
      m_pApduChip(nullptr),
      m_pApduContainer(nullptr),
      m_pApduCrypto(nullptr),
      m_pApduFile(nullptr),
      m_pApduKey(nullptr),
      m_pApduPin(nullptr),
      m_ullKeySlotOwner(0),
      m_ullFileLayerChanges(0),
      m_ullConnection(0),
      m_ulMutexUsers(0),
      m_ulHolds(0),
      m_ullHolder(0)
{
    TraceInfo("CDeviceContext: Constructor");
}

CDeviceContext::~CDeviceContext()
{
    DeleteCommandObjects();
    if (m_pDevieHandle != nullptr) {
        if (m_pDevieHandle->m_hDevice != nullptr) SarnCloseDevice(m_pDevieHandle->m_hDevice);
        m_pDevieHandle->m_hDevice = nullptr;
        delete m_pDevieHandle;
        m_pDevieHandle = nullptr;
    }
    if (m_hMutexHandle != nullptr) {
        /* Only the holds this connection took: the thread may hold the
         * device through another connection as well, and none of that is
         * this one's to give back. */
        {
            std::lock_guard<std::mutex> lock(m_mtxHolds);
            DropOwnHolds();
        }
        CloseDevMutex();
        /* Still held by another thread: the mapping stays for the rest of
         * the process (the holder's robust list points into it). */
        if (m_hMutexHandle != nullptr) TraceInfo("device mutex held by another thread: segment left attached");
    }
    TraceInfo("CDeviceContext: Destructor");
}

void CDeviceContext::DeleteCommandObjects()
{
    delete m_pApduChip;
    delete m_pApduContainer;
    delete m_pApduCrypto;
    delete m_pApduFile;
    delete m_pApduKey;
    delete m_pApduPin;
    m_pApduChip = nullptr;
    m_pApduContainer = nullptr;
    m_pApduCrypto = nullptr;
    m_pApduFile = nullptr;
    m_pApduKey = nullptr;
    m_pApduPin = nullptr;
}

unsigned int CDeviceContext::Initialize()
{
    return MakeCommandObjects<CAPDUChip, CAPDUPin>("new CAPDUChip", "new CAPDUPin");
}

unsigned int CDeviceContext::Enum(EnumDriverType eType, unsigned short usVendorID, unsigned short usProductID,
                                  char *pszDevNames, unsigned int *pnSize)
{
    static const char *OP = "Enum";
    if (pnSize == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pnSize", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    char szList[DEV_ENUM_BUFFER] = {0};
    unsigned int ulSize = 0;
    unsigned int ulRet = SarnEnumDevice(eType, usVendorID, usProductID, szList, &ulSize);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SarnEnumDevice(SARN5n)", ulRet);
        *pnSize = ulSize;
        return ulRet;
    }
    if (pszDevNames == nullptr) {
        TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pszDevNames", (unsigned long)ulSize,
              BRIO_FILE_NAME, __LINE__);
        *pnSize = ulSize;
        return 0;
    }
    if (*pnSize < ulSize) {
        *pnSize = ulSize;
        TRACE_STEP_FAIL(OP, "CHECK *pnSize SIZE", ERR_BUFFER_TOO_SMALL);
        return ERR_BUFFER_TOO_SMALL;
    }
    memcpy(pszDevNames, szList, ulSize);
    *pnSize = ulSize;
    return 0;
}

unsigned int CDeviceContext::SetDeviceName(const char *pszDevName, unsigned int)
{
    static const char *OP = "SetDeviceName";
    static const struct {
        const char *szKey;
        int iBase;
        const char *szStep;
    } FIELDS[3] = {{"pid_", 16, "Check pszDevName pid_"},
                   {"bus_", 10, "Check pszDevName bus_"},
                   {"addr_", 10, "Check pszDevName addr_"}};
    unsigned long pulValue[3] = {0, 0, 0};
    const char *p = pszDevName;
    for (int i = 0; i < 3; ++i) {
        if (p == nullptr || !SarnParseNameField(p, FIELDS[i].szKey, FIELDS[i].iBase, &pulValue[i], &p)) {
            TRACE_STEP_FAIL(OP, FIELDS[i].szStep, ERR_BAD_DEVICE_NAME);
            return ERR_BAD_DEVICE_NAME;
        }
    }
    m_ulDeviceID = ((unsigned int)(pulValue[0] & 0xFFFF) << 16) | ((unsigned int)(pulValue[1] & 0xFF) << 8) |
                   (unsigned int)(pulValue[2] & 0xFF);
    return 0;
}

unsigned int CDeviceContext::Open(EnumDriverType eType, const char *pszDevName, bool bInitialize)
{
    static const char *OP = "Open";
    unsigned int ulRet = 0;
    if (bInitialize) {
        ulRet = Initialize();
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "Initialize", ulRet);
            return ulRet;
        }
    }
    ulRet = SetDeviceName(pszDevName, 0);
    if (ulRet != 0) return ERR_BAD_DEVICE_NAME;
    if (m_pDevieHandle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_pDevieHandle", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    void *hDevice = nullptr;
    ulRet = SarnOpenDevice(eType, pszDevName, &hDevice);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SarnOpenDevice", ulRet);
        return ulRet;
    }
    if (m_pDevieHandle->m_hDevice != nullptr) SarnCloseDevice(m_pDevieHandle->m_hDevice);
    m_pDevieHandle->m_hDevice = hDevice;
    TraceInfo("SetHandle");
    ulRet = CreateDevMutex();
    NoteNewConnection();
    return ulRet;
}

unsigned int CDeviceContext::Close()
{
    {
        CDevMutexLock lock(this);
        TraceInfo("WaitDevMutex return %#x", lock.Result());
        /* Another thread of this process holds it here (SKF_LockDev): the
         * connection stays whole, that thread can still give it back. */
        if (lock.Result() != 0 && m_ulMutexUsers.load() != 0) {
            TRACE_STEP_FAIL("Close", "WaitDevMutex", lock.Result());
            return lock.Result();
        }
        if (lock.Result() == 0) {
            std::lock_guard<std::mutex> holds(m_mtxHolds);
            ForgetEndedHolds();
        }
        if (m_pDevieHandle != nullptr && m_pDevieHandle->m_hDevice != nullptr) {
            unsigned int ulRet = SarnCloseDevice(m_pDevieHandle->m_hDevice);
            TraceInfo("SarnCloseDevice return %#x", ulRet);
            m_pDevieHandle->m_hDevice = nullptr;
        }
        if (lock.Result() == 0) {
            unsigned int ulRet = lock.Release();
            TraceInfo("ReleaseDevMutex return %#x", ulRet);
        }
    }
    {
        /* A hold kept past the close would lock every other process out
         * until this one ends. */
        std::lock_guard<std::mutex> lock(m_mtxHolds);
        DropOwnHolds();
    }
    CloseDevMutex();
    TraceInfo("CloseDevMutex");
    return 0;
}

static unsigned int InitDevMutex(DEV_MUTEX_SEGMENT *pSeg, int iSegmentID)
{
    pthread_mutexattr_t *pAttr = &pSeg->stAttr;
    int iRet = pthread_mutexattr_init(pAttr);
    if (iRet == 0) iRet = pthread_mutexattr_settype(pAttr, PTHREAD_MUTEX_RECURSIVE);
    if (iRet == 0) iRet = pthread_mutexattr_setpshared(pAttr, PTHREAD_PROCESS_SHARED);
    if (iRet == 0) iRet = pthread_mutexattr_setrobust(pAttr, PTHREAD_MUTEX_ROBUST);
    if (iRet == 0) iRet = pthread_mutexattr_setprotocol(pAttr, PTHREAD_PRIO_INHERIT);
    if (iRet == 0) iRet = pthread_mutex_init(&pSeg->stMutex, pAttr);
    if (iRet != 0) {
        TRACE_STEP_FAIL("CreateDevMutex", "pthread_mutex_init", ErrnoCode(iRet));
        return ErrnoCode(iRet);
    }
    pSeg->iSegmentID = iSegmentID;
    pSeg->ulReadyMark = DEV_MUTEX_READY;
    return 0;
}

/* The segment under the key is smaller than this layout (an older one):
 * nobody attached, it is removed and made anew; else EINVAL stays. */
static int RenewSmallSegment(key_t key)
{
    int iOld = shmget(key, 0, 0);
    struct shmid_ds stDs;
    if (iOld < 0 || shmctl(iOld, IPC_STAT, &stDs) != 0 || stDs.shm_segsz >= DEV_MUTEX_SEGMENT_SIZE ||
        stDs.shm_nattch != 0) {
        errno = EINVAL;
        return -1;
    }
    if (shmctl(iOld, IPC_RMID, nullptr) != 0) return -1;
    TRACE_STEP_OK("CreateDevMutex", "shmctl IPC_RMID");
    return shmget(key, DEV_MUTEX_SEGMENT_SIZE, IPC_CREAT | 0666);
}

unsigned int CDeviceContext::CreateDevMutex()
{
    static const char *OP = "CreateDevMutex";
    if (m_hMutexHandle != nullptr) return 0;
    CSarnCommandLock lock;
    unsigned int ulRet = lock.Result();
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SarnAcquireCommandLock", ulRet);
        return ulRet;
    }
    int iID = shmget((key_t)m_ulDeviceID, DEV_MUTEX_SEGMENT_SIZE, IPC_CREAT | 0666);
    if (iID < 0 && errno == EINVAL) iID = RenewSmallSegment((key_t)m_ulDeviceID);
    void *pMem = (void *)-1;
    if (iID < 0) {
        ulRet = ErrnoCode(errno);
        TRACE_STEP_FAIL(OP, "shmget", ulRet);
    } else if ((pMem = shmat(iID, nullptr, 0)) == (void *)-1) {
        ulRet = ErrnoCode(errno);
        TRACE_STEP_FAIL(OP, "shmat", ulRet);
    } else {
        DEV_MUTEX_SEGMENT *pSeg = static_cast<DEV_MUTEX_SEGMENT *>(pMem);
        if (pSeg->ulReadyMark != DEV_MUTEX_READY || pSeg->iSegmentID != iID) {
            ulRet = InitDevMutex(pSeg, iID);
            if (ulRet == 0) TRACE_STEP_OK(OP, "pthread_mutex_init");
        }
        if (ulRet == 0) {
            m_hMutexHandle = pMem;
        } else {
            shmdt(pMem);
        }
    }
    return ulRet;
}

unsigned int CDeviceContext::WaitDevMutex()
{
    static const char *OP = "WaitDevMutex";
    if (m_hMutexHandle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_hMutexHandle", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    pthread_mutex_t *pMutex = &static_cast<DEV_MUTEX_SEGMENT *>(m_hMutexHandle)->stMutex;
    struct timespec stDeadline;
    clock_gettime(CLOCK_REALTIME, &stDeadline);
    stDeadline.tv_sec += s_ulMutexTimeoutS;
    ++m_ulMutexUsers;
    for (;;) {
        int iRet = pthread_mutex_timedlock(pMutex, &stDeadline);
        if (iRet == 0) return 0;
        if (iRet != EOWNERDEAD) {
            --m_ulMutexUsers;
            TRACE_STEP_FAIL(OP, "pthread_mutex_timedlock", ErrnoCode(iRet));
            return ErrnoCode(iRet);
        }
        /* Its holder died: take it over, hand it back and wait again.  It
         * may have died half way through a change of the files. */
        iRet = pthread_mutex_consistent(pMutex);
        if (iRet != 0) {
            --m_ulMutexUsers;
            TRACE_STEP_FAIL(OP, "pthread_mutex_consistent_np", ErrnoCode(iRet));
            return ErrnoCode(iRet);
        }
        BumpFileLayerChangeCounter();
        pthread_mutex_unlock(pMutex);
    }
}

unsigned int CDeviceContext::ReleaseDevMutex()
{
    static const char *OP = "ReleaseDevMutex";
    if (m_hMutexHandle == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_hMutexHandle", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    int iRet = pthread_mutex_unlock(&static_cast<DEV_MUTEX_SEGMENT *>(m_hMutexHandle)->stMutex);
    if (iRet != 0) {
        TRACE_STEP_FAIL(OP, "pthread_mutex_unlock", ErrnoCode(iRet));
        return ErrnoCode(iRet);
    }
    --m_ulMutexUsers;
    return 0;
}

/* A tag of the calling thread that no other thread of the process ever
 * has: a thread's pthread_t and its id are given again once it ended. */
static unsigned long long ThisThreadTag()
{
    static std::atomic<unsigned long long> s_ullLast{0};
    static thread_local const unsigned long long t_ullTag = ++s_ullLast;
    return t_ullTag;
}

unsigned int CDeviceContext::HoldDevMutex()
{
    unsigned int ulRet = WaitDevMutex();
    if (ulRet != 0) return ulRet;
    std::lock_guard<std::mutex> lock(m_mtxHolds);
    ForgetEndedHolds();
    m_ullHolder = ThisThreadTag();
    ++m_ulHolds;
    return 0;
}

void CDeviceContext::ForgetEndedHolds()
{
    if (m_ulHolds == 0 || m_ullHolder == ThisThreadTag()) return;
    TraceInfo("%u holds of an ended thread dropped", m_ulHolds);
    m_ulMutexUsers -= m_ulHolds;
    m_ulHolds = 0;
}

unsigned int CDeviceContext::DropDevMutex()
{
    static const char *OP = "DropDevMutex";
    std::lock_guard<std::mutex> lock(m_mtxHolds);
    if (m_ulHolds == 0) return 0;
    /* The mutex refuses an unlock by another thread; so is the hold. */
    if (m_ullHolder != ThisThreadTag()) {
        TRACE_STEP_FAIL(OP, "CHECK holder", E_FAIL);
        return E_FAIL;
    }
    unsigned int ulRet = ReleaseDevMutex();
    if (ulRet == 0) --m_ulHolds;
    return ulRet;
}

void CDeviceContext::DropOwnHolds()
{
    if (m_ulHolds == 0) return;
    if (m_ullHolder != ThisThreadTag()) {
        TraceInfo("%u holds of another thread kept", m_ulHolds);
        return;
    }
    while (m_ulHolds > 0 && ReleaseDevMutex() == 0) --m_ulHolds;
    TraceInfo("holds left %u", m_ulHolds);
}

void CDeviceContext::CloseDevMutex()
{
    if (m_hMutexHandle == nullptr) return;
    if (m_ulMutexUsers.load() != 0) {
        TRACE_STEP_FAIL("CloseDevMutex", "CHECK holders", E_FAIL);
        return;
    }
    DEV_MUTEX_SEGMENT *pSeg = static_cast<DEV_MUTEX_SEGMENT *>(m_hMutexHandle);
    CSarnCommandLock lock;
    bool bLocked = lock.Result() == 0;
    struct shmid_ds stDs;
    if (bLocked && pSeg->ulReadyMark == DEV_MUTEX_READY && shmctl(pSeg->iSegmentID, IPC_STAT, &stDs) == 0 &&
        stDs.shm_nattch == 1) {
        pthread_mutexattr_destroy(&pSeg->stAttr);
        pthread_mutex_destroy(&pSeg->stMutex);
        pSeg->ulReadyMark = 0;
        pSeg->iSegmentID = 0;
    }
    shmdt(m_hMutexHandle);
    m_hMutexHandle = nullptr;
}

unsigned long long *CDeviceContext::KeySlotWord() const
{
    if (m_hMutexHandle != nullptr) return &static_cast<DEV_MUTEX_SEGMENT *>(m_hMutexHandle)->ullKeySlotOwner;
    return const_cast<unsigned long long *>(&m_ullKeySlotOwner);
}

unsigned long long CDeviceContext::KeySlotOwner() const { return *KeySlotWord(); }

static unsigned int NextGeneration(unsigned int ulGeneration)
{
    return ulGeneration == 0xFFFFFFFFu ? 1u : ulGeneration + 1u;
}

unsigned long long CDeviceContext::ClaimKeySlot(bool bNewKey)
{
    unsigned long long *pWord = KeySlotWord();
    unsigned int ulKey = SlotKeyGeneration(*pWord), ulOp = (unsigned int)*pWord;
    if (bNewKey || ulKey == 0 || SlotIsNobodys(*pWord)) ulKey = NextGeneration(ulKey);
    *pWord = ((unsigned long long)ulKey << 32) | NextGeneration(ulOp);
    return *pWord;
}

void CDeviceContext::DisownKeySlot()
{
    unsigned long long *pWord = KeySlotWord();
    *pWord &= 0xFFFFFFFF00000000ull;
}

unsigned long long *CDeviceContext::FileLayerCounterWord() const
{
    if (m_hMutexHandle != nullptr) return &static_cast<DEV_MUTEX_SEGMENT *>(m_hMutexHandle)->ullFileLayerChanges;
    return const_cast<unsigned long long *>(&m_ullFileLayerChanges);
}

/* Atomic, so that a bump outside the mutex (a connection being opened)
 * is never lost either. */
unsigned long long CDeviceContext::FileLayerChangeCounter() const
{
    return __atomic_load_n(FileLayerCounterWord(), __ATOMIC_SEQ_CST);
}

unsigned long long CDeviceContext::BumpFileLayerChangeCounter()
{
    return __atomic_add_fetch(FileLayerCounterWord(), 1ull, __ATOMIC_SEQ_CST);
}

void CDeviceContext::NoteNewConnection()
{
    ++m_ullConnection;
    BumpFileLayerChangeCounter();
}

/* SM3 or SHA-1 over "Sarn-Product" || the exported public key. */
static unsigned int ProductKeyDigest(unsigned int ulHashID, const unsigned char *pbKey, unsigned int ulKeyLen,
                                     unsigned char *pbDigest)
{
    static const char *OP = "SetSessionKey";
    void *pCtx = nullptr;
    unsigned int ulRet = Hash_Init(&pCtx, ulHashID);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "Hash_Init", ulRet);
        return ulRet;
    }
    ulRet = Hash_Update(pCtx, PRODUCT_KEY_TAG, sizeof(PRODUCT_KEY_TAG) - 1);
    if (ulRet == 0) ulRet = Hash_Update(pCtx, pbKey, ulKeyLen);
    if (ulRet != 0) {
        unsigned char pbDiscard[64];
        unsigned int ulDiscard = sizeof(pbDiscard);
        Hash_Final(pCtx, pbDiscard, &ulDiscard);
        TRACE_STEP_FAIL(OP, "Hash_Update", ulRet);
        return ulRet;
    }
    unsigned int ulLen = 64;
    ulRet = Hash_Final(pCtx, pbDigest, &ulLen);
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "Hash_Final", ulRet);
    return ulRet;
}

/* Verifies the exported authentication key against the product key and
 * encrypts the wrapped session key under it. */
static unsigned int SealForToken(const CDeviceInfo *pInfo, const unsigned char *pbPubKey,
                                 const unsigned char *pbSignature, unsigned char *pbWrapped, unsigned int ulWrappedLen,
                                 unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "SetSessionKey";
    unsigned char pbDigest[64];
    unsigned int ulRet = 0;
    if (pInfo->m_byAlgID == SC_ALG_SM4) {
        ulRet = ProductKeyDigest(SC_HASH_SM3, pbPubKey, 64, pbDigest);
        if (ulRet != 0) return ulRet;
        _QV_SM2_KEY_PAIR *pRoot = (_QV_SM2_KEY_PAIR *)pInfo->m_pRootKey;
        ulRet = SM2_Verify(pRoot, pbDigest, const_cast<unsigned char *>(pbSignature), 64);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "SM2_Verify", ulRet);
            return ulRet;
        }
        _QV_SM2_KEY_PAIR stKey = {};
        memcpy(stKey.X, pbPubKey, 32);
        memcpy(stKey.Y, pbPubKey + 32, 32);
        ulRet = SM2_Encrypt(&stKey, pbWrapped, ulWrappedLen, pbOut, pulOutLen);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "SM2_Encrypt", ulRet);
        return ulRet;
    }
    ulRet = ProductKeyDigest(SC_HASH_SHA1, pbPubKey, 132, pbDigest);
    if (ulRet != 0) return ulRet;
    _QV_RSA_KEY_PAIR *pRoot = (_QV_RSA_KEY_PAIR *)pInfo->m_pRootKey;
    ulRet = RSA_Verify(pRoot, SC_HASH_SHA1, pbDigest, const_cast<unsigned char *>(pbSignature), 128);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "RSA_Verify", ulRet);
        return ulRet;
    }
    _QV_RSA_KEY_PAIR *pKey = new (std::nothrow) _QV_RSA_KEY_PAIR();
    if (pKey == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(pKey->N, pbPubKey, 128);
    pKey->NLen = 128;
    memcpy(pKey->E, pbPubKey + 128, 4);
    pKey->ELen = 4;
    ulRet = RSA_Encrypt(pKey, pbWrapped, ulWrappedLen, pbOut, pulOutLen, 1);
    delete pKey;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "RSA_Encrypt", ulRet);
    return ulRet;
}

unsigned int CDeviceContext::WrapSessionKey(const unsigned char *pbKey, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CDeviceInfo *pInfo = m_pDevieHandle;
    unsigned int ulRet = CSymKeyHandle::Encrypt(pInfo->m_byAlgID, SC_MODE_CBC, pInfo->m_pbAuthKey, nullptr,
                                                const_cast<unsigned char *>(pbKey), SESSION_KEY_LEN, pbOut, pulOutLen);
    if (ulRet != 0) TRACE_STEP_FAIL("SetSessionKey", "CSymKeyHandle::Encrypt", ulRet);
    return ulRet;
}

unsigned int CDeviceContext::SetSessionKey(bool bForce)
{
    static const char *OP = "SetSessionKey";
    if (m_pDevieHandle == nullptr || m_pApduChip == nullptr || m_pApduPin == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_pDevieHandle", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    CDeviceInfo *pInfo = m_pDevieHandle;
    if (!bForce) {
        if (pInfo->ChannelChecked()) {
            TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK channel checked in this call", 0ul,
                  BRIO_FILE_NAME, __LINE__);
            return 0;
        }
        unsigned int ulCheck = 0;
        {
            /* No channel yet, or one the token no longer takes: set up below. */
            CExpectedStepCode channel(ApduChannelRefused);
            ulCheck = m_pApduPin->CheckSessionKey(0);
        }
        if (ulCheck == 0) {
            TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CheckSessionKey OK", 0ul, BRIO_FILE_NAME,
                  __LINE__);
            pInfo->NoteChannelChecked();
            return 0;
        }
        /* The channel is gone, perhaps with all the token's volatile state. */
        DisownKeySlot();
    }
    unsigned int ulRet = CheckChannelCipher(pInfo->m_byAlgID);
    if (ulRet != 0) return ulRet;
    if (pInfo->m_pRootKey == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_pRootKey", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }

    /* Until the new channel stands, the old one is not trusted either; nor
     * is what was read of the token before. */
    pInfo->ForgetChannelCheck();
    NoteNewConnection();
    unsigned char pbKey[SESSION_KEY_LEN];
    unsigned char pbWrapped[256];
    unsigned int ulWrappedLen = sizeof(pbWrapped);
    unsigned char pbPubKey[132] = {0};
    unsigned char pbSignature[128] = {0};
    unsigned char pbSealed[512];
    unsigned int ulSealedLen = sizeof(pbSealed);

    ulRet = GenRand(SESSION_KEY_LEN, pbKey, true);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "GenRand", ulRet);
    } else {
        ulRet = WrapSessionKey(pbKey, pbWrapped, &ulWrappedLen);
    }
    if (ulRet == 0) {
        unsigned char byForm = pInfo->m_byAlgID == SC_ALG_SM4 ? AUTH_KEY_FORM_SM2 : AUTH_KEY_FORM_RSA;
        ulRet = m_pApduChip->ExportAuthKey(byForm, pbPubKey, pbSignature);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "m_pApduChip->ExportAuthKey", ulRet);
    }
    if (ulRet == 0) ulRet = SealForToken(pInfo, pbPubKey, pbSignature, pbWrapped, ulWrappedLen, pbSealed, &ulSealedLen);
    if (ulRet == 0) {
        ulRet = m_pApduPin->SetSessionKey(pbSealed, ulSealedLen);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "m_pApduPin->SetSessionKey", ulRet);
    }
    if (ulRet == 0) {
        ulRet = pInfo->SetTransKey(pbKey, SESSION_KEY_LEN);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "m_pDevieHandle->SetTransKey", ulRet);
        } else {
            TRACE_STEP_OK(OP, "m_pDevieHandle->SetTransKey");
            pInfo->NoteChannelChecked();
        }
    }
    OPENSSL_cleanse(pbKey, sizeof(pbKey));
    OPENSSL_cleanse(pbWrapped, sizeof(pbWrapped));
    OPENSSL_cleanse(pbSealed, sizeof(pbSealed));
    return ulRet;
}
