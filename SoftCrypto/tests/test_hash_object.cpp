// CHashObject against OpenSSL digests and OpenSSL-encoded DigestInfo records.
#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

#include "SoftCrypto/HashHandle.h"
#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

struct HashCase {
    unsigned char id;
    const char *name;  // OpenSSL digest
    int nid;           // DigestInfo algorithm, NID_undef for none
};

void PrintTo(const HashCase &c, std::ostream *os) { *os << c.name; }

const HashCase kHashes[] = {{10, "MD5", NID_md5},       {11, "SHA1", NID_sha1}, {12, "SHA256", NID_sha256},
                            {13, "SHA512", NID_sha512}, {18, "SM3", NID_undef}};

/* The DigestInfo record as OpenSSL encodes it. */
Bytes DigestInfo(int nid, const Bytes &digest)
{
    X509_SIG *sig = X509_SIG_new();
    X509_ALGOR *alg = nullptr;
    ASN1_OCTET_STRING *oct = nullptr;
    X509_SIG_getm(sig, &alg, &oct);
    X509_ALGOR_set0(alg, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(oct, digest.data(), static_cast<int>(digest.size()));
    unsigned char *der = nullptr;
    int len = i2d_X509_SIG(sig, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    X509_SIG_free(sig);
    return out;
}

struct HashObjectDeleter {
    void operator()(CHashObject *p) const { CHashObject::Release(p); }
};

std::unique_ptr<CHashObject, HashObjectDeleter> Make(unsigned char id)
{
    CHashObject *p = nullptr;
    EXPECT_EQ(0u, CHashObject::Initialize(id, &p));
    return std::unique_ptr<CHashObject, HashObjectDeleter>(p);
}

/* Final into a buffer of the largest digest, as hex. */
std::string FinalHex(CHashObject &h)
{
    unsigned char out[HASH_OBJECT_MAX_DIGEST] = {};
    unsigned int len = sizeof out;
    unsigned int rv = h.Final(out, &len);
    return rv == 0 ? oracle::ToHex(out, len) : "failed " + std::to_string(rv);
}

class HashObjectPerId : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashObjectPerId, FinalAndHeaderIsTheDigestInfoOfTheOpenSslDigest)
{
    const HashCase c = GetParam();
    Bytes data = oracle::Pattern(333, c.id);
    Bytes digest = oracle::Digest(c.name, data);
    auto h = Make(c.id);
    ASSERT_TRUE(h);
    ASSERT_EQ(0u, h->Update(data.data(), 100));
    ASSERT_EQ(0u, h->Update(data.data() + 100, 233));
    unsigned char out[HASH_OBJECT_MAX_HEADER_DIGEST] = {};
    unsigned int len = sizeof out;
    ASSERT_EQ(0u, h->FinalAndHeader(out, &len));
    Bytes expected = c.nid == NID_undef ? digest : DigestInfo(c.nid, digest);
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(out, len));

    // Finished: the stored digest again, and no more data.
    EXPECT_EQ(oracle::ToHex(digest), FinalHex(*h));
    EXPECT_EQ(ERR_NO_CONTEXT, h->Update(data.data(), 1));
}

TEST_P(HashObjectPerId, DigestIsOpenSslsAndAnswersASizeQuery)
{
    const HashCase c = GetParam();
    Bytes data = oracle::Pattern(1000, 3);
    auto h = Make(c.id);
    unsigned int len = 0;
    ASSERT_EQ(0u, h->Digest(data.data(), 1000, nullptr, &len));
    EXPECT_EQ(h->GetHashLength(), len);
    unsigned char out[64] = {};
    len = h->GetHashLength() - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, h->Digest(data.data(), 1000, out, &len));
    EXPECT_EQ(h->GetHashLength(), len);
    ASSERT_EQ(0u, h->Digest(data.data(), 1000, out, &len));
    EXPECT_EQ(oracle::ToHex(oracle::Digest(c.name, data)), oracle::ToHex(out, len));
}

/* The capacity in *pulLen is checked before anything is finished. */
TEST_P(HashObjectPerId, TooSmallBufferChangesNothing)
{
    const HashCase c = GetParam();
    Bytes data = oracle::Pattern(50, 9);
    auto h = Make(c.id);
    ASSERT_EQ(0u, h->Update(data.data(), 20));
    unsigned char out[HASH_OBJECT_MAX_HEADER_DIGEST + 8];
    memset(out, 0xEE, sizeof out);
    unsigned int len = h->GetHashLength() - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, h->Final(out, &len));
    EXPECT_EQ(h->GetHashLength(), len);
    unsigned int hashLen = h->GetHashLength();
    unsigned int needed =
        c.nid == NID_undef ? hashLen : static_cast<unsigned int>(DigestInfo(c.nid, Bytes(hashLen)).size());
    len = needed - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, h->FinalAndHeader(out, &len));
    EXPECT_EQ(needed, len);
    EXPECT_EQ(0xEE, out[0]);
    EXPECT_EQ(ERR_NULL_ARGUMENT, h->Final(out, nullptr));
    // Still open: the rest of the data goes in.
    ASSERT_EQ(0u, h->Update(data.data() + 20, 30));
    EXPECT_EQ(oracle::ToHex(oracle::Digest(c.name, data)), FinalHex(*h));
}

INSTANTIATE_TEST_SUITE_P(Ids, HashObjectPerId, ::testing::ValuesIn(kHashes));

TEST(HashObject, Sha1ThenMd5IsThirtySixBytes)
{
    Bytes abc = {'a', 'b', 'c'};
    auto h = Make(SC_HASH_SHA1_MD5);
    ASSERT_EQ(0u, h->Update(abc.data(), 3));
    unsigned char out[64] = {};
    unsigned int len = sizeof out;
    ASSERT_EQ(0u, h->FinalAndHeader(out, &len));  // no prefix
    EXPECT_EQ(oracle::ToHex(oracle::Digest("SHA1", abc)) + oracle::ToHex(oracle::Digest("MD5", abc)),
              oracle::ToHex(out, len));
    EXPECT_EQ(36u, len);
}

TEST(HashObject, InitializeRefusesIdsWithoutADigest)
{
    for (unsigned char id : {15, 16, 17, 9, 19, 0}) {
        CHashObject *p = nullptr;
        EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, CHashObject::Initialize(id, &p)) << int(id);
        EXPECT_EQ(nullptr, p);
    }
}

TEST(HashObject, LengthTable)
{
    const std::pair<unsigned char, unsigned int> rows[] = {{10, 16}, {11, 20}, {12, 32}, {13, 64}, {14, 36},
                                                           {18, 32}, {15, 0},  {16, 0},  {17, 0},  {99, 0}};
    for (auto r : rows)
        EXPECT_EQ(r.second, CHashObject(r.first).GetHashLength()) << int(r.first);
}

TEST(HashObject, SetReplacesTheDigest)
{
    auto h = Make(SC_HASH_SHA256);
    Bytes given = oracle::Pattern(32, 1);
    EXPECT_EQ(ERR_NULL_ARGUMENT, h->Set(given.data(), 20));
    ASSERT_EQ(0u, h->Set(given.data(), 32));
    EXPECT_EQ(oracle::ToHex(given), FinalHex(*h));
    EXPECT_EQ(ERR_NO_CONTEXT, h->Update(given.data(), 1));
}

TEST(HashObject, IdWithoutALength)
{
    CHashObject h(15);
    unsigned char out[64] = {};
    unsigned int len = 64;
    EXPECT_EQ(ERR_BAD_ALGORITHM, h.FinalAndHeader(out, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(ERR_BAD_ALGORITHM, h.Set(out, 0));
    len = 64;
    EXPECT_EQ(ERR_BAD_ALGORITHM, h.Digest(out, 1, out, &len));
}

TEST(HashObject, ReleaseNullsThePointer)
{
    CHashObject *p = nullptr;
    ASSERT_EQ(0u, CHashObject::Initialize(SC_HASH_SM3, &p));
    CHashObject::Release(p);  // open context released unfinished
    EXPECT_EQ(nullptr, p);
    CHashObject::Release(p);
}

}  // namespace
