/* The certificates brio-demo-provision puts on a token, checked with the
 * openssl command as the outside reader: each of the four parses as X.509,
 * verifies against the CA file the tool wrote, is signed as its container's
 * algorithm asks (SM2 with SM3, RSA with SHA-256), and holds the public key
 * that the token exports for that pair through SKF_ExportPublicKey. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "log/tests/LogTestUtil.h"
#include "skf/skf.h"
#include "vtoken/testkit/VTokenTestKit.h"

namespace {

const unsigned int BUS = 34;
const char *const FACTORY_PIN = "12345678";
const char *const ISSUED_PIN = "Issued2026";

using Bytes = std::vector<unsigned char>;

struct ShellRun {
    std::string strOut;
    int nStatus = -1;
    bool Ok() const { return nStatus != -1 && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0; }
};

/* A shell command with its standard output and error. */
ShellRun Shell(const std::string &strCommand)
{
    ShellRun run;
    FILE *p = popen((strCommand + " 2>&1").c_str(), "r");
    if (p == nullptr) return run;
    char ab[512];
    for (size_t n; (n = fread(ab, 1, sizeof(ab), p)) > 0;) run.strOut.append(ab, n);
    run.nStatus = pclose(p);
    return run;
}

std::string Quoted(const std::string &str) { return "'" + str + "'"; }

void WriteBytes(const std::string &strPath, const Bytes &v)
{
    std::ofstream(strPath, std::ios::binary).write((const char *)v.data(), (std::streamsize)v.size());
}

/* The numbers of a PEM public key as openssl printed it: the SM2 point
 * (04 || X || Y), or the RSA modulus and exponent, big-endian. */
struct KeyNumbers {
    Bytes vPoint;
    Bytes vN;
    Bytes vE;
};

Bytes BigNumBytes(const EVP_PKEY *pKey, const char *pszName)
{
    BIGNUM *bn = nullptr;
    Bytes v;
    if (EVP_PKEY_get_bn_param(pKey, pszName, &bn) == 1) {
        v.resize((size_t)BN_num_bytes(bn));
        BN_bn2bin(bn, v.data());
    }
    BN_free(bn);
    return v;
}

KeyNumbers NumbersOfPem(const std::string &strPem)
{
    KeyNumbers k;
    BIO *pBio = BIO_new_mem_buf(strPem.data(), (int)strPem.size());
    EVP_PKEY *pKey = pBio != nullptr ? PEM_read_bio_PUBKEY(pBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(pBio);
    if (pKey == nullptr) return k;
    if (EVP_PKEY_get_base_id(pKey) == EVP_PKEY_RSA) {
        k.vN = BigNumBytes(pKey, OSSL_PKEY_PARAM_RSA_N);
        k.vE = BigNumBytes(pKey, OSSL_PKEY_PARAM_RSA_E);
    } else {
        unsigned char ab[133];
        size_t n = 0;
        if (EVP_PKEY_get_octet_string_param(pKey, OSSL_PKEY_PARAM_PUB_KEY, ab, sizeof(ab), &n) == 1)
            k.vPoint.assign(ab, ab + n);
    }
    EVP_PKEY_free(pKey);
    return k;
}

/* The same numbers from a blob the token exported (right-aligned fields). */
KeyNumbers NumbersOfBlob(const ECCPUBLICKEYBLOB &st)
{
    KeyNumbers k;
    k.vPoint.push_back(0x04);
    k.vPoint.insert(k.vPoint.end(), st.XCoordinate + 32, st.XCoordinate + 64);
    k.vPoint.insert(k.vPoint.end(), st.YCoordinate + 32, st.YCoordinate + 64);
    return k;
}

KeyNumbers NumbersOfBlob(const RSAPUBLICKEYBLOB &st)
{
    KeyNumbers k;
    const unsigned int ulBytes = st.BitLen / 8;
    k.vN.assign(st.Modulus + MAX_RSA_MODULUS_LEN - ulBytes, st.Modulus + MAX_RSA_MODULUS_LEN);
    k.vE.assign(st.PublicExponent, st.PublicExponent + MAX_RSA_EXPONENT_LEN);
    while (!k.vE.empty() && k.vE.front() == 0) k.vE.erase(k.vE.begin());
    return k;
}

struct PairCase {
    const char *pszContainer;
    BOOL bSign;
    const char *pszSubject;    /* as openssl prints the subject */
    const char *pszIssuer;
    const char *pszAlgorithm;  /* the signature algorithm openssl names */
    const char *pszVerifyOptions;
};

/* SM2 signatures cover the signer's distinguishing ID, the GM/T 0009
 * default; OpenSSL 3.0 verifies with the empty ID unless told it. */
const char *const SM2_ID_OPTION = " -vfyopt distid:1234567812345678";

const PairCase PAIRS[] = {
    {"DEMO_SM2", TRUE, "subject=O = Brio demo, CN = DEMO_SM2 signature", "issuer=O = Brio demo, CN = Brio Demo SM2 CA",
     "SM2-with-SM3", SM2_ID_OPTION},
    {"DEMO_SM2", FALSE, "subject=O = Brio demo, CN = DEMO_SM2 exchange", "issuer=O = Brio demo, CN = Brio Demo SM2 CA",
     "SM2-with-SM3", SM2_ID_OPTION},
    {"DEMO_RSA", TRUE, "subject=O = Brio demo, CN = DEMO_RSA signature", "issuer=O = Brio demo, CN = Brio Demo RSA CA",
     "sha256WithRSAEncryption", ""},
    {"DEMO_RSA", FALSE, "subject=O = Brio demo, CN = DEMO_RSA exchange", "issuer=O = Brio demo, CN = Brio Demo RSA CA",
     "sha256WithRSAEncryption", ""},
};

class DemoCertificatesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtoken::TokenOptions opts;
        opts.serial = "DEMOCERT01";
        opts.bus = BUS;
        opts.address = 5;
        opts.userPin = FACTORY_PIN;
        daemon.CreateToken(opts);
    }

    std::string Path(const std::string &strName) const { return m_dir / strName; }

    vtoken::Daemon daemon;
    logtest::CScratchDir m_dir;
};

TEST_F(DemoCertificatesTest, EachPairHasACertificateOfItsKeyThatVerifiesAgainstTheCa)
{
    const std::string strCa = Path("demo-ca.pem");
    ShellRun provision = Shell(std::string(DEMO_PROVISION) + " --ca-out " + Quoted(strCa) + " " + FACTORY_PIN + " " +
                          ISSUED_PIN + " </dev/null");
    ASSERT_TRUE(provision.Ok()) << provision.strOut;
    EXPECT_NE(std::string::npos, provision.strOut.find("CA certificates: " + strCa)) << provision.strOut;

    /* The CA file: the two authorities, each self-signed. */
    ShellRun authorities = Shell("openssl crl2pkcs7 -nocrl -certfile " + Quoted(strCa) +
                            " | openssl pkcs7 -print_certs -noout");
    ASSERT_TRUE(authorities.Ok()) << authorities.strOut;
    EXPECT_NE(std::string::npos, authorities.strOut.find("subject=O = Brio demo, CN = Brio Demo SM2 CA"))
        << authorities.strOut;
    EXPECT_NE(std::string::npos, authorities.strOut.find("subject=O = Brio demo, CN = Brio Demo RSA CA"))
        << authorities.strOut;

    char szNames[256] = {0};
    ULONG ulSize = sizeof(szNames);
    ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, szNames, &ulSize));
    DEVHANDLE hDev = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ConnectDev(szNames, &hDev));
    char szApps[64] = {0};
    ulSize = sizeof(szApps);
    HAPPLICATION hApp = nullptr;
    ASSERT_EQ(SAR_OK, SKF_EnumApplication(hDev, szApps, &ulSize));
    ASSERT_EQ(SAR_OK, SKF_OpenApplication(hDev, szApps, &hApp));

    std::vector<std::string> astrSeen;
    for (const PairCase &c : PAIRS) {
        SCOPED_TRACE(std::string(c.pszContainer) + (c.bSign ? " signature" : " exchange"));
        HCONTAINER hCon = nullptr;
        ASSERT_EQ(SAR_OK, SKF_OpenContainer(hApp, (LPSTR)c.pszContainer, &hCon));
        ULONG ulLen = 0;
        ASSERT_EQ(SAR_OK, SKF_ExportCertificate(hCon, c.bSign, nullptr, &ulLen));
        Bytes vCert(ulLen);
        ASSERT_EQ(SAR_OK, SKF_ExportCertificate(hCon, c.bSign, vCert.data(), &ulLen));
        vCert.resize(ulLen);
        KeyNumbers stExported;
        if (strcmp(c.pszContainer, "DEMO_SM2") == 0) {
            ECCPUBLICKEYBLOB st;
            ulLen = sizeof(st);
            ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(hCon, c.bSign, (BYTE *)&st, &ulLen));
            stExported = NumbersOfBlob(st);
        } else {
            RSAPUBLICKEYBLOB st;
            ulLen = sizeof(st);
            ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(hCon, c.bSign, (BYTE *)&st, &ulLen));
            stExported = NumbersOfBlob(st);
        }
        SKF_CloseContainer(hCon);

        const std::string strDer = Path(std::string(c.pszContainer) + (c.bSign ? "-sign.der" : "-exch.der"));
        const std::string strPem = strDer + ".pem";
        WriteBytes(strDer, vCert);
        ShellRun convert = Shell("openssl x509 -inform DER -in " + Quoted(strDer) + " -outform PEM -out " + Quoted(strPem));
        ASSERT_TRUE(convert.Ok()) << convert.strOut;
        ShellRun parse = Shell("openssl x509 -in " + Quoted(strPem) + " -noout -subject -issuer -text");
        ASSERT_TRUE(parse.Ok()) << parse.strOut;
        EXPECT_NE(std::string::npos, parse.strOut.find(c.pszSubject)) << parse.strOut;
        EXPECT_NE(std::string::npos, parse.strOut.find(c.pszIssuer)) << parse.strOut;
        EXPECT_NE(std::string::npos, parse.strOut.find(std::string("Signature Algorithm: ") + c.pszAlgorithm))
            << parse.strOut;
        ShellRun verify =
            Shell(std::string("openssl verify") + c.pszVerifyOptions + " -CAfile " + Quoted(strCa) + " " + Quoted(strPem));
        EXPECT_TRUE(verify.Ok()) << verify.strOut;
        EXPECT_NE(std::string::npos, verify.strOut.find(strPem + ": OK")) << verify.strOut;
        ShellRun pubkey = Shell("openssl x509 -in " + Quoted(strPem) + " -noout -pubkey");
        ASSERT_TRUE(pubkey.Ok()) << pubkey.strOut;
        KeyNumbers stCertified = NumbersOfPem(pubkey.strOut);
        EXPECT_FALSE(stCertified.vPoint.empty() && stCertified.vN.empty()) << pubkey.strOut;
        EXPECT_EQ(stExported.vPoint, stCertified.vPoint);
        EXPECT_EQ(stExported.vN, stCertified.vN);
        EXPECT_EQ(stExported.vE, stCertified.vE);
        astrSeen.push_back(pubkey.strOut);
    }
    /* Four pairs, four keys. */
    for (size_t i = 0; i < astrSeen.size(); ++i)
        for (size_t j = i + 1; j < astrSeen.size(); ++j) EXPECT_NE(astrSeen[i], astrSeen[j]) << i << "/" << j;

    SKF_CloseApplication(hApp);
    SKF_DisConnectDev(hDev);
}

}  // namespace
