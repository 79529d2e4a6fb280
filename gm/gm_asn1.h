/* ASN.1 records of the GM layer (all DER) and the SM2 private-key codec:
 *   SM2Cipher            SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER,
 *                                   HASH OCTET STRING (C3), cipherText OCTET STRING (C2) }
 *   PFX_SM2              SEQUENCE { version INTEGER, privateData, publicData }
 *   PFX_SM2_PRIVATE_DATA SEQUENCE { dataID OID, dataEncryptedAlg OID,
 *                                   encryptedSM2PrivateKey OCTET STRING }
 *   PFX_SM2_PUBLIC_DATA  SEQUENCE { dataID OID, SM2Certificate OCTET STRING }
 *   SM2_PRIVATEKEY       SEQUENCE { version INTEGER, privateKey INTEGER,
 *                                   parameters [0] EXPLICIT ECPKParameters OPTIONAL,
 *                                   publicKey [1] EXPLICIT BIT STRING OPTIONAL }
 * SM2_PRIVATEKEY is the EC private-key record with the private key as an
 * INTEGER instead of an OCTET STRING. */
#ifndef BRIO_GM_GM_ASN1_H
#define BRIO_GM_GM_ASN1_H

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SM2Cipher_st {
    BIGNUM *XCoordinate;
    BIGNUM *YCoordinate;
    ASN1_OCTET_STRING *HASH;
    ASN1_OCTET_STRING *cipherText;
} SM2Cipher;

typedef struct PFX_SM2_PRIVATE_DATA_st {
    ASN1_OBJECT *dataID;
    ASN1_OBJECT *dataEncryptedAlg;
    ASN1_OCTET_STRING *encryptedSM2PrivateKey;
} PFX_SM2_PRIVATE_DATA;

typedef struct PFX_SM2_PUBLIC_DATA_st {
    ASN1_OBJECT *dataID;
    ASN1_OCTET_STRING *SM2Certificate;
} PFX_SM2_PUBLIC_DATA;

typedef struct PFX_SM2_st {
    ASN1_INTEGER *version;
    PFX_SM2_PRIVATE_DATA *privateData;
    PFX_SM2_PUBLIC_DATA *publicData;
} PFX_SM2;

typedef struct SM2_PRIVATEKEY_st {
    long version;
    ASN1_INTEGER *privateKey;
    ASN1_TYPE *parameters;        /* the DER of ECPKParameters */
    ASN1_BIT_STRING *publicKey;
} SM2_PRIVATEKEY;

DECLARE_ASN1_FUNCTIONS(SM2Cipher)
DECLARE_ASN1_FUNCTIONS(PFX_SM2)
DECLARE_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)
DECLARE_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)
DECLARE_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

/* One PFX_SM2 from a BIO (stored into *pfx when pfx is given), or null. */
PFX_SM2 *d2i_SM2_PFX_bio(BIO *bp, PFX_SM2 **pfx);

/* Decodes an SM2_PRIVATEKEY into an EC key: *key when set, else a new key
 * (stored into *key when key is given).  The group comes from the encoded
 * parameters, else from the key.  The private scalar must lie in [1, n-1].
 * Null with an entry on the error queue on failure; a key made here is
 * freed then. */
EC_KEY *d2i_SM2PrivateKey(EC_KEY **key, const unsigned char **in, long len);

/* Encodes the key as SM2_PRIVATEKEY; the DER length, 0 on failure. */
int i2d_SM2PrivateKey(EC_KEY *key, unsigned char **out);

/* Decoder of the traditional EC private-key format: the EC private-key
 * record, else SM2_PRIVATEKEY.  1 with the EC key assigned to pkey and the
 * errors of the failed attempt taken off the queue, or 0 with a decode
 * error. */
int ec_priv_decode_legacy(EVP_PKEY *pkey, const unsigned char **in, int len);

#ifdef __cplusplus
}
#endif
#endif
