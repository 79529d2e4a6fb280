// What the container, file, key and cryptographic commands share: a reader
// of command bodies, the authorisation check, the container table, the key
// and certificate records, the token's volatile key state, and the
// elliptic-curve and RSA work that EVP does not offer as such.
//
// Persistent layout (CVtTokenState):
//   mapFiles[id]                the data files, fixed size
//   mapRecords["containers"]    the container table: 50-byte records
//   mapRecords["key.XXXX"]      a key pair by key file id (hex): algorithm
//                               code, then SM2 d || 04 X Y or RSA n, e, d
//   mapRecords["cert.XXXX"]     a certificate by certificate file id
//   mapRecords["fs"]            present once the file system is set up
#pragma once

#include "vtoken/token/VtToken.h"

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace vtoken {

// Status words of the data commands.
constexpr uint16_t kSwFileNotFound = 0xF102;
constexpr uint16_t kSwNoRoom = 0xF104;
constexpr uint16_t kSwExists = 0x6A89;

constexpr uint8_t kVtAlgRsa1024 = 1;
constexpr uint8_t kVtAlgRsa2048 = 7;
constexpr uint8_t kVtAlgSm2 = 0x11;

// Reads a body front to back; a read past the end fails and stays failed.
class CVtReader {
public:
    explicit CVtReader(const VtBytes& v) : m_v(v) {}
    bool U8(uint32_t& x);
    bool U16(uint32_t& x);
    bool U32(uint32_t& x);
    bool Take(size_t n, VtBytes& v);
    VtBytes Rest();
    size_t Left() const { return m_bOk ? m_v.size() - m_nAt : 0; }
    bool Ok() const { return m_bOk; }

private:
    const VtBytes& m_v;
    size_t m_nAt = 0;
    bool m_bOk = true;
};

// The opening of a body that carries the authorisation code: the code (a
// valid one, else 69 82) and the application (0, else 6A 88).  kSwOk when
// both pass.
uint16_t VtCheckAuthPrefix(CVtToken& t, CVtReader& r);
// The application identifier alone.
uint16_t VtCheckApp(CVtReader& r);

// --- containers ---
constexpr size_t kVtContainerRecord = 50;
constexpr size_t kVtMaxContainers = 5;  // the list answer holds 256 bytes
constexpr size_t kVtMaxContainerName = 39;

struct CVtContainer {
    VtBytes vRecord;  // 50 bytes
    std::string Name() const;
    uint16_t Base() const { return static_cast<uint16_t>((vRecord[2] << 8) | vRecord[3]); }
};
std::vector<CVtContainer> VtLoadContainers(const CVtTokenState& s);
void VtStoreContainers(CVtTokenState& s, const std::vector<CVtContainer>& v);
// The container a key or certificate file id belongs to, or -1.
int VtContainerOfFile(const std::vector<CVtContainer>& v, uint32_t ulFid);
// Records a key's algorithm (usage 1 exchange, 2 signature) or a
// certificate in the container's record.
void VtNoteKey(CVtTokenState& s, uint32_t ulFid, uint8_t byAlg);
void VtNoteCert(CVtTokenState& s, uint32_t ulFid, bool bPresent);

// --- key records ---
struct CVtKeyPair {
    uint8_t byAlg = 0;  // 0: none
    VtPkey key;
};
std::string VtKeyName(uint32_t ulFid);
std::string VtCertName(uint32_t ulFid);
CVtKeyPair VtLoadKey(const CVtTokenState& s, uint32_t ulFid);
bool VtStoreKey(CVtTokenState& s, uint32_t ulFid, uint8_t byAlg, EVP_PKEY* pKey);
// The key at ulFid, or else the other key of the same container.
CVtKeyPair VtLoadKeyOrPartner(const CVtTokenState& s, uint32_t ulFid);

// --- volatile key state (lost on unplug and daemon restart) ---
struct CVtAgreement {
    uint32_t ulFid = 0;
    uint32_t ulSpec = 0;
    VtBytes vId;
    VtPkey temp;
};
struct CVtVolatile {
    bool bHaveKey = false;
    VtBytes vKey;          // the key slot: 16 bytes
    bool bCipher = false;  // a cipher operation started
    bool bEncrypt = false;
    uint8_t byMode = 0;    // 1 ECB, 2 CBC
    VtBytes vChain;        // CBC chaining value
    uint32_t ulImportFid = 0;  // RSA key material arriving in chunks
    uint32_t ulImportChunks = 0;
    VtBytes vImport;
    uint32_t ulCertFid = 0;    // a certificate arriving in chunks
    bool bCertOpen = false;
    VtBytes vCert;
    uint8_t bySignIns = 0;     // a message signature under way (0: none)
    uint32_t ulSignFid = 0;
    uint32_t ulSignHash = 0;
    bool bSignFinished = false;
    VtBytes vSignId;
    VtBytes vSignMessage;
    uint32_t ulNextParam = 1;
    std::vector<std::pair<uint32_t, CVtAgreement>> agreements;
    void SetKey(const VtBytes& v);
    ~CVtVolatile();
};
CVtVolatile& VtVolatileOf(CVtToken& t);

// The key slot's cipher of a key spec: kSwOk for SM4 ECB or CBC, 6D 00
// for SM1 (not offered), 6A 80 otherwise; byMode set.
uint16_t VtCheckKeySpec(uint32_t ulSpec, uint8_t& byMode);
// The container's SM2 or RSA key at ulFid, answered 6A 88 when absent.
uint16_t VtKeyAt(const CVtTokenState& s, uint32_t ulFid, CVtKeyPair& kp);

// --- cryptography beyond the shared helpers ---
// SM2 public key (04 X Y) of a private value d; empty when d is out of range.
VtBytes VtSm2PublicOf(const VtBytes& vD);
VtPkey VtSm2FromPrivate(const VtBytes& vD);
VtPkey VtSm2FromPublic(const VtBytes& vPub65);
// C1 (04 X Y) || C2 || C3.
bool VtSm2Encrypt(EVP_PKEY* pKey, const VtBytes& vPlain, VtBytes& vC1C2C3);
// The answer form of an SM2 cipher text: bit length 256, X, Y, C3, the
// length of C2, C2.
VtBytes VtSm2CipherAnswer(const VtBytes& vC1C2C3);
// The SM2 user hash Z of an ID and a public key (04 X Y).
VtBytes VtSm2UserHash(const VtBytes& vId, const VtBytes& vPub65);
VtBytes VtSm2PublicOfKey(EVP_PKEY* pKey);  // 04 X Y
// SM2 key exchange: the key of klen bytes for this side.  Own key pair and
// temporary pair, the peer's public key and temporary public key (04 X Y),
// the initiator's and responder's IDs; bInitiator: this side is A.
bool VtSm2Agree(EVP_PKEY* pOwn, EVP_PKEY* pOwnTemp, const VtBytes& vPeerPub, const VtBytes& vPeerTemp,
                const VtBytes& vIdA, const VtBytes& vIdB, bool bInitiator, size_t nKeyLen, VtBytes& vKey);
// RSA from modulus, public and private exponents (big-endian).
VtPkey VtRsaFromParts(const VtBytes& vN, const VtBytes& vE, const VtBytes& vD);
VtPkey VtRsaGenerateE(unsigned nBits, uint32_t ulExponent);
// The raw private operation on exactly k bytes below n.
bool VtRsaPrivateRaw(EVP_PKEY* pKey, const VtBytes& vIn, VtBytes& vOut);
size_t VtRsaBytes(EVP_PKEY* pKey);
// SM4 in ECB or CBC over whole blocks, no padding; vIv updated for CBC.
bool VtSm4Blocks(bool bEncrypt, uint8_t byMode, const VtBytes& vKey, VtBytes& vIv, const VtBytes& vIn,
                 VtBytes& vOut);

}  // namespace vtoken
