/* The product context and flash commands against the virtual token: the
 * product command objects, and a 2048-byte flash block read back through the
 * transport, whose answers carry at most 1007 bytes. */
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "SarnCore/APDUChipBrio.h"
#include "SarnCore/BrioContext.h"
#include "VTokenContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

static const unsigned int BUS = 5;

class BrioFlashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtoken::TokenOptions opts;
        opts.serial = "VTBRIOFLASH";
        opts.bus = BUS;
        opts.address = 1;
        daemon.CreateToken(opts);
        ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, DeviceNameOf(BUS, 1).c_str(), true));
    }
    void TearDown() override { ctx.Close(); }

    vtoken::Daemon daemon;
    CBrioContext ctx;
};

TEST_F(BrioFlashTest, ContextMakesTheProductCommandObjects)
{
    EXPECT_NE(nullptr, dynamic_cast<CAPDUChipBrio *>(ctx.GetAPDUChip()));
    EXPECT_NE(nullptr, dynamic_cast<CAPDUPinBrio *>(ctx.GetAPDUPin()));
    EXPECT_NE(nullptr, ctx.GetAPDUContainer());
    EXPECT_NE(nullptr, ctx.GetAPDUCrypto());
    EXPECT_NE(nullptr, ctx.GetAPDUFile());
    EXPECT_NE(nullptr, ctx.GetAPDUKey());
    CDeviceInfo *pInfo = ctx.GetDeviceHandle();
    /* Initialising again keeps the record and its open handle. */
    ASSERT_EQ(0u, ctx.Initialize());
    EXPECT_EQ(pInfo, ctx.GetDeviceHandle());
    EXPECT_NE(nullptr, dynamic_cast<CAPDUChipBrio *>(ctx.GetAPDUChip()));
    unsigned char sn[16];
    unsigned int snLen = sizeof(sn);
    EXPECT_EQ(0u, ctx.GetAPDUChip()->GetTokenSN(sn, &snLen));
}

/* Block index i is written at i * 256 and read at i * 1024: a read of
 * written data comes back whole, across three answers of the token. */
TEST_F(BrioFlashTest, ReadsBackWhatWasWrittenAtTheSameIndex)
{
    CAPDUChip *pChip = ctx.GetAPDUChip();
    std::vector<unsigned char> data(BRIO_FLASH_READ_BLOCK + 256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (unsigned char)(i * 7 + i / 256);
    const unsigned int first = 3;
    for (unsigned int b = 0; b < data.size() / 256; ++b)
        ASSERT_EQ(0u, pChip->WriteFlash((first + b) * 256, &data[b * 256])) << b;

    for (unsigned int index : {first, first + 1}) {
        unsigned char out[BRIO_FLASH_READ_BLOCK];
        memset(out, 0xEE, sizeof(out));
        ASSERT_EQ(0u, pChip->ReadFlash(index * 1024, out));
        EXPECT_EQ(0, memcmp(out, &data[(index - first) * 256], BRIO_FLASH_READ_BLOCK)) << index;
    }
}

/* A block that reaches past the end of the area fails and leaves the
 * caller's buffer as it was: no byte that was not read is handed out. */
TEST_F(BrioFlashTest, BlockPastTheEndFailsAndWritesNothing)
{
    unsigned char out[BRIO_FLASH_READ_BLOCK];
    memset(out, 0xEE, sizeof(out));
    const unsigned int lastIndex = 64 * 1024 / 256 - 1;
    EXPECT_EQ(0x80006B00u, ctx.GetAPDUChip()->ReadFlash(lastIndex * 1024, out));
    for (unsigned char c : out) ASSERT_EQ(0xEE, c);
    EXPECT_EQ(ERR_NULL_ARGUMENT, ctx.GetAPDUChip()->ReadFlash(0, nullptr));
    /* The next command works. */
    ASSERT_EQ(0u, ctx.GetAPDUChip()->ReadFlash(0, out));
    for (unsigned char c : out) ASSERT_EQ(0xFF, c);  /* erased */
}
