#include "vtoken/token/VtCrypto.h"
#include "vtoken/token/VtOwned.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <stdexcept>

namespace vtoken {

namespace {

VtBytes Digest(const EVP_MD* md, const VtBytes& v)
{
    VtBytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (EVP_Digest(v.data(), v.size(), out.data(), &n, md, nullptr) != 1) {
        throw std::runtime_error("digest failed");
    }
    out.resize(n);
    return out;
}

const EVP_CIPHER* SymCipher(uint8_t byAlg)
{
    switch (byAlg) {
    case 0x13: return EVP_sm4_cbc();
    case 3: return EVP_des_ede_cbc();
    default: return nullptr;
    }
}

// DER of a non-negative integer given big-endian.
void DerInteger(VtBytes& out, const uint8_t* p, size_t n)
{
    while (n > 1 && *p == 0) {
        ++p;
        --n;
    }
    bool bPad = (*p & 0x80) != 0;
    out.push_back(0x02);
    out.push_back(static_cast<uint8_t>(n + (bPad ? 1 : 0)));
    if (bPad) {
        out.push_back(0);
    }
    out.insert(out.end(), p, p + n);
}

void DerLength(VtBytes& out, size_t n)
{
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
}

}  // namespace

VtBytes VtRandom(size_t n)
{
    VtBytes v(n);
    if (n != 0 && RAND_bytes(v.data(), static_cast<int>(n)) != 1) {
        throw std::runtime_error("random generator failed");
    }
    return v;
}

VtBytes VtMd5(const VtBytes& v) { return Digest(EVP_md5(), v); }
VtBytes VtSm3(const VtBytes& v) { return Digest(EVP_sm3(), v); }
VtBytes VtSha1(const VtBytes& v) { return Digest(EVP_sha1(), v); }
VtBytes VtSha256(const VtBytes& v) { return Digest(EVP_sha256(), v); }

bool VtSymAlgorithmKnown(uint8_t byAlg) { return SymCipher(byAlg) != nullptr; }

size_t VtSymBlockSize(uint8_t byAlg) { return byAlg == 3 ? 8 : 16; }

VtSymResult VtSymCrypt(uint8_t byAlg, bool bEncrypt, const VtBytes& vKey, const VtBytes& vIn, VtBytes& vOut)
{
    vOut.clear();
    const EVP_CIPHER* cipher = SymCipher(byAlg);
    if (cipher == nullptr || vKey.size() != 16) {
        return VtSymResult::BadAlgorithm;
    }
    size_t nBlock = VtSymBlockSize(byAlg);
    if (!bEncrypt && (vIn.empty() || vIn.size() % nBlock != 0)) {
        return VtSymResult::BadLength;
    }
    VtOwned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    uint8_t abyIv[16] = {0};
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, vKey.data(), abyIv, bEncrypt ? 1 : 0) != 1) {
        return VtSymResult::BadAlgorithm;
    }
    vOut.assign(vIn.size() + nBlock, 0);
    int n1 = 0;
    int n2 = 0;
    if (EVP_CipherUpdate(ctx.get(), vOut.data(), &n1, vIn.data(), static_cast<int>(vIn.size())) != 1) {
        VtWipe(vOut);
        return VtSymResult::BadLength;
    }
    if (EVP_CipherFinal_ex(ctx.get(), vOut.data() + n1, &n2) != 1) {
        VtWipe(vOut);
        return VtSymResult::BadPadding;
    }
    vOut.resize(static_cast<size_t>(n1 + n2));
    return VtSymResult::Ok;
}

VtPkey VtSm2Generate()
{
    return VtPkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
}

VtPkey VtSm2FromParts(const VtBytes& vD, const VtBytes& vPub65)
{
    if (vD.size() != 32 || vPub65.size() != 65 || vPub65[0] != 0x04) {
        return nullptr;
    }
    VtOwned<BIGNUM> d(BN_bin2bn(vD.data(), 32, nullptr));
    VtOwned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!d || !bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, vPub65.data(), 65) != 1) {
        return nullptr;
    }
    VtOwned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey, EVP_PKEY_KEYPAIR, params.get()) != 1) {
        return nullptr;
    }
    return VtPkey(pKey);
}

bool VtSm2Parts(EVP_PKEY* pKey, VtBytes& vD, VtBytes& vPub65)
{
    BIGNUM* d = nullptr;
    vPub65.assign(65, 0);
    size_t n = 0;
    if (EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1) {
        return false;
    }
    VtOwned<BIGNUM> dOwned(d);
    vD.assign(32, 0);
    if (BN_bn2binpad(d, vD.data(), 32) != 32 ||
        EVP_PKEY_get_octet_string_param(pKey, OSSL_PKEY_PARAM_PUB_KEY, vPub65.data(), 65, &n) != 1 || n != 65) {
        VtWipe(vD);
        return false;
    }
    return true;
}

VtBytes VtSm2PublicXY(EVP_PKEY* pKey)
{
    VtBytes v(65, 0);
    size_t n = 0;
    if (EVP_PKEY_get_octet_string_param(pKey, OSSL_PKEY_PARAM_PUB_KEY, v.data(), v.size(), &n) != 1 || n != 65) {
        return {};
    }
    return VtBytes(v.begin() + 1, v.end());
}

bool VtSm2SignDigest(EVP_PKEY* pKey, const VtBytes& vE, VtBytes& vRS)
{
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    size_t n = 0;
    if (!ctx || vE.size() != 32 || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &n, vE.data(), vE.size()) != 1) {
        return false;
    }
    VtBytes vDer(n);
    if (EVP_PKEY_sign(ctx.get(), vDer.data(), &n, vE.data(), vE.size()) != 1) {
        return false;
    }
    const unsigned char* p = vDer.data();
    VtOwned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n)));
    if (!sig) {
        return false;
    }
    vRS.assign(64, 0);
    return BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), vRS.data(), 32) == 32 &&
           BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), vRS.data() + 32, 32) == 32;
}

bool VtSm2Decrypt(EVP_PKEY* pKey, const VtBytes& vC1C2C3, VtBytes& vPlain)
{
    vPlain.clear();
    if (vC1C2C3.size() < 98 || vC1C2C3[0] != 0x04) {
        return false;
    }
    // OpenSSL takes the cipher text as SEQUENCE { x, y, C3, C2 }.
    const uint8_t* p = vC1C2C3.data();
    size_t nC2 = vC1C2C3.size() - 97;
    VtBytes vBody;
    DerInteger(vBody, p + 1, 32);
    DerInteger(vBody, p + 33, 32);
    vBody.push_back(0x04);
    DerLength(vBody, 32);
    vBody.insert(vBody.end(), p + 65 + nC2, p + 97 + nC2);
    vBody.push_back(0x04);
    DerLength(vBody, nC2);
    vBody.insert(vBody.end(), p + 65, p + 65 + nC2);
    VtBytes vDer = {0x30};
    DerLength(vDer, vBody.size());
    VtAppend(vDer, vBody);

    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    size_t n = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &n, vDer.data(), vDer.size()) != 1) {
        return false;
    }
    vPlain.assign(n, 0);
    if (EVP_PKEY_decrypt(ctx.get(), vPlain.data(), &n, vDer.data(), vDer.size()) != 1) {
        VtWipe(vPlain);
        return false;
    }
    vPlain.resize(n);
    return true;
}

VtPkey VtRsaGenerate(unsigned nBits)
{
    return VtPkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(nBits)));
}

VtBytes VtPrivateToDer(EVP_PKEY* pKey)
{
    int n = i2d_PrivateKey(pKey, nullptr);
    if (n <= 0) {
        return {};
    }
    VtBytes v(static_cast<size_t>(n));
    unsigned char* p = v.data();
    i2d_PrivateKey(pKey, &p);
    return v;
}

VtPkey VtPrivateFromDer(const VtBytes& vDer)
{
    const unsigned char* p = vDer.data();
    return VtPkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(vDer.size())));
}

VtPkey VtLoadPrivatePem(const std::string& strPath)
{
    FILE* f = fopen(strPath.c_str(), "r");
    if (f == nullptr) {
        return nullptr;
    }
    EVP_PKEY* pKey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    return VtPkey(pKey);
}

VtBytes VtRsaPublicNE(EVP_PKEY* pKey)
{
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &n) != 1) {
        return {};
    }
    VtOwned<BIGNUM> nOwned(n);
    if (EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
        return {};
    }
    VtOwned<BIGNUM> eOwned(e);
    int k = BN_num_bytes(n);
    VtBytes v(static_cast<size_t>(k) + 4, 0);
    if (BN_bn2binpad(n, v.data(), k) != k || BN_bn2binpad(e, v.data() + k, 4) != 4) {
        return {};
    }
    return v;
}

bool VtRsaDecryptPkcs1(EVP_PKEY* pKey, const VtBytes& vIn, VtBytes& vOut)
{
    vOut.clear();
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    size_t n = 0;
    if (!ctx || vIn.empty() || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &n, vIn.data(), vIn.size()) != 1) {
        return false;
    }
    vOut.assign(n, 0);
    if (EVP_PKEY_decrypt(ctx.get(), vOut.data(), &n, vIn.data(), vIn.size()) != 1) {
        VtWipe(vOut);
        return false;
    }
    vOut.resize(n);
    return true;
}

bool VtRsaSignSha1(EVP_PKEY* pKey, const VtBytes& vData, VtBytes& vSig)
{
    VtOwned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    size_t n = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha1(), nullptr, pKey) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &n, vData.data(), vData.size()) != 1) {
        return false;
    }
    vSig.assign(n, 0);
    if (EVP_DigestSign(ctx.get(), vSig.data(), &n, vData.data(), vData.size()) != 1) {
        return false;
    }
    vSig.resize(n);
    return true;
}

}  // namespace vtoken
