/* The press-button record: each kind's layout, and the bounds that keep a
 * PIN or data from running into the callback pointer at the record's end or
 * past the wait's buffers. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "SarnCore/PressButton.h"

static long Callback(unsigned int, void *, void *) { return 0; }

static void *Object() { return reinterpret_cast<void *>(0x1234567890ABCDEFull); }

static void ExpectCallbackKept(const PressButtonRecord &r)
{
    OperationCallback pfn = nullptr;
    memcpy(&pfn, r.pbBytes + 272, sizeof(pfn));
    EXPECT_EQ(&Callback, pfn);
}

TEST(PressButtonRecord, VerifyKindLayoutAndReadBack)
{
    PressButtonRecord r;
    memset(&r, 0xAA, sizeof(r));
    ASSERT_EQ(0u, PressButtonWritePin(&r, Object(), 1, "123456", 6, Callback));
    void *p = nullptr;
    memcpy(&p, r.pbBytes, 8);
    EXPECT_EQ(Object(), p);
    EXPECT_EQ(2, r.pbBytes[8]);
    EXPECT_EQ(1, r.pbBytes[9]);
    EXPECT_EQ(6, r.pbBytes[10]);
    EXPECT_EQ(0, memcmp(r.pbBytes + 11, "123456", 6));
    EXPECT_EQ(0, r.pbBytes[17]);  /* zero-filled */
    ExpectCallbackKept(r);

    PressButtonArgs a;
    ASSERT_EQ(0u, PressButtonRead(&r, &a));
    EXPECT_EQ(2, a.byKind);
    EXPECT_EQ(1, a.byParam);
    EXPECT_EQ(6, a.byPinLen);
    EXPECT_EQ(0, memcmp(a.pbPin, "123456", 6));
    EXPECT_EQ(&Callback, a.pfnCallback);
}

TEST(PressButtonRecord, ChangeKindLayout)
{
    PressButtonRecord r;
    ASSERT_EQ(0u, PressButtonWriteChangePin(&r, Object(), 1, "old", 3, "newpin", 6, Callback));
    EXPECT_EQ(3, r.pbBytes[8]);
    EXPECT_EQ(3, r.pbBytes[10]);
    EXPECT_EQ(0, memcmp(r.pbBytes + 11, "old", 3));
    EXPECT_EQ(6, r.pbBytes[14]);
    EXPECT_EQ(0, memcmp(r.pbBytes + 15, "newpin", 6));
    PressButtonArgs a;
    ASSERT_EQ(0u, PressButtonRead(&r, &a));
    EXPECT_EQ(3, a.byPinLen);
    EXPECT_EQ(6, a.byNewPinLen);
    EXPECT_EQ(0, memcmp(a.pbNewPin, "newpin", 6));
}

TEST(PressButtonRecord, SignAndResetKindsWithLengths)
{
    unsigned char data[256];
    for (int i = 0; i < 256; ++i) data[i] = (unsigned char)i;
    PressButtonRecord r;
    ASSERT_EQ(0u, PressButtonWriteSign(&r, Object(), data, 256, Callback));
    unsigned short us = 0;
    memcpy(&us, r.pbBytes + 9, 2);
    EXPECT_EQ(256, us);
    EXPECT_EQ(0, memcmp(r.pbBytes + 11, data, 256));
    ExpectCallbackKept(r);

    /* The signature written back after the wait. */
    unsigned char sig[64];
    memset(sig, 0x5A, sizeof(sig));
    ASSERT_EQ(0u, PressButtonWriteSignature(&r, sig, sizeof(sig)));
    unsigned char out[64];
    unsigned int len = 10;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, PressButtonReadSignature(&r, out, &len));
    EXPECT_EQ(64u, len);
    ASSERT_EQ(0u, PressButtonReadSignature(&r, out, &len));
    EXPECT_EQ(0, memcmp(out, sig, 64));
    ExpectCallbackKept(r);

    ASSERT_EQ(0u, PressButtonWriteReset(&r, Object(), 1, data, 100, Callback));
    EXPECT_EQ(5, r.pbBytes[8]);
    EXPECT_EQ(1, r.pbBytes[9]);
    uint32_t ul = 0;
    memcpy(&ul, r.pbBytes + 10, 4);
    EXPECT_EQ(100u, ul);
    EXPECT_EQ(0, memcmp(r.pbBytes + 14, data, 100));
    PressButtonArgs a;
    ASSERT_EQ(0u, PressButtonRead(&r, &a));
    EXPECT_EQ(100u, a.ulDataLen);
}

/* Writers refuse what the wait could not take; the record stays zeroed so
 * nothing reaches the callback pointer. */
struct OversizeCase {
    const char *name;
    unsigned int oldLen, newLen;
};

class PressButtonOversize : public ::testing::TestWithParam<OversizeCase> {};

TEST_P(PressButtonOversize, ChangePinIsRefusedAndTheRecordStaysZero)
{
    std::string oldPin(GetParam().oldLen, 'o'), newPin(GetParam().newLen, 'n');
    PressButtonRecord r;
    memset(&r, 0xAA, sizeof(r));
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonWriteChangePin(&r, Object(), 1, oldPin.c_str(), GetParam().oldLen,
                                                        newPin.c_str(), GetParam().newLen, Callback));
    PressButtonRecord zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(&zero, &r, sizeof(r)));
}

INSTANTIATE_TEST_SUITE_P(Lengths, PressButtonOversize,
                         ::testing::Values(OversizeCase{"old255", 255, 6}, OversizeCase{"old33", 33, 6},
                                           OversizeCase{"new33", 8, 33}, OversizeCase{"both255", 255, 255}),
                         [](const ::testing::TestParamInfo<OversizeCase> &i) { return std::string(i.param.name); });

TEST(PressButtonRecord, OtherWritersRefuseOversize)
{
    std::string pin(33, 'p');
    unsigned char data[300] = {0};
    PressButtonRecord r;
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonWritePin(&r, Object(), 1, pin.c_str(), 33, Callback));
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonWriteSign(&r, Object(), data, 257, Callback));
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonWriteReset(&r, Object(), 1, data, 257, Callback));
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonWriteSignature(&r, data, 257));
    EXPECT_EQ(0u, PressButtonWritePin(&r, Object(), 1, pin.c_str(), 32, Callback));
}

/* A record filled by somebody else is checked before anything is copied. */
TEST(PressButtonRecord, ReaderRefusesWhatTheBuffersCannotHold)
{
    PressButtonRecord r;
    PressButtonArgs a;
    ASSERT_EQ(0u, PressButtonWritePin(&r, Object(), 1, "1234", 4, Callback));
    r.pbBytes[10] = 200;
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonRead(&r, &a));

    ASSERT_EQ(0u, PressButtonWriteChangePin(&r, Object(), 1, "1234", 4, "5678", 4, Callback));
    r.pbBytes[15] = 33;
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonRead(&r, &a));

    ASSERT_EQ(0u, PressButtonWriteSign(&r, Object(), (const unsigned char *)"x", 1, Callback));
    unsigned short us = 261;
    memcpy(r.pbBytes + 9, &us, 2);
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonRead(&r, &a));

    ASSERT_EQ(0u, PressButtonWriteReset(&r, Object(), 1, (const unsigned char *)"x", 1, Callback));
    uint32_t ul = 0xFFFFFFFFu;
    memcpy(r.pbBytes + 10, &ul, 4);
    EXPECT_EQ(ERR_BAD_LENGTH, PressButtonRead(&r, &a));

    ASSERT_EQ(0u, PressButtonWritePin(&r, Object(), 1, "1234", 4, Callback));
    r.pbBytes[8] = 6;
    EXPECT_EQ(ERR_BAD_FLAG, PressButtonRead(&r, &a));
    memset(r.pbBytes, 0, 8);
    EXPECT_EQ(ERR_NULL_ARGUMENT, PressButtonRead(&r, &a));
    EXPECT_EQ(ERR_NULL_ARGUMENT, PressButtonRead(nullptr, &a));
}
