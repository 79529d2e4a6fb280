/* The SKF function frame, the registry of live handles and the translation
 * of internal result codes into SAR codes. */
#include "skf/SKFInterfaceFrame.h"

#include <string.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>

#include "log/ResultCodes.h"
#include "log/StepTrace.h"
#include "log/vexa_log.h"
#include "skf/ApplicationObject.h"
#include "skf/BrioManager.h"
#include "skf/ContainerObject.h"
#include "skf/DeviceObject.h"
#include "skf/SymKeyObject.h"

/* ---- Registry ---- */

/* What a device and the handles made from it share: the calls running on
 * any of them, and whether the device was disconnected. */
struct SkfDeviceGroup {
    unsigned int ulCalls = 0;
    bool bGone = false;     /* disconnected, or its disconnect waits */
    bool bClosing = false;  /* the device is being closed: no call at all */
};

namespace {

struct HandleEntry {
    SkfHandleKind eKind;
    std::shared_ptr<SkfDeviceGroup> pGroup;
    unsigned int ulCalls;  /* calls running on this handle */
    bool bClosed;          /* closed while calls ran: deleted by the last */
};

void DeleteObject(void *hHandle, SkfHandleKind eKind)
{
    switch (eKind) {
    case SkfHandleKind::Application:
        delete static_cast<CApplicationObject *>(hHandle);
        break;
    case SkfHandleKind::Container:
        delete static_cast<CContainerObject *>(hHandle);
        break;
    case SkfHandleKind::Key:
        delete static_cast<CKeyObject *>(hHandle);
        break;
    case SkfHandleKind::Device: {
        /* Only when a new device handle cannot be registered. */
        CDeviceOperator *pOperator = static_cast<CDeviceObject *>(hHandle);
        SkfManager().CloseDevice(pOperator);
        break;
    }
    }
}

}  // namespace

struct CSkfHandles::State {
    std::mutex mutex;
    std::condition_variable idle;  /* a device's last running call returned */
    std::unordered_map<void *, HandleEntry> entries;
};

CSkfHandles &CSkfHandles::Instance()
{
    static CSkfHandles s_handles;
    return s_handles;
}

CSkfHandles::CSkfHandles() { Data(); }

CSkfHandles::State &CSkfHandles::Data()
{
    /* Never destroyed: an application may close its handles and disconnect
     * in exit handlers and destructors of its own that run after ours. */
    static State *const s_pState = new State;
    return *s_pState;
}

namespace {

/* The registry is made at load, before the application's first call. */
CSkfHandles &g_handlesAtLoad = CSkfHandles::Instance();

}  // namespace

void CSkfHandleRef::Reset()
{
    if (m_pHandle != nullptr) CSkfHandles::Instance().Release(*this);
}

unsigned int CSkfHandles::AddDevice(CDeviceObject *pDevice)
{
    void *hHandle = pDevice;
    try {
        auto pGroup = std::make_shared<SkfDeviceGroup>();
        std::lock_guard<std::mutex> lock(Data().mutex);
        Data().entries[hHandle] = HandleEntry{SkfHandleKind::Device, pGroup, 0, false};
        return 0;
    } catch (const std::bad_alloc &) {
        DeleteObject(hHandle, SkfHandleKind::Device);
        return SAR_MEMORYERR;
    }
}

unsigned int CSkfHandles::AddChild(void *hHandle, SkfHandleKind eKind, const CSkfHandleRef &parent)
{
    try {
        std::lock_guard<std::mutex> lock(Data().mutex);
        Data().entries[hHandle] = HandleEntry{eKind, parent.m_pGroup, 0, false};
        return 0;
    } catch (const std::bad_alloc &) {
        DeleteObject(hHandle, eKind);
        return SAR_MEMORYERR;
    }
}

bool CSkfHandles::Acquire(void *hHandle, SkfHandleKind eKind, CSkfHandleRef &ref, bool bDisconnecting)
{
    ref.Reset();
    if (hHandle == nullptr) return false;
    std::lock_guard<std::mutex> lock(Data().mutex);
    auto it = Data().entries.find(hHandle);
    if (it == Data().entries.end()) return false;
    HandleEntry &entry = it->second;
    if (entry.eKind != eKind || entry.bClosed) return false;
    if (entry.pGroup->bGone && !(bDisconnecting && eKind == SkfHandleKind::Device && !entry.pGroup->bClosing))
        return false;
    ++entry.ulCalls;
    ++entry.pGroup->ulCalls;
    ref.m_pHandle = hHandle;
    ref.m_pGroup = entry.pGroup;
    return true;
}

void CSkfHandles::Release(CSkfHandleRef &ref)
{
    void *hDelete = nullptr;
    SkfHandleKind eKind = SkfHandleKind::Key;
    {
        std::lock_guard<std::mutex> lock(Data().mutex);
        auto it = Data().entries.find(ref.m_pHandle);
        if (it != Data().entries.end()) {
            HandleEntry &entry = it->second;
            --entry.ulCalls;
            if (entry.bClosed && entry.ulCalls == 0) {
                hDelete = it->first;
                eKind = entry.eKind;
                Data().entries.erase(it);
            }
        }
        if (--ref.m_pGroup->ulCalls == 0) Data().idle.notify_all();
        ref.m_pHandle = nullptr;
        ref.m_pGroup.reset();
    }
    if (hDelete != nullptr) DeleteObject(hDelete, eKind);
}

unsigned int CSkfHandles::Close(void *hHandle, SkfHandleKind eKind)
{
    {
        std::lock_guard<std::mutex> lock(Data().mutex);
        auto it = Data().entries.find(hHandle);
        if (it == Data().entries.end() || it->second.eKind != eKind || it->second.bClosed)
            return SAR_INVALIDHANDLEERR;
        if (it->second.ulCalls != 0) {
            it->second.bClosed = true;
            return 0;
        }
        Data().entries.erase(it);
    }
    DeleteObject(hHandle, eKind);
    return 0;
}

bool CSkfHandles::BeginDisconnect(void *hDev)
{
    std::unique_lock<std::mutex> lock(Data().mutex);
    auto it = Data().entries.find(hDev);
    if (hDev == nullptr || it == Data().entries.end() || it->second.eKind != SkfHandleKind::Device ||
        it->second.pGroup->bGone)
        return false;
    std::shared_ptr<SkfDeviceGroup> pGroup = it->second.pGroup;
    pGroup->bGone = true;
    Data().idle.wait(lock, [&] { return pGroup->ulCalls == 0; });
    return true;
}

unsigned int CSkfHandles::EndDisconnect(void *hDev)
{
    /* The device lock first, as SKF_LockDev takes it, while its holder can
     * still give it back (only that unlock is let in): the mutex is never
     * closed under a thread that holds it.  Not had in time: the device
     * stays connected. */
    CDeviceObject *pDevice = static_cast<CDeviceObject *>(hDev);
    CDeviceContext *pContext = pDevice->GetDeviceContext();
    unsigned int ulRet = pContext != nullptr ? pContext->HoldDevMutex() : ERR_NO_CONTEXT;
    decltype(State::entries)::node_type node;
    {
        std::unique_lock<std::mutex> lock(Data().mutex);
        /* Still there: only a disconnect removes a device's entry, and this
         * is the device's one disconnect. */
        std::shared_ptr<SkfDeviceGroup> pGroup = Data().entries.find(hDev)->second.pGroup;
        if (ulRet != 0) {
            pGroup->bGone = false;
            return ulRet;
        }
        /* No call at all from here, and none running (an unlock let in
         * above may still be on its way out). */
        pGroup->bClosing = true;
        Data().idle.wait(lock, [&] { return pGroup->ulCalls == 0; });
        /* The entry goes before the device: once the object is freed, a
         * connect on another thread may be given its address for a new
         * handle. */
        node = Data().entries.extract(hDev);
    }
    /* The close gives back this thread's holds, the one above included. */
    CDeviceOperator *pOperator = pDevice;
    ulRet = SkfManager().CloseDevice(pOperator);
    if (ulRet != 0) {
        /* Not closed, so not freed: the address is still this device's. */
        pContext->DropDevMutex();
        std::lock_guard<std::mutex> lock(Data().mutex);
        node.mapped().pGroup->bGone = node.mapped().pGroup->bClosing = false;
        Data().entries.insert(std::move(node));
    }
    return ulRet;
}

/* ---- Frame ---- */

namespace {

const char *BaseName(const char *pszPath)
{
    const char *p = strrchr(pszPath, '/');
    return p != nullptr ? p + 1 : pszPath;
}

}  // namespace

CSkfCall::CSkfCall(const char *pszFunction, bool bScope, const char *pszFile)
    : m_pszFunction(pszFunction), m_pszFile(BaseName(pszFile))
{
    if (bScope) m_scope.emplace(pszFunction);
    /* After the library's end (the process exits) nothing of it is used. */
    if (!SkfCallBegins()) Fail("CHECK library", SAR_NOTINITIALIZEERR, __LINE__);
}

CSkfCall::~CSkfCall()
{
    /* The call traces its end first, then gives its handle back (a
     * disconnect waiting for it goes on from there), and only then stops
     * counting: the handle's release may delete an object. */
    m_scope.reset();
    m_ref.Reset();
    SkfCallEnds();
}

CSkfCall &CSkfCall::Fail(const char *pszStep, unsigned int ulCode, int nLine)
{
    m_ulCode = ulCode;
    TraceStepFailure(m_pszFunction, pszStep, ulCode, m_pszFile, nLine);
    return *this;
}

CSkfCall &CSkfCall::Check(bool bOk, const char *pszStep, unsigned int ulCode, int nLine)
{
    if (Failed()) return *this;
    if (!bOk) return Fail(pszStep, ulCode, nLine);
    TRACE_STEP_OK(m_pszFunction, pszStep);
    return *this;
}

CSkfCall &CSkfCall::Arg(const void *p, const char *pszStep, unsigned int ulCode, int nLine)
{
    return Check(p != nullptr, pszStep, ulCode, nLine);
}

CSkfCall &CSkfCall::MaxLen(const char *psz, size_t nMax, const char *pszStep, unsigned int ulCode, int nLine)
{
    /* Read no further than one character past the limit: the caller's
     * string need not end within its buffer. */
    return Check(Failed() || strnlen(psz, nMax + 1) <= nMax, pszStep, ulCode, nLine);
}

CSkfCall &CSkfCall::MinLen(const char *psz, size_t nMin, const char *pszStep, unsigned int ulCode, int nLine)
{
    return Check(Failed() || strnlen(psz, nMin) >= nMin, pszStep, ulCode, nLine);
}

CSkfCall &CSkfCall::Passed(const char *pszStep) { return Check(true, pszStep); }

bool CSkfCall::Step(const char *pszStep, unsigned int ulCode, int nLine)
{
    Check(ulCode == 0, pszStep, ulCode, nLine);
    return !Failed();
}

CSkfCall &CSkfCall::Hold(void *h, SkfHandleKind eKind, const char *pszStep, int nLine, bool bDisconnecting)
{
    if (Failed()) return *this;
    m_eKind = eKind;
    return Check(CSkfHandles::Instance().Acquire(h, eKind, m_ref, bDisconnecting), pszStep, SAR_INVALIDHANDLEERR,
                 nLine);
}

CSkfCall &CSkfCall::LockedDevice(DEVHANDLE h, const char *pszStep, int nLine)
{
    return Hold(h, SkfHandleKind::Device, pszStep, nLine, true);
}

CSkfCall &CSkfCall::Device(DEVHANDLE h, const char *pszStep, int nLine)
{
    return Hold(h, SkfHandleKind::Device, pszStep, nLine);
}

CSkfCall &CSkfCall::Application(HAPPLICATION h, const char *pszStep, int nLine)
{
    return Hold(h, SkfHandleKind::Application, pszStep, nLine);
}

CSkfCall &CSkfCall::Container(HCONTAINER h, const char *pszStep, int nLine)
{
    return Hold(h, SkfHandleKind::Container, pszStep, nLine);
}

CSkfCall &CSkfCall::Key(HANDLE h, const char *pszStep, int nLine)
{
    return Hold(h, SkfHandleKind::Key, pszStep, nLine);
}

CSkfCall &CSkfCall::Yields(void **ph, SkfHandleKind eKind)
{
    m_phNew = ph;
    m_eNewKind = eKind;
    return *this;
}

CDeviceContext *CSkfCall::Context() const
{
    void *h = m_ref.Get();
    switch (m_eKind) {
    case SkfHandleKind::Device:
        return static_cast<CDeviceObject *>(h)->GetDeviceContext();
    case SkfHandleKind::Application:
        return static_cast<CApplicationObject *>(h)->GetDeviceContext();
    case SkfHandleKind::Container:
        return static_cast<CContainerObject *>(h)->GetDeviceContext();
    case SkfHandleKind::Key:
        return static_cast<CKeyObject *>(h)->GetDeviceContext();
    }
    return nullptr;
}

bool CSkfCall::Lock(SkfHandleKind eKind, int nLine)
{
    if (Failed()) return false;
    /* The handle check before names the class the call is made on. */
    if (!m_ref || m_eKind != eKind) {
        Fail("CHECK handle kind", SAR_INVALIDHANDLEERR, nLine);
        return false;
    }
    CDeviceContext *pContext = Context();
    if (!Step("WaitDevMutex", pContext != nullptr ? pContext->WaitDevMutex() : ERR_NO_CONTEXT, nLine)) return false;
    /* From here to the release no other process reaches the token. */
    if (pContext->GetDeviceHandle() != nullptr) pContext->GetDeviceHandle()->BeginCall();
    return true;
}

void CSkfCall::Unlock()
{
    CDeviceContext *pContext = Context();
    if (pContext->GetDeviceHandle() != nullptr) pContext->GetDeviceHandle()->EndCall();
    pContext->ReleaseDevMutex();
}

ULONG CSkfCall::Finish(const char *pszOperation, unsigned int ulRet, int nLine)
{
    if (Step(pszOperation, ulRet, nLine) && m_phNew != nullptr && *m_phNew != nullptr)
        m_ulCode = CSkfHandles::Instance().AddChild(*m_phNew, m_eNewKind, m_ref);
    if (Failed() && m_phNew != nullptr && ulRet == 0) *m_phNew = nullptr;
    return Result();
}

ULONG CSkfCall::HoldLock(int nLine)
{
    if (Failed()) return Result();
    Step("WaitDevMutex", Context()->HoldDevMutex(), nLine);
    return Result();
}

ULONG CSkfCall::DropLock(int nLine)
{
    if (Failed()) return Result();
    Step("ReleaseDevMutex", Context()->DropDevMutex(), nLine);
    return Result();
}

ULONG CSkfCall::Close(void *h, SkfHandleKind eKind, const char *pszStep, int nLine)
{
    /* The registry closes as the step's condition: a call refused before
     * (after the library's end) must not reach it. */
    if (Failed()) return Result();
    Check(h != nullptr && CSkfHandles::Instance().Close(h, eKind) == 0, pszStep, SAR_INVALIDHANDLEERR, nLine);
    return Result();
}

ULONG CSkfCall::Result() const { return SKF_TransErrorCode(static_cast<long>(static_cast<unsigned long>(m_ulCode))); }

/* ---- Translation ---- */

namespace {

struct Translation {
    uint32_t ulInternal;
    uint32_t ulSar;
};

const Translation g_translations[] = {
    {ERROR_NOT_ENOUGH_MEMORY, SAR_MEMORYERR},
    {ERROR_INVALID_PARAMETER, SAR_INVALIDPARAMERR},
    {ERR_NULL_ARGUMENT, SAR_INVALIDPARAMERR},
    {ERR_NO_MEMORY, SAR_MEMORYERR},
    {ERR_BUFFER_TOO_SMALL, SAR_BUFFER_TOO_SMALL},
    {ERR_BAD_LENGTH, SAR_INDATALENERR},
    {ERR_BAD_MODULUS, SAR_MODULUSLENERR},
    {ERR_UNSUPPORTED, SAR_NOTSUPPORTYETERR},
    {ERR_BAD_DEVICE_NAME, SAR_NAMELENERR},
    {ERR_NO_CONTEXT, SAR_INVALIDHANDLEERR},
    {ERR_BAD_ALGORITHM, SAR_KEYINFOTYPEERR},
    {ERR_BAD_FLAG, SAR_FAIL},
    {ERR_BAD_KEY_TYPE, SAR_KEYUSAGEERR},
    {ERR_BAD_CERTIFICATE, SAR_FILEERR},
    {E_FAIL, SAR_FAIL},
    {0x80006982u, SAR_USER_NOT_LOGGED_IN},   /* SW 6982: security status not satisfied */
    {0x80006983u, SAR_PIN_LOCKED},           /* SW 6983: authentication method blocked */
    {0x80006D00u, SAR_NOTSUPPORTYETERR},     /* SW 6D00: instruction not supported */
    {0x8000F102u, SAR_FILE_NOT_EXIST},
    {0x8000F104u, SAR_NO_ROOM},
    {0x8000F10Eu, SAR_FAIL},
    {0x8000F20Cu, SAR_CERTNOTFOUNTERR},
    {0x8000F20Du, SAR_KEYNOTFOUNTERR},
    {0x8000F323u, SAR_TIMEOUTERR},
    {0x8000F525u, SAR_DECRYPTPADERR},
    {0x8000F530u, SAR_NOTINITIALIZEERR},
    {SCARD_E_TIMEOUT, SAR_TIMEOUTERR},
    {SCARD_W_CANCELLED_BY_USER, SAR_FAIL},
};

uint32_t Translate(uint32_t ulCode)
{
    for (const Translation &t : g_translations)
        if (t.ulInternal == ulCode) return t.ulSar;
    if ((ulCode & ~0xFu) == 0x800063C0u)  /* SW 63Cx: x retries left */
        return (ulCode & 0xFu) == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
    if ((ulCode & 0x80090000u) == 0x80090000u) return SAR_FAIL;
    if ((ulCode & 0x80000000u) != 0) return 0xAA000000u | (ulCode & 0xFFFFu);
    return ulCode;
}

}  // namespace

ULONG DEVAPI SKF_TransErrorCode(long lCode)
{
    /* The internal code is the low 32 bits, however the caller widened it. */
    uint32_t ulCode = static_cast<uint32_t>(static_cast<unsigned long>(lCode));
    uint32_t ulSar = Translate(ulCode);
    if (ulSar != ulCode)
        TRACE(LOG_LEVEL_ERROR, "TransErrorCode:0x%08lx to 0x%08lx success", static_cast<unsigned long>(ulCode),
              static_cast<unsigned long>(ulSar));
    return ulSar;
}
