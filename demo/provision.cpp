/* brio-demo-provision: prepares a factory-fresh token the way an issuer
 * would, through the SKF interface: the user PIN changed from the factory
 * one, an SM2 container and an RSA container, each with a signature key pair
 * made on the token, an exchange key pair brought in under a wrapped key,
 * and a certificate for each pair.
 *
 *   brio-demo-provision FACTORY_PIN NEW_PIN
 *
 * Prints one line per step; exits 0 when every step succeeded. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "SoftCrypto/SoftCrypto.h"
#include "skf/skf.h"
#include "skftest/SkfTest.h"
#include "skftest/TestMaterial.h"

#define RSA2048_BYTES 256u
#define RSA_EXPONENT_BYTES 4u

static bool Step(const char *pszStep, ULONG ulRet)
{
    printf("%-40s %s (0x%08X)\n", pszStep, ulRet == SAR_OK ? "done" : "FAILED", (unsigned int)ulRet);
    return ulRet == SAR_OK;
}

/* The test certificate fragment, told apart by its last byte. */
static std::vector<BYTE> Certificate(BYTE byTag)
{
    std::vector<BYTE> v(g_abTestCertificate, g_abTestCertificate + TEST_CERT_LEN);
    v.back() = byTag;
    return v;
}

static bool ImportCertificates(HCONTAINER hCon, BYTE bySignTag, BYTE byExchTag)
{
    std::vector<BYTE> vSign = Certificate(bySignTag);
    std::vector<BYTE> vExch = Certificate(byExchTag);
    return Step("SKF_ImportCertificate (signature)",
                SKF_ImportCertificate(hCon, TRUE, vSign.data(), (ULONG)vSign.size())) &&
           Step("SKF_ImportCertificate (exchange)",
                SKF_ImportCertificate(hCon, FALSE, vExch.data(), (ULONG)vExch.size()));
}

static bool ProvisionSm2(HAPPLICATION hApp)
{
    char szName[] = "DEMO_SM2";
    HCONTAINER hCon = nullptr;
    if (!Step("SKF_CreateContainer DEMO_SM2", SKF_CreateContainer(hApp, szName, &hCon))) return false;
    ECCPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    bool bOk = Step("SKF_GenECCKeyPair", SKF_GenECCKeyPair(hCon, SGD_SM2_1, &stPub));
    std::vector<BYTE> vEnvelope(sizeof(ENVELOPEDKEYBLOB) + 64, 0);
    ENVELOPEDKEYBLOB *pEnvelope = (ENVELOPEDKEYBLOB *)vEnvelope.data();
    bOk = bOk && Step("envelope of the exchange key pair", LOAD_ECC_KEYPAIR(&stPub, pEnvelope));
    bOk = bOk && Step("SKF_ImportECCKeyPair", SKF_ImportECCKeyPair(hCon, pEnvelope));
    bOk = bOk && ImportCertificates(hCon, 0x31, 0x32);
    SKF_CloseContainer(hCon);
    return bOk;
}

/* The token takes an RSA-2048 exchange pair as N || D || E (768 bytes),
 * SM4-ECB encrypted under a session key that travels RSA-wrapped under the
 * container's signature key. */
static ULONG WrappedRsaImport(HCONTAINER hCon, const RSAPUBLICKEYBLOB *pTokenKey)
{
    _QV_RSA_KEY_PAIR stNew;
    memset(&stNew, 0, sizeof(stNew));
    ULONG ulRet = RSA_GenKey(2048, &stNew);
    if (ulRet != 0) return ulRet;
    std::vector<BYTE> vMaterial(2 * RSA2048_BYTES + 2 * 16 /* E and its padding block */, 0);
    memcpy(&vMaterial[RSA2048_BYTES - stNew.NLen], stNew.N, stNew.NLen);
    memcpy(&vMaterial[2 * RSA2048_BYTES - stNew.DLen], stNew.D, stNew.DLen);
    memcpy(&vMaterial[2 * RSA2048_BYTES + RSA_EXPONENT_BYTES - stNew.ELen], stNew.E, stNew.ELen);
    const unsigned int ulMaterial = 3 * RSA2048_BYTES;
    vMaterial.resize(ulMaterial);

    _QV_RSA_KEY_PAIR stToken;
    memset(&stToken, 0, sizeof(stToken));
    ULONG ulBytes = pTokenKey->BitLen / 8;
    memcpy(stToken.N, pTokenKey->Modulus + MAX_RSA_MODULUS_LEN - ulBytes, ulBytes);
    stToken.NLen = ulBytes;
    memcpy(stToken.E, pTokenKey->PublicExponent, MAX_RSA_EXPONENT_LEN);
    stToken.ELen = MAX_RSA_EXPONENT_LEN;
    BYTE abWrapped[MAX_RSA_MODULUS_LEN];
    unsigned int ulWrapped = sizeof(abWrapped);
    ulRet = RSA_Encrypt(&stToken, (unsigned char *)g_abTestSessionKey, TEST_SESSION_KEY_LEN, abWrapped, &ulWrapped, 1);
    if (ulRet != 0) return ulRet;

    std::vector<BYTE> vEncrypted(ulMaterial, 0);
    ulRet = EncryptUnderSessionKey(vMaterial.data(), ulMaterial, vEncrypted.data());
    memset(vMaterial.data(), 0, vMaterial.size());
    memset(&stNew, 0, sizeof(stNew));
    if (ulRet != 0) return ulRet;
    return SKF_ImportRSAKeyPair(hCon, SGD_SMS4_ECB, abWrapped, ulWrapped, vEncrypted.data(), ulMaterial);
}

static bool ProvisionRsa(HAPPLICATION hApp)
{
    char szName[] = "DEMO_RSA";
    HCONTAINER hCon = nullptr;
    if (!Step("SKF_CreateContainer DEMO_RSA", SKF_CreateContainer(hApp, szName, &hCon))) return false;
    RSAPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    bool bOk = Step("SKF_GenRSAKeyPair", SKF_GenRSAKeyPair(hCon, 2048, &stPub));
    bOk = bOk && Step("SKF_ImportRSAKeyPair (wrapped)", WrappedRsaImport(hCon, &stPub));
    bOk = bOk && ImportCertificates(hCon, 0x33, 0x34);
    SKF_CloseContainer(hCon);
    return bOk;
}

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s FACTORY_PIN NEW_PIN\n", argv[0]);
        return 2;
    }
    char szNames[256] = {0};
    ULONG ulSize = sizeof(szNames);
    if (!Step("SKF_EnumDev", SKF_EnumDev(TRUE, szNames, &ulSize)) || szNames[0] == '\0') return 1;
    DEVHANDLE hDev = nullptr;
    if (!Step("SKF_ConnectDev", SKF_ConnectDev(szNames, &hDev))) return 1;
    char szApps[64] = {0};
    ulSize = sizeof(szApps);
    HAPPLICATION hApp = nullptr;
    bool bOk = Step("SKF_EnumApplication", SKF_EnumApplication(hDev, szApps, &ulSize)) &&
               Step("SKF_OpenApplication", SKF_OpenApplication(hDev, szApps, &hApp));
    ULONG ulRetry = 0;
    bOk = bOk && Step("SKF_ChangePIN (user)", SKF_ChangePIN(hApp, USER_TYPE, argv[1], argv[2], &ulRetry));
    bOk = bOk && Step("SKF_VerifyPIN (user)", SKF_VerifyPIN(hApp, USER_TYPE, argv[2], &ulRetry));
    bOk = bOk && ProvisionSm2(hApp);
    bOk = bOk && ProvisionRsa(hApp);
    if (hApp != nullptr) {
        SKF_ClearSecureState(hApp);
        SKF_CloseApplication(hApp);
    }
    SKF_DisConnectDev(hDev);
    return bOk ? 0 : 1;
}
