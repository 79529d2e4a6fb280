#include "SarnCore/BrioContext.h"

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

unsigned int CBrioContext::Initialize()
{
    return MakeCommandObjects<CAPDUChipBrio, CAPDUPinBrio>("new CAPDUChipBrio", "new CAPDUPinBrio");
}
