/* Key commands whose next exchange gets a fault of the virtual token: the
 * token carries the command out, the host never sees its answer.  Put in
 * place of a context's key command object. */
#pragma once

#include <string>

#include "SarnCore/APDUKey.h"
#include "SarnCore/DeviceContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

class CFaultedKeyCommands : public CAPDUKey {
public:
    CFaultedKeyCommands(CDeviceInfo *pInfo, vtoken::Daemon &d, const std::string &serial)
        : CAPDUKey(pInfo, SARN_DEFAULT_TIMEOUT), m_daemon(d), m_serial(serial)
    {
    }
    /* Replaces the context's key commands; the context owns the new object. */
    static CFaultedKeyCommands *Install(CDeviceContext *pCtx, vtoken::Daemon &d, const std::string &serial)
    {
        CFaultedKeyCommands *pKeys = new CFaultedKeyCommands(pCtx->m_pDevieHandle, d, serial);
        delete pCtx->m_pApduKey;
        pCtx->m_pApduKey = pKeys;
        return pKeys;
    }
    void Arm(const std::string &fault) { m_fault = fault; }

protected:
    unsigned int TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                               unsigned int *pulAnswerLen) override
    {
        if (!m_fault.empty()) m_daemon.InjectFault(m_serial, m_fault);
        m_fault.clear();
        return CAPDUKey::TransmitFrame(pbFrame, ulFrameLen, pbAnswer, pulAnswerLen);
    }

private:
    vtoken::Daemon &m_daemon;
    std::string m_serial;
    std::string m_fault;
};
