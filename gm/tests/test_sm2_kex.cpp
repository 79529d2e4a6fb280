// SM2 key exchange: the published examples on both curves, the building
// blocks, and the key exchange over the crypto library's EC keys.
#include "gm/sm2_kex.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include <memory>
#include <string>

#include "gm/sm2.h"
#include "gm/sm2_group.h"
#include "gm/tests/gm_test_util.h"

using gmtest::Bytes;
using gmtest::FromHex;
using gmtest::ToHex;

namespace {

struct BnDeleter {
    void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

Bn Hex(const std::string &hex)
{
    BIGNUM *bn = nullptr;
    EXPECT_GT(BN_hex2bn(&bn, hex.c_str()), 0);
    return Bn(bn);
}

Bytes Field(const BIGNUM *bn)
{
    Bytes out(32);
    EXPECT_EQ(BN_bn2binpad(bn, out.data(), 32), 32);
    return out;
}

// One party: long-term key pair (d, P) and temporary pair (r, R).
struct Party {
    Bn d, px, py, r, rx, ry;
    Bytes z;
};

Party MakeParty(int curve, const std::string &d, const std::string &r, const std::string &id)
{
    Party p{Hex(d), Bn(BN_new()), Bn(BN_new()), Hex(r), Bn(BN_new()), Bn(BN_new()), Bytes(32)};
    EC_GROUP *group = gm_curve_group_new(curve);
    EC_POINT *pt = EC_POINT_new(group);
    EXPECT_EQ(EC_POINT_mul(group, pt, p.d.get(), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EC_POINT_get_affine_coordinates(group, pt, p.px.get(), p.py.get(), nullptr), 1);
    EXPECT_EQ(EC_POINT_mul(group, pt, p.r.get(), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EC_POINT_get_affine_coordinates(group, pt, p.rx.get(), p.ry.get(), nullptr), 1);
    EC_POINT_free(pt);
    EC_GROUP_free(group);
    EXPECT_EQ(_SM2_CalculateZValue_byCurve(curve, reinterpret_cast<const unsigned char *>(id.data()),
                                           static_cast<unsigned>(id.size()), p.px.get(),
                                           p.py.get(), p.z.data()),
              1);
    return p;
}

// The key of `self` against `peer`; za/zb in initiator-responder order.
Bytes Kep(int curve, const Party &self, const Party &peer, const Bytes &za, const Bytes &zb,
          unsigned klen = 128)
{
    Bytes out(klen / 8 + 4, 0xcc);
    EXPECT_EQ(_SM2_KEP(curve, self.rx.get(), self.ry.get(), self.r.get(), self.px.get(),
                       self.py.get(), self.d.get(), za.data(), peer.rx.get(), peer.ry.get(),
                       peer.px.get(), peer.py.get(), zb.data(), klen, out.data()),
              1);
    EXPECT_EQ(Bytes(out.end() - 4, out.end()), Bytes(4, 0xcc)) << "wrote past klen / 8 bytes";
    out.resize(klen / 8);
    return out;
}

struct KexVector {
    const char *name;
    int curve;
    const char *idA, *idB;
    const char *dA, *dB, *rA, *rB;
    const char *xA;   // initiator's public x, as the standard lists it (null: not given)
    const char *zA, *zB;
    const char *key;
};

class KexVectorTest : public ::testing::TestWithParam<KexVector> {};

TEST_P(KexVectorTest, BothRolesDeriveThePublishedKey)
{
    const KexVector &v = GetParam();
    Party a = MakeParty(v.curve, v.dA, v.rA, v.idA);
    Party b = MakeParty(v.curve, v.dB, v.rB, v.idB);
    if (v.xA != nullptr) {
        EXPECT_EQ(ToHex(Field(a.px.get())), ToHex(FromHex(v.xA)));
    }
    if (v.zA != nullptr) {
        EXPECT_EQ(ToHex(a.z), ToHex(FromHex(v.zA)));
        EXPECT_EQ(ToHex(b.z), ToHex(FromHex(v.zB)));
    }
    Bytes ka = Kep(v.curve, a, b, a.z, b.z);
    Bytes kb = Kep(v.curve, b, a, a.z, b.z);
    EXPECT_EQ(ToHex(ka), ToHex(FromHex(v.key)));
    EXPECT_EQ(ToHex(kb), ToHex(FromHex(v.key)));

    // The byte form gives the same key.
    Bytes kex(16);
    EXPECT_EQ(_SM2_KEP_ex(v.curve, Field(a.rx.get()).data(), Field(a.ry.get()).data(),
                          Field(a.r.get()).data(), Field(a.px.get()).data(),
                          Field(a.py.get()).data(), Field(a.d.get()).data(), a.z.data(),
                          Field(b.rx.get()).data(), Field(b.ry.get()).data(),
                          Field(b.px.get()).data(), Field(b.py.get()).data(), b.z.data(), 128,
                          kex.data()),
              1);
    EXPECT_EQ(kex, ka);
}

INSTANTIATE_TEST_SUITE_P(
    Published, KexVectorTest,
    ::testing::Values(
        KexVector{"RecommendedCurve", GM_CURVE_SM2, SM2_DEFAULT_ID, SM2_DEFAULT_ID,
                  "81EB26E941BB5AF16DF116495F90695272AE2CD63D6C4AE1678418BE48230029",
                  "785129917D45A9EA5437A59356B82338EAADDA6CEB199088F14AE10DEFA229B5",
                  "D4DE15474DB74D06491C440D305E012400990F3E390C7E87153C12DB2EA60BB3",
                  "7E07124814B309489125EAED101113164EBF0F3458C5BD88335C1F9D596243D6", nullptr,
                  nullptr, nullptr, "6C89347354DE2484C60B4AB1FDE4C6E5"},
        KexVector{"ExampleCurve", GM_CURVE_SM2_TEST, "ALICE123@YAHOO.COM", "BILL456@YAHOO.COM",
                  "6FCBA2EF9AE0AB902BC3BDE3FF915D44BA4CC78F88E2F8E7F8996D3B8CCEEDEE",
                  "5E35D7D3F3C54DBAC72E61819E730B019A84208CA3A35E4C2E353DFCCB2A3B53",
                  "83A2C9C8B96E5AF70BD480B472409A9A327257F1EBB73F5B073354B248668563",
                  "33FE21940342161C55619C4A0C060293D543C80AF19748CE176D83477DE71C80",
                  "3099093BF3C137D8FCBBCDF4A2AE50F3B0F216C3122D79425FE03A45DBFE1655",
                  "E4D1D0C3CA4C7F11BC8FF8CB3F4C02A78F108FA098E51A668487240F75E20F31",
                  "6B4B6D0E276691BD4A11BF72F4FB501AE309FDACB72FA6CC336E6656119ABD67",
                  "55B0AC62A6B927BA23703832C853DED4"}),
    [](const ::testing::TestParamInfo<KexVector> &info) { return std::string(info.param.name); });

TEST(Sm2Kex, PeerTemporaryPointOffTheCurveIsRefused)
{
    Party a = MakeParty(GM_CURVE_SM2, "81EB26E941BB5AF16DF116495F90695272AE2CD63D6C4AE1678418BE48230029",
                        "D4DE15474DB74D06491C440D305E012400990F3E390C7E87153C12DB2EA60BB3",
                        SM2_DEFAULT_ID);
    Party b = MakeParty(GM_CURVE_SM2, "785129917D45A9EA5437A59356B82338EAADDA6CEB199088F14AE10DEFA229B5",
                        "7E07124814B309489125EAED101113164EBF0F3458C5BD88335C1F9D596243D6",
                        SM2_DEFAULT_ID);
    BN_add_word(b.ry.get(), 1);
    Bytes out(16, 0);
    EXPECT_EQ(_SM2_KEP(GM_CURVE_SM2, a.rx.get(), a.ry.get(), a.r.get(), a.px.get(), a.py.get(),
                       a.d.get(), a.z.data(), b.rx.get(), b.ry.get(), b.px.get(), b.py.get(),
                       b.z.data(), 128, out.data()),
              0);
    EXPECT_EQ(out, Bytes(16, 0));
    ERR_clear_error();
}

TEST(Sm2Kex, KeyLengthsBeyondOneHashBlock)
{
    Party a = MakeParty(GM_CURVE_SM2, "01", "02", SM2_DEFAULT_ID);
    Party b = MakeParty(GM_CURVE_SM2, "03", "04", SM2_DEFAULT_ID);
    for (unsigned klen : {8u, 256u, 264u, 1024u}) {
        EXPECT_EQ(Kep(GM_CURVE_SM2, a, b, a.z, b.z, klen), Kep(GM_CURVE_SM2, b, a, a.z, b.z, klen))
            << klen;
    }
}

TEST(Sm2Kex, ZValueByCurve)
{
    // GM/T 0003.5 signature example key with the default identity.
    Party p = MakeParty(GM_CURVE_SM2, "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8",
                        "01", SM2_DEFAULT_ID);
    const BIGNUM *xp = p.px.get(), *yp = p.py.get();
    Bn x(BN_dup(xp)), y(BN_dup(yp));
    Bytes z(32), zDefault(32);
    const auto *id = reinterpret_cast<const unsigned char *>(SM2_DEFAULT_ID);
    ASSERT_EQ(_SM2_CalculateZValue_byCurve(GM_CURVE_SM2, id, 16, x.get(), y.get(), z.data()), 1);
    EXPECT_EQ(ToHex(z), ToHex(FromHex("B2E14C5C79C6DF5B85F4FE7ED8DB7A262B9DA7E07CCB0EA9F4747B8CCDA8A4F3")));
    ASSERT_EQ(_SM2_CalculateDefaultZValue(Field(x.get()).data(), Field(y.get()).data(),
                                          zDefault.data()),
              1);
    EXPECT_EQ(z, zDefault);
    Bytes zEx(32);
    ASSERT_EQ(_SM2_CalculateZValue_byCurve_ex(GM_CURVE_SM2, id, 16, Field(x.get()).data(),
                                              Field(y.get()).data(), zEx.data()),
              1);
    EXPECT_EQ(zEx, z);
    EXPECT_EQ(_SM2_CalculateZValue_byCurve(415, id, 16, x.get(), y.get(), z.data()), 0);
    ERR_clear_error();
}

TEST(Sm2KexBlocks, BitAndOverTheShorterOperand)
{
    Bn a = Hex("FF00"), b = Hex("0F0F"), out(BN_new());
    ASSERT_EQ(_SM2_BNBitAND(out.get(), a.get(), b.get()), 1);
    EXPECT_EQ(BN_get_word(out.get()), 0x0F00u);
    Bn wide = Hex("FFFFFFFFFFFFFFFFFFFF"), narrow = Hex("F0");
    ASSERT_EQ(_SM2_BNBitAND(out.get(), wide.get(), narrow.get()), 1);
    EXPECT_EQ(BN_get_word(out.get()), 0xF0u);
    ASSERT_EQ(_SM2_BNBitAND(a.get(), a.get(), b.get()), 1) << "out may be an operand";
    EXPECT_EQ(BN_get_word(a.get()), 0x0F00u);
}

TEST(Sm2KexBlocks, Log2n)
{
    struct {
        const char *n;
        int ok, bits;
    } cases[] = {{"2", 1, 1}, {"3", 1, 2}, {"4", 1, 2}, {"5", 1, 3}, {"1", 0, 1}, {"0", 0, 1},
                 {"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123", 1, 256}};
    for (const auto &c : cases) {
        int bits = -7;
        EXPECT_EQ(_SM2_log2n(Hex(c.n).get(), &bits), c.ok) << c.n;
        EXPECT_EQ(bits, c.bits) << c.n;
    }
}

TEST(Sm2KexBlocks, XDashAndT)
{
    Bn x = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0123456789ABCDEF0123456789ABCDEF"), out(BN_new());
    ASSERT_EQ(_SM2_KEP_calculate_xDash(out.get(), x.get(), 127), 1);
    EXPECT_EQ(ToHex(Field(out.get())),
              "00000000000000000000000000000000" "8123456789abcdef0123456789abcdef");

    Bn d = Hex("05"), xd = Hex("07"), r = Hex("0B"), n = Hex("0D"), t(BN_new());
    ASSERT_EQ(_SM2_KEP_calculate_t(t.get(), d.get(), xd.get(), r.get(), n.get()), 1);
    EXPECT_EQ(BN_get_word(t.get()), (5u + 7u * 11u) % 13u);
}

TEST(Sm2KexBlocks, TemporaryKeyPairLiesOnTheCurve)
{
    for (int curve : {GM_CURVE_SM2, GM_CURVE_SM2_TEST}) {
        Bn r(BN_new()), x(BN_new()), y(BN_new());
        ASSERT_EQ(_SM2_generate_temp_keypair(r.get(), x.get(), y.get(), curve), 1);
        EXPECT_FALSE(BN_is_zero(r.get()));
        EXPECT_EQ(_SM2_point_is_on_curve(x.get(), y.get(), curve), 1);
    }
}

// ---- over EC keys ---------------------------------------------------------------

using EcKey = std::unique_ptr<EC_KEY, decltype(&EC_KEY_free)>;

EcKey NewKey(int curve)
{
    EC_KEY *key = EC_KEY_new();
    EC_GROUP *group = gm_curve_group_new(curve);
    EC_KEY_set_group(key, group);
    EC_GROUP_free(group);
    EXPECT_EQ(EC_KEY_generate_key(key), 1);
    return EcKey(key, EC_KEY_free);
}

class ComputeKeyTest : public ::testing::TestWithParam<int> {};

TEST_P(ComputeKeyTest, InitiatorAndResponderAgreeOnTheKeysCurve)
{
    int curve = GetParam();
    EcKey a = NewKey(curve), ra = NewKey(curve), b = NewKey(curve), rb = NewKey(curve);
    Bytes ka(16), kb(16);
    ASSERT_EQ(sm2kep_compute_key(ka.data(), 128, EC_KEY_get0_public_key(rb.get()),
                                 EC_KEY_get0_public_key(b.get()), ra.get(), a.get(),
                                 SM2_KEP_INITIATOR),
              1);
    ASSERT_EQ(sm2kep_compute_key(kb.data(), 128, EC_KEY_get0_public_key(ra.get()),
                                 EC_KEY_get0_public_key(a.get()), rb.get(), b.get(), 0),
              1);
    EXPECT_EQ(ka, kb);

    // Both initiators: the user hashes come in different orders.
    Bytes kc(16);
    ASSERT_EQ(sm2kep_compute_key(kc.data(), 128, EC_KEY_get0_public_key(ra.get()),
                                 EC_KEY_get0_public_key(a.get()), rb.get(), b.get(),
                                 SM2_KEP_INITIATOR),
              1);
    EXPECT_NE(kc, ka);
}

INSTANTIATE_TEST_SUITE_P(Curves, ComputeKeyTest, ::testing::Values(GM_CURVE_SM2, GM_CURVE_SM2_TEST));

TEST(Sm2Kex, ComputeKeyWithoutPrivateValueQueuesTheEcdhError)
{
    EcKey a = NewKey(GM_CURVE_SM2), ra = NewKey(GM_CURVE_SM2), b = NewKey(GM_CURVE_SM2);
    EC_KEY *pubOnly = EC_KEY_new();
    EC_KEY_set_group(pubOnly, EC_KEY_get0_group(ra.get()));
    EC_KEY_set_public_key(pubOnly, EC_KEY_get0_public_key(ra.get()));
    Bytes k(16);
    ERR_clear_error();
    EXPECT_EQ(sm2kep_compute_key(k.data(), 128, EC_KEY_get0_public_key(b.get()),
                                 EC_KEY_get0_public_key(b.get()), pubOnly, a.get(), 1),
              0);
    unsigned long err = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_ECDH);
    EXPECT_EQ(ERR_GET_REASON(err), 100);
    EC_KEY_free(pubOnly);
    ERR_clear_error();
}

TEST(Sm2Kex, ComputeKeyRefusesKeysOnOtherCurves)
{
    EcKey a = NewKey(NID_X9_62_prime256v1), ra = NewKey(NID_X9_62_prime256v1);
    Bytes k(16);
    EXPECT_EQ(sm2kep_compute_key(k.data(), 128, EC_KEY_get0_public_key(ra.get()),
                                 EC_KEY_get0_public_key(a.get()), ra.get(), a.get(), 1),
              0);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), 101);
    ERR_clear_error();
}

}  // namespace
