#include "vtoken/tests/VtTestHost.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <fstream>
#include <stdexcept>

namespace vtoken {
namespace test {

namespace {

// Master key of the external authentication, as the middleware holds it.
const VtBytes kMaster = {0x3F, 0x7A, 0x19, 0xC2, 0xE0, 0x5B, 0x4D, 0x88,
                         0x61, 0xA2, 0xF0, 0xC9, 0x3E, 0x17, 0xB6, 0xD4};

VtBytes ReadHexFile(const std::string& strName)
{
    std::ifstream in(std::string(VT_PRODUCT_KEYS_DIR) + "/" + strName);
    std::string s;
    in >> s;
    VtBytes v;
    if (!VtUnhex(s, v)) {
        throw std::runtime_error("bad key file " + strName);
    }
    return v;
}

VtPkey FromParams(const char* szType, OSSL_PARAM_BLD* bld)
{
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, szType, nullptr);
    EVP_PKEY* pKey = nullptr;
    if (ctx == nullptr || params == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &pKey, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        pKey = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    return VtPkey(pKey);
}

VtPkey Sm2Public(const VtBytes& vXY)
{
    VtBytes vPub = {0x04};
    VtAppend(vPub, vXY);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, vPub.data(), vPub.size());
    VtPkey key = FromParams("SM2", bld);
    OSSL_PARAM_BLD_free(bld);
    return key;
}

VtPkey RsaPublic(const VtBytes& vNE)
{
    size_t k = vNE.size() - 4;
    BIGNUM* n = BN_bin2bn(vNE.data(), static_cast<int>(k), nullptr);
    BIGNUM* e = BN_bin2bn(vNE.data() + k, 4, nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    VtPkey key = FromParams("RSA", bld);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return key;
}

// Reads one DER element; false past the end.
bool DerNext(const VtBytes& v, size_t& pos, uint8_t byTag, VtBytes& vValue)
{
    if (pos + 2 > v.size() || v[pos] != byTag) {
        return false;
    }
    size_t n = v[pos + 1];
    pos += 2;
    if (n & 0x80) {
        size_t nBytes = n & 0x7F;
        n = 0;
        for (size_t i = 0; i < nBytes && pos < v.size(); ++i) {
            n = (n << 8) | v[pos++];
        }
    }
    if (pos + n > v.size()) {
        return false;
    }
    vValue.assign(v.begin() + static_cast<long>(pos), v.begin() + static_cast<long>(pos + n));
    pos += n;
    return true;
}

VtBytes Fixed32(VtBytes v)
{
    while (v.size() > 32 && v[0] == 0) {
        v.erase(v.begin());
    }
    v.insert(v.begin(), 32 - v.size(), 0);
    return v;
}

VtBytes SymEnc(uint8_t byAlg, const VtBytes& vKey, const VtBytes& vIn)
{
    VtBytes v;
    if (VtSymCrypt(byAlg, true, vKey, vIn, v) != VtSymResult::Ok) {
        throw std::runtime_error("encryption failed");
    }
    return v;
}

}  // namespace

VtBytes Cbw(uint32_t ulTag, uint32_t ulLength, uint8_t byFlags, uint8_t byCmd, uint32_t ulFrame)
{
    VtBytes v(31, 0);
    v[0] = 'U';
    v[1] = 'S';
    v[2] = 'B';
    v[3] = 'C';
    VtPutLE32(&v[4], ulTag);
    VtPutLE32(&v[8], ulLength);
    v[12] = byFlags;
    v[14] = 10;
    v[15] = 0xFF;
    v[16] = byCmd;
    if (byCmd == 0xF0) {
        VtPutLE32(&v[17], ulFrame);
    }
    return v;
}

CUsbLink::CUsbLink(libusb_context* ctx, uint8_t byBus, uint8_t byAddress)
{
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == byBus && libusb_get_device_address(list[i]) == byAddress) {
            if (libusb_open(list[i], &m_pHandle) != 0) {
                m_pHandle = nullptr;
            }
            break;
        }
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
}

CUsbLink::~CUsbLink()
{
    if (m_pHandle != nullptr) {
        libusb_close(m_pHandle);
    }
}

int CUsbLink::Out(const VtBytes& v)
{
    int n = 0;
    VtBytes w = v;
    return libusb_bulk_transfer(m_pHandle, kEpOut, w.data(), static_cast<int>(w.size()), &n, 5000);
}

int CUsbLink::In(VtBytes& v, int iMax)
{
    v.assign(static_cast<size_t>(iMax), 0);
    int n = 0;
    int rc = libusb_bulk_transfer(m_pHandle, kEpIn, v.data(), iMax, &n, 5000);
    v.resize(rc == 0 ? static_cast<size_t>(n) : 0);
    return rc;
}

int CUsbLink::ReadReply(VtBytes& vData, VtBytes& vCsw)
{
    VtBytes vAll;
    while (vAll.size() < 1024) {
        VtBytes v;
        int rc = In(v, static_cast<int>(1024 - vAll.size()));
        if (rc != 0) {
            return rc;
        }
        VtAppend(vAll, v);
        if (vAll.size() >= 13 && vAll[vAll.size() - 13] == 'U' && vAll[vAll.size() - 12] == 'S' &&
            vAll[vAll.size() - 11] == 'B' && vAll[vAll.size() - 10] == 'S') {
            vCsw.assign(vAll.end() - 13, vAll.end());
            vData.assign(vAll.begin(), vAll.end() - 13);
            return 0;
        }
    }
    return -100;
}

int CUsbLink::Exchange(const VtBytes& vFrame, VtBytes& vAnswer)
{
    int rc = Out(Cbw(m_ulTag, static_cast<uint32_t>(vFrame.size()), 0x00, 0xF0, static_cast<uint32_t>(vFrame.size())));
    if (rc == 0) {
        rc = Out(vFrame);
    }
    VtBytes vData;
    VtBytes vCsw;
    if (rc == 0) {
        rc = ReadReply(vData, vCsw);
    }
    if (rc != 0) {
        return rc;
    }
    if (!vData.empty() || VtGetLE32(&vCsw[4]) != m_ulTag || vCsw[12] != 0) {
        return -100;
    }
    rc = Out(Cbw(m_ulTag, 1024, 0x80, 0xF1, 0));
    if (rc == 0) {
        rc = ReadReply(vAnswer, vCsw);
    }
    if (rc != 0) {
        return rc;
    }
    return VtGetLE32(&vCsw[4]) == m_ulTag && vCsw[12] == 0 ? 0 : -100;
}

CApduReply CHost::Raw(const VtBytes& vFrame)
{
    CApduReply r;
    VtBytes vAnswer;
    r.iUsb = m_link.Exchange(vFrame, vAnswer);
    r.nRaw = vAnswer.size();
    if (r.iUsb == 0 && vAnswer.size() >= 2) {
        r.wSW = static_cast<uint16_t>(VtGetBE16(vAnswer.data()));
        if (vAnswer.size() > 4) {
            r.vPayload.assign(vAnswer.begin() + 4, vAnswer.end());
        }
    }
    return r;
}

static VtBytes Frame(uint8_t byCla, uint8_t byIns, uint8_t byP1, uint8_t byP2, const VtBytes& vBody)
{
    VtBytes v = {byCla, byIns, byP1, byP2};
    VtPutBE16(v, static_cast<uint32_t>(vBody.size()));
    VtPutBE16(v, 0);
    VtAppend(v, vBody);
    return v;
}

CApduReply CHost::Plain(uint8_t byIns, uint8_t byP1, uint8_t byP2, const VtBytes& vBody)
{
    return Raw(Frame(0xB0, byIns, byP1, byP2, vBody));
}

CApduReply CHost::Secure(uint8_t byIns, uint8_t byP1, uint8_t byP2, const VtBytes& vBody)
{
    VtBytes vBlock = {m_abySid[0], m_abySid[1]};
    VtPutBE16(vBlock, static_cast<uint32_t>(vBody.size()));
    VtAppend(vBlock, vBody);
    CApduReply r = Raw(Frame(0xB4, byIns, byP1, byP2, SymEnc(m_byAlg, m_vTransferKey, vBlock)));
    if (r.iUsb == 0 && r.nRaw > 4) {
        VtBytes vPlain;
        if (VtSymCrypt(m_byAlg, false, m_vTransferKey, r.vPayload, vPlain) != VtSymResult::Ok || vPlain.size() < 4) {
            r.iUsb = -101;
            return r;
        }
        m_abySid[0] = vPlain[0];
        m_abySid[1] = vPlain[1];
        r.vPayload.assign(vPlain.begin() + 4, vPlain.end());
    }
    return r;
}

VtBytes CHost::ExternalAuthKey()
{
    CApduReply sn = Plain(0x04, 3, 0);
    VtBytes v = SymEnc(m_byAlg, kMaster, VtMd5(sn.vPayload));
    v.resize(16);
    return v;
}

std::string CHost::EstablishSession(bool bCheckSignature)
{
    VtBytes vAuthKey = ExternalAuthKey();
    CApduReply ch = Plain(0x10, 0, 0);
    if (ch.wSW != 0x9000 || ch.vPayload.size() != 16) {
        return "external authentication request";
    }
    if (Plain(0x10, 1, 0, SymEnc(m_byAlg, vAuthKey, ch.vPayload)).wSW != 0x9000) {
        return "external authentication response";
    }
    CApduReply ex = Plain(0x07, 0, 0);
    size_t nKey = m_byAlg == 0x13 ? 64 : 132;
    if (ex.wSW != 0x9000 || ex.vPayload.size() != nKey + (m_byAlg == 0x13 ? 64 : 128)) {
        return "export of the authentication key";
    }
    VtBytes vPublic(ex.vPayload.begin(), ex.vPayload.begin() + static_cast<long>(nKey));
    VtBytes vSig(ex.vPayload.begin() + static_cast<long>(nKey), ex.vPayload.end());
    if (bCheckSignature && !VerifyProductSignature(m_byAlg, vPublic, vSig)) {
        return "product signature";
    }
    VtBytes vKey = VtRandom(16);
    VtBytes vWrapped = SymEnc(m_byAlg, vAuthKey, vKey);
    VtBytes vSent = m_byAlg == 0x13 ? Sm2Encrypt(vPublic, vWrapped) : RsaEncrypt(vPublic, vWrapped);
    if (Plain(0x0A, 0, 0, vSent).wSW != 0x9000) {
        return "set session key";
    }
    m_vTransferKey = vKey;
    m_abySid[0] = vKey[0];
    m_abySid[1] = vKey[1];
    return "";
}

VtBytes CHost::PinProof(const VtBytes& vChallenge, const std::string& strPin)
{
    VtBytes v = VtMd5(VtBytesOf(strPin));
    VtAppend(v, vChallenge);
    return VtMd5(v);
}

CApduReply CHost::Answer(const VtBytes& vBody, uint8_t byIns, uint8_t byP2, const VtBytes& vKey132,
                         const VtBytes& vPlain)
{
    VtBytes vCmd = {0, 0};
    VtAppend(vCmd, vBody.empty() ? RsaEncrypt(vKey132, vPlain) : vBody);
    m_byLastIns = byIns;
    m_byLastP2 = byP2;
    m_vLastAnswer = vCmd;
    return Secure(byIns, 1, byP2, vCmd);
}

CApduReply CHost::VerifyPin(uint8_t byPinType, const std::string& strPin)
{
    CApduReply r = Secure(0x18, 0, byPinType, {0, 0});
    if (r.wSW != 0x9000 || r.vPayload.size() != 148) {
        return r;
    }
    m_vChallenge.assign(r.vPayload.begin(), r.vPayload.begin() + 16);
    VtBytes vKey(r.vPayload.begin() + 16, r.vPayload.end());
    return Answer({}, 0x18, 0, vKey, PinProof(m_vChallenge, strPin));
}

CApduReply CHost::ChangePin(uint8_t byPinType, const std::string& strOld, const std::string& strNew)
{
    CApduReply r = Secure(0x16, 0, byPinType, {0, 0});
    if (r.wSW != 0x9000 || r.vPayload.size() != 148) {
        return r;
    }
    m_vChallenge.assign(r.vPayload.begin(), r.vPayload.begin() + 16);
    VtBytes vKey(r.vPayload.begin() + 16, r.vPayload.end());
    VtBytes vPlain = PinProof(m_vChallenge, strOld);
    VtAppend(vPlain, VtMd5(VtBytesOf(strNew)));
    return Answer({}, 0x16, 0, vKey, vPlain);
}

CApduReply CHost::AdminPair(uint8_t byIns, const std::string& strSoPin)
{
    CApduReply r = Secure(byIns, 0, 0, {0, 0});
    if (r.wSW != 0x9000 || r.vPayload.size() != 148) {
        return r;
    }
    m_vChallenge.assign(r.vPayload.begin(), r.vPayload.begin() + 16);
    VtBytes vKey(r.vPayload.begin() + 16, r.vPayload.end());
    return Answer({}, byIns, 0, vKey, PinProof(m_vChallenge, strSoPin));
}

CApduReply CHost::IssuerPair(uint8_t byIns)
{
    VtBytes vAuthKey = ExternalAuthKey();
    CApduReply r = Secure(byIns, 0, 0, {0, 0});
    if (r.wSW != 0x9000 || r.vPayload.size() != 148) {
        return r;
    }
    m_vChallenge.assign(r.vPayload.begin(), r.vPayload.begin() + 16);
    return Answer(SymEnc(m_byAlg, vAuthKey, m_vChallenge), byIns, 1, {}, {});
}

VtPkey ProductSm2Public() { return Sm2Public(ReadHexFile("product-sm2-public.hex")); }
VtPkey ProductRsaPublic() { return RsaPublic(ReadHexFile("product-rsa-public.hex")); }

bool VerifyProductSignature(uint8_t byAlg, const VtBytes& vPublic, const VtBytes& vSig)
{
    VtBytes vData = VtBytesOf("Sarn-Product");
    VtAppend(vData, vPublic);
    if (byAlg == 0x13) {
        VtPkey root = ProductSm2Public();
        VtBytes e = VtSm3(vData);
        if (!root || vSig.size() != 64) {
            return false;
        }
        ECDSA_SIG* sig = ECDSA_SIG_new();
        ECDSA_SIG_set0(sig, BN_bin2bn(vSig.data(), 32, nullptr), BN_bin2bn(vSig.data() + 32, 32, nullptr));
        unsigned char* pDer = nullptr;
        int nDer = i2d_ECDSA_SIG(sig, &pDer);
        ECDSA_SIG_free(sig);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, root.get(), nullptr);
        bool bOk = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
                   EVP_PKEY_verify(ctx, pDer, static_cast<size_t>(nDer), e.data(), e.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        OPENSSL_free(pDer);
        return bOk;
    }
    VtPkey root = ProductRsaPublic();
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool bOk = root && EVP_DigestVerifyInit(md, nullptr, EVP_sha1(), nullptr, root.get()) == 1 &&
               EVP_DigestVerify(md, vSig.data(), vSig.size(), vData.data(), vData.size()) == 1;
    EVP_MD_CTX_free(md);
    return bOk;
}

namespace {

VtBytes PublicEncrypt(EVP_PKEY* pKey, const VtBytes& vPlain, bool bRsa)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr);
    size_t n = 0;
    VtBytes v;
    if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
        (!bRsa || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1) &&
        EVP_PKEY_encrypt(ctx, nullptr, &n, vPlain.data(), vPlain.size()) == 1) {
        v.resize(n);
        if (EVP_PKEY_encrypt(ctx, v.data(), &n, vPlain.data(), vPlain.size()) == 1) {
            v.resize(n);
        } else {
            v.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return v;
}

}  // namespace

VtBytes RsaEncrypt(const VtBytes& vKey132, const VtBytes& vPlain)
{
    return PublicEncrypt(RsaPublic(vKey132).get(), vPlain, true);
}

VtBytes Sm2Encrypt(const VtBytes& vXY, const VtBytes& vPlain)
{
    VtBytes vDer = PublicEncrypt(Sm2Public(vXY).get(), vPlain, false);
    // SEQUENCE { x, y, C3, C2 } -> 04 || x || y || C2 || C3
    size_t pos = 0;
    VtBytes vSeq;
    VtBytes x;
    VtBytes y;
    VtBytes c3;
    VtBytes c2;
    size_t p2 = 0;
    if (!DerNext(vDer, pos, 0x30, vSeq) || !DerNext(vSeq, p2, 0x02, x) || !DerNext(vSeq, p2, 0x02, y) ||
        !DerNext(vSeq, p2, 0x04, c3) || !DerNext(vSeq, p2, 0x04, c2)) {
        throw std::runtime_error("SM2 encryption failed");
    }
    VtBytes v = {0x04};
    VtAppend(v, Fixed32(x));
    VtAppend(v, Fixed32(y));
    VtAppend(v, c2);
    VtAppend(v, c3);
    return v;
}

CTokenFixture::CTokenFixture()
{
    const libusb_version* ver = libusb_get_version();
    if (std::string(ver->describe) != "virtual token stand-in") {
        throw std::runtime_error("the libusb stand-in is not in front of libusb (LD_LIBRARY_PATH)");
    }
    if (libusb_init(&m_pCtx) != 0) {
        throw std::runtime_error("libusb_init failed");
    }
}

CTokenFixture::~CTokenFixture()
{
    libusb_exit(m_pCtx);
}

}  // namespace test
}  // namespace vtoken
