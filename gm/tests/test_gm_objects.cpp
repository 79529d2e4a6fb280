// GM object numbers, their crypto-library objects, and the curve list.
#include "gm/gm_objects.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct ObjectCase {
    int gmObj;
    const char *oid;        // dotted OID, or null when the library's object has its own
    const char *shortName;  // expected short name
    const char *longName;   // expected long name
};

std::string OidText(int nid)
{
    char buf[80];
    int n = OBJ_obj2txt(buf, sizeof(buf), OBJ_nid2obj(nid), 1);
    return n > 0 ? std::string(buf) : std::string();
}

class GmObjectTest : public ::testing::TestWithParam<ObjectCase> {};

TEST_P(GmObjectTest, MapsToTheObjectWithTheOidAndNames)
{
    const ObjectCase &c = GetParam();
    int nid = gm_obj_nid(c.gmObj);
    ASSERT_NE(nid, NID_undef);
    EXPECT_NE(nid, c.gmObj) << "the layer's numbers belong to other objects in libcrypto";
    EXPECT_STREQ(OBJ_nid2sn(nid), c.shortName);
    EXPECT_STREQ(OBJ_nid2ln(nid), c.longName);
    if (c.oid != nullptr) {
        EXPECT_EQ(OidText(nid), c.oid);
        EXPECT_EQ(OBJ_txt2nid(c.oid), nid);
    }
    EXPECT_EQ(OBJ_txt2nid(c.shortName), nid);
    EXPECT_EQ(OBJ_ln2nid(c.longName), nid);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, GmObjectTest,
    ::testing::Values(
        // Objects libcrypto 3.0 already has: mapped, with the library's names.
        ObjectCase{GM_OBJ_SM2, "1.2.156.10197.1.301", "SM2", "sm2"},
        ObjectCase{GM_OBJ_SM3, "1.2.156.10197.1.401", "SM3", "sm3"},
        ObjectCase{GM_OBJ_SM4_CBC, nullptr, "SM4-CBC", "sm4-cbc"},
        ObjectCase{GM_OBJ_SM2_SM3, "1.2.156.10197.1.501", "SM2-SM3", "SM2-with-SM3"},
        // Objects created by the layer with its own names.
        ObjectCase{GM_OBJ_SM2_TEST, "1.2.156.10197.1.888", "ChinaSM2TEST256", "prime256v1SM2TEST"},
        ObjectCase{GM_OBJ_SM1_CBC, "1.2.156.10197.1.102", "sm1-cbc", "ChinaSM1-CBC"},
        ObjectCase{GM_OBJ_ZUC, "1.2.156.10197.1.105", "zuc", "ChinaZUC"},
        ObjectCase{GM_OBJ_SM2_SM3_PKCS7, "1.2.156.10197.1.301.1", "sm2-sm3-pkcs7",
                   "ChinaSM2withSM3PKCS7"},
        ObjectCase{GM_OBJ_SM_PKCS7_DATA, "1.2.156.10197.6.1.4.2.1", "sm-pkcs7-data",
                   "SM-pkcs7-data"},
        ObjectCase{GM_OBJ_SM_PKCS7_SIGNED, "1.2.156.10197.6.1.4.2.2", "sm-pkcs7-signedData",
                   "SM-pkcs7-signed"}));

TEST(GmObjects, EmptySlotAndUnknownNumbersFailAsUnknownNid)
{
    for (int gmObj : {929, 919, 931, 0}) {
        ERR_clear_error();
        EXPECT_EQ(gm_obj_nid(gmObj), NID_undef) << gmObj;
        unsigned long err = ERR_peek_last_error();
        EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_OBJ) << gmObj;
        EXPECT_EQ(ERR_GET_REASON(err), OBJ_R_UNKNOWN_NID) << gmObj;
    }
    ERR_clear_error();
}

TEST(GmObjects, LibraryObjectsKeepTheirNamesAndNoSm4ObjectIsCreated)
{
    ASSERT_EQ(gm_objects_init(), 1);
    EXPECT_EQ(OBJ_txt2nid("1.2.156.10197.1.104"), NID_undef);
    EXPECT_EQ(OBJ_sn2nid("SM4-CBC"), NID_sm4_cbc);
    EXPECT_EQ(OBJ_ln2nid("sm4-cbc"), NID_sm4_cbc);
    EXPECT_STREQ(OBJ_nid2sn(920), "dhpublicnumber");
}

TEST(GmObjects, FirstUseFromManyThreadsCreatesEachObjectOnce)
{
    std::vector<int> nids(8, NID_undef);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < nids.size(); i++)
        threads.emplace_back([&nids, i] { nids[i] = gm_obj_nid(GM_OBJ_SM_PKCS7_SIGNED); });
    for (auto &t : threads)
        t.join();
    for (int nid : nids)
        EXPECT_EQ(nid, nids[0]);
    EXPECT_NE(nids[0], NID_undef);
}

TEST(GmCurves, ListNamesBothSm2CurvesRightAfterPrime256v1)
{
    size_t libCount = EC_get_builtin_curves(nullptr, 0);
    size_t count = gm_get_builtin_curves(nullptr, 0);
    ASSERT_EQ(count, libCount + 1);  // the library's SM2 entry is replaced by the two
    std::vector<EC_builtin_curve> curves(count);
    ASSERT_EQ(gm_get_builtin_curves(curves.data(), curves.size()), count);

    size_t at = count;
    for (size_t i = 0; i < count; i++) {
        EXPECT_NE(curves[i].nid, NID_sm2);
        if (curves[i].nid == NID_X9_62_prime256v1)
            at = i;
    }
    ASSERT_LT(at + 2, count);
    EXPECT_EQ(curves[at + 1].nid, GM_CURVE_SM2);
    EXPECT_STREQ(curves[at + 1].comment, "China SM2 curve over a 256 bit prime field");
    EXPECT_EQ(curves[at + 2].nid, GM_CURVE_SM2_TEST);
    EXPECT_STREQ(curves[at + 2].comment, "China SM2 Test curve over a 256 bit prime field");
}

TEST(GmCurves, ShortListGetsTheFirstEntriesAndTheFullCount)
{
    std::vector<EC_builtin_curve> all(gm_get_builtin_curves(nullptr, 0));
    gm_get_builtin_curves(all.data(), all.size());
    EC_builtin_curve few[3];
    EXPECT_EQ(gm_get_builtin_curves(few, 3), all.size());
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(few[i].nid, all[i].nid);
}

}  // namespace
