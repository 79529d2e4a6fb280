/* Call sequences on the software cipher handle, against OpenSSL's own
 * ciphers fed the same data (SM4-CBC, two- and three-key triple DES in its
 * four modes).  The first bytes choose the algorithm, mode, direction and
 * padding; then each step is one call:
 *   Update    room of the input plus a block (the cipher contract)
 *   Encrypt   the one-shot call: a size query, then the call with exactly
 *             the room the query announced, or one byte less (which must be
 *             refused with nothing written)
 *   Final     room of one block
 *   Init      start again in the other direction or with the other padding
 * Each buffer is a heap block of exactly its room, so a write past it is an
 * AddressSanitizer report.  Whatever the handle answers as done must be the
 * bytes OpenSSL gives for the same calls. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/fuzz/FuzzInput.h"
#include "SoftCrypto/SymKeyHandle.h"

namespace {

const unsigned int ERR_TOO_SMALL = 259;  // the handle's "buffer too small"

struct Algorithm {
    unsigned char byAlgID;
    unsigned int ulBlock;
    const char *apszNames[4];  // ECB, CBC, OFB, CFB
};

/* The handle's SM4 is CBC in every mode. */
const Algorithm kAlgorithms[] = {
    {SC_ALG_SM4, 16, {"SM4-CBC", "SM4-CBC", "SM4-CBC", "SM4-CBC"}},
    {SC_ALG_3DES_2KEY, 8, {"DES-EDE", "DES-EDE-CBC", "DES-EDE-OFB", "DES-EDE-CFB"}},
    {SC_ALG_3DES_3KEY, 8, {"DES-EDE3", "DES-EDE3-CBC", "DES-EDE3-OFB", "DES-EDE3-CFB"}},
};
const unsigned char kModes[4] = {SC_MODE_ECB, SC_MODE_CBC, SC_MODE_OFB, SC_MODE_CFB};

/* OpenSSL's side of one run. */
class Oracle {
public:
    ~Oracle() { Reset(); }
    bool Start(const char *pszName, bool bEncrypt, bool bPadding, const unsigned char *pbKey, const unsigned char *pbIV)
    {
        Reset();
        m_pCipher = EVP_CIPHER_fetch(nullptr, pszName, nullptr);
        m_pCtx = EVP_CIPHER_CTX_new();
        if (m_pCipher == nullptr || m_pCtx == nullptr ||
            EVP_CipherInit_ex(m_pCtx, m_pCipher, nullptr, pbKey, pbIV, bEncrypt ? 1 : 0) != 1)
            abort();
        EVP_CIPHER_CTX_set_padding(m_pCtx, bPadding ? 1 : 0);
        return true;
    }
    bool Update(const unsigned char *pbIn, size_t ulLen, std::vector<unsigned char> *pOut)
    {
        pOut->assign(ulLen + 32, 0);
        int n = 0;
        if (EVP_CipherUpdate(m_pCtx, pOut->data(), &n, pbIn, static_cast<int>(ulLen)) != 1) return false;
        pOut->resize(static_cast<size_t>(n));
        return true;
    }
    bool Final(std::vector<unsigned char> *pOut)
    {
        pOut->assign(32, 0);
        int n = 0;
        if (EVP_CipherFinal_ex(m_pCtx, pOut->data(), &n) != 1) return false;
        pOut->resize(static_cast<size_t>(n));
        return true;
    }

private:
    void Reset()
    {
        EVP_CIPHER_CTX_free(m_pCtx);
        EVP_CIPHER_free(m_pCipher);
        m_pCtx = nullptr;
        m_pCipher = nullptr;
    }
    EVP_CIPHER *m_pCipher = nullptr;
    EVP_CIPHER_CTX *m_pCtx = nullptr;
};

void Same(const unsigned char *pbGot, unsigned int ulGot, const std::vector<unsigned char> &want)
{
    if (ulGot != want.size() || (ulGot != 0 && memcmp(pbGot, want.data(), ulGot) != 0)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    uint8_t bySetup = in.Byte();
    const Algorithm &alg = kAlgorithms[bySetup % 3];
    unsigned int ulModeIndex = (bySetup / 3) % 4;
    bool bEncrypt = (bySetup & 0x40) == 0;
    bool bPadding = (bySetup & 0x80) != 0;
    std::vector<unsigned char> key = in.Bytes(24), iv = in.Bytes(16);

    CSymKeyHandle handle;
    if (handle.SetKey(alg.byAlgID, key.data(), 24) != 0) abort();
    Oracle oracle;
    bool bRunning = false;
    auto start = [&]() {
        unsigned int rv = handle.Init(alg.byAlgID, bEncrypt ? SYM_CRYPT_ENCRYPT : SYM_CRYPT_DECRYPT,
                                      kModes[ulModeIndex], iv.data(), bPadding ? 1 : 0);
        if (rv != 0) abort();
        oracle.Start(alg.apszNames[ulModeIndex], bEncrypt, bPadding, key.data(), iv.data());
        bRunning = true;
    };
    start();

    for (int nStep = 0; nStep < 24 && !in.Empty(); ++nStep) {
        uint8_t byOp = in.Byte();
        std::vector<unsigned char> want, more;
        switch (byOp % 4) {
        case 0: {  // Update
            if (!bRunning) break;
            unsigned int ulLen = in.Word() % 512;
            std::vector<unsigned char> plain = in.Bytes(ulLen);
            std::unique_ptr<unsigned char[]> out(new unsigned char[ulLen + alg.ulBlock]);
            unsigned int ulOut = ulLen + alg.ulBlock;
            if (handle.Update(plain.data(), ulLen, out.get(), &ulOut) != 0) {
                bRunning = false;
                break;
            }
            if (!oracle.Update(plain.data(), ulLen, &want)) abort();
            Same(out.get(), ulOut, want);
            break;
        }
        case 1: {  // one-shot Encrypt: size query, then exactly that room (or one byte less)
            if (!bRunning) break;
            unsigned int ulLen = in.Word() % 512;
            bool bShort = (byOp & 0x10) != 0;
            std::vector<unsigned char> plain = in.Bytes(ulLen);
            unsigned int ulNeeded = 0;
            if (handle.Encrypt(plain.data(), ulLen, nullptr, &ulNeeded) != 0) break;
            unsigned int ulRoom = bShort && ulNeeded > 0 ? ulNeeded - 1 : ulNeeded;
            std::unique_ptr<unsigned char[]> out(new unsigned char[ulRoom + 1]);
            memset(out.get(), 0xC5, ulRoom + 1);
            unsigned char *pbOut = out.get() + 1;  // the room ends where the block ends
            unsigned int ulOut = ulRoom;
            unsigned int rv = handle.Encrypt(plain.data(), ulLen, pbOut, &ulOut);
            if (ulRoom < ulNeeded) {
                if (rv != ERR_TOO_SMALL) abort();
                for (unsigned int i = 0; i < ulRoom; ++i)
                    if (pbOut[i] != 0xC5) abort();
                break;
            }
            if (rv != 0) {
                bRunning = false;  // e.g. bad padding: the run is over either way
                break;
            }
            if (ulOut > ulRoom) abort();
            bool bOk = oracle.Update(plain.data(), ulLen, &want) && oracle.Final(&more);
            if (!bOk) abort();
            want.insert(want.end(), more.begin(), more.end());
            Same(pbOut, ulOut, want);
            bRunning = false;
            break;
        }
        case 2: {  // Final
            if (!bRunning) break;
            std::unique_ptr<unsigned char[]> out(new unsigned char[alg.ulBlock]);
            unsigned int ulOut = alg.ulBlock;
            if (handle.Final(out.get(), &ulOut) != 0) {
                bRunning = false;
                break;
            }
            if (!oracle.Final(&want)) abort();
            Same(out.get(), ulOut, want);
            bRunning = false;
            break;
        }
        default:  // Init again, possibly in the other direction or padding
            if (byOp & 0x10) bEncrypt = !bEncrypt;
            if (byOp & 0x20) bPadding = !bPadding;
            start();
            break;
        }
    }
    return 0;
}
