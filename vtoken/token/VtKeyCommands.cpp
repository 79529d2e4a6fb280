// Key and certificate commands: random numbers, key pairs of a container
// (RSA-1024, RSA-2048, SM2: generated or imported), the token's key slot
// (a 16-byte symmetric key, imported wrapped or plain, made for a session
// key export or agreed by SM2 key exchange), public-key export and the
// certificates of a container's key pairs.
//
// Key pairs and certificates are kept apart from the data files, by the
// key or certificate file id (container base | 1 exchange, | 2 signature);
// a file id outside every container is 6A 88, and so is a key or agreement
// that does not exist.
#include "vtoken/token/VtTokenData.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <algorithm>

namespace vtoken {

namespace {

constexpr size_t kSessionKeyLen = 16;
constexpr size_t kMaxCert = 2560;
constexpr size_t kMaxCertRead = 1000;  // what fits through the transport
constexpr size_t kMaxRandom = 1000;
constexpr size_t kMaxAgreements = 8;
constexpr uint32_t kSm2Bits = 256;
constexpr uint32_t kSgdSm1Ecb = 0x101;
constexpr uint32_t kSgdSm4Ecb = 0x401;
constexpr uint32_t kEnvelopeVersion1 = 0x00020200;

// Authorisation prefix, then the file id of a key in some container.
uint16_t KeyFilePrefix(CVtToken& t, CVtReader& r, uint32_t& ulFid)
{
    uint16_t wSW = VtCheckAuthPrefix(t, r);
    if (wSW != kSwOk) {
        return wSW;
    }
    if (!r.U16(ulFid)) {
        return kSwWrongData;
    }
    return VtContainerOfFile(VtLoadContainers(t.State()), ulFid) >= 0 ? kSwOk : kSwNotFound;
}

// A compact SM2 public key: bit length 256, X, Y; as 04 X Y.
bool ReadCompactKey(CVtReader& r, VtBytes& vPub65)
{
    uint32_t ulBits = 0;
    VtBytes vXY;
    if (!r.U32(ulBits) || ulBits != kSm2Bits || !r.Take(64, vXY)) {
        return false;
    }
    vPub65 = {0x04};
    VtAppend(vPub65, vXY);
    return true;
}

void PutCompactKey(VtBytes& v, EVP_PKEY* pKey)
{
    VtPutBE32(v, kSm2Bits);
    VtAppend(v, VtSm2PublicXY(pKey));
}

CVtAnswer Random(CVtToken&, const CVtCommand& c)
{
    if (!c.vBody.empty() || c.wLe > kMaxRandom) {
        return CVtAnswer::Status(kSwWrongData);
    }
    return CVtAnswer::Ok(VtRandom(c.wLe));
}

CVtAnswer GenerateRsa(CVtToken& t, const CVtCommand& c)
{
    if (c.byP1 != kVtAlgRsa1024 && c.byP1 != kVtAlgRsa2048) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulExponent = 0;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    if (wSW == kSwOk && (!r.U32(ulExponent) || r.Left() != 0 || ulExponent < 3 || ulExponent % 2 == 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtPkey key = VtRsaGenerateE(c.byP1 == kVtAlgRsa2048 ? 2048 : 1024, ulExponent);
    if (!key || !VtStoreKey(t.State(), ulFid, c.byP1, key.get())) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    return CVtAnswer::Ok();
}

CVtAnswer GenerateSm2(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    if (wSW == kSwOk && r.Left() != 0) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtPkey key = VtSm2Generate();
    if (!key || !VtStoreKey(t.State(), ulFid, kVtAlgSm2, key.get())) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    return CVtAnswer::Ok();
}

// An RSA key from N || D || E (E of 4 bytes, or of fewer followed by
// zeros): the exponent length that gives a working key pair.
VtPkey RsaFromMaterial(const VtBytes& v, size_t k)
{
    VtBytes vN(v.begin(), v.begin() + static_cast<long>(k));
    VtBytes vD(v.begin() + static_cast<long>(k), v.begin() + static_cast<long>(2 * k));
    VtBytes vProbe(k, 0x5A);
    vProbe[0] = 0;
    for (size_t nE = 4; nE >= 1; --nE) {
        VtBytes vE(v.begin() + static_cast<long>(2 * k), v.begin() + static_cast<long>(2 * k + nE));
        VtPkey key = VtRsaFromParts(vN, vE, vD);
        VtBytes vSig, vBack;
        if (!key || VtRsaBytes(key.get()) != k || !VtRsaPrivateRaw(key.get(), vProbe, vSig)) {
            continue;
        }
        // Back through the public operation.
        std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
        size_t n = k;
        vBack.assign(k, 0);
        if (ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
            EVP_PKEY_encrypt(ctx.get(), vBack.data(), &n, vSig.data(), vSig.size()) == 1 && vBack == vProbe) {
            VtWipe(vD);
            return key;
        }
    }
    VtWipe(vD);
    return nullptr;
}

CVtAnswer ImportRsa(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtVolatile& vol = VtVolatileOf(t);
    if (c.byP1 == 0) {
        if (c.byP2 == 0) {
            VtWipe(vol.vImport);
            vol.ulImportFid = ulFid;
            vol.ulImportChunks = 0;
        } else if (vol.ulImportFid != ulFid || vol.ulImportChunks != c.byP2) {
            return CVtAnswer::Status(kSwConditions);
        }
        VtBytes vChunk = r.Rest();
        if (vChunk.empty() || vChunk.size() > 256 || vol.vImport.size() + vChunk.size() > 768) {
            return CVtAnswer::Status(kSwWrongData);
        }
        VtAppend(vol.vImport, vChunk);
        VtWipe(vChunk);
        vol.ulImportChunks++;
        return CVtAnswer::Ok();
    }
    if (c.byP1 != 1 || c.byP2 > 1) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    uint32_t ulAlg = 0;
    if (!r.U8(ulAlg) || r.Left() != 0 || (ulAlg != kVtAlgRsa1024 && ulAlg != kVtAlgRsa2048)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    size_t k = ulAlg == kVtAlgRsa2048 ? 256 : 128;
    VtBytes vMaterial;
    vMaterial.swap(vol.vImport);
    vol.ulImportChunks = 0;
    if (vol.ulImportFid != ulFid || vMaterial.size() != (ulAlg == kVtAlgRsa2048 ? 768u : 512u)) {
        VtWipe(vMaterial);
        return CVtAnswer::Status(kSwConditions);
    }
    if (c.byP2 == 1) {
        VtBytes vIv, vPlain;
        if (!vol.bHaveKey || !VtSm4Blocks(false, 1, vol.vKey, vIv, vMaterial, vPlain)) {
            VtWipe(vMaterial);
            return CVtAnswer::Status(kSwConditions);
        }
        VtWipe(vMaterial);
        vMaterial.swap(vPlain);
    }
    VtPkey key = RsaFromMaterial(vMaterial, k);
    VtWipe(vMaterial);
    if (!key) {
        return CVtAnswer::Status(kSwWrongData);
    }
    if (!VtStoreKey(t.State(), ulFid, static_cast<uint8_t>(ulAlg), key.get())) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    return CVtAnswer::Ok();
}

// The SM2 cipher text C1 || C3 || C2 of the key commands as C1 || C2 || C3.
VtBytes C1C2C3Of(const VtBytes& vC1C3C2)
{
    if (vC1C3C2.size() < 98) {
        return {};
    }
    VtBytes v(vC1C3C2.begin(), vC1C3C2.begin() + 65);
    v.insert(v.end(), vC1C3C2.begin() + 97, vC1C3C2.end());
    v.insert(v.end(), vC1C3C2.begin() + 65, vC1C3C2.begin() + 97);
    return v;
}

// What an SM2 import is wrapped to: the container's signature key, its
// exchange key when it has none; an SM2 key or none.
CVtKeyPair EnvelopeWrapKey(CVtToken& t, uint32_t ulFid)
{
    CVtKeyPair wrap = VtLoadKey(t.State(), (ulFid & ~3u) | 2u);
    if (!wrap.key) {
        wrap = VtLoadKey(t.State(), ulFid);
    }
    if (wrap.key && wrap.byAlg != kVtAlgSm2) {
        wrap = CVtKeyPair();
    }
    return wrap;
}

// Version 1 record: 0x00020200, SGD algorithm, 256, X, Y, C3, C2 length,
// C2 (the wrapped symmetric key), public key bit length, X, Y, private key
// length, encrypted private key.
uint16_t ImportEnvelope(CVtToken& t, uint32_t ulFid, CVtReader& r, VtPkey& key)
{
    uint32_t ulVersion = 0, ulSymAlg = 0, ulBits = 0, ulCipherLen = 0, ulPubBits = 0, ulPriLen = 0;
    VtBytes vXY, vC3, vC2, vPub, vEncPri;
    if (!r.U32(ulVersion) || ulVersion != kEnvelopeVersion1 || !r.U32(ulSymAlg) || !r.U32(ulBits) ||
        !r.Take(64, vXY) || !r.Take(32, vC3) || !r.U32(ulCipherLen) || !r.Take(ulCipherLen, vC2) ||
        !r.U32(ulPubBits) || ulPubBits != kSm2Bits || !r.Take(64, vPub) || !r.U32(ulPriLen) || ulPriLen != 32 ||
        !r.Take(32, vEncPri) || r.Left() != 0) {
        return kSwWrongData;
    }
    if (ulSymAlg == kSgdSm1Ecb) {
        return kSwUnknownIns;
    }
    if (ulSymAlg != kSgdSm4Ecb) {
        return kSwWrongData;
    }
    CVtKeyPair wrap = EnvelopeWrapKey(t, ulFid);
    if (!wrap.key) {
        return kSwNotFound;
    }
    VtBytes vCipher = {0x04};
    VtAppend(vCipher, vXY);
    VtAppend(vCipher, vC2);
    VtAppend(vCipher, vC3);
    VtBytes vSym, vIv, vD;
    bool bOk = VtSm2Decrypt(wrap.key.get(), vCipher, vSym) && vSym.size() == 16 &&
               VtSm4Blocks(false, 1, vSym, vIv, vEncPri, vD);
    VtWipe(vSym);
    if (!bOk) {
        VtWipe(vD);
        return kSwWrongData;
    }
    VtBytes vPub65 = {0x04};
    VtAppend(vPub65, vPub);
    // d.G must be the public key the record names.
    bOk = VtSm2PublicOf(vD) == vPub65;
    if (bOk) {
        key = VtSm2FromParts(vD, vPub65);
    }
    VtWipe(vD);
    return bOk && key ? kSwOk : kSwWrongData;
}

// Version 0 record: the private key alone, SM2-encrypted (C1 || C2 || C3,
// C1 with 04) to the key the envelope is wrapped to; the public key is d.G.
uint16_t ImportBareKey(CVtToken& t, uint32_t ulFid, const VtBytes& vCipher, VtPkey& key)
{
    CVtKeyPair wrap = EnvelopeWrapKey(t, ulFid);
    if (!wrap.key) {
        return kSwNotFound;
    }
    VtBytes vD;
    bool bOk = VtSm2Decrypt(wrap.key.get(), vCipher, vD) && vD.size() == 32;
    if (bOk) {
        key = VtSm2FromPrivate(vD);
    }
    VtWipe(vD);
    return bOk && key ? kSwOk : kSwWrongData;
}

CVtAnswer ImportSm2(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    VtPkey key;
    if (wSW == kSwOk) {
        VtBytes vRecord = r.Rest();
        CVtReader record(vRecord);
        wSW = !vRecord.empty() && vRecord[0] == 0x04 ? ImportBareKey(t, ulFid, vRecord, key)
                                                     : ImportEnvelope(t, ulFid, record, key);
        VtWipe(vRecord);
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    if (!VtStoreKey(t.State(), ulFid, kVtAlgSm2, key.get())) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    return CVtAnswer::Ok();
}

CVtAnswer ImportWrappedKey(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtKeyPair kp = VtLoadKeyOrPartner(t.State(), ulFid);
    if (!kp.key) {
        return CVtAnswer::Status(kSwNotFound);
    }
    VtBytes vWrapped = r.Rest(), vKey;
    bool bOk = kp.byAlg == kVtAlgSm2 ? VtSm2Decrypt(kp.key.get(), C1C2C3Of(vWrapped), vKey)
                                     : VtRsaDecryptPkcs1(kp.key.get(), vWrapped, vKey);
    if (!bOk || vKey.size() != kSessionKeyLen) {
        VtWipe(vKey);
        return CVtAnswer::Status(kSwWrongData);
    }
    VtVolatileOf(t).SetKey(vKey);
    VtWipe(vKey);
    return CVtAnswer::Ok();
}

CVtAnswer ImportPlainKey(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulKeyId = 0, ulSpec = 0, ulLen = 0;
    uint8_t byMode = 0;
    uint16_t wSW = VtCheckApp(r);
    VtBytes vKey;
    if (wSW == kSwOk && (!r.U16(ulKeyId) || !r.U16(ulSpec) || !r.U16(ulLen) || !r.Take(ulLen, vKey) ||
                         r.Left() != 0 || ulKeyId != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        wSW = VtCheckKeySpec(ulSpec, byMode);
    }
    if (wSW == kSwOk && vKey.size() != kSessionKeyLen) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        VtVolatileOf(t).SetKey(vKey);
    }
    VtWipe(vKey);
    return CVtAnswer::Status(wSW);
}

CVtAnswer ExportPublic(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0;
    CVtKeyPair kp;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!r.U16(ulFid) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        wSW = VtKeyAt(t.State(), ulFid, kp);
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    return CVtAnswer::Ok(kp.byAlg == kVtAlgSm2 ? VtSm2PublicXY(kp.key.get()) : VtRsaPublicNE(kp.key.get()));
}

CVtAnswer ExportSession(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    VtBytes vPub;
    uint32_t ulSpec = 0;
    uint8_t byMode = 0;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!ReadCompactKey(r, vPub) || !r.U16(ulSpec) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        wSW = VtCheckKeySpec(ulSpec, byMode);
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtPkey peer = VtSm2FromPublic(vPub);
    VtBytes vKey = VtRandom(kSessionKeyLen), vCipher;
    if (!peer || !VtSm2Encrypt(peer.get(), vKey, vCipher)) {
        VtWipe(vKey);
        return CVtAnswer::Status(kSwWrongData);
    }
    VtVolatileOf(t).SetKey(vKey);
    VtWipe(vKey);
    return CVtAnswer::Ok(VtSm2CipherAnswer(vCipher));
}

// Application, key file (an SM2 key pair of a container) and key spec.
uint16_t AgreementPrefix(CVtToken& t, CVtReader& r, uint32_t& ulFid, uint32_t* pulSpec, CVtKeyPair& kp)
{
    uint8_t byMode = 0;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!r.U16(ulFid) || (pulSpec != nullptr && !r.U16(*pulSpec)))) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk && pulSpec != nullptr) {
        wSW = VtCheckKeySpec(*pulSpec, byMode);
    }
    if (wSW == kSwOk) {
        wSW = VtKeyAt(t.State(), ulFid, kp);
    }
    if (wSW == kSwOk && kp.byAlg != kVtAlgSm2) {
        wSW = kSwWrongData;
    }
    return wSW;
}

bool ReadId(CVtReader& r, VtBytes& vId)
{
    uint32_t ulLen = 0;
    return r.U32(ulLen) && ulLen <= 256 && r.Take(ulLen, vId);
}

CVtAnswer AgreementData(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulSpec = 0;
    CVtKeyPair kp;
    CVtAgreement a;
    uint16_t wSW = AgreementPrefix(t, r, ulFid, &ulSpec, kp);
    if (wSW == kSwOk && (!ReadId(r, a.vId) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    a.ulFid = ulFid;
    a.ulSpec = ulSpec;
    a.temp = VtSm2Generate();
    if (!a.temp) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    CVtVolatile& vol = VtVolatileOf(t);
    uint32_t ulParam = vol.ulNextParam++;
    VtBytes v;
    PutCompactKey(v, a.temp.get());
    VtPutBE32(v, ulParam);
    if (vol.agreements.size() >= kMaxAgreements) {
        vol.agreements.erase(vol.agreements.begin());
    }
    vol.agreements.emplace_back(ulParam, std::move(a));
    return CVtAnswer::Ok(v);
}

CVtAnswer AgreementDataAndKey(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulSpec = 0;
    CVtKeyPair kp;
    VtBytes vSponsor, vSponsorTemp, vIdA, vIdB;
    uint16_t wSW = AgreementPrefix(t, r, ulFid, &ulSpec, kp);
    if (wSW == kSwOk && (!ReadCompactKey(r, vSponsor) || !ReadCompactKey(r, vSponsorTemp) || !ReadId(r, vIdA) ||
                         !ReadId(r, vIdB) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtPkey temp = VtSm2Generate();
    VtBytes vKey;
    if (!temp ||
        !VtSm2Agree(kp.key.get(), temp.get(), vSponsor, vSponsorTemp, vIdA, vIdB, false, kSessionKeyLen, vKey)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    VtVolatileOf(t).SetKey(vKey);
    VtWipe(vKey);
    VtBytes v;
    PutCompactKey(v, temp.get());
    return CVtAnswer::Ok(v);
}

CVtAnswer AgreementKey(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulParam = 0;
    CVtKeyPair kp;
    VtBytes vPeer, vPeerTemp, vIdB;
    uint16_t wSW = AgreementPrefix(t, r, ulFid, nullptr, kp);
    if (wSW == kSwOk && (!r.U32(ulParam) || !ReadCompactKey(r, vPeer) || !ReadCompactKey(r, vPeerTemp) ||
                         !ReadId(r, vIdB) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtVolatile& vol = VtVolatileOf(t);
    auto it = std::find_if(vol.agreements.begin(), vol.agreements.end(),
                           [&](const std::pair<uint32_t, CVtAgreement>& e) { return e.first == ulParam; });
    if (it == vol.agreements.end() || it->second.ulFid != ulFid) {
        return CVtAnswer::Status(kSwNotFound);
    }
    VtBytes vKey;
    bool bOk = VtSm2Agree(kp.key.get(), it->second.temp.get(), vPeer, vPeerTemp, it->second.vId, vIdB, true,
                          kSessionKeyLen, vKey);
    vol.agreements.erase(it);
    if (!bOk) {
        return CVtAnswer::Status(kSwWrongData);
    }
    vol.SetKey(vKey);
    VtWipe(vKey);
    VtBytes v;
    VtPutBE32(v, 0);  // the key slot
    return CVtAnswer::Ok(v);
}

CVtAnswer WriteCert(CVtToken& t, const CVtCommand& c)
{
    if ((c.byP1 & ~0x11u) != 0xA0) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulOffset = 0, ulLen = 0;
    VtBytes vData;
    uint16_t wSW = KeyFilePrefix(t, r, ulFid);
    if (wSW == kSwOk && (!r.U16(ulOffset) || !r.U16(ulLen) || !r.Take(ulLen, vData) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtVolatile& vol = VtVolatileOf(t);
    if (c.byP1 & 0x01) {
        vol.vCert.clear();
        vol.ulCertFid = ulFid;
        vol.bCertOpen = true;
    } else if (!vol.bCertOpen || vol.ulCertFid != ulFid) {
        return CVtAnswer::Status(kSwConditions);
    }
    if (ulOffset != vol.vCert.size()) {
        return CVtAnswer::Status(kSwWrongData);
    }
    if (ulOffset + ulLen > kMaxCert) {
        vol.bCertOpen = false;
        return CVtAnswer::Status(kSwNoRoom);
    }
    VtAppend(vol.vCert, vData);
    if (c.byP1 & 0x10) {
        vol.bCertOpen = false;
        t.State().mapRecords[VtCertName(ulFid)] = vol.vCert;
        VtNoteCert(t.State(), ulFid, true);
    }
    return CVtAnswer::Ok();
}

CVtAnswer ReadCert(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulOffset = 0;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!r.U16(ulFid) || (c.byP1 == 0 && !r.U16(ulOffset)) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk && c.byP1 > 1) {
        wSW = kSwWrongP1P2;
    }
    auto it = t.State().mapRecords.find(VtCertName(ulFid));
    if (wSW == kSwOk && it == t.State().mapRecords.end()) {
        wSW = kSwFileNotFound;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    const VtBytes& vCert = it->second;
    if (c.byP1 == 1) {
        return CVtAnswer::Ok(VtSha1(vCert));
    }
    if (ulOffset >= vCert.size()) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    size_t n = std::min<size_t>({c.wLe, kMaxCertRead, vCert.size() - ulOffset});
    return CVtAnswer::Ok(VtBytes(vCert.begin() + ulOffset, vCert.begin() + ulOffset + static_cast<long>(n)));
}

}  // namespace

void VtRegisterKeyCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0x50, Random);
    table.Add(kVtClaSecure, 0x54, GenerateRsa);
    table.Add(kVtClaSecure, 0x70, GenerateSm2);
    table.Add(kVtClaSecure, 0x56, ImportRsa);
    table.Add(kVtClaSecure, 0x72, ImportSm2);
    table.Add(kVtClaSecure, 0xA0, ImportWrappedKey);
    table.Add(kVtClaSecure, 0xA2, ImportPlainKey);
    table.Add(kVtClaPlain, 0x88, ExportPublic);
    table.Add(kVtClaPlain, 0x78, ExportSession);
    table.Add(kVtClaPlain, 0x82, AgreementData);
    table.Add(kVtClaPlain, 0x84, AgreementDataAndKey);
    table.Add(kVtClaPlain, 0x86, AgreementKey);
    table.Add(kVtClaSecure, 0x4C, WriteCert);
    table.Add(kVtClaPlain, 0x4E, ReadCert);
}

}  // namespace vtoken
