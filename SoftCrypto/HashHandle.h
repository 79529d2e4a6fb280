/* CHashObject: software hash computation behind the SKF hash handle.  Wraps
 * one digest context of the software layer (two for id 14, SHA-1 followed by
 * MD5) and keeps the finished digest, so it can be read again, replaced by a
 * given value, or emitted behind a PKCS#1 v1.5 DigestInfo header.
 *
 * Ids: 10 MD5, 11 SHA-1, 12 SHA-256, 13 SHA-512, 14 SHA-1 || MD5 (36 bytes),
 * 18 SM3.
 *
 * Output buffers: where an output is given, *pulLen holds its capacity on
 * entry; a buffer too small gives ERR_BUFFER_TOO_SMALL (259) with the needed
 * size in *pulLen and changes nothing. */
#ifndef BRIO_SOFTCRYPTO_HASH_HANDLE_H
#define BRIO_SOFTCRYPTO_HASH_HANDLE_H

#include "SoftCrypto/SoftCryptoCodes.h"

/* Longest FinalAndHeader output: SHA-512's 19-byte prefix and 64 bytes. */
#define HASH_OBJECT_MAX_DIGEST 64u
#define HASH_OBJECT_MAX_HEADER_DIGEST 83u

class CHashObject {
public:
    /* Starts the context(s) for a hash id; an id the software layer does not
     * offer fails with its code (8) and creates nothing. */
    static unsigned int Initialize(unsigned char byHashID, CHashObject **ppHashObject);
    /* Deletes a non-null object and nulls the pointer. */
    static void Release(CHashObject *&pHashObject);

    explicit CHashObject(unsigned char byHashID);
    ~CHashObject();
    CHashObject(const CHashObject &) = delete;
    CHashObject &operator=(const CHashObject &) = delete;

    /* 16, 20, 32, 64, 36 or 32 bytes by id; 0 for any other id. */
    unsigned int GetHashLength();
    /* 275 once finished. */
    unsigned int Update(unsigned char *pbData, unsigned int ulLen);
    /* Finishes the open context(s) once; later calls return the stored
     * digest.  pbOut may be null (then only the length is reported). */
    unsigned int Final(unsigned char *pbOut, unsigned int *pulOutLen);
    /* Replaces the digest with a given one of the id's length (257 otherwise). */
    unsigned int Set(unsigned char *pbHash, unsigned int ulLen);
    /* One-shot Update and Final.  pbOut null: 0 and the length (size query). */
    unsigned int Digest(unsigned char *pbData, unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen);
    /* Final behind the DER DigestInfo prefix for ids 10 to 13; ids 14 and 18
     * get no prefix; other ids: 276 with *pulOutLen = 0. */
    unsigned int FinalAndHeader(unsigned char *pbOut, unsigned int *pulOutLen);

private:
    unsigned int FinishContexts();
    unsigned int Emit(const unsigned char *pbPrefix, unsigned int ulPrefixLen, unsigned char *pbOut,
                      unsigned int *pulOutLen, const char *pszOperation);

    void *m_pHashCtx;       /* primary digest context, null once finished */
    void *m_pHashCtx2nd;    /* MD5 context of id 14 */
    unsigned char m_byHashID;
    unsigned char m_byHash[HASH_OBJECT_MAX_DIGEST];
    unsigned int m_ulHashLen;
};

#endif
