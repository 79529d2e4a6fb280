/* The table of command methods and answer-reading operations that the
 * hostile-answer tests and the answer fuzz target drive: one connection
 * over a scripted token (Env), and per row the method called with its
 * outputs at the very end of heap blocks, the length of a well-formed
 * answer, what a careful reader must do with other answers (flags) and the
 * well-formed answers that lead up to the one under test (prelude). */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "FakeToken.h"
#include "SarnCore/APDUChipBrio.h"
#include "SarnCore/APDUContainer.h"
#include "SarnCore/APDUCrypto.h"
#include "SarnCore/APDUFile.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/APDUPin.h"
#include "SarnCore/BrioOperator.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "SarnCore/KeyObject.h"
#include "SarnCore/KeyObjectBrio.h"

namespace hostile {

const unsigned char CANARY = 0xC5;
const size_t COMMAND_LIMIT = 5000;

/* The message signature's fetch gives up after 300 ms here, not 30 s. */
class QuickCrypto : public CFakeLink<CAPDUCrypto> {
public:
    QuickCrypto(CDeviceInfo *pInfo, FakeToken *pToken) : CFakeLink<CAPDUCrypto>(pInfo, pToken)
    {
        m_ulButtonWaitMs = 300;
    }
};

/* An operator whose session is taken as set up: every answer goes to the
 * operation's own commands. */
template <class T>
class Sessionless : public T {
public:
    using T::T;
    unsigned int SetSessionKey(bool) override { return 0; }
};

/* A real RSA-1024 PIN key, so that challenge answers of the right shape
 * lead on to the answer command. */
inline const Bytes &PinModulus()
{
    static const Bytes modulus = [] {
        EVP_PKEY *pKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)1024);
        BIGNUM *n = nullptr;
        EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &n);
        Bytes out(128);
        BN_bn2binpad(n, out.data(), 128);
        BN_free(n);
        EVP_PKEY_free(pKey);
        return out;
    }();
    return modulus;
}

inline ScriptedAnswer Ok(Bytes payload = {})
{
    ScriptedAnswer a;
    a.payload = std::move(payload);
    return a;
}

inline ScriptedAnswer Challenge()
{
    Bytes b(16, 0x3C);
    b.insert(b.end(), PinModulus().begin(), PinModulus().end());
    b.insert(b.end(), {0x00, 0x01, 0x00, 0x01});
    return Ok(b);
}

/* The open-container answer of an SM2 container with both key pairs. */
inline ScriptedAnswer Sm2Container()
{
    return Ok({2, 0, 0x2F, 0x00, 17, 1, 17, 1});
}

/* Device information of an SM2/SM4 token (algorithm byte 0x13). */
inline Bytes DevInfo()
{
    Bytes b(288, 0);
    b[214] = 0x13;  /* ulDevAuthAlgId, big-endian: its second-lowest byte */
    return b;
}

inline ScriptedAnswer RsaContainer()
{
    return Ok({1, 0, 0x2F, 0x00, 1, 1, 1, 1});
}

/* One connection over the scripted token: base or product command classes,
 * the two operators and the caller's output blocks. */
class Env {
public:
    explicit Env(bool bProduct) : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        CDeviceInfo *p = ctx.m_pDevieHandle;
        if (bProduct) {
            ctx.m_pApduChip = new CFakeLink<CAPDUChipBrio>(p, &token);
            ctx.m_pApduPin = new CFakeLink<CAPDUPinBrio>(p, &token);
        } else {
            ctx.m_pApduChip = new CFakeLink<CAPDUChip>(p, &token);
            ctx.m_pApduPin = new CFakeLink<CAPDUPin>(p, &token);
        }
        ctx.m_pApduContainer = new CFakeLink<CAPDUContainer>(p, &token);
        ctx.m_pApduFile = new CFakeLink<CAPDUFile>(p, &token);
        ctx.m_pApduKey = new CFakeLink<CAPDUKey>(p, &token);
        ctx.m_pApduCrypto = new QuickCrypto(p, &token);
        const char *name = "Mirel&pid_f00d&bus_006&addr_201";
        EXPECT_EQ(0u, ctx.SetDeviceName(name, (unsigned int)strlen(name)));
        EXPECT_EQ(0u, ctx.CreateDevMutex());
        sm2.SetDeviceContext(&ctx);
        sm2.SetAlgID(TOKEN_ALG_SM2);
        sm2.SetKeyFID(0x2F01);
        rsa.SetDeviceContext(&ctx);
        rsa.SetAlgID(TOKEN_ALG_RSA1024);
        rsa.SetKeyFID(0x2F01);
        memset(in, 0x5A, sizeof(in));
    }

    /* n bytes of output at the end of a heap block, filled with the canary. */
    unsigned char *Out(unsigned int n)
    {
        outs.emplace_back(new unsigned char[n]);
        sizes.push_back(n);
        memset(outs.back().get(), CANARY, n);
        return outs.back().get();
    }
    /* A length in/out holding n. */
    unsigned int *Len(unsigned int n)
    {
        lens.emplace_back(new unsigned int(n));
        return lens.back().get();
    }
    bool Untouched() const
    {
        for (size_t i = 0; i < outs.size(); ++i)
            for (unsigned int j = 0; j < sizes[i]; ++j)
                if (outs[i][j] != CANARY) return false;
        return true;
    }

    /* Container "c" into the operator's cache (from the token's answer). */
    unsigned int CacheContainer()
    {
        _QV_CONTAINER_INFO info = {};
        strcpy(info.szName, "c");
        return op.ReadContainer(&info, false);
    }

    CAPDUChip *Chip() { return ctx.m_pApduChip; }
    CAPDUPin *Pin() { return ctx.m_pApduPin; }
    CAPDUPinBrio *PinBrio() { return dynamic_cast<CAPDUPinBrio *>(ctx.m_pApduPin); }
    CAPDUContainer *Ctr() { return ctx.m_pApduContainer; }
    CAPDUFile *File() { return ctx.m_pApduFile; }
    CAPDUKey *Key() { return ctx.m_pApduKey; }
    CAPDUCrypto *Crypto() { return ctx.m_pApduCrypto; }
    unsigned char *Auth() { return ctx.m_pDevieHandle->m_pbAuthCode; }

    CDeviceContext ctx;
    FakeToken token;
    Sessionless<CDeviceOperator> op{&ctx};
    Sessionless<CBrioOperator> brio{&ctx};
    CSM2DevObj sm2;
    CRSADevObj rsa;
    CGMSymKeyHandle sym{&ctx};
    unsigned char in[512];

private:
    std::vector<std::unique_ptr<unsigned char[]>> outs;
    std::vector<unsigned int> sizes;
    std::vector<std::unique_ptr<unsigned int>> lens;
};

/* Row flags. */
const unsigned int FIXED = 1;    /* an answer of any other length is refused */
const unsigned int QUIET = 2;    /* no answer read: a payload is ignored */
const unsigned int KEEP = 4;     /* outputs unchanged on failure */
const unsigned int PRODUCT = 8;  /* product command classes */

struct Row {
    const char *name;
    unsigned int exact;                  /* payload of a well-formed answer */
    unsigned int flags;
    std::vector<ScriptedAnswer> prelude; /* well-formed answers before the shape */
    std::function<unsigned int(Env &)> call;
};

/* ---- the methods ---- */

const unsigned char SM2_COMPACT_HEAD[4] = {0, 0, 1, 0};

inline Bytes CompactKey()
{
    Bytes k(SM2_COMPACT_HEAD, SM2_COMPACT_HEAD + 4);
    k.resize(68, 0x21);
    return k;
}

inline std::vector<Row> ApduRows()
{
    ScriptedAnswer ok = Ok();
    std::vector<Row> v = {
        /* CAPDUChip */
        {"Chip_EraseFlash", 0, QUIET, {}, [](Env &e) { return e.Chip()->EraseFlash(); }},
        {"Chip_WriteFlash", 0, QUIET, {}, [](Env &e) { return e.Chip()->WriteFlash(0x100, e.in); }},
        {"Chip_ReadFlash", 256, FIXED | KEEP, {}, [](Env &e) { return e.Chip()->ReadFlash(0x100, e.Out(256)); }},
        {"Chip_SetTokenLabel", 0, QUIET, {}, [](Env &e) { return e.Chip()->SetTokenLabel(e.in, 32); }},
        {"Chip_SetTokenSN", 0, QUIET, {}, [](Env &e) { return e.Chip()->SetTokenSN(e.in, 16); }},
        {"Chip_GetDevInfo", 288, KEEP, {}, [](Env &e) { return e.Chip()->GetDevInfo(e.Out(288), e.Len(288)); }},
        {"Chip_GetDevInfoSmallRoom", 288, KEEP, {},
         [](Env &e) { return e.Chip()->GetDevInfo(e.Out(100), e.Len(100)); }},
        {"Chip_GetTokenLabel", 32, KEEP, {}, [](Env &e) { return e.Chip()->GetTokenLabel(e.Out(32), e.Len(32)); }},
        {"Chip_GetTokenSN", 16, KEEP, {}, [](Env &e) { return e.Chip()->GetTokenSN(e.Out(16), e.Len(16)); }},
        {"Chip_GetChipSN", 16, KEEP, {}, [](Env &e) { return e.Chip()->GetChipSN(e.Out(16), e.Len(16)); }},
        {"Chip_GetChipSNSmallRoom", 16, KEEP, {}, [](Env &e) { return e.Chip()->GetChipSN(e.Out(8), e.Len(8)); }},
        {"Chip_InitAuthKeySm2", 64, FIXED | KEEP, {},
         [](Env &e) {
             return e.Chip()->InitAuthKey(AUTH_KEY_FORM_SM2, e.in, 8, e.Out(sizeof(_QV_SM2_KEY_PAIR)));
         }},
        {"Chip_InitAuthKeyRsa", 132, FIXED | KEEP, {},
         [](Env &e) {
             return e.Chip()->InitAuthKey(AUTH_KEY_FORM_RSA, e.in, 8, e.Out(sizeof(_QV_RSA_KEY_PAIR)));
         }},
        {"Chip_ImportAuthKey", 0, QUIET, {}, [](Env &e) { return e.Chip()->ImportAuthKey(e.in, 100, e.in, 100); }},
        {"Chip_ExportAuthKeySm2", 128, FIXED | KEEP, {},
         [](Env &e) { return e.Chip()->ExportAuthKey(AUTH_KEY_FORM_SM2, e.Out(64), e.Out(64)); }},
        {"Chip_ExportAuthKeyRsa", 260, FIXED | KEEP, {},
         [](Env &e) { return e.Chip()->ExportAuthKey(AUTH_KEY_FORM_RSA, e.Out(132), e.Out(128)); }},
        {"Chip_EraseCOS_Request", 16, KEEP, {},
         [](Env &e) { return e.Chip()->EraseCOS_Request(e.Out(16), e.Len(16)); }},
        {"Chip_EraseCOS_Response", 0, QUIET, {}, [](Env &e) { return e.Chip()->EraseCOS_Response(e.in, 16); }},
        {"Chip_EraseMF_Request", 16, KEEP, {}, [](Env &e) { return e.Chip()->EraseMF_Request(e.Out(16), e.Len(16)); }},
        {"Chip_EraseMF_Response", 0, QUIET, {}, [](Env &e) { return e.Chip()->EraseMF_Response(e.in, 16); }},
        /* CAPDUChipBrio */
        {"ChipBrio_WriteFlash", 0, QUIET | PRODUCT, {}, [](Env &e) { return e.Chip()->WriteFlash(0x100, e.in); }},
        {"ChipBrio_ReadFlash", BRIO_FLASH_READ_BLOCK, KEEP | PRODUCT, {},
         [](Env &e) { return e.Chip()->ReadFlash(0x400, e.Out(BRIO_FLASH_READ_BLOCK)); }},
        /* CAPDUPin */
        {"Pin_SetSessionKey", 0, QUIET, {}, [](Env &e) { return e.Pin()->SetSessionKey(e.in, 128); }},
        {"Pin_ExternalAuth_Request", 16, KEEP, {},
         [](Env &e) { return e.Pin()->ExternalAuth_Request(e.Out(16), e.Len(16)); }},
        {"Pin_ExternalAuth_Response", 0, QUIET, {}, [](Env &e) { return e.Pin()->ExternalAuth_Response(e.in, 16); }},
        {"Pin_GetPINStatus", 4, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->GetPINStatus(0, 1, e.Out(1), e.Out(1), e.Out(1), e.Out(1)); }},
        {"Pin_CheckSessionKey", 4, 0, {}, [](Env &e) { return e.Pin()->CheckSessionKey(0); }},
        {"Pin_GetChallengeCode", 148, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->GetChallengeCode(0x18, 0, e.Out(16), e.Out(132)); }},
        {"Pin_VerifyPIN_Request", 148, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->VerifyPIN_Request(0, e.Out(16), e.Out(132)); }},
        {"Pin_VerifyPIN_Response", 16, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->VerifyPIN_Response(0, 1, e.in, 128, e.Out(16), e.Len(16)); }},
        {"Pin_ChangePIN_Request", 148, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->ChangePIN_Request(0, e.Out(16), e.Out(132)); }},
        {"Pin_ChangePIN_Response", 0, QUIET, {}, [](Env &e) { return e.Pin()->ChangePIN_Response(0, 1, e.in, 128); }},
        {"Pin_UnlockPIN_Request", 148, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->UnlockPIN_Request(0, e.Out(16), e.Out(132)); }},
        {"Pin_UnlockPIN_Response", 0, QUIET, {}, [](Env &e) { return e.Pin()->UnlockPIN_Response(0, 1, e.in, 128); }},
        {"Pin_ResetApp_Request", 148, FIXED | KEEP, {},
         [](Env &e) { return e.Pin()->ResetApp_Request(0, e.Out(16), e.Out(132)); }},
        {"Pin_ResetApp_Response", 0, QUIET, {}, [](Env &e) { return e.Pin()->ResetApp_Response(0, 3, e.in, 128); }},
        {"Pin_ResetResponse", 0, QUIET, {}, [](Env &e) { return e.Pin()->ResetResponse(0x2B, 1, 0, e.in, 128); }},
        {"Pin_ClearAuthCode", 0, QUIET, {}, [](Env &e) { return e.Pin()->ClearAuthCode(0); }},
        /* CAPDUPinBrio */
        {"PinBrio_GetChallengeCode", 148, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->GetChallengeCode(0x18, 0, 1, e.Out(16), e.Out(132)); }},
        {"PinBrio_VerifyPIN_Request", 148, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->VerifyPIN_Request(0, 1, e.Out(16), e.Out(132)); }},
        {"PinBrio_VerifyPIN_Response", 16, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->VerifyPIN_Response(0, e.in, 128, e.Out(16), e.Len(16)); }},
        {"PinBrio_ChangePIN_Request", 148, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->ChangePIN_Request(0, 1, e.Out(16), e.Out(132)); }},
        {"PinBrio_ChangePIN_Response", 0, QUIET | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->ChangePIN_Response(0, e.in, 128); }},
        {"PinBrio_WirelessAuth", 64, KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->WirelessAuth(e.in, 17, e.in, 68, e.Out(64), e.Len(64)); }},
        {"PinBrio_WirelessAuthSmallRoom", 64, KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->WirelessAuth(e.in, 17, e.in, 68, e.Out(32), e.Len(32)); }},
        {"PinBrio_WirelessIdentify_Request", 16, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.PinBrio()->WirelessIdentify_Request(17, e.in, 32, e.in, 68, e.Out(16), e.Len(16)); }},
        {"PinBrio_WirelessIdentify_Response", 16, FIXED | KEEP | PRODUCT, {},
         [](Env &e) {
             return e.PinBrio()->WirelessIdentify_Response(1, e.in, 32, e.in, 64, e.Out(16), e.Len(16));
         }},
        /* CAPDUContainer */
        {"Ctr_EnumContainer", 256, KEEP, {},
         [](Env &e) { return e.Ctr()->EnumContainer(0, (char *)e.Out(256), e.Len(256)); }},
        {"Ctr_EnumContainerSmallRoom", 256, KEEP, {},
         [](Env &e) { return e.Ctr()->EnumContainer(0, (char *)e.Out(60), e.Len(60)); }},
        {"Ctr_CreateContainer", 0, QUIET, {}, [](Env &e) { return e.Ctr()->CreateContainer(e.Auth(), 0, (char *)"c"); }},
        {"Ctr_DeleteContainerByIndex", 0, QUIET, {},
         [](Env &e) { return e.Ctr()->DeleteContainerByIndex(e.Auth(), 0, 1); }},
        {"Ctr_DeleteContainerByName", 0, QUIET, {},
         [](Env &e) { return e.Ctr()->DeleteContainerByName(e.Auth(), 0, (char *)"c"); }},
        {"Ctr_OpenContainer", 8, KEEP, {},
         [](Env &e) { return e.Ctr()->OpenContainer((char *)"c", e.Out(8), e.Len(8)); }},
        /* CAPDUFile */
        {"File_CreateApplication", 0, QUIET, {}, [](Env &e) { return e.File()->CreateApplication(0, e.in, 40); }},
        {"File_OpenApplication", 72, KEEP, {},
         [](Env &e) { return e.File()->OpenApplication(0, e.Out(72), e.Len(72)); }},
        {"File_CreateDataFile", 0, QUIET, {}, [](Env &e) { return e.File()->CreateDataFile(0, 0xA001, 100); }},
        {"File_DeleteDataFile", 0, QUIET, {}, [](Env &e) { return e.File()->DeleteDataFile(0, 0xA001); }},
        {"File_GetFileInfoSize", 2, FIXED | KEEP, {},
         [](Env &e) { return e.File()->GetFileInfo(0, 0xA001, FILE_INFO_SIZE_FORM, e.Out(2), e.Len(2)); }},
        {"File_GetFileInfoFull", 20, FIXED | KEEP, {},
         [](Env &e) { return e.File()->GetFileInfo(0, 0xA001, FILE_INFO_FULL_FORM, e.Out(20), e.Len(20)); }},
        {"File_GetFileInfoExists", 2, QUIET, {},
         [](Env &e) { return e.File()->GetFileInfo(0, 0xA001, FILE_INFO_SIZE_FORM, nullptr, nullptr); }},
        {"File_ReadFile", 256, 0, {}, [](Env &e) { return e.File()->ReadFile(0, 0xA001, 0, e.Out(256), e.Len(256)); }},
        {"File_ReadFileTwoChunks", 256, 0, {},
         [](Env &e) { return e.File()->ReadFile(0, 0xA001, 0, e.Out(300), e.Len(300)); }},
        {"File_WriteFile", 0, QUIET, {}, [](Env &e) { return e.File()->WriteFile(0, 0xA001, 0, e.in, 300); }},
        {"File_CreateFileSystem", 0, QUIET, {}, [](Env &e) { return e.File()->CreateFileSystem(); }},
        /* CAPDUKey */
        {"Key_GenRandom", 16, FIXED | KEEP, {}, [](Env &e) { return e.Key()->GenRandom(16, e.Out(16)); }},
        {"Key_GenRsaKeyPair", 0, QUIET, {},
         [](Env &e) { return e.Key()->GenRsaKeyPair(TOKEN_ALG_RSA1024, e.Auth(), 0, 0x2F01, 65537); }},
        {"Key_GenSm2KeyPair", 0, QUIET, {}, [](Env &e) { return e.Key()->GenSm2KeyPair(e.Auth(), 0, 0x2F01); }},
        {"Key_ImportRsaKeyPair", 0, QUIET, {},
         [](Env &e) { return e.Key()->ImportRsaKeyPair(TOKEN_ALG_RSA1024, e.Auth(), 0, 0x2F01, e.in, 260, false); }},
        {"Key_ImportSm2KeyPair", 0, QUIET, {},
         [](Env &e) { return e.Key()->ImportSm2KeyPair(e.Auth(), 0, 0x2F01, e.in, 200); }},
        {"Key_ImportEncSymKey", 0, QUIET, {},
         [](Env &e) { return e.Key()->ImportEncSymKey(e.Auth(), 0, 0x2F01, e.in, 113); }},
        {"Key_ImportSymKey", 0, QUIET, {},
         [](Env &e) { return e.Key()->ImportSymKey(0, 0, SYM_SPEC_SM4_ECB, e.in, 16); }},
        {"Key_ExportPublicKeyRsa1024", 132, FIXED | KEEP, {},
         [](Env &e) {
             return e.Key()->ExportPublicKey(0, 0x2F01, TOKEN_ALG_RSA1024, e.Out(sizeof(_QV_RSA_KEY_PAIR)));
         }},
        {"Key_ExportPublicKeyRsa2048", 260, FIXED | KEEP, {},
         [](Env &e) {
             return e.Key()->ExportPublicKey(0, 0x2F01, TOKEN_ALG_RSA2048, e.Out(sizeof(_QV_RSA_KEY_PAIR)));
         }},
        {"Key_ExportPublicKeySm2", 64, FIXED | KEEP, {},
         [](Env &e) {
             return e.Key()->ExportPublicKey(0, 0x2F01, TOKEN_ALG_SM2, e.Out(sizeof(_QV_SM2_KEY_PAIR)));
         }},
        {"Key_ExportSessionKey", 122, KEEP, {},
         [](Env &e) { return e.Key()->ExportSessionKey(0, SYM_SPEC_SM4_ECB, e.in, 64, e.Out(122), e.Len(122)); }},
        {"Key_GenerateAgreementDataWithECC", 72, KEEP, {},
         [](Env &e) {
             return e.Key()->GenerateAgreementDataWithECC(0, 0x2F01, SYM_SPEC_SM4_ECB, e.in, 16, e.Out(72), e.Len(72));
         }},
        {"Key_GenerateAgreementDataAndKeyWithECC", 72, KEEP, {},
         [](Env &e) {
             Bytes k = CompactKey();
             return e.Key()->GenerateAgreementDataAndKeyWithECC(0, 0x2F01, SYM_SPEC_SM4_ECB, k.data(), 68, k.data(),
                                                                68, e.in, 16, e.in, 16, e.Out(72), e.Len(72));
         }},
        {"Key_GenerateKeyWithECC", 4, FIXED | KEEP, {},
         [](Env &e) {
             Bytes k = CompactKey();
             return e.Key()->GenerateKeyWithECC(0, 0x2F01, 1, k.data(), 68, k.data(), 68, e.in, 16,
                                                (unsigned int *)(void *)e.Out(4));
         }},
        {"Key_WriteCert", 0, QUIET, {},
         [](Env &e) { return e.Key()->WriteCert(0xB1, e.Auth(), 0, 0x2F01, 0, e.in, 256); }},
        {"Key_ReadCert", 100, KEEP, {}, [](Env &e) { return e.Key()->ReadCert(0, 0x2F01, 0, e.Out(100), e.Len(100)); }},
        {"Key_ReadCertSHA1", 20, FIXED | KEEP, {}, [](Env &e) { return e.Key()->ReadCertSHA1(0, 0x2F01, e.Out(20)); }},
        /* CAPDUCrypto */
        {"Crypto_RSAPriKeyRaw", 128, FIXED | KEEP, {},
         [](Env &e) {
             return e.Crypto()->RSAPriKeyRaw(e.Auth(), 0, 0x2F01, TOKEN_ALG_RSA1024, e.in, 128, e.Out(128), e.Len(128));
         }},
        {"Crypto_RSASignDisp", 128, FIXED | KEEP, {},
         [](Env &e) {
             return e.Crypto()->RSASignDisp(e.Auth(), 0, 0x2F01, TOKEN_ALG_RSA1024, SC_HASH_SHA1, e.in, 300,
                                            e.Out(128), e.Len(128));
         }},
        {"Crypto_RSASignDispFetch", 128, FIXED | KEEP, {ok, ok, ok},
         [](Env &e) {
             return e.Crypto()->RSASignDisp(e.Auth(), 0, 0x2F01, TOKEN_ALG_RSA1024, SC_HASH_SHA1, e.in, 10,
                                            e.Out(128), e.Len(128));
         }},
        {"Crypto_SM2SignDigest", 64, FIXED | KEEP, {},
         [](Env &e) { return e.Crypto()->SM2SignDigest(e.Auth(), 0, 0x2F01, e.in, 32, e.Out(64), e.Len(64)); }},
        {"Crypto_SM2SignDisp", 64, FIXED | KEEP, {},
         [](Env &e) { return e.Crypto()->SM2SignDisp(e.Auth(), 0, 0x2F01, e.in, 300, e.Out(64), e.Len(64)); }},
        {"Crypto_SM2SignDispFetch", 64, FIXED | KEEP, {ok, ok, ok},
         [](Env &e) { return e.Crypto()->SM2SignDisp(e.Auth(), 0, 0x2F01, e.in, 10, e.Out(64), e.Len(64)); }},
        {"Crypto_SM2Decrypt", 16, FIXED | KEEP, {},
         [](Env &e) { return e.Crypto()->SM2Decrypt(e.Auth(), 0, 0x2F01, e.in, 113, e.Out(16), e.Len(16)); }},
        {"Crypto_SignWithAdminKey", 64, FIXED | KEEP, {},
         [](Env &e) { return e.Crypto()->SignWithAdminKey(e.Auth(), TOKEN_ALG_SM2, e.in, 32, e.Out(64), e.Len(64)); }},
        {"Crypto_ExtSM2Encrypt", 104 + 16, KEEP, {},
         [](Env &e) { return e.Crypto()->ExtSM2Encrypt(e.in, 64, e.in, 16, e.Out(120), e.Len(120)); }},
        {"Crypto_ExtSM2EncryptLong", 104 + 128, KEEP, {},
         [](Env &e) { return e.Crypto()->ExtSM2Encrypt(e.in, 64, e.in, 128, e.Out(232), e.Len(232)); }},
        {"Crypto_ExtSM2Decrypt", 132, KEEP, {},
         [](Env &e) { return e.Crypto()->ExtSM2Decrypt(e.in, 32, e.in, 113, e.Out(132), e.Len(132)); }},
        {"Crypto_ExtSM2SignHash", 64, FIXED | KEEP, {},
         [](Env &e) { return e.Crypto()->ExtSM2SignHash(e.in, 32, e.in, 32, e.Out(64), e.Len(64)); }},
        {"Crypto_SymEncryptInit", 0, QUIET, {},
         [](Env &e) { return e.Crypto()->SymEncryptInit(1, 0, 0, SYM_SPEC_SM4_CBC, e.in, 16); }},
        {"Crypto_SymEncryptUpdate", 128, KEEP, {},
         [](Env &e) { return e.Crypto()->SymEncryptUpdate(1, 0, 0, e.in, 32, e.Out(32), e.Len(32)); }},
        {"Crypto_SymDecryptFinal", 128, KEEP, {},
         [](Env &e) { return e.Crypto()->SymEncryptFinal(0, 0, 0, e.in, 16, e.Out(16), e.Len(16)); }},
        {"Crypto_HashInit", 0, QUIET, {}, [](Env &e) { return e.Crypto()->HashInit(SC_HASH_SM3); }},
        {"Crypto_HashUpdate", 0, QUIET, {}, [](Env &e) { return e.Crypto()->HashUpdate(e.in, 100); }},
        {"Crypto_HashFinal", 64, KEEP, {}, [](Env &e) { return e.Crypto()->HashFinal(e.Out(64), e.Len(64)); }},
        {"Crypto_HashFinalSmallRoom", 64, KEEP, {}, [](Env &e) { return e.Crypto()->HashFinal(e.Out(32), e.Len(32)); }},
    };
    return v;
}

/* The final block of an SM4-CBC operation started with ulHeld bytes that
 * the handle holds back (no update command). */
inline unsigned int SymFinal(Env &e, unsigned char byDirection, unsigned int ulHeld)
{
    unsigned int r = e.sym.Init(SC_ALG_SM4, byDirection, 2, e.in, 1);
    unsigned int n = 0;
    unsigned char none[1];
    if (r == 0) r = e.sym.Update(e.in, ulHeld, none, &n);
    return r != 0 ? r : e.sym.Final(e.Out(16), e.Len(16));
}

inline std::vector<Row> HandleAndOperatorRows()
{
    ScriptedAnswer ok = Ok();
    ScriptedAnswer status = Ok({3, 3, 1, 0});
    std::vector<Row> v = {
        /* CGMSymKeyHandle */
        {"Sym_SetKey", 0, QUIET, {status}, [](Env &e) { return e.sym.SetKey(SYM_SPEC_SM4_CBC, e.in, 16); }},
        {"Sym_Init", 0, QUIET, {}, [](Env &e) { return e.sym.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, 2, e.in, 1); }},
        {"Sym_Update", 48, FIXED | KEEP, {ok},
         [](Env &e) {
             unsigned int r = e.sym.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, 2, e.in, 1);
             return r != 0 ? r : e.sym.Update(e.in, 48, e.Out(48), e.Len(48));
         }},
        {"Sym_UpdateTwoCommands", 128, FIXED, {ok},
         [](Env &e) {
             unsigned int r = e.sym.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, 2, e.in, 1);
             return r != 0 ? r : e.sym.Update(e.in, 200, e.Out(192), e.Len(192));
         }},
        {"Sym_EncryptFinal", 16, FIXED | KEEP, {ok}, [](Env &e) { return SymFinal(e, SYM_CRYPT_ENCRYPT, 5); }},
        {"Sym_DecryptFinal", 16, FIXED | KEEP, {ok}, [](Env &e) { return SymFinal(e, SYM_CRYPT_DECRYPT, 16); }},
        /* the session key set up by the device context */
        {"Ctx_SetSessionKey", 128, FIXED, {},
         [](Env &e) {
             e.ctx.m_pDevieHandle->m_pRootKey = &g_stProdSM2PubKey;
             return e.ctx.SetSessionKey(true);
         }},
        {"Ctx_CheckOrSetSessionKey", 4, 0, {},
         [](Env &e) {
             e.ctx.m_pDevieHandle->m_pRootKey = &g_stProdSM2PubKey;
             return e.ctx.SetSessionKey(false);
         }},
        /* CDeviceOperator */
        {"Op_Initialize", 288, FIXED, {}, [](Env &e) { return e.op.Initialize(0); }},
        {"Op_InitializeAuth", 16, 0, {Ok(DevInfo())}, [](Env &e) { return e.op.Initialize(0); }},
        {"Op_ExternalAuth", 16, 0, {}, [](Env &e) { return e.op.ExternalAuth(nullptr); }},
        {"Op_CreateContainerAndLog", 0, QUIET, {}, [](Env &e) { return e.op.CreateContainer((char *)"c"); }},
        {"Op_ImportCertAndLog", 0, QUIET, {Sm2Container()},
         [](Env &e) {
             Bytes cert(300, 0x41);
             cert[0] = 0x30;
             cert[1] = 0x82;
             cert[2] = 0x01;
             cert[3] = 0x28;
             return e.op.ImportCert((char *)"c", KEY_SPEC_SIGNATURE, cert.data(), 300);
         }},
        {"Op_GenerateKeyPair", 0, QUIET, {Sm2Container()},
         [](Env &e) { return e.op.GenerateKeyPair((char *)"c", KEY_SPEC_SIGNATURE, TOKEN_ALG_SM2, nullptr); }},
        {"Op_EnumContainer", 50, 0, {}, [](Env &e) { return e.op.EnumContainer(nullptr, e.Len(0), false); }},
        {"Op_ReadContainer", 8, FIXED, {},
         [](Env &e) {
             _QV_CONTAINER_INFO info = {};
             strcpy(info.szName, "c");
             return e.op.ReadContainer(&info, false);
         }},
        {"Op_VerifyPINRequest", 148, FIXED, {}, [](Env &e) { return e.op.VerifyPIN(1, (char *)"123456", 6); }},
        {"Op_VerifyPINResponse", 16, FIXED, {Challenge()},
         [](Env &e) {
             unsigned int r = e.op.VerifyPIN(1, (char *)"123456", 6);
             if (r == 0) {
                 EXPECT_EQ(PIN_AUTH_CODE_LEN, e.ctx.m_pDevieHandle->m_ulAuthCodeLen);
             }
             return r;
         }},
        {"Op_ChangePIN", 148, FIXED, {},
         [](Env &e) { return e.op.ChangePIN(1, (char *)"123456", 6, (char *)"654321", 6); }},
        {"Op_UnlockPINFetch", 148, FIXED | KEEP, {},
         [](Env &e) {
             unsigned char *p = e.Out(32);
             unsigned int n = 32;
             return e.op.UnlockPIN(2, p, n);
         }},
        {"Op_UnlockPINSerial", 16, KEEP, {Challenge()},
         [](Env &e) {
             unsigned char *p = e.Out(32);
             unsigned int n = 32;
             return e.op.UnlockPIN(2, p, n);
         }},
        {"Op_InitTokenUser", 148, FIXED, {},
         [](Env &e) {
             unsigned char pin[6] = {'1', '2', '3', '4', '5', '6'};
             unsigned int n = 6;
             return e.op.InitTokenUser(1, pin, n);
         }},
        {"Op_GetPINStatus", 4, FIXED | KEEP, {},
         [](Env &e) { return e.op.GetPINStatus(1, e.Out(1), e.Out(1), e.Out(1), e.Out(1)); }},
        {"Op_ExportPublicKeySm2", 64, FIXED | KEEP, {Sm2Container()},
         [](Env &e) {
             unsigned char alg = 0;
             return e.op.ExportPublicKey((char *)"c", KEY_SPEC_EXCHANGE, &alg, e.Out(sizeof(_QV_SM2_KEY_PAIR)),
                                         e.Len(sizeof(_QV_SM2_KEY_PAIR)));
         }},
        {"Op_ExportPublicKeyRsa", 132, FIXED | KEEP, {RsaContainer()},
         [](Env &e) {
             unsigned char alg = 0;
             return e.op.ExportPublicKey((char *)"c", KEY_SPEC_EXCHANGE, &alg, e.Out(sizeof(_QV_RSA_KEY_PAIR)),
                                         e.Len(sizeof(_QV_RSA_KEY_PAIR)));
         }},
        {"Op_GetZValue", 64, FIXED | KEEP, {Sm2Container()},
         [](Env &e) { return e.op.GetZValue((char *)"c", e.Out(32)); }},
        {"Op_ExportCert", 16, 0, {Sm2Container()},
         [](Env &e) {
             unsigned int r = e.CacheContainer();
             return r != 0 ? r : e.op.ExportCert((char *)"c", KEY_SPEC_SIGNATURE, e.Out(600), e.Len(600));
         }},
        {"Op_GetCosFileInfo", 2, FIXED | KEEP, {},
         [](Env &e) { return e.op.GetCosFileInfo(0xA001, 0, 4, e.Out(4)); }},
        {"Op_GetCosFileInfoFull", 20, FIXED | KEEP, {},
         [](Env &e) { return e.op.GetCosFileInfo(0xA001, 1, 20, e.Out(20)); }},
        {"Op_ReadCosFile", 256, 0, {}, [](Env &e) { return e.op.ReadCosFile(0, 0xA001, e.Out(300), e.Len(300)); }},
        {"Op_GetDeviceInfo", 288, FIXED | KEEP, {},
         [](Env &e) { return e.op.GetDeviceInfo((_QV_DEV_INFO *)(void *)e.Out(sizeof(_QV_DEV_INFO))); }},
        {"Op_GetTokenAppInfo", 72, KEEP, {},
         [](Env &e) {
             return e.op.GetTokenAppInfo((char *)e.Out(APP_NAME_LEN),
                                         (_QV_APPINFO_SYS *)(void *)e.Out(sizeof(_QV_APPINFO_SYS)));
         }},
        {"Op_GetTokenLabel", 32, KEEP, {}, [](Env &e) { return e.op.GetTokenLabel((char *)e.Out(32), e.Len(32)); }},
        {"Op_GetTokenSN", 16, KEEP, {}, [](Env &e) { return e.op.GetTokenSN((char *)e.Out(16), e.Len(16)); }},
        {"Op_GetChipSN", 16, KEEP, {}, [](Env &e) { return e.op.GetChipSN(e.Out(16), e.Len(16)); }},
        {"Op_ReadFlash", 256, FIXED | KEEP, {}, [](Env &e) { return e.op.ReadFlash(1, e.Out(300), 300); }},
        /* The first block answered well: a bad second one still leaves the output. */
        {"Op_ReadFlashAfterABlock", 256, FIXED | KEEP, {Ok(Bytes(256, 0x3C))},
         [](Env &e) { return e.op.ReadFlash(1, e.Out(300), 300); }},
        {"Op_RecordSarnLog", 2, 0, {}, [](Env &e) { return e.op.RecordSarnLog((char *)"Test"); }},
        {"Op_ExportSarnLog", 256, KEEP, {ok},
         [](Env &e) {
             return e.op.ExportSarnLog((_QV_LOG_INFO *)(void *)e.Out(SARN_LOG_FILE_SIZE), e.Len(0));
         }},
        {"Op_GenerateRandom", 16, FIXED | KEEP, {}, [](Env &e) { return e.op.GenerateRandom(1, 16, e.Out(16)); }},
        {"Op_HashFinal", 64, KEEP, {}, [](Env &e) { return e.op.HashFinal(e.Out(32), e.Len(32)); }},
        {"Op_SignWithAdminKey", 64, FIXED | KEEP, {},
         [](Env &e) { return e.op.SignWithAdminKey(e.in, 32, e.Out(64), e.Len(64)); }},
        /* CBrioOperator */
        {"Brio_VerifyPINRequest", 148, FIXED | PRODUCT, {},
         [](Env &e) { return e.brio.VerifyPIN(1, (char *)"123456", 6); }},
        {"Brio_VerifyPINResponse", 16, FIXED | PRODUCT, {Challenge()},
         [](Env &e) {
             unsigned int r = e.brio.VerifyPIN(1, (char *)"123456", 6);
             if (r == 0) {
                 EXPECT_EQ(PIN_AUTH_CODE_LEN, e.ctx.m_pDevieHandle->m_ulAuthCodeLen);
             }
             return r;
         }},
        {"Brio_ChangePIN", 148, FIXED | PRODUCT, {},
         [](Env &e) { return e.brio.ChangePIN(1, (char *)"123456", 6, (char *)"654321", 6); }},
        {"Brio_InitTokenUserFetch", 148, FIXED | KEEP | PRODUCT, {},
         [](Env &e) {
             unsigned char *p = e.Out(32);
             unsigned int n = 32;
             return e.brio.InitTokenUser(2, p, n);
         }},
        {"Brio_ReadFlash", BRIO_FLASH_READ_BLOCK, KEEP | PRODUCT, {},
         [](Env &e) { return e.brio.ReadFlash(1, e.Out(BRIO_FLASH_READ_BLOCK), BRIO_FLASH_READ_BLOCK); }},
        {"Brio_WirelessAuth", 64, KEEP | PRODUCT, {},
         [](Env &e) { return e.brio.WirelessAuth(TOKEN_ALG_SM2, e.in, e.Out(64), e.Len(64)); }},
        {"Brio_WirelessIdentifyInit", 16, FIXED | KEEP | PRODUCT, {},
         [](Env &e) { return e.brio.WirelessIdentifyInit(TOKEN_ALG_SM2, e.in, e.in, 32, e.Out(16), e.Len(16)); }},
        {"Brio_WirelessIdentify", 16, FIXED | PRODUCT, {},
         [](Env &e) {
             unsigned int r = e.brio.WirelessIdentify(1, e.in, 32, e.in, 32, e.in, 64);
             if (r == 0) {
                 EXPECT_EQ(PIN_AUTH_CODE_LEN, e.ctx.m_pDevieHandle->m_ulAuthCodeLen);
             }
             return r;
         }},
        /* key objects */
        {"Sm2Obj_SignDigest", 64, FIXED | KEEP, {status},
         [](Env &e) { return e.sm2.PrikeySign(0, SC_HASH_SM3, e.in, 32, e.Out(64), e.Len(64)); }},
        {"Sm2Obj_SignDisp", 64, FIXED | KEEP, {status, ok, ok, ok},
         [](Env &e) { return e.sm2.PrikeySign(ASYM_SIGN_DISP, SC_HASH_SM3, e.in, 10, e.Out(64), e.Len(64)); }},
        {"Sm2Obj_Decrypt", 16, FIXED | KEEP, {status},
         [](Env &e) { return e.sm2.PrikeyDec(e.in, 113, e.Out(16), e.Len(16)); }},
        {"Sm2Obj_Encrypt", 64, FIXED | KEEP, {}, [](Env &e) { return e.sm2.PubkeyEnc(e.in, 16, e.Out(113), e.Len(113)); }},
        {"Sm2Obj_Verify", 64, FIXED, {}, [](Env &e) { return e.sm2.PubkeyVerify(SC_HASH_SM3, e.in, 32, e.in, 64); }},
        {"RsaObj_SignDigest", 128, FIXED | KEEP, {status},
         [](Env &e) { return e.rsa.PrikeySign(0, SC_HASH_SHA1, e.in, 20, e.Out(128), e.Len(128)); }},
        {"RsaObj_SignDisp", 128, FIXED | KEEP, {status, ok, ok, ok},
         [](Env &e) { return e.rsa.PrikeySign(ASYM_SIGN_DISP, SC_HASH_SHA1, e.in, 10, e.Out(128), e.Len(128)); }},
        {"RsaObj_Decrypt", 128, FIXED | KEEP, {status},
         [](Env &e) { return e.rsa.PrikeyDec(e.in, 128, e.Out(128), e.Len(128)); }},
        {"RsaObj_Encrypt", 132, FIXED | KEEP, {}, [](Env &e) { return e.rsa.PubkeyEnc(e.in, 16, e.Out(128), e.Len(128)); }},
        {"BrioObj_SignDigest", 64, FIXED | KEEP, {status},
         [](Env &e) {
             return CAsymKeyObjectBrio::PrikeySign(&e.sm2, SC_HASH_SM3, e.in, 32, e.Out(64), e.Len(64), nullptr, nullptr);
         }},
        {"BrioObj_Decrypt", 16, FIXED | KEEP, {status},
         [](Env &e) {
             return CAsymKeyObjectBrio::PrikeyDec(&e.sm2, e.in, 113, e.Out(16), e.Len(16), nullptr, nullptr);
         }},
    };
    return v;
}

}  // namespace hostile
