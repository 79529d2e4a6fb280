/* CAPDU: the root of the token command classes and the only road from the
 * middleware to the token.  A command is a header (class, INS, P1, P2) and a
 * body; SendAPDUCmd frames it, wraps the body under the session key when the
 * command is a secure one, sends the frame through the transport, unwraps
 * the answer, follows the session identifier the token hands back and maps
 * the status word to a result code.
 *
 * Frame: CLA INS P1 P2, body length (2, big-endian), Le (2, big-endian),
 * body.  Secure block (encrypted for CLA 0xB4): session id (2), Lc (2,
 * big-endian), body.  Answer: SW1 SW2, two bytes not read, payload; for a
 * secure command with more than 4 answer bytes the rest is an encrypted
 * block whose first two bytes are the next session id.
 *
 * The command classes build every command with SendCommand: a header row of
 * the wire table, a body assembled with CApduBody (its limit is the
 * command's body buffer), and the payload received into a CApduAnswer of
 * Le bytes; Query and Submit cover the two commonest rows.  A command method
 * then reads like its row:
 *
 *   CApduBody body(256);
 *   body.U16(usAppID).Bytes(pbData, ulLen);
 *   CApduAnswer answer(16);
 *   unsigned int ulRet = SendCommand("VerifyPIN_Response", {APDU_CLA_SECURE, 0x18, 0x01, byPINType},
 *                                    &body, &answer);
 *   return ulRet != 0 ? ulRet : answer.CopyTo(pbOut, pulOutLen);
 *
 * Outputs are written only on success. */
#ifndef BRIO_SARNCORE_APDU_H
#define BRIO_SARNCORE_APDU_H

#include "SarnComm/SarnErrors.h"
#include "SarnCore/DeviceInfo.h"

#define APDU_CLA_PLAIN 0xB0u
#define APDU_CLA_SECURE 0xB4u
#define APDU_HEADER_LEN 8u
#define APDU_MAX_FRAME 4096u
#define APDU_MAX_BODY (APDU_MAX_FRAME - APDU_HEADER_LEN)        /* 4088 */
#define APDU_MAX_ANSWER APDU_MAX_FRAME
#define APDU_MAX_PAYLOAD (APDU_MAX_ANSWER - 4u)
#define APDU_SECURE_PREFIX 4u                                    /* session id and Lc */

/* Results of a secure command that show the token does not take the
 * connection's secure channel: wrong padding or session (F5 25, F5 26) or a
 * secure block of a wrong length (67 00) from the token, or no channel on
 * this side (ERR_NO_SECURE_CHANNEL). */
inline bool ApduChannelRefused(unsigned int ulRet)
{
    return ulRet == SARN_SW_CODE(0xF525) || ulRet == SARN_SW_CODE(0xF526) || ulRet == SARN_SW_CODE(0x6700) ||
           ulRet == ERR_NO_SECURE_CHANNEL;
}

/* One row of the wire table: class, instruction and parameters. */
struct APDU_HEADER {
    unsigned char byCLA;
    unsigned char byINS;
    unsigned char byP1;
    unsigned char byP2;
};

/* A command body assembled in order, numbers big-endian.  Growing past the
 * limit (the command's body buffer) marks it overflowed and SendCommand then
 * refuses the command with 260 without sending anything.  Wiped when
 * destroyed: bodies carry PIN and key material. */
class CApduBody {
public:
    explicit CApduBody(unsigned int ulLimit = APDU_MAX_BODY);
    ~CApduBody();
    CApduBody(const CApduBody &) = delete;
    CApduBody &operator=(const CApduBody &) = delete;

    CApduBody &U8(unsigned int ulValue);
    CApduBody &U16(unsigned int ulValue);
    CApduBody &U32(unsigned int ulValue);
    /* ulLen bytes copied unchanged; a null pointer with a length overflows. */
    CApduBody &Bytes(const unsigned char *pbData, unsigned int ulLen);

    const unsigned char *Data() const { return m_pbData; }
    unsigned int Length() const { return m_ulLen; }
    bool Overflowed() const { return m_bOverflow; }

private:
    unsigned char *Reserve(unsigned int ulLen);

    unsigned char m_pbData[APDU_MAX_BODY];
    unsigned int m_ulLen;
    unsigned int m_ulLimit;
    bool m_bOverflow;
};

/* The payload of one answer: a zero-filled area of Le bytes (the capacity;
 * a longer payload fails with 259).  With bExact the answer is a record of
 * exactly Le bytes and any other length fails with 260, nothing taken.
 * Wiped when destroyed. */
class CApduAnswer {
public:
    explicit CApduAnswer(unsigned int ulLe, bool bExact = false);
    ~CApduAnswer();
    CApduAnswer(const CApduAnswer &) = delete;
    CApduAnswer &operator=(const CApduAnswer &) = delete;

    unsigned int Le() const { return m_ulLe; }
    bool Exact() const { return m_bExact; }
    unsigned int Length() const { return m_ulLen; }
    const unsigned char *Data() const { return m_pbData; }
    unsigned char Byte(unsigned int ulIndex) const { return ulIndex < m_ulLe ? m_pbData[ulIndex] : 0; }
    /* The payload as received to pbOut and its length to *pulOutLen (each
     * skipped when null); returns 0. */
    unsigned int CopyTo(unsigned char *pbOut, unsigned int *pulOutLen) const;
    /* Exactly ulLen bytes from ulOffset, zero where the token sent none. */
    void Take(unsigned int ulOffset, unsigned int ulLen, unsigned char *pbOut) const;

private:
    friend class CAPDU;
    unsigned char m_pbData[APDU_MAX_PAYLOAD];
    unsigned int m_ulLe;
    unsigned int m_ulLen;
    bool m_bExact;
};

class CAPDU {
public:
    CAPDU(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDU();
    CAPDU(const CAPDU &) = delete;
    CAPDU &operator=(const CAPDU &) = delete;

    unsigned int SetAPDUHeader(unsigned char byCLA, unsigned char byINS, unsigned char byP1, unsigned char byP2,
                               unsigned short usLc, unsigned short usLe);
    unsigned int SetAPDUData(const unsigned char *pbData, unsigned short usLen);
    unsigned int SetAPDUData(unsigned short usOffset, const unsigned char *pbData, unsigned short usLen);
    unsigned int SetLc(unsigned short usLc);

    unsigned int GetCryptByte(const unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                              unsigned int *pulOutLen);
    unsigned int GetPlainByte(const unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                              unsigned int *pulOutLen);
    static unsigned int GetReturnCode(const unsigned char *pbSW);

    /* *pnRecvLen: capacity in, payload length out; both may be null when the
     * payload is not wanted. */
    unsigned int SendAPDUCmd(unsigned char *pbRecv, unsigned int *pnRecvLen);

    CDeviceInfo *DeviceInfo() const { return m_pDeviceInfo; }

protected:
    /* The pattern of every command method: header, body, send, payload.
     * pBody and pAnswer may be null (no body, no answer wanted).  Each step
     * is traced with szOperation; the first failing step's code returns. */
    unsigned int SendCommand(const char *szOperation, const APDU_HEADER &stHeader, const CApduBody *pBody,
                             CApduAnswer *pAnswer);

    /* The two commonest rows: no body and the answer to the caller as
     * received (each output skipped when null; with both given *pulOutLen is
     * the room, and a longer answer fails with 259 and the length needed);
     * the caller's data as the body and no answer. */
    unsigned int Query(const char *szOperation, const APDU_HEADER &stHeader, unsigned int ulLe, unsigned char *pbOut,
                       unsigned int *pulOutLen);
    unsigned int Submit(const char *szOperation, const APDU_HEADER &stHeader, const unsigned char *pbData,
                        unsigned int ulLen);

    /* Hands one frame to the transport and takes its answer. */
    virtual unsigned int TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                                       unsigned int *pulAnswerLen);

    CDeviceInfo *m_pDeviceInfo;
    unsigned int m_ulTimeout;
    unsigned char m_byCLA;
    unsigned char m_byINS;
    unsigned char m_byP1;
    unsigned char m_byP2;
    unsigned short m_usLc;
    unsigned short m_usLe;
    unsigned char *m_pbData;

private:
    unsigned int ResizeBody(unsigned short usLen, bool bKeep);
    unsigned int BuildFrame(unsigned char *pbFrame, unsigned int *pulFrameLen, bool *pbSecure);
    /* *pbRead: the answer was read as far as its status word (and, for a
     * secure command, the session id it hands back). */
    unsigned int ReadAnswer(bool bSecure, unsigned char *pbAnswer, unsigned int ulAnswerLen, unsigned char *pbRecv,
                            unsigned int *pnRecvLen, bool *pbRead);
};

/* The cipher of the secure channel for an algorithm byte: three-key triple
 * DES (4) needs 24 key bytes where the record has 16 and is refused (276). */
unsigned int CheckChannelCipher(unsigned char byAlgID);

#endif
