/* The container object against a scripted token whose answers are out of
 * shape: public keys whose bit length does not fit a 64-byte field, answers
 * that end before their fields, a session key longer than a session key.
 * Each is refused, and the caller's records (canary-filled) stay as they
 * were. */
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "SarnCore/APDUContainer.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/tests/FakeToken.h"
#include "skf/ContainerObject.h"
#include "skf/SymKeyObject.h"

namespace {

const unsigned char CANARY = 0xC5;

void PutBE32(Bytes &v, unsigned int x)
{
    for (int i = 3; i >= 0; --i) v.push_back((unsigned char)(x >> (8 * i)));
}

/* Bit length, then X and Y of len bytes each (0x11, 0x22 patterns). */
Bytes Point(unsigned int bits, unsigned int len)
{
    Bytes v;
    PutBE32(v, bits);
    v.insert(v.end(), len, 0x11);
    v.insert(v.end(), len, 0x22);
    return v;
}

/* The first n bytes. */
Bytes Cut(Bytes v, size_t n)
{
    v.resize(n);
    return v;
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* A connection whose key and container commands go to the scripted token,
 * with container "c" (SM2 exchange and signature keys at 0x2F00) opened. */
class ContainerAnswerTest : public ::testing::Test {
protected:
    ContainerAnswerTest() : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        ctx.m_pApduContainer = new CFakeLink<CAPDUContainer>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduKey = new CFakeLink<CAPDUKey>(ctx.m_pDevieHandle, &token);
        container.reset(new CContainerObject(&ctx));
        token.Answer(0x9000, {2, 0, 0x2F, 0x00, 17, 0, 17, 0});
        _QV_CONTAINER_INFO info = {};
        strcpy(info.szName, "c");
        EXPECT_EQ(0u, container->ReadContainer(&info, false));
        container->SetContainerName((char *)"c");
        memset(blob, CANARY, sizeof(blob));
        memset(&peer, 0, sizeof(peer));
        peer.BitLen = 256;
        memset(peer.XCoordinate + 32, 0x33, 32);
        memset(peer.YCoordinate + 32, 0x44, 32);
    }

    bool Untouched() const
    {
        for (unsigned char b : blob)
            if (b != CANARY) return false;
        return true;
    }

    CDeviceContext ctx;
    FakeToken token;
    std::unique_ptr<CContainerObject> container;
    unsigned char blob[sizeof(ECCCIPHERBLOB) + 64];  /* the caller's output record */
    ECCPUBLICKEYBLOB peer;
    unsigned char id[16] = {'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8'};
};

struct AnswerCase {
    const char *pszName;
    Bytes answer;
};

TEST_F(ContainerAnswerTest, OutOfShapeAnswersAreRefusedAndLeaveTheRecords)
{
    const Bytes hash(32, 0x55);
    const std::pair<const char *, std::function<unsigned int(void **)>> calls[] = {
        {"ExportSessionKey",
         [&](void **h) { return container->ECCExportSessionKey(SGD_SMS4_ECB, &peer, (ECCCIPHERBLOB *)blob, h); }},
        {"AgreementData",
         [&](void **h) {
             return container->GenerateAgreementDataWithECC(SGD_SMS4_ECB, (ECCPUBLICKEYBLOB *)blob, id, 16, h);
         }},
        {"AgreementDataAndKey",
         [&](void **h) {
             return container->GenerateAgreementDataAndKeyWithECC(SGD_SMS4_ECB, &peer, &peer,
                                                                  (ECCPUBLICKEYBLOB *)blob, id, 16, id, 8, h);
         }},
    };
    /* Per call: answers that fit the command's capacity but not the fields. */
    const std::vector<AnswerCase> answers[] = {
        {
            {"cipher longer than a session key",
             Concat(Concat(Point(256, 32), hash), Concat({0, 0, 0, 18}, Bytes(18, 7)))},
            {"cipher shorter than its length", Concat(Concat(Point(256, 32), hash), {0, 0, 0, 16, 1, 2, 3})},
            {"no cipher length", Concat(Point(256, 32), hash)},
            {"bit length 1024", Point(1024, 32)},
            {"bit length 0", Point(0, 32)},
        },
        {
            {"bit length 520", Concat(Point(520, 32), {0, 0, 0, 1})},
            {"bit length 257", Concat(Point(257, 32), {0, 0, 0, 1})},
            {"no agreement parameter", Point(256, 32)},
            {"X and Y cut short", Cut(Point(256, 32), 40)},
            {"nothing", {}},
        },
        {
            {"bit length 0x80000000", Point(0x80000000u, 32)},
            {"X and Y cut short", Cut(Point(256, 32), 67)},
            {"nothing", {}},
        },
    };
    for (size_t i = 0; i < 3; ++i) {
        for (const AnswerCase &a : answers[i]) {
            token.Answer(0x9000, a.answer);
            void *h = nullptr;
            EXPECT_EQ(SAR_INDATALENERR, calls[i].second(&h)) << calls[i].first << ": " << a.pszName;
            EXPECT_EQ(nullptr, h) << calls[i].first << ": " << a.pszName;
            EXPECT_TRUE(Untouched()) << calls[i].first << ": " << a.pszName;
        }
    }
}

TEST_F(ContainerAnswerTest, AgreementDataFillsTheWholeRecordAndAsksWithTheExchangeKey)
{
    token.Answer(0x9000, Concat(Point(256, 32), {0x12, 0x34, 0x56, 0x78}));
    void *h = nullptr;
    ASSERT_EQ(0u, container->GenerateAgreementDataWithECC(SGD_SMS4_CBC, (ECCPUBLICKEYBLOB *)blob, id, 16, &h));
    std::unique_ptr<CKeyObject> agreement(static_cast<CKeyObject *>(h));
    ASSERT_NE(nullptr, agreement);
    const ECCPUBLICKEYBLOB *pTemp = (const ECCPUBLICKEYBLOB *)blob;
    const ULONG ulBits = pTemp->BitLen;  /* by value: the packed field may sit at an odd address */
    EXPECT_EQ(256u, ulBits);
    for (unsigned int j = 0; j < 64; ++j) {
        EXPECT_EQ(j < 32 ? 0 : 0x11, pTemp->XCoordinate[j]) << j;
        EXPECT_EQ(j < 32 ? 0 : 0x22, pTemp->YCoordinate[j]) << j;
    }
    /* What the token was asked: application 0, the exchange key 0x2F01, SM4-CBC, the ID. */
    Bytes body = {0, 0, 0x2F, 0x01, 0x13, 0x02, 0, 0, 0, 16};
    body.insert(body.end(), id, id + 16);
    ExpectSent(token.seen.back(), 0xB0, 0x82, 0, 0, 72, body);
}

TEST_F(ContainerAnswerTest, ResponderSendsEachIdWithItsOwnLength)
{
    token.Answer(0x9000, Point(1024, 32));  /* refused after the command was seen */
    void *h = nullptr;
    unsigned char sponsorId[5] = {'A', 'l', 'i', 'c', 'e'};
    EXPECT_EQ(SAR_INDATALENERR, container->GenerateAgreementDataAndKeyWithECC(
                                    SGD_SM1_ECB, &peer, &peer, (ECCPUBLICKEYBLOB *)blob, id, 16, sponsorId, 5, &h));
    Bytes key = Point(256, 0);
    key.insert(key.end(), peer.XCoordinate + 32, peer.XCoordinate + 64);
    key.insert(key.end(), peer.YCoordinate + 32, peer.YCoordinate + 64);
    Bytes body = {0, 0, 0x2F, 0x01, 0x10, 0x01};
    body = Concat(Concat(body, key), key);
    body = Concat(body, {0, 0, 0, 5, 'A', 'l', 'i', 'c', 'e', 0, 0, 0, 16});
    body.insert(body.end(), id, id + 16);
    ExpectSent(token.seen.back(), 0xB0, 0x84, 0, 0, 72, body);
}

}  // namespace
