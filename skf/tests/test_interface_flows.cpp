// The SKF interface end to end, as an application uses it: only skf.h and
// the shared library, against the virtual token (bus 27, one address per
// test), with OpenSSL as the independent side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stddef.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "skf/skf.h"
#include "SarnCore/tests/DevMutexProbe.h"
#include "SoftCrypto/tests/GuardedBytes.h"
#include "skf/tests/FailingAllocator.h"
#include "skf/tests/InterfaceOracle.h"
#include "vtoken/testkit/VTokenTestKit.h"

extern char **environ;

using skftest::Bytes;

namespace {

const unsigned int FLOWS_BUS = 27;
const char USER_PIN[] = "12345678";

class SkfFlow : public ::testing::Test {
protected:
    ~SkfFlow() override
    {
        for (HANDLE h : m_vecKeys) SKF_CloseHandle(h);
        for (HCONTAINER h : m_vecContainers) SKF_CloseContainer(h);
        if (m_hApp != nullptr) SKF_CloseApplication(m_hApp);
        if (m_hDev != nullptr) SKF_DisConnectDev(m_hDev);
    }

    std::string Serial(unsigned int ulAddr) const { return "VTSKFI" + std::to_string(ulAddr); }

    std::string NameOf(unsigned int ulAddr) const
    {
        char sz[40];
        snprintf(sz, sizeof(sz), "Mirel&pid_f00d&bus_%03u&addr_%03u", FLOWS_BUS, ulAddr);
        return sz;
    }

    /* The device id of the token at ulAddr: (pid << 16) | (bus << 8) | address. */
    unsigned int DeviceIdOf(unsigned int ulAddr) const { return 0xF00Du << 16 | FLOWS_BUS << 8 | ulAddr; }

    std::string AddToken(unsigned int ulAddr, unsigned int ulAlg = 0x13)
    {
        vtoken::TokenOptions opts;
        opts.serial = Serial(ulAddr);
        opts.bus = FLOWS_BUS;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        opts.userPin = USER_PIN;
        m_daemon.CreateToken(opts);
        return NameOf(ulAddr);
    }

    /* Connects m_hDev to a new token at ulAddr. */
    bool Connect(unsigned int ulAddr, unsigned int ulAlg = 0x13)
    {
        std::string strName = AddToken(ulAddr, ulAlg);
        ULONG ulRet = SKF_ConnectDev(const_cast<char *>(strName.c_str()), &m_hDev);
        EXPECT_EQ(SAR_OK, ulRet);
        return ulRet == SAR_OK;
    }

    ULONG OpenApplication()
    {
        char szApp[] = "Tola";
        return SKF_OpenApplication(m_hDev, szApp, &m_hApp);
    }

    ULONG VerifyUserPin()
    {
        char szPin[sizeof(USER_PIN)];
        memcpy(szPin, USER_PIN, sizeof(USER_PIN));
        ULONG ulRetry = 0;
        return SKF_VerifyPIN(m_hApp, USER_TYPE, szPin, &ulRetry);
    }

    ULONG CreateContainer(const char *pszName, HCONTAINER *phContainer)
    {
        std::string strName = pszName;
        ULONG ulRet = SKF_CreateContainer(m_hApp, &strName[0], phContainer);
        if (ulRet == SAR_OK) m_vecContainers.push_back(*phContainer);
        return ulRet;
    }

    /* A key handle of ulAlg on m_hDev, kept for closing; null when refused. */
    HANDLE SymmKey(const Bytes &key, ULONG ulAlg)
    {
        HANDLE hKey = nullptr;
        EXPECT_EQ(SAR_OK, SKF_SetSymmKey(m_hDev, const_cast<BYTE *>(key.data()), ulAlg, &hKey));
        return hKey != nullptr ? Keep(hKey) : nullptr;
    }

    /* Cipher parameters with a 16-byte IV and no padding. */
    static BLOCKCIPHERPARAM CbcParam(const Bytes &iv)
    {
        BLOCKCIPHERPARAM param = {};
        memcpy(param.IV, iv.data(), 16);
        param.IVLen = 16;
        return param;
    }

    HANDLE Keep(HANDLE h)
    {
        m_vecKeys.push_back(h);
        return h;
    }

    void Forget(HANDLE h)
    {
        for (auto it = m_vecKeys.begin(); it != m_vecKeys.end(); ++it)
            if (*it == h) {
                m_vecKeys.erase(it);
                return;
            }
    }

    vtoken::Daemon m_daemon;
    DEVHANDLE m_hDev = nullptr;
    HAPPLICATION m_hApp = nullptr;
    std::vector<HCONTAINER> m_vecContainers;
    std::vector<HANDLE> m_vecKeys;
};

/* ---- Devices ---- */

TEST_F(SkfFlow, ListsConnectsAndDescribesTheToken)
{
    ASSERT_TRUE(Connect(1));
    std::string strName = NameOf(1);
    char szList[1024];
    ULONG ulSize = 0;
    ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, nullptr, &ulSize));
    ASSERT_LE(ulSize, sizeof(szList));
    ULONG ulSize2 = sizeof(szList);
    ASSERT_EQ(SAR_OK, SKF_EnumDev(FALSE, szList, &ulSize2));
    EXPECT_EQ(ulSize, ulSize2);
    EXPECT_EQ(strName, std::string(szList));

    ULONG ulState = 7;
    EXPECT_EQ(SAR_OK, SKF_GetDevState(&strName[0], &ulState));
    EXPECT_EQ(DEV_PRESENT_STATE, ulState);
    std::string strPrefix = strName.substr(0, strName.size() - 2);
    EXPECT_EQ(SAR_OK, SKF_GetDevState(&strPrefix[0], &ulState));
    EXPECT_EQ(DEV_PRESENT_STATE, ulState);
    std::string strOther = NameOf(99);
    EXPECT_EQ(SAR_OK, SKF_GetDevState(&strOther[0], &ulState));
    EXPECT_EQ(DEV_ABSENT_STATE, ulState);

    DEVINFO info;
    memset(&info, 0xA5, sizeof(info));
    ASSERT_EQ(SAR_OK, SKF_GetDevInfo(m_hDev, &info));
    EXPECT_STREQ("Brio Virtual Token", std::string(info.Label, sizeof(info.Label)).c_str());
    EXPECT_EQ(128u, static_cast<ULONG>(info.MaxECCBufferSize));  /* packed: copied out */
    EXPECT_EQ(256u, static_cast<ULONG>(info.MaxBufferSize));

    char szLong[34];
    memset(szLong, 'L', 33);
    szLong[33] = '\0';
    EXPECT_EQ(SAR_INDATALENERR, SKF_SetLabel(m_hDev, szLong));
    szLong[32] = '\0';
    EXPECT_EQ(SAR_OK, SKF_SetLabel(m_hDev, szLong));
    ASSERT_EQ(SAR_OK, SKF_GetDevInfo(m_hDev, &info));
    EXPECT_EQ(std::string(szLong), std::string(info.Label, sizeof(info.Label)));

    Bytes random(300, 0);
    EXPECT_EQ(SAR_OK, SKF_GenRandom(m_hDev, random.data(), static_cast<ULONG>(random.size())));
    EXPECT_NE(Bytes(300, 0), random);
}

/* Every caller string is read only as far as the longest the function
 * takes (plus one character): a name without a terminator that ends at an
 * unreadable page is refused with the function's length code. */
TEST_F(SkfFlow, UnterminatedStringsAreReadWithinTheirLimit)
{
    ASSERT_TRUE(Connect(46));
    ASSERT_EQ(SAR_OK, OpenApplication());
    oracle::GuardedBytes page(4096, Bytes(4096, 'n'));
    ASSERT_NE(nullptr, page.Data());
    char *psz = page.As<char>();
    char szPin[sizeof(USER_PIN)], szNew[] = "abc12345";
    memcpy(szPin, USER_PIN, sizeof(USER_PIN));
    DEVHANDLE hDev = nullptr;
    HANDLE hOut = nullptr;
    ULONG ul = 0;
    FILEATTRIBUTE info;
    BYTE ab[16] = {};
    DEVHANDLE d = m_hDev;
    HAPPLICATION a = m_hApp;
    struct Case {
        const char *pszCall;
        ULONG ulCode;
        std::function<ULONG()> fnCall;
    } cases[] = {
        {"SKF_ConnectDev", SAR_NAMELENERR, [&] { return SKF_ConnectDev(psz, &hDev); }},
        {"SKF_GetDevState", SAR_NAMELENERR, [&] { return SKF_GetDevState(psz, &ul); }},
        {"SKF_SetLabel", SAR_INDATALENERR, [&] { return SKF_SetLabel(d, psz); }},
        {"SKF_CreateApplication", SAR_NOTSUPPORTYETERR,
         [&] { return SKF_CreateApplication(d, psz, psz, 3, psz, 3, 0, &hOut); }},
        {"SKF_DeleteApplication", SAR_NOTSUPPORTYETERR, [&] { return SKF_DeleteApplication(d, psz); }},
        {"SKF_OpenApplication", SAR_APPLICATION_NOT_EXISTS, [&] { return SKF_OpenApplication(d, psz, &hOut); }},
        {"SKF_VerifyPIN", SAR_INDATALENERR, [&] { return SKF_VerifyPIN(a, USER_TYPE, psz, &ul); }},
        {"SKF_ChangePIN old", SAR_PIN_LEN_RANGE, [&] { return SKF_ChangePIN(a, USER_TYPE, psz, szNew, &ul); }},
        {"SKF_ChangePIN new", SAR_PIN_LEN_RANGE, [&] { return SKF_ChangePIN(a, USER_TYPE, szPin, psz, &ul); }},
        {"SKF_UnblockPIN", SAR_NOTSUPPORTYETERR, [&] { return SKF_UnblockPIN(a, psz, psz, &ul); }},
        {"SKF_CreateFile", SAR_NAMELENERR, [&] { return SKF_CreateFile(a, psz, 16, 0xFF, 0xFF); }},
        {"SKF_DeleteFile", SAR_NAMELENERR, [&] { return SKF_DeleteFile(a, psz); }},
        {"SKF_GetFileInfo", SAR_NAMELENERR, [&] { return SKF_GetFileInfo(a, psz, &info); }},
        {"SKF_ReadFile", SAR_NAMELENERR, [&] { return SKF_ReadFile(a, psz, 0, 4, ab, &ul); }},
        {"SKF_WriteFile", SAR_NAMELENERR, [&] { return SKF_WriteFile(a, psz, 0, ab, 4); }},
        {"SKF_CreateContainer", SAR_NAMELENERR, [&] { return SKF_CreateContainer(a, psz, &hOut); }},
        {"SKF_OpenContainer", SAR_NAMELENERR, [&] { return SKF_OpenContainer(a, psz, &hOut); }},
        {"SKF_DeleteContainer", SAR_NAMELENERR, [&] { return SKF_DeleteContainer(a, psz); }},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.ulCode, c.fnCall()) << c.pszCall;
        EXPECT_EQ(nullptr, hDev) << c.pszCall;
        EXPECT_EQ(nullptr, hOut) << c.pszCall;
    }
    /* The user PIN was never tried. */
    ULONG ulMax = 0, ulRemain = 0;
    BOOL bDefault = FALSE;
    ASSERT_EQ(SAR_OK, SKF_GetPINInfo(m_hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(ulMax, ulRemain);
}

/* A raw command is one frame at the most: a longer one is refused before
 * a byte of it is read or sent. */
TEST_F(SkfFlow, TransmitRefusesACommandLongerThanAFrame)
{
    ASSERT_TRUE(Connect(15));
    oracle::GuardedBytes page(4096);
    ASSERT_NE(nullptr, page.Data());
    /* GetDevInfo, plain: B0 04 00 00, no body, Le 288 */
    const BYTE abFrame[] = {0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x20};
    BYTE *pbFrame = page.Last(sizeof(abFrame));
    memcpy(pbFrame, abFrame, sizeof(abFrame));
    Bytes answer(1024, 0xA5);
    for (ULONG ulLen : {0x7FFFFFFFu, 4097u}) {
        ULONG ulAnswer = static_cast<ULONG>(answer.size());
        EXPECT_EQ(SAR_INDATALENERR, SKF_Transmit(m_hDev, pbFrame, ulLen, answer.data(), &ulAnswer)) << ulLen;
        EXPECT_EQ(answer.size(), ulAnswer) << ulLen;
        EXPECT_EQ(Bytes(1024, 0xA5), answer) << ulLen;
    }
    /* The token heard nothing of them: the frame itself is answered. */
    ULONG ulAnswer = static_cast<ULONG>(answer.size());
    ASSERT_EQ(SAR_OK, SKF_Transmit(m_hDev, pbFrame, sizeof(abFrame), answer.data(), &ulAnswer));
    ASSERT_EQ(4u + 288u, ulAnswer);
    EXPECT_EQ(0x90, answer[0]);
    EXPECT_EQ(0x00, answer[1]);
}

TEST_F(SkfFlow, DisconnectedDeviceHandlesAreRefusedButClose)
{
    ASSERT_TRUE(Connect(2));
    ASSERT_EQ(SAR_OK, OpenApplication());
    DEVHANDLE hDev = m_hDev;
    ASSERT_EQ(SAR_OK, SKF_DisConnectDev(hDev));
    m_hDev = nullptr;
    ULONG ulMax = 0, ulRemain = 0;
    BOOL bDefault = FALSE;
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GetPINInfo(m_hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    BYTE ab[8];
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GenRandom(hDev, ab, sizeof(ab)));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_DisConnectDev(hDev));
    EXPECT_EQ(SAR_OK, SKF_CloseApplication(m_hApp));
    m_hApp = nullptr;
}

TEST_F(SkfFlow, ExternalSm2KeysAgreeWithOpenSsl)
{
    ASSERT_TRUE(Connect(3));
    skftest::PkeyPtr key = skftest::Sm2Generate();
    ECCPUBLICKEYBLOB pub = skftest::Sm2PublicKeyBlob(key.get());
    ECCPRIVATEKEYBLOB pri = skftest::Sm2PrivateBlob(key.get());
    Bytes e = skftest::RandomBytes(32);

    /* An OpenSSL signature verifies on the SKF side, and a changed one does not. */
    ECCSIGNATUREBLOB sig = skftest::Sm2SignDigest(key.get(), e);
    ASSERT_EQ(SAR_OK, SKF_ExtECCVerify(m_hDev, &pub, e.data(), 32, &sig));
    EXPECT_EQ(SAR_OK, SKF_ECCVerify(m_hDev, &pub, e.data(), 32, &sig));
    sig.s[63] ^= 1;
    EXPECT_NE(SAR_OK, SKF_ECCVerify(m_hDev, &pub, e.data(), 32, &sig));

    /* A signature made with the caller's key verifies with OpenSSL. */
    ECCSIGNATUREBLOB made = {};
    ASSERT_EQ(SAR_OK, SKF_ExtECCSign(m_hDev, &pri, e.data(), 32, &made));
    EXPECT_TRUE(skftest::Sm2VerifyDigest(key.get(), e, made));

    /* Encryption to the key decrypts with OpenSSL, and back. */
    Bytes plain = skftest::RandomBytes(40);
    Bytes record(sizeof(ECCCIPHERBLOB) + plain.size(), 0);
    ECCCIPHERBLOB *pCipher = reinterpret_cast<ECCCIPHERBLOB *>(record.data());
    ASSERT_EQ(SAR_OK, SKF_ExtECCEncrypt(m_hDev, &pub, plain.data(), static_cast<ULONG>(plain.size()), pCipher));
    EXPECT_EQ(plain, skftest::Sm2Decrypt(key.get(), pCipher));
    Bytes theirs = skftest::Sm2Encrypt(key.get(), plain);
    ULONG ulPlain = 0;
    ASSERT_EQ(SAR_OK, SKF_ExtECCDecrypt(m_hDev, &pri, reinterpret_cast<ECCCIPHERBLOB *>(theirs.data()), nullptr,
                                        &ulPlain));
    Bytes decrypted(ulPlain);
    ASSERT_EQ(SAR_OK, SKF_ExtECCDecrypt(m_hDev, &pri, reinterpret_cast<ECCCIPHERBLOB *>(theirs.data()),
                                        decrypted.data(), &ulPlain));
    decrypted.resize(ulPlain);
    EXPECT_EQ(plain, decrypted);
    OPENSSL_cleanse(&pri, sizeof(pri));
}

TEST_F(SkfFlow, ExternalRsaPublicKeyOperationsAgreeWithOpenSsl)
{
    ASSERT_TRUE(Connect(4));
    skftest::PkeyPtr key = skftest::RsaGenerate(2048);
    RSAPUBLICKEYBLOB pub = skftest::RsaPublicBlob(key.get());
    Bytes in = skftest::RandomBytes(256);
    in[0] = 0x01;
    Bytes out(256);
    ULONG ulOut = static_cast<ULONG>(out.size());
    ASSERT_EQ(SAR_OK, SKF_ExtRSAPubKeyOperation(m_hDev, &pub, in.data(), 256, out.data(), &ulOut));
    EXPECT_EQ(skftest::RsaPublic(key.get(), in, RSA_NO_PADDING), Bytes(out.begin(), out.begin() + ulOut));

    Bytes data = skftest::RandomBytes(35);
    Bytes sig = skftest::RsaSignPkcs1(key.get(), data);
    EXPECT_EQ(SAR_OK, SKF_RSAVerify(m_hDev, &pub, data.data(), 35, sig.data(), static_cast<ULONG>(sig.size())));
    data[0] ^= 1;
    EXPECT_EQ(SAR_HASHNOTEQUALERR,
              SKF_RSAVerify(m_hDev, &pub, data.data(), 35, sig.data(), static_cast<ULONG>(sig.size())));
}

TEST_F(SkfFlow, DeviceEventsReportLeavingAndArrivingTokensAndEndOnCancel)
{
    std::string strName = AddToken(5);
    std::atomic<bool> bDone{false};
    char szName[256] = {};
    ULONG ulLen = sizeof(szName), ulEvent = 99, ulRet = 0;
    std::thread wait([&] {
        ulRet = SKF_WaitForDevEvent(szName, &ulLen, &ulEvent);
        bDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_daemon.Unplug(Serial(5));
    for (int i = 0; i < 500 && !bDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!bDone) SKF_CancelWaitForDevEvent();
    wait.join();
    EXPECT_EQ(SAR_OK, ulRet);
    EXPECT_EQ(static_cast<ULONG>(SKF_DEV_EVENT_REMOVED), ulEvent);
    EXPECT_EQ(strName, std::string(szName, ulLen));

    /* A wait that another thread cancels ends with no event. */
    bDone = false;
    ulEvent = 99;
    std::thread cancelled([&] {
        ulLen = sizeof(szName);
        ulRet = SKF_WaitForDevEvent(szName, &ulLen, &ulEvent);
        bDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(SAR_OK, SKF_CancelWaitForDevEvent());
    cancelled.join();
    EXPECT_EQ(SAR_OK, ulRet);
    EXPECT_EQ(0u, ulEvent);
}

/* The lock peer: a process of its own that connects to a token and holds
 * its device lock (lock_peer.c); Say sends it a line, Line reads its next. */
class CLockPeer {
public:
    explicit CLockPeer(std::string strName)
    {
        int toPeer[2], fromPeer[2];
        if (pipe(toPeer) != 0) return;
        if (pipe(fromPeer) != 0) {
            close(toPeer[0]);
            close(toPeer[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
        posix_spawn_file_actions_addclose(&actions, toPeer[1]);
        posix_spawn_file_actions_addclose(&actions, fromPeer[0]);
        char *argv[] = {const_cast<char *>(SKF_LOCK_PEER), &strName[0], nullptr};
        if (posix_spawn(&m_pid, SKF_LOCK_PEER, &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toPeer[0]);
        close(fromPeer[1]);
        m_fdTo = toPeer[1];
        m_pFrom = fdopen(fromPeer[0], "r");
    }
    ~CLockPeer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_pFrom != nullptr) fclose(m_pFrom);
        if (m_fdTo >= 0) close(m_fdTo);
    }
    CLockPeer(const CLockPeer &) = delete;
    CLockPeer &operator=(const CLockPeer &) = delete;

    bool Say(const char *pszLine) { return write(m_fdTo, pszLine, strlen(pszLine)) == (ssize_t)strlen(pszLine); }
    std::string Line()
    {
        char szLine[64] = {};
        return m_pFrom != nullptr && fgets(szLine, sizeof(szLine), m_pFrom) != nullptr ? szLine : "";
    }
    /* Its exit status; -1 when it did not end normally. */
    int Wait()
    {
        int nStatus = 0;
        pid_t pid = m_pid;
        m_pid = -1;
        if (pid <= 0 || waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus)) return -1;
        return WEXITSTATUS(nStatus);
    }
    /* Ends it at once, as a crash would. */
    void Kill()
    {
        if (m_pid > 0) kill(m_pid, SIGKILL);
        Wait();
    }

private:
    pid_t m_pid = -1;
    int m_fdTo = -1;
    FILE *m_pFrom = nullptr;
};

/* A call on a device in a thread of its own. */
class CBackgroundCall {
public:
    explicit CBackgroundCall(DEVHANDLE hDev)
        : m_thread([this, hDev] {
              BYTE ab[16];
              m_ulRet = SKF_GenRandom(hDev, ab, sizeof(ab));
              m_bDone = true;
          })
    {
    }
    ~CBackgroundCall() { Join(); }
    bool Done() const { return m_bDone.load(); }
    ULONG Join()
    {
        if (m_thread.joinable()) m_thread.join();
        return m_ulRet.load();
    }

private:
    std::atomic<bool> m_bDone{false};
    std::atomic<ULONG> m_ulRet{0xFFFFFFFF};
    std::thread m_thread;
};

/* A process of its own holds the device lock; this one waits in its call
 * until the other releases it. */
TEST_F(SkfFlow, ALockHeldByAnotherProcessHoldsCallsBack)
{
    ASSERT_TRUE(Connect(6));
    BYTE abProbe[4];
    ASSERT_EQ(SAR_OK, SKF_GenRandom(m_hDev, abProbe, sizeof(abProbe)));
    CLockPeer peer(NameOf(6));
    std::string strLine = peer.Line();
    ASSERT_EQ(0u, strLine.rfind("locked", 0)) << strLine;

    CBackgroundCall call(m_hDev);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(call.Done());
    ASSERT_TRUE(peer.Say("u\n"));
    strLine = peer.Line();
    EXPECT_EQ(0u, strLine.rfind("unlocked 00000000", 0)) << strLine;
    EXPECT_EQ(SAR_OK, call.Join());
    EXPECT_EQ(0, peer.Wait());
}

/* The other process disconnects while it holds the lock and lives on: the
 * disconnect gives the lock back, so this one's waiting call goes on at
 * once, not when the lock's time-out ends it. */
TEST_F(SkfFlow, ADisconnectWhileLockedFreesTheDeviceForOtherProcesses)
{
    ASSERT_TRUE(Connect(47));
    CLockPeer peer(NameOf(47));
    std::string strLine = peer.Line();
    ASSERT_EQ(0u, strLine.rfind("locked", 0)) << strLine;

    CBackgroundCall call(m_hDev);
    ASSERT_TRUE(peer.Say("d\n"));
    strLine = peer.Line();
    EXPECT_EQ(0u, strLine.rfind("disconnected 00000000", 0)) << strLine;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!call.Done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bool bReturned = call.Done();
    EXPECT_TRUE(bReturned) << "the call still waits for the lock of the disconnected peer";
    /* Still waiting: the peer's end releases the call (the mutex is robust). */
    if (!bReturned) peer.Kill();
    ULONG ulRet = call.Join();
    if (bReturned) {
        EXPECT_EQ(SAR_OK, ulRet);
        ASSERT_TRUE(peer.Say("x\n"));
        EXPECT_EQ(0, peer.Wait());
    }
}

/* ---- Access control ---- */

TEST_F(SkfFlow, PinsVerifyCountAndChange)
{
    ASSERT_TRUE(Connect(7));
    char szApps[16];
    ULONG ulSize = sizeof(szApps);
    ASSERT_EQ(SAR_OK, SKF_EnumApplication(m_hDev, szApps, &ulSize));
    EXPECT_EQ(6u, ulSize);
    EXPECT_EQ(0, memcmp("Tola\0\0", szApps, 6));
    ASSERT_EQ(SAR_OK, OpenApplication());

    /* The whole BOOL is written, TRUE or FALSE. */
    ULONG ulMax = 0, ulRemain = 0;
    BOOL bDefault;
    memset(&bDefault, 0xA5, sizeof(bDefault));
    ASSERT_EQ(SAR_OK, SKF_GetPINInfo(m_hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(10u, ulMax);
    EXPECT_EQ(10u, ulRemain);
    EXPECT_TRUE(bDefault == TRUE || bDefault == FALSE) << std::hex << bDefault;

    char szWrong[] = "87654321";
    ULONG ulRetry = 0;
    EXPECT_EQ(SAR_PIN_INCORRECT, SKF_VerifyPIN(m_hApp, USER_TYPE, szWrong, &ulRetry));
    EXPECT_EQ(9u, ulRetry);
    EXPECT_EQ(SAR_OK, VerifyUserPin());
    ASSERT_EQ(SAR_OK, SKF_GetPINInfo(m_hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(10u, ulRemain);

    char szOld[sizeof(USER_PIN)], szNew[] = "abc12345", szDigits[] = "11223344";
    memcpy(szOld, USER_PIN, sizeof(USER_PIN));
    EXPECT_EQ(SAR_PIN_INVALID, SKF_ChangePIN(m_hApp, USER_TYPE, szOld, szDigits, &ulRetry));
    ASSERT_EQ(SAR_OK, SKF_ChangePIN(m_hApp, USER_TYPE, szOld, szNew, &ulRetry));
    EXPECT_EQ(SAR_PIN_INCORRECT, VerifyUserPin());
    EXPECT_EQ(SAR_OK, SKF_VerifyPIN(m_hApp, USER_TYPE, szNew, &ulRetry));
    EXPECT_EQ(SAR_OK, SKF_ClearSecureState(m_hApp));
}

/* ---- Files ---- */

TEST_F(SkfFlow, FilesAreCreatedWrittenReadListedAndDeleted)
{
    ASSERT_TRUE(Connect(8));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    char szFile[] = "notes";
    ASSERT_EQ(SAR_OK, SKF_CreateFile(m_hApp, szFile, 100, SECURE_ANYONE_ACCOUNT, SECURE_USER_ACCOUNT));
    EXPECT_EQ(SAR_FILE_ALREADY_EXIST, SKF_CreateFile(m_hApp, szFile, 100, SECURE_ANYONE_ACCOUNT, SECURE_USER_ACCOUNT));
    Bytes data = skftest::RandomBytes(100);
    ASSERT_EQ(SAR_OK, SKF_WriteFile(m_hApp, szFile, 0, data.data(), static_cast<ULONG>(data.size())));
    ULONG ulLen = 0;
    ASSERT_EQ(SAR_OK, SKF_ReadFile(m_hApp, szFile, 0, 100, nullptr, &ulLen));
    Bytes read(ulLen);
    ASSERT_EQ(SAR_OK, SKF_ReadFile(m_hApp, szFile, 0, 100, read.data(), &ulLen));
    read.resize(ulLen);
    EXPECT_EQ(data, read);
    FILEATTRIBUTE info = {};
    ASSERT_EQ(SAR_OK, SKF_GetFileInfo(m_hApp, szFile, &info));
    EXPECT_STREQ(szFile, info.FileName);
    EXPECT_EQ(100u, static_cast<ULONG>(info.FileSize));
    char szList[64];
    ULONG ulSize = sizeof(szList);
    ASSERT_EQ(SAR_OK, SKF_EnumFiles(m_hApp, szList, &ulSize));
    EXPECT_EQ(std::string("notes\0\0", 7), std::string(szList, ulSize));
    ASSERT_EQ(SAR_OK, SKF_DeleteFile(m_hApp, szFile));
    ulSize = sizeof(szList);
    ASSERT_EQ(SAR_OK, SKF_EnumFiles(m_hApp, szList, &ulSize));
    EXPECT_EQ(0u, ulSize);
}

/* ---- Containers, keys, signatures and certificates ---- */

TEST_F(SkfFlow, ContainersAreCreatedListedOpenedAndDeleted)
{
    ASSERT_TRUE(Connect(9));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("flows", &hContainer));
    char szList[256];
    ULONG ulSize = sizeof(szList);
    ASSERT_EQ(SAR_OK, SKF_EnumContainer(m_hApp, szList, &ulSize));
    EXPECT_EQ(std::string("flows\0\0", 7), std::string(szList, ulSize));
    ULONG ulType = 99;
    ASSERT_EQ(SAR_OK, SKF_GetContainerType(hContainer, &ulType));
    EXPECT_EQ(static_cast<ULONG>(CONTAINER_TYPE_UNDEFINED), ulType);
    HCONTAINER hOpened = nullptr;
    char szName[] = "flows";
    ASSERT_EQ(SAR_OK, SKF_OpenContainer(m_hApp, szName, &hOpened));
    EXPECT_NE(hContainer, hOpened);
    EXPECT_EQ(SAR_OK, SKF_CloseContainer(hOpened));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseContainer(hOpened));
    ASSERT_EQ(SAR_OK, SKF_DeleteContainer(m_hApp, szName));
    ulSize = sizeof(szList);
    ASSERT_EQ(SAR_OK, SKF_EnumContainer(m_hApp, szList, &ulSize));
    EXPECT_GE(1u, ulSize);
}

TEST_F(SkfFlow, Sm2KeyPairSignsWhatOpenSslVerifies)
{
    ASSERT_TRUE(Connect(10));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("sm2", &hContainer));
    ECCPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &pub));
    EXPECT_EQ(256u, static_cast<ULONG>(pub.BitLen));
    ULONG ulType = 0;
    ASSERT_EQ(SAR_OK, SKF_GetContainerType(hContainer, &ulType));
    EXPECT_EQ(static_cast<ULONG>(CONTAINER_TYPE_ECC), ulType);
    ECCPUBLICKEYBLOB exported = {};
    ULONG ulLen = sizeof(exported);
    ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(hContainer, TRUE, reinterpret_cast<BYTE *>(&exported), &ulLen));
    EXPECT_EQ(0, memcmp(&pub, &exported, sizeof(pub)));

    skftest::PkeyPtr key = skftest::Sm2PublicKey(pub);
    ASSERT_NE(nullptr, key.get());
    Bytes e = skftest::RandomBytes(32);
    ECCSIGNATUREBLOB sig = {};
    ASSERT_EQ(SAR_OK, SKF_ECCSignData(hContainer, e.data(), 32, &sig));
    EXPECT_TRUE(skftest::Sm2VerifyDigest(key.get(), e, sig));
    EXPECT_EQ(SAR_OK, SKF_ECCVerify(m_hDev, &pub, e.data(), 32, &sig));
}

TEST_F(SkfFlow, RsaKeyPairSignsWhatOpenSslVerifies)
{
    ASSERT_TRUE(Connect(11, 3));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("rsa", &hContainer));
    RSAPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenRSAKeyPair(hContainer, 2048, &pub));
    EXPECT_EQ(2048u, static_cast<ULONG>(pub.BitLen));
    skftest::PkeyPtr key = skftest::RsaPublicKey(pub);
    ASSERT_NE(nullptr, key.get());
    /* Whatever the data begin with, they are padded into the signature
     * block: 00 01 or 00 02 at the start is data like any other. */
    auto Starting = [](std::initializer_list<BYTE> head, size_t n) {
        Bytes v = skftest::RandomBytes(n);
        std::copy(head.begin(), head.end(), v.begin());
        return v;
    };
    const std::pair<const char *, Bytes> cases[] = {
        {"a SHA-256 digest", skftest::Digest("SHA256", skftest::RandomBytes(64))},
        {"data beginning 00 01", Starting({0x00, 0x01}, 32)},
        {"data beginning 00 02", Starting({0x00, 0x02}, 32)},
        {"the longest data, beginning 00 01", Starting({0x00, 0x01}, 256 - 11)},
    };
    for (const auto &c : cases) {
        const Bytes &data = c.second;
        Bytes sig(256);
        ULONG ulSig = static_cast<ULONG>(sig.size());
        ASSERT_EQ(SAR_OK, SKF_RSASignData(hContainer, const_cast<BYTE *>(data.data()),
                                          static_cast<ULONG>(data.size()), sig.data(), &ulSig))
            << c.first;
        sig.resize(ulSig);
        EXPECT_EQ(data, skftest::RsaPublic(key.get(), sig, RSA_PKCS1_PADDING)) << c.first;
        if (data.size() == 32) {
            EXPECT_EQ(SAR_OK, SKF_RSAVerify(m_hDev, &pub, const_cast<BYTE *>(data.data()), 32, sig.data(), ulSig))
                << c.first;
        }
    }
}

/* One call runs under the device lock, so it checks the secure channel
 * once, and the PIN-status read a signature makes stands for that check:
 * a signature costs that read and the signing command.  A channel that
 * another connection replaced between two calls is set up again in the
 * next one (export, session key, the read once more). */
TEST_F(SkfFlow, SignaturesCheckTheChannelOnceAndSetAReplacedOneUpAgain)
{
    ASSERT_TRUE(Connect(14));
    ASSERT_EQ(SAR_OK, OpenApplication());
    char szOld[sizeof(USER_PIN)], szNew[] = "abc12345";
    memcpy(szOld, USER_PIN, sizeof(USER_PIN));
    ULONG ulRetry = 0;
    ASSERT_EQ(SAR_OK, SKF_ChangePIN(m_hApp, USER_TYPE, szOld, szNew, &ulRetry)) << "signing wants a changed PIN";
    ASSERT_EQ(SAR_OK, SKF_VerifyPIN(m_hApp, USER_TYPE, szNew, &ulRetry));
    skftest::PkeyPtr issuer = skftest::RsaGenerate(1024);
    Bytes cert = skftest::SelfSignedCertificate(issuer.get(), "Brio flows");
    HCONTAINER hSm2 = nullptr, hRsa = nullptr;
    ECCPUBLICKEYBLOB eccPub = {};
    RSAPUBLICKEYBLOB rsaPub = {};
    ASSERT_EQ(SAR_OK, CreateContainer("sm2", &hSm2));
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hSm2, SGD_SM2_1, &eccPub));
    ASSERT_EQ(SAR_OK, CreateContainer("rsa", &hRsa));
    ASSERT_EQ(SAR_OK, SKF_GenRSAKeyPair(hRsa, 2048, &rsaPub));
    for (HCONTAINER h : {hSm2, hRsa})
        ASSERT_EQ(SAR_OK, SKF_ImportCertificate(h, TRUE, cert.data(), static_cast<ULONG>(cert.size())));
    skftest::PkeyPtr sm2Key = skftest::Sm2PublicKey(eccPub);
    skftest::PkeyPtr rsaKey = skftest::RsaPublicKey(rsaPub);
    ASSERT_NE(nullptr, sm2Key.get());
    ASSERT_NE(nullptr, rsaKey.get());

    auto eccSign = [&]() {
        Bytes e = skftest::RandomBytes(32);
        ECCSIGNATUREBLOB sig = {};
        ULONG ulRet = SKF_ECCSignData(hSm2, e.data(), 32, &sig);
        EXPECT_TRUE(ulRet != SAR_OK || skftest::Sm2VerifyDigest(sm2Key.get(), e, sig));
        return ulRet;
    };
    DEVHANDLE hOther = nullptr;
    HAPPLICATION hOtherApp = nullptr;
    struct Row {
        const char *what;
        std::function<ULONG()> call;
        unsigned long exchanges;
    } rows[] = {
        {"SKF_ECCSignData", eccSign, 2},
        {"SKF_RSASignData",
         [&]() {
             Bytes digest = skftest::Digest("SHA256", skftest::RandomBytes(64)), sig(256);
             ULONG ulSig = static_cast<ULONG>(sig.size());
             ULONG ulRet = SKF_RSASignData(hRsa, digest.data(), 32, sig.data(), &ulSig);
             sig.resize(ulSig);
             EXPECT_TRUE(ulRet != SAR_OK || skftest::RsaPublic(rsaKey.get(), sig, RSA_PKCS1_PADDING) == digest);
             return ulRet;
         },
         2},
        {"SKF_GetPINInfo",
         [&]() {
             ULONG ulMax = 0, ulRemain = 0;
             BOOL bDefault = TRUE;
             return SKF_GetPINInfo(m_hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault);
         },
         1},
        {"SKF_ECCSignData while this thread holds SKF_LockDev",
         [&]() {
             EXPECT_EQ(SAR_OK, SKF_LockDev(m_hDev, 0));
             ULONG ulRet = eccSign();
             EXPECT_EQ(SAR_OK, SKF_UnlockDev(m_hDev));
             return ulRet;
         },
         2},
        {"another connection sets its channel up",
         [&]() {
             std::string strName = NameOf(14), strApp = "Tola";
             ULONG ulMax = 0, ulRemain = 0;
             BOOL bDefault = TRUE;
             ULONG ulRet = SKF_ConnectDev(&strName[0], &hOther);
             if (ulRet == SAR_OK) ulRet = SKF_OpenApplication(hOther, &strApp[0], &hOtherApp);
             if (ulRet == SAR_OK) ulRet = SKF_GetPINInfo(hOtherApp, USER_TYPE, &ulMax, &ulRemain, &bDefault);
             return ulRet;
         },
         0},
        {"SKF_ECCSignData on the replaced channel", eccSign, 5},
        {"SKF_ECCSignData on the new channel", eccSign, 2},
    };
    for (const Row &r : rows) {
        unsigned long ulBefore = m_daemon.Exchanges(Serial(14));
        EXPECT_EQ(SAR_OK, r.call()) << r.what;
        if (r.exchanges != 0) {
            EXPECT_EQ(r.exchanges, m_daemon.Exchanges(Serial(14)) - ulBefore) << r.what;
        }
    }
    if (hOtherApp != nullptr) SKF_CloseApplication(hOtherApp);
    if (hOther != nullptr) SKF_DisConnectDev(hOther);
}

TEST_F(SkfFlow, CertificatesGoInAndComeOutUnchanged)
{
    ASSERT_TRUE(Connect(12));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("certs", &hContainer));
    ECCPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &pub));
    skftest::PkeyPtr rsa = skftest::RsaGenerate(1024);
    Bytes cert = skftest::SelfSignedCertificate(rsa.get(), "Brio flows");
    ASSERT_FALSE(cert.empty());
    ASSERT_EQ(SAR_OK, SKF_ImportCertificate(hContainer, TRUE, cert.data(), static_cast<ULONG>(cert.size())));
    ULONG ulLen = 0;
    ASSERT_EQ(SAR_OK, SKF_ExportCertificate(hContainer, TRUE, nullptr, &ulLen));
    EXPECT_EQ(cert.size(), ulLen);
    Bytes out(ulLen);
    ULONG ulShort = ulLen - 1;
    EXPECT_EQ(SAR_BUFFER_TOO_SMALL, SKF_ExportCertificate(hContainer, TRUE, out.data(), &ulShort));
    ASSERT_EQ(SAR_OK, SKF_ExportCertificate(hContainer, TRUE, out.data(), &ulLen));
    EXPECT_EQ(cert, out);
}

/* ---- Session keys, ciphers, digests and MACs ---- */

TEST_F(SkfFlow, SessionKeysExportedToAPeerAndImportedFromOneAgreeWithOpenSsl)
{
    ASSERT_TRUE(Connect(13));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("envelope", &hContainer));
    ECCPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &pub));
    BLOCKCIPHERPARAM param = {};
    Bytes block = skftest::RandomBytes(32);

    /* Exported under a peer's key: the peer recovers the key with OpenSSL. */
    skftest::PkeyPtr peer = skftest::Sm2Generate();
    ECCPUBLICKEYBLOB peerPub = skftest::Sm2PublicKeyBlob(peer.get());
    Bytes wrapped(sizeof(ECCCIPHERBLOB) + 64, 0);
    HANDLE hExported = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ECCExportSessionKey(hContainer, SGD_SMS4_ECB, &peerPub,
                                              reinterpret_cast<ECCCIPHERBLOB *>(wrapped.data()), &hExported));
    Keep(hExported);
    Bytes sessionKey = skftest::Sm2Decrypt(peer.get(), reinterpret_cast<ECCCIPHERBLOB *>(wrapped.data()));
    ASSERT_EQ(16u, sessionKey.size());
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hExported, param));
    Bytes out(64);
    ULONG ulOut = static_cast<ULONG>(out.size());
    ASSERT_EQ(SAR_OK, SKF_Encrypt(hExported, block.data(), 32, out.data(), &ulOut));
    out.resize(ulOut);
    EXPECT_EQ(skftest::Sm4(sessionKey, Bytes(), block, true, false, false), out);

    /* Imported from a peer that wrapped it to the container's key. */
    Bytes mine = skftest::RandomBytes(16);
    skftest::PkeyPtr containerKey = skftest::Sm2PublicKey(pub);
    Bytes toImport = skftest::Sm2Encrypt(containerKey.get(), mine);
    HANDLE hImported = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ImportSessionKey(hContainer, SGD_SMS4_ECB, toImport.data(),
                                           static_cast<ULONG>(toImport.size()), &hImported));
    Keep(hImported);
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hImported, param));
    out.assign(64, 0);
    ulOut = static_cast<ULONG>(out.size());
    ASSERT_EQ(SAR_OK, SKF_Encrypt(hImported, block.data(), 32, out.data(), &ulOut));
    out.resize(ulOut);
    EXPECT_EQ(skftest::Sm4(mine, Bytes(), block, true, false, false), out);
}

/* A cipher record takes offsetof(ECCCIPHERBLOB, Cipher) + CipherLen bytes:
 * the calls that fill one write no more than that, and an import reads no
 * more than ulWrapedLen.  Each record here ends at an inaccessible page. */
TEST_F(SkfFlow, CipherRecordsKeepToTheRoomOfTheirCipherLength)
{
    ASSERT_TRUE(Connect(40));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("records", &hContainer));
    ECCPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &pub));
    const size_t nHead = offsetof(ECCCIPHERBLOB, Cipher);
    skftest::PkeyPtr peer = skftest::Sm2Generate();
    ECCPUBLICKEYBLOB peerPub = skftest::Sm2PublicKeyBlob(peer.get());

    /* Filled: a session key (16 bytes) and an encryption of 40 bytes. */
    oracle::GuardedBytes exported(nHead + 16);
    ASSERT_NE(nullptr, exported.Data());
    HANDLE hExported = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ECCExportSessionKey(hContainer, SGD_SMS4_ECB, &peerPub, exported.As<ECCCIPHERBLOB>(),
                                              &hExported));
    Keep(hExported);
    EXPECT_EQ(16u, skftest::Sm2Decrypt(peer.get(), exported.As<ECCCIPHERBLOB>()).size());
    Bytes plain = skftest::RandomBytes(40);
    oracle::GuardedBytes encrypted(nHead + plain.size());
    ASSERT_NE(nullptr, encrypted.Data());
    ASSERT_EQ(SAR_OK, SKF_ExtECCEncrypt(m_hDev, &peerPub, plain.data(), static_cast<ULONG>(plain.size()),
                                        encrypted.As<ECCCIPHERBLOB>()));
    EXPECT_EQ(plain, skftest::Sm2Decrypt(peer.get(), encrypted.As<ECCCIPHERBLOB>()));

    /* Imported: the record's length is held to ulWrapedLen. */
    skftest::PkeyPtr containerKey = skftest::Sm2PublicKey(pub);
    Bytes record = skftest::Sm2Encrypt(containerKey.get(), skftest::RandomBytes(16));
    const size_t nWhole = nHead + reinterpret_cast<const ECCCIPHERBLOB *>(record.data())->CipherLen;
    const std::pair<size_t, ULONG> cases[] = {
        {nWhole - 1, SAR_INDATALENERR},
        {nHead, SAR_INDATALENERR},
        {nHead - 1, SAR_INDATALENERR},
        {0, SAR_INDATALENERR},
        {nWhole, SAR_OK},
    };
    for (const auto &c : cases) {
        oracle::GuardedBytes wrapped(c.first, record);
        ASSERT_NE(nullptr, wrapped.Data());
        HANDLE hImported = nullptr;
        EXPECT_EQ(c.second, SKF_ImportSessionKey(hContainer, SGD_SMS4_ECB, wrapped.Data(),
                                                 static_cast<ULONG>(c.first), &hImported))
            << c.first;
        if (hImported != nullptr) Keep(hImported);
    }
}

/* Each allocation made inside a call that hands out a key or agreement
 * handle fails in turn: the call answers SAR_MEMORYERR (or gets over it),
 * nothing is thrown at the caller, and another thread takes the device at
 * once. */
TEST_F(SkfFlow, AnAllocationFailingInsideACallEndsItWithTheDeviceFree)
{
    ASSERT_TRUE(Connect(41));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("memory", &hContainer));
    ECCPUBLICKEYBLOB pub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &pub));
    skftest::PkeyPtr containerKey = skftest::Sm2PublicKey(pub);
    Bytes wrapped = skftest::Sm2Encrypt(containerKey.get(), skftest::RandomBytes(16));
    skftest::PkeyPtr peer = skftest::Sm2Generate(), peerTemp = skftest::Sm2Generate();
    ECCPUBLICKEYBLOB peerPub = skftest::Sm2PublicKeyBlob(peer.get());
    ECCPUBLICKEYBLOB peerTempPub = skftest::Sm2PublicKeyBlob(peerTemp.get());
    Bytes exported(offsetof(ECCCIPHERBLOB, Cipher) + 16);
    ECCPUBLICKEYBLOB temp = {};
    BYTE abId[] = "1234567812345678", abPeerId[] = "BOB";

    const std::pair<const char *, std::function<ULONG(HANDLE *)>> cases[] = {
        {"SKF_ImportSessionKey",
         [&](HANDLE *ph) {
             return SKF_ImportSessionKey(hContainer, SGD_SMS4_ECB, wrapped.data(),
                                         static_cast<ULONG>(wrapped.size()), ph);
         }},
        {"SKF_ECCExportSessionKey",
         [&](HANDLE *ph) {
             return SKF_ECCExportSessionKey(hContainer, SGD_SMS4_ECB, &peerPub,
                                            reinterpret_cast<ECCCIPHERBLOB *>(exported.data()), ph);
         }},
        {"SKF_GenerateAgreementDataWithECC",
         [&](HANDLE *ph) { return SKF_GenerateAgreementDataWithECC(hContainer, SGD_SMS4_ECB, &temp, abId, 16, ph); }},
        {"SKF_GenerateAgreementDataAndKeyWithECC",
         [&](HANDLE *ph) {
             return SKF_GenerateAgreementDataAndKeyWithECC(hContainer, SGD_SMS4_ECB, &peerPub, &peerTempPub, &temp,
                                                           abId, 16, abPeerId, 3, ph);
         }},
    };
    for (const auto &c : cases) {
        for (unsigned int n = 1;; ++n) {
            HANDLE h = nullptr;
            ULONG ulRet = SAR_FAIL;
            bool bThrown = false;
            skftest::FailAllocationsFrom(n);
            try {
                ulRet = c.second(&h);
            } catch (...) {
                bThrown = true;
            }
            skftest::DisarmAllocationFailure();
            if (h != nullptr) Keep(h);
            ULONG ulLock = SAR_FAIL;
            std::thread other([&] {
                ulLock = SKF_LockDev(m_hDev, 0);
                SKF_UnlockDev(m_hDev);
            });
            other.join();
            EXPECT_EQ(SAR_OK, ulLock) << c.first << ": the device stayed locked after allocation " << n;
            ASSERT_FALSE(bThrown) << c.first << ": an exception left the call at allocation " << n;
            ASSERT_EQ(SAR_OK, ulLock);
            if (!skftest::AllocationFailed()) {
                EXPECT_EQ(SAR_OK, ulRet) << c.first;
                break;
            }
            if (ulRet != SAR_OK) {
                EXPECT_EQ(SAR_MEMORYERR, ulRet) << c.first << ", allocation " << n;
                EXPECT_EQ(nullptr, h) << c.first << ", allocation " << n;
            }
        }
    }
}

/* No memory for the image of a large object in a whole write: the call
 * answers SAR_MEMORYERR, gives the device back on its way out (another
 * thread takes it at once) and leaves the file as it was. */
TEST_F(SkfFlow, AnAllocationFailingInsideAFileWriteLeavesTheDeviceFree)
{
    const unsigned int ulAddr = 49;
    ASSERT_TRUE(Connect(ulAddr));
    ASSERT_EQ(SAR_OK, OpenApplication());
    const struct {
        const char *pszName;
        ULONG ulSize;
    } cases[] = {
        {"raw", 20000},       /* one file, content as it is */
        {"pieces", 30000},    /* header and content over two files */
    };
    for (const auto &c : cases) {
        std::string strName = c.pszName;
        ASSERT_EQ(SAR_OK, SKF_CreateFile(m_hApp, &strName[0], c.ulSize, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT));
        Bytes before(c.ulSize), after(c.ulSize);
        ULONG ulLen = c.ulSize;
        ASSERT_EQ(SAR_OK, SKF_ReadFile(m_hApp, &strName[0], 0, c.ulSize, before.data(), &ulLen));
        ASSERT_EQ(c.ulSize, ulLen);
        Bytes data = skftest::RandomBytes(c.ulSize);
        skftest::FailAllocationOfAtLeast(c.ulSize);
        ULONG ulRet = SKF_WriteFile(m_hApp, &strName[0], 0, data.data(), c.ulSize);
        skftest::DisarmAllocationFailure();
        ASSERT_TRUE(skftest::AllocationFailed()) << c.pszName << ": no buffer of the object's size was asked for";
        EXPECT_EQ(SAR_MEMORYERR, ulRet) << c.pszName;
        ASSERT_TRUE(DevMutexFreeAtOnce(DeviceIdOf(ulAddr))) << c.pszName << ": the write left the device locked";
        ULONG ulLock = SAR_FAIL;
        std::thread other([&] {
            ulLock = SKF_LockDev(m_hDev, 0);
            if (ulLock == SAR_OK) SKF_UnlockDev(m_hDev);
        });
        other.join();
        EXPECT_EQ(SAR_OK, ulLock) << c.pszName;
        ulLen = c.ulSize;
        ASSERT_EQ(SAR_OK, SKF_ReadFile(m_hApp, &strName[0], 0, c.ulSize, after.data(), &ulLen)) << c.pszName;
        ASSERT_EQ(c.ulSize, ulLen) << c.pszName;
        EXPECT_TRUE(before == after) << c.pszName << ": the failed write changed the file";
    }
}

/* A key pair made outside, sent in an envelope: its private key under a
 * session key, the session key under the container's signature key. */
TEST_F(SkfFlow, AnEnvelopedKeyPairBecomesTheExchangeKey)
{
    ASSERT_TRUE(Connect(31));
    ASSERT_EQ(SAR_OK, OpenApplication());
    ASSERT_EQ(SAR_OK, VerifyUserPin());
    HCONTAINER hContainer = nullptr;
    ASSERT_EQ(SAR_OK, CreateContainer("envelope", &hContainer));
    ECCPUBLICKEYBLOB signPub = {};
    ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(hContainer, SGD_SM2_1, &signPub));

    skftest::PkeyPtr exchange = skftest::Sm2Generate();
    ECCPRIVATEKEYBLOB exchangePri = skftest::Sm2PrivateBlob(exchange.get());
    Bytes sessionKey = skftest::RandomBytes(16);
    skftest::PkeyPtr signKey = skftest::Sm2PublicKey(signPub);
    Bytes wrapped = skftest::Sm2Encrypt(signKey.get(), sessionKey);
    /* The record's cipher runs past its one Cipher byte. */
    Bytes record(sizeof(ENVELOPEDKEYBLOB) + 16, 0);
    ENVELOPEDKEYBLOB head = {};
    head.Version = 1;
    head.ulSymmAlgID = SGD_SMS4_ECB;
    head.ulBits = 256;
    skftest::PutRight(head.cbEncryptedPriKey, 64,
                      skftest::Sm4(sessionKey, Bytes(), skftest::Tail(exchangePri.PrivateKey, 64, 32), true, false,
                                   false));
    head.PubKey = skftest::Sm2PublicKeyBlob(exchange.get());
    memcpy(record.data(), &head, offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob));
    memcpy(record.data() + offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob), wrapped.data(),
           std::min(wrapped.size(), record.size() - offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob)));
    OPENSSL_cleanse(&exchangePri, sizeof(exchangePri));
    ASSERT_EQ(SAR_OK, SKF_ImportECCKeyPair(hContainer, reinterpret_cast<ENVELOPEDKEYBLOB *>(record.data())));

    ECCPUBLICKEYBLOB exported = {};
    ULONG ulLen = sizeof(exported);
    ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(hContainer, FALSE, reinterpret_cast<BYTE *>(&exported), &ulLen));
    EXPECT_EQ(0, memcmp(&head.PubKey, &exported, sizeof(exported)));

    /* The imported private key unwraps what is sent to its public key. */
    Bytes mine = skftest::RandomBytes(16), block = skftest::RandomBytes(16);
    Bytes toImport = skftest::Sm2Encrypt(exchange.get(), mine);
    HANDLE hImported = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ImportSessionKey(hContainer, SGD_SMS4_ECB, toImport.data(),
                                           static_cast<ULONG>(toImport.size()), &hImported));
    Keep(hImported);
    BLOCKCIPHERPARAM param = {};
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hImported, param));
    Bytes out(32);
    ULONG ulOut = static_cast<ULONG>(out.size());
    ASSERT_EQ(SAR_OK, SKF_Encrypt(hImported, block.data(), 16, out.data(), &ulOut));
    out.resize(ulOut);
    EXPECT_EQ(skftest::Sm4(mine, Bytes(), block, true, false, false), out);
}

struct CipherCase {
    const char *pszName;
    unsigned int ulAddr;
    ULONG ulAlg;
    const char *pszOpenSsl;  /* the same cipher in OpenSSL */
    ULONG ulPadding;
    size_t nData;
};

std::ostream &operator<<(std::ostream &os, const CipherCase &c) { return os << c.pszName; }

class SkfCipherFlow : public SkfFlow, public ::testing::WithParamInterface<CipherCase> {};

TEST_P(SkfCipherFlow, EncryptsAndDecryptsAsOpenSslDoes)
{
    const CipherCase &c = GetParam();
    ASSERT_TRUE(Connect(c.ulAddr));
    const bool bCbc = strstr(c.pszOpenSsl, "CBC") != nullptr;
    Bytes key = skftest::RandomBytes(c.ulAlg == ALG_SOFT_3DES_ECB ? 24 : 16), iv = skftest::RandomBytes(16),
          data = skftest::RandomBytes(c.nData);
    HANDLE hKey = nullptr;
    ASSERT_EQ(SAR_OK, SKF_SetSymmKey(m_hDev, key.data(), c.ulAlg, &hKey));
    Keep(hKey);
    BLOCKCIPHERPARAM param = {};
    memcpy(param.IV, iv.data(), 16);
    param.IVLen = bCbc ? 16 : 0;
    param.PaddingType = c.ulPadding;
    Bytes expected = oracle::Cipher(c.pszOpenSsl, true, key, bCbc ? iv.data() : nullptr, data, c.ulPadding != 0);

    /* One shot, with a size query first. */
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hKey, param));
    ULONG ulOut = 0;
    ASSERT_EQ(SAR_OK, SKF_Encrypt(hKey, data.data(), static_cast<ULONG>(data.size()), nullptr, &ulOut));
    Bytes out(ulOut);
    ASSERT_EQ(SAR_OK, SKF_Encrypt(hKey, data.data(), static_cast<ULONG>(data.size()), out.data(), &ulOut));
    out.resize(ulOut);
    EXPECT_EQ(expected, out);

    /* In pieces. */
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hKey, param));
    Bytes pieces(data.size() + 32);
    ULONG ulFirst = static_cast<ULONG>(pieces.size());
    ASSERT_EQ(SAR_OK, SKF_EncryptUpdate(hKey, data.data(), 20, pieces.data(), &ulFirst));
    ULONG ulSecond = static_cast<ULONG>(pieces.size() - ulFirst);
    ASSERT_EQ(SAR_OK,
              SKF_EncryptUpdate(hKey, data.data() + 20, static_cast<ULONG>(data.size() - 20), pieces.data() + ulFirst,
                                &ulSecond));
    ULONG ulLast = static_cast<ULONG>(pieces.size() - ulFirst - ulSecond);
    ASSERT_EQ(SAR_OK, SKF_EncryptFinal(hKey, pieces.data() + ulFirst + ulSecond, &ulLast));
    pieces.resize(ulFirst + ulSecond + ulLast);
    EXPECT_EQ(expected, pieces);

    /* And back. */
    ASSERT_EQ(SAR_OK, SKF_DecryptInit(hKey, param));
    Bytes plain(expected.size());
    ULONG ulPlain = static_cast<ULONG>(plain.size());
    ASSERT_EQ(SAR_OK, SKF_Decrypt(hKey, expected.data(), static_cast<ULONG>(expected.size()), plain.data(), &ulPlain));
    plain.resize(ulPlain);
    EXPECT_EQ(data, plain);
}

INSTANTIATE_TEST_SUITE_P(Sm4, SkfCipherFlow,
                         ::testing::Values(CipherCase{"EcbBlocks", 14, SGD_SMS4_ECB, "SM4-ECB", 0, 48},
                                           CipherCase{"EcbPadded", 15, SGD_SMS4_ECB, "SM4-ECB", 1, 45},
                                           CipherCase{"CbcBlocks", 16, SGD_SMS4_CBC, "SM4-CBC", 0, 64},
                                           CipherCase{"CbcPadded", 17, SGD_SMS4_CBC, "SM4-CBC", 1, 33}),
                         [](const auto &info) { return std::string(info.param.pszName); });

/* The software triple DES in blocks of 8: whole blocks that are no whole
 * key length, and padded data whose ciphertext is none either. */
INSTANTIATE_TEST_SUITE_P(TripleDes, SkfCipherFlow,
                         ::testing::Values(CipherCase{"EcbBlocks", 43, ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", 0, 40},
                                           CipherCase{"EcbPadded", 44, ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", 1, 24}),
                         [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(SkfFlow, MacIsTheLastCbcBlockAsOpenSslComputesIt)
{
    ASSERT_TRUE(Connect(20));
    Bytes key = skftest::RandomBytes(16), iv = skftest::RandomBytes(16), data = skftest::RandomBytes(64);
    HANDLE hKey = SymmKey(key, SGD_SMS4_MAC);
    ASSERT_NE(nullptr, hKey);
    BLOCKCIPHERPARAM param = CbcParam(iv);
    HANDLE hMac = nullptr;
    ASSERT_EQ(SAR_OK, SKF_MacInit(hKey, &param, &hMac));
    Keep(hMac);
    Bytes cbc = skftest::Sm4(key, iv, data, true, true, false);
    Bytes expected(cbc.end() - 16, cbc.end());
    ASSERT_EQ(SAR_OK, SKF_MacUpdate(hMac, data.data(), 32));
    /* A MAC handle is no key handle and a key handle no MAC handle: every
     * call given the other kind refuses it and leaves the MAC where it was. */
    Bytes out(64);
    ULONG ulOut = 0;
    const struct {
        const char *pszCall;
        std::function<ULONG()> call;
    } cases[] = {
        {"EncryptInit(MAC)", [&] { return SKF_EncryptInit(hMac, param); }},
        {"DecryptInit(MAC)", [&] { return SKF_DecryptInit(hMac, param); }},
        {"Encrypt(MAC)", [&] { return SKF_Encrypt(hMac, data.data(), 16, out.data(), &(ulOut = 64)); }},
        {"EncryptUpdate(MAC)", [&] { return SKF_EncryptUpdate(hMac, data.data(), 16, out.data(), &(ulOut = 64)); }},
        {"EncryptFinal(MAC)", [&] { return SKF_EncryptFinal(hMac, out.data(), &(ulOut = 64)); }},
        {"Decrypt(MAC)", [&] { return SKF_Decrypt(hMac, data.data(), 16, out.data(), &(ulOut = 64)); }},
        {"DecryptUpdate(MAC)", [&] { return SKF_DecryptUpdate(hMac, data.data(), 16, out.data(), &(ulOut = 64)); }},
        {"DecryptFinal(MAC)", [&] { return SKF_DecryptFinal(hMac, out.data(), &(ulOut = 64)); }},
        {"MacInit(MAC)", [&] {
             HANDLE h = nullptr;
             return SKF_MacInit(hMac, &param, &h);
         }},
        {"Mac(key)", [&] { return SKF_Mac(hKey, data.data(), 16, out.data(), &(ulOut = 64)); }},
        {"MacUpdate(key)", [&] { return SKF_MacUpdate(hKey, data.data(), 16); }},
        {"MacFinal(key)", [&] { return SKF_MacFinal(hKey, out.data(), &(ulOut = 64)); }},
    };
    for (const auto &c : cases) EXPECT_EQ(SAR_INVALIDHANDLEERR, c.call()) << c.pszCall;
    ASSERT_EQ(SAR_OK, SKF_MacUpdate(hMac, data.data() + 32, 32));
    Bytes mac(16);
    ULONG ulMac = 16;
    ASSERT_EQ(SAR_OK, SKF_MacFinal(hMac, mac.data(), &ulMac));
    EXPECT_EQ(expected, mac);
    /* The MAC handle goes before its key. */
    EXPECT_EQ(SAR_OK, SKF_CloseHandle(hMac));
    Forget(hMac);
}

/* A command sent by hand can reach the token's one cipher state: an SM4
 * init with another IV between two updates of a running encryption does
 * not make the second update encipher on from that IV. */
TEST_F(SkfFlow, AHandSentCipherInitBetweenTwoUpdatesLeavesTheOutputOpenSsls)
{
    ASSERT_TRUE(Connect(61));
    Bytes key = skftest::RandomBytes(16), iv = skftest::RandomBytes(16), otherIv = skftest::RandomBytes(16),
          data = skftest::RandomBytes(64);
    HANDLE hKey = SymmKey(key, SGD_SMS4_CBC);
    ASSERT_NE(nullptr, hKey);
    ASSERT_EQ(SAR_OK, SKF_EncryptInit(hKey, CbcParam(iv)));
    Bytes out(64);
    ULONG ulFirst = 32;
    ASSERT_EQ(SAR_OK, SKF_EncryptUpdate(hKey, data.data(), 32, out.data(), &ulFirst));
    ASSERT_EQ(32u, ulFirst);

    /* The SM4-CBC encrypting init: B0 A4 00 00, Lc 32, Le 0; application 0,
     * key 0, spec 0x1302, IV length 16, the IV, eight zero bytes. */
    Bytes frame = {0xB0, 0xA4, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0x02, 0x00, 0x10};
    frame.insert(frame.end(), otherIv.begin(), otherIv.end());
    frame.insert(frame.end(), 8, 0x00);
    Bytes answer(64);
    ULONG ulAnswer = static_cast<ULONG>(answer.size());
    ASSERT_EQ(SAR_OK, SKF_Transmit(m_hDev, frame.data(), static_cast<ULONG>(frame.size()), answer.data(), &ulAnswer));
    ASSERT_LE(2u, ulAnswer);
    ASSERT_EQ(0x90, answer[0]);
    ASSERT_EQ(0x00, answer[1]);

    ULONG ulSecond = 32;
    ASSERT_EQ(SAR_OK, SKF_EncryptUpdate(hKey, data.data() + 32, 32, out.data() + 32, &ulSecond));
    ASSERT_EQ(32u, ulSecond);
    EXPECT_EQ(oracle::Cipher("SM4-CBC", true, key, iv.data(), data, false), out);
}

/* Only PaddingType 0 (none) and 1 (PKCS #7) start a cipher run, on the
 * token and in software, in both directions. */
TEST_F(SkfFlow, CipherInitsRefusePaddingTypesOtherThanNoneAndPkcs7)
{
    ASSERT_TRUE(Connect(42));
    for (ULONG ulAlg : {static_cast<ULONG>(SGD_SMS4_CBC), static_cast<ULONG>(ALG_SOFT_3DES_ECB)}) {
        Bytes key = skftest::RandomBytes(ulAlg == ALG_SOFT_3DES_ECB ? 24 : 16), data = skftest::RandomBytes(48);
        HANDLE hKey = nullptr;
        ASSERT_EQ(SAR_OK, SKF_SetSymmKey(m_hDev, key.data(), ulAlg, &hKey));
        Keep(hKey);
        const struct {
            ULONG ulPadding;
            ULONG ulExpected;
        } cases[] = {{2, SAR_INVALIDPARAMERR}, {0xFFFFFFFFu, SAR_INVALIDPARAMERR}, {0, SAR_OK}, {1, SAR_OK}};
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(ulAlg) + " padding " + std::to_string(c.ulPadding));
            BLOCKCIPHERPARAM param = {};
            param.PaddingType = c.ulPadding;
            EXPECT_EQ(c.ulExpected, SKF_EncryptInit(hKey, param));
            EXPECT_EQ(c.ulExpected, SKF_DecryptInit(hKey, param));
            if (c.ulExpected == SAR_OK) continue;
            /* No run was started on the new key: nothing is enciphered. */
            Bytes out(64);
            ULONG ulOut = static_cast<ULONG>(out.size());
            EXPECT_EQ(SAR_NOTINITIALIZEERR, SKF_Encrypt(hKey, data.data(), 48, out.data(), &ulOut));
        }
    }
}

/* What cannot be finished answers alike on the token and in software: a
 * bad padding SAR_DECRYPTPADERR, a partial last block SAR_INDATALENERR. */
struct UnfinishedCase {
    const char *pszName;
    ULONG ulAlg;
    const char *pszOpenSsl;
    bool bEncrypt;
    ULONG ulPadding;
    bool bOneShot;     /* else an update of the data, then the final */
    size_t nData;      /* bytes; a one-shot decrypts two blocks ending in a zero byte */
    ULONG ulExpected;
};

TEST_F(SkfFlow, WhatCannotBeFinishedAnswersAlikeOnTheTokenAndInSoftware)
{
    ASSERT_TRUE(Connect(45));
    const UnfinishedCase cases[] = {
        {"token bad padding", SGD_SMS4_ECB, "SM4-ECB", false, 1, true, 32, SAR_DECRYPTPADERR},
        {"software bad padding", ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", false, 1, true, 16, SAR_DECRYPTPADERR},
        {"token partial ciphertext", SGD_SMS4_ECB, "SM4-ECB", false, 1, false, 3, SAR_INDATALENERR},
        {"software partial ciphertext", ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", false, 1, false, 3, SAR_INDATALENERR},
        {"software partial unpadded ciphertext", ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", false, 0, false, 11,
         SAR_INDATALENERR},
        {"token partial unpadded plain text", SGD_SMS4_ECB, "SM4-ECB", true, 0, false, 3, SAR_INDATALENERR},
        {"software partial unpadded plain text", ALG_SOFT_3DES_ECB, "DES-EDE3-ECB", true, 0, false, 3,
         SAR_INDATALENERR},
    };
    for (const UnfinishedCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        Bytes key = skftest::RandomBytes(c.ulAlg == ALG_SOFT_3DES_ECB ? 24 : 16), data = skftest::RandomBytes(c.nData);
        HANDLE hKey = nullptr;
        ASSERT_EQ(SAR_OK, SKF_SetSymmKey(m_hDev, key.data(), c.ulAlg, &hKey));
        Keep(hKey);
        BLOCKCIPHERPARAM param = {};
        param.PaddingType = c.ulPadding;
        ASSERT_EQ(SAR_OK, c.bEncrypt ? SKF_EncryptInit(hKey, param) : SKF_DecryptInit(hKey, param));
        Bytes out(64, 0xEE);
        ULONG ulOut = static_cast<ULONG>(out.size());
        if (c.bOneShot) {
            data.back() = 0;
            Bytes cipherText = oracle::Cipher(c.pszOpenSsl, true, key, nullptr, data, false);
            EXPECT_EQ(c.ulExpected, SKF_Decrypt(hKey, cipherText.data(), static_cast<ULONG>(cipherText.size()),
                                                out.data(), &ulOut));
            /* Nothing of the blocks before the bad one is handed out. */
            EXPECT_EQ(Bytes(64, 0xEE), out);
            EXPECT_EQ(64u, ulOut);
            continue;
        }
        auto update = c.bEncrypt ? SKF_EncryptUpdate : SKF_DecryptUpdate;
        auto final = c.bEncrypt ? SKF_EncryptFinal : SKF_DecryptFinal;
        ASSERT_EQ(SAR_OK, update(hKey, data.data(), static_cast<ULONG>(data.size()), out.data(), &ulOut));
        ulOut = static_cast<ULONG>(out.size());
        EXPECT_EQ(c.ulExpected, final(hKey, out.data(), &ulOut));
    }
}

/* ---- Inputs that 32 bits cannot count ---- */

/* Bytes a call holds back plus a new input of nearly 4 GiB: every cipher
 * and MAC road refuses the total before it copies or sends anything.  The
 * caller's buffer ends at a page nothing may touch, and the call runs in a
 * child process, so that a copy past either end ends the child only. */
struct HugeInputCase {
    const char *pszName;
    ULONG ulAlg;
    enum Road { EncryptUpdate, DecryptUpdate, OneShot, MacUpdate } eRoad;
    ULONG ulHeld;  /* bytes given first */
    ULONG ulHuge;
    bool bOutput;  /* false: a size query */
};

TEST_F(SkfFlow, InputsBeyondWhat32BitsCountAreRefusedBeforeAnythingIsCopied)
{
    ASSERT_TRUE(Connect(48));
    const HugeInputCase cases[] = {
        {"token encrypt update", SGD_SMS4_ECB, HugeInputCase::EncryptUpdate, 1, 0xFFFFFFFFu, true},
        {"token encrypt update, size query", SGD_SMS4_ECB, HugeInputCase::EncryptUpdate, 1, 0xFFFFFFFFu, false},
        {"token decrypt update", SGD_SMS4_CBC, HugeInputCase::DecryptUpdate, 16, 0xFFFFFFF1u, true},
        {"software encrypt update", ALG_SOFT_3DES_ECB, HugeInputCase::EncryptUpdate, 1, 0xFFFFFFFFu, true},
        {"software decrypt update", ALG_SOFT_3DES_ECB, HugeInputCase::DecryptUpdate, 1, 0xFFFFFFFFu, true},
        {"token one-shot", SGD_SMS4_ECB, HugeInputCase::OneShot, 1, 0xFFFFFFFFu, true},
        {"software one-shot", ALG_SOFT_3DES_ECB, HugeInputCase::OneShot, 1, 0xFFFFFFFFu, true},
        {"token MAC update", SGD_SMS4_MAC, HugeInputCase::MacUpdate, 16, 0xFFFFFFF0u, true},
        {"software MAC update", ALG_SOFT_3DES_ECB, HugeInputCase::MacUpdate, 8, 0xFFFFFFF8u, true},
    };
    oracle::GuardedBytes huge(0xFFFFFFFFu);
    ASSERT_NE(nullptr, huge.Data());
    for (const HugeInputCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        Bytes key = skftest::RandomBytes(c.ulAlg == ALG_SOFT_3DES_ECB ? 24 : 16), first(16, 0x5A);
        HANDLE hKey = nullptr;
        ASSERT_EQ(SAR_OK, SKF_SetSymmKey(m_hDev, key.data(), c.ulAlg, &hKey));
        Keep(hKey);
        BLOCKCIPHERPARAM param = {};
        param.PaddingType = c.eRoad == HugeInputCase::OneShot ? 1 : 0;
        BYTE abOut[64];
        ULONG ulOut = sizeof(abOut);
        HANDLE hMac = nullptr;
        if (c.eRoad == HugeInputCase::MacUpdate) {
            ASSERT_EQ(SAR_OK, SKF_MacInit(hKey, &param, &hMac));
            Keep(hMac);
            ASSERT_EQ(SAR_OK, SKF_MacUpdate(hMac, first.data(), c.ulHeld));
        } else if (c.eRoad == HugeInputCase::DecryptUpdate) {
            ASSERT_EQ(SAR_OK, SKF_DecryptInit(hKey, param));
            ASSERT_EQ(SAR_OK, SKF_DecryptUpdate(hKey, first.data(), c.ulHeld, abOut, &ulOut));
        } else {
            ASSERT_EQ(SAR_OK, SKF_EncryptInit(hKey, param));
            ASSERT_EQ(SAR_OK, SKF_EncryptUpdate(hKey, first.data(), c.ulHeld, abOut, &ulOut));
        }
        BYTE *pbHuge = huge.Last(c.ulHuge);
        int aPipe[2];
        ASSERT_EQ(0, pipe(aPipe));
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ULONG ulLen = sizeof(abOut), ulRet = 0;
            BYTE *pbOut = c.bOutput ? abOut : nullptr;
            switch (c.eRoad) {
            case HugeInputCase::EncryptUpdate: ulRet = SKF_EncryptUpdate(hKey, pbHuge, c.ulHuge, pbOut, &ulLen); break;
            case HugeInputCase::DecryptUpdate: ulRet = SKF_DecryptUpdate(hKey, pbHuge, c.ulHuge, pbOut, &ulLen); break;
            case HugeInputCase::OneShot: ulRet = SKF_Encrypt(hKey, pbHuge, c.ulHuge, pbOut, &ulLen); break;
            case HugeInputCase::MacUpdate: ulRet = SKF_MacUpdate(hMac, pbHuge, c.ulHuge); break;
            }
            ssize_t nWritten = write(aPipe[1], &ulRet, sizeof(ulRet));
            _exit(nWritten == sizeof(ulRet) ? 0 : 1);
        }
        close(aPipe[1]);
        ULONG ulChild = 0;
        ssize_t nRead = read(aPipe[0], &ulChild, sizeof(ulChild));
        close(aPipe[0]);
        int iStatus = 0;
        ASSERT_EQ(pid, waitpid(pid, &iStatus, 0));
        bool bAnswered = WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0 && nRead == sizeof(ulChild);
        EXPECT_TRUE(bAnswered) << "the call ended its process: "
                               << (WIFSIGNALED(iStatus) ? strsignal(WTERMSIG(iStatus)) : "exit");
        if (bAnswered) {
            EXPECT_EQ(SAR_INDATALENERR, ulChild);
        }
    }
}

struct DigestCase {
    const char *pszName;
    unsigned int ulAddr;
    ULONG ulAlg;
    const char *pszOpenSsl;
};

std::ostream &operator<<(std::ostream &os, const DigestCase &c) { return os << c.pszName; }

class SkfDigestFlow : public SkfFlow, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(SkfDigestFlow, HashesAsOpenSslDoes)
{
    const DigestCase &c = GetParam();
    ASSERT_TRUE(Connect(c.ulAddr));
    Bytes data = skftest::RandomBytes(200);
    HANDLE hHash = nullptr;
    ASSERT_EQ(SAR_OK, SKF_DigestInit(m_hDev, c.ulAlg, nullptr, nullptr, 0, &hHash));
    Keep(hHash);
    Bytes out(64);
    ULONG ulOut = static_cast<ULONG>(out.size());
    ASSERT_EQ(SAR_OK, SKF_Digest(hHash, data.data(), static_cast<ULONG>(data.size()), out.data(), &ulOut));
    out.resize(ulOut);
    EXPECT_EQ(skftest::Digest(c.pszOpenSsl, data), out);

    HANDLE hPieces = nullptr;
    ASSERT_EQ(SAR_OK, SKF_DigestInit(m_hDev, c.ulAlg, nullptr, nullptr, 0, &hPieces));
    Keep(hPieces);
    ASSERT_EQ(SAR_OK, SKF_DigestUpdate(hPieces, data.data(), 77));
    ASSERT_EQ(SAR_OK, SKF_DigestUpdate(hPieces, data.data() + 77, 123));
    Bytes final(64);
    ULONG ulFinal = static_cast<ULONG>(final.size());
    ASSERT_EQ(SAR_OK, SKF_DigestFinal(hPieces, final.data(), &ulFinal));
    final.resize(ulFinal);
    EXPECT_EQ(skftest::Digest(c.pszOpenSsl, data), final);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, SkfDigestFlow,
                         ::testing::Values(DigestCase{"Sm3", 21, SGD_SM3, "SM3"},
                                           DigestCase{"Sha1", 22, SGD_SHA1, "SHA1"},
                                           DigestCase{"Sha256", 23, SGD_SHA256, "SHA256"}),
                         [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(SkfFlow, Sm3WithAPublicKeyHashesZFirst)
{
    ASSERT_TRUE(Connect(30));
    skftest::PkeyPtr key = skftest::Sm2Generate();
    ECCPUBLICKEYBLOB pub = skftest::Sm2PublicKeyBlob(key.get());
    BYTE abId[] = "1234567812345678";
    HANDLE hHash = nullptr;
    ASSERT_EQ(SAR_OK, SKF_DigestInit(m_hDev, SGD_SM3, &pub, abId, 16, &hHash));
    Keep(hHash);
    Bytes message = skftest::RandomBytes(50);
    Bytes e(32);
    ULONG ulLen = 32;
    ASSERT_EQ(SAR_OK, SKF_Digest(hHash, message.data(), static_cast<ULONG>(message.size()), e.data(), &ulLen));
    Bytes zm = skftest::Sm2Z(pub);
    zm.insert(zm.end(), message.begin(), message.end());
    EXPECT_EQ(skftest::Digest("SM3", zm), e);
}

}  // namespace
