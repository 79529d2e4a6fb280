/* brio-demo-provision: prepares a factory-fresh token the way an issuer
 * would, through the SKF interface: the user PIN changed from the factory
 * one, an SM2 container and an RSA container, each with a signature key pair
 * made on the token, an exchange key pair brought in under a wrapped key,
 * and an X.509 certificate for each pair's public key, issued by a demo CA
 * made for the run (SM2 with SM3 for the SM2 container, RSA with SHA-256
 * for the RSA one).
 *
 *   brio-demo-provision [--ca-out FILE] FACTORY_PIN NEW_PIN
 *
 * The two CA certificates go to FILE (PEM), by default demo-ca.pem beside
 * the virtual token's default state directory ($XDG_STATE_HOME/brio-vtoken,
 * else ~/.local/state/brio-vtoken), before the token is touched.  Prints
 * one line per step; exits 0 when every step succeeded. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "SoftCrypto/SoftCrypto.h"
#include "demo/DemoCertificates.h"
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

/* The certificates of a container's two pairs (Blob: the container's
 * public key record), for the public keys the token exports, so each holds
 * what the token holds. */
template <class Blob>
static bool ImportCertificates(CDemoIssuer &issuer, HCONTAINER hCon, const char *pszContainer)
{
    for (BOOL bSign : {TRUE, FALSE}) {
        Blob stPub;
        ULONG ulLen = sizeof(stPub);
        if (!Step(bSign ? "SKF_ExportPublicKey (signature)" : "SKF_ExportPublicKey (exchange)",
                  SKF_ExportPublicKey(hCon, bSign, (BYTE *)&stPub, &ulLen)))
            return false;
        std::vector<BYTE> vCert = issuer.Certify(pszContainer, bSign, stPub);
        if (!Step(bSign ? "certificate (signature)" : "certificate (exchange)", vCert.empty() ? SAR_FAIL : SAR_OK))
            return false;
        if (!Step(bSign ? "SKF_ImportCertificate (signature)" : "SKF_ImportCertificate (exchange)",
                  SKF_ImportCertificate(hCon, bSign, vCert.data(), (ULONG)vCert.size())))
            return false;
    }
    return true;
}

static bool ProvisionSm2(CDemoIssuer &issuer, HAPPLICATION hApp)
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
    bOk = bOk && ImportCertificates<ECCPUBLICKEYBLOB>(issuer, hCon, szName);
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

static bool ProvisionRsa(CDemoIssuer &issuer, HAPPLICATION hApp)
{
    char szName[] = "DEMO_RSA";
    HCONTAINER hCon = nullptr;
    if (!Step("SKF_CreateContainer DEMO_RSA", SKF_CreateContainer(hApp, szName, &hCon))) return false;
    RSAPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    bool bOk = Step("SKF_GenRSAKeyPair", SKF_GenRSAKeyPair(hCon, 2048, &stPub));
    bOk = bOk && Step("SKF_ImportRSAKeyPair (wrapped)", WrappedRsaImport(hCon, &stPub));
    bOk = bOk && ImportCertificates<RSAPUBLICKEYBLOB>(issuer, hCon, szName);
    SKF_CloseContainer(hCon);
    return bOk;
}

/* demo-ca.pem in the virtual token's default state directory, whose
 * missing folders are made (mode 0700, as the daemon makes them); a folder
 * that cannot be made shows when the file is written. */
static std::string DefaultCaPath()
{
    const char *pszState = getenv("XDG_STATE_HOME");
    const char *pszHome = getenv("HOME");
    std::string strDir;
    if (pszState != nullptr && pszState[0] != '\0') strDir = pszState;
    else if (pszHome != nullptr && pszHome[0] != '\0') strDir = std::string(pszHome) + "/.local/state";
    else return "demo-ca.pem";
    strDir += "/brio-vtoken";
    for (size_t n = strDir.find('/', 1); ; n = strDir.find('/', n + 1)) {
        mkdir(strDir.substr(0, n).c_str(), 0700);
        if (n == std::string::npos) break;
    }
    return strDir + "/demo-ca.pem";
}

static int Usage(const char *pszProgram)
{
    fprintf(stderr, "usage: %s [--ca-out FILE] FACTORY_PIN NEW_PIN\n", pszProgram);
    return 2;
}

int main(int argc, char *argv[])
{
    std::string strCaPath;
    int nArg = 1;
    if (nArg < argc && strcmp(argv[nArg], "--ca-out") == 0) {
        if (nArg + 1 >= argc || argv[nArg + 1][0] == '\0') return Usage(argv[0]);
        strCaPath = argv[nArg + 1];
        nArg += 2;
    }
    if (argc - nArg != 2) return Usage(argv[0]);
    const char *pszFactoryPin = argv[nArg];
    const char *pszNewPin = argv[nArg + 1];
    if (strCaPath.empty()) strCaPath = DefaultCaPath();

    /* The issuer first: a token is changed only once its CA is written. */
    CDemoIssuer issuer;
    if (!Step("demo CA (SM2 and RSA)", issuer.Ready() ? SAR_OK : SAR_FAIL) || !issuer.WriteAuthorities(strCaPath))
        return 1;
    printf("CA certificates: %s\n", strCaPath.c_str());

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
    bOk = bOk && Step("SKF_ChangePIN (user)", SKF_ChangePIN(hApp, USER_TYPE, (LPSTR)pszFactoryPin, (LPSTR)pszNewPin, &ulRetry));
    bOk = bOk && Step("SKF_VerifyPIN (user)", SKF_VerifyPIN(hApp, USER_TYPE, (LPSTR)pszNewPin, &ulRetry));
    bOk = bOk && ProvisionSm2(issuer, hApp);
    bOk = bOk && ProvisionRsa(issuer, hApp);
    if (hApp != nullptr) {
        SKF_ClearSecureState(hApp);
        SKF_CloseApplication(hApp);
    }
    SKF_DisConnectDev(hDev);
    return bOk ? 0 : 1;
}
