/* skftest as a person or a script runs it: a child process against a
 * private virtual token, its standard input a pipe or a pseudo-terminal,
 * every run bounded in time.  The middleware's log (a zlog configuration
 * named by VEXA_LOG_CONF_PATH) shows what the output cannot: the closing of
 * the application and the device, the device wait and the device-list
 * polls. */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/tests/LogCapture.h"
#include "skftest/tests/ProgramRun.h"
#include "vtoken/testkit/VTokenTestKit.h"

using skftest_test::ContainsInOrder;
using skftest_test::CountOf;
using skftest_test::CProgramRun;
using Input = CProgramRun::Input;

namespace skftest_test {
void PrintTo(Input eInput, std::ostream *pOut)
{
    switch (eInput) {
    case Input::Pipe: *pOut << "pipe"; break;
    case Input::Terminal: *pOut << "terminal"; break;
    case Input::Null: *pOut << "/dev/null"; break;
    case Input::Closed: *pOut << "closed"; break;
    case Input::JobTerminal: *pOut << "terminal, as a job"; break;
    }
}
}  // namespace skftest_test

namespace {

/* This suite's tokens sit on their own bus; each test has its own address,
 * so its own device mutex. */
const unsigned int SUITE_BUS = 28;
const char *const FACTORY_PIN = "12345678";
const char *const ISSUED_PIN = "Issued2026";
/* The middleware reads this configuration before VEXA_LOG_CONF_PATH. */
const char *const FIXED_LOG_CONF = "/tmp/RIRAvezaDuraredade.conf";

const char *const DEVICE_PROMPT = "Please insert an Brio... PRESS any key to skip:";
const char *const POLLING_LINE = "Waiting to find Brio... PRESS Ctrl+C to exit";
const char *const MODULE_PROMPT = "选择[Q-退出]: ";
const char *const SEQUENCE_END = "SKF_ClearSecureState......Passed";

std::string LastLine(const std::string &strText)
{
    std::istringstream in(strText);
    std::string strLine;
    std::string strLast;
    while (std::getline(in, strLine))
        if (!strLine.empty()) strLast = strLine;
    return strLast;
}

bool ExitedWithZero(int nStatus) { return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0; }

bool EndedOnSignal(int nStatus, int nSignal) { return WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == nSignal; }

/* The terminal's key that sends nSignal to its foreground: Ctrl+C, Ctrl+\,
 * Ctrl+Z. */
char ControlKey(int nTerminal, int nSignal)
{
    struct termios st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(0, tcgetattr(nTerminal, &st));
    return (char)st.c_cc[nSignal == SIGQUIT ? VQUIT : nSignal == SIGTSTP ? VSUSP : VINTR];
}

/* The local modes that matter here: ICANON and ECHO. */
tcflag_t LocalModes(int nTerminal)
{
    struct termios st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(0, tcgetattr(nTerminal, &st));
    return st.c_lflag & (ICANON | ECHO);
}

/* True once the terminal's modes are ulModes, false after nSeconds (the
 * program sets them on a signal: nothing in its output says when). */
bool WaitForModes(int nTerminal, tcflag_t ulModes, int nSeconds = 30)
{
    for (int n = 0; n < nSeconds * 50; ++n) {
        if (LocalModes(nTerminal) == ulModes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class SkftestProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/brio-skftest-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szDir));
        m_strDir = szDir;
    }

    void TearDown() override
    {
        for (int n = 1; n <= m_nRuns; ++n) {
            unlink(RunFile(n, "conf").c_str());
            unlink(RunFile(n, "log").c_str());
        }
        rmdir(m_strDir.c_str());
    }

    static bool LogReachable() { return access(FIXED_LOG_CONF, F_OK) != 0; }

    std::string Serial() const { return "SKFTEST" + std::to_string(m_ulAddress); }

    std::string DeviceName() const
    {
        char sz[40];
        snprintf(sz, sizeof(sz), "Mirel&pid_f00d&bus_%03u&addr_%03u", SUITE_BUS, m_ulAddress);
        return sz;
    }

    void AddToken(unsigned int ulAddress, bool bPlugged)
    {
        m_ulAddress = ulAddress;
        vtoken::TokenOptions opts;
        opts.serial = Serial();
        opts.bus = SUITE_BUS;
        opts.address = ulAddress;
        opts.plugged = bPlugged;
        opts.userPin = FACTORY_PIN;
        daemon.CreateToken(opts);
    }

    /* Environment of every child: the libusb stand-in in front, no display
     * (nothing here may bring up a dialog). */
    static std::vector<std::string> BaseEnvironment()
    {
        const char *pszOld = getenv("LD_LIBRARY_PATH");
        std::string strPath = SKFTEST_USB_DIR;
        if (pszOld != nullptr && pszOld[0] != '\0') strPath += std::string(":") + pszOld;
        return {"LD_LIBRARY_PATH=" + strPath, "DISPLAY", "VEXA_LOG_CONF_PATH"};
    }

    /* The token as an issuer hands it out: PIN changed, an SM2 and an RSA
     * container with keys and certificates. */
    void Provision()
    {
        std::string strCa = m_strDir + "/demo-ca.pem";
        CProgramRun run({SKFTEST_PROVISION, "--ca-out", strCa, FACTORY_PIN, ISSUED_PIN}, BaseEnvironment(),
                        Input::Pipe);
        run.EndInput();
        bool bFinished = run.Finish(120);
        unlink(strCa.c_str());
        ASSERT_TRUE(bFinished) << run.Tail();
        ASSERT_TRUE(ExitedWithZero(run.Status())) << run.Tail();
    }

    std::string RunFile(int nRun, const char *pszKind) const
    {
        return m_strDir + "/run" + std::to_string(nRun) + "." + pszKind;
    }

    /* skftest with its own log file. */
    std::unique_ptr<CProgramRun> StartSkftest(std::vector<std::string> astrArgs, Input eInput)
    {
        ++m_nRuns;
        std::string strConf = RunFile(m_nRuns, "conf");
        std::ofstream(strConf) << "[formats]\nplain = \"%V %m%n\"\n[rules]\nvexa_category.* \""
                               << RunFile(m_nRuns, "log") << "\"; plain\n";
        chmod(strConf.c_str(), 0600);
        std::vector<std::string> astrEnv = BaseEnvironment();
        astrEnv.push_back("VEXA_LOG_CONF_PATH=" + strConf);
        astrArgs.insert(astrArgs.begin(), SKFTEST_PROGRAM);
        return std::unique_ptr<CProgramRun>(new CProgramRun(astrArgs, astrEnv, eInput));
    }

    /* The last run's log. */
    std::string Log() const
    {
        std::ifstream in(RunFile(m_nRuns, "log"));
        std::ostringstream os;
        os << in.rdbuf();
        return os.str();
    }

    bool WaitForLog(const std::string &strText, size_t nCount, int nSeconds = 30) const
    {
        for (int n = 0; n < nSeconds * 50; ++n) {
            if (CountOf(Log(), strText) >= nCount) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    /* Waits until skftest has entered its nth device wait, and a little
     * longer: the hot-plug registration follows the entry at once, but a
     * busy machine may delay it. */
    void WaitForNthDeviceWait(size_t nNth) const
    {
        ASSERT_TRUE(WaitForLog("Enter (GetDevEvent)", nNth)) << "skftest did not enter its device wait";
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }

    /* Lets the run end (within nSeconds, exit status 0) and checks that its
     * output holds astrParts one after the other; the output. */
    static std::string EndedWith(CProgramRun &run, int nSeconds, const std::vector<std::string> &astrParts)
    {
        if (!run.Finish(nSeconds)) {
            ADD_FAILURE() << "skftest did not end:\n" << run.Tail();
            return run.Output();
        }
        EXPECT_TRUE(ExitedWithZero(run.Status())) << run.Status();
        std::string strMissing;
        EXPECT_TRUE(ContainsInOrder(run.Output(), astrParts, &strMissing)) << "missing \"" << strMissing
                                                                           << "\" in\n" << run.Tail();
        return run.Output();
    }

    vtoken::Daemon daemon;
    std::string m_strDir;
    unsigned int m_ulAddress = 0;
    int m_nRuns = 0;
};

/* ---- The fixed sequence (--password) ---- */

struct SequenceCase {
    const char *pszName;
    unsigned int ulAddress;
    bool bProvision;
    std::string strPassword;
    std::vector<std::string> astrOutput;  /* parts of the output, in this order */
    std::string strLastLine;              /* nothing comes after it */
    size_t nFailed;                       /* "Failed(" lines in all */
    std::vector<std::string> astrLog;     /* parts of the log, in this order */
    int nUserRetriesLeft;                 /* the token's count afterwards */
    std::string strError;                 /* part of an ERROR line of the log; empty: no ERROR line */
};

const std::vector<std::string> CLOSING_LOG = {"Enter (SKF_CloseApplication)", "Exit (SKF_CloseApplication)",
                                              "Enter (SKF_UnlockDev)", "Enter (SKF_DisConnectDev)",
                                              "SKF_DisConnectDev - CloseDevice success"};

std::vector<std::string> Then(std::vector<std::string> astrFirst, const std::vector<std::string> &astrRest)
{
    astrFirst.insert(astrFirst.end(), astrRest.begin(), astrRest.end());
    return astrFirst;
}

const SequenceCase SEQUENCE_CASES[] = {
    {"IssuedTokenEveryStepPasses", 1, true, ISSUED_PIN,
     {"Open device(Present): Mirel&pid_f00d&bus_028&addr_001", "SKF_OpenApplication......Passed",
      "SKF_VerifyPIN......Passed", "SKF_GenRandom......Passed", "SGD_SM3摘要测试......Passed",
      "SKF_ECCSignData......Passed", "SM2_Verify......Passed", "SKF_VerifyPIN......Passed",
      "SKF_RSASignData......Passed", "RSA_Verify......Passed", SEQUENCE_END},
     SEQUENCE_END, 0, Then({"SKF_ClearSecureState - "}, CLOSING_LOG), 10, ""},
    {"WrongPasswordStopsAfterVerifyPIN", 2, true, "Wrong2026pin",
     {"SKF_OpenApplication......Passed", "SKF_VerifyPIN......Failed(errcode: 0x0A000024)"},
     "SKF_VerifyPIN......Failed(errcode: 0x0A000024)", 1,
     Then({"SKF_VerifyPIN - VerifyPIN failed(0x0a000024)"}, CLOSING_LOG), 9,
     "ERROR SKF_VerifyPIN - VerifyPIN failed(0x0a000024)"},
    {"EmptyTokenFindsNoCertificate", 3, false, FACTORY_PIN,
     {"SKF_VerifyPIN......Passed", "SGD_SM3摘要测试......Passed", "SKF_EnumContainer......Passed",
      "Find SM2 certificate......Failed(errcode: 0x0A00001C)", "SKF_VerifyPIN......Passed",
      "Find RSA certificate......Failed(errcode: 0x0A00001C)", SEQUENCE_END},
     SEQUENCE_END, 2, CLOSING_LOG, 10, ""},
    /* 31 characters fit the PIN buffer; the SKF interface refuses so long a PIN. */
    {"PasswordOf31CharactersIsTried", 4, false, std::string(31, '7'),
     {"SKF_OpenApplication......Passed", "SKF_VerifyPIN......Failed(errcode: 0x0A000010)"},
     "SKF_VerifyPIN......Failed(errcode: 0x0A000010)", 1, CLOSING_LOG, 10,
     "ERROR SKF_VerifyPIN - VerifyPIN failed(0x0a000010)"},
    {"PasswordOf32CharactersRefused", 5, false, std::string(32, '7'),
     {"The password is longer than 31 characters"}, "The password is longer than 31 characters", 0, {}, 10, ""},
};

void PrintTo(const SequenceCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestSequenceTest : public SkftestProgramTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(SkftestSequenceTest, RunsToItsEnd)
{
    const SequenceCase &c = GetParam();
    AddToken(c.ulAddress, true);
    if (c.bProvision) {
        ASSERT_NO_FATAL_FAILURE(Provision());
    }

    /* The token is present already: one key press skips the wait for one
     * to arrive. */
    std::unique_ptr<CProgramRun> run = StartSkftest({"--password", c.strPassword}, Input::Pipe);
    run->Send("\n");
    std::string strOut = EndedWith(*run, 120, c.astrOutput);
    EXPECT_EQ(c.strLastLine, LastLine(strOut)) << run->Tail();
    EXPECT_EQ(c.nFailed, CountOf(strOut, "Failed(")) << run->Tail();
    if (c.nFailed == 0 && c.bProvision) {
        /* Every call announced is followed by its "Passed". */
        EXPECT_EQ(CountOf(strOut, "......"), CountOf(strOut, "......Passed")) << run->Tail();
        EXPECT_GE(CountOf(strOut, "......Passed"), 40u) << run->Tail();
    }
    EXPECT_EQ((unsigned int)c.nUserRetriesLeft, daemon.UserRetriesLeft(Serial()));
    if (!c.astrLog.empty()) {
        if (!LogReachable()) GTEST_SKIP() << FIXED_LOG_CONF << " exists: the log went there";
        std::string strLog = Log();
        std::string strMissing;
        EXPECT_TRUE(ContainsInOrder(strLog, c.astrLog, &strMissing)) << "missing \"" << strMissing << "\" in the log";
        /* What the design expects and recovers from (the secure channel set
         * up on the first secure command, the key that skips the device
         * wait) is no error; what reaches the caller is one. */
        std::string strErrors = logtest::CLogCapture::ErrorLinesOf(strLog);
        if (c.strError.empty()) EXPECT_EQ("", strErrors);
        else EXPECT_NE(std::string::npos, strErrors.find(c.strError)) << strErrors;
        std::istringstream in(strLog);
        for (std::string strLine; std::getline(in, strLine);) {
            bool bClosing = strLine.find("SKF_CloseApplication - ") != std::string::npos ||
                            strLine.find("SKF_DisConnectDev - ") != std::string::npos;
            EXPECT_FALSE(bClosing && strLine.find(" failed(") != std::string::npos) << strLine;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Password, SkftestSequenceTest, ::testing::ValuesIn(SEQUENCE_CASES),
                         [](const ::testing::TestParamInfo<SequenceCase> &info) { return info.param.pszName; });

/* ---- The device wait ---- */

enum class Arrival {
    KeyThenPlug,     /* no token: a key press, then the device list is polled */
    PlugWhileWaiting,
    UnplugThenPlug,  /* a token leaving is no token arriving */
};

struct WaitCase {
    const char *pszName;
    unsigned int ulAddress;
    Arrival eArrival;
};

const WaitCase WAIT_CASES[] = {
    {"NoTokenKeyPressPollsUntilPlugged", 11, Arrival::KeyThenPlug},
    {"TokenArrivesDuringTheWait", 12, Arrival::PlugWhileWaiting},
    {"RemovalWaitsOnForAnArrival", 13, Arrival::UnplugThenPlug},
};

void PrintTo(const WaitCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestDeviceWaitTest : public SkftestProgramTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(SkftestDeviceWaitTest, SequenceGoesOnWithThePluggedToken)
{
    const WaitCase &c = GetParam();
    if (!LogReachable()) GTEST_SKIP() << FIXED_LOG_CONF << " exists: the log that times the plugging goes there";
    AddToken(c.ulAddress, c.eArrival == Arrival::UnplugThenPlug);
    std::unique_ptr<CProgramRun> run = StartSkftest({"--password", FACTORY_PIN}, Input::Pipe);
    ASSERT_TRUE(run->WaitFor(DEVICE_PROMPT)) << run->Tail();
    ASSERT_NO_FATAL_FAILURE(WaitForNthDeviceWait(1));

    switch (c.eArrival) {
    case Arrival::KeyThenPlug:
        run->Send("\n");
        ASSERT_TRUE(run->WaitFor(POLLING_LINE)) << run->Tail();
        run->Drain(2500);
        EXPECT_EQ(POLLING_LINE, LastLine(run->Output()));
        /* About one poll a second, not a spin. */
        EXPECT_GE(CountOf(Log(), "Enter (SKF_EnumDev)"), 1u);
        EXPECT_LE(CountOf(Log(), "Enter (SKF_EnumDev)"), 8u);
        daemon.Plug(Serial());
        break;
    case Arrival::PlugWhileWaiting:
        daemon.Plug(Serial());
        break;
    case Arrival::UnplugThenPlug:
        daemon.Unplug(Serial());
        ASSERT_NO_FATAL_FAILURE(WaitForNthDeviceWait(2));
        run->Drain(300);
        EXPECT_EQ(DEVICE_PROMPT, LastLine(run->Output()));
        daemon.Plug(Serial());
        break;
    }

    std::vector<std::string> astrExpected = {DEVICE_PROMPT, "Open device(Present): " + DeviceName(),
                                             "SKF_ConnectDev......Passed", "SKF_VerifyPIN......Passed",
                                             SEQUENCE_END};
    if (c.eArrival == Arrival::KeyThenPlug) astrExpected.insert(astrExpected.begin() + 1, POLLING_LINE);
    std::string strOut = EndedWith(*run, 120, astrExpected);
    EXPECT_EQ(c.eArrival == Arrival::KeyThenPlug ? 1u : 0u, CountOf(strOut, POLLING_LINE)) << run->Tail();
}

INSTANTIATE_TEST_SUITE_P(Wait, SkftestDeviceWaitTest, ::testing::ValuesIn(WAIT_CASES),
                         [](const ::testing::TestParamInfo<WaitCase> &info) { return info.param.pszName; });

/* ---- Standard input at its end from the start ---- */

/* Nobody is there to press a key: the end of input skips the device wait
 * as a key would, and without a token there is nothing left to wait for.
 * A program started with its input closed reads it as at its end, not
 * from whatever it opened first under descriptor 0. */
struct EndOfInputCase {
    const char *pszName;
    unsigned int ulAddress;  /* from /dev/null; a closed pipe takes the next ten, closed input the ten after */
    bool bToken;
    bool bMenu;
    std::vector<std::string> astrOutput;
    std::string strLastLine;
};

const char *const NO_TOKEN_LINE = "No Brio is plugged in, and standard input has ended";

const EndOfInputCase END_OF_INPUT_CASES[] = {
    {"TokenFixedSequence", 51, true, false,
     {DEVICE_PROMPT, "SKF_ConnectDev......Passed", "SKF_VerifyPIN......Passed", SEQUENCE_END}, SEQUENCE_END},
    {"TokenMenu", 52, true, true, {DEVICE_PROMPT, "SKF_ConnectDev......Passed", MODULE_PROMPT, SEQUENCE_END},
     std::string(MODULE_PROMPT) + SEQUENCE_END},
    {"NoTokenFixedSequence", 53, false, false,
     {DEVICE_PROMPT, NO_TOKEN_LINE, "Device test errcode: 0x0A000023"}, "Device test errcode: 0x0A000023"},
    {"NoTokenMenu", 54, false, true, {DEVICE_PROMPT, NO_TOKEN_LINE, "Device test errcode: 0x0A000023"},
     "Device test errcode: 0x0A000023"},
};

void PrintTo(const EndOfInputCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestEndOfInputTest : public SkftestProgramTest,
                              public ::testing::WithParamInterface<std::tuple<Input, EndOfInputCase>> {};

TEST_P(SkftestEndOfInputTest, EndsByItself)
{
    Input eInput = std::get<0>(GetParam());
    const EndOfInputCase &c = std::get<1>(GetParam());
    unsigned int ulAddress = c.ulAddress + (eInput == Input::Pipe ? 10 : eInput == Input::Closed ? 20 : 0);
    if (c.bToken) AddToken(ulAddress, true);
    else m_ulAddress = ulAddress;
    std::vector<std::string> astrArgs = {"--password", FACTORY_PIN};
    if (c.bMenu) astrArgs = {"--menu"};
    std::unique_ptr<CProgramRun> run = StartSkftest(astrArgs, eInput);
    if (eInput == Input::Pipe) run->EndInput();
    /* A bound against a hang, not a measure of time. */
    std::string strOut = EndedWith(*run, 120, c.astrOutput);
    EXPECT_EQ(c.strLastLine, LastLine(strOut)) << run->Tail();
}

INSTANTIATE_TEST_SUITE_P(
    EndOfInput, SkftestEndOfInputTest,
    ::testing::Combine(::testing::Values(Input::Null, Input::Pipe, Input::Closed),
                       ::testing::ValuesIn(END_OF_INPUT_CASES)),
    [](const ::testing::TestParamInfo<std::tuple<Input, EndOfInputCase>> &info) {
        Input eInput = std::get<0>(info.param);
        return std::string(eInput == Input::Pipe ? "ClosedPipe_" : eInput == Input::Closed ? "ClosedInput_" : "DevNull_") +
               std::get<1>(info.param).pszName;
    });

/* ---- The menus, through a pipe and through a terminal ---- */

struct MenuCase {
    const char *pszName;
    unsigned int ulAddress;  /* through a pipe; a terminal takes the next ten */
    std::string strKeys;     /* typed once the module menu shows */
    bool bEndInput;          /* then the end of input */
    std::vector<std::string> astrOutput;
    std::vector<std::string> astrAbsent;
};

std::string Line(const std::string &str) { return str + "\n"; }

const MenuCase MENU_CASES[] = {
    /* Each key of both menus, upper and lower case mixed. */
    {"EveryKey", 21,
     "P\n" + Line("b") + Line(FACTORY_PIN) + Line(ISSUED_PIN) + Line("A") + Line(ISSUED_PIN) +
         "c\nD\n" + Line("a") + Line(ISSUED_PIN) + "x\nF\ns\nR\nt\nQ\n",
     false,
     {"======= PIN码测试 =======", "a. 验证PIN码", "选择[其他键-返回]: ", "请输入旧PIN码: ", "请输入新PIN码: ",
      "SKF_ChangePIN......Passed", "请输入PIN码: ", "SKF_VerifyPIN......Passed", "SKF_GetPINInfo......Passed",
      "MaxRetryCount: 10", "ulRemainRetryCount: 10", "IsDefaultPin: 0", "SKF_ClearSecureState......Passed",
      "SKF_VerifyPIN......Passed", "======= 模块测试 =======", "SKF_CreateFile......Passed",
      "SKF_ReadFile......Passed", "SKF_DeleteFile......Passed", "SKF_GenECCKeyPair......Passed",
      "SKF_ECCSignP10......Passed", "SKF_ImportECCKeyPair......Passed", "SKF_ECCSignData......Passed",
      "SM2_Verify......Passed", "SKF_GenRSAKeyPair......Passed", "SKF_DeleteContainer......Passed",
      "SKF_DeleteContainer......Passed", SEQUENCE_END},
     {"File test errcode", "Ecc test errcode", "Container test errcode"}},
    {"EndOfInputInModuleMenu", 22, "", true, {MODULE_PROMPT, SEQUENCE_END}, {"======= PIN码测试 ======="}},
    {"EndOfInputInPinMenu", 23, "p\n", true,
     {"======= PIN码测试 =======", "选择[其他键-返回]: ", MODULE_PROMPT, SEQUENCE_END},
     {"SKF_GetPINInfo"}},
    {"EndOfInputAtPinPrompt", 24, "p\na\n", true, {"请输入PIN码: ", MODULE_PROMPT, SEQUENCE_END},
     {"SKF_VerifyPIN......"}},
    /* The rest of an over-long PIN line is no menu key. */
    {"PinLineOver31CharactersRefused", 25, "p\na\n" + Line(std::string(40, 'a')) + "c\n\nq\n", false,
     {"请输入PIN码: ", "The PIN is longer than 31 characters", "SKF_GetPINInfo......Passed",
      "ulRemainRetryCount: 10", MODULE_PROMPT, SEQUENCE_END},
     {"SKF_VerifyPIN......"}},
};

void PrintTo(const MenuCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestMenuTest : public SkftestProgramTest,
                        public ::testing::WithParamInterface<std::tuple<Input, MenuCase>> {};

TEST_P(SkftestMenuTest, KeysDoWhatTheMenuSays)
{
    Input eInput = std::get<0>(GetParam());
    const MenuCase &c = std::get<1>(GetParam());
    AddToken(c.ulAddress + (eInput == Input::Terminal ? 10 : 0), true);
    std::unique_ptr<CProgramRun> run = StartSkftest({"--menu"}, eInput);
    ASSERT_TRUE(run->WaitFor(DEVICE_PROMPT)) << run->Tail();
    /* The key that skips the wait: on a terminal one key, no Enter. */
    run->Send(eInput == Input::Terminal ? "x" : "\n");
    ASSERT_TRUE(run->WaitFor(MODULE_PROMPT)) << run->Tail();
    run->Send(c.strKeys);
    if (c.bEndInput) run->EndInput();
    std::string strOut = EndedWith(*run, 60, c.astrOutput);
    /* After the prompt of the key that ended the menu. */
    std::string strLast = LastLine(strOut);
    EXPECT_EQ(strLast.size() - strlen(SEQUENCE_END), strLast.rfind(SEQUENCE_END)) << run->Tail();
    for (const std::string &strAbsent : c.astrAbsent)
        EXPECT_EQ(std::string::npos, strOut.find(strAbsent)) << strAbsent << " in\n" << run->Tail();
    if (eInput == Input::Terminal) {
        struct termios st;
        ASSERT_EQ(0, tcgetattr(run->TerminalFd(), &st));
        EXPECT_EQ((tcflag_t)(ICANON | ECHO), st.c_lflag & (ICANON | ECHO));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Menu, SkftestMenuTest, ::testing::Combine(::testing::Values(Input::Pipe, Input::Terminal), ::testing::ValuesIn(MENU_CASES)),
    [](const ::testing::TestParamInfo<std::tuple<Input, MenuCase>> &info) {
        return std::string(std::get<0>(info.param) == Input::Pipe ? "Pipe_" : "Terminal_") +
               std::get<1>(info.param).pszName;
    });

/* ---- PINs typed on a terminal ---- */

const char *const NEW_PIN = "Typed2026pin";

struct PinEntryCase {
    const char *pszName;
    unsigned int ulAddress;
    std::string strPinMenuKey;          /* 'a' verifies, 'b' changes */
    std::vector<std::string> astrPins;  /* one per prompt, in this order */
    std::string strResult;              /* after the last PIN */
    int nEndingSignal;                  /* its key (Ctrl+C, Ctrl+\) at the last prompt instead of its PIN; 0: none */
};

/* Addresses from 81 on: up to 74 are the end-of-input cases'. */
const PinEntryCase PIN_ENTRY_CASES[] = {
    {"VerifyPin", 81, "a\n", {FACTORY_PIN}, "SKF_VerifyPIN......Passed", 0},
    {"ChangePin", 82, "b\n", {FACTORY_PIN, NEW_PIN}, "SKF_ChangePIN......Passed", 0},
    {"CtrlCAtThePinPrompt", 83, "a\n", {"Interrupted77"}, "", SIGINT},
    {"CtrlBackslashAtThePinPrompt", 84, "a\n", {"Quitted77"}, "", SIGQUIT},
};

void PrintTo(const PinEntryCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestPinEntryTest : public SkftestProgramTest, public ::testing::WithParamInterface<PinEntryCase> {};

TEST_P(SkftestPinEntryTest, PinIsNotEchoedAndTheTerminalComesBack)
{
    const PinEntryCase &c = GetParam();
    AddToken(c.ulAddress, true);
    std::unique_ptr<CProgramRun> run = StartSkftest({"--menu"}, Input::Terminal);
    ASSERT_TRUE(run->WaitFor(DEVICE_PROMPT)) << run->Tail();
    /* The key that skips the device wait is not echoed either. */
    run->Send("K");
    ASSERT_TRUE(run->WaitFor(MODULE_PROMPT)) << run->Tail();
    EXPECT_NE(std::string::npos, run->Output().find(std::string(DEVICE_PROMPT) + "\n" + POLLING_LINE)) << run->Tail();
    run->Send("p\n" + c.strPinMenuKey);
    static const char *const PROMPTS[] = {"请输入PIN码: ", "请输入旧PIN码: ", "请输入新PIN码: "};
    for (size_t n = 0; n < c.astrPins.size(); ++n) {
        const char *pszPrompt = PROMPTS[c.astrPins.size() == 1 ? 0 : n + 1];
        ASSERT_TRUE(run->WaitFor(pszPrompt)) << run->Tail();
        /* The echo is off from the prompt on. */
        EXPECT_EQ((tcflag_t)ICANON, LocalModes(run->TerminalFd())) << pszPrompt;
        if (c.nEndingSignal != 0 && n + 1 == c.astrPins.size()) {
            run->Send(std::string(1, ControlKey(run->TerminalFd(), c.nEndingSignal)));
            ASSERT_TRUE(run->Finish(30)) << "skftest did not end:\n" << run->Tail();
            EXPECT_TRUE(EndedOnSignal(run->Status(), c.nEndingSignal)) << run->Status();
        } else {
            run->Send(c.astrPins[n] + "\n");
        }
    }
    if (c.nEndingSignal == 0) {
        ASSERT_TRUE(run->WaitFor(c.strResult)) << run->Tail();
        EXPECT_EQ((tcflag_t)(ICANON | ECHO), LocalModes(run->TerminalFd()));
        run->Send("x\nq\n");
        EndedWith(*run, 60, {c.strResult, MODULE_PROMPT, SEQUENCE_END});
    }
    for (const std::string &strPin : c.astrPins)
        EXPECT_EQ(std::string::npos, run->Output().find(strPin)) << strPin << " shown in\n" << run->Tail();
    EXPECT_EQ((tcflag_t)(ICANON | ECHO), LocalModes(run->TerminalFd()));
}

INSTANTIATE_TEST_SUITE_P(Terminal, SkftestPinEntryTest, ::testing::ValuesIn(PIN_ENTRY_CASES),
                         [](const ::testing::TestParamInfo<PinEntryCase> &info) { return info.param.pszName; });

/* ---- Ctrl+Z (or SIGSTOP) and fg on a terminal ---- */

/* The shell puts its own modes back when a job stops, and leaves them when
 * it continues the job: the program restores the terminal before it stops
 * and sets its modes again when it goes on. */
struct StopCase {
    const char *pszName;
    unsigned int ulAddress;
    bool bAtPinPrompt;  /* else at the device wait */
    int nStopSignal;    /* SIGTSTP: Ctrl+Z; SIGSTOP: sent to the job, it cannot restore first */
};

const StopCase STOP_CASES[] = {
    {"CtrlZAtThePinPrompt", 91, true, SIGTSTP},
    {"CtrlZAtTheDeviceWait", 92, false, SIGTSTP},
    {"SigstopAtThePinPrompt", 93, true, SIGSTOP},
};

void PrintTo(const StopCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestStopTest : public SkftestProgramTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SkftestStopTest, TypedAfterFgIsNotEchoed)
{
    const StopCase &c = GetParam();
    /* Typed once the job goes on: a PIN, or the key that skips the wait. */
    const std::string strTyped = c.bAtPinPrompt ? FACTORY_PIN : "~";
    const tcflag_t ulProgramModes = c.bAtPinPrompt ? ICANON : 0;
    AddToken(c.ulAddress, true);
    std::unique_ptr<CProgramRun> run = StartSkftest({"--menu"}, Input::JobTerminal);
    ASSERT_TRUE(run->WaitFor(DEVICE_PROMPT)) << run->Tail();
    if (c.bAtPinPrompt) {
        run->Send("K");
        ASSERT_TRUE(run->WaitFor(MODULE_PROMPT)) << run->Tail();
        run->Send("p\na\n");
        ASSERT_TRUE(run->WaitFor("请输入PIN码: ")) << run->Tail();
    }
    ASSERT_TRUE(WaitForModes(run->TerminalFd(), ulProgramModes)) << run->Tail();

    if (c.nStopSignal == SIGTSTP) {
        run->Send(std::string(1, ControlKey(run->TerminalFd(), SIGTSTP)));
    } else {
        pid_t pgrpJob = tcgetpgrp(run->TerminalFd());
        ASSERT_GT(pgrpJob, 0);
        ASSERT_EQ(0, kill(-pgrpJob, c.nStopSignal));
    }
    ASSERT_TRUE(run->WaitFor("[stopped;")) << run->Tail();
    if (c.nStopSignal == SIGTSTP) {
        EXPECT_NE(std::string::npos, run->Output().find(CProgramRun::STOPPED_MODES_KEPT)) << run->Tail();
    }
    run->Send("fg\n");
    /* Typed anyway when they are not: then it is echoed. */
    EXPECT_TRUE(WaitForModes(run->TerminalFd(), ulProgramModes)) << "the program's modes are not back\n"
                                                                  << run->Tail();
    run->Send(strTyped + (c.bAtPinPrompt ? "\n" : ""));
    if (c.bAtPinPrompt) {
        ASSERT_TRUE(run->WaitFor("SKF_VerifyPIN......Passed")) << run->Tail();
        run->Send("x\n");
    }
    ASSERT_TRUE(run->WaitFor(MODULE_PROMPT, 30, c.bAtPinPrompt ? 2 : 1)) << run->Tail();
    run->Send("q\n");
    std::string strOut = EndedWith(*run, 60, {"[stopped;", "fg", MODULE_PROMPT, SEQUENCE_END});
    EXPECT_EQ(std::string::npos, strOut.find(strTyped)) << strTyped << " shown in\n" << run->Tail();
    EXPECT_EQ((tcflag_t)(ICANON | ECHO), LocalModes(run->TerminalFd()));
}

INSTANTIATE_TEST_SUITE_P(Stop, SkftestStopTest, ::testing::ValuesIn(STOP_CASES),
                         [](const ::testing::TestParamInfo<StopCase> &info) { return info.param.pszName; });

/* ---- Ctrl+C and Ctrl+\ on a terminal ---- */

struct InterruptCase {
    const char *pszName;
    unsigned int ulAddress;
    bool bKeyFirst;  /* interrupt the device-list polls rather than the wait */
    int nSignal;     /* its key is typed */
};

const InterruptCase INTERRUPT_CASES[] = {
    {"CtrlCDuringTheDeviceWait", 41, false, SIGINT},
    {"CtrlCDuringTheDeviceListPolls", 42, true, SIGINT},
    {"CtrlBackslashDuringTheDeviceWait", 43, false, SIGQUIT},
    {"CtrlBackslashDuringTheDeviceListPolls", 44, true, SIGQUIT},
};

void PrintTo(const InterruptCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SkftestInterruptTest : public SkftestProgramTest, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(SkftestInterruptTest, EndsWithTheTerminalAsItWas)
{
    const InterruptCase &c = GetParam();
    AddToken(c.ulAddress, false);
    std::unique_ptr<CProgramRun> run = StartSkftest({"--password", FACTORY_PIN}, Input::Terminal);
    ASSERT_TRUE(run->WaitFor(DEVICE_PROMPT)) << run->Tail();
    if (c.bKeyFirst) {
        run->Send("x");
        ASSERT_TRUE(run->WaitFor(POLLING_LINE)) << run->Tail();
    }
    run->Send(std::string(1, ControlKey(run->TerminalFd(), c.nSignal)));
    ASSERT_TRUE(run->Finish(30)) << "skftest did not end:\n" << run->Tail();
    EXPECT_TRUE(EndedOnSignal(run->Status(), c.nSignal)) << run->Status();
    struct termios st;
    ASSERT_EQ(0, tcgetattr(run->TerminalFd(), &st));
    EXPECT_EQ((tcflag_t)(ICANON | ECHO), st.c_lflag & (ICANON | ECHO));
}

INSTANTIATE_TEST_SUITE_P(EndingKey, SkftestInterruptTest, ::testing::ValuesIn(INTERRUPT_CASES),
                         [](const ::testing::TestParamInfo<InterruptCase> &info) { return info.param.pszName; });

}  // namespace
