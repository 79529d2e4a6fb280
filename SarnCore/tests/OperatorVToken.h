/* A fixture for device-operator tests against the virtual token: a private
 * daemon, tokens on bus 4 (each test its own address, so its own device
 * mutex), and operators opened the way the device manager opens them. */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "SarnCore/DeviceOperator.h"
#include "SarnCore/KeyObject.h"
#include "VTokenContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

static const unsigned int OPERATOR_TEST_BUS = 4;

using Bytes = std::vector<unsigned char>;

class OperatorVTokenTest : public ::testing::Test {
protected:
    ~OperatorVTokenTest() override
    {
        for (CDeviceOperator *pOp : m_vOperators) {
            pOp->Finalize();
            delete pOp;
        }
    }

    std::string AddToken(unsigned int ulAddr, unsigned int ulAlg = 0x13)
    {
        vtoken::TokenOptions opts;
        opts.serial = Serial(ulAddr);
        opts.bus = OPERATOR_TEST_BUS;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        daemon.CreateToken(opts);
        return DeviceNameOf(OPERATOR_TEST_BUS, ulAddr);
    }

    static std::string Serial(unsigned int ulAddr) { return "VTOP" + std::to_string(ulAddr); }

    /* A new connection with its operator; Initialize's result in *pulInit. */
    CDeviceOperator *Open(const std::string &name, unsigned int ulFlags = 0, unsigned int *pulInit = nullptr)
    {
        CDeviceContext *pCtx = new CDeviceContext();
        EXPECT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        CDeviceOperator *pOp = new CDeviceOperator(pCtx);
        m_vOperators.push_back(pOp);
        unsigned int ulRet = pOp->Initialize(ulFlags);
        if (pulInit != nullptr) *pulInit = ulRet;
        else EXPECT_EQ(0u, ulRet);
        return pOp;
    }

    /* A token with its operator, the user PIN verified. */
    CDeviceOperator *OpenVerified(unsigned int ulAddr, unsigned int ulAlg = 0x13)
    {
        CDeviceOperator *pOp = Open(AddToken(ulAddr, ulAlg));
        EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)"12345678", 8));
        return pOp;
    }

    vtoken::Daemon daemon;
    std::vector<CDeviceOperator *> m_vOperators;
};

/* Independent digests and ciphers for the expectations (OpenSSL EVP). */
inline Bytes EvpDigest(const EVP_MD *md, const Bytes &data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return Bytes(out, out + len);
}

inline Bytes EvpEncryptCbc(unsigned int ulAlg, const unsigned char *key, const Bytes &in)
{
    const EVP_CIPHER *c = ulAlg == 0x13 ? EVP_get_cipherbyname("SM4-CBC") : EVP_des_ede_cbc();
    unsigned char iv[16] = {0};
    Bytes out(in.size() + 16);
    int n1 = 0, n2 = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, c, nullptr, key, iv);
    EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), (int)in.size());
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n1 + n2);
    return out;
}

/* The external-authentication key of a chip serial number. */
inline Bytes ExpectedExternAuthKey(unsigned int ulAlg, const Bytes &chipSN)
{
    static const unsigned char MASTER[16] = {0x3F, 0x7A, 0x19, 0xC2, 0xE0, 0x5B, 0x4D, 0x88,
                                             0x61, 0xA2, 0xF0, 0xC9, 0x3E, 0x17, 0xB6, 0xD4};
    Bytes k = EvpEncryptCbc(ulAlg, MASTER, EvpDigest(EVP_md5(), chipSN));
    k.resize(16);
    return k;
}
