#include "SoftCrypto/CryptoLibCtx.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <atomic>
#include <mutex>

#include "gm/gm_release.h"
#include "log/vexa_log.h"

namespace softcrypto {
namespace {

const char *const kCipherNames[CIPHER_COUNT] = {
    "DES-ECB",      "DES-CBC",      "DES-OFB",      "DES-CFB",
    "DES-EDE-ECB",  "DES-EDE-CBC",  "DES-EDE-OFB",  "DES-EDE-CFB",
    "DES-EDE3-ECB", "DES-EDE3-CBC", "DES-EDE3-OFB", "DES-EDE3-CFB",
    "RC4",
};

const char *const kDigestNames[DIGEST_COUNT] = {"MD5", "SHA1", "SHA256", "SHA512"};

/* Made on first use and kept for the process: no destructor runs at exit,
 * where other threads may still be inside calls that use it.  The shared
 * library frees it when it is really unloaded (ReleaseCryptoObjects). */
class CLibCtxHolder {
public:
    CLibCtxHolder()
    {
        m_pLibCtx = OSSL_LIB_CTX_new();
        if (m_pLibCtx == nullptr) {
            TRACE(LOG_LEVEL_ERROR, "SoftCrypto - OSSL_LIB_CTX_new failed");
            return;
        }
        m_pDefault = OSSL_PROVIDER_load(m_pLibCtx, "default");
        if (m_pDefault == nullptr)
            TRACE(LOG_LEVEL_ERROR, "SoftCrypto - provider \"default\" not loaded");
        m_pLegacy = OSSL_PROVIDER_load(m_pLibCtx, "legacy");
        if (m_pLegacy == nullptr)
            TRACE(LOG_LEVEL_WARN, "SoftCrypto - provider \"legacy\" not loaded: DES and RC4 unavailable");
        // Fetching records an error for every algorithm that is missing;
        // those are expected when the legacy provider is absent.
        ERR_set_mark();
        for (int i = 0; i < CIPHER_COUNT; ++i)
            m_apCiphers[i] = EVP_CIPHER_fetch(m_pLibCtx, kCipherNames[i], nullptr);
        for (int i = 0; i < DIGEST_COUNT; ++i)
            m_apDigests[i] = EVP_MD_fetch(m_pLibCtx, kDigestNames[i], nullptr);
        ERR_pop_to_mark();
    }

    ~CLibCtxHolder()
    {
        for (EVP_CIPHER *&pCipher : m_apCiphers) {
            EVP_CIPHER_free(pCipher);
            pCipher = nullptr;
        }
        for (EVP_MD *&pDigest : m_apDigests) {
            EVP_MD_free(pDigest);
            pDigest = nullptr;
        }
        if (m_pLegacy != nullptr)
            OSSL_PROVIDER_unload(m_pLegacy);
        if (m_pDefault != nullptr)
            OSSL_PROVIDER_unload(m_pDefault);
        OSSL_LIB_CTX_free(m_pLibCtx);
        m_pLibCtx = nullptr;
    }

    CLibCtxHolder(const CLibCtxHolder &) = delete;
    CLibCtxHolder &operator=(const CLibCtxHolder &) = delete;

    OSSL_LIB_CTX *m_pLibCtx = nullptr;
    OSSL_PROVIDER *m_pDefault = nullptr;
    OSSL_PROVIDER *m_pLegacy = nullptr;
    EVP_CIPHER *m_apCiphers[CIPHER_COUNT] = {};
    EVP_MD *m_apDigests[DIGEST_COUNT] = {};
};

std::once_flag g_holderOnce;
std::atomic<CLibCtxHolder *> g_pHolder{nullptr};

/* Null once released. */
CLibCtxHolder *Holder()
{
    std::call_once(g_holderOnce, [] { g_pHolder.store(new CLibCtxHolder); });
    return g_pHolder.load();
}

}  // namespace

OSSL_LIB_CTX *LibCtx()
{
    CLibCtxHolder *pHolder = Holder();
    return pHolder != nullptr ? pHolder->m_pLibCtx : nullptr;
}

const EVP_CIPHER *Cipher(FetchedCipher eCipher)
{
    CLibCtxHolder *pHolder = Holder();
    return (pHolder != nullptr && eCipher >= 0 && eCipher < CIPHER_COUNT) ? pHolder->m_apCiphers[eCipher] : nullptr;
}

const EVP_MD *Digest(FetchedDigest eDigest)
{
    CLibCtxHolder *pHolder = Holder();
    return (pHolder != nullptr && eDigest >= 0 && eDigest < DIGEST_COUNT) ? pHolder->m_apDigests[eDigest] : nullptr;
}

bool LegacyAvailable()
{
    CLibCtxHolder *pHolder = Holder();
    return pHolder != nullptr && pHolder->m_pLegacy != nullptr;
}

void ReleaseCryptoObjects()
{
    /* Not made after this either. */
    std::call_once(g_holderOnce, [] {});
    delete g_pHolder.exchange(nullptr);
    gm_sm2_groups_release();
    gm_records_release();
    gm_slots_release();
}

}  // namespace softcrypto
