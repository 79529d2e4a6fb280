/* The frame every SKF function runs in, and the registry of live handles.
 *
 * A handle is the address of its object (CDeviceObject, CApplicationObject,
 * CContainerObject, or a CKeyObject for key, hash, MAC and agreement
 * handles).  The registry knows which addresses are live handles and of
 * which kind, and which device each belongs to:
 *   - a handle that is not live, or of another kind, is refused
 *     (SAR_INVALIDHANDLEERR), as is every handle of a device that was
 *     disconnected (those can still be closed);
 *   - a call holds a reference on its handle from the handle check to its
 *     end, so a close on another thread only marks the handle: the object
 *     is deleted when the last running call on it returns;
 *   - a disconnect refuses new calls on the device and its handles, waits
 *     for the running ones, then closes the device.
 * Operations that hand out a new handle write the object's address as a
 * void*: the CApplicationObject*, the CContainerObject* or the CKeyObject*
 * (every key class derives from CKeyObject alone, so it is the same).
 *
 * CSkfCall is one call of an SKF function:
 *
 *   return CSkfCall("SKF_SetLabel")
 *       .Arg(szLabel, "CHECK szLabel")
 *       .MaxLen(szLabel, 32, "CHECK szLabel length", SAR_INDATALENERR)
 *       .Device(hDev)
 *       .Run<CDeviceObject>("SetTokenLabel", [&](auto &dev) { return dev.SetTokenLabel(...); });
 *
 * It traces the function's scope, every check as a step ("CHECK ..."), the
 * device lock and the one call on the object, stops at the first failing
 * step, and returns the final code through SKF_TransErrorCode.  A call
 * made after the library's end fails its first step with
 * SAR_NOTINITIALIZEERR. */
#ifndef BRIO_SKF_SKF_INTERFACE_FRAME_H
#define BRIO_SKF_SKF_INTERFACE_FRAME_H

#include <stddef.h>

#include <cxxabi.h>

#include <memory>
#include <new>
#include <optional>

#include "log/TraceFuncScope.h"
#include "skf/skf.h"

class CDeviceObject;
class CApplicationObject;
class CContainerObject;
class CKeyObject;
class CDeviceContext;

enum class SkfHandleKind : unsigned char { Device = 1, Application, Container, Key };

struct SkfDeviceGroup;

template <class T> constexpr SkfHandleKind SkfKindOf();
template <> constexpr SkfHandleKind SkfKindOf<CDeviceObject>() { return SkfHandleKind::Device; }
template <> constexpr SkfHandleKind SkfKindOf<CApplicationObject>() { return SkfHandleKind::Application; }
template <> constexpr SkfHandleKind SkfKindOf<CContainerObject>() { return SkfHandleKind::Container; }
template <> constexpr SkfHandleKind SkfKindOf<CKeyObject>() { return SkfHandleKind::Key; }

/* A live handle held for the length of one call. */
class CSkfHandleRef {
public:
    CSkfHandleRef() = default;
    ~CSkfHandleRef() { Reset(); }
    CSkfHandleRef(const CSkfHandleRef &) = delete;
    CSkfHandleRef &operator=(const CSkfHandleRef &) = delete;

    void *Get() const { return m_pHandle; }
    explicit operator bool() const { return m_pHandle != nullptr; }
    void Reset();

private:
    friend class CSkfHandles;
    void *m_pHandle = nullptr;
    std::shared_ptr<SkfDeviceGroup> m_pGroup;
};

class CSkfHandles {
public:
    static CSkfHandles &Instance();

    /* A new device handle (its own device). */
    unsigned int AddDevice(CDeviceObject *pDevice);
    /* A new handle made by a call on parent: it belongs to parent's device.
     * Refused (the object deleted) only when memory runs out. */
    unsigned int AddChild(void *hHandle, SkfHandleKind eKind, const CSkfHandleRef &parent);
    /* Holds a live handle of this kind whose device is connected; with
     * bDisconnecting, also a device handle whose disconnect waits (so that a
     * holder of the device lock can still release it). */
    bool Acquire(void *hHandle, SkfHandleKind eKind, CSkfHandleRef &ref, bool bDisconnecting = false);
    /* Closes an application, container or key handle (its device may be
     * gone): deleted now, or when the calls running on it return.
     * SAR_INVALIDHANDLEERR for a handle that is not live or of another kind. */
    unsigned int Close(void *hHandle, SkfHandleKind eKind);
    /* Ends a device handle.  BeginDisconnect refuses new calls on it and on
     * its handles and waits for the running ones (false: not a live device
     * handle); EndDisconnect then takes the device lock (as SKF_LockDev,
     * while a holder's SKF_UnlockDev is still let in), and closes and
     * deletes the device through the device manager.  When either fails,
     * the device stays connected. */
    bool BeginDisconnect(void *hDev);
    unsigned int EndDisconnect(void *hDev);

private:
    friend class CSkfHandleRef;
    CSkfHandles();
    void Release(CSkfHandleRef &ref);
    struct State;
    State &Data();
};

/* One call of an SKF function; see the top of this file. */
class CSkfCall {
public:
    /* bScope false: no scope trace (the device-event functions). */
    explicit CSkfCall(const char *pszFunction, bool bScope = true, const char *pszFile = __builtin_FILE());
    ~CSkfCall();
    CSkfCall(const CSkfCall &) = delete;
    CSkfCall &operator=(const CSkfCall &) = delete;

    /* A pointer that must be given. */
    CSkfCall &Arg(const void *p, const char *pszStep, unsigned int ulCode = SAR_INVALIDPARAMERR,
                  int nLine = __builtin_LINE());
    /* Any other condition on the arguments. */
    CSkfCall &Check(bool bOk, const char *pszStep, unsigned int ulCode = SAR_INVALIDPARAMERR,
                    int nLine = __builtin_LINE());
    /* String length limits (the string was checked before); the string is
     * read up to one character past nMax, or up to nMin, at the most. */
    CSkfCall &MaxLen(const char *psz, size_t nMax, const char *pszStep, unsigned int ulCode,
                     int nLine = __builtin_LINE());
    CSkfCall &MinLen(const char *psz, size_t nMin, const char *pszStep, unsigned int ulCode,
                     int nLine = __builtin_LINE());
    /* A step that passed without a test of its own. */
    CSkfCall &Passed(const char *pszStep);

    /* The handle check of each kind. */
    CSkfCall &Device(DEVHANDLE h, const char *pszStep = "CHECK_DEV_PCTX", int nLine = __builtin_LINE());
    CSkfCall &Application(HAPPLICATION h, const char *pszStep = "CHECK_APP_PCTX", int nLine = __builtin_LINE());
    CSkfCall &Container(HCONTAINER h, const char *pszStep = "CHECK_CNTR_PCTX", int nLine = __builtin_LINE());
    CSkfCall &Key(HANDLE h, const char *pszStep = "CHECK_KEY_PCTX", int nLine = __builtin_LINE());
    /* SKF_UnlockDev's check: also a device whose disconnect waits. */
    CSkfCall &LockedDevice(DEVHANDLE h, const char *pszStep, int nLine = __builtin_LINE());

    /* Under the device lock, the one call on the handle's object (of the
     * class T that the handle check names), whose code is traced as step
     * pszOperation; returns the final SAR code. */
    template <class T, class F>
    ULONG Run(const char *pszOperation, F fn, int nLine = __builtin_LINE())
    {
        if (!Lock(SkfKindOf<T>(), nLine)) return Result();
        unsigned int ulRet;
        {
            CHeldLock held(*this);
            ulRet = Call<T>(fn);
        }
        return Finish(pszOperation, ulRet, nLine);
    }
    /* Registers the handle a successful call wrote to *ph as a new handle
     * of this kind on the called handle's device.  Give it before the call. */
    CSkfCall &Yields(void **ph, SkfHandleKind eKind);

    /* SKF_LockDev and SKF_UnlockDev: the device lock alone, held past the
     * call (a disconnect gives back the holds left); a thread that does not
     * hold it cannot release it (SAR_FAIL). */
    ULONG HoldLock(int nLine = __builtin_LINE());
    ULONG DropLock(int nLine = __builtin_LINE());
    /* The close functions: no lock; the object goes when no call uses it.
     * Also closes the handles of a disconnected device. */
    ULONG Close(void *h, SkfHandleKind eKind, const char *pszStep, int nLine = __builtin_LINE());

    /* The manager functions: a step with its code, and the end of the call. */
    bool Step(const char *pszStep, unsigned int ulCode, int nLine = __builtin_LINE());
    bool Failed() const { return m_ulCode != 0; }
    ULONG Result() const;
    const CSkfHandleRef &Handle() const { return m_ref; }

private:
    /* The device lock that Lock took, released when this goes, on every
     * path out of the call. */
    class CHeldLock {
    public:
        explicit CHeldLock(CSkfCall &call) : m_call(call) {}
        ~CHeldLock() { m_call.Unlock(); }
        CHeldLock(const CHeldLock &) = delete;
        CHeldLock &operator=(const CHeldLock &) = delete;

    private:
        CSkfCall &m_call;
    };

    /* The call on the object: no exception leaves it for the caller of the
     * SKF function (out of memory: SAR_MEMORYERR; any other: SAR_FAIL).  A
     * thread's cancellation goes on unwinding. */
    template <class T, class F> unsigned int Call(F &fn)
    {
        try {
            return fn(*static_cast<T *>(m_ref.Get()));
        } catch (abi::__forced_unwind &) {
            throw;
        } catch (const std::bad_alloc &) {
            return SAR_MEMORYERR;
        } catch (...) {
            return SAR_FAIL;
        }
    }

    CSkfCall &Fail(const char *pszStep, unsigned int ulCode, int nLine);
    CSkfCall &Hold(void *h, SkfHandleKind eKind, const char *pszStep, int nLine, bool bDisconnecting = false);
    CDeviceContext *Context() const;
    bool Lock(SkfHandleKind eKind, int nLine);
    void Unlock();
    ULONG Finish(const char *pszOperation, unsigned int ulRet, int nLine);

    const char *m_pszFunction;
    const char *m_pszFile;
    /* Given back only once the call has traced its end (the destructor
     * says the order), so a disconnect waiting for the call returns after
     * the call has left the frame. */
    CSkfHandleRef m_ref;
    std::optional<TraceFuncScope> m_scope;
    unsigned int m_ulCode = 0;
    SkfHandleKind m_eKind = SkfHandleKind::Device;
    void **m_phNew = nullptr;
    SkfHandleKind m_eNewKind = SkfHandleKind::Key;
};

#endif
