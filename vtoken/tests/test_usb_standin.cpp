// The daemon and the libusb stand-in through libusb's own interface:
// enumeration, descriptors, the bulk-only exchange, injected faults,
// hot-plug events, a daemon restart and two processes on one token.
#include "vtoken/link/VtLink.h"
#include "vtoken/tests/VtTestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vtoken;
using namespace vtoken::test;

namespace {

// GetTokenSN, a plain frame with no body.
const VtBytes kGetSerial = {0xB0, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};

TokenOptions Token(const std::string& strSerial, unsigned uAddress)
{
    TokenOptions o;
    o.serial = strSerial;
    o.address = uAddress;
    return o;
}

class UsbTest : public ::testing::Test, public CTokenFixture {
protected:
    std::vector<std::pair<int, int>> List()
    {
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(m_pCtx, &list);
        std::vector<std::pair<int, int>> v;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            EXPECT_EQ(0, libusb_get_device_descriptor(list[i], &d));
            EXPECT_EQ(0x287F, d.idVendor);
            EXPECT_EQ(0xF00D, d.idProduct);
            v.emplace_back(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
        }
        libusb_free_device_list(list, 1);
        return v;
    }

    std::string Serial(CUsbLink& link)
    {
        VtBytes vAnswer;
        int rc = link.Exchange(kGetSerial, vAnswer);
        if (rc != 0 || vAnswer.size() < 4 || vAnswer[0] != 0x90 || vAnswer[1] != 0x00) {
            return "<failed " + std::to_string(rc) + ">";
        }
        return std::string(vAnswer.begin() + 4, vAnswer.end());
    }
};

class Enumeration : public UsbTest, public ::testing::WithParamInterface<int> {};

TEST_P(Enumeration, ListsEveryPluggedTokenWithItsBusAndAddress)
{
    std::vector<std::pair<int, int>> vExpected;
    for (int i = 0; i < GetParam(); ++i) {
        m_daemon.CreateToken(Token("VT" + std::to_string(i), 5 + static_cast<unsigned>(i)));
        vExpected.emplace_back(1, 5 + i);
    }
    m_daemon.CreateToken([] {
        TokenOptions o = Token("UNPLUGGED", 20);
        o.plugged = false;
        return o;
    }());
    EXPECT_EQ(vExpected, List());
}

INSTANTIATE_TEST_SUITE_P(Tokens, Enumeration, ::testing::Values(0, 1, 2));

TEST_F(UsbTest, NoDaemonMeansNoDeviceNotAnError)
{
    m_daemon.CreateToken(Token("VT1", 5));
    std::string strSaved = getenv("BRIO_VTOKEN_SOCKET");
    setenv("BRIO_VTOKEN_SOCKET", "/nonexistent/socket", 1);
    libusb_device** list = nullptr;
    EXPECT_EQ(0, libusb_get_device_list(m_pCtx, &list));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(nullptr, list[0]);
    libusb_free_device_list(list, 1);
    // The socket is looked up at each contact, not kept from libusb_init.
    setenv("BRIO_VTOKEN_SOCKET", strSaved.c_str(), 1);
    EXPECT_EQ(1u, List().size());
}

TEST_F(UsbTest, PresentsOneMassStorageInterfaceWithBulkAndInterruptEndpoints)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    ASSERT_TRUE(link.IsOpen());
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(0, libusb_get_active_config_descriptor(libusb_get_device(link.Handle()), &cfg));
    ASSERT_EQ(1, cfg->bNumInterfaces);
    const libusb_interface_descriptor& alt = cfg->interface[0].altsetting[0];
    EXPECT_EQ(0, alt.bInterfaceNumber);
    EXPECT_EQ(LIBUSB_CLASS_MASS_STORAGE, alt.bInterfaceClass);
    ASSERT_EQ(3, alt.bNumEndpoints);
    EXPECT_EQ(0x81, alt.endpoint[0].bEndpointAddress);
    EXPECT_EQ(LIBUSB_TRANSFER_TYPE_BULK, alt.endpoint[0].bmAttributes & 3);
    EXPECT_EQ(0x02, alt.endpoint[1].bEndpointAddress);
    EXPECT_EQ(LIBUSB_TRANSFER_TYPE_BULK, alt.endpoint[1].bmAttributes & 3);
    EXPECT_EQ(LIBUSB_TRANSFER_TYPE_INTERRUPT, alt.endpoint[2].bmAttributes & 3);
    libusb_free_config_descriptor(cfg);

    // The kernel's driver is bound until detached; claims may repeat.
    EXPECT_EQ(1, libusb_kernel_driver_active(link.Handle(), 0));
    EXPECT_EQ(0, libusb_detach_kernel_driver(link.Handle(), 0));
    EXPECT_EQ(0, libusb_kernel_driver_active(link.Handle(), 0));
    EXPECT_EQ(0, libusb_claim_interface(link.Handle(), 0));
    EXPECT_EQ(0, libusb_claim_interface(link.Handle(), 0));
    EXPECT_EQ(0, libusb_release_interface(link.Handle(), 0));
    EXPECT_EQ(LIBUSB_ERROR_NOT_FOUND, libusb_claim_interface(link.Handle(), 1));
    EXPECT_EQ(0, libusb_attach_kernel_driver(link.Handle(), 0));
    EXPECT_EQ(1, libusb_kernel_driver_active(link.Handle(), 0));
}

TEST_F(UsbTest, ExchangeCarriesFrameAndAnswerInBulkOnlyWrappers)
{
    m_daemon.CreateToken(Token("VTSERIAL42", 5));
    CUsbLink link(m_pCtx, 1, 5);
    ASSERT_TRUE(link.IsOpen());
    EXPECT_EQ("VTSERIAL42", Serial(link));

    // The frame may come in pieces; the write's status wrapper is the only
    // answer to the write, and carries its tag.
    ASSERT_EQ(0, link.Out(Cbw(0xCAFEF00D, 8, 0, 0xF0, 8)));
    ASSERT_EQ(0, link.Out(VtBytes(kGetSerial.begin(), kGetSerial.begin() + 3)));
    ASSERT_EQ(0, link.Out(VtBytes(kGetSerial.begin() + 3, kGetSerial.end())));
    VtBytes vCsw;
    ASSERT_EQ(0, link.In(vCsw));
    ASSERT_EQ(13u, vCsw.size());
    EXPECT_EQ(0xCAFEF00Du, VtGetLE32(&vCsw[4]));
    EXPECT_EQ(0, vCsw[12]);
    ASSERT_EQ(0, link.Out(Cbw(0xCAFEF00D, 1024, 0x80, 0xF1, 0)));
    VtBytes vData;
    ASSERT_EQ(0, link.ReadReply(vData, vCsw));
    EXPECT_EQ(0xCAFEF00Du, VtGetLE32(&vCsw[4]));
    EXPECT_EQ(4u + 10u, vData.size());
}

struct BadBlockCase {
    const char* szName;
    VtBytes vCbw;
};

class RefusedCommandBlock : public UsbTest, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(RefusedCommandBlock, AnswersStatusOneAndTheNextExchangeWorks)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    ASSERT_EQ(0, link.Out(GetParam().vCbw));
    VtBytes vCsw;
    ASSERT_EQ(0, link.In(vCsw));
    ASSERT_EQ(13u, vCsw.size());
    EXPECT_EQ(1, vCsw[12]);
    EXPECT_EQ(0x77u, VtGetLE32(&vCsw[4]));
    EXPECT_EQ("VT1", Serial(link));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, RefusedCommandBlock,
    ::testing::Values(BadBlockCase {"ReadWithoutWrite", Cbw(0x77, 1024, 0x80, 0xF1, 0)},
                      BadBlockCase {"EmptyWrite", Cbw(0x77, 0, 0, 0xF0, 0)},
                      BadBlockCase {"UnknownBlock", Cbw(0x77, 0, 0, 0x12, 0)}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST_F(UsbTest, WrongWrapperHaltsBulkInUntilCleared)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    ASSERT_EQ(0, link.Out(VtBytes(31, 0x55)));
    VtBytes v;
    EXPECT_EQ(LIBUSB_ERROR_PIPE, link.In(v));
    EXPECT_EQ(0, libusb_clear_halt(link.Handle(), kEpIn));
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, link.In(v));  // nothing to read
    EXPECT_EQ("VT1", Serial(link));
}

// Each injected fault, what the host sees in the exchange that carries it,
// and the exchange after it works.
struct FaultCase {
    const char* szFault;
    int iExpected;          // result of CUsbLink::Exchange
    size_t nAnswer;         // answer bytes seen when the exchange completes
};

class InjectedFault : public UsbTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(InjectedFault, ShowsInTheNextExchangeOnly)
{
    m_daemon.CreateToken(Token("VTFAULT", 5));
    CUsbLink link(m_pCtx, 1, 5);
    m_daemon.InjectFault("VTFAULT", GetParam().szFault);
    VtBytes vAnswer;
    EXPECT_EQ(GetParam().iExpected, link.Exchange(kGetSerial, vAnswer));
    if (GetParam().iExpected == 0) {
        EXPECT_EQ(GetParam().nAnswer, vAnswer.size());
    }
    EXPECT_EQ("VTFAULT", Serial(link));
    EXPECT_EQ("pending-fault: none", "pending-fault: " + m_daemon.StateField("VTFAULT", "pending-fault"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InjectedFault,
    ::testing::Values(FaultCase {"stall", LIBUSB_ERROR_PIPE, 0},      // CUsbLink does not clear halts
                      FaultCase {"bad-tag", -100, 0},
                      FaultCase {"csw-status", -100, 0},
                      FaultCase {"short:0", 0, 0},
                      FaultCase {"short:3", 0, 3},
                      FaultCase {"long", -100, 0},
                      FaultCase {"garbage", 0, 11},
                      FaultCase {"no-csw", LIBUSB_ERROR_TIMEOUT, 0}),
    [](const auto& info) {
        std::string s = info.param.szFault;
        for (char& c : s) {
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return s;
    });

// A write left unfinished by a handle whose process ended must not swallow
// the next command: whether the daemon has seen the dead handle close before
// the next command comes (closed) or not yet (still open).
class UnfinishedWrite : public UsbTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnfinishedWrite, DoesNotSwallowAnotherHandlesCommand)
{
    const bool bClosedFirst = GetParam();
    m_daemon.CreateToken(Token("VT1", 5));
    auto dying = std::make_unique<CUsbLink>(m_pCtx, 1, 5);
    ASSERT_EQ(0, dying->Out(Cbw(1, 8, 0, 0xF0, 8)));
    ASSERT_EQ(0, dying->Out(VtBytes(kGetSerial.begin(), kGetSerial.begin() + 3)));
    if (bClosedFirst) {
        dying.reset();
    }
    CUsbLink next(m_pCtx, 1, 5);
    EXPECT_EQ("VT1", Serial(next));
    dying.reset();
    EXPECT_EQ("VT1", Serial(next));
}

INSTANTIATE_TEST_SUITE_P(Writer, UnfinishedWrite, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "closed" : "still_open"; });

// Clients that send requests and do not read the replies hold up no one:
// a fresh exchange goes through while they wait, those that read late get
// every reply, and one that never reads is dropped once its replies pile up.
TEST_F(UsbTest, ClientsThatDoNotReadTheirRepliesStallNobody)
{
    m_daemon.CreateToken(Token("VT1", 5));
    auto pings = [](size_t n) {
        VtBytes vMsg = {1, 0, 0, 0, static_cast<uint8_t>(VtOp::Ping)};
        VtBytes v;
        for (size_t i = 0; i < n; ++i) {
            VtAppend(v, vMsg);
        }
        return v;
    };
    auto sendAll = [](int fd, const VtBytes& v) {
        size_t off = 0;
        while (off < v.size()) {
            ssize_t w = send(fd, v.data() + off, v.size() - off, MSG_NOSIGNAL);
            if (w <= 0) {
                return off;
            }
            off += static_cast<size_t>(w);
        }
        return off;
    };
    const size_t kLate = 20000;      // ~160 KB of replies each: more than a socket holds
    const size_t kNever = 300000;    // ~2.4 MB of replies: more than the daemon keeps
    std::vector<int> vLate;
    for (int i = 0; i < 4; ++i) {
        vLate.push_back(VtConnect(m_daemon.SocketPath()));
        ASSERT_GE(vLate.back(), 0);
        ASSERT_EQ(kLate * 5, sendAll(vLate.back(), pings(kLate)));
    }
    int fdNever = VtConnect(m_daemon.SocketPath());
    ASSERT_GE(fdNever, 0);
    sendAll(fdNever, pings(kNever));  // ends early once the daemon drops it

    CUsbLink link(m_pCtx, 1, 5);
    EXPECT_EQ("VT1", Serial(link));
    EXPECT_NE(std::string::npos, m_daemon.Control({"list"}).find("VT1 serial=VT1"));

    for (int fd : vLate) {
        size_t nReplies = 0;
        VtBytes vReply;
        while (nReplies < kLate && VtRecvMessage(fd, vReply) && vReply == VtBytes({0, 0, 0, 0})) {
            ++nReplies;
        }
        EXPECT_EQ(kLate, nReplies);
        close(fd);
    }
    size_t nNever = 0;
    VtBytes vReply;
    while (VtRecvMessage(fdNever, vReply)) {
        ++nNever;
    }
    EXPECT_LT(nNever, kNever);
    close(fdNever);
}

TEST_F(UsbTest, StallLastsForTheGivenNumberOfClears)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    m_daemon.InjectFault("VT1", "stall:3");
    ASSERT_EQ(0, link.Out(Cbw(1, 8, 0, 0xF0, 8)));
    ASSERT_EQ(0, link.Out(kGetSerial));
    VtBytes v;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(LIBUSB_ERROR_PIPE, link.In(v)) << i;
        EXPECT_EQ(0, libusb_clear_halt(link.Handle(), kEpIn));
    }
    ASSERT_EQ(0, link.In(v));
    EXPECT_EQ(13u, v.size());
}

TEST_F(UsbTest, HandleOfAnUnpluggedTokenStaysDeadAfterReplug)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    ASSERT_TRUE(link.IsOpen());
    m_daemon.Unplug("VT1");
    VtBytes v;
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, link.Out(Cbw(1, 8, 0, 0xF0, 8)));
    m_daemon.Plug("VT1");
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, link.Out(Cbw(1, 8, 0, 0xF0, 8)));
    CUsbLink again(m_pCtx, 1, 5);
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ("VT1", Serial(again));
}

TEST_F(UsbTest, DaemonKilledAndRestartedKeepsStateAndOpenHandles)
{
    m_daemon.CreateToken(Token("VT1", 5));
    CUsbLink link(m_pCtx, 1, 5);
    VtBytes vSetLabel = {0xB0, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 'h', 'e', 'l', 'l', 'o'};
    VtBytes vAnswer;
    ASSERT_EQ(0, link.Exchange(vSetLabel, vAnswer));
    ASSERT_EQ(0x90, vAnswer[0]);
    m_daemon.Restart();
    EXPECT_EQ("hello", m_daemon.StateField("VT1", "label"));
    // The token stayed plugged: the open handle reaches the new daemon.
    VtBytes vGetLabel = {0xB0, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(0, link.Exchange(vGetLabel, vAnswer));
    EXPECT_EQ("hello", std::string(vAnswer.begin() + 4, vAnswer.end()));
}

TEST_F(UsbTest, TwoProcessesShareOneToken)
{
    m_daemon.CreateToken(Token("VT1", 5));
    // The processes take turns (as the middleware's locks make them) on a
    // file lock; each sets the label and reads back what the other wrote.
    std::string strLock = m_daemon.StateDir() + "/../lock";
    auto run = [&](char cMine, int iRounds) {
        libusb_context* ctx = nullptr;
        libusb_init(&ctx);
        int failures = 0;
        {
            CUsbLink link(ctx, 1, 5);
            int fd = open(strLock.c_str(), O_CREAT | O_RDWR, 0600);
            for (int i = 0; i < iRounds; ++i) {
                flock(fd, LOCK_EX);
                VtBytes vSet = {0xB0, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, static_cast<uint8_t>(cMine)};
                VtBytes vAnswer;
                failures += link.Exchange(vSet, vAnswer) != 0 || vAnswer[0] != 0x90;
                VtBytes vGet = {0xB0, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
                failures += link.Exchange(vGet, vAnswer) != 0 || vAnswer.size() != 5 || vAnswer[4] != cMine;
                flock(fd, LOCK_UN);
            }
            close(fd);
        }
        libusb_exit(ctx);
        return failures;
    };
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        _exit(run('b', 50) == 0 ? 0 : 1);
    }
    EXPECT_EQ(0, run('a', 50));
    int iStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &iStatus, 0));
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0);
    std::string strLabel = m_daemon.StateField("VT1", "label");
    EXPECT_TRUE(strLabel == "a" || strLabel == "b");
    EXPECT_EQ(2u * 2u * 50u, m_daemon.Exchanges("VT1")) << "the exchanges of both processes are counted";
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary) << strText;
}

// A damaged state file, a copy under another name and a file whose id is a
// path cost only their own token: the daemon starts and serves the others,
// and init leaves the damaged file alone.
TEST_F(UsbTest, StateFilesThatDoNotLoadCostOnlyTheirOwnToken)
{
    m_daemon.CreateToken(Token("VT1", 5));
    m_daemon.CreateToken(Token("VT2", 6));
    m_daemon.Stop();
    const std::string strDir = m_daemon.StateDir();
    std::string strGood = ReadFile(strDir + "/VT1.token");
    std::string strCut = ReadFile(strDir + "/VT2.token");
    strCut.resize(strCut.size() / 2);
    WriteFile(strDir + "/VT2.token", strCut);
    CVtTokenState s;
    std::string strError;
    ASSERT_TRUE(s.Parse(strGood, strError)) << strError;
    s.ulAddress = 7;
    WriteFile(strDir + "/COPY.token", s.Serialize());
    s.strId = "../../x";
    s.ulAddress = 8;
    WriteFile(strDir + "/x.token", s.Serialize());

    ASSERT_NO_THROW(m_daemon.Restart());
    const std::vector<std::pair<int, int>> vOnlyVt1 = {{1, 5}};
    EXPECT_EQ(vOnlyVt1, List());
    std::string strList = m_daemon.Control({"list"});
    EXPECT_EQ(0u, strList.find("VT1 serial=VT1 bus=1 address=5 plugged\n")) << strList;
    EXPECT_EQ(std::string::npos, strList.find("\n", strList.find('\n') + 1)) << strList;
    CUsbLink link(m_pCtx, 1, 5);
    EXPECT_EQ("VT1", Serial(link));
    TokenOptions again = Token("VT2", 9);
    EXPECT_THROW(m_daemon.CreateToken(again), std::runtime_error);
    EXPECT_EQ(strCut, ReadFile(strDir + "/VT2.token"));
}

// Runs a shell command; its exit status, with what it wrote to the pipe.
int RunShell(const std::string& strCommand, std::string& strOut)
{
    FILE* p = popen(strCommand.c_str(), "r");
    strOut.clear();
    char buf[512];
    while (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr) {
        strOut += buf;
    }
    int iStatus = p != nullptr ? pclose(p) : -1;
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

// brio-vtoken with these arguments, its standard output and error together.
int RunCli(const std::string& strArgs, std::string& strOut)
{
    return RunShell(std::string(VT_DAEMON_EXE) + " " + strArgs + " 2>&1", strOut);
}

TEST_F(UsbTest, CommandLineDrivesTheDaemon)
{
    std::string strSock = " --socket " + m_daemon.SocketPath() + " ";
    std::string strOut;
    EXPECT_EQ(0, RunCli(strSock + "init --serial CLI1 --address 7 --alg 3", strOut)) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("device-name: Mirel&pid_f00d&bus_001&addr_007")) << strOut;
    EXPECT_EQ(1, RunCli(strSock + "init --serial CLI2 --address 7", strOut)) << strOut;  // address taken
    EXPECT_EQ(1, RunCli(strSock + "fault CLI1 bogus", strOut)) << strOut;
    EXPECT_EQ(0, RunCli(strSock + "button CLI1 after:3", strOut)) << strOut;
    EXPECT_EQ("after:3", m_daemon.StateField("CLI1", "button"));
    EXPECT_EQ(0, RunCli(strSock + "unplug CLI1", strOut)) << strOut;
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(0, RunCli(strSock + "list", strOut)) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("CLI1 serial=CLI1 bus=1 address=7 unplugged")) << strOut;
    EXPECT_EQ(2, RunCli("--socket /nonexistent/socket show CLI1", strOut)) << strOut;
}

// A user PIN or SO PIN that the middleware could never verify (it takes 6 to
// 16 characters) makes no token.
TEST_F(UsbTest, InitTakesOnlyPinsTheMiddlewareCanVerify)
{
    struct Row {
        size_t nLength;
        int iExit;
    };
    const Row rows[] = {{5, 1}, {6, 0}, {16, 0}, {17, 1}};
    std::string strSock = " --socket " + m_daemon.SocketPath() + " ";
    unsigned uAddress = 40;
    for (const char* szOption : {"--user-pin", "--so-pin"}) {
        for (const Row& row : rows) {
            std::string strSerial = "PIN" + std::to_string(uAddress);
            std::string strArgs = strSock + "init --serial " + strSerial + " --address " + std::to_string(uAddress++) +
                                  " " + szOption + " " + std::string(row.nLength, '7');
            std::string strOut;
            SCOPED_TRACE(strArgs);
            EXPECT_EQ(row.iExit, RunCli(strArgs, strOut)) << strOut;
            if (row.iExit != 0) {
                EXPECT_NE(std::string::npos, strOut.find(std::string(szOption) + " takes 6 to 16 characters")) << strOut;
                EXPECT_EQ(1, RunCli(strSock + "show " + strSerial, strOut)) << strOut;
            }
        }
    }
}

// Help needs no daemon; a command line the daemon does not understand exits
// 2 with the usage, as a missing daemon does; a value it refuses exits 1.
TEST_F(UsbTest, CommandLineExitStatus)
{
    m_daemon.CreateToken(Token("CLI1", 7));
    const std::string strSock = "--socket " + m_daemon.SocketPath() + " ";
    const std::string strNone = "--socket /nonexistent/socket ";
    struct Row {
        std::string strArgs;
        int iExit;
        const char* szSays;
    };
    const Row rows[] = {
        {strNone + "help", 0, "init --serial S"},
        {"help", 0, "brio-vtoken serve [--socket PATH]"},
        {strNone + "--help", 0, "fault S stall"},
        {"", 2, "usage: brio-vtoken serve"},
        {strNone + "show CLI1", 2, "no virtual-token daemon listens on /nonexistent/socket"},
        {strSock + "frobnicate", 2, "unknown command frobnicate\ncommands:"},
        {strSock + "plug", 2, "plug: wrong number of arguments"},
        {strSock + "list CLI1", 2, "list takes no arguments"},
        {strSock + "init --serial", 2, "init: --serial needs a value"},
        {strSock + "init --serial CLI2 --colour red", 2, "init: unknown option --colour"},
        {strSock + "fault CLI1 bogus", 1, "fault: unknown fault bogus"},
        {strSock + "show NOSUCH", 1, "no token NOSUCH"},
        {strSock + "show CLI1", 0, "CLI1"},
    };
    for (const Row& row : rows) {
        std::string strOut;
        EXPECT_EQ(row.iExit, RunCli(row.strArgs, strOut)) << row.strArgs << "\n" << strOut;
        EXPECT_NE(std::string::npos, strOut.find(row.szSays)) << row.strArgs << "\n" << strOut;
    }
}

// A program that finds no daemon at its socket (none started, a wrong
// BRIO_VTOKEN_SOCKET) is told so once on standard error, with the socket,
// however often it looks; one that reaches the daemon is told nothing.
TEST_F(UsbTest, StandInSaysOnceWhereNoDaemonAnswers)
{
    m_daemon.CreateToken(Token("VT1", 5));
    const std::string strMissing = "/nonexistent/brio-vtoken/socket";
    struct Row {
        std::string strSocket;
        int iTokens;
        std::string strSays;  // "" for nothing at all
    };
    const Row rows[] = {
        {strMissing, 0, "cannot reach a brio-vtoken daemon at " + strMissing + " ("},
        {m_daemon.SocketPath(), 1, ""},
    };
    for (const Row& row : rows) {
        std::string strErr;
        // Standard error only: the probe's standard output is dropped.
        EXPECT_EQ(row.iTokens, RunShell("BRIO_VTOKEN_SOCKET=" + row.strSocket + " " VT_STANDIN_PROBE_EXE " 3 2>&1 >/dev/null",
                                        strErr));
        if (row.strSays.empty()) {
            EXPECT_EQ("", strErr);
        } else {
            EXPECT_EQ(0u, strErr.find("libusb (virtual token): " + row.strSays)) << strErr;
            EXPECT_EQ(strErr.size() - 1, strErr.find('\n')) << "one line only:\n" << strErr;
        }
    }
}

// Hot-plug events, delivered inside libusb_handle_events_completed.
struct HotplugLog {
    std::atomic<int> iArrived {0};
    std::atomic<int> iLeft {0};
    std::atomic<int> iAddress {0};
    std::thread::id thread;
};

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user)
{
    auto* log = static_cast<HotplugLog*>(user);
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != 0 || d.idProduct != 0xF00D) {
        return 0;
    }
    log->iAddress = libusb_get_device_address(dev);
    log->thread = std::this_thread::get_id();
    (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? log->iArrived : log->iLeft)++;
    return 0;
}

class Hotplug : public UsbTest {
protected:
    void Register(int iEvents, int iFlags = 0)
    {
        ASSERT_EQ(0, libusb_hotplug_register_callback(m_pCtx, iEvents, iFlags, 0x287F, 0xF00D,
                                                      LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, &m_log, &m_hCallback));
    }
    void Pump(std::atomic<int>& counter)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (counter == 0 && std::chrono::steady_clock::now() < deadline) {
            timeval tv {0, 200000};
            libusb_handle_events_timeout_completed(m_pCtx, &tv, nullptr);
        }
    }
    HotplugLog m_log;
    libusb_hotplug_callback_handle m_hCallback = 0;
};

TEST_F(Hotplug, ArrivalAndRemovalReachTheWaitingThread)
{
    ASSERT_EQ(1, libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
    m_daemon.CreateToken([] {
        TokenOptions o = Token("VT1", 9);
        o.plugged = false;
        return o;
    }());
    Register(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    m_daemon.Plug("VT1");
    Pump(m_log.iArrived);
    EXPECT_EQ(1, m_log.iArrived);
    EXPECT_EQ(9, m_log.iAddress);
    EXPECT_EQ(std::this_thread::get_id(), m_log.thread);
    m_daemon.Unplug("VT1");
    Pump(m_log.iLeft);
    EXPECT_EQ(1, m_log.iLeft);
    libusb_hotplug_deregister_callback(m_pCtx, m_hCallback);
}

TEST_F(Hotplug, EnumerateFlagReportsTokensAlreadyPresent)
{
    m_daemon.CreateToken(Token("VT1", 5));
    Register(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE);
    EXPECT_EQ(1, m_log.iArrived);
    libusb_hotplug_deregister_callback(m_pCtx, m_hCallback);
}

TEST_F(Hotplug, DeregistrationFromAnotherThreadWakesTheWaiter)
{
    Register(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    auto start = std::chrono::steady_clock::now();
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        libusb_hotplug_deregister_callback(m_pCtx, m_hCallback);
    });
    EXPECT_EQ(0, libusb_handle_events_completed(m_pCtx, nullptr));  // 60 s without the wake
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(Hotplug, InterruptBeforeTheWaitIsNotLost)
{
    Register(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    libusb_interrupt_event_handler(m_pCtx);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, libusb_handle_events_completed(m_pCtx, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    libusb_hotplug_deregister_callback(m_pCtx, m_hCallback);
}

}  // namespace
