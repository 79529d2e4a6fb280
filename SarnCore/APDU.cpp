#include "SarnCore/APDU.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnComm/SarnComm.h"
#include "SoftCrypto/SymKeyHandle.h"
#include "log/StepTrace.h"
#include "log/TraceFuncScope.h"

/* ---- body and answer ---- */

CApduBody::CApduBody(unsigned int ulLimit)
    : m_ulLen(0), m_ulLimit(ulLimit < APDU_MAX_BODY ? ulLimit : APDU_MAX_BODY), m_bOverflow(false)
{
}

CApduBody::~CApduBody()
{
    OPENSSL_cleanse(m_pbData, m_ulLen);
}

unsigned char *CApduBody::Reserve(unsigned int ulLen)
{
    if (m_bOverflow || ulLen > m_ulLimit - m_ulLen) {
        m_bOverflow = true;
        return nullptr;
    }
    unsigned char *pb = m_pbData + m_ulLen;
    m_ulLen += ulLen;
    return pb;
}

CApduBody &CApduBody::U8(unsigned int ulValue)
{
    unsigned char *pb = Reserve(1);
    if (pb != nullptr) *pb = (unsigned char)ulValue;
    return *this;
}

CApduBody &CApduBody::U16(unsigned int ulValue)
{
    unsigned char *pb = Reserve(2);
    if (pb != nullptr) Interger_Array_BigEndian_A(pb, 2, (int)ulValue);
    return *this;
}

CApduBody &CApduBody::U32(unsigned int ulValue)
{
    unsigned char *pb = Reserve(4);
    if (pb != nullptr) Interger_Array_BigEndian_A(pb, 4, (int)ulValue);
    return *this;
}

CApduBody &CApduBody::Bytes(const unsigned char *pbData, unsigned int ulLen)
{
    if (ulLen == 0) return *this;
    if (pbData == nullptr) {
        m_bOverflow = true;
        return *this;
    }
    unsigned char *pb = Reserve(ulLen);
    if (pb != nullptr) memcpy(pb, pbData, ulLen);
    return *this;
}

CApduAnswer::CApduAnswer(unsigned int ulLe, bool bExact)
    : m_ulLe(ulLe < APDU_MAX_PAYLOAD ? ulLe : APDU_MAX_PAYLOAD), m_ulLen(0), m_bExact(bExact)
{
    memset(m_pbData, 0, m_ulLe);
}

CApduAnswer::~CApduAnswer()
{
    OPENSSL_cleanse(m_pbData, m_ulLe);
}

unsigned int CApduAnswer::CopyTo(unsigned char *pbOut, unsigned int *pulOutLen) const
{
    if (pbOut != nullptr) memcpy(pbOut, m_pbData, m_ulLen);
    if (pulOutLen != nullptr) *pulOutLen = m_ulLen;
    return 0;
}

void CApduAnswer::Take(unsigned int ulOffset, unsigned int ulLen, unsigned char *pbOut) const
{
    if (pbOut == nullptr) return;
    for (unsigned int i = 0; i < ulLen; ++i) pbOut[i] = Byte(ulOffset + i);
}

/* ---- frame ---- */

unsigned int CheckChannelCipher(unsigned char byAlgID)
{
    if (byAlgID == SC_ALG_3DES_3KEY) {
        TRACE_STEP_FAIL("CheckChannelCipher", "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    return 0;
}

CAPDU::CAPDU(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout)
    : m_pDeviceInfo(pDeviceInfo),
      m_ulTimeout(ulTimeout),
      m_byCLA(0),
      m_byINS(0),
      m_byP1(0),
      m_byP2(0),
      m_usLc(0),
      m_usLe(0),
      m_pbData(nullptr)
{
}

CAPDU::~CAPDU()
{
    ResizeBody(0, false);
}

/* Replaces the body by usLen zeroed bytes (keeping the old bytes that fit
 * when bKeep); the old body is wiped. */
unsigned int CAPDU::ResizeBody(unsigned short usLen, bool bKeep)
{
    unsigned char *pbNew = nullptr;
    if (usLen != 0) {
        pbNew = new (std::nothrow) unsigned char[usLen]();
        if (pbNew == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        if (bKeep && m_pbData != nullptr) memcpy(pbNew, m_pbData, m_usLc < usLen ? m_usLc : usLen);
    }
    if (m_pbData != nullptr) {
        OPENSSL_cleanse(m_pbData, m_usLc);
        delete[] m_pbData;
    }
    m_pbData = pbNew;
    m_usLc = usLen;
    return 0;
}

unsigned int CAPDU::SetAPDUHeader(unsigned char byCLA, unsigned char byINS, unsigned char byP1, unsigned char byP2,
                                  unsigned short usLc, unsigned short usLe)
{
    m_byCLA = byCLA;
    m_byINS = byINS;
    m_byP1 = byP1;
    m_byP2 = byP2;
    m_usLe = usLe;
    unsigned int ulRet = ResizeBody(usLc, false);
    if (ulRet != 0) {
        TRACE_STEP_FAIL("SetAPDUHeader", "New buffer", ulRet);
        return ulRet;
    }
    return 0;
}

unsigned int CAPDU::SetAPDUData(const unsigned char *pbData, unsigned short usLen)
{
    if (usLen != 0 && pbData == nullptr) {
        TRACE_STEP_FAIL("SetAPDUData", "CHECK pbData", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    if (m_usLc < usLen || m_pbData == nullptr) {
        unsigned int ulRet = ResizeBody(usLen, false);
        if (ulRet != 0) {
            TRACE_STEP_FAIL("SetAPDUData", "New buffer", ulRet);
            return ulRet;
        }
    }
    if (usLen != 0) memcpy(m_pbData, pbData, usLen);
    if (m_usLc > usLen) OPENSSL_cleanse(m_pbData + usLen, m_usLc - usLen);
    m_usLc = usLen;
    return 0;
}

unsigned int CAPDU::SetAPDUData(unsigned short usOffset, const unsigned char *pbData, unsigned short usLen)
{
    unsigned int ulEnd = (unsigned int)usOffset + usLen;
    if (ulEnd == 0 || ulEnd > 0xFFFF || (usLen != 0 && pbData == nullptr)) {
        TRACE_STEP_FAIL("SetAPDUData", "Check buffer size", ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    if (m_usLc < ulEnd) {
        unsigned int ulRet = ResizeBody((unsigned short)ulEnd, true);
        if (ulRet != 0) {
            TRACE_STEP_FAIL("SetAPDUData", "New buffer", ulRet);
            return ulRet;
        }
    }
    if (usLen != 0) memcpy(m_pbData + usOffset, pbData, usLen);
    return 0;
}

unsigned int CAPDU::SetLc(unsigned short usLc)
{
    if (usLc == 0) {
        TRACE_STEP_FAIL("SetLc", "Check buffer size", ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    unsigned int ulRet = ResizeBody(usLc, false);
    if (ulRet != 0) TRACE_STEP_FAIL("SetLc", "New buffer", ulRet);
    return ulRet;
}

/* One cipher pass of the secure channel under the transfer key. */
static unsigned int ChannelCipher(CDeviceInfo *pInfo, bool bEncrypt, const unsigned char *pbIn, unsigned int ulInLen,
                                  unsigned char *pbOut, unsigned int *pulOutLen)
{
    const char *szOp = bEncrypt ? "GetCryptByte" : "GetPlainByte";
    const char *szStep = bEncrypt ? "CSymKeyHandle::Encrypt" : "CSymKeyHandle::Decrypt";
    if (pInfo == nullptr || pbIn == nullptr || pbOut == nullptr || pulOutLen == nullptr) {
        TRACE_STEP_FAIL(szOp, "CHECK arguments", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    unsigned int ulRet = CheckChannelCipher(pInfo->m_byAlgID);
    if (ulRet != 0) return ulRet;
    unsigned char *pbWork = new (std::nothrow) unsigned char[APDU_MAX_FRAME + 32];
    if (pbWork == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    unsigned int ulWorkLen = APDU_MAX_FRAME + 32;
    unsigned char *pbData = const_cast<unsigned char *>(pbIn);
    ulRet = bEncrypt ? CSymKeyHandle::Encrypt(pInfo->m_byAlgID, SC_MODE_CBC, pInfo->m_pbTransKey, nullptr, pbData,
                                              ulInLen, pbWork, &ulWorkLen)
                     : CSymKeyHandle::Decrypt(pInfo->m_byAlgID, SC_MODE_CBC, pInfo->m_pbTransKey, nullptr, pbData,
                                              ulInLen, pbWork, &ulWorkLen);
    if (ulRet == 0 && ulWorkLen > *pulOutLen) ulRet = ERR_BUFFER_TOO_SMALL;
    if (ulRet != 0) {
        TRACE_STEP_FAIL(szOp, szStep, ulRet);
    } else {
        memcpy(pbOut, pbWork, ulWorkLen);
        *pulOutLen = ulWorkLen;
    }
    OPENSSL_cleanse(pbWork, APDU_MAX_FRAME + 32);
    delete[] pbWork;
    return ulRet;
}

unsigned int CAPDU::GetCryptByte(const unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen)
{
    return ChannelCipher(m_pDeviceInfo, true, pbIn, ulInLen, pbOut, pulOutLen);
}

unsigned int CAPDU::GetPlainByte(const unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen)
{
    return ChannelCipher(m_pDeviceInfo, false, pbIn, ulInLen, pbOut, pulOutLen);
}

unsigned int CAPDU::GetReturnCode(const unsigned char *pbSW)
{
    unsigned int ulSW = ((unsigned int)pbSW[0] << 8) | pbSW[1];
    return ulSW == 0x9000 ? 0 : SARN_SW_CODE(ulSW);
}

unsigned int CAPDU::TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                                  unsigned int *pulAnswerLen)
{
    return SarnSendCommand(m_pDeviceInfo->m_hDevice, pbFrame, ulFrameLen, pbAnswer, pulAnswerLen, m_ulTimeout);
}

/* Frame of the current command into pbFrame (APDU_MAX_FRAME bytes). */
unsigned int CAPDU::BuildFrame(unsigned char *pbFrame, unsigned int *pulFrameLen, bool *pbSecure)
{
    static const char *OP = "SendAPDUCmd";
    *pbSecure = (m_byCLA == APDU_CLA_SECURE);
    unsigned int ulBodyLen = m_usLc;
    if (*pbSecure) {
        if (m_pDeviceInfo->m_bySecurityMode != SECURITY_MODE_SECURE) {
            TRACE_STEP_FAIL(OP, "CHECK SecurityMode", ERR_NO_SECURE_CHANNEL);
            return ERR_NO_SECURE_CHANNEL;
        }
        if ((unsigned int)m_usLc + APDU_SECURE_PREFIX > APDU_MAX_BODY) {
            TRACE_STEP_FAIL(OP, "CHECK Lc", ERR_BAD_LENGTH);
            return ERR_BAD_LENGTH;
        }
        unsigned char *pbBlock = new (std::nothrow) unsigned char[APDU_SECURE_PREFIX + m_usLc];
        if (pbBlock == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        pbBlock[0] = m_pDeviceInfo->m_pbSessionID[0];
        pbBlock[1] = m_pDeviceInfo->m_pbSessionID[1];
        Interger_Array_BigEndian_A(pbBlock + 2, 2, m_usLc);
        if (m_usLc != 0) memcpy(pbBlock + APDU_SECURE_PREFIX, m_pbData, m_usLc);
        ulBodyLen = APDU_MAX_BODY;
        unsigned int ulRet = GetCryptByte(pbBlock, APDU_SECURE_PREFIX + m_usLc, pbFrame + APDU_HEADER_LEN, &ulBodyLen);
        OPENSSL_cleanse(pbBlock, APDU_SECURE_PREFIX + m_usLc);
        delete[] pbBlock;
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "GetCryptByte", ulRet);
            return ulRet == ERR_BUFFER_TOO_SMALL ? ERR_BAD_LENGTH : ulRet;
        }
    } else {
        if (ulBodyLen > APDU_MAX_BODY) {
            TRACE_STEP_FAIL(OP, "CHECK Lc", ERR_BAD_LENGTH);
            return ERR_BAD_LENGTH;
        }
        if (ulBodyLen != 0) memcpy(pbFrame + APDU_HEADER_LEN, m_pbData, ulBodyLen);
    }
    pbFrame[0] = *pbSecure ? APDU_CLA_SECURE : APDU_CLA_PLAIN;
    pbFrame[1] = m_byINS;
    pbFrame[2] = m_byP1;
    pbFrame[3] = m_byP2;
    Interger_Array_BigEndian_A(pbFrame + 4, 2, (int)ulBodyLen);
    Interger_Array_BigEndian_A(pbFrame + 6, 2, m_usLe);
    *pulFrameLen = APDU_HEADER_LEN + ulBodyLen;
    return 0;
}

/* Status word, session id and payload of an answer.  An answer (or a
 * decrypted block) shorter than its 4 leading bytes is refused with 260 and
 * changes nothing. */
unsigned int CAPDU::ReadAnswer(bool bSecure, unsigned char *pbAnswer, unsigned int ulAnswerLen, unsigned char *pbRecv,
                               unsigned int *pnRecvLen, bool *pbRead)
{
    static const char *OP = "SendAPDUCmd";
    if (ulAnswerLen < 4) {
        TRACE_STEP_FAIL(OP, "CHECK answer length", ERR_BAD_LENGTH);
        return ERR_BAD_LENGTH;
    }
    const unsigned char *pbPayload = pbAnswer + 4;
    unsigned int ulPayloadLen = ulAnswerLen - 4;
    unsigned char *pbPlain = nullptr;
    unsigned int ulRet = 0;
    if (bSecure && ulAnswerLen > 4) {
        pbPlain = new (std::nothrow) unsigned char[APDU_MAX_ANSWER];
        if (pbPlain == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        unsigned int ulPlainLen = APDU_MAX_ANSWER;
        ulRet = GetPlainByte(pbAnswer + 4, ulAnswerLen - 4, pbPlain, &ulPlainLen);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "GetPlainByte", ulRet);
        } else if (ulPlainLen < 4) {
            ulRet = ERR_BAD_LENGTH;
            TRACE_STEP_FAIL(OP, "CHECK plain answer length", ulRet);
        } else {
            m_pDeviceInfo->SetSessionID(pbPlain);
            pbPayload = pbPlain + 4;
            ulPayloadLen = ulPlainLen - 4;
        }
    }
    if (ulRet == 0) {
        *pbRead = true;
        ulRet = GetReturnCode(pbAnswer);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "CHECK SW1SW2", ulRet);
    }
    if (ulRet == 0 && pbRecv != nullptr && pnRecvLen != nullptr) {
        if (*pnRecvLen < ulPayloadLen) {
            ulRet = ERR_BUFFER_TOO_SMALL;
            TRACE_STEP_FAIL(OP, "CHECK *pnRecvLen SIZE", ulRet);
        } else {
            memcpy(pbRecv, pbPayload, ulPayloadLen);
            *pnRecvLen = ulPayloadLen;
        }
    }
    if (pbPlain != nullptr) {
        OPENSSL_cleanse(pbPlain, APDU_MAX_ANSWER);
        delete[] pbPlain;
    }
    return ulRet;
}

unsigned int CAPDU::SendAPDUCmd(unsigned char *pbRecv, unsigned int *pnRecvLen)
{
    static const char *OP = "SendAPDUCmd";
    if (m_pDeviceInfo == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK m_pDeviceInfo", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    unsigned char *pbFrame = new (std::nothrow) unsigned char[APDU_MAX_FRAME + APDU_MAX_ANSWER];
    if (pbFrame == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    unsigned char *pbAnswer = pbFrame + APDU_MAX_FRAME;
    unsigned int ulFrameLen = 0;
    bool bSecure = false;
    unsigned int ulRet = BuildFrame(pbFrame, &ulFrameLen, &bSecure);
    unsigned int ulAnswerLen = APDU_MAX_ANSWER;
    bool bSent = false, bRead = false;
    if (ulRet == 0) {
        bSent = true;
        ulRet = TransmitFrame(pbFrame, ulFrameLen, pbAnswer, &ulAnswerLen);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "SarnSendCommand", ulRet);
    }
    if (ulRet == 0) ulRet = ReadAnswer(bSecure, pbAnswer, ulAnswerLen, pbRecv, pnRecvLen, &bRead);
    /* The channel is in doubt when the token refused it, and when a secure
     * command went out but its answer was lost or unreadable: the token may
     * have carried it out and moved on to a session id never learnt here. */
    if (bSecure && (ApduChannelRefused(ulRet) || (bSent && !bRead))) m_pDeviceInfo->ForgetChannelCheck();
    OPENSSL_cleanse(pbFrame, APDU_MAX_FRAME + APDU_MAX_ANSWER);
    delete[] pbFrame;
    return ulRet;
}

unsigned int CAPDU::SendCommand(const char *szOperation, const APDU_HEADER &stHeader, const CApduBody *pBody,
                                CApduAnswer *pAnswer)
{
    unsigned short usLe = pAnswer != nullptr ? (unsigned short)pAnswer->Le() : 0;
    unsigned int ulRet = SetAPDUHeader(stHeader.byCLA, stHeader.byINS, stHeader.byP1, stHeader.byP2, 0, usLe);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(szOperation, "SetAPDUHeader", ulRet);
        return ulRet;
    }
    if (pBody != nullptr) {
        ulRet = pBody->Overflowed() ? ERR_BAD_LENGTH : SetAPDUData(pBody->Data(), (unsigned short)pBody->Length());
        if (ulRet != 0) {
            TRACE_STEP_FAIL(szOperation, "SetAPDUData", ulRet);
            return ulRet;
        }
    }
    unsigned int ulLen = usLe;
    ulRet = pAnswer != nullptr ? SendAPDUCmd(pAnswer->m_pbData, &ulLen) : SendAPDUCmd(nullptr, nullptr);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(szOperation, "SendAPDUCmd", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(szOperation, "SendAPDUCmd");
    if (pAnswer != nullptr) {
        if (pAnswer->m_bExact && ulLen != pAnswer->m_ulLe) {
            OPENSSL_cleanse(pAnswer->m_pbData, pAnswer->m_ulLe);
            TRACE_STEP_FAIL(szOperation, "CHECK answer length", ERR_BAD_LENGTH);
            return ERR_BAD_LENGTH;
        }
        pAnswer->m_ulLen = ulLen;
    }
    return 0;
}

unsigned int CAPDU::Query(const char *szOperation, const APDU_HEADER &stHeader, unsigned int ulLe,
                          unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduAnswer answer(ulLe);
    unsigned int ulRet = SendCommand(szOperation, stHeader, nullptr, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(szOperation, answer, pbOut, pulOutLen);
}

unsigned int CAPDU::Submit(const char *szOperation, const APDU_HEADER &stHeader, const unsigned char *pbData,
                           unsigned int ulLen)
{
    CApduBody body;
    body.Bytes(pbData, ulLen);
    return SendCommand(szOperation, stHeader, &body, nullptr);
}
