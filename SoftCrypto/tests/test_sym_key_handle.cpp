// CSymKeyHandle against OpenSSL's EVP results, its length rules and the
// bounds of its one-shot calls.
#include <gtest/gtest.h>

#include <memory>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/SymKeyHandle.h"
#include "SoftCrypto/tests/GuardedBytes.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

const unsigned char kZeroIv[16] = {};

/* A keyed handle started for one direction. */
std::unique_ptr<CSymKeyHandle> Started(unsigned short alg, const Bytes &key, unsigned char dir, unsigned char mode,
                                       unsigned int padding)
{
    auto h = std::make_unique<CSymKeyHandle>();
    EXPECT_EQ(0u, h->SetKey(alg, const_cast<unsigned char *>(key.data()), static_cast<unsigned int>(key.size())));
    EXPECT_EQ(0u, h->Init(static_cast<unsigned char>(alg), dir, mode, nullptr, padding));
    return h;
}

TEST(SymKeyHandle, ThreeKeyTripleDesTakesTwentyFourKeyBytes)
{
    Bytes key = oracle::Pattern(24, 1), plain = oracle::Pattern(48, 2);
    auto h = Started(SC_ALG_3DES_3KEY, key, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, 0);
    Bytes out(48);
    unsigned int len = 48;
    ASSERT_EQ(0u, h->Encrypt(plain.data(), 48, out.data(), &len));
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("DES-EDE3-CBC", true, key, kZeroIv, plain, false)), oracle::ToHex(out));
}

/* A key shorter than the cipher needs is refused, not over-read. */
TEST(SymKeyHandle, SetKeyRefusesShortKeysAndUnknownAlgorithms)
{
    const std::pair<unsigned short, unsigned int> shortKeys[] = {{SC_ALG_3DES_3KEY, 16}, {SC_ALG_DES, 7},
                                                                 {SC_ALG_SM4, 15}, {SC_ALG_RC4, 8},
                                                                 {SC_ALG_3DES_2KEY, 0}};
    CSymKeyHandle h;
    auto key = std::make_unique<unsigned char[]>(16);  // heap: the sanitizer sees an over-read
    for (auto k : shortKeys)
        EXPECT_EQ(ERR_BAD_LENGTH, h.SetKey(k.first, key.get(), k.second)) << k.first;
    EXPECT_EQ(ERR_BAD_ALGORITHM, h.SetKey(5, key.get(), 16));
    EXPECT_EQ(ERR_NULL_ARGUMENT, h.SetKey(SC_ALG_SM4, nullptr, 16));
    // Nothing was stored: a start without a key is refused by the cipher call.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, h.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, nullptr, 1));
}

TEST(SymKeyHandle, InitRefusesABadDirectionAndACipherLongerThanTheKey)
{
    Bytes key = oracle::Pattern(16, 1);
    CSymKeyHandle h;
    ASSERT_EQ(0u, h.SetKey(SC_ALG_SM4, key.data(), 16));
    EXPECT_EQ(ERR_BAD_KEY_TYPE, h.Init(SC_ALG_SM4, 3, SC_MODE_CBC, nullptr, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, h.Init(SC_ALG_3DES_3KEY, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, nullptr, 1));
    EXPECT_EQ(NTE_FAIL, h.Init(SC_ALG_3DES_2KEY, SYM_CRYPT_ENCRYPT, 16, nullptr, 1));
    EXPECT_EQ(0u, h.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, nullptr, 1));
    EXPECT_EQ(0u, h.Init(SC_ALG_SM4, SYM_CRYPT_DECRYPT, SC_MODE_CBC, nullptr, 1));  // discards the first start
}

TEST(SymKeyHandle, UnpaddedInputMustBeWholeUnits)
{
    Bytes key = oracle::Pattern(24, 1), in(48, 3), out(64);
    auto h = Started(SC_ALG_3DES_3KEY, key, SYM_CRYPT_ENCRYPT, SC_MODE_ECB, 0);
    unsigned int len = 64;
    EXPECT_EQ(ERR_BAD_LENGTH, h->Encrypt(in.data(), 16, out.data(), &len));  // the unit is 24
    EXPECT_EQ(16u, len);
}

TEST(SymKeyHandle, PaddedEncryptNeedsAWholeExtraUnit)
{
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(32, 2);
    auto h = Started(SC_ALG_SM4, key, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, 1);
    unsigned int len = 0;
    ASSERT_EQ(0u, h->Encrypt(plain.data(), 32, nullptr, &len));
    EXPECT_EQ(48u, len);
    Bytes out(48);
    len = 47;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, h->Encrypt(plain.data(), 32, out.data(), &len));
    EXPECT_EQ(48u, len);
    len = 48;
    ASSERT_EQ(0u, h->Encrypt(plain.data(), 32, out.data(), &len));
    EXPECT_EQ(48u, len);
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("SM4-CBC", true, key, kZeroIv, plain, true)), oracle::ToHex(out));

    // A handle started for decryption decrypts; Init again reuses the key.
    ASSERT_EQ(0u, h->Init(SC_ALG_SM4, SYM_CRYPT_DECRYPT, SC_MODE_CBC, nullptr, 1));
    Bytes back(48);
    len = 48;
    ASSERT_EQ(0u, h->Encrypt(out.data(), 48, back.data(), &len));
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back.data(), len));
}

/* A one-shot Encrypt after an Update on the same handle: the size it asks
 * for counts the bytes the cipher context still holds, and it writes
 * nothing past the room it was given.  The bytes after the room are a
 * guard that must stay untouched. */
struct HeldBytesCase {
    const char *name;
    unsigned char dir;
    unsigned int updateLen, encryptLen;  /* bytes fed to Update, then to Encrypt */
    unsigned int needed;                 /* size the query must answer */
};

class EncryptAfterUpdate : public ::testing::TestWithParam<HeldBytesCase> {};

TEST_P(EncryptAfterUpdate, CountsTheHeldBytesAndKeepsToTheRoom)
{
    const HeldBytesCase &c = GetParam();
    const unsigned int total = c.updateLen + c.encryptLen;
    /* Decryption runs over whole blocks of ciphertext: a plain text one byte
     * short of them, padded with one byte. */
    const bool bEncrypt = c.dir == SYM_CRYPT_ENCRYPT;
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(bEncrypt ? total : total - 1, 2);
    Bytes in = bEncrypt ? plain : oracle::Cipher("SM4-CBC", true, key, kZeroIv, plain, true);
    ASSERT_EQ(size_t(total), in.size());
    auto h = Started(SC_ALG_SM4, key, c.dir, SC_MODE_CBC, 1);
    Bytes first(c.updateLen + 16);
    unsigned int n = static_cast<unsigned int>(first.size());
    ASSERT_EQ(0u, h->Update(in.data(), c.updateLen, first.data(), &n));
    first.resize(n);

    unsigned int len = 0;
    ASSERT_EQ(0u, h->Encrypt(in.data() + c.updateLen, c.encryptLen, nullptr, &len));
    EXPECT_EQ(c.needed, len);
    const unsigned int kGuard = 32;
    Bytes out(c.needed + kGuard, 0xEE);
    len = c.needed - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, h->Encrypt(in.data() + c.updateLen, c.encryptLen, out.data(), &len));
    EXPECT_EQ(c.needed, len);
    EXPECT_EQ(Bytes(out.size(), 0xEE), out) << "nothing is written when the room is refused";
    len = c.needed;
    ASSERT_EQ(0u, h->Encrypt(in.data() + c.updateLen, c.encryptLen, out.data(), &len));
    EXPECT_EQ(Bytes(kGuard, 0xEE), Bytes(out.begin() + c.needed, out.end())) << "written past the room";
    out.resize(len);
    first.insert(first.end(), out.begin(), out.end());
    Bytes expected = bEncrypt ? oracle::Cipher("SM4-CBC", true, key, kZeroIv, plain, true) : plain;
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(first));
}

INSTANTIATE_TEST_SUITE_P(
    Sm4Cbc, EncryptAfterUpdate,
    ::testing::Values(HeldBytesCase{"encrypt_15_then_17", SYM_CRYPT_ENCRYPT, 15, 17, 48},
                      HeldBytesCase{"encrypt_20_then_12", SYM_CRYPT_ENCRYPT, 20, 12, 32},
                      HeldBytesCase{"encrypt_0_then_16", SYM_CRYPT_ENCRYPT, 0, 16, 32},
                      HeldBytesCase{"decrypt_16_then_16", SYM_CRYPT_DECRYPT, 16, 16, 32},
                      HeldBytesCase{"decrypt_40_then_24", SYM_CRYPT_DECRYPT, 40, 24, 32}),
    [](const ::testing::TestParamInfo<HeldBytesCase> &i) { return std::string(i.param.name); });

/* Held bytes that leave the input short of a whole unit are refused when
 * nothing pads them. */
TEST(SymKeyHandle, UnpaddedEncryptCountsTheHeldBytesInTheUnitRule)
{
    Bytes key = oracle::Pattern(16, 1), in(64, 3), out(64);
    auto h = Started(SC_ALG_SM4, key, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, 0);
    unsigned int n = 64;
    ASSERT_EQ(0u, h->Update(in.data(), 8, out.data(), &n));
    unsigned int len = 64;
    EXPECT_EQ(ERR_BAD_LENGTH, h->Encrypt(in.data(), 16, out.data(), &len));
    len = 64;
    ASSERT_EQ(0u, h->Encrypt(in.data(), 8, out.data(), &len));
    EXPECT_EQ(16u, len);
}

/* Held bytes and an input that together pass what 32 bits count are
 * refused before the cipher reads any of it: the input ends at a guard
 * page and the call runs in a child process. */
TEST(SymKeyHandle, AnInputThatBringsTheTotalPast32BitsIsRefusedUntouched)
{
    oracle::GuardedBytes huge(0xFFFFFFFFu);
    ASSERT_NE(nullptr, huge.Data());
    Bytes key = oracle::Pattern(16, 1), in(16, 3), out(64);
    auto h = Started(SC_ALG_SM4, key, SYM_CRYPT_ENCRYPT, SC_MODE_ECB, 0);
    unsigned int n = static_cast<unsigned int>(out.size());
    ASSERT_EQ(0u, h->Update(in.data(), 1, out.data(), &n));
    unsigned char *pbHuge = huge.Last(0xFFFFFFFFu);
    EXPECT_EXIT(
        {
            unsigned int room = static_cast<unsigned int>(out.size());
            _exit(h->Update(pbHuge, 0xFFFFFFFFu, out.data(), &room) == ERR_BAD_LENGTH ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(1u, h->HeldLength());
}

TEST(SymKeyHandle, EncryptWithoutKeyIsRefused)
{
    CSymKeyHandle h;
    unsigned char buf[16] = {};
    unsigned int len = 16;
    EXPECT_EQ(ERR_NO_SYMMETRIC_KEY, h.Encrypt(buf, 16, buf, &len));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, h.Update(buf, 16, buf, &len));
}

TEST(SymKeyHandle, DestroyAfterAFailedFinalReleasesTheContextOnce)
{
    Bytes key = oracle::Pattern(16, 1), junk = oracle::Pattern(32, 9), out(64);
    junk.back() = 0;  // a last plain byte 0 is never a valid padding
    Bytes bad = oracle::Cipher("SM4-CBC", true, key, kZeroIv, junk, false);
    auto h = Started(SC_ALG_SM4, key, SYM_CRYPT_DECRYPT, SC_MODE_CBC, 1);
    unsigned int n = 0, m = 0;
    ASSERT_EQ(0u, h->Update(bad.data(), 32, out.data(), &n));
    EXPECT_EQ(CRYPTO_ERR_DECRYPT, h->Final(out.data() + n, &m));
    h.reset();  // the sanitizer reports a leak or a double free
}

TEST(SymKeyHandle, InitializeGivesAReadyHandle)
{
    Bytes key = oracle::Pattern(16, 4), iv = oracle::Pattern(16, 5), plain = oracle::Pattern(20, 6);
    void *pv = nullptr;
    ASSERT_EQ(0u, CSymKeyHandle::Initialize(SC_ALG_3DES_2KEY, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, key.data(), iv.data(),
                                            &pv));
    CSymKeyHandle *h = static_cast<CSymKeyHandle *>(pv);
    Bytes out(32);
    unsigned int len = 32;
    ASSERT_EQ(0u, h->Encrypt(plain.data(), 20, out.data(), &len));
    out.resize(len);
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("DES-EDE-CBC", true, key, iv.data(), plain, true)), oracle::ToHex(out));
    CSymKeyHandle::Release(h);
    EXPECT_EQ(nullptr, h);

    // The factory takes 16 key bytes: three-key triple DES would need 24.
    pv = nullptr;
    EXPECT_EQ(ERR_BAD_LENGTH,
              CSymKeyHandle::Initialize(SC_ALG_3DES_3KEY, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, key.data(), nullptr, &pv));
    EXPECT_EQ(ERR_BAD_KEY_TYPE, CSymKeyHandle::Initialize(SC_ALG_SM4, 0, SC_MODE_CBC, key.data(), nullptr, &pv));
    EXPECT_EQ(nullptr, pv);
}

struct OneShotCase {
    unsigned char alg, mode;
    const char *oracleName;
    size_t keyLen;
};

class StaticOneShot : public ::testing::TestWithParam<std::tuple<OneShotCase, size_t>> {};

TEST_P(StaticOneShot, EncryptsAsOpenSslAndDecryptsBack)
{
    const OneShotCase c = std::get<0>(GetParam());
    const size_t n = std::get<1>(GetParam());
    Bytes key = oracle::Pattern(c.keyLen, 1), iv = oracle::Pattern(16, 2), plain = oracle::Pattern(n, 3);
    Bytes expected = oracle::Cipher(c.oracleName, true, key, iv.data(), plain, true);
    Bytes out(n + 16);
    unsigned int len = static_cast<unsigned int>(out.size());
    ASSERT_EQ(0u, CSymKeyHandle::Encrypt(c.alg, c.mode, key.data(), iv.data(), plain.data(),
                                         static_cast<unsigned int>(n), out.data(), &len));
    out.resize(len);
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(out));
    Bytes back(out.size());
    len = static_cast<unsigned int>(back.size());
    ASSERT_EQ(0u, CSymKeyHandle::Decrypt(c.alg, c.mode, key.data(), iv.data(), out.data(),
                                         static_cast<unsigned int>(out.size()), back.data(), &len));
    back.resize(len);
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back));
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, StaticOneShot,
    ::testing::Combine(::testing::Values(OneShotCase{19, 2, "SM4-CBC", 16}, OneShotCase{3, 2, "DES-EDE-CBC", 16},
                                         OneShotCase{3, 1, "DES-EDE-ECB", 16}, OneShotCase{2, 4, "DES-OFB", 8},
                                         OneShotCase{8, 1, "RC4", 16}, OneShotCase{4, 8, "DES-EDE3-CFB", 24}),
                       ::testing::Values(size_t(1), size_t(15), size_t(16), size_t(17), size_t(250))));

TEST(SymKeyHandleStatic, Sm4SixteenBytesRoundTrip)
{
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(16, 2), out(32), back(32);
    unsigned int len = 32;
    ASSERT_EQ(0u, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, plain.data(), 16, out.data(),
                                         &len));
    EXPECT_EQ(32u, len);
    unsigned int backLen = 32;
    ASSERT_EQ(0u, CSymKeyHandle::Decrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, out.data(), 32, back.data(),
                                         &backLen));
    EXPECT_EQ(16u, backLen);
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back.data(), 16));
    backLen = 32;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              CSymKeyHandle::Decrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, out.data(), 0, back.data(), &backLen));
    out[31] ^= 1;
    backLen = 32;
    EXPECT_EQ(CRYPTO_ERR_DECRYPT, CSymKeyHandle::Decrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, out.data(),
                                                         32, back.data(), &backLen));
}

/* The output capacity is *pulOutLen; out null asks for the size. */
TEST(SymKeyHandleStatic, OutputCapacityIsChecked)
{
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(16, 2);
    Bytes out(40, 0xEE);
    unsigned int len = 31;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr,
                                                           plain.data(), 16, out.data(), &len));
    EXPECT_EQ(32u, len);
    EXPECT_EQ(0xEE, out[0]);
    len = 0;
    EXPECT_EQ(0u, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, plain.data(), 16, nullptr,
                                         &len));
    EXPECT_EQ(32u, len);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr,
                                                              plain.data(), 16, out.data(), nullptr));
    Bytes cipher(32);
    len = 32;
    ASSERT_EQ(0u, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, plain.data(), 16,
                                         cipher.data(), &len));
    len = 15;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, CSymKeyHandle::Decrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr,
                                                           cipher.data(), 32, out.data(), &len));
    EXPECT_EQ(16u, len);
}

/* inLen + 16 must stay within 10 MiB, compared without wrapping. */
TEST(SymKeyHandleStatic, EncryptInputBound)
{
    Bytes key = oracle::Pattern(16, 1);
    const unsigned int maxIn = 0xA00000u - 16;
    Bytes in(maxIn + 1, 0x42), out(0xA00000u);
    unsigned int len = static_cast<unsigned int>(out.size());
    EXPECT_EQ(0u, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr, in.data(), maxIn, out.data(),
                                         &len));
    EXPECT_EQ(0xA00000u, len);
    for (unsigned int tooLong : {maxIn + 1, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        len = 99;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, CSymKeyHandle::Encrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr,
                                                                  in.data(), tooLong, out.data(), &len))
            << tooLong;
        EXPECT_EQ(0u, len);
    }
    len = 99;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, CSymKeyHandle::Decrypt(SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr,
                                                              in.data(), 0xA00001u, out.data(), &len));
}

}  // namespace
