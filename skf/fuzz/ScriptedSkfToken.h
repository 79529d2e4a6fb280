/* One connection whose every command goes to a scripted token, for the SKF
 * layer's fuzz targets: the six command classes over FakeToken, an SM4
 * secure channel that the token always reports alive (the session check,
 * PIN status of type 0, is answered here, so the input's answers go to the
 * operation itself), and the device mutex of a name on bus 90 (no test
 * suite uses that bus).  A target may answer further commands itself
 * through `more`. */
#pragma once

#include <string.h>

#include <functional>

#include "SarnCore/APDUChip.h"
#include "SarnCore/APDUContainer.h"
#include "SarnCore/APDUCrypto.h"
#include "SarnCore/APDUFile.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/APDUPin.h"
#include "SarnCore/DeviceContext.h"
#include "SarnCore/tests/FakeToken.h"

class CScriptedConnection {
public:
    CScriptedConnection() : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        CDeviceInfo *p = ctx.m_pDevieHandle;
        ctx.m_pApduChip = new CFakeLink<CAPDUChip>(p, &token);
        ctx.m_pApduPin = new CFakeLink<CAPDUPin>(p, &token);
        ctx.m_pApduContainer = new CFakeLink<CAPDUContainer>(p, &token);
        ctx.m_pApduFile = new CFakeLink<CAPDUFile>(p, &token);
        ctx.m_pApduKey = new CFakeLink<CAPDUKey>(p, &token);
        ctx.m_pApduCrypto = new CFakeLink<CAPDUCrypto>(p, &token);
        const char *name = "Mirel&pid_f00d&bus_090&addr_001";
        ctx.SetDeviceName(name, (unsigned int)strlen(name));
        ctx.CreateDevMutex();
        token.responder = [this](const SeenCommand &c, ScriptedAnswer *pA) {
            if (c.ins == 0x14 && c.p2 == 0) {  // the session check
                pA->payload = {3, 3, 1, 0};
                return true;
            }
            return more && more(c, pA);
        };
    }

    CDeviceContext ctx;
    FakeToken token;
    std::function<bool(const SeenCommand &, ScriptedAnswer *)> more;
};
