#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "SarnComm/BulkOnly.h"

static const uint32_t kTag = 0x11223344;

TEST(BulkOnlyWrapper, WriteWrapperAnnouncesFrameLength)
{
    unsigned char pb[BOT_CBW_LEN];
    BuildWriteCBW(kTag, 0x01020304, pb);
    const unsigned char expected[BOT_CBW_LEN] = {
        'U', 'S', 'B', 'C', 0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 10,
        0xFF, 0xF0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, pb, BOT_CBW_LEN));
}

TEST(BulkOnlyWrapper, ReadWrapperAsksForTheWholeArea)
{
    unsigned char pb[BOT_CBW_LEN];
    BuildReadCBW(kTag, pb);
    const unsigned char expected[BOT_CBW_LEN] = {
        'U', 'S', 'B', 'C', 0x44, 0x33, 0x22, 0x11, 0x00, 0x04, 0x00, 0x00, 0x80, 0x00, 10,
        0xFF, 0xF1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, pb, BOT_CBW_LEN));
}

static std::vector<unsigned char> Csw(uint32_t ulTag, unsigned char byStatus)
{
    std::vector<unsigned char> v = {'U', 'S', 'B', 'S', (unsigned char)ulTag, (unsigned char)(ulTag >> 8),
                                    (unsigned char)(ulTag >> 16), (unsigned char)(ulTag >> 24), 0, 0, 0, 0,
                                    byStatus};
    return v;
}

struct CswCase {
    const char *name;
    std::vector<unsigned char> data;
    EnumCSWMatch match;
};

class MatchCswTest : public ::testing::TestWithParam<CswCase> {};

TEST_P(MatchCswTest, FindsOnlyOurWrapperAtTheEnd)
{
    const CswCase &c = GetParam();
    EXPECT_EQ(c.match, MatchCSW(c.data.data(), (unsigned int)c.data.size(), kTag));
}

static std::vector<unsigned char> Cat(std::vector<unsigned char> a, const std::vector<unsigned char> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchCswTest,
    ::testing::Values(CswCase{"bare", Csw(kTag, 0), CSW_OURS},
                      CswCase{"after_answer", Cat({0x90, 0x00, 0x00, 0x02, 0xAA, 0xBB}, Csw(kTag, 1)), CSW_OURS},
                      CswCase{"other_tag", Cat({0x90, 0x00}, Csw(0x11223345, 0)), CSW_OTHER_TAG},
                      CswCase{"too_short", std::vector<unsigned char>{'U', 'S', 'B', 'S', 0x44, 0x33, 0x22, 0x11,
                                                                      0, 0, 0, 0},
                              CSW_NONE},
                      CswCase{"signature_inside", Cat(Csw(kTag, 0), {0x01}), CSW_NONE},
                      CswCase{"no_signature", std::vector<unsigned char>(13, 0x55), CSW_NONE}),
    [](const ::testing::TestParamInfo<CswCase> &i) { return std::string(i.param.name); });

TEST(BulkOnlyWrapper, StatusIsTheLastByte)
{
    std::vector<unsigned char> v = Cat({1, 2, 3}, Csw(kTag, 2));
    EXPECT_EQ(2, CSWStatus(v.data(), (unsigned int)v.size()));
}
