#include "SarnCore/BrioContext.h"

#include <new>

#include "SarnCore/APDUChipBrio.h"
#include "log/StepTrace.h"

CBrioContext::CBrioContext() : CDeviceContext()
{
    TraceInfo("CBrioContext: Constructor");
}

CBrioContext::~CBrioContext()
{
    TraceInfo("CBrioContext: Destructor");
}

/* One command object, tracing the step "new <class>". */
template <class T>
static T *NewCommandObject(const char *szStep, CDeviceInfo *pInfo, unsigned int *pulRet)
{
    if (*pulRet != 0) return nullptr;
    T *pObject = new (std::nothrow) T(pInfo, SARN_DEFAULT_TIMEOUT);
    if (pObject == nullptr) {
        *pulRet = ERROR_NOT_ENOUGH_MEMORY;
        TRACE_STEP_FAIL("Initialize", szStep, *pulRet);
        return nullptr;
    }
    TRACE_STEP_OK("Initialize", szStep);
    return pObject;
}

unsigned int CBrioContext::Initialize()
{
    DeleteCommandObjects();
    if (m_pDevieHandle == nullptr) {
        m_pDevieHandle = new (std::nothrow) CDeviceInfo();
        if (m_pDevieHandle == nullptr) {
            TRACE_STEP_FAIL("Initialize", "new QV_DEVICE_HANDLE", ERROR_NOT_ENOUGH_MEMORY);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        TRACE_STEP_OK("Initialize", "new QV_DEVICE_HANDLE");
    }
    CDeviceInfo *pInfo = m_pDevieHandle;
    unsigned int ulRet = 0;
    CAPDUChip *pChip = NewCommandObject<CAPDUChipBrio>("new CAPDUChipBrio", pInfo, &ulRet);
    CAPDUContainer *pContainer = NewCommandObject<CAPDUContainer>("new CAPDUContainer", pInfo, &ulRet);
    CAPDUCrypto *pCrypto = NewCommandObject<CAPDUCrypto>("new CAPDUCrypto", pInfo, &ulRet);
    CAPDUFile *pFile = NewCommandObject<CAPDUFile>("new CAPDUFile", pInfo, &ulRet);
    CAPDUKey *pKey = NewCommandObject<CAPDUKey>("new CAPDUKey", pInfo, &ulRet);
    CAPDUPin *pPin = NewCommandObject<CAPDUPinBrio>("new CAPDUPinBrio", pInfo, &ulRet);
    if (ulRet != 0) {
        delete pChip;
        delete pContainer;
        delete pCrypto;
        delete pFile;
        delete pKey;
        delete pPin;
        return ulRet;
    }
    m_pApduChip = pChip;
    m_pApduContainer = pContainer;
    m_pApduCrypto = pCrypto;
    m_pApduFile = pFile;
    m_pApduKey = pKey;
    m_pApduPin = pPin;
    return 0;
}
