// SM2 core: the GM/T 0003 examples (fixed k through the test seam), the
// faults of the cipher-text and identity lengths, and OpenSSL 3.0's SM2 as
// the oracle for signatures and cipher texts in both directions.
#include "gm/sm2.h"
#include "gm/sm2_group.h"
#include "gm/sm2_test_seam.h"
#include "gm/sm3.h"
#include "gm/tests/sm2_oracle.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <memory>

using namespace gmtest;

namespace {

struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn BnHex(const char *hex)
{
    BIGNUM *b = nullptr;
    BN_hex2bn(&b, hex);
    return Bn(b);
}

Bn BnBytes(const Bytes &b)
{
    return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

Bytes Field(const BIGNUM *b)
{
    Bytes out(32);
    EXPECT_EQ(1, _SM2_GetBNBytes(b, out.data()));
    return out;
}

// A fixed k for the published examples; the random source is restored
// when the scope ends.
class FixedK {
public:
    explicit FixedK(const char *hex) : m_k(BnHex(hex))
    {
        gm_sm2_set_k_source([](BIGNUM *k, const BIGNUM *, void *arg) {
            return BN_copy(k, static_cast<BIGNUM *>(arg)) != nullptr ? 1 : 0;
        }, m_k.get());
    }
    ~FixedK() { gm_sm2_set_k_source(nullptr, nullptr); }

private:
    Bn m_k;
};

struct KeyPair {
    Bytes d = Bytes(32), x = Bytes(32), y = Bytes(32);
};

// The public key of d on a curve.
KeyPair KeyOf(const char *dhex, int nid)
{
    KeyPair kp;
    EC_GROUP *g = gm_curve_group_new(nid);
    EC_POINT *p = EC_POINT_new(g);
    Bn d = BnHex(dhex), x(BN_new()), y(BN_new());
    EC_POINT_mul(g, p, d.get(), nullptr, nullptr, nullptr);
    EC_POINT_get_affine_coordinates(g, p, x.get(), y.get(), nullptr);
    kp.d = Field(d.get());
    kp.x = Field(x.get());
    kp.y = Field(y.get());
    EC_POINT_free(p);
    EC_GROUP_free(g);
    return kp;
}

KeyPair NewKey()
{
    KeyPair kp;
    EXPECT_EQ(1, _SM2_generate_keypair(kp.d.data(), kp.x.data(), kp.y.data()));
    return kp;
}

// Z of a public key for an identity on a curve, through the core function.
Bytes ZValue(const std::string &id, const KeyPair &kp, int nid)
{
    Bytes a(32), b(32), gx(32), gy(32), z(32);
    EXPECT_EQ(1, gm_curve_params(nid, nullptr, a.data(), b.data(), gx.data(), gy.data(), nullptr));
    Bn ba = BnBytes(a), bb = BnBytes(b), bgx = BnBytes(gx), bgy = BnBytes(gy), bx = BnBytes(kp.x),
       by = BnBytes(kp.y);
    EXPECT_EQ(1, _SM2_CalculateZValue(reinterpret_cast<const unsigned char *>(id.data()),
                                      static_cast<unsigned>(id.size()), ba.get(), bb.get(), bgx.get(),
                                      bgy.get(), bx.get(), by.get(), z.data()));
    return z;
}

Bytes Digest(const Bytes &z, const Bytes &msg)
{
    SM3_DIGEST_CTX ctx;
    Bytes e(32);
    SM3_Init(&ctx);
    SM3_Update(&ctx, z.data(), z.size());
    SM3_Update(&ctx, msg.data(), msg.size());
    SM3_Final(e.data(), &ctx);
    return e;
}

Bytes Encrypt(const KeyPair &kp, const Bytes &msg, int nid = GM_CURVE_SM2)
{
    Bytes out(msg.size() + SM2_CIPHER_OVERHEAD);
    Bn x = BnBytes(kp.x), y = BnBytes(kp.y);
    if (_SM2_encrypt(nid, msg.data(), static_cast<unsigned>(msg.size()), x.get(), y.get(), out.data()) != 1)
        out.clear();
    return out;
}

// 1 and the plain text, or 0 and the untouched output buffer (0xEE bytes).
int Decrypt(const KeyPair &kp, const Bytes &c, Bytes *plain, int nid = GM_CURVE_SM2)
{
    plain->assign(c.size() > 97 ? c.size() - 97 : 1, 0xEE);
    Bn d = BnBytes(kp.d);
    return _SM2_decrypt(nid, c.data(), static_cast<unsigned>(c.size()), d.get(), plain->data());
}

// ---- published examples ---------------------------------------------------

const char kD[] = "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8";
const char kK[] = "59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1BC21";

TEST(Sm2Example, RecommendedCurveZAndSignature)
{
    KeyPair kp = KeyOf(kD, GM_CURVE_SM2);
    Bytes z(32), r(32), s(32);
    ASSERT_EQ(1, _SM2_CalculateDefaultZValue(kp.x.data(), kp.y.data(), z.data()));
    EXPECT_EQ("b2e14c5c79c6df5b85f4fe7ed8db7a262b9da7e07ccb0ea9f4747b8ccda8a4f3", ToHex(z));
    EXPECT_EQ(ToHex(z), ToHex(ZValue(SM2_DEFAULT_ID, kp, GM_CURVE_SM2)));

    Bytes e = Digest(z, Text("message digest"));
    EXPECT_EQ("f0b43e94ba45accaace692ed534382eb17e6ab5a19ce7b31f4486fdfc0d28640", ToHex(e));
    {
        FixedK k(kK);
        ASSERT_EQ(1, _SM2_sign_ex(e.data(), kp.d.data(), r.data(), s.data()));
    }
    EXPECT_EQ("f5a03b0648d2c4630eeac513e1bb81a15944da3827d5b74143ac7eaceee720b3", ToHex(r));
    EXPECT_EQ("b1b6aa29df212fd8763182bc0d421ca1bb9038fd1f7f42d4840b69c485bbc1aa", ToHex(s));
    EXPECT_EQ(1, _SM2_verify_ex(r.data(), s.data(), kp.x.data(), kp.y.data(), e.data()));
}

TEST(Sm2Example, RecommendedCurveEncryption)
{
    KeyPair kp = KeyOf(kD, GM_CURVE_SM2);
    Bytes msg = Text("encryption standard"), c, back;
    {
        FixedK k(kK);
        c = Encrypt(kp, msg);
    }
    ASSERT_EQ(msg.size() + 97, c.size());
    EXPECT_EQ(0x04, c[0]);
    EXPECT_EQ("21886ca989ca9c7d58087307ca93092d651efa", ToHex(c).substr(130, 38));
    EXPECT_EQ("59983c18f809e262923c53aec295d30383b54e39d609d160afcb1908d0bd8766",
              ToHex(c).substr(168));
    ASSERT_EQ(1, Decrypt(kp, c, &back));
    EXPECT_EQ(ToHex(msg), ToHex(back));
}

// The example curve of GM/T 0003 (curve 921) is computed with its own
// parameters: the example's public key and Z, and signatures that verify on
// it and not on the recommended curve.
TEST(Sm2Example, ExampleCurveKeyZAndSignature)
{
    KeyPair kp = KeyOf("128B2FA8BD433C6C068C8D803DFF79792A519A55171B1B650C23661D15897263",
                       GM_CURVE_SM2_TEST);
    EXPECT_EQ("0ae4c7798aa0f119471bee11825be46202bb79e2a5844495e97c04ff4df2548a", ToHex(kp.x));
    EXPECT_EQ("7c0240f88f1cd4e16352a73c17b7f16f07353e53a176d684a9fe0c6bb798e857", ToHex(kp.y));
    Bytes z = ZValue("ALICE123@YAHOO.COM", kp, GM_CURVE_SM2_TEST);
    EXPECT_EQ("f4a38489e32b45b6f876e3ac2168ca392362dc8f23459c1d1146fc3dbfb7bc9a", ToHex(z));
    Bytes e = Digest(z, Text("message digest"));
    EXPECT_EQ("b524f552cd82b8b028476e005c377fb19a87e6fc682d48bb5d42e3d9b9effe76", ToHex(e));

    Bn be = BnBytes(e), bd = BnBytes(kp.d), bx = BnBytes(kp.x), by = BnBytes(kp.y);
    ECDSA_SIG *sig = _SM2_sign(be.get(), bd.get(), GM_CURVE_SM2_TEST);
    ASSERT_NE(nullptr, sig);
    EXPECT_EQ(1, _SM2_verify(sig, bx.get(), by.get(), be.get(), GM_CURVE_SM2_TEST));
    EXPECT_EQ(0, _SM2_verify(sig, bx.get(), by.get(), be.get(), GM_CURVE_SM2));
    ECDSA_SIG_free(sig);
    ERR_clear_error();
}

TEST(Sm2Example, ExampleCurveEncryptionRoundTrip)
{
    Bn d(BN_new()), x(BN_new()), y(BN_new());
    ASSERT_EQ(1, _SM2_generate_key(d.get(), x.get(), y.get(), GM_CURVE_SM2_TEST));
    EXPECT_EQ(1, _SM2_point_is_on_curve(x.get(), y.get(), GM_CURVE_SM2_TEST));
    EXPECT_EQ(0, _SM2_point_is_on_curve(x.get(), y.get(), GM_CURVE_SM2));
    KeyPair kp{Field(d.get()), Field(x.get()), Field(y.get())};
    Bytes msg = Random(40), back;
    Bytes c = Encrypt(kp, msg, GM_CURVE_SM2_TEST);
    ASSERT_EQ(1, Decrypt(kp, c, &back, GM_CURVE_SM2_TEST));
    EXPECT_EQ(ToHex(msg), ToHex(back));
    EXPECT_EQ(0, Decrypt(kp, c, &back, GM_CURVE_SM2));
    ERR_clear_error();
}

// ---- conversions, key derivation, Z ----------------------------------------

TEST(Sm2Kdf, WritesWholeBytesOfTheDerivedBits)
{
    Bytes z = Random(64), out(40, 0xEE);
    Bytes ct1 = z, ct2 = z;
    for (unsigned char b : {0, 0, 0, 1}) ct1.push_back(b);
    for (unsigned char b : {0, 0, 0, 2}) ct2.push_back(b);
    std::string blocks = ToHex(SM3(ct1.data(), ct1.size(), nullptr), 32) +
                         ToHex(SM3(ct2.data(), ct2.size(), nullptr), 32);

    ASSERT_EQ(1, _SM2_KDF(z.data(), 64, 264, out.data()));
    EXPECT_EQ(blocks.substr(0, 66) + "eeeeeeeeeeeeee", ToHex(out));
    out.assign(40, 0xEE);
    ASSERT_EQ(1, _SM2_KDF(z.data(), 64, 260, out.data()));
    EXPECT_EQ(blocks.substr(0, 64) + "eeeeeeeeeeeeeeee", ToHex(out));
    EXPECT_EQ(0, _SM2_KDF(z.data(), 64, 0, out.data()));
}

TEST(Sm2Conversions, FieldsAreRightAlignedAndWideNumbersRefused)
{
    Bytes out(32, 0xEE);
    Bn b31 = BnHex("11223344556677889900112233445566778899001122334455667788990011");
    ASSERT_EQ(1, _SM2_GetBNBytes(b31.get(), out.data()));
    EXPECT_EQ("0011223344556677889900112233445566778899001122334455667788990011", ToHex(out));
    Bn b33 = BnHex("010000000000000000000000000000000000000000000000000000000000000000");
    EXPECT_EQ(0, _SM2_GetBNBytes(b33.get(), out.data()));
    EXPECT_EQ(std::string(64, '0'), ToHex(out));

    Bytes forty = Random(40);
    Bn taken(BN_new());
    ASSERT_EQ(1, _SM2_Bytes2BN(forty.data(), 40, taken.get()));
    EXPECT_EQ(ToHex(forty).substr(0, 64), ToHex(Field(taken.get())));

    unsigned char zero[3] = {0, 0, 0}, one[3] = {0, 1, 0};
    EXPECT_EQ(1, _SM2_IsAllZero(zero, 3));
    EXPECT_EQ(0, _SM2_IsAllZero(one, 3));
    EXPECT_EQ(1, _SM2_IsAllZero(one, 0));
    ERR_clear_error();
}

// ENTL is 16 bits: an identity of 8192 bytes or more would wrap and give the
// Z of another identity length, so it is refused.
TEST(Sm2ZValue, IdentityLengthBeyondEntlIsRefused)
{
    KeyPair kp = NewKey();
    Bytes a(32), b(32), gx(32), gy(32), z(32);
    gm_curve_params(GM_CURVE_SM2, nullptr, a.data(), b.data(), gx.data(), gy.data(), nullptr);
    Bn ba = BnBytes(a), bb = BnBytes(b), bgx = BnBytes(gx), bgy = BnBytes(gy), bx = BnBytes(kp.x),
       by = BnBytes(kp.y);
    Bytes id(SM2_MAX_ID_LENGTH + 1, 'A');
    EXPECT_EQ(1, _SM2_CalculateZValue(id.data(), SM2_MAX_ID_LENGTH, ba.get(), bb.get(), bgx.get(),
                                      bgy.get(), bx.get(), by.get(), z.data()));
    EXPECT_EQ(0, _SM2_CalculateZValue(id.data(), SM2_MAX_ID_LENGTH + 1, ba.get(), bb.get(),
                                      bgx.get(), bgy.get(), bx.get(), by.get(), z.data()));
    EXPECT_NE(0u, ERR_peek_error());
    ERR_clear_error();
}

// ---- encryption and decryption ---------------------------------------------

TEST(Sm2Encrypt, SixteenBytesRoundTripAndEmptyOrOversizedMessagesAreRefused)
{
    KeyPair kp = NewKey();
    Bytes msg = Random(16), back;
    Bytes c = Encrypt(kp, msg);
    ASSERT_EQ(113u, c.size());
    EXPECT_EQ(0x04, c[0]);
    ASSERT_EQ(1, Decrypt(kp, c, &back));
    EXPECT_EQ(ToHex(msg), ToHex(back));

    EXPECT_TRUE(Encrypt(kp, Bytes()).empty());
    // mlen * 8 must fit the key derivation's 32-bit bit length: refused
    // before anything is read or written.
    Bn x = BnBytes(kp.x), y = BnBytes(kp.y);
    unsigned char small[1] = {0};
    EXPECT_EQ(0, _SM2_encrypt(GM_CURVE_SM2, small, SM2_MAX_MESSAGE_LENGTH + 1, x.get(), y.get(), small));
    EXPECT_EQ(0, _SM2_encrypt(GM_CURVE_SM2, small, 0x20000000u, x.get(), y.get(), small));
    ERR_clear_error();
}

// Every corrupted cipher text is refused and the caller's buffer is left as
// it was: the plain text is only copied out after C3 matched.
struct Corruption {
    const char *name;
    size_t offset;  // counted from the end when from_end
    bool from_end;
};

class Sm2CorruptTest : public ::testing::TestWithParam<Corruption> {};

TEST_P(Sm2CorruptTest, DecryptionFailsAndWritesNothing)
{
    static const KeyPair kp = NewKey();
    Bytes msg = Random(20), back;
    Bytes c = Encrypt(kp, msg);
    size_t at = GetParam().from_end ? c.size() - 1 - GetParam().offset : GetParam().offset;
    c[at] ^= 0x01;
    EXPECT_EQ(0, Decrypt(kp, c, &back));
    EXPECT_EQ(std::string(40, 'e'), ToHex(back));
    ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Sm2CorruptTest,
    ::testing::Values(Corruption{"FirstByte", 0, false}, Corruption{"C1x", 5, false},
                      Corruption{"C1y", 40, false}, Corruption{"C2", 70, false},
                      Corruption{"C3First", 31, true}, Corruption{"C3Middle", 16, true},
                      Corruption{"C3Last", 0, true}),
    [](const ::testing::TestParamInfo<Corruption> &i) { return std::string(i.param.name); });

TEST(Sm2Decrypt, ShortCipherTextsAndBadKeysAreRefused)
{
    KeyPair kp = NewKey();
    Bytes c = Encrypt(kp, Random(8)), back;
    EXPECT_EQ(0, Decrypt(kp, Bytes(c.begin(), c.begin() + 97), &back));
    EXPECT_EQ(0, Decrypt(kp, Bytes(c.begin(), c.begin() + 50), &back));
    KeyPair zero = kp;
    zero.d.assign(32, 0);
    EXPECT_EQ(0, Decrypt(zero, c, &back));
    ERR_clear_error();
}

// ---- signature --------------------------------------------------------------

TEST(Sm2Sign, OutOfRangeSignaturesAndUnknownCurvesAreRefused)
{
    KeyPair kp = NewKey();
    Bytes e = Random(32), r(32), s(32);
    ASSERT_EQ(1, _SM2_sign_ex(e.data(), kp.d.data(), r.data(), s.data()));
    ASSERT_EQ(1, _SM2_verify_ex(r.data(), s.data(), kp.x.data(), kp.y.data(), e.data()));

    Bytes n(32), zero(32, 0);
    gm_curve_params(GM_CURVE_SM2, nullptr, nullptr, nullptr, nullptr, nullptr, n.data());
    EXPECT_EQ(0, _SM2_verify_ex(zero.data(), s.data(), kp.x.data(), kp.y.data(), e.data()));
    EXPECT_EQ(0, _SM2_verify_ex(n.data(), s.data(), kp.x.data(), kp.y.data(), e.data()));
    EXPECT_EQ(0, _SM2_verify_ex(r.data(), n.data(), kp.x.data(), kp.y.data(), e.data()));
    e[0] ^= 1;
    EXPECT_EQ(0, _SM2_verify_ex(r.data(), s.data(), kp.x.data(), kp.y.data(), e.data()));

    Bn be = BnBytes(e), bd = BnBytes(kp.d);
    EXPECT_EQ(nullptr, _SM2_sign(be.get(), bd.get(), NID_X9_62_prime256v1));
    EXPECT_NE(0u, ERR_peek_error());
    ERR_clear_error();
}

TEST(Sm2Keys, GenerateKeypairNeedsEveryOutput)
{
    unsigned char d[32], x[32];
    EXPECT_EQ(0, _SM2_generate_keypair(d, x, nullptr));
    KeyPair kp = NewKey();
    Bn bx = BnBytes(kp.x), by = BnBytes(kp.y);
    EXPECT_EQ(1, _SM2_point_is_on_curve(bx.get(), by.get(), GM_CURVE_SM2));
    ERR_clear_error();
}

// ---- OpenSSL 3.0 as the oracle -------------------------------------------

class Sm2OracleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_key = NewKey();
        m_pkey = OpenSslSm2Key(m_key.d, m_key.x, m_key.y);
        ASSERT_NE(nullptr, m_pkey);
    }
    void TearDown() override { EVP_PKEY_free(m_pkey); }

    KeyPair m_key;
    EVP_PKEY *m_pkey = nullptr;
};

TEST_F(Sm2OracleTest, SignaturesVerifyBothWaysWithTheIdentitySet)
{
    for (int i = 0; i < 40; i++) {
        // long identities too (OpenSSL takes at most 8190 bytes, one less
        // than ENTL can describe)
        std::string id = i == 0 ? std::string(SM2_MAX_ID_LENGTH - 1, 'x')
                       : i == 2 ? std::string(300, 'y')
                       : i % 2  ? SM2_DEFAULT_ID
                                : "user" + std::to_string(i) + "@example.org";
        Bytes msg = Random(static_cast<size_t>(i) * 37);
        Bytes e = Digest(ZValue(id, m_key, GM_CURVE_SM2), msg);
        Bn be = BnBytes(e), bd = BnBytes(m_key.d), bx = BnBytes(m_key.x), by = BnBytes(m_key.y);

        ECDSA_SIG *ours = _SM2_sign(be.get(), bd.get(), GM_CURVE_SM2);
        ASSERT_NE(nullptr, ours);
        unsigned char *der = nullptr;
        int len = i2d_ECDSA_SIG(ours, &der);
        Bytes sig(der, der + len);
        OPENSSL_free(der);
        ECDSA_SIG_free(ours);
        EXPECT_TRUE(OpenSslSm2Verify(m_pkey, id, msg, sig)) << "ours, message " << i;

        Bytes theirs = OpenSslSm2Sign(m_pkey, id, msg);
        ASSERT_FALSE(theirs.empty());
        const unsigned char *p = theirs.data();
        ECDSA_SIG *parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(theirs.size()));
        ASSERT_NE(nullptr, parsed);
        EXPECT_EQ(1, _SM2_verify(parsed, bx.get(), by.get(), be.get(), GM_CURVE_SM2))
            << "theirs, message " << i;
        ECDSA_SIG_free(parsed);
    }
}

TEST_F(Sm2OracleTest, CipherTextsDecryptBothWays)
{
    for (size_t len : {1, 2, 15, 16, 31, 32, 33, 63, 64, 65, 100, 255, 1000, 4096}) {
        Bytes msg = Random(len), back;
        Bytes ours = Encrypt(m_key, msg);
        ASSERT_EQ(len + 97, ours.size());
        EXPECT_EQ(ToHex(msg), ToHex(OpenSslSm2Crypt(m_pkey, RawToDer(ours), false))) << len;

        Bytes theirs = DerToRaw(OpenSslSm2Crypt(m_pkey, msg, true));
        ASSERT_EQ(len + 97, theirs.size());
        ASSERT_EQ(1, Decrypt(m_key, theirs, &back)) << len;
        EXPECT_EQ(ToHex(msg), ToHex(back));
    }
}

}  // namespace
