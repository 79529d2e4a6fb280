/* The device operator end to end against the virtual token: initialisation
 * and external authentication, the device manager, PIN operations, device
 * information, label, serial numbers and the flash area. */
#include "OperatorVToken.h"

#include "SarnCore/BrioContext.h"
#include "SarnCore/DeviceManager.h"

/* ---- initialisation ---- */

struct InitCase {
    const char *name;
    unsigned int alg;
    unsigned int address;
};

class InitializeTest : public OperatorVTokenTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitializeTest, SetsTheRecordAndAuthenticatesWithTheDerivedKey)
{
    CDeviceOperator *pOp = Open(AddToken(GetParam().address, GetParam().alg));
    CDeviceInfo *pInfo = pOp->GetDeviceContext()->GetDeviceHandle();
    EXPECT_EQ(GetParam().alg, pInfo->m_byAlgID);
    EXPECT_EQ(GetParam().alg == 0x13 ? (const void *)&g_stProdSM2PubKey : (const void *)&g_stProdRsaPubKey,
              pInfo->m_pRootKey);
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, pOp->GetDeviceInfo(&stInfo));
    EXPECT_EQ(stInfo.usKeyID, pInfo->m_usKeyID);
    EXPECT_EQ(GetParam().alg, (stInfo.ulDevAuthAlgId >> 8) & 0xFF);

    unsigned char chipSN[16];
    unsigned int snLen = sizeof(chipSN);
    ASSERT_EQ(0u, pOp->GetChipSN(chipSN, &snLen));
    Bytes expected = ExpectedExternAuthKey(GetParam().alg, Bytes(chipSN, chipSN + snLen));
    EXPECT_EQ(0, memcmp(expected.data(), pInfo->m_pbAuthKey, 16));

    /* The session key is wrapped under that key: secure commands work. */
    unsigned char left = 0, max = 0, def = 0;
    ASSERT_EQ(0u, pOp->GetPINStatus(1, &left, nullptr, &def, &max));
    EXPECT_EQ(10, left);
    EXPECT_EQ(10, max);
    EXPECT_NE(0, def);
    EXPECT_EQ(2, pInfo->m_bySecurityMode);
}

INSTANTIATE_TEST_SUITE_P(Tokens, InitializeTest,
                         ::testing::Values(InitCase{"SM2_SM4", 0x13, 1}, InitCase{"RSA_3DES", 3, 2}),
                         [](const ::testing::TestParamInfo<InitCase> &i) { return std::string(i.param.name); });

TEST_F(OperatorVTokenTest, FlagOneSkipsTheExternalAuthentication)
{
    CDeviceOperator *pOp = Open(AddToken(3), OPERATOR_INIT_NO_EXTERNAL_AUTH);
    CDeviceInfo *pInfo = pOp->GetDeviceContext()->GetDeviceHandle();
    unsigned char zero[16] = {0};
    EXPECT_EQ(0, memcmp(zero, pInfo->m_pbAuthKey, 16));
    EXPECT_EQ(0x13, pInfo->m_byAlgID);
    EXPECT_EQ((const void *)&g_stProdSM2PubKey, pInfo->m_pRootKey);
}

/* An operator whose derived key the token does not know. */
class ForeignKeyOperator : public CDeviceOperator {
public:
    using CDeviceOperator::CDeviceOperator;
    unsigned int ComputeExternAuthKey(unsigned char *pbyChipSN, unsigned int nSNLen,
                                      unsigned char *pbyExternAuthKey) override
    {
        unsigned int r = CDeviceOperator::ComputeExternAuthKey(pbyChipSN, nSNLen, pbyExternAuthKey);
        pbyExternAuthKey[0] ^= 0x5A;
        return r;
    }
};

TEST_F(OperatorVTokenTest, RefusedExternalAuthenticationFailsAndKeepsTheEarlierKey)
{
    std::string name = AddToken(4);
    CDeviceContext *pCtx = new CDeviceContext();
    ASSERT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ForeignKeyOperator *pForeign = new ForeignKeyOperator(pCtx);
    m_vOperators.push_back(pForeign);
    EXPECT_EQ(0x80006300u, pForeign->Initialize(0));
    unsigned char zero[16] = {0};
    EXPECT_EQ(0, memcmp(zero, pCtx->GetDeviceHandle()->m_pbAuthKey, 16));
    /* The connection stays open and usable, the mutex released. */
    _QV_DEV_INFO stInfo;
    EXPECT_EQ(0u, pForeign->GetDeviceInfo(&stInfo));
    EXPECT_EQ(0u, pCtx->WaitDevMutex());
    EXPECT_EQ(0u, pCtx->ReleaseDevMutex());

    /* A good key, then a wrong one given by the caller: the good one stays. */
    CDeviceOperator *pOp = Open(name);
    unsigned char good[16];
    memcpy(good, pOp->GetDeviceContext()->GetDeviceHandle()->m_pbAuthKey, 16);
    unsigned char wrong[16];
    memcpy(wrong, good, 16);
    wrong[15] ^= 1;
    EXPECT_EQ(0x80006300u, pOp->ExternalAuth(wrong));
    EXPECT_EQ(0, memcmp(good, pOp->GetDeviceContext()->GetDeviceHandle()->m_pbAuthKey, 16));
    EXPECT_EQ(0u, pOp->ExternalAuth(good));
}

TEST_F(OperatorVTokenTest, UnsupportedOperationsAndFinalizeWithoutContext)
{
    CDeviceOperator op(nullptr);
    EXPECT_EQ(ERR_UNSUPPORTED, op.EraseMF());
    EXPECT_EQ(ERR_UNSUPPORTED, op.EraseCOS());
    EXPECT_EQ(ERR_UNSUPPORTED, op.InitTokenFile());
    EXPECT_EQ(ERR_UNSUPPORTED, op.InitTokenApp());
    EXPECT_EQ(ERR_NULL_ARGUMENT, op.Finalize());
    unsigned char key[16];
    EXPECT_EQ(ERR_NULL_ARGUMENT, op.ComputeExternAuthKey(nullptr, 4, key));
}

/* ---- the device manager ---- */

TEST_F(OperatorVTokenTest, ManagerEnumeratesAndClosesCleanly)
{
    CDeviceManager manager;
    unsigned int size = 99;
    EXPECT_EQ(0u, manager.EnumDevice(DRIVER_TYPE_USB_BULK, 0xF00D, nullptr, &size));
    EXPECT_EQ(0u, size);

    std::string name = AddToken(5);
    char list[128] = {0};
    size = sizeof(list);
    ASSERT_EQ(0u, manager.EnumDevice(DRIVER_TYPE_USB_BULK, 0xF00D, list, &size));
    EXPECT_EQ(name.size() + 2, size);
    EXPECT_EQ(name, std::string(list));

    CDeviceOperator *pUntouched = (CDeviceOperator *)0x1;
    EXPECT_EQ(ERR_UNSUPPORTED, manager.OpenDevice(DRIVER_TYPE_USB_BULK, (char *)name.c_str(), 0, &pUntouched));
    EXPECT_EQ((CDeviceOperator *)0x1, pUntouched);

    CDeviceContext *pCtx = new CDeviceContext();
    ASSERT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    CDeviceOperator *pOp = new CDeviceOperator(pCtx);
    ASSERT_EQ(0u, pOp->Initialize(0));
    EXPECT_EQ(0u, manager.CloseDevice(pOp));
    EXPECT_EQ(nullptr, pOp);

    CDeviceOperator *pNull = nullptr;
    EXPECT_EQ(ERR_NULL_ARGUMENT, manager.CloseDevice(pNull));
    /* Finalize fails without a context: the operator is kept. */
    CDeviceOperator *pOrphan = new CDeviceOperator(nullptr);
    CDeviceOperator *pKept = pOrphan;
    EXPECT_EQ(ERR_NULL_ARGUMENT, manager.CloseDevice(pOrphan));
    EXPECT_EQ(pKept, pOrphan);
    delete pOrphan;
}

/* ---- PIN operations ---- */

TEST_F(OperatorVTokenTest, VerifyCountsRetriesClearsTheCodeAndLocks)
{
    vtoken::TokenOptions opts;
    opts.serial = Serial(6);
    opts.bus = OPERATOR_TEST_BUS;
    opts.address = 6;
    opts.userRetries = 3;
    daemon.CreateToken(opts);
    CDeviceOperator *pOp = Open(DeviceNameOf(OPERATOR_TEST_BUS, 6));
    CDeviceInfo *pInfo = pOp->GetDeviceContext()->GetDeviceHandle();

    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)"12345678", 8));
    EXPECT_EQ(16u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ(0x800063C2u, pOp->VerifyPIN(1, (char *)"00000000", 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    unsigned char left = 0, max = 0;
    ASSERT_EQ(0u, pOp->GetPINStatus(1, &left, nullptr, nullptr, &max));
    EXPECT_EQ(2, left);
    EXPECT_EQ(3, max);
    EXPECT_EQ(0u, pOp->GetPINStatus(1, nullptr, nullptr, nullptr, nullptr));

    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)"12345678", 8));
    ASSERT_EQ(0u, pOp->GetPINStatus(1, &left, nullptr, nullptr, nullptr));
    EXPECT_EQ(3, left);

    EXPECT_EQ(0x800063C2u, pOp->VerifyPIN(1, (char *)"1", 1));
    EXPECT_EQ(0x800063C1u, pOp->VerifyPIN(1, (char *)"1", 1));
    EXPECT_EQ(0x800063C0u, pOp->VerifyPIN(1, (char *)"1", 1));
    EXPECT_EQ(0x80006983u, pOp->VerifyPIN(1, (char *)"12345678", 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ(0u, daemon.UserRetriesLeft(Serial(6)));

    /* The administrator PIN unlocks it: tries back, the PIN unchanged. */
    unsigned int len = 8;
    EXPECT_EQ(0u, pOp->UnlockPIN(1, (unsigned char *)"12345678", len));
    EXPECT_EQ(3u, daemon.UserRetriesLeft(Serial(6)));
    EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)"12345678", 8));

    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->VerifyPIN(1, nullptr, 8));
}

/* The status read travels under the secure channel and stands for its
 * check: one exchange while the token takes the channel.  A connection
 * without a channel, or one whose channel another connection replaced,
 * sets a new one up (export, session key) and reads once more; as every
 * road that finds the channel gone, it marks the token's key slot as
 * nobody's (the token may have lost its volatile state with the channel). */
TEST_F(OperatorVTokenTest, PinStatusReadStandsForTheChannelCheck)
{
    std::string name = AddToken(13);
    CDeviceOperator *pA = Open(name);
    CDeviceOperator *pB = Open(name);
    CDeviceContext *pCtx = pA->GetDeviceContext();
    struct Step {
        const char *what;
        CDeviceOperator *pOp;
        unsigned long exchanges;
        bool bSlotNobodys;
    } steps[] = {
        {"A sets its channel up", pA, 3, true},
        {"A's channel works", pA, 1, false},
        {"B sets its channel up, replacing A's", pB, 3, true},
        {"A's channel was replaced", pA, 4, true},
        {"A's new channel works", pA, 1, false},
    };
    for (const Step &st : steps) {
        /* Both connections of this process share the owner word. */
        ASSERT_EQ(0u, pCtx->WaitDevMutex());
        pCtx->ClaimKeySlot(true);
        unsigned long ulBefore = daemon.Exchanges(Serial(13));
        unsigned char left = 0;
        EXPECT_EQ(0u, st.pOp->GetPINStatus(1, &left, nullptr, nullptr, nullptr)) << st.what;
        EXPECT_EQ(10, left) << st.what;
        EXPECT_EQ(st.exchanges, daemon.Exchanges(Serial(13)) - ulBefore) << st.what;
        EXPECT_EQ(st.bSlotNobodys, CDeviceContext::SlotIsNobodys(pCtx->KeySlotOwner())) << st.what;
        ASSERT_EQ(0u, pCtx->ReleaseDevMutex());
    }
}

TEST_F(OperatorVTokenTest, ChangeLeavesNoAuthorisationAndTheNewPinHolds)
{
    CDeviceOperator *pOp = OpenVerified(7);
    CDeviceInfo *pInfo = pOp->GetDeviceContext()->GetDeviceHandle();
    ASSERT_EQ(16u, pInfo->m_ulAuthCodeLen);
    ASSERT_EQ(0u, pOp->ChangePIN(1, (char *)"12345678", 8, (char *)"87654321", 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    unsigned char def = 1;
    ASSERT_EQ(0u, pOp->GetPINStatus(1, nullptr, nullptr, &def, nullptr));
    EXPECT_EQ(0, def);
    EXPECT_EQ(0x800063C9u, pOp->VerifyPIN(1, (char *)"12345678", 8));
    EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)"87654321", 8));
    /* A refused change also clears the authorisation. */
    EXPECT_EQ(0x800063C9u, pOp->ChangePIN(1, (char *)"wrongpin", 8, (char *)"11112222", 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);

    /* The administrator PIN resets the user PIN to the one of the factory. */
    unsigned int len = 8;
    EXPECT_EQ(0u, pOp->InitTokenUser(1, (unsigned char *)"12345678", len));
    EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)"12345678", 8));
    EXPECT_EQ(0u, pOp->ClearAuthCode());
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ(0u, pOp->ClearAuthCode());
}

TEST_F(OperatorVTokenTest, UnlockByAnIssuerAnswerToTheFetchedChallenge)
{
    CDeviceOperator *pOp = Open(AddToken(12));
    unsigned char buf[40];
    unsigned int len = 20;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->UnlockPIN(2, buf, len));
    EXPECT_EQ(Serial(12).size() + 16, len);
    len = sizeof(buf);
    ASSERT_EQ(0u, pOp->UnlockPIN(2, buf, len));
    ASSERT_EQ(Serial(12).size() + 16, len);
    EXPECT_EQ(Serial(12), std::string((char *)buf, Serial(12).size()));

    unsigned char chipSN[16];
    unsigned int snLen = sizeof(chipSN);
    ASSERT_EQ(0u, pOp->GetChipSN(chipSN, &snLen));
    Bytes key = ExpectedExternAuthKey(0x13, Bytes(chipSN, chipSN + snLen));
    Bytes answer = EvpEncryptCbc(0x13, key.data(), Bytes(buf + len - 16, buf + len));
    unsigned int answerLen = (unsigned int)answer.size();
    EXPECT_EQ(0u, pOp->UnlockPIN(3, answer.data(), answerLen));
    EXPECT_EQ(0x80006985u, pOp->UnlockPIN(3, answer.data(), answerLen));  // the challenge is used up

    EXPECT_EQ(ERR_BAD_FLAG, pOp->UnlockPIN(4, buf, len));
    EXPECT_EQ(ERR_BAD_FLAG, pOp->InitTokenUser(0, buf, len));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->UnlockPIN(1, nullptr, len));
}

/* ---- device information, label, serial numbers ---- */

TEST_F(OperatorVTokenTest, DeviceInformationLabelAndSerialNumbers)
{
    CDeviceOperator *pOp = Open(AddToken(9));
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, pOp->GetDeviceInfo(&stInfo));
    EXPECT_EQ(std::string("Brio Virtual Token"), std::string(stInfo.szLabel));
    EXPECT_EQ(Serial(9), std::string(stInfo.szSerialNumber));
    EXPECT_EQ(65536u, stInfo.ulTotalSpace);
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->GetDeviceInfo(nullptr));

    char label[40];
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->SetTokenLabel((char *)"123456789012345678901234567890123", 33));
    ASSERT_EQ(0u, pOp->SetTokenLabel((char *)"Hello", 5));
    unsigned int size = 0;
    EXPECT_EQ(0u, pOp->GetTokenLabel(nullptr, &size));
    EXPECT_EQ(5u, size);
    size = 4;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->GetTokenLabel(label, &size));
    EXPECT_EQ(5u, size);
    size = sizeof(label);
    ASSERT_EQ(0u, pOp->GetTokenLabel(label, &size));
    EXPECT_EQ(std::string("Hello"), std::string(label, size));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->GetTokenLabel(label, nullptr));

    char sn[20];
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->SetTokenSN((char *)"12345678901234567", 17));
    ASSERT_EQ(0u, pOp->SetTokenSN((char *)"SN-0000000000016", 16));
    size = 0;
    EXPECT_EQ(0u, pOp->GetTokenSN(nullptr, &size));
    EXPECT_EQ(16u, size);
    size = sizeof(sn);
    ASSERT_EQ(0u, pOp->GetTokenSN(sn, &size));
    EXPECT_EQ(std::string("SN-0000000000016"), std::string(sn, size));

    unsigned char chip[16];
    size = 2;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->GetChipSN(chip, &size));
    EXPECT_GT(size, 2u);
    EXPECT_LE(size, 16u);
}

/* ---- the flash area ---- */

static Bytes Pattern(unsigned int n, unsigned char seed)
{
    Bytes v(n);
    for (unsigned int i = 0; i < n; ++i) v[i] = (unsigned char)(seed + i * 7);
    return v;
}

TEST_F(OperatorVTokenTest, FlashWrittenAtAnIndexReadsBackThere)
{
    CDeviceOperator *pOp = Open(AddToken(10));
    Bytes data = Pattern(300, 1);
    ASSERT_EQ(0u, pOp->WriteFlash(2, data.data(), (unsigned int)data.size()));
    Bytes other = Pattern(256, 9);
    ASSERT_EQ(0u, pOp->WriteFlash(5, other.data(), (unsigned int)other.size()));

    /* Index 2: the 300 bytes, then the 212 bytes of 0xFF that filled the block. */
    Bytes back(512, 0);
    ASSERT_EQ(0u, pOp->ReadFlash(2, back.data(), (unsigned int)back.size()));
    EXPECT_EQ(data, Bytes(back.begin(), back.begin() + 300));
    EXPECT_EQ(Bytes(212, 0xFF), Bytes(back.begin() + 300, back.end()));
    Bytes one(100, 0);
    ASSERT_EQ(0u, pOp->ReadFlash(5, one.data(), (unsigned int)one.size()));
    EXPECT_EQ(Bytes(other.begin(), other.begin() + 100), one);

    EXPECT_EQ(0u, pOp->WriteFlash(7, data.data(), 0));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->WriteFlash(7, nullptr, 5));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->ReadFlash(7, nullptr, 5));

    ASSERT_EQ(0u, pOp->EraseFlash());
    ASSERT_EQ(0u, pOp->ReadFlash(2, back.data(), 256));
    EXPECT_EQ(Bytes(256, 0xFF), Bytes(back.begin(), back.begin() + 256));
    /* Past the end of the area: a failure, not bytes that were never read. */
    EXPECT_NE(0u, pOp->ReadFlash(255, back.data(), 512));
}

/* The product's read unit over the product's chip commands: blocks of 2048
 * bytes, each read through the transport in several answers. */
class ProductUnitOperator : public CDeviceOperator {
public:
    explicit ProductUnitOperator(CDeviceContext *pCtx) : CDeviceOperator(pCtx) { m_ulFlashReadUnit = 2048; }
};

TEST_F(OperatorVTokenTest, FlashOfTheProductUnitReadsBackThroughTheTransport)
{
    std::string name = AddToken(11);
    CBrioContext *pCtx = new CBrioContext();
    ASSERT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ProductUnitOperator *pOp = new ProductUnitOperator(pCtx);
    m_vOperators.push_back(pOp);
    ASSERT_EQ(0u, pOp->Initialize(0));
    Bytes data = Pattern(5000, 3);
    ASSERT_EQ(0u, pOp->WriteFlash(4, data.data(), (unsigned int)data.size()));
    Bytes back(5000, 0);
    ASSERT_EQ(0u, pOp->ReadFlash(4, back.data(), (unsigned int)back.size()));
    EXPECT_EQ(data, back);
}
