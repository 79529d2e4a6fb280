// Certificate helpers over SM2 certificates made here with OpenSSL.
#include "gm/cert_helpers.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kDefaultId[] = "1234567812345678";

EVP_PKEY *NewSm2Key()
{
    EC_KEY *ec = EC_KEY_new_by_curve_name(NID_sm2);
    EVP_PKEY *pkey = EVP_PKEY_new();
    EXPECT_EQ(EC_KEY_generate_key(ec), 1);
    EXPECT_EQ(EVP_PKEY_assign_EC_KEY(pkey, ec), 1);
    return pkey;
}

using Extensions = std::vector<std::pair<int, std::string>>;

// A certificate of subject CN=szSubject issued by CN=szIssuer, signed with
// SM2/SM3 over the default identity.
X509 *MakeCert(const char *szSubject, const char *szIssuer, EVP_PKEY *subjectKey,
               EVP_PKEY *issuerKey, const Extensions &exts, CRL_DIST_POINTS *dps = nullptr)
{
    static long serial = 1;
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(szSubject), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(szIssuer), -1, -1, 0);
    X509_set_pubkey(x, subjectKey);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
    for (const auto &e : exts) {
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, e.first, e.second.c_str());
        EXPECT_NE(ext, nullptr) << e.second;
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (dps != nullptr) {
        EXPECT_EQ(X509_add1_ext_i2d(x, NID_crl_distribution_points, dps, 0, 0), 1);
    }
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    EXPECT_EQ(EVP_DigestSignInit(mctx, &pctx, EVP_sm3(), nullptr, issuerKey), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set1_id(pctx, kDefaultId, 16), 1);
    EXPECT_GT(X509_sign_ctx(x, mctx), 0);
    EVP_MD_CTX_free(mctx);
    return x;
}

const Extensions kCa = {{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"}};
const Extensions kSigning = {{NID_key_usage, "critical,digitalSignature"}};
const Extensions kEncryption = {{NID_key_usage, "critical,keyEncipherment,dataEncipherment"}};

// root (self-signed) -> sub CA -> signing certificate and encryption
// certificate; "a" and "b" name each other as issuer.
class CertSet : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const char *name : {"root", "sub", "sign", "enc", "a", "b"})
            keys()[name] = NewSm2Key();
        certs()["root"] = MakeCert("root", "root", keys()["root"], keys()["root"], kCa);
        certs()["sub"] = MakeCert("sub", "root", keys()["sub"], keys()["root"], kCa);
        certs()["sign"] = MakeCert("sign", "sub", keys()["sign"], keys()["sub"], kSigning);
        certs()["enc"] = MakeCert("enc", "sub", keys()["enc"], keys()["sub"], kEncryption);
        certs()["a"] = MakeCert("a", "b", keys()["a"], keys()["b"], {});
        certs()["b"] = MakeCert("b", "a", keys()["b"], keys()["a"], {});
    }
    static void TearDownTestSuite()
    {
        for (auto &c : certs())
            X509_free(c.second);
        for (auto &k : keys())
            EVP_PKEY_free(k.second);
        certs().clear();
        keys().clear();
    }
    static std::map<std::string, EVP_PKEY *> &keys()
    {
        static std::map<std::string, EVP_PKEY *> m;
        return m;
    }
    static std::map<std::string, X509 *> &certs()
    {
        static std::map<std::string, X509 *> m;
        return m;
    }
    static STACK_OF(X509) * Stack(const std::vector<std::string> &names)
    {
        STACK_OF(X509) *sk = sk_X509_new_null();
        for (const auto &n : names)
            sk_X509_push(sk, certs().at(n));
        return sk;
    }
};

TEST_F(CertSet, CertificatesAreSignedOverTheDefaultIdentity)
{
    X509 *sign = certs()["sign"];
    ASN1_OCTET_STRING *id = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char *>(kDefaultId), 16);
    X509_set0_distinguishing_id(sign, id);
    EXPECT_EQ(X509_verify(sign, keys()["sub"]), 1);
    X509_set0_distinguishing_id(sign, nullptr);
    ERR_clear_error();
    EXPECT_EQ(X509_check_issued(certs()["sub"], sign), X509_V_OK);
    EXPECT_NE(X509_check_issued(certs()["enc"], sign), X509_V_OK);
}

struct IndexCase {
    std::vector<std::string> set;
    int expected;
};

class EncCertIndexTest : public CertSet, public ::testing::WithParamInterface<IndexCase> {};

TEST_P(EncCertIndexTest, FirstCertificateOffTheChainOfTheFirst)
{
    STACK_OF(X509) *sk = Stack(GetParam().set);
    EXPECT_EQ(st_x509_get_enc_cert_index(sk), GetParam().expected);
    sk_X509_free(sk);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, EncCertIndexTest,
    ::testing::Values(IndexCase{{"sign", "sub", "root", "enc"}, 3},
                      IndexCase{{"sign", "enc", "sub", "root"}, 1},
                      IndexCase{{"sign", "root", "enc", "sub"}, 2},
                      IndexCase{{"sign", "sub", "root"}, -1},
                      IndexCase{{"sign"}, -1},
                      // names each other as issuer: the walk ends
                      IndexCase{{"a", "b"}, -1},
                      IndexCase{{"a", "b", "enc"}, 2},
                      IndexCase{{"a", "enc", "b", "a"}, 1}));

TEST_F(CertSet, NullSetQueuesTheX509ErrorEmptySetDoesNot)
{
    ERR_clear_error();
    EXPECT_EQ(st_x509_get_enc_cert_index(nullptr), -1);
    unsigned long err = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_X509);
    EXPECT_EQ(ERR_GET_REASON(err), ERR_R_MALLOC_FAILURE & ERR_REASON_MASK);

    STACK_OF(X509) *sk = sk_X509_new_null();
    EXPECT_EQ(st_x509_get_enc_cert_index(sk), -1);
    EXPECT_EQ(ERR_get_error(), 0u);
    sk_X509_free(sk);
}

struct ContextCase {
    std::string cert;
    std::vector<std::string> untrusted;
    int expected;
};

class ContextEncCertIndexTest : public CertSet,
                                public ::testing::WithParamInterface<ContextCase> {};

TEST_P(ContextEncCertIndexTest, WalksTheUntrustedSetFromTheContextsCertificate)
{
    X509_STORE *store = X509_STORE_new();
    X509_STORE_CTX *ctx = X509_STORE_CTX_new();
    STACK_OF(X509) *untrusted =
        GetParam().untrusted.empty() ? nullptr : Stack(GetParam().untrusted);
    ASSERT_EQ(X509_STORE_CTX_init(ctx, store, certs()[GetParam().cert], untrusted), 1);
    EXPECT_EQ(x509_get_enc_cert_index(ctx), GetParam().expected);
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    sk_X509_free(untrusted);
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, ContextEncCertIndexTest,
    ::testing::Values(ContextCase{"sign", {"sign", "sub", "root", "enc"}, 3},
                      ContextCase{"sign", {"sub", "root", "enc"}, 2},
                      // position 0 is taken for the signing certificate
                      ContextCase{"sign", {"enc", "sub", "root"}, -1},
                      ContextCase{"sign", {}, -1},
                      ContextCase{"a", {"a", "b"}, -1},
                      ContextCase{"a", {"b", "a", "enc"}, 2}));

// ---- LDAP texts ---------------------------------------------------------------

GENERAL_NAME *Uri(const std::string &uri)
{
    GENERAL_NAME *gn = GENERAL_NAME_new();
    ASN1_IA5STRING *s = ASN1_IA5STRING_new();
    ASN1_STRING_set(s, uri.data(), static_cast<int>(uri.size()));
    GENERAL_NAME_set0_value(gn, GEN_URI, s);
    return gn;
}

struct DpCase {
    std::vector<std::string> uris; // full name of the certificate's distribution point
    const char *expected;          // its text
};

class DistPointTest : public ::testing::TestWithParam<DpCase> {};

TEST_P(DistPointTest, LdapUrisOfTheFirstDistributionPoint)
{
    CRL_DIST_POINTS *made = CRL_DIST_POINTS_new();
    DIST_POINT *point = DIST_POINT_new();
    point->distpoint = DIST_POINT_NAME_new();
    point->distpoint->type = 0;
    point->distpoint->name.fullname = GENERAL_NAMES_new();
    for (const auto &uri : GetParam().uris)
        sk_GENERAL_NAME_push(point->distpoint->name.fullname, Uri(uri));
    sk_DIST_POINT_push(made, point);
    EVP_PKEY *key = NewSm2Key();
    X509 *cert = MakeCert("crl", "crl", key, key, {}, made);
    CRL_DIST_POINTS_free(made);
    CRL_DIST_POINTS *dps = static_cast<CRL_DIST_POINTS *>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr));
    ASSERT_NE(dps, nullptr);
    ASSERT_GE(sk_DIST_POINT_num(dps), 1);
    char *text = nullptr;
    unsigned int len = 99;
    ASSERT_EQ(GetDP(sk_DIST_POINT_value(dps, 0)->distpoint, &text, &len), 1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, GetParam().expected);
    EXPECT_EQ(len, strlen(GetParam().expected));
    free(text);
    CRL_DIST_POINTS_free(dps);
    X509_free(cert);
    EVP_PKEY_free(key);
}

INSTANTIATE_TEST_SUITE_P(
    Uris, DistPointTest,
    ::testing::Values(
        DpCase{{"http://crl.example/ca.crl", "ldap://dir.example/cn=CRL1,o=Ex"},
               "ldap://dir.example/cn=CRL1,o=Ex"},
        DpCase{{"ldap://a.example/cn=1", "ldap://b.example/cn=2"},
               "ldap://a.example/cn=1ldap://b.example/cn=2"},
        DpCase{{"LDAP://A.EXAMPLE/CN=1"}, ""},
        DpCase{{"http://crl.example/only.crl"}, ""}));

X509_NAME *Name(const std::vector<std::pair<const char *, std::string>> &entries)
{
    X509_NAME *name = X509_NAME_new();
    for (const auto &e : entries) {
        EXPECT_EQ(X509_NAME_add_entry_by_txt(name, e.first, MBSTRING_UTF8,
                                             reinterpret_cast<const unsigned char *>(
                                                 e.second.c_str()),
                                             static_cast<int>(e.second.size()), -1, 0),
                  1);
    }
    return name;
}

struct NameCase {
    std::vector<std::pair<const char *, std::string>> entries;
    const char *expected; // null: refused
};

class X509NameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(X509NameTest, EntriesFromLastToFirst)
{
    X509_NAME *name = Name(GetParam().entries);
    char *text = nullptr;
    unsigned int len = 0;
    int rc = GetX509Name(name, &text, &len);
    if (GetParam().expected == nullptr) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(text, nullptr);
    } else {
        ASSERT_EQ(rc, 1);
        EXPECT_STREQ(text, GetParam().expected);
        EXPECT_EQ(len, strlen(GetParam().expected));
    }
    free(text);
    X509_NAME_free(name);
}

const std::string kOu60(60, 'u');

std::vector<std::pair<const char *, std::string>> ManyUnits(int n)
{
    return std::vector<std::pair<const char *, std::string>>(n, {"OU", kOu60});
}

std::string UnitsText(int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += (i ? ",OU=" : "OU=") + kOu60;
    return s;
}

const std::string kSixteenUnits = UnitsText(16);

INSTANTIATE_TEST_SUITE_P(
    Names, X509NameTest,
    ::testing::Values(NameCase{{{"C", "CN"}, {"O", "Example Org"}, {"CN", "Alice"}},
                               "CN=Alice,O=Example Org,C=CN"},
                      NameCase{{{"CN", "a"}}, "CN=a"},
                      NameCase{{{"CN", "\xe5\x8c\x97\xe4\xba\xac"}}, "CN=\xe5\x8c\x97\xe4\xba\xac"},
                      NameCase{{}, nullptr},
                      // 16 parts of 63 characters and 15 separators: 1023 characters
                      NameCase{ManyUnits(16), kSixteenUnits.c_str()},
                      NameCase{ManyUnits(17), nullptr}));

TEST(GeneralNameTest, DirectoryNameUriAndOtherTypes)
{
    GENERAL_NAME *dir = GENERAL_NAME_new();
    dir->type = GEN_DIRNAME;
    dir->d.directoryName = Name({{"O", "Org"}, {"CN", "CRL1"}});
    char *text = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(GetGeneralName(dir, &text, &len), 1);
    EXPECT_STREQ(text, "CN=CRL1,O=Org");
    EXPECT_EQ(len, 13u);
    free(text);
    GENERAL_NAME_free(dir);

    GENERAL_NAME *dns = GENERAL_NAME_new();
    ASN1_IA5STRING *host = ASN1_IA5STRING_new();
    ASN1_STRING_set(host, "ldap.example", -1);
    GENERAL_NAME_set0_value(dns, GEN_DNS, host);
    ASSERT_EQ(GetGeneralName(dns, &text, &len), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(len, 0u);
    free(text);
    GENERAL_NAME_free(dns);
}

TEST(GeneralNameTest, UriOfMoreThan1024CharactersIsRefused)
{
    std::string base = "ldap://h/";
    for (size_t total : {1024u, 1025u}) {
        GENERAL_NAME *gn = Uri(base + std::string(total - base.size(), 'x'));
        char *text = nullptr;
        EXPECT_EQ(GetGeneralName(gn, &text, nullptr), total <= 1024 ? 1 : 0) << total;
        if (text != nullptr) {
            EXPECT_EQ(strlen(text), total);
        }
        free(text);
        GENERAL_NAME_free(gn);
    }
}

TEST(GeneralNameTest, JoinedNamesAreBoundedBy5118Characters)
{
    for (int count : {5, 6}) {
        GENERAL_NAMES *gns = GENERAL_NAMES_new();
        for (int i = 0; i < count; i++)
            sk_GENERAL_NAME_push(gns, Uri("ldap://" + std::string(1000, 'a' + i)));
        char *text = nullptr;
        unsigned int len = 0;
        int rc = GetGeneralNames(gns, &text, &len);
        if (count == 5) {
            ASSERT_EQ(rc, 1);
            EXPECT_EQ(len, 5u * 1007u);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(text, nullptr);
        }
        free(text);
        GENERAL_NAMES_free(gns);
    }
}

TEST(GeneralNameTest, RelativeDistributionPointGivesNoText)
{
    DIST_POINT_NAME *dp = DIST_POINT_NAME_new();
    dp->type = 1;
    dp->name.relativename = sk_X509_NAME_ENTRY_new_null();
    char *text = reinterpret_cast<char *>(1);
    unsigned int len = 7;
    EXPECT_EQ(GetDP(dp, &text, &len), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(len, 0u);
    DIST_POINT_NAME_free(dp);
}

TEST(LdapUrlArrayTest, FreesEverySlotAndNullsIt)
{
    char *urls[LDAP_URL_ARRAY_SIZE] = {};
    urls[0] = strdup("ldap://first");
    urls[127] = strdup("ldap://last");
    FreeLdapURLArray(urls);
    for (char *slot : urls) {
        EXPECT_EQ(slot, nullptr);
    }
}

}  // namespace
