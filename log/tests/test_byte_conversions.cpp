#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "log/TraceFuncScope.h"

namespace {

struct HexCase {
    const char *text;
    int max;
    std::vector<unsigned char> bytes;
};

std::ostream &operator<<(std::ostream &os, const HexCase &c) { return os << '"' << c.text << "\" max " << c.max; }

class HexStringArray : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexStringArray, ParsesPairsUpToMax)
{
    const HexCase &c = GetParam();
    unsigned char out[16] = {};
    int n = HexString_Array(c.text, out, c.max);
    ASSERT_EQ(n, static_cast<int>(c.bytes.size()));
    EXPECT_EQ(c.bytes, std::vector<unsigned char>(out, out + n));
}

INSTANTIATE_TEST_SUITE_P(Cases, HexStringArray,
                         ::testing::Values(HexCase{"0a1B", 8, {0x0A, 0x1B}},
                                           HexCase{"0a1", 8, {0x0A}},
                                           HexCase{"0x12", 8, {}},
                                           HexCase{"0a1B", 1, {0x0A}},
                                           HexCase{"", 8, {}},
                                           HexCase{"a", 8, {}},
                                           HexCase{"0a1B", 0, {}},
                                           HexCase{"FFff00", 8, {0xFF, 0xFF, 0x00}}));

TEST(HexStringArray, NullArgumentsGiveZero)
{
    unsigned char out[4];
    EXPECT_EQ(0, HexString_Array(nullptr, out, 4));
    EXPECT_EQ(0, HexString_Array("0a", nullptr, 4));
}

TEST(ArrayHexString, WritesUpperCaseText)
{
    const unsigned char in[] = {0x00, 0xAB, 0x9F};
    char out[8];
    EXPECT_EQ(6, Array_HexString(in, 3, out));
    EXPECT_STREQ("00AB9F", out);
    EXPECT_EQ(0, Array_HexString(in, 0, out));
    EXPECT_STREQ("", out);
}

TEST(ArrayHexString, RefusesNegativeAndOverflowingLengths)
{
    const unsigned char in[] = {0x01};
    char out[4] = {'x', 'x', 'x', 0};
    EXPECT_EQ(0, Array_HexString(in, -1, out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, Array_HexString(in, 0x40000000, out));
    EXPECT_EQ(0, Array_HexString(nullptr, 1, out));
}

TEST(ByteReverseA, ReversesInPlace)
{
    unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(three, ByteReverseA(three, 3));
    EXPECT_EQ(3, three[0]);
    EXPECT_EQ(2, three[1]);
    EXPECT_EQ(1, three[2]);
    unsigned char one[] = {7};
    ByteReverseA(one, 1);
    EXPECT_EQ(7, one[0]);
    ByteReverseA(one, -5);
    EXPECT_EQ(7, one[0]);
    EXPECT_EQ(nullptr, ByteReverseA(nullptr, 4));
}

struct BigEndianCase {
    unsigned long width;
    int value;
    std::vector<unsigned char> bytes;
};

std::ostream &operator<<(std::ostream &os, const BigEndianCase &c) { return os << "width " << c.width << " value " << c.value; }

class BigEndian : public ::testing::TestWithParam<BigEndianCase> {};

TEST_P(BigEndian, WritesLowBytesMostSignificantFirst)
{
    const BigEndianCase &c = GetParam();
    unsigned char out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    Interger_Array_BigEndian_A(out, c.width, c.value);
    for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(c.bytes[i], out[i]) << i;
    for (size_t i = c.bytes.size(); i < 6; ++i) EXPECT_EQ(0xEE, out[i]) << "written past width";
}

INSTANTIATE_TEST_SUITE_P(Cases, BigEndian,
                         ::testing::Values(BigEndianCase{2, 0x1234, {0x12, 0x34}},
                                           BigEndianCase{4, 0x1234, {0x00, 0x00, 0x12, 0x34}},
                                           BigEndianCase{1, 0x1FF, {0xFF}},
                                           BigEndianCase{3, -1, {0xFF, 0xFF, 0xFF}},
                                           BigEndianCase{5, 0x1234, {}},
                                           BigEndianCase{0, 0x1234, {}}));

TEST(GetTickCount, IsMonotonicMilliseconds)
{
    unsigned int a = GetTickCount();
    unsigned int b = GetTickCount();
    EXPECT_LE(b - a, 1000u);
}

}  // namespace
