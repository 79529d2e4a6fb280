/* The software layer's own OpenSSL library context.  It holds the default
 * and the legacy providers and the digests and ciphers fetched from them
 * once; the process's default library context is left as the host set it
 * up.  Internal to the middleware. */
#ifndef BRIO_SOFTCRYPTO_CRYPTO_LIB_CTX_H
#define BRIO_SOFTCRYPTO_CRYPTO_LIB_CTX_H

#include <openssl/evp.h>
#include <openssl/types.h>

namespace softcrypto {

/* Fetched algorithms, by table index. */
enum FetchedCipher {
    CIPHER_DES_ECB, CIPHER_DES_CBC, CIPHER_DES_OFB, CIPHER_DES_CFB64,
    CIPHER_DES_EDE_ECB, CIPHER_DES_EDE_CBC, CIPHER_DES_EDE_OFB, CIPHER_DES_EDE_CFB64,
    CIPHER_DES_EDE3_ECB, CIPHER_DES_EDE3_CBC, CIPHER_DES_EDE3_OFB, CIPHER_DES_EDE3_CFB64,
    CIPHER_RC4,
    CIPHER_COUNT
};

enum FetchedDigest { DIGEST_MD5, DIGEST_SHA1, DIGEST_SHA256, DIGEST_SHA512, DIGEST_COUNT };

/* The context (null when it could not be made). */
OSSL_LIB_CTX *LibCtx();
/* A cached cipher, or null when its provider is not available. */
const EVP_CIPHER *Cipher(FetchedCipher eCipher);
const EVP_MD *Digest(FetchedDigest eDigest);
/* Whether the legacy provider (single DES, RC4) could be loaded. */
bool LegacyAvailable();

/* Frees the context and the GM layer's shared objects (gm/gm_release.h);
 * the shared library's end calls it when the library is really unloaded
 * and no call runs, never at exit.  Nothing is made again afterwards: the
 * calls that need them fail. */
void ReleaseCryptoObjects();

}  // namespace softcrypto

#endif
