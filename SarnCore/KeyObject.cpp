#include "SarnCore/KeyObject.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/OperatorSteps.h"

#define RSA_PAD_PKCS1 1
#define RSA_PAD_NONE 3
#define RSA_PKCS1_OVERHEAD 11u

bool RsaSignatureBlock(const unsigned char *pbData, unsigned int ulLen, unsigned int k, unsigned char *pbBlock)
{
    if (k < RSA_PKCS1_OVERHEAD || ulLen > k - RSA_PKCS1_OVERHEAD) return false;
    pbBlock[0] = 0x00;
    pbBlock[1] = 0x01;
    memset(pbBlock + 2, 0xFF, k - ulLen - 3);
    pbBlock[k - ulLen - 1] = 0x00;
    memcpy(pbBlock + k - ulLen, pbData, ulLen);
    return true;
}

/* ---- CAsymKeyObject: common state, the entry points and their checks ---- */

CAsymKeyObject::CAsymKeyObject() : m_pDevCtx(nullptr), m_usKeyFID(0), m_byAlgID(0)
{
}

CAsymKeyObject::~CAsymKeyObject()
{
}

void *CAsymKeyObject::SetDeviceContext(void *pDevCtx)
{
    return m_pDevCtx = pDevCtx;
}

void *CAsymKeyObject::GetDeviceContext()
{
    return m_pDevCtx;
}

unsigned short CAsymKeyObject::SetKeyFID(unsigned short usKeyFID)
{
    return m_usKeyFID = usKeyFID;
}

unsigned short CAsymKeyObject::GetKeyFID()
{
    return m_usKeyFID;
}

unsigned char CAsymKeyObject::GetAlgID()
{
    return m_byAlgID;
}

unsigned char CAsymKeyObject::SetAlgID(unsigned char byAlgID)
{
    return m_byAlgID = byAlgID;
}

unsigned int CAsymKeyObject::GetOutlen(unsigned char, unsigned int)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::Decrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::SignDisp(unsigned char, unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::SignDigest(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::Encrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::Verify(unsigned char, unsigned char *, unsigned int, unsigned char *, unsigned int)
{
    return ERR_UNSUPPORTED;
}

unsigned int CAsymKeyObject::RunStoredKey(const char *pszOperation, const char *pszStep, StoredKeyCommand pfnCommand,
                                          unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                          unsigned int *pnOutlen)
{
    OP_STEP(pszOperation, pszStep,
            (Context()->GetAPDUCrypto()->*pfnCommand)(Context()->GetDeviceHandle()->m_pbAuthCode, OPERATOR_APP_ID,
                                                      m_usKeyFID, pbyInbuf, nInlen, pbyOutbuf, pnOutlen));
    return 0;
}

unsigned int CAsymKeyObject::ExportKey(const char *pszOperation, void *pKeyRecord)
{
    OP_STEP(pszOperation, "m_pDevCtx->GetAPDUKey()->ExportPublicKey",
            Context()->GetAPDUKey()->ExportPublicKey(OPERATOR_APP_ID, m_usKeyFID, m_byAlgID, pKeyRecord));
    return 0;
}

/* The checks every entry point starts with: a context, and room for what the
 * operation gives (need, reported in the out length when short). */
#define KEY_CHECK_CONTEXT(op, pulOut)                                  \
    do {                                                               \
        if (m_pDevCtx == nullptr) {                                    \
            if ((pulOut) != nullptr) *(pulOut) = 0;                    \
            TRACE_STEP_FAIL((op), "CHECK m_pDevCtx", ERR_NO_CONTEXT);  \
            return ERR_NO_CONTEXT;                                     \
        }                                                              \
    } while (0)

#define KEY_CHECK_ROOM(op, pulOut, ulNeed, step)                          \
    do {                                                                  \
        OP_CHECK_PTR((op), pulOut);                                       \
        if (*(pulOut) < (ulNeed)) {                                       \
            *(pulOut) = (ulNeed);                                         \
            TRACE_STEP_FAIL((op), (step), ERR_BUFFER_TOO_SMALL);          \
            return ERR_BUFFER_TOO_SMALL;                                  \
        }                                                                 \
    } while (0)

unsigned int CAsymKeyObject::PubkeyEnc(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                       unsigned int *pbyOutLen)
{
    static const char *OP = "PubkeyEnc";
    KEY_CHECK_CONTEXT(OP, pbyOutLen);
    OP_CHECK_PTR(OP, pbyInbuf);
    OP_CHECK_PTR(OP, pbyOutbuf);
    unsigned int ulNeed = GetOutlen(ASYM_OP_ENCRYPT, nInlen);
    KEY_CHECK_ROOM(OP, pbyOutLen, ulNeed, "CHECK *pbyOutLen SIZE");
    unsigned int ulLen = ulNeed;
    unsigned int ulRet = Encrypt(pbyInbuf, nInlen, pbyOutbuf, &ulLen);
    *pbyOutLen = ulLen;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "Encrypt", ulRet);
    return ulRet;
}

unsigned int CAsymKeyObject::PubkeyVerify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                                          unsigned char *pbySign, unsigned int nSignlen)
{
    static const char *OP = "PubkeyVerify";
    KEY_CHECK_CONTEXT(OP, (unsigned int *)nullptr);
    OP_CHECK_PTR(OP, pbyHash);
    OP_CHECK_PTR(OP, pbySign);
    OP_CHECK(OP, nSignlen == GetOutlen(ASYM_OP_VERIFY, nSignlen), "nSignlen", ERR_NULL_ARGUMENT);
    OP_STEP(OP, "Verify", Verify(byHashID, pbyHash, nHashlen, pbySign, nSignlen));
    return 0;
}

unsigned int CAsymKeyObject::PrikeySign(unsigned int nMode, unsigned char byHashID, unsigned char *pbyInbuf,
                                        unsigned int nInlen, unsigned char *pbyOutbuf, unsigned int *pbyOutLen)
{
    static const char *OP = "PrikeySign";
    KEY_CHECK_CONTEXT(OP, pbyOutLen);
    OP_CHECK_PTR(OP, pbyInbuf);
    OP_CHECK_PTR(OP, pbyOutbuf);
    unsigned int ulNeed = GetOutlen(ASYM_OP_SIGN, nInlen);
    KEY_CHECK_ROOM(OP, pbyOutLen, ulNeed, "CHECK *pbyOutLen SIZE");
    *pbyOutLen = ulNeed;
    OP_STEP(OP, "SetSessionKey", Context()->SetSessionKey(false));
    unsigned int ulLen = ulNeed;
    unsigned int ulRet = nMode == ASYM_SIGN_DISP ? SignDisp(byHashID, pbyInbuf, nInlen, pbyOutbuf, &ulLen)
                                                 : SignDigest(pbyInbuf, nInlen, pbyOutbuf, &ulLen);
    *pbyOutLen = ulLen;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, nMode == ASYM_SIGN_DISP ? "SignDisp" : "SignDigest", ulRet);
    return ulRet;
}

unsigned int CAsymKeyObject::PrikeyDec(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                       unsigned int *pnOutlen)
{
    static const char *OP = "PrikeyDec";
    KEY_CHECK_CONTEXT(OP, pnOutlen);
    OP_CHECK_PTR(OP, pbyInbuf);
    OP_CHECK_PTR(OP, pbyOutbuf);
    unsigned int ulNeed = GetOutlen(ASYM_OP_DECRYPT, nInlen);
    KEY_CHECK_ROOM(OP, pnOutlen, ulNeed, "CHECK *pnOutlen SIZE");
    *pnOutlen = ulNeed;
    OP_STEP(OP, "SetSessionKey", Context()->SetSessionKey(false));
    unsigned int ulLen = ulNeed;
    unsigned int ulRet = Decrypt(pbyInbuf, nInlen, pbyOutbuf, &ulLen);
    *pnOutlen = ulLen;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "Decrypt", ulRet);
    return ulRet;
}

/* ---- CSM2DevObj ---- */

unsigned char CSM2DevObj::SetAlgID(unsigned char byAlgID)
{
    return m_byAlgID = byAlgID;
}

unsigned int CSM2DevObj::GetOutlen(unsigned char byOperation, unsigned int nInlen)
{
    switch (byOperation) {
    case ASYM_OP_ENCRYPT: return nInlen + SM2_CIPHER_OVERHEAD;
    /* A cipher text without room for C1 and C3 has no plain text. */
    case ASYM_OP_DECRYPT: return nInlen > SM2_CIPHER_OVERHEAD ? nInlen - SM2_CIPHER_OVERHEAD : 0;
    case ASYM_OP_SIGN:
    case ASYM_OP_VERIFY: return SM2_SIGNATURE_LEN;
    default: return 0;
    }
}

unsigned int CSM2DevObj::Decrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen)
{
    static const char *OP = "Decrypt";
    OP_CHECK(OP, nInlen > SM2_CIPHER_OVERHEAD, "nInlen", ERR_BAD_LENGTH);
    return RunStoredKey(OP, "m_pDevCtx->GetAPDUCrypto()->SM2Decrypt", &CAPDUCrypto::SM2Decrypt, pbyInbuf, nInlen,
                        pbyOutbuf, pnOutlen);
}

unsigned int CSM2DevObj::SignDisp(unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutlen)
{
    static const char *OP = "SignDisp";
    OP_CHECK(OP, byHashID == SC_HASH_SM3, "byHashID", ERR_BAD_ALGORITHM);
    return RunStoredKey(OP, "m_pDevCtx->GetAPDUCrypto()->SM2SignDisp", &CAPDUCrypto::SM2SignDisp, pbyInbuf, nInlen,
                        pbyOutbuf, pnOutlen);
}

unsigned int CSM2DevObj::SignDigest(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                    unsigned int *pnOutlen)
{
    static const char *OP = "SignDigest";
    OP_CHECK(OP, nInlen == SM2_DIGEST_LEN, "nInlen", ERR_BAD_LENGTH);
    return RunStoredKey(OP, "m_pDevCtx->GetAPDUCrypto()->SM2SignDigest", &CAPDUCrypto::SM2SignDigest, pbyInbuf,
                        SM2_DIGEST_LEN, pbyOutbuf, pnOutlen);
}

unsigned int CSM2DevObj::Encrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen)
{
    static const char *OP = "Encrypt";
    _QV_SM2_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    unsigned int ulRet = ExportKey(OP, &stKey);
    if (ulRet != 0) return ulRet;
    ulRet = SM2_Encrypt(&stKey, pbyInbuf, nInlen, pbyOutbuf, pnOutlen);
    OP_CHECK(OP, ulRet == 0, "SM2_Encrypt", ERR_ENCRYPT_FAILED);
    return 0;
}

unsigned int CSM2DevObj::Verify(unsigned char, unsigned char *pbyHash, unsigned int nHashlen, unsigned char *pbySign,
                                unsigned int nSignlen)
{
    static const char *OP = "Verify";
    OP_CHECK(OP, nHashlen == SM2_DIGEST_LEN, "nHashlen", ERR_BAD_LENGTH);
    _QV_SM2_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    unsigned int ulRet = ExportKey(OP, &stKey);
    if (ulRet != 0) return ulRet;
    ulRet = SM2_Verify(&stKey, pbyHash, pbySign, nSignlen);
    OP_CHECK(OP, ulRet == 0, "SM2_Verify", ERR_VERIFY_FAILED);
    return 0;
}

/* ---- CRSADevObj ---- */

CRSADevObj::CRSADevObj() : m_ulModulusLen(128)
{
}

unsigned char CRSADevObj::SetAlgID(unsigned char byAlgID)
{
    if (byAlgID == TOKEN_ALG_RSA2048) m_ulModulusLen = 256;
    else if (byAlgID == TOKEN_ALG_RSA1024) m_ulModulusLen = 128;
    return m_byAlgID = byAlgID;
}

unsigned int CRSADevObj::GetOutlen(unsigned char, unsigned int)
{
    return m_ulModulusLen;
}

unsigned int CRSADevObj::Decrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen)
{
    static const char *OP = "Decrypt";
    OP_CHECK(OP, nInlen == m_ulModulusLen, "nInlen", ERR_BAD_LENGTH);
    OP_STEP(OP, "m_pDevCtx->GetAPDUCrypto()->RSAPriKeyRaw",
            Context()->GetAPDUCrypto()->RSAPriKeyRaw(Context()->GetDeviceHandle()->m_pbAuthCode, OPERATOR_APP_ID,
                                                     m_usKeyFID, m_byAlgID, pbyInbuf, nInlen, pbyOutbuf, pnOutlen));
    return 0;
}

unsigned int CRSADevObj::SignDisp(unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutlen)
{
    OP_STEP("SignDisp", "m_pDevCtx->GetAPDUCrypto()->RSASignDisp",
            Context()->GetAPDUCrypto()->RSASignDisp(Context()->GetDeviceHandle()->m_pbAuthCode, OPERATOR_APP_ID,
                                                    m_usKeyFID, m_byAlgID, byHashID, pbyInbuf, nInlen, pbyOutbuf,
                                                    pnOutlen));
    return 0;
}

unsigned int CRSADevObj::SignDigest(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                    unsigned int *pnOutlen)
{
    static const char *OP = "SignDigest";
    const unsigned int k = m_ulModulusLen;
    unsigned char pbBlock[SC_RSA_MAX_BYTES];
    if (nInlen >= 2 && pbyInbuf[0] == 0x00 && pbyInbuf[1] == 0x01) {
        OP_CHECK(OP, nInlen == k, "nInlen", ERR_BAD_LENGTH);
        memcpy(pbBlock, pbyInbuf, k);
    } else {
        OP_CHECK(OP, RsaSignatureBlock(pbyInbuf, nInlen, k, pbBlock), "nInlen", ERR_BAD_LENGTH);
        CDeviceContext::TraceInfo("Trace function: (%s - %s)\n", "SignDigest", "PKCS#1 Padding");
    }
    unsigned int ulRet = Context()->GetAPDUCrypto()->RSAPriKeyRaw(Context()->GetDeviceHandle()->m_pbAuthCode,
                                                                  OPERATOR_APP_ID, m_usKeyFID, m_byAlgID, pbBlock, k,
                                                                  pbyOutbuf, pnOutlen);
    OPENSSL_cleanse(pbBlock, sizeof(pbBlock));
    OP_STEP(OP, "m_pDevCtx->GetAPDUCrypto()->RSAPriKeyRaw", ulRet);
    return 0;
}

unsigned int CRSADevObj::Encrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen)
{
    static const char *OP = "Encrypt";
    _QV_RSA_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    unsigned int ulRet = ExportKey(OP, &stKey);
    if (ulRet != 0) return ulRet;
    const unsigned int m = stKey.NLen;
    int nPadding = RSA_PAD_PKCS1;
    if (nInlen >= 2 && pbyInbuf[0] == 0x00 && pbyInbuf[1] == 0x02) {
        OP_CHECK(OP, nInlen == m, "nInlen", ERR_BAD_LENGTH);
        nPadding = RSA_PAD_NONE;
    } else {
        OP_CHECK(OP, nInlen + RSA_PKCS1_OVERHEAD <= m, "nInlen", ERR_BAD_LENGTH);
    }
    /* The output holds the modulus length (checked by PubkeyEnc). */
    OP_CHECK(OP, *pnOutlen >= m, "*pnOutlen SIZE", ERR_BUFFER_TOO_SMALL);
    ulRet = RSA_Encrypt(&stKey, pbyInbuf, nInlen, pbyOutbuf, pnOutlen, nPadding);
    OP_CHECK(OP, ulRet == 0, "RSA_Encrypt", ERR_ENCRYPT_FAILED);
    return 0;
}

unsigned int CRSADevObj::Verify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                                unsigned char *pbySign, unsigned int nSignlen)
{
    static const char *OP = "Verify";
    unsigned int ulHashLen = 0;
    switch (byHashID) {
    case SC_HASH_MD5: ulHashLen = 16; break;
    case SC_HASH_SHA1: ulHashLen = 20; break;
    case SC_HASH_SHA256: ulHashLen = 32; break;
    case SC_HASH_SHA512: ulHashLen = 64; break;
    case SC_HASH_SHA1_MD5: ulHashLen = 36; break;
    default: TRACE_STEP_FAIL(OP, "CHECK byHashID", ERR_BAD_ALGORITHM); return ERR_BAD_ALGORITHM;
    }
    OP_CHECK(OP, nHashlen == ulHashLen, "nHashlen", ERR_BAD_LENGTH);
    _QV_RSA_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    unsigned int ulRet = ExportKey(OP, &stKey);
    if (ulRet != 0) return ulRet;
    ulRet = RSA_Verify(&stKey, byHashID, pbyHash, pbySign, nSignlen);
    OP_CHECK(OP, ulRet == 0, "RSA_Verify", ERR_VERIFY_FAILED);
    return 0;
}
