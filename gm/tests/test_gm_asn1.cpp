// DER records of the GM layer and the SM2 private-key codec.
#include "gm/gm_asn1.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <memory>

#include "gm/gm_objects.h"
#include "gm/sm2_group.h"
#include "gm/tests/gm_test_util.h"

using gmtest::Bytes;
using gmtest::FromHex;

namespace {

using EcKey = std::unique_ptr<EC_KEY, decltype(&EC_KEY_free)>;

EcKey NewKey(int curve)
{
    EC_KEY *key = EC_KEY_new();
    EC_GROUP *group = gm_curve_group_new(curve);
    EXPECT_NE(group, nullptr);
    EXPECT_EQ(EC_KEY_set_group(key, group), 1);
    EC_GROUP_free(group);
    EXPECT_EQ(EC_KEY_generate_key(key), 1);
    return EcKey(key, EC_KEY_free);
}

template <typename T>
Bytes Der(T *rec, int (*i2d)(const T *, unsigned char **))
{
    int len = i2d(rec, nullptr);
    Bytes out(len > 0 ? len : 0);
    unsigned char *p = out.data();
    EXPECT_EQ(i2d(rec, &p), len);
    return out;
}

Bytes KeyDer(EC_KEY *key)
{
    unsigned char *der = nullptr;
    int len = i2d_SM2PrivateKey(key, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

TEST(GmAsn1, Sm2CipherRoundTripsInFieldOrder)
{
    SM2Cipher *c = SM2Cipher_new();
    ASSERT_NE(c, nullptr);
    Bytes hash = gmtest::Random(32), text = gmtest::Random(20);
    BN_set_word(c->XCoordinate, 0x1234);
    BN_set_word(c->YCoordinate, 0x5678);
    ASN1_OCTET_STRING_set(c->HASH, hash.data(), 32);
    ASN1_OCTET_STRING_set(c->cipherText, text.data(), 20);
    Bytes der = Der<SM2Cipher>(c, i2d_SM2Cipher);
    SM2Cipher_free(c);

    // SEQUENCE { INTEGER 1234, INTEGER 5678, OCTET STRING(32), OCTET STRING(20) }
    Bytes head = FromHex("3040 02021234 02025678 0420");
    ASSERT_GT(der.size(), head.size());
    EXPECT_EQ(Bytes(der.begin(), der.begin() + head.size()), head);

    const unsigned char *p = der.data();
    SM2Cipher *back = d2i_SM2Cipher(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(BN_get_word(back->XCoordinate), 0x1234u);
    EXPECT_EQ(Bytes(back->cipherText->data, back->cipherText->data + back->cipherText->length),
              text);
    SM2Cipher_free(back);
}

TEST(GmAsn1, PfxSm2DecodesFromBio)
{
    PFX_SM2 *pfx = PFX_SM2_new();
    ASSERT_NE(pfx, nullptr);
    ASN1_INTEGER_set(pfx->version, 1);
    ASN1_OBJECT_free(pfx->privateData->dataID);
    pfx->privateData->dataID = OBJ_nid2obj(gm_obj_nid(GM_OBJ_SM_PKCS7_DATA));
    ASN1_OBJECT_free(pfx->privateData->dataEncryptedAlg);
    pfx->privateData->dataEncryptedAlg = OBJ_nid2obj(NID_sm4_cbc);
    Bytes key = gmtest::Random(48), cert = gmtest::Random(300);
    ASN1_OCTET_STRING_set(pfx->privateData->encryptedSM2PrivateKey, key.data(), 48);
    ASN1_OBJECT_free(pfx->publicData->dataID);
    pfx->publicData->dataID = OBJ_nid2obj(gm_obj_nid(GM_OBJ_SM_PKCS7_DATA));
    ASN1_OCTET_STRING_set(pfx->publicData->SM2Certificate, cert.data(), 300);
    Bytes der = Der<PFX_SM2>(pfx, i2d_PFX_SM2);
    PFX_SM2_free(pfx);
    ASSERT_FALSE(der.empty());

    BIO *bio = BIO_new_mem_buf(der.data(), static_cast<int>(der.size()));
    PFX_SM2 *out = nullptr;
    PFX_SM2 *back = d2i_SM2_PFX_bio(bio, &out);
    BIO_free(bio);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back, out);
    EXPECT_EQ(ASN1_INTEGER_get(back->version), 1);
    EXPECT_EQ(OBJ_obj2nid(back->privateData->dataEncryptedAlg), NID_sm4_cbc);
    EXPECT_EQ(OBJ_obj2nid(back->publicData->dataID), gm_obj_nid(GM_OBJ_SM_PKCS7_DATA));
    EXPECT_EQ(back->publicData->SM2Certificate->length, 300);
    EXPECT_EQ(Der<PFX_SM2>(back, i2d_PFX_SM2), der);
    PFX_SM2_free(back);
}

class Sm2PrivateKeyTest : public ::testing::TestWithParam<int> {};

TEST_P(Sm2PrivateKeyTest, RoundTripsWithTheScalarAsInteger)
{
    EcKey key = NewKey(GetParam());
    EC_KEY_set_conv_form(key.get(), POINT_CONVERSION_COMPRESSED);
    Bytes der = KeyDer(key.get());
    ASSERT_FALSE(der.empty());

    SM2_PRIVATEKEY *rec = nullptr;
    const unsigned char *p = der.data();
    rec = d2i_SM2_PRIVATEKEY(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->version, 1);
    EXPECT_EQ(ASN1_STRING_type(rec->privateKey), V_ASN1_INTEGER);
    EXPECT_NE(rec->parameters, nullptr);
    ASSERT_NE(rec->publicKey, nullptr);
    EXPECT_EQ(rec->publicKey->length, 33);
    SM2_PRIVATEKEY_free(rec);

    p = der.data();
    EC_KEY *out = nullptr;
    EC_KEY *back = d2i_SM2PrivateKey(&out, &p, static_cast<long>(der.size()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back, out);
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(gm_curve_id_of_group(EC_KEY_get0_group(back)), GetParam());
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(back), EC_KEY_get0_private_key(key.get())), 0);
    EXPECT_EQ(EC_POINT_cmp(EC_KEY_get0_group(back), EC_KEY_get0_public_key(back),
                           EC_KEY_get0_public_key(key.get()), nullptr),
              0);
    EXPECT_EQ(EC_KEY_get_conv_form(back), POINT_CONVERSION_COMPRESSED);
    EC_KEY_free(back);
}

INSTANTIATE_TEST_SUITE_P(Curves, Sm2PrivateKeyTest,
                         ::testing::Values(GM_CURVE_SM2, GM_CURVE_SM2_TEST));

TEST(GmAsn1, KeyWithoutParametersTakesTheGivenKeysGroup)
{
    EcKey key = NewKey(GM_CURVE_SM2);
    EC_KEY_set_enc_flags(key.get(), EC_PKEY_NO_PARAMETERS | EC_PKEY_NO_PUBKEY);
    Bytes der = KeyDer(key.get());
    ASSERT_FALSE(der.empty());

    const unsigned char *p = der.data();
    ERR_clear_error();
    EXPECT_EQ(d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(der.size())), nullptr);
    EXPECT_NE(ERR_peek_error(), 0u);
    ERR_clear_error();

    EC_KEY *into = EC_KEY_new();
    EC_GROUP *group = gm_curve_group_new(GM_CURVE_SM2);
    EC_KEY_set_group(into, group);
    EC_GROUP_free(group);
    p = der.data();
    ASSERT_EQ(d2i_SM2PrivateKey(&into, &p, static_cast<long>(der.size())), into);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(into), EC_KEY_get0_private_key(key.get())), 0);
    EXPECT_EQ(EC_KEY_get0_public_key(into), nullptr) << "no public key is computed";
    EC_KEY_free(into);
}

// A record around a chosen private-key INTEGER (hex of its content; a
// leading '-' makes it negative), with the SM2 curve as parameters.
Bytes RecordWithScalar(const char *hex)
{
    SM2_PRIVATEKEY *rec = SM2_PRIVATEKEY_new();
    rec->version = 1;
    BIGNUM *d = nullptr;
    BN_hex2bn(&d, hex);
    ASN1_INTEGER_free(rec->privateKey);
    rec->privateKey = BN_to_ASN1_INTEGER(d, nullptr);
    BN_free(d);
    ASN1_OBJECT *curve = OBJ_nid2obj(NID_sm2);
    rec->parameters = ASN1_TYPE_new();
    ASN1_TYPE_set(rec->parameters, V_ASN1_OBJECT, curve);
    Bytes der = Der<SM2_PRIVATEKEY>(rec, i2d_SM2_PRIVATEKEY);
    SM2_PRIVATEKEY_free(rec);
    return der;
}

const char kSm2Order[] = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";

struct ScalarCase {
    const char *hex;
    bool accepted;
};

class Sm2ScalarRangeTest : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(Sm2ScalarRangeTest, OnlyScalarsBelowTheOrderAreAccepted)
{
    Bytes der = RecordWithScalar(GetParam().hex);
    ASSERT_FALSE(der.empty());
    const unsigned char *p = der.data();
    ERR_clear_error();
    EC_KEY *key = d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_EQ(key != nullptr, GetParam().accepted);
    if (!GetParam().accepted) {
        EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), EC_R_INVALID_PRIVATE_KEY);
    }
    EC_KEY_free(key);
    ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, Sm2ScalarRangeTest,
    ::testing::Values(ScalarCase{"0", false}, ScalarCase{"-5", false},
                      ScalarCase{kSm2Order, false},
                      ScalarCase{"1FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123",
                                 false},
                      ScalarCase{"1", true},
                      ScalarCase{"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122",
                                 true}));

// ---- traditional-format decoder ---------------------------------------------

// A caller's own error must survive the decoder; the failed first attempt's
// errors must not.
class LegacyDecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ERR_clear_error();
        ERR_raise(ERR_LIB_USER, 42);
    }
    void TearDown() override { ERR_clear_error(); }

    static void ExpectOnlyCallersError()
    {
        unsigned long err = ERR_get_error();
        EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_USER);
        EXPECT_EQ(ERR_GET_REASON(err), 42);
        EXPECT_EQ(ERR_get_error(), 0u);
    }

    static int Decode(const Bytes &der, EVP_PKEY **pkey)
    {
        *pkey = EVP_PKEY_new();
        const unsigned char *p = der.data();
        int rc = ec_priv_decode_legacy(*pkey, &p, static_cast<int>(der.size()));
        if (rc == 1) {
            EXPECT_EQ(p, der.data() + der.size());
        }
        return rc;
    }
};

TEST_F(LegacyDecodeTest, IntegerFormDecodesThroughTheSecondPath)
{
    EcKey key = NewKey(GM_CURVE_SM2);
    EVP_PKEY *pkey = nullptr;
    ASSERT_EQ(Decode(KeyDer(key.get()), &pkey), 1);
    const EC_KEY *back = EVP_PKEY_get0_EC_KEY(pkey);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(back), EC_KEY_get0_private_key(key.get())), 0);
    EVP_PKEY_free(pkey);
    ExpectOnlyCallersError();
}

TEST_F(LegacyDecodeTest, OctetStringFormDecodesThroughTheFirstPath)
{
    EcKey key = NewKey(GM_CURVE_SM2);
    unsigned char *der = nullptr;
    int len = i2d_ECPrivateKey(key.get(), &der);
    ASSERT_GT(len, 0);
    Bytes bytes(der, der + len);
    OPENSSL_free(der);
    EVP_PKEY *pkey = nullptr;
    ASSERT_EQ(Decode(bytes, &pkey), 1);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(EVP_PKEY_get0_EC_KEY(pkey)),
                     EC_KEY_get0_private_key(key.get())),
              0);
    EVP_PKEY_free(pkey);
    ExpectOnlyCallersError();
}

// ECPrivateKey { 1, OCTET STRING d, [0] sm2 } with d out of range, and junk.
class LegacyRejectTest : public LegacyDecodeTest,
                         public ::testing::WithParamInterface<const char *> {};

TEST_P(LegacyRejectTest, RefusedWithADecodeErrorAboveTheCallersOwn)
{
    EVP_PKEY *pkey = nullptr;
    EXPECT_EQ(Decode(FromHex(GetParam()), &pkey), 0);
    EVP_PKEY_free(pkey);
    unsigned long err = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_USER);
    err = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_EC);
    EXPECT_EQ(ERR_GET_REASON(err), EC_R_DECODE_ERROR);
    EXPECT_EQ(ERR_get_error(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LegacyRejectTest,
    ::testing::Values(
        "3031 020101 0420 0000000000000000000000000000000000000000000000000000000000000000"
        " a00a 06082a811ccf5501822d",
        "3031 020101 0420 FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123"
        " a00a 06082a811ccf5501822d",
        "3031 020101 0420 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
        " a00a 06082a811ccf5501822d",
        "3003 020101", "0401ff"));

}  // namespace
