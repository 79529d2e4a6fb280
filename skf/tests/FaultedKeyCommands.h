/* Key or cipher commands whose next exchange gets a fault of the virtual
 * token: the token carries the command out, the host never sees its
 * answer.  Put in place of a context's key (or cipher) command object. */
#pragma once

#include <string>
#include <type_traits>

#include "SarnCore/APDUCrypto.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/DeviceContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

template <class TCommands>
class CFaultedCommands : public TCommands {
public:
    CFaultedCommands(CDeviceInfo *pInfo, vtoken::Daemon &d, const std::string &serial)
        : TCommands(pInfo, SARN_DEFAULT_TIMEOUT), m_daemon(d), m_serial(serial)
    {
    }
    /* Replaces the context's commands of this kind; the context owns the
     * new object. */
    static CFaultedCommands *Install(CDeviceContext *pCtx, vtoken::Daemon &d, const std::string &serial)
    {
        CFaultedCommands *pCommands = new CFaultedCommands(pCtx->m_pDevieHandle, d, serial);
        TCommands *&pSlot = Slot(pCtx);
        delete pSlot;
        pSlot = pCommands;
        return pCommands;
    }
    void Arm(const std::string &fault) { m_fault = fault; }

protected:
    unsigned int TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                               unsigned int *pulAnswerLen) override
    {
        if (!m_fault.empty()) m_daemon.InjectFault(m_serial, m_fault);
        m_fault.clear();
        return TCommands::TransmitFrame(pbFrame, ulFrameLen, pbAnswer, pulAnswerLen);
    }

private:
    static TCommands *&Slot(CDeviceContext *pCtx)
    {
        if constexpr (std::is_same<TCommands, CAPDUKey>::value)
            return pCtx->m_pApduKey;
        else
            return pCtx->m_pApduCrypto;
    }

    vtoken::Daemon &m_daemon;
    std::string m_serial;
    std::string m_fault;
};

using CFaultedKeyCommands = CFaultedCommands<CAPDUKey>;
using CFaultedCipherCommands = CFaultedCommands<CAPDUCrypto>;
