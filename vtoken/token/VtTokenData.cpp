#include "vtoken/token/VtTokenData.h"
#include "vtoken/token/VtOwned.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace vtoken {

namespace {

const char kContainers[] = "containers";

VtOwned<BIGNUM> Bn(const VtBytes& v) { return VtOwned<BIGNUM>(BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr)); }

VtBytes BnBytes(const BIGNUM* b, size_t n)
{
    VtBytes v(n, 0);
    if (BN_bn2binpad(b, v.data(), static_cast<int>(n)) != static_cast<int>(n)) {
        return {};
    }
    return v;
}

VtOwned<EC_GROUP> Sm2Group() { return VtOwned<EC_GROUP>(EC_GROUP_new_by_curve_name(NID_sm2)); }

VtBytes PointBytes(const EC_GROUP* g, const EC_POINT* p, BN_CTX* ctx)
{
    VtBytes v(65, 0);
    if (EC_POINT_point2oct(g, p, POINT_CONVERSION_UNCOMPRESSED, v.data(), v.size(), ctx) != 65) {
        return {};
    }
    return v;
}

VtOwned<EC_POINT> PointOf(const EC_GROUP* g, const VtBytes& v, BN_CTX* ctx)
{
    VtOwned<EC_POINT> p(EC_POINT_new(g));
    if (!p || v.size() != 65 || v[0] != 0x04 || EC_POINT_oct2point(g, p.get(), v.data(), v.size(), ctx) != 1 ||
        EC_POINT_is_on_curve(g, p.get(), ctx) != 1) {
        return nullptr;
    }
    return p;
}

VtBytes PublicOf(EVP_PKEY* pKey)
{
    VtBytes v(65, 0);
    size_t n = 0;
    if (EVP_PKEY_get_octet_string_param(pKey, OSSL_PKEY_PARAM_PUB_KEY, v.data(), v.size(), &n) != 1 || n != 65) {
        return {};
    }
    return v;
}

VtOwned<BIGNUM> PrivateOf(EVP_PKEY* pKey)
{
    BIGNUM* d = nullptr;
    EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    return VtOwned<BIGNUM>(d);
}

// Z = SM3(ENTL || ID || a || b || xG || yG || xP || yP).
VtBytes UserHash(const EC_GROUP* g, const VtBytes& vId, const VtBytes& vPub65, BN_CTX* ctx)
{
    VtOwned<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), x(BN_new()), y(BN_new());
    if (!p || !a || !b || !x || !y || vId.size() > 0x1FFF || vPub65.size() != 65 ||
        EC_GROUP_get_curve(g, p.get(), a.get(), b.get(), ctx) != 1 ||
        EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), x.get(), y.get(), ctx) != 1) {
        return {};
    }
    VtBytes v;
    VtPutBE16(v, static_cast<uint32_t>(vId.size() * 8));
    VtAppend(v, vId);
    for (const BIGNUM* n : {a.get(), b.get(), x.get(), y.get()}) {
        VtAppend(v, BnBytes(n, 32));
    }
    v.insert(v.end(), vPub65.begin() + 1, vPub65.end());
    return VtSm3(v);
}

// x-bar = 2^w + (x mod 2^w), w = 127 for the 256-bit order.
VtOwned<BIGNUM> XBar(const EC_GROUP* g, const EC_POINT* p, BN_CTX* ctx)
{
    VtOwned<BIGNUM> x(BN_new());
    if (!x || EC_POINT_get_affine_coordinates(g, p, x.get(), nullptr, ctx) != 1) {
        return nullptr;
    }
    int w = (BN_num_bits(EC_GROUP_get0_order(g)) + 1) / 2 - 1;
    BN_mask_bits(x.get(), w);  // 0 when x has fewer bits: x mod 2^w is x itself
    if (BN_set_bit(x.get(), w) != 1) {
        return nullptr;
    }
    return x;
}

}  // namespace

// ---- reader ----

bool CVtReader::Take(size_t n, VtBytes& v)
{
    if (!m_bOk || n > m_v.size() - m_nAt) {
        m_bOk = false;
        v.clear();
        return false;
    }
    v.assign(m_v.begin() + static_cast<long>(m_nAt), m_v.begin() + static_cast<long>(m_nAt + n));
    m_nAt += n;
    return true;
}

static bool ReadNumber(CVtReader& r, size_t n, uint32_t& x)
{
    VtBytes v;
    x = 0;
    if (!r.Take(n, v)) {
        return false;
    }
    for (uint8_t b : v) {
        x = (x << 8) | b;
    }
    return true;
}

bool CVtReader::U8(uint32_t& x) { return ReadNumber(*this, 1, x); }
bool CVtReader::U16(uint32_t& x) { return ReadNumber(*this, 2, x); }
bool CVtReader::U32(uint32_t& x) { return ReadNumber(*this, 4, x); }

VtBytes CVtReader::Rest()
{
    VtBytes v;
    Take(Left(), v);
    return v;
}

uint16_t VtCheckApp(CVtReader& r)
{
    uint32_t ulApp = 0;
    if (!r.U16(ulApp)) {
        return kSwWrongData;
    }
    return ulApp == 0 ? kSwOk : kSwNotFound;
}

uint16_t VtCheckAuthPrefix(CVtToken& t, CVtReader& r)
{
    VtBytes vCode;
    if (!r.Take(16, vCode)) {
        return kSwWrongData;
    }
    if (!t.AuthCodeValid(vCode.data(), vCode.size())) {
        return kSwSecurityStatus;
    }
    return VtCheckApp(r);
}

// ---- containers ----

std::string CVtContainer::Name() const
{
    size_t n = vRecord[9] < kVtContainerRecord - 10 ? vRecord[9] : kVtContainerRecord - 10;
    return std::string(vRecord.begin() + 10, vRecord.begin() + 10 + static_cast<long>(n));
}

std::vector<CVtContainer> VtLoadContainers(const CVtTokenState& s)
{
    std::vector<CVtContainer> v;
    auto it = s.mapRecords.find(kContainers);
    if (it == s.mapRecords.end()) {
        return v;
    }
    for (size_t i = 0; i + kVtContainerRecord <= it->second.size(); i += kVtContainerRecord) {
        CVtContainer c;
        c.vRecord.assign(it->second.begin() + static_cast<long>(i),
                         it->second.begin() + static_cast<long>(i + kVtContainerRecord));
        v.push_back(std::move(c));
    }
    return v;
}

void VtStoreContainers(CVtTokenState& s, const std::vector<CVtContainer>& v)
{
    VtBytes vAll;
    for (const CVtContainer& c : v) {
        VtAppend(vAll, c.vRecord);
    }
    s.mapRecords[kContainers] = vAll;
}

int VtContainerOfFile(const std::vector<CVtContainer>& v, uint32_t ulFid)
{
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i].Base() == (ulFid & ~3u) && ((ulFid & 3u) == 1 || (ulFid & 3u) == 2)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void VtNoteKey(CVtTokenState& s, uint32_t ulFid, uint8_t byAlg)
{
    std::vector<CVtContainer> v = VtLoadContainers(s);
    int i = VtContainerOfFile(v, ulFid);
    if (i < 0) {
        return;
    }
    VtBytes& r = v[static_cast<size_t>(i)].vRecord;
    r[0] = byAlg == kVtAlgSm2 ? 2 : 1;
    r[(ulFid & 3u) == 1 ? 4 : 6] = byAlg;
    VtStoreContainers(s, v);
}

void VtNoteCert(CVtTokenState& s, uint32_t ulFid, bool bPresent)
{
    std::vector<CVtContainer> v = VtLoadContainers(s);
    int i = VtContainerOfFile(v, ulFid);
    if (i < 0) {
        return;
    }
    v[static_cast<size_t>(i)].vRecord[(ulFid & 3u) == 1 ? 5 : 7] = bPresent ? 1 : 0;
    VtStoreContainers(s, v);
}

// ---- key records ----

static std::string FidName(const char* szPrefix, uint32_t ulFid)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%s.%04X", szPrefix, ulFid & 0xFFFFu);
    return sz;
}

std::string VtKeyName(uint32_t ulFid) { return FidName("key", ulFid); }
std::string VtCertName(uint32_t ulFid) { return FidName("cert", ulFid); }

CVtKeyPair VtLoadKey(const CVtTokenState& s, uint32_t ulFid)
{
    CVtKeyPair kp;
    auto it = s.mapRecords.find(VtKeyName(ulFid));
    if (it == s.mapRecords.end() || it->second.empty()) {
        return kp;
    }
    const VtBytes& v = it->second;
    uint8_t byAlg = v[0];
    if (byAlg == kVtAlgSm2 && v.size() == 1 + 32 + 65) {
        kp.key = VtSm2FromParts(VtBytes(v.begin() + 1, v.begin() + 33), VtBytes(v.begin() + 33, v.end()));
    } else if (byAlg != kVtAlgSm2 && v.size() >= 3) {
        size_t k = VtGetBE16(&v[1]);
        if (v.size() == 3 + 2 * k + 4) {
            kp.key = VtRsaFromParts(VtBytes(v.begin() + 3, v.begin() + 3 + static_cast<long>(k)),
                                    VtBytes(v.begin() + 3 + static_cast<long>(k), v.begin() + 7 + static_cast<long>(k)),
                                    VtBytes(v.begin() + 7 + static_cast<long>(k), v.end()));
        }
    }
    if (kp.key) {
        kp.byAlg = byAlg;
    }
    return kp;
}

bool VtStoreKey(CVtTokenState& s, uint32_t ulFid, uint8_t byAlg, EVP_PKEY* pKey)
{
    VtBytes v = {byAlg};
    if (byAlg == kVtAlgSm2) {
        VtBytes vD, vPub;
        if (!VtSm2Parts(pKey, vD, vPub)) {
            return false;
        }
        VtAppend(v, vD);
        VtAppend(v, vPub);
        VtWipe(vD);
    } else {
        BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
        EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &n);
        EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_E, &e);
        EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_D, &d);
        VtOwned<BIGNUM> on(n), oe(e), od(d);
        if (!n || !e || !d) {
            return false;
        }
        size_t k = static_cast<size_t>(BN_num_bytes(n));
        VtPutBE16(v, static_cast<uint32_t>(k));
        VtAppend(v, BnBytes(n, k));
        VtAppend(v, BnBytes(e, 4));
        VtBytes vD = BnBytes(d, k);
        if (vD.empty()) {
            return false;
        }
        VtAppend(v, vD);
        VtWipe(vD);
    }
    s.mapRecords[VtKeyName(ulFid)] = v;
    VtWipe(v);
    VtNoteKey(s, ulFid, byAlg);
    return true;
}

CVtKeyPair VtLoadKeyOrPartner(const CVtTokenState& s, uint32_t ulFid)
{
    CVtKeyPair kp = VtLoadKey(s, ulFid);
    if (!kp.key) {
        kp = VtLoadKey(s, (ulFid & ~3u) | ((ulFid & 3u) == 1 ? 2u : 1u));
    }
    return kp;
}

// ---- volatile key state ----

void CVtVolatile::SetKey(const VtBytes& v)
{
    VtWipe(vKey);
    vKey = v;
    bHaveKey = true;
    bCipher = false;
}

CVtVolatile::~CVtVolatile()
{
    VtWipe(vKey);
    VtWipe(vImport);
}

uint16_t VtCheckKeySpec(uint32_t ulSpec, uint8_t& byMode)
{
    byMode = static_cast<uint8_t>(ulSpec & 0xFF);
    if ((ulSpec >> 8) == 0x10) {
        return kSwUnknownIns;
    }
    return (ulSpec >> 8) == 0x13 && (byMode == 1 || byMode == 2) ? kSwOk : kSwWrongData;
}

uint16_t VtKeyAt(const CVtTokenState& s, uint32_t ulFid, CVtKeyPair& kp)
{
    kp = VtLoadKey(s, ulFid);
    return kp.key ? kSwOk : kSwNotFound;
}

CVtVolatile& VtVolatileOf(CVtToken& t)
{
    // Kept beside the token, by its id; a new plug-in starts afresh.
    static std::mutex mutex;
    static std::map<std::string, std::pair<uint32_t, std::unique_ptr<CVtVolatile>>> map;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = map[t.State().strId];
    if (!slot.second || slot.first != t.State().ulGeneration) {
        if (slot.second) {
            VtWipe(slot.second->vKey);
        }
        slot.first = t.State().ulGeneration;
        slot.second.reset(new CVtVolatile());
    }
    return *slot.second;
}

// ---- SM2 ----

VtBytes VtSm2PublicOf(const VtBytes& vD)
{
    VtOwned<EC_GROUP> g = Sm2Group();
    VtOwned<BN_CTX> ctx(BN_CTX_new());
    VtOwned<BIGNUM> d = Bn(vD);
    if (!g || !ctx || !d || vD.size() != 32 || BN_is_zero(d.get()) ||
        BN_cmp(d.get(), EC_GROUP_get0_order(g.get())) >= 0) {
        return {};
    }
    VtOwned<EC_POINT> p(EC_POINT_new(g.get()));
    if (!p || EC_POINT_mul(g.get(), p.get(), d.get(), nullptr, nullptr, ctx.get()) != 1) {
        return {};
    }
    return PointBytes(g.get(), p.get(), ctx.get());
}

VtPkey VtSm2FromPrivate(const VtBytes& vD)
{
    VtBytes vPub = VtSm2PublicOf(vD);
    return vPub.empty() ? nullptr : VtSm2FromParts(vD, vPub);
}

VtPkey VtSm2FromPublic(const VtBytes& vPub65)
{
    {
        VtOwned<EC_GROUP> g = Sm2Group();
        VtOwned<BN_CTX> ctx(BN_CTX_new());
        if (!g || !ctx || !PointOf(g.get(), vPub65, ctx.get())) {
            return nullptr;
        }
    }
    VtOwned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, vPub65.data(), 65) != 1) {
        return nullptr;
    }
    VtOwned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return VtPkey(pKey);
}

bool VtSm2Encrypt(EVP_PKEY* pKey, const VtBytes& vPlain, VtBytes& vOut)
{
    vOut.clear();
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    size_t n = 0;
    if (!ctx || vPlain.empty() || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, vPlain.data(), vPlain.size()) != 1) {
        return false;
    }
    VtBytes vDer(n);
    if (EVP_PKEY_encrypt(ctx.get(), vDer.data(), &n, vPlain.data(), vPlain.size()) != 1) {
        return false;
    }
    // SEQUENCE { x INTEGER, y INTEGER, C3 OCTET STRING, C2 OCTET STRING }
    const unsigned char* p = vDer.data();
    VtOwned<ASN1_SEQUENCE_ANY> seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(n)));
    if (!seq || sk_ASN1_TYPE_num(seq.get()) != 4) {
        return false;
    }
    ASN1_TYPE* t[4];
    for (int i = 0; i < 4; ++i) {
        t[i] = sk_ASN1_TYPE_value(seq.get(), i);
    }
    if (t[0]->type != V_ASN1_INTEGER || t[1]->type != V_ASN1_INTEGER || t[2]->type != V_ASN1_OCTET_STRING ||
        t[3]->type != V_ASN1_OCTET_STRING || ASN1_STRING_length(t[2]->value.octet_string) != 32) {
        return false;
    }
    VtOwned<BIGNUM> x(ASN1_INTEGER_to_BN(t[0]->value.integer, nullptr));
    VtOwned<BIGNUM> y(ASN1_INTEGER_to_BN(t[1]->value.integer, nullptr));
    if (!x || !y) {
        return false;
    }
    vOut = {0x04};
    VtAppend(vOut, BnBytes(x.get(), 32));
    VtAppend(vOut, BnBytes(y.get(), 32));
    const ASN1_OCTET_STRING* c2 = t[3]->value.octet_string;
    const ASN1_OCTET_STRING* c3 = t[2]->value.octet_string;
    vOut.insert(vOut.end(), ASN1_STRING_get0_data(c2), ASN1_STRING_get0_data(c2) + ASN1_STRING_length(c2));
    vOut.insert(vOut.end(), ASN1_STRING_get0_data(c3), ASN1_STRING_get0_data(c3) + 32);
    return vOut.size() == 97 + vPlain.size();
}

VtBytes VtSm2CipherAnswer(const VtBytes& vC1C2C3)
{
    size_t nC2 = vC1C2C3.size() - 97;
    VtBytes v;
    VtPutBE32(v, 256);
    v.insert(v.end(), vC1C2C3.begin() + 1, vC1C2C3.begin() + 65);
    v.insert(v.end(), vC1C2C3.end() - 32, vC1C2C3.end());
    VtPutBE32(v, static_cast<uint32_t>(nC2));
    v.insert(v.end(), vC1C2C3.begin() + 65, vC1C2C3.begin() + 65 + static_cast<long>(nC2));
    return v;
}

VtBytes VtSm2UserHash(const VtBytes& vId, const VtBytes& vPub65)
{
    VtOwned<EC_GROUP> g = Sm2Group();
    VtOwned<BN_CTX> ctx(BN_CTX_new());
    return g && ctx ? UserHash(g.get(), vId, vPub65, ctx.get()) : VtBytes();
}

VtBytes VtSm2PublicOfKey(EVP_PKEY* pKey) { return PublicOf(pKey); }

bool VtSm2Agree(EVP_PKEY* pOwn, EVP_PKEY* pOwnTemp, const VtBytes& vPeerPub, const VtBytes& vPeerTemp,
                const VtBytes& vIdA, const VtBytes& vIdB, bool bInitiator, size_t nKeyLen, VtBytes& vKey)
{
    vKey.clear();
    VtOwned<EC_GROUP> g = Sm2Group();
    VtOwned<BN_CTX> ctx(BN_CTX_new());
    if (!g || !ctx) {
        return false;
    }
    const BIGNUM* n = EC_GROUP_get0_order(g.get());
    VtOwned<BIGNUM> d = PrivateOf(pOwn), r = PrivateOf(pOwnTemp);
    VtBytes vOwnPub = PublicOf(pOwn), vOwnTemp = PublicOf(pOwnTemp);
    VtOwned<EC_POINT> ownR = PointOf(g.get(), vOwnTemp, ctx.get());
    VtOwned<EC_POINT> peerP = PointOf(g.get(), vPeerPub, ctx.get());
    VtOwned<EC_POINT> peerR = PointOf(g.get(), vPeerTemp, ctx.get());
    if (!d || !r || !ownR || !peerP || !peerR) {
        return false;
    }
    // t = (d + x-bar(own R) * r) mod n; U = [t](P' + [x-bar(peer R)] R').
    VtOwned<BIGNUM> xOwn = XBar(g.get(), ownR.get(), ctx.get());
    VtOwned<BIGNUM> xPeer = XBar(g.get(), peerR.get(), ctx.get());
    VtOwned<BIGNUM> t(BN_new());
    VtOwned<EC_POINT> sum(EC_POINT_new(g.get())), u(EC_POINT_new(g.get()));
    if (!xOwn || !xPeer || !t || !sum || !u || BN_mod_mul(t.get(), xOwn.get(), r.get(), n, ctx.get()) != 1 ||
        BN_mod_add(t.get(), t.get(), d.get(), n, ctx.get()) != 1 ||
        EC_POINT_mul(g.get(), sum.get(), nullptr, peerR.get(), xPeer.get(), ctx.get()) != 1 ||
        EC_POINT_add(g.get(), sum.get(), sum.get(), peerP.get(), ctx.get()) != 1 ||
        EC_POINT_mul(g.get(), u.get(), nullptr, sum.get(), t.get(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(g.get(), u.get()) == 1) {
        return false;
    }
    VtBytes vU = PointBytes(g.get(), u.get(), ctx.get());
    VtBytes vZA = UserHash(g.get(), vIdA, bInitiator ? vOwnPub : vPeerPub, ctx.get());
    VtBytes vZB = UserHash(g.get(), vIdB, bInitiator ? vPeerPub : vOwnPub, ctx.get());
    if (vU.empty() || vZA.empty() || vZB.empty()) {
        return false;
    }
    VtBytes vZ(vU.begin() + 1, vU.end());
    VtAppend(vZ, vZA);
    VtAppend(vZ, vZB);
    for (uint32_t ct = 1; vKey.size() < nKeyLen; ++ct) {
        VtBytes vIn = vZ;
        VtPutBE32(vIn, ct);
        VtAppend(vKey, VtSm3(vIn));
    }
    vKey.resize(nKeyLen);
    VtWipe(vZ);
    VtWipe(vU);
    return true;
}

// ---- RSA ----

VtPkey VtRsaFromParts(const VtBytes& vN, const VtBytes& vE, const VtBytes& vD)
{
    VtOwned<BIGNUM> n = Bn(vN), e = Bn(vE), d = Bn(vD);
    VtOwned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !d || !bld || BN_is_zero(e.get()) ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1) {
        return nullptr;
    }
    VtOwned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey, EVP_PKEY_KEYPAIR, params.get()) != 1) {
        return nullptr;
    }
    return VtPkey(pKey);
}

VtPkey VtRsaGenerateE(unsigned nBits, uint32_t ulExponent)
{
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    VtOwned<BIGNUM> e(BN_new());
    EVP_PKEY* pKey = nullptr;
    if (!ctx || !e || BN_set_word(e.get(), ulExponent) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(nBits)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &pKey) != 1) {
        return nullptr;
    }
    return VtPkey(pKey);
}

size_t VtRsaBytes(EVP_PKEY* pKey) { return static_cast<size_t>(EVP_PKEY_get_size(pKey)); }

bool VtRsaPrivateRaw(EVP_PKEY* pKey, const VtBytes& vIn, VtBytes& vOut)
{
    vOut.clear();
    size_t k = VtRsaBytes(pKey);
    VtOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    size_t n = k;
    if (!ctx || vIn.size() != k || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1) {
        return false;
    }
    vOut.assign(k, 0);
    if (EVP_PKEY_decrypt(ctx.get(), vOut.data(), &n, vIn.data(), vIn.size()) != 1 || n != k) {
        VtWipe(vOut);
        return false;
    }
    return true;
}

// ---- SM4 ----

bool VtSm4Blocks(bool bEncrypt, uint8_t byMode, const VtBytes& vKey, VtBytes& vIv, const VtBytes& vIn, VtBytes& vOut)
{
    vOut.clear();
    if (vKey.size() != 16 || vIn.size() % 16 != 0 || (byMode != 1 && byMode != 2) || (byMode == 2 && vIv.size() != 16)) {
        return false;
    }
    if (vIn.empty()) {
        return true;
    }
    VtOwned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    vOut.assign(vIn.size(), 0);
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), byMode == 1 ? EVP_sm4_ecb() : EVP_sm4_cbc(), nullptr, vKey.data(),
                          byMode == 2 ? vIv.data() : nullptr, bEncrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), vOut.data(), &n, vIn.data(), static_cast<int>(vIn.size())) != 1 ||
        static_cast<size_t>(n) != vIn.size()) {
        VtWipe(vOut);
        return false;
    }
    if (byMode == 2) {
        const VtBytes& vLast = bEncrypt ? vOut : vIn;
        vIv.assign(vLast.end() - 16, vLast.end());
    }
    return true;
}

}  // namespace vtoken
