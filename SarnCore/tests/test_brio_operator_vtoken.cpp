/* The product operator end to end against the virtual token: PINs protected
 * on the wire, the session lost on the token and recovered, the press-button
 * wait with a callback that plays the user, and the wireless pairing and
 * identification of a peer.  Tokens on bus 5, each test its own address. */
#include <gtest/gtest.h>
#include <string.h>

#include <openssl/evp.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SarnCore/BrioContext.h"
#include "SarnCore/BrioOperator.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "SarnCore/KeyObjectBrio.h"
#include "SoftCrypto/SymKeyHandle.h"
#include "VTokenContext.h"
#include "log/tests/LogCapture.h"
#include "vtoken/testkit/VTokenTestKit.h"

static const unsigned int BUS = 5;
static const char USER_PIN[] = "12345678";
static const char SO_PIN[] = "12345678";

using Bytes = std::vector<unsigned char>;

static Bytes Sm3(const Bytes &in)
{
    unsigned char out[32];
    unsigned int len = 0;
    EVP_Digest(in.data(), in.size(), out, &len, EVP_sm3(), nullptr);
    return Bytes(out, out + len);
}

class BrioOperatorTest : public ::testing::Test {
protected:
    ~BrioOperatorTest() override
    {
        for (CBrioOperator *pOp : m_vOperators) {
            pOp->Finalize();
            delete pOp;
        }
    }

    std::string Serial(unsigned int ulAddr) const { return "VTBRIO" + std::to_string(ulAddr); }

    void AddToken(unsigned int ulAddr, unsigned int ulAlg = 0x13, unsigned int ulRetries = 10)
    {
        vtoken::TokenOptions opts;
        opts.serial = Serial(ulAddr);
        opts.bus = BUS;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        opts.userRetries = ulRetries;
        daemon.CreateToken(opts);
    }

    /* A connection as the product's device manager opens it. */
    CBrioOperator *Open(unsigned int ulAddr)
    {
        CBrioContext *pCtx = new CBrioContext();
        EXPECT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, DeviceNameOf(BUS, ulAddr).c_str(), true));
        CBrioOperator *pOp = new CBrioOperator(pCtx);
        m_vOperators.push_back(pOp);
        EXPECT_EQ(0u, pOp->Initialize(0));
        return pOp;
    }

    static CDeviceInfo *Record(CBrioOperator *pOp) { return pOp->GetDeviceContext()->GetDeviceHandle(); }

    std::string Field(unsigned int ulAddr, const char *pszKey) { return daemon.StateField(Serial(ulAddr), pszKey); }

    vtoken::Daemon daemon;
    std::vector<CBrioOperator *> m_vOperators;
};

/* ---- PIN protection ---- */

class BrioPinTest : public BrioOperatorTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(BrioPinTest, VerifyChangeAndLock)
{
    const unsigned int addr = GetParam() == 0x13 ? 1 : 2;
    AddToken(addr, GetParam(), 3);
    CBrioOperator *pOp = Open(addr);
    CDeviceInfo *pInfo = Record(pOp);

    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    EXPECT_EQ(16u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ("valid for pin type 1", Field(addr, "auth-code"));
    EXPECT_EQ("yes", Field(addr, "user-pin-default"));

    ASSERT_EQ(0u, pOp->ChangePIN(1, (char *)USER_PIN, 8, (char *)"24681357", 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ("no", Field(addr, "user-pin-default"));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->ChangePIN(1, nullptr, 8, (char *)"1", 1));

    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)"24681357", 8));
    EXPECT_EQ(16u, pInfo->m_ulAuthCodeLen);
    /* A wrong PIN clears the stored authorisation; the retries fall to the lock. */
    EXPECT_EQ(0x800063C2u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    EXPECT_EQ(0u, pInfo->m_ulAuthCodeLen);
    EXPECT_EQ(0x800063C1u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    EXPECT_EQ(0x800063C0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    EXPECT_EQ(0x80006983u, pOp->VerifyPIN(1, (char *)"24681357", 8));
    EXPECT_EQ(0u, daemon.UserRetriesLeft(Serial(addr)));

    /* The administrator resets the token user: the factory PIN again. */
    unsigned int len = 8;
    ASSERT_EQ(0u, pOp->InitTokenUser(RESET_WITH_PIN, (unsigned char *)SO_PIN, len));
    EXPECT_EQ(3u, daemon.UserRetriesLeft(Serial(addr)));
    EXPECT_EQ("yes", Field(addr, "user-pin-default"));
    EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
}

INSTANTIATE_TEST_SUITE_P(Tokens, BrioPinTest, ::testing::Values(0x13u, 3u),
                         [](const ::testing::TestParamInfo<unsigned int> &i) {
                             return std::string(i.param == 0x13 ? "SM2" : "RSA");
                         });

TEST_F(BrioOperatorTest, ResetByIssuerAnswerToTheFetchedChallenge)
{
    AddToken(3);
    CBrioOperator *pOp = Open(3);
    unsigned char buf[64];
    unsigned int len = 20;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->InitTokenUser(RESET_FETCH_REQUEST, buf, len));
    const std::string sn = Serial(3);
    EXPECT_EQ(sn.size() + 16, len);
    len = sizeof(buf);
    ASSERT_EQ(0u, pOp->InitTokenUser(RESET_FETCH_REQUEST, buf, len));
    ASSERT_EQ(sn.size() + 16, len);
    EXPECT_EQ(0, memcmp(buf, sn.data(), sn.size()));

    /* The issuer answers the challenge under the token's external-authentication key. */
    unsigned char answer[64];
    unsigned int answerLen = sizeof(answer);
    ASSERT_EQ(0u, CSymKeyHandle::Encrypt(0x13, SC_MODE_CBC, Record(pOp)->m_pbAuthKey, nullptr, buf + sn.size(), 16,
                                         answer, &answerLen));
    ASSERT_EQ(0u, pOp->InitTokenUser(RESET_SEND_ANSWER, answer, answerLen));
    EXPECT_EQ("yes", Field(3, "user-pin-default"));

    for (unsigned char flag : {0, 4}) {
        len = sizeof(buf);
        EXPECT_EQ(ERR_BAD_FLAG, pOp->InitTokenUser(flag, buf, len));
    }
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->InitTokenUser(RESET_WITH_PIN, nullptr, len));
}

/* Another connection's session key replaces this one's on the token: the
 * next PIN command finds the session lost, forces a new key and succeeds.
 * The refusal is what the design waits for: no error in the log. */
TEST_F(BrioOperatorTest, SessionLostOnTheTokenIsRecovered)
{
    AddToken(4);
    CBrioOperator *pFirst = Open(4);
    CBrioOperator *pSecond = Open(4);
    logtest::CLogCapture log;
    ASSERT_TRUE(log.Started());
    ASSERT_EQ(0u, pFirst->VerifyPIN(1, (char *)USER_PIN, 8));
    unsigned char key[16];
    memcpy(key, Record(pFirst)->m_pbTransKey, 16);
    ASSERT_EQ(0u, pSecond->SetSessionKey(true));
    ASSERT_EQ(0u, pFirst->VerifyPIN(1, (char *)USER_PIN, 8));
    EXPECT_NE(0, memcmp(key, Record(pFirst)->m_pbTransKey, 16));
    ASSERT_EQ(0u, pSecond->SetSessionKey(true));
    EXPECT_EQ(0u, pFirst->ChangePIN(1, (char *)USER_PIN, 8, (char *)"11112222", 8));
    ASSERT_EQ(0u, pSecond->SetSessionKey(true));
    unsigned int len = 8;
    EXPECT_EQ(0u, pFirst->InitTokenUser(RESET_WITH_PIN, (unsigned char *)SO_PIN, len));
    /* A status read, the step that stands for the channel check. */
    ASSERT_EQ(0u, pFirst->SetSessionKey(true));
    unsigned char byLeft = 0;
    EXPECT_EQ(0u, pSecond->GetPINStatus(1, &byLeft, nullptr, nullptr, nullptr));
    std::string strLog = log.Text();
    EXPECT_TRUE(log.Contains("CHECK SW1SW2 answered 0x8000f5")) << strLog.substr(0, 4000);
    EXPECT_EQ("", log.ErrorLines());
}

/* The first secure command of a connection finds no channel: the channel is
 * set up and the command sent again, traced as the answer it looks for.
 * What reaches the caller (a wrong PIN, a token the product key did not
 * sign) stays an error. */
struct FirstCommandCase {
    const char *pszName;
    bool bForeignSignature;
    std::function<unsigned int(CBrioOperator *)> fnCall;
    unsigned int ulResult;                /* ANY_FAILURE: a code that is not 0 */
    std::vector<std::string> astrLogged;  /* parts of the log */
    std::string strError;                 /* part of an ERROR line; empty: no ERROR line */
};

void PrintTo(const FirstCommandCase &c, std::ostream *pOut) { *pOut << c.pszName; }

const unsigned int ANY_FAILURE = ~0u;
const std::string NO_CHANNEL = "SendAPDUCmd - CHECK SecurityMode answered 0x00000107 as expected";

const FirstCommandCase FIRST_COMMAND_CASES[] = {
    {"Verify", false, [](CBrioOperator *pOp) { return pOp->VerifyPIN(1, (char *)USER_PIN, 8); }, 0,
     {NO_CHANNEL, "VerifyPIN - pDeviceContext->GetAPDUPin()->VerifyPIN_Request answered 0x00000107 as expected",
      "VerifyPIN - SetSessionKey success"},
     ""},
    /* The token's first operation log entry creates the log file. */
    {"Change", false, [](CBrioOperator *pOp) { return pOp->ChangePIN(1, (char *)USER_PIN, 8, (char *)"Issued2026", 10); },
     0, {NO_CHANNEL, "GetFileInfo - SendAPDUCmd answered 0x8000f102 as expected", "RecordSarnLog [HRESULT:0x0]"}, ""},
    {"Status", false,
     [](CBrioOperator *pOp) {
         unsigned char byLeft = 0;
         return pOp->GetPINStatus(1, &byLeft, nullptr, nullptr, nullptr);
     },
     0, {NO_CHANNEL, "GetPINStatus - m_pDeviceContext->GetAPDUPin()->GetPINStatus answered 0x00000107 as expected"},
     ""},
    {"KeyCheck", false, [](CBrioOperator *pOp) { return pOp->SetSessionKey(false); }, 0, {NO_CHANNEL}, ""},
    {"WrongPin", false, [](CBrioOperator *pOp) { return pOp->VerifyPIN(1, (char *)"87654321", 8); }, 0x800063C9u,
     {NO_CHANNEL}, "ERROR VerifyPIN - pDeviceContext->GetAPDUPin()->VerifyPIN_Response failed(0x800063c9)"},
    {"ForeignToken", true, [](CBrioOperator *pOp) { return pOp->VerifyPIN(1, (char *)USER_PIN, 8); }, ANY_FAILURE,
     {NO_CHANNEL}, "ERROR VerifyPIN - SetSessionKey failed("},
};

class BrioFirstCommandTest : public BrioOperatorTest, public ::testing::WithParamInterface<FirstCommandCase> {};

TEST_P(BrioFirstCommandTest, NoChannelYetIsNoError)
{
    const FirstCommandCase &c = GetParam();
    vtoken::TokenOptions opts;
    opts.serial = Serial(50);
    opts.bus = BUS;
    opts.address = 50;
    if (c.bForeignSignature) opts.extraArgs = {"--foreign-signature"};
    daemon.CreateToken(opts);
    CBrioOperator *pOp = Open(50);
    logtest::CLogCapture log;
    ASSERT_TRUE(log.Started());
    unsigned int ulRet = c.fnCall(pOp);
    if (c.ulResult == ANY_FAILURE) EXPECT_NE(0u, ulRet);
    else EXPECT_EQ(c.ulResult, ulRet) << std::hex << ulRet;
    std::string strLog = log.Text();
    for (const std::string &strPart : c.astrLogged)
        EXPECT_NE(std::string::npos, strLog.find(strPart)) << strPart << "\n" << strLog.substr(0, 4000);
    std::string strErrors = log.ErrorLines();
    if (c.strError.empty()) EXPECT_EQ("", strErrors);
    else EXPECT_NE(std::string::npos, strErrors.find(c.strError)) << strErrors;
    EXPECT_EQ(std::string::npos, strErrors.find("CHECK SecurityMode")) << strErrors;
}

INSTANTIATE_TEST_SUITE_P(Calls, BrioFirstCommandTest, ::testing::ValuesIn(FIRST_COMMAND_CASES),
                         [](const ::testing::TestParamInfo<FirstCommandCase> &i) { return std::string(i.param.pszName); });

TEST_F(BrioOperatorTest, SymmetricKeysOtherThanSm1AreSoftware)
{
    AddToken(5);
    CBrioOperator *pOp = Open(5);
    unsigned char key[16] = {1, 2, 3};
    void *h = nullptr;
    ASSERT_EQ(0u, pOp->InitSymKey(SC_ALG_SM4, 1, SC_MODE_CBC, key, nullptr, &h));
    ASSERT_NE(nullptr, h);
    CSymKeyHandle *pHandle = static_cast<CSymKeyHandle *>(h);
    EXPECT_EQ(nullptr, dynamic_cast<CGMSymKeyHandle *>(pHandle));
    CSymKeyHandle::Release(pHandle);

    /* SM1 is the token's own cipher: the handle is an on-token one, or the
     * token's refusal comes back (the virtual token offers no SM1). */
    h = nullptr;
    unsigned int ulRet = pOp->InitSymKey(ALG_SM1, 1, SC_MODE_ECB, key, nullptr, &h);
    pHandle = static_cast<CSymKeyHandle *>(h);
    if (ulRet == 0) {
        EXPECT_NE(nullptr, dynamic_cast<CGMSymKeyHandle *>(pHandle));
        CSymKeyHandle::Release(pHandle);
    } else {
        EXPECT_EQ(0x80000000u, ulRet & 0xFFFF0000u) << std::hex << ulRet;
        EXPECT_EQ(nullptr, h);
    }
}

/* ---- press-button confirmation ---- */

/* Plays the user of the confirmation prompt: shows it (runs the wait in a
 * worker thread while the calling thread keeps the device mutex), presses
 * the token's button after N polls, or cancels or lets the time run out. */
struct PlayedUser {
    vtoken::Daemon *pDaemon = nullptr;
    std::string strSerial;
    int iPressAfter = -1;        /* polls before the press; -1 never */
    int iStopAfter = -1;         /* polls before the stop status */
    unsigned int ulStopStatus = 0;
    std::atomic<int> iPolls{0};
    std::vector<unsigned int> vCodes;
    PressButtonRecord stSeen;    /* the record as handed over */

    static long Callback(unsigned int ulCode, void *pContext, void *pArg)
    {
        PlayedUser *pUser = static_cast<PlayedUser *>(pContext);
        if (ulCode == CALLBACK_WAIT_STATUS) {
            int n = ++pUser->iPolls;
            if (n == pUser->iPressAfter) pUser->pDaemon->SetButton(pUser->strSerial, "now");
            return n == pUser->iStopAfter ? (long)pUser->ulStopStatus : 0;
        }
        pUser->vCodes.push_back(ulCode);
        if (pArg == nullptr) return 0;
        memcpy(&pUser->stSeen, pArg, sizeof(PressButtonRecord));
        if (pUser->iPressAfter == 0) pUser->pDaemon->SetButton(pUser->strSerial, "now");
        unsigned long ulResult = 0;
        std::thread worker([&] { ulResult = CBrioOperator::WaitPressButton(pContext, pArg); });
        worker.join();
        return (long)ulResult;
    }
};

class BrioButtonTest : public BrioOperatorTest {
protected:
    CBrioOperator *OpenWaiting(unsigned int ulAddr, PlayedUser &user)
    {
        AddToken(ulAddr);
        CBrioOperator *pOp = Open(ulAddr);
        daemon.SetButton(Serial(ulAddr), "never");
        user.pDaemon = &daemon;
        user.strSerial = Serial(ulAddr);
        return pOp;
    }

    /* The operation under the device mutex, as the SKF layer runs it. */
    template <class F>
    static unsigned int UnderMutex(CBrioOperator *pOp, F fn)
    {
        EXPECT_EQ(0u, pOp->GetDeviceContext()->WaitDevMutex());
        unsigned int ulRet = fn();
        pOp->GetDeviceContext()->ReleaseDevMutex();
        return ulRet;
    }
};

class BrioPressTest : public BrioButtonTest, public ::testing::WithParamInterface<int> {};

TEST_P(BrioPressTest, VerifyWaitsUntilThePress)
{
    PlayedUser user;
    user.iPressAfter = GetParam();
    const unsigned int addr = 10 + (unsigned int)GetParam();
    CBrioOperator *pOp = OpenWaiting(addr, user);
    logtest::CLogCapture log;
    ASSERT_TRUE(log.Started());
    unsigned int ulRet = UnderMutex(pOp, [&] {
        return pOp->VerifyPIN(1, (char *)USER_PIN, 8, &PlayedUser::Callback, &user);
    });
    EXPECT_EQ(0u, ulRet);
    EXPECT_EQ(GetParam(), user.iPolls.load());
    /* The token's "not pressed yet" is what the wait looks for. */
    EXPECT_TRUE(log.Contains("CHECK SW1SW2 answered 0x8000f321 as expected")) << log.Text().substr(0, 4000);
    EXPECT_EQ("", log.ErrorLines());
    ASSERT_EQ(1u, user.vCodes.size());
    EXPECT_EQ(CALLBACK_PRESS_VERIFY_PIN, user.vCodes[0]);
    EXPECT_EQ(16u, Record(pOp)->m_ulAuthCodeLen);

    /* The record as handed to the callback. */
    const unsigned char *r = user.stSeen.pbBytes;
    void *pObject = nullptr;
    OperationCallback pfn = nullptr;
    memcpy(&pObject, r, 8);
    memcpy(&pfn, r + 272, 8);
    EXPECT_EQ((void *)pOp, pObject);
    EXPECT_EQ(2, r[8]);
    EXPECT_EQ(1, r[9]);
    EXPECT_EQ(8, r[10]);
    EXPECT_EQ(0, memcmp(r + 11, USER_PIN, 8));
    EXPECT_EQ(&PlayedUser::Callback, pfn);
}

INSTANTIATE_TEST_SUITE_P(Polls, BrioPressTest, ::testing::Values(0, 1, 3));

struct StopCase {
    const char *name;
    unsigned int status;
    int after;
};

class BrioStopTest : public BrioButtonTest, public ::testing::WithParamInterface<StopCase> {};

/* Cancel and time-out end the token's pending wait; the next operation works. */
TEST_P(BrioStopTest, EndsTheTokensWait)
{
    PlayedUser user;
    user.iStopAfter = GetParam().after;
    user.ulStopStatus = GetParam().status;
    const unsigned int addr = 20 + (unsigned int)GetParam().after;
    CBrioOperator *pOp = OpenWaiting(addr, user);
    std::string strErrors;
    unsigned int ulRet = 0;
    {
        logtest::CLogCapture log;
        ASSERT_TRUE(log.Started());
        ulRet = UnderMutex(pOp, [&] {
            return pOp->VerifyPIN(1, (char *)USER_PIN, 8, &PlayedUser::Callback, &user);
        });
        strErrors = log.ErrorLines();
    }
    /* The stop reaches the caller: an error, and only the stop is one. */
    char szStop[64];
    snprintf(szStop, sizeof(szStop), "ERROR WaitPressButton - VerifyPIN failed(0x%08x)", GetParam().status);
    EXPECT_NE(std::string::npos, strErrors.find(szStop)) << strErrors;
    EXPECT_EQ(std::string::npos, strErrors.find("0x8000f321")) << strErrors;
    EXPECT_EQ(GetParam().status, ulRet);
    EXPECT_EQ(GetParam().after, user.iPolls.load());
    EXPECT_EQ("no", Field(addr, "button-waiting"));
    EXPECT_EQ(0u, Record(pOp)->m_ulAuthCodeLen);
    EXPECT_EQ(10u, daemon.UserRetriesLeft(Serial(addr)));

    daemon.SetButton(Serial(addr), "now");
    EXPECT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8, &PlayedUser::Callback, &user));
    EXPECT_EQ(1u, user.vCodes.size());
}

INSTANTIATE_TEST_SUITE_P(Stops, BrioStopTest,
                         ::testing::Values(StopCase{"Cancelled", SCARD_W_CANCELLED_BY_USER, 1},
                                           StopCase{"TimedOut", SCARD_E_TIMEOUT, 2}),
                         [](const ::testing::TestParamInfo<StopCase> &i) { return std::string(i.param.name); });

TEST_F(BrioButtonTest, ChangeAndResetWaitWithTheirRecords)
{
    PlayedUser user;
    user.iPressAfter = 1;
    CBrioOperator *pOp = OpenWaiting(30, user);
    ASSERT_EQ(0u, UnderMutex(pOp, [&] {
        return pOp->ChangePIN(1, (char *)USER_PIN, 8, (char *)"135790", 6, &PlayedUser::Callback, &user);
    }));
    const unsigned char *r = user.stSeen.pbBytes;
    EXPECT_EQ(3, r[8]);
    EXPECT_EQ(8, r[10]);
    EXPECT_EQ(0, memcmp(r + 11, USER_PIN, 8));
    EXPECT_EQ(6, r[19]);
    EXPECT_EQ(0, memcmp(r + 20, "135790", 6));
    EXPECT_EQ("no", Field(30, "user-pin-default"));

    daemon.SetButton(Serial(30), "never");
    user.iPolls = 0;
    unsigned int len = 8;
    ASSERT_EQ(0u, UnderMutex(pOp, [&] {
        return pOp->InitTokenUser(RESET_WITH_PIN, (unsigned char *)SO_PIN, len, &PlayedUser::Callback, &user);
    }));
    EXPECT_EQ(5, r[8]);
    EXPECT_EQ(RESET_WITH_PIN, r[9]);
    uint32_t ulLen = 0;
    memcpy(&ulLen, r + 10, 4);
    EXPECT_EQ(8u, ulLen);
    EXPECT_EQ(0, memcmp(r + 14, SO_PIN, 8));
    EXPECT_EQ("yes", Field(30, "user-pin-default"));
    EXPECT_EQ((std::vector<unsigned int>{CALLBACK_PRESS_CHANGE_PIN, CALLBACK_PRESS_RESET}), user.vCodes);

    /* Each change is logged once, by the thread that holds the device mutex
     * (the worker never waits for it). */
    _QV_LOG_INFO log[SARN_LOG_RECORDS];
    unsigned int count = 0;
    if (pOp->ExportSarnLog(log, &count) == 0) {
        std::vector<std::string> tags;
        for (unsigned int i = 0; i < count; ++i)
            if (log[i].bySeq != SARN_LOG_EMPTY) tags.push_back(log[i].szTag);
        EXPECT_EQ((std::vector<std::string>{"ChgPin", "RstApp"}), tags);
    }
}

TEST_F(BrioButtonTest, WithoutCallbackTheButtonStatusComesBack)
{
    PlayedUser user;
    CBrioOperator *pOp = OpenWaiting(31, user);
    EXPECT_EQ(SW_BUTTON_NOT_PRESSED, pOp->VerifyPIN(1, (char *)USER_PIN, 8, nullptr, nullptr));
    /* A PIN the wait could not take is refused and the token's wait ended. */
    std::string longPin(33, '1');
    EXPECT_EQ(ERR_BAD_LENGTH,
              pOp->VerifyPIN(1, (char *)longPin.c_str(), 33, &PlayedUser::Callback, &user));
    EXPECT_TRUE(user.vCodes.empty());
    EXPECT_EQ("no", Field(31, "button-waiting"));
}

TEST_F(BrioButtonTest, WaitRefusesBadRecordsUnsent)
{
    PlayedUser user;
    CBrioOperator *pOp = OpenWaiting(32, user);
    EXPECT_EQ(ERR_NULL_ARGUMENT, CBrioOperator::WaitPressButton(&user, nullptr));
    PressButtonRecord r;
    ASSERT_EQ(0u, PressButtonWritePin(&r, pOp, 1, USER_PIN, 8, &PlayedUser::Callback));
    r.pbBytes[8] = 6;
    EXPECT_EQ(ERR_BAD_FLAG, CBrioOperator::WaitPressButton(&user, &r));
    EXPECT_EQ("no", Field(32, "button-waiting"));  /* nothing was sent */
    EXPECT_EQ(0, user.iPolls.load());
    EXPECT_EQ(ERR_NULL_ARGUMENT, CBrioOperator::CancelPressButton(nullptr));
}

/* A signature held back until the press: code 4 with the digest in the
 * record, the signature written back by the wait. */
TEST_F(BrioButtonTest, SignatureWaitsAndComesBackThroughTheRecord)
{
    PlayedUser user;
    user.iPressAfter = 2;
    CBrioOperator *pOp = OpenWaiting(33, user);
    daemon.SetButton(Serial(33), "now");
    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"sign"));
    void *pKeyCtx = nullptr;
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"sign", KEY_SPEC_SIGNATURE, TOKEN_ALG_SM2, &pKeyCtx));
    std::unique_ptr<CAsymKeyObject> key(static_cast<CAsymKeyObject *>(pKeyCtx));
    daemon.SetButton(Serial(33), "never");

    unsigned char digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = (unsigned char)(i * 11);
    unsigned char sig[64];
    unsigned int sigLen = sizeof(sig);
    std::unique_ptr<logtest::CLogCapture> log(new logtest::CLogCapture());
    ASSERT_TRUE(log->Started());
    unsigned int ulRet = UnderMutex(pOp, [&] {
        return CAsymKeyObjectBrio::PrikeySign(key.get(), SC_HASH_SM3, digest, 32, sig, &sigLen,
                                              &PlayedUser::Callback, &user);
    });
    ASSERT_EQ(0u, ulRet);
    EXPECT_TRUE(log->Contains("answered 0x8000f321 as expected")) << log->Text().substr(0, 4000);
    EXPECT_EQ("", log->ErrorLines());
    log.reset();
    EXPECT_EQ(64u, sigLen);
    EXPECT_EQ(2, user.iPolls.load());
    EXPECT_EQ(std::vector<unsigned int>{CALLBACK_PRESS_SIGN}, user.vCodes);
    EXPECT_EQ(0u, key->PubkeyVerify(SC_HASH_SM3, digest, 32, sig, 64));
    const unsigned char *r = user.stSeen.pbBytes;
    void *pObject = nullptr;
    memcpy(&pObject, r, 8);
    EXPECT_EQ((void *)key.get(), pObject);
    EXPECT_EQ(4, r[8]);
    unsigned short usLen = 0;
    memcpy(&usLen, r + 9, 2);
    EXPECT_EQ(32, usLen);
    EXPECT_EQ(0, memcmp(r + 11, digest, 32));

    /* A cancelled confirmation comes back as the callback's result. */
    daemon.SetButton(Serial(33), "never");
    PlayedUser cancel;
    cancel.pDaemon = &daemon;
    cancel.strSerial = Serial(33);
    cancel.iStopAfter = 1;
    cancel.ulStopStatus = SCARD_W_CANCELLED_BY_USER;
    sigLen = sizeof(sig);
    log.reset(new logtest::CLogCapture());
    EXPECT_EQ(SCARD_W_CANCELLED_BY_USER, CAsymKeyObjectBrio::PrikeySign(key.get(), SC_HASH_SM3, digest, 32, sig,
                                                                        &sigLen, &PlayedUser::Callback, &cancel));
    EXPECT_TRUE(log->Contains("ERROR PrikeySign - SignDigest failed(0x8010006e)")) << log->ErrorLines();
    log.reset();
    EXPECT_EQ("no", Field(33, "button-waiting"));
}

/* ---- the user PIN asked for by the token (code 1) ---- */

struct PinGiver {
    CBrioOperator *pOp = nullptr;
    long lAnswer = 0;     /* 0: verify the PIN and let the operation repeat */
    int iCalls = 0;
    static long Callback(unsigned int ulCode, void *pContext, void *)
    {
        PinGiver *p = static_cast<PinGiver *>(pContext);
        EXPECT_EQ(CALLBACK_NEED_USER_PIN, ulCode);
        ++p->iCalls;
        if (p->lAnswer != 0) return p->lAnswer;
        return (long)p->pOp->VerifyPIN(1, (char *)USER_PIN, 8);
    }
};

TEST_F(BrioOperatorTest, RefusedForTheUserPinAsksForItOnce)
{
    AddToken(6);
    CBrioOperator *pOp = Open(6);
    PinGiver refuse;
    refuse.lAnswer = 0x0A000025;
    EXPECT_EQ(0x0A000025u, pOp->CreateContainer((char *)"c1", &PinGiver::Callback, &refuse));
    EXPECT_EQ(1, refuse.iCalls);
    EXPECT_EQ(0x80006982u, pOp->CreateContainer((char *)"c1", nullptr, nullptr));

    PinGiver give;
    give.pOp = pOp;
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"c1", &PinGiver::Callback, &give));
    EXPECT_EQ(1, give.iCalls);

    /* Decryption with the container's key after the authorisation ended:
     * the PIN through code 1, then the one more attempt. */
    void *pKeyCtx = nullptr;
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"c1", KEY_SPEC_EXCHANGE, TOKEN_ALG_SM2, &pKeyCtx));
    std::unique_ptr<CAsymKeyObject> pair(static_cast<CAsymKeyObject *>(pKeyCtx));
    const unsigned char msg[24] = "a message for the token";
    unsigned char cipher[24 + SM2_CIPHER_OVERHEAD];
    unsigned int cipherLen = sizeof(cipher);
    ASSERT_EQ(0u, pair->PubkeyEnc((unsigned char *)msg, sizeof(msg), cipher, &cipherLen));
    ASSERT_EQ(0u, pOp->ClearAuthCode());
    give.iCalls = 0;
    unsigned char plain[64];
    unsigned int plainLen = sizeof(plain);
    ASSERT_EQ(0u, CAsymKeyObjectBrio::PrikeyDec(pair.get(), cipher, cipherLen, plain, &plainLen,
                                                &PinGiver::Callback, &give));
    EXPECT_EQ(1, give.iCalls);
    ASSERT_EQ(sizeof(msg), plainLen);
    EXPECT_EQ(0, memcmp(msg, plain, sizeof(msg)));
    ASSERT_EQ(0u, pOp->ClearAuthCode());
    plainLen = sizeof(plain);
    EXPECT_EQ(0x0A000025u, CAsymKeyObjectBrio::PrikeyDec(pair.get(), cipher, cipherLen, plain, &plainLen,
                                                         &PinGiver::Callback, &refuse));

    unsigned char key[16] = {0};
    EXPECT_EQ(ERR_BAD_KEY_TYPE, pOp->ImportKeyPair((char *)"c1", 2, TOKEN_ALG_RSA1024, key, 16, nullptr, 0, nullptr,
                                                   &PinGiver::Callback, &give));
    EXPECT_EQ(1, give.iCalls);
}

/* ---- wireless pairing and identification ---- */

class BrioWirelessTest : public BrioOperatorTest {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 64; ++i) peer[i] = (unsigned char)(0x40 + i);
    }
    /* The pairing secret as the token derives it. */
    Bytes Secret(CBrioOperator *pOp)
    {
        Bytes out;
        for (unsigned char tag = 1; tag <= 2; ++tag) {
            Bytes in{tag};
            in.insert(in.end(), Record(pOp)->m_pbAuthKey, Record(pOp)->m_pbAuthKey + 16);
            in.insert(in.end(), peer, peer + 64);
            Bytes h = Sm3(in);
            out.insert(out.end(), h.begin(), h.end());
        }
        return out;
    }
    unsigned char peer[64];
};

TEST_F(BrioWirelessTest, PairThenIdentifyInsteadOfAPin)
{
    AddToken(40);
    CBrioOperator *pOp = Open(40);
    unsigned char out[256];
    unsigned int len = sizeof(out);
    /* Pairing needs a verified PIN. */
    EXPECT_EQ(0x80006982u, pOp->WirelessAuth(TOKEN_ALG_SM2, peer, out, &len));
    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    len = sizeof(out);
    ASSERT_EQ(0u, pOp->WirelessAuth(TOKEN_ALG_SM2, peer, out, &len));
    ASSERT_EQ(64u, len);
    Bytes secret = Secret(pOp);
    EXPECT_EQ(secret, Bytes(out, out + 64));
    /* Algorithm 6: the same point after its format byte. */
    unsigned char point[65] = {0x04};
    memcpy(point + 1, peer, 64);
    len = sizeof(out);
    ASSERT_EQ(0u, pOp->WirelessAuth(6, point, out, &len));
    EXPECT_EQ(secret, Bytes(out, out + len));

    ASSERT_EQ(0u, pOp->ClearAuthCode());
    Record(pOp)->SetAuthCode(nullptr, 0);
    const Bytes data = {'p', 'h', 'o', 'n', 'e'};
    unsigned char challenge[16];
    len = sizeof(challenge);
    ASSERT_EQ(0u, pOp->WirelessIdentifyInit(TOKEN_ALG_SM2, peer, (unsigned char *)data.data(),
                                            (unsigned int)data.size(), challenge, &len));
    ASSERT_EQ(16u, len);
    const Bytes rest = {9, 8, 7};
    Bytes in = secret;
    in.insert(in.end(), challenge, challenge + 16);
    in.insert(in.end(), data.begin(), data.end());
    in.insert(in.end(), rest.begin(), rest.end());
    Bytes proof = Sm3(in);
    /* First and second part are joined before the third. */
    ASSERT_EQ(0u, pOp->WirelessIdentify(TOKEN_ALG_SM2, proof.data(), 16, proof.data() + 16, 16,
                                        (unsigned char *)rest.data(), (unsigned int)rest.size()));
    EXPECT_EQ(16u, Record(pOp)->m_ulAuthCodeLen);
    EXPECT_EQ("valid for pin type 1", Field(40, "auth-code"));

    /* A wrong proof clears the authorisation. */
    len = sizeof(challenge);
    ASSERT_EQ(0u, pOp->WirelessIdentifyInit(TOKEN_ALG_SM2, peer, nullptr, 0, challenge, &len));
    EXPECT_EQ(0x80006300u, pOp->WirelessIdentify(TOKEN_ALG_SM2, proof.data(), 32, nullptr, 0, nullptr, 0));
    EXPECT_EQ(0u, Record(pOp)->m_ulAuthCodeLen);
    EXPECT_EQ("none", Field(40, "auth-code"));
}

TEST_F(BrioWirelessTest, RefusesWhatCannotSucceedUpFront)
{
    AddToken(41);
    CBrioOperator *pOp = Open(41);
    ASSERT_EQ(0u, pOp->VerifyPIN(1, (char *)USER_PIN, 8));
    unsigned char out[512];
    _QV_RSA_KEY_PAIR rsa;
    memset(&rsa, 0x11, sizeof(rsa));
    rsa.NLen = 256;
    rsa.ELen = 4;
    /* RSA-2048 needs a 256-byte answer where the token's holds 64. */
    for (unsigned int capacity : {128u, 256u}) {
        unsigned int len = capacity;
        EXPECT_EQ(ERR_UNSUPPORTED, pOp->WirelessAuth(TOKEN_ALG_RSA2048, &rsa, out, &len));
        EXPECT_EQ(0u, len);
    }
    unsigned int len = 32;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->WirelessAuth(TOKEN_ALG_SM2, peer, out, &len));
    EXPECT_EQ(64u, len);
    len = sizeof(out);
    EXPECT_EQ(ERR_BAD_ALGORITHM, pOp->WirelessAuth(99, peer, out, &len));
    EXPECT_EQ(0u, len);

    /* A long exponent and data beyond the identification bodies: refused unsent. */
    rsa.ELen = 256;
    unsigned char data[200] = {0};
    len = 16;
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->WirelessIdentifyInit(TOKEN_ALG_RSA2048, &rsa, data, sizeof(data), out, &len));
    rsa.ELen = 300;
    len = 16;
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->WirelessIdentifyInit(TOKEN_ALG_RSA2048, &rsa, data, 0, out, &len));
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->WirelessIdentify(TOKEN_ALG_SM2, data, 200, data, 61, nullptr, 0));
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->WirelessIdentify(TOKEN_ALG_SM2, data, 200, data, 60, out, 61));
    /* The authorisation survived all of these. */
    EXPECT_EQ("valid for pin type 1", Field(41, "auth-code"));
}
