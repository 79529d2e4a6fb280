// Protected data: SM4-CBC under the PIN, checked against OpenSSL's SM4.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "SoftCrypto/ProtectData.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

const unsigned char kZeroIv[16] = {};

struct Blob {
    unsigned int rv = 0;
    Bytes data;
};

Blob Protect(bool create, const Bytes &in, const unsigned char *pin, unsigned int pinSize)
{
    unsigned char *out = nullptr;
    unsigned int outLen = 0;
    Blob b;
    auto call = create ? CreateProtectData : AcquireProtectData;
    b.rv = call(const_cast<unsigned char *>(in.data()), static_cast<unsigned int>(in.size()),
                const_cast<unsigned char *>(pin), pinSize, &out, outLen);
    if (b.rv == 0)
        b.data.assign(out, out + outLen);
    else
        EXPECT_EQ(nullptr, out);
    delete[] out;
    return b;
}

class ProtectDataLengths : public ::testing::TestWithParam<size_t> {};

TEST_P(ProtectDataLengths, IsSm4CbcUnderThePinAndRoundTrips)
{
    const Bytes pin = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'a', 'b', 'c', 'd', 'e', 'f'};
    const Bytes data = oracle::Pattern(GetParam(), 3);
    Blob blob = Protect(true, data, pin.data(), 16);
    ASSERT_EQ(0u, blob.rv);
    EXPECT_EQ((GetParam() / 16 + 1) * 16, blob.data.size());
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("SM4-CBC", true, pin, kZeroIv, data, true)), oracle::ToHex(blob.data));
    Blob back = Protect(false, blob.data, pin.data(), 16);
    ASSERT_EQ(0u, back.rv);
    EXPECT_EQ(oracle::ToHex(data), oracle::ToHex(back.data));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ProtectDataLengths, ::testing::Values(1, 15, 16, 17, 100, 4096));

TEST(ProtectData, WrongPinFailsAndReturnsNoBuffer)
{
    const Bytes pin = oracle::Pattern(16, 1);
    const Bytes data = oracle::Pattern(40, 2);
    Blob blob = Protect(true, data, pin.data(), 16);
    ASSERT_EQ(0u, blob.rv);
    for (unsigned seed = 2; seed < 12; ++seed) {
        Bytes wrong = oracle::Pattern(16, seed);
        EXPECT_EQ(CRYPTO_ERR_DECRYPT, Protect(false, blob.data, wrong.data(), 16).rv) << seed;
    }
    Bytes truncated(blob.data.begin(), blob.data.end() - 1);
    EXPECT_EQ(CRYPTO_ERR_DECRYPT, Protect(false, truncated, pin.data(), 16).rv);
}

/* Nothing beyond pinSize is read; a short PIN is extended with zeros. */
TEST(ProtectData, ShortPinIsZeroExtended)
{
    const Bytes data = oracle::Pattern(20, 4);
    auto pin = std::make_unique<unsigned char[]>(6);  // heap: the sanitizer sees an over-read
    memcpy(pin.get(), "123456", 6);
    Blob blob = Protect(true, data, pin.get(), 6);
    ASSERT_EQ(0u, blob.rv);
    const Bytes key = {'1', '2', '3', '4', '5', '6', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("SM4-CBC", true, key, kZeroIv, data, true)), oracle::ToHex(blob.data));
    // Longer PINs: only the first 16 bytes count.
    Bytes longPin = oracle::Pattern(40, 5);
    Blob a = Protect(true, data, longPin.data(), 40), b = Protect(true, data, longPin.data(), 16);
    EXPECT_EQ(oracle::ToHex(a.data), oracle::ToHex(b.data));
}

TEST(ProtectData, RefusesBadArguments)
{
    const Bytes pin(16, '1');
    unsigned char *out = nullptr;
    unsigned int outLen = 0;
    unsigned char data[4] = {1, 2, 3, 4};
    for (auto call : {CreateProtectData, AcquireProtectData}) {
        EXPECT_EQ(ERROR_INVALID_PARAMETER, call(nullptr, 4, const_cast<unsigned char *>(pin.data()), 16, &out, outLen));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, call(data, 0, const_cast<unsigned char *>(pin.data()), 16, &out, outLen));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, call(data, 4, nullptr, 16, &out, outLen));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, call(data, 4, const_cast<unsigned char *>(pin.data()), 0, &out, outLen));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, call(data, 4, const_cast<unsigned char *>(pin.data()), 16, nullptr, outLen));
        // Sizes near 2^32 must not wrap into a small buffer.
        EXPECT_EQ(ERROR_INVALID_PARAMETER,
                  call(data, 0xFFFFFFF8u, const_cast<unsigned char *>(pin.data()), 16, &out, outLen));
    }
    EXPECT_EQ(nullptr, out);
}

TEST(ProtectData, SizeBound)
{
    const Bytes pin(16, '7');
    Bytes big(0xA00000u - 15, 0x33);
    unsigned char *out = nullptr;
    unsigned int outLen = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              CreateProtectData(big.data(), 0xA00000u - 15, const_cast<unsigned char *>(pin.data()), 16, &out, outLen));
    ASSERT_EQ(0u,
              CreateProtectData(big.data(), 0xA00000u - 16, const_cast<unsigned char *>(pin.data()), 16, &out, outLen));
    EXPECT_EQ(0xA00000u, outLen);
    delete[] out;
}

TEST(SwapByteOrder, ReversesInPlace)
{
    const std::pair<Bytes, Bytes> rows[] = {
        {{1, 2, 3}, {3, 2, 1}}, {{1, 2, 3, 4}, {4, 3, 2, 1}}, {{9}, {9}}, {{}, {}}};
    for (auto r : rows) {
        Bytes b = r.first;
        b.push_back(0xAA);  // beyond len: untouched
        SwapByteOrder(b.data(), static_cast<unsigned int>(r.first.size()));
        Bytes expected = r.second;
        expected.push_back(0xAA);
        EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(b));
    }
    SwapByteOrder(nullptr, 4);
}

}  // namespace
