/* The device context end to end against the virtual token: enumeration,
 * open and close, the session key of SM2 and RSA tokens, secure commands,
 * and the device mutex across processes.  Each test has its own bus and
 * address, and so its own device-mutex segment. */
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "SarnCore/tests/DevMutexProbe.h"
#include "VTokenContext.h"
#include "vtoken/testkit/VTokenTestKit.h"

extern char **environ;

static const unsigned int BUS = 3;

class ContextTest : public ::testing::Test {
protected:
    std::string AddToken(unsigned int ulAddr, unsigned int ulAlg = 0x13, std::vector<std::string> extra = {})
    {
        vtoken::TokenOptions opts;
        opts.serial = "VTCTX" + std::to_string(ulAddr);
        opts.bus = BUS;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        opts.extraArgs = extra;
        daemon.CreateToken(opts);
        return DeviceNameOf(BUS, ulAddr);
    }

    vtoken::Daemon daemon;
};

TEST_F(ContextTest, EnumReportsTheNeededSize)
{
    unsigned int size = 0;
    EXPECT_EQ(0u, CDeviceContext::Enum(DRIVER_TYPE_USB_BULK, 0x287F, 0xF00D, nullptr, &size));
    EXPECT_EQ(0u, size);
    AddToken(1);
    AddToken(2);
    char list[100];
    size = 10;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, CDeviceContext::Enum(DRIVER_TYPE_USB_BULK, 0x287F, 0xF00D, list, &size));
    EXPECT_EQ(65u, size);
    size = 0;
    EXPECT_EQ(0u, CDeviceContext::Enum(DRIVER_TYPE_USB_BULK, 0x287F, 0xF00D, nullptr, &size));
    EXPECT_EQ(65u, size);
    size = sizeof(list);
    EXPECT_EQ(0u, CDeviceContext::Enum(DRIVER_TYPE_USB_BULK, 0x287F, 0xF00D, list, &size));
    EXPECT_EQ(65u, size);
    EXPECT_EQ(0, strncmp(list, "Mirel&pid_f00d&bus_003&addr_00", 30));
}

TEST_F(ContextTest, OpenFailuresAreReported)
{
    CDeviceContext ctx;
    EXPECT_EQ(ERR_BAD_DEVICE_NAME, ctx.Open(DRIVER_TYPE_USB_BULK, "Mirel&bus_003&addr_003", true));
    EXPECT_EQ(0xFFFFFFFCu, ctx.Open(DRIVER_TYPE_USB_BULK, DeviceNameOf(BUS, 3).c_str(), true));
    EXPECT_EQ(nullptr, ctx.GetDeviceHandle()->m_hDevice);
}

/* Reads the device-mutex segment of a device id: id and ready mark. */
static bool ReadSegment(unsigned int ulDeviceID, int32_t *piID, uint32_t *pulMark)
{
    int id = shmget((key_t)ulDeviceID, 0, 0);
    if (id < 0) return false;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    if (p == (void *)-1) return false;
    memcpy(piID, p, 4);
    memcpy(pulMark, (char *)p + 4, 4);
    shmdt(p);
    return true;
}

TEST_F(ContextTest, LastCloseResetsTheMutexForTheNextOpen)
{
    std::string name = AddToken(4);
    for (int round = 0; round < 2; ++round) {
        CDeviceContext ctx;
        ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        ASSERT_NE(nullptr, ctx.GetDeviceHandle()->m_hDevice);
        EXPECT_EQ(0xF00D0304u, ctx.m_ulDeviceID);
        int32_t iID = 0;
        uint32_t ulMark = 0;
        ASSERT_TRUE(ReadSegment(ctx.m_ulDeviceID, &iID, &ulMark));
        EXPECT_EQ(DEV_MUTEX_READY, ulMark);
        EXPECT_EQ(shmget((key_t)ctx.m_ulDeviceID, 0, 0), iID);
        /* recursive */
        EXPECT_EQ(0u, ctx.WaitDevMutex());
        EXPECT_EQ(0u, ctx.WaitDevMutex());
        EXPECT_EQ(0u, ctx.ReleaseDevMutex());
        EXPECT_EQ(0u, ctx.ReleaseDevMutex());
        EXPECT_EQ(0u, ctx.Close());
        EXPECT_EQ(nullptr, ctx.GetDeviceHandle()->m_hDevice);
        ASSERT_TRUE(ReadSegment(0xF00D0304u, &iID, &ulMark));
        EXPECT_EQ(0u, ulMark);
        EXPECT_EQ(0, iID);
    }
}

/* A segment of the older, smaller layout left in the system: made anew
 * when nobody is attached to it, refused while someone is. */
TEST_F(ContextTest, ASmallerSegmentIsRenewedOnlyWhenNobodyIsAttached)
{
    const struct {
        unsigned int address;
        bool bAttached;
        unsigned int code;
    } rows[] = {{5, false, 0}, {6, true, (unsigned int)EINVAL}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.address);
        std::string name = AddToken(row.address);
        key_t key = (key_t)(0xF00D0300u | row.address);
        int old = shmget(key, 56, IPC_CREAT | IPC_EXCL | 0666);
        ASSERT_GE(old, 0);
        void *pOld = row.bAttached ? shmat(old, nullptr, 0) : nullptr;
        ASSERT_NE((void *)-1, pOld);
        {
            CDeviceContext ctx;
            EXPECT_EQ(row.code, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
            EXPECT_EQ(row.code == 0, ctx.m_hMutexHandle != nullptr);
            int now = shmget(key, 0, 0);
            struct shmid_ds ds;
            ASSERT_EQ(0, shmctl(now, IPC_STAT, &ds));
            EXPECT_EQ(row.bAttached ? 56u : (size_t)DEV_MUTEX_SEGMENT_SIZE, ds.shm_segsz);
            if (row.code == 0) {
                EXPECT_EQ(0u, ctx.WaitDevMutex());
                EXPECT_EQ(0ull, ctx.KeySlotOwner());
                EXPECT_EQ(0u, ctx.ReleaseDevMutex());
            }
        }
        if (pOld != nullptr) shmdt(pOld);
        shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
    }
}

/* ---- secure channel ---- */

struct ChannelCase {
    const char *name;
    unsigned int alg;
    unsigned int address;
};

class SessionKeyVTokenTest : public ContextTest, public ::testing::WithParamInterface<ChannelCase> {
protected:
    void OpenAuthenticated(CDeviceContext &ctx, const std::string &name)
    {
        ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        ASSERT_EQ(0u, AuthenticateAsOperator(ctx, (unsigned char)GetParam().alg));
    }
    /* A secure command: the PIN status of the user PIN. */
    static unsigned int SecureCommand(CDeviceContext &ctx)
    {
        unsigned char s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        return ctx.GetAPDUPin()->GetPINStatus(0, 1, &s0, &s1, &s2, &s3);
    }
};

TEST_P(SessionKeyVTokenTest, EstablishesAndFollowsTheSessionId)
{
    std::string name = AddToken(GetParam().address, GetParam().alg);
    CDeviceContext ctx;
    OpenAuthenticated(ctx, name);
    CDeviceInfo *pInfo = ctx.GetDeviceHandle();
    EXPECT_EQ(ERR_NO_SECURE_CHANNEL, SecureCommand(ctx));

    ASSERT_EQ(0u, ctx.SetSessionKey(true));
    EXPECT_EQ(2, pInfo->m_bySecurityMode);
    EXPECT_EQ(16u, pInfo->m_ulTransKeyLen);
    EXPECT_EQ(pInfo->m_pbTransKey[0], pInfo->m_pbSessionID[0]);
    EXPECT_EQ(pInfo->m_pbTransKey[1], pInfo->m_pbSessionID[1]);

    /* The token hands a new session id back with every secure answer. */
    int changes = 0;
    for (int i = 0; i < 5; ++i) {
        unsigned char sid[2] = {pInfo->m_pbSessionID[0], pInfo->m_pbSessionID[1]};
        ASSERT_EQ(0u, SecureCommand(ctx)) << "command " << i;
        changes += memcmp(sid, pInfo->m_pbSessionID, 2) != 0;
    }
    EXPECT_GE(changes, 4);

    /* An unforced call keeps the working channel. */
    unsigned char key[16];
    memcpy(key, pInfo->m_pbTransKey, 16);
    EXPECT_EQ(0u, ctx.SetSessionKey(false));
    EXPECT_EQ(0, memcmp(key, pInfo->m_pbTransKey, 16));
    /* A forced one replaces it. */
    EXPECT_EQ(0u, ctx.SetSessionKey(true));
    EXPECT_NE(0, memcmp(key, pInfo->m_pbTransKey, 16));
    EXPECT_EQ(0u, SecureCommand(ctx));
    EXPECT_EQ(0u, ctx.Close());
}

TEST_P(SessionKeyVTokenTest, RecoversAfterTheTokenLostTheSession)
{
    std::string name = AddToken(GetParam().address + 1, GetParam().alg);
    CDeviceContext first, second;
    OpenAuthenticated(first, name);
    OpenAuthenticated(second, name);
    ASSERT_EQ(0u, first.SetSessionKey(true));
    ASSERT_EQ(0u, SecureCommand(first));
    /* Another connection's session key replaces the first one's on the token. */
    ASSERT_EQ(0u, second.SetSessionKey(true));
    unsigned int ulLost = SecureCommand(first);
    EXPECT_TRUE(ulLost == 0x8000F526u || ulLost == 0x8000F525u || ulLost == 0x80006700u) << std::hex << ulLost;
    EXPECT_EQ(0u, first.SetSessionKey(false));
    EXPECT_EQ(0u, SecureCommand(first));
    EXPECT_EQ(0u, first.Close());
    EXPECT_EQ(0u, second.Close());
}

TEST_P(SessionKeyVTokenTest, TokenWithoutProductSignatureGetsNoSessionKey)
{
    std::string name = AddToken(GetParam().address + 2, GetParam().alg, {"--foreign-signature"});
    CDeviceContext ctx;
    OpenAuthenticated(ctx, name);
    CDeviceInfo *pInfo = ctx.GetDeviceHandle();
    EXPECT_EQ(NTE_BAD_SIGNATURE, ctx.SetSessionKey(true));
    EXPECT_EQ(0, pInfo->m_bySecurityMode);
    EXPECT_EQ(0u, pInfo->m_ulTransKeyLen);
    unsigned char zero[16] = {0};
    EXPECT_EQ(0, memcmp(zero, pInfo->m_pbTransKey, 16));
    EXPECT_EQ(ERR_NO_SECURE_CHANNEL, SecureCommand(ctx));
    EXPECT_EQ(0u, ctx.Close());
}

INSTANTIATE_TEST_SUITE_P(Tokens, SessionKeyVTokenTest,
                         ::testing::Values(ChannelCase{"SM2", 0x13, 10}, ChannelCase{"RSA", 3, 20}),
                         [](const ::testing::TestParamInfo<ChannelCase> &i) { return std::string(i.param.name); });

/* Each injected fault gives a clear code through the frame; a plain command
 * works right after it, and a secure one after the session recovery that
 * the product operator performs (an unforced SetSessionKey). */
struct FrameFaultCase {
    const char *name;
    const char *fault;
    unsigned int code;
    unsigned int address;
};

class FrameFaultTest : public ContextTest, public ::testing::WithParamInterface<FrameFaultCase> {};

TEST_P(FrameFaultTest, GivesItsCodeAndLeavesTheLinkWorking)
{
    const FrameFaultCase &c = GetParam();
    std::string name = AddToken(c.address);
    std::string serial = "VTCTX" + std::to_string(c.address);
    CDeviceContext ctx;
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ASSERT_EQ(0u, AuthenticateAsOperator(ctx, 0x13));
    ASSERT_EQ(0u, ctx.SetSessionKey(true));
    unsigned char sn[16];
    unsigned int snLen = sizeof(sn);

    daemon.InjectFault(serial, c.fault);
    EXPECT_EQ(c.code, ctx.GetAPDUChip()->GetTokenSN(sn, &snLen));
    snLen = sizeof(sn);
    ASSERT_EQ(0u, ctx.GetAPDUChip()->GetTokenSN(sn, &snLen));
    EXPECT_EQ(serial, std::string((const char *)sn, snLen));

    daemon.InjectFault(serial, c.fault);
    unsigned char status = 0;
    EXPECT_EQ(c.code, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, ctx.SetSessionKey(false));
    EXPECT_EQ(0u, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, ctx.Close());
}

/* Within one call the channel is checked once; a secure command whose
 * answer is lost may still have been carried out under a session id the
 * host never learnt, so the next check of the same call goes to the token
 * again, and the next secure command succeeds. */
TEST_P(FrameFaultTest, InACallTheSecureCommandAfterALostAnswerSucceeds)
{
    const FrameFaultCase &c = GetParam();
    std::string name = AddToken(c.address + 10);
    CDeviceContext ctx;
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ASSERT_EQ(0u, AuthenticateAsOperator(ctx, 0x13));
    ASSERT_EQ(0u, ctx.SetSessionKey(true));
    CDeviceInfo &info = *ctx.GetDeviceHandle();
    info.BeginCall();
    ASSERT_EQ(0u, ctx.SetSessionKey(false));
    unsigned char status = 0;
    ASSERT_EQ(0u, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    daemon.InjectFault("VTCTX" + std::to_string(c.address + 10), c.fault);
    EXPECT_EQ(c.code, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, ctx.SetSessionKey(false));
    EXPECT_EQ(0u, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    info.EndCall();
    EXPECT_EQ(0u, ctx.Close());
}

INSTANTIATE_TEST_SUITE_P(Faults, FrameFaultTest,
                         ::testing::Values(FrameFaultCase{"short_0", "short:0", ERR_BAD_LENGTH, 40},
                                           FrameFaultCase{"short_3", "short:3", ERR_BAD_LENGTH, 41},
                                           FrameFaultCase{"bad_tag", "bad-tag", ERR_CSW_TAG, 42},
                                           FrameFaultCase{"csw_status", "csw-status", ERR_USB_TRANSFER, 43},
                                           FrameFaultCase{"long", "long", ERR_USB_TRANSFER, 44},
                                           FrameFaultCase{"no_csw", "no-csw", ERR_USB_TRANSFER, 45},
                                           FrameFaultCase{"persistent_stall", "stall:50", ERR_USB_TRANSFER, 46}),
                         [](const ::testing::TestParamInfo<FrameFaultCase> &i) { return std::string(i.param.name); });

TEST_F(ContextTest, GarbageSecureAnswerFailsAndTheSessionRecovers)
{
    std::string name = AddToken(47);
    CDeviceContext ctx;
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ASSERT_EQ(0u, AuthenticateAsOperator(ctx, 0x13));
    ASSERT_EQ(0u, ctx.SetSessionKey(true));
    unsigned char sid[2] = {ctx.GetDeviceHandle()->m_pbSessionID[0], ctx.GetDeviceHandle()->m_pbSessionID[1]};
    daemon.InjectFault("VTCTX47", "garbage");
    unsigned char status = 0;
    unsigned int ulRet = ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr);
    EXPECT_NE(0u, ulRet);
    /* An answer block that does not decrypt changes nothing. */
    if (ulRet == CRYPTO_ERR_DECRYPT || ulRet == ERR_BAD_LENGTH) {
        EXPECT_EQ(0, memcmp(sid, ctx.GetDeviceHandle()->m_pbSessionID, 2));
    }
    EXPECT_EQ(0u, ctx.SetSessionKey(false));
    EXPECT_EQ(0u, ctx.GetAPDUPin()->GetPINStatus(0, 1, &status, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, ctx.Close());
}

/* ---- the device mutex across processes ---- */

struct Peer {
    pid_t pid = -1;
    int fd = -1;
};

static Peer StartPeer(const char *szMode, const std::string &name, const std::string &mark = "")
{
    Peer peer;
    int fds[2];
    if (pipe(fds) != 0) return peer;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const char *argv[] = {SARNCORE_PEER, szMode, name.c_str(), mark.empty() ? nullptr : mark.c_str(), nullptr};
    if (posix_spawn(&peer.pid, SARNCORE_PEER, &actions, nullptr, const_cast<char **>(argv), environ) != 0) {
        peer.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    peer.fd = fds[0];
    return peer;
}

/* The peer's first line, or "" when none came within the time. */
static std::string ReadLine(const Peer &peer, int iTimeoutMs)
{
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {peer.fd, POLLIN, 0};
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                       .count();
        if (poll(&p, 1, left > 0 ? left : 0) <= 0) break;
        char c;
        if (read(peer.fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return "";
}

static int Reap(Peer &peer)
{
    int status = 0;
    waitpid(peer.pid, &status, 0);
    close(peer.fd);
    return status;
}

TEST_F(ContextTest, SecondProcessWaitsForTheFirst)
{
    std::string name = AddToken(30);
    CDeviceContext ctx;
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ASSERT_EQ(0u, ctx.WaitDevMutex());
    Peer peer = StartPeer("wait", name);
    ASSERT_GT(peer.pid, 0);
    /* One segment, initialised once: the peer finds the mutex taken. */
    EXPECT_EQ("", ReadLine(peer, 1000));
    EXPECT_EQ(0u, ctx.ReleaseDevMutex());
    EXPECT_EQ("locked", ReadLine(peer, 10000));
    int status = Reap(peer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    /* We are still attached, so the peer's close did not reset the mutex. */
    EXPECT_EQ(0u, ctx.WaitDevMutex());
    EXPECT_EQ(0u, ctx.ReleaseDevMutex());
    EXPECT_EQ(0u, ctx.Close());
}

TEST_F(ContextTest, KilledHolderDoesNotBlockTheNext)
{
    std::string name = AddToken(31);
    Peer peer = StartPeer("hold", name);
    ASSERT_GT(peer.pid, 0);
    ASSERT_EQ("locked", ReadLine(peer, 10000));
    CDeviceContext ctx;
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    kill(peer.pid, SIGKILL);
    Reap(peer);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, ctx.WaitDevMutex());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(0u, ctx.ReleaseDevMutex());
    /* The recovered mutex works as before. */
    EXPECT_EQ(0u, ctx.WaitDevMutex());
    EXPECT_EQ(0u, ctx.ReleaseDevMutex());
    EXPECT_EQ(0u, ctx.Close());
}

TEST_F(ContextTest, ProcessesOpeningTogetherShareOneMutex)
{
    /* A fresh token opened by several processes at once: had any of them
     * initialised the mutex again, two would hold it together. */
    std::string name = AddToken(32);
    std::string mark = daemon.StateDir() + "/holder.mark";
    Peer peers[4];
    for (Peer &p : peers) {
        p = StartPeer("exclusive", name, mark);
        usleep(5000);
    }
    for (Peer &p : peers) {
        ASSERT_GT(p.pid, 0);
        EXPECT_EQ("locked", ReadLine(p, 20000));
        int status = Reap(p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

/* A context destroyed without Close gives back the holds it took, and
 * only those: a hold of the device that this thread has through another
 * context of the same token (as SKF_LockDev keeps one) stays whole. */
TEST_F(ContextTest, AContextDestroyedUnclosedGivesBackOnlyItsOwnHolds)
{
    std::string name = AddToken(33);
    CDeviceContext holder;
    ASSERT_EQ(0u, holder.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    CDeviceContext *pOther = new CDeviceContext();
    ASSERT_EQ(0u, pOther->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
    ASSERT_EQ(0u, pOther->HoldDevMutex());
    ASSERT_EQ(0u, pOther->HoldDevMutex());
    ASSERT_EQ(0u, holder.HoldDevMutex());
    delete pOther;
    EXPECT_EQ(EBUSY, DevMutexTryLock(holder.m_ulDeviceID));
    EXPECT_EQ(0u, holder.DropDevMutex());
    EXPECT_EQ(0, DevMutexTryLock(holder.m_ulDeviceID));
    EXPECT_EQ(0u, holder.Close());
}

/* A device mutex that another thread of the process holds is neither
 * destroyed nor unmapped under it (its robust list points into the
 * mapping): a Close that cannot get the mutex answers the lock's code and
 * closes nothing; a context destroyed meanwhile leaves its segment
 * attached.  A new open finds the mutex still held either way, until the
 * holder gives it back, or ends holding it (the mutex is robust). */
TEST_F(ContextTest, AMutexAnotherThreadHoldsIsNeitherResetNorUnmapped)
{
    struct TimeoutOfOneSecond {
        TimeoutOfOneSecond() { CDeviceContext::s_ulMutexTimeoutS = 1; }
        ~TimeoutOfOneSecond() { CDeviceContext::s_ulMutexTimeoutS = DEV_MUTEX_TIMEOUT_S; }
    } timeout;
    struct {
        const char *pszName;
        unsigned int ulAddr;
        bool bDestroy;
    } cases[] = {{"Close", 34, false}, {"destructor", 35, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        std::string name = AddToken(c.ulAddr);
        CDeviceContext *pCtx = new CDeviceContext();
        ASSERT_EQ(0u, pCtx->Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        unsigned int ulDeviceID = pCtx->m_ulDeviceID;
        std::atomic<int> nStage{0};
        unsigned int ulHold = 0xFFFFFFFF, ulDrop = 0xFFFFFFFF;
        std::thread holder([&] {
            ulHold = pCtx->HoldDevMutex();
            nStage = 1;
            while (nStage.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            /* Stage 2 gives the hold back; stage 3 ends the thread with it. */
            if (nStage.load() == 2) ulDrop = pCtx->DropDevMutex();
        });
        while (nStage.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(0u, ulHold);
        if (c.bDestroy) {
            delete pCtx;
            pCtx = nullptr;
            int32_t iID = 0;
            uint32_t ulMark = 0;
            ASSERT_TRUE(ReadSegment(ulDeviceID, &iID, &ulMark));
            EXPECT_EQ(DEV_MUTEX_READY, ulMark) << "the held mutex was reset";
        } else {
            EXPECT_EQ((unsigned int)ETIMEDOUT, pCtx->Close());
            EXPECT_NE(nullptr, pCtx->GetDeviceHandle()->m_hDevice) << "the refused close closed the transport";
        }
        EXPECT_EQ(EBUSY, DevMutexTryLock(ulDeviceID));
        CDeviceContext next;
        ASSERT_EQ(0u, next.Open(DRIVER_TYPE_USB_BULK, name.c_str(), true));
        EXPECT_EQ((unsigned int)ETIMEDOUT, next.WaitDevMutex()) << "a new open took the held mutex";
        nStage = c.bDestroy ? 3 : 2;
        holder.join();
        if (!c.bDestroy) {
            EXPECT_EQ(0u, ulDrop);
            EXPECT_EQ(0u, pCtx->Close());
            delete pCtx;
        }
        EXPECT_EQ(0u, next.WaitDevMutex());
        EXPECT_EQ(0u, next.ReleaseDevMutex());
        EXPECT_EQ(0u, next.Close());
    }
}
