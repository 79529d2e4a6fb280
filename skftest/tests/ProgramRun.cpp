#include "skftest/tests/ProgramRun.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <map>

extern char **environ;

namespace skftest_test {

namespace {

/* More output than any run of the programs under test gives: one that
 * loops on printing. */
const size_t OUTPUT_LIMIT = 1u << 20;

long long NowMillis()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* This process's environment changed by astrEnv, as execve takes it. */
std::vector<std::string> ChildEnvironment(const std::vector<std::string> &astrEnv)
{
    std::map<std::string, std::string> env;
    for (char **pp = environ; *pp != nullptr; ++pp) {
        std::string strEntry = *pp;
        size_t nEq = strEntry.find('=');
        if (nEq != std::string::npos) env[strEntry.substr(0, nEq)] = strEntry.substr(nEq + 1);
    }
    for (const std::string &strChange : astrEnv) {
        size_t nEq = strChange.find('=');
        if (nEq == std::string::npos) env.erase(strChange);
        else env[strChange.substr(0, nEq)] = strChange.substr(nEq + 1);
    }
    std::vector<std::string> astrResult;
    for (const auto &entry : env) astrResult.push_back(entry.first + "=" + entry.second);
    return astrResult;
}

std::vector<char *> Pointers(std::vector<std::string> &astr)
{
    std::vector<char *> ap;
    for (std::string &str : astr) ap.push_back(&str[0]);
    ap.push_back(nullptr);
    return ap;
}

/* In the child: no core file from a run that ends on SIGQUIT. */
void NoCoreFile()
{
    struct rlimit stLimit = {0, 0};
    setrlimit(RLIMIT_CORE, &stLimit);
}

void WriteAll(int nFd, const char *pszText)
{
    for (size_t nLeft = strlen(pszText); nLeft > 0;) {
        ssize_t n = write(nFd, pszText, nLeft);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        pszText += n;
        nLeft -= (size_t)n;
    }
}

/* Reads lines from standard input until one is "fg"; false at its end. */
bool WaitForForegroundCommand()
{
    char szLine[64];
    size_t nLen = 0;
    for (;;) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c != '\n') {
            if (nLen < sizeof(szLine) - 1) szLine[nLen++] = c;
            continue;
        }
        szLine[nLen] = '\0';
        if (strcmp(szLine, "fg") == 0) return true;
        nLen = 0;
    }
}

const int JOB_CONTROL_SIGNALS[] = {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

/* The stand-in shell of Input::JobTerminal, in the forkpty child: a
 * process forked from a test process may only make async-signal-safe
 * calls, and this one does not exec. */
[[noreturn]] void RunAsJob(char *const *apArgs, char *const *apEnv)
{
    const tcflag_t MODES = ICANON | ECHO;
    struct termios stShell;
    if (tcgetattr(STDIN_FILENO, &stShell) != 0) _exit(127);
    for (int nSignal : JOB_CONTROL_SIGNALS) signal(nSignal, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0) _exit(127);
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        tcsetpgrp(STDIN_FILENO, getpid());
        for (int nSignal : JOB_CONTROL_SIGNALS) signal(nSignal, SIG_DFL);
        execve(apArgs[0], apArgs, apEnv);
        _exit(127);
    }
    /* Both sides set the group, as a shell does: whichever comes first. */
    setpgid(pid, pid);
    tcsetpgrp(STDIN_FILENO, pid);
    for (;;) {
        int nStatus;
        if (waitpid(pid, &nStatus, WUNTRACED) < 0) {
            if (errno == EINTR) continue;
            _exit(127);
        }
        if (WIFSTOPPED(nStatus)) {
            tcsetpgrp(STDIN_FILENO, getpgrp());
            struct termios stFound;
            bool bKept = tcgetattr(STDIN_FILENO, &stFound) == 0 &&
                         (stFound.c_lflag & MODES) == (stShell.c_lflag & MODES);
            tcsetattr(STDIN_FILENO, TCSANOW, &stShell);
            WriteAll(STDOUT_FILENO, bKept ? CProgramRun::STOPPED_MODES_KEPT : CProgramRun::STOPPED_MODES_CHANGED);
            if (!WaitForForegroundCommand()) {
                kill(-pid, SIGKILL);
                _exit(127);
            }
            tcsetpgrp(STDIN_FILENO, pid);
            kill(-pid, SIGCONT);
            continue;
        }
        if (WIFSIGNALED(nStatus)) {
            signal(WTERMSIG(nStatus), SIG_DFL);
            kill(getpid(), WTERMSIG(nStatus));
            _exit(128 + WTERMSIG(nStatus));
        }
        _exit(WEXITSTATUS(nStatus));
    }
}

}  // namespace

const char *const CProgramRun::STOPPED_MODES_KEPT = "\n[stopped; the terminal's modes as before]\n";
const char *const CProgramRun::STOPPED_MODES_CHANGED = "\n[stopped; the terminal's modes changed]\n";

CProgramRun::CProgramRun(const std::vector<std::string> &argv, const std::vector<std::string> &astrEnv,
                         Input eInput)
{
    /* A child that ended early must not end the test through SIGPIPE. */
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> astrArgs = argv;
    std::vector<std::string> astrEnvironment = ChildEnvironment(astrEnv);
    std::vector<char *> apArgs = Pointers(astrArgs);
    std::vector<char *> apEnv = Pointers(astrEnvironment);
    if (eInput == Input::Terminal || eInput == Input::JobTerminal) {
        struct winsize stSize;
        memset(&stSize, 0, sizeof(stSize));
        stSize.ws_row = 40;
        stSize.ws_col = 120;
        m_pid = forkpty(&m_nTerminal, nullptr, nullptr, &stSize);
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            NoCoreFile();
            if (eInput == Input::JobTerminal) RunAsJob(apArgs.data(), apEnv.data());
            execve(apArgs[0], apArgs.data(), apEnv.data());
            _exit(127);
        }
        m_nInput = m_nTerminal;
        m_nOutput = m_nTerminal;
        return;
    }
    int anIn[2];
    int anOut[2];
    if (pipe2(anIn, O_CLOEXEC) != 0) return;
    if (pipe2(anOut, O_CLOEXEC) != 0) {
        close(anIn[0]);
        close(anIn[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        NoCoreFile();
        if (eInput == Input::Closed) {
            close(STDIN_FILENO);
        } else {
            int nNull = eInput == Input::Null ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
            dup2(nNull != -1 ? nNull : anIn[0], STDIN_FILENO);
        }
        dup2(anOut[1], STDOUT_FILENO);
        dup2(anOut[1], STDERR_FILENO);
        execve(apArgs[0], apArgs.data(), apEnv.data());
        _exit(127);
    }
    close(anIn[0]);
    close(anOut[1]);
    m_nInput = anIn[1];
    m_nOutput = anOut[0];
}

CProgramRun::~CProgramRun()
{
    Kill();
    if (m_nInput != -1 && m_nInput != m_nTerminal) close(m_nInput);
    if (m_nOutput != -1 && m_nOutput != m_nTerminal) close(m_nOutput);
    if (m_nTerminal != -1) close(m_nTerminal);
}

void CProgramRun::Kill()
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    while (waitpid(m_pid, &m_nStatus, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

void CProgramRun::Send(const std::string &strText)
{
    size_t nDone = 0;
    while (m_nInput != -1 && nDone < strText.size()) {
        ssize_t n = write(m_nInput, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        nDone += (size_t)n;
    }
}

void CProgramRun::EndInput()
{
    if (m_nTerminal != -1) {
        struct termios st;
        char cEof = 4;
        if (tcgetattr(m_nTerminal, &st) == 0) cEof = (char)st.c_cc[VEOF];
        Send(std::string(1, cEof));
        return;
    }
    if (m_nInput != -1) close(m_nInput);
    m_nInput = -1;
}

bool CProgramRun::ReadSome(int nMillis)
{
    if (m_bOutputEnded || m_bRunaway || m_nOutput == -1) return false;
    pollfd stPoll = {m_nOutput, POLLIN, 0};
    int nReady = poll(&stPoll, 1, nMillis);
    if (nReady <= 0) return true;
    char abBuffer[4096];
    ssize_t n = read(m_nOutput, abBuffer, sizeof(abBuffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        /* End of the pipe; EIO from a terminal whose other side closed. */
        m_bOutputEnded = true;
        return false;
    }
    if (m_strOutput.size() + (size_t)n > OUTPUT_LIMIT) {
        m_bRunaway = true;
        return false;
    }
    m_strOutput.append(abBuffer, (size_t)n);
    return true;
}

bool CProgramRun::WaitFor(const std::string &strText, int nSeconds, size_t nCount)
{
    long long llDeadline = NowMillis() + 1000LL * nSeconds;
    for (;;) {
        if (CountOf(Output(), strText) >= nCount) return true;
        long long llLeft = llDeadline - NowMillis();
        if (llLeft <= 0) return false;
        if (!ReadSome((int)(llLeft < 100 ? llLeft : 100)) && (m_bOutputEnded || m_bRunaway))
            return CountOf(Output(), strText) >= nCount;
    }
}

void CProgramRun::Drain(int nMillis)
{
    long long llDeadline = NowMillis() + nMillis;
    for (long long llLeft = nMillis; llLeft > 0; llLeft = llDeadline - NowMillis()) {
        if (!ReadSome((int)llLeft) && (m_bOutputEnded || m_bRunaway)) return;
    }
}

bool CProgramRun::Running()
{
    if (m_pid <= 0) return false;
    if (waitpid(m_pid, &m_nStatus, WNOHANG) != m_pid) return true;
    m_pid = -1;
    return false;
}

bool CProgramRun::Finish(int nSeconds)
{
    long long llDeadline = NowMillis() + 1000LL * nSeconds;
    for (long long llLeft = 1000LL * nSeconds; !m_bOutputEnded && !m_bRunaway && llLeft > 0;
         llLeft = llDeadline - NowMillis())
        ReadSome((int)(llLeft < 100 ? llLeft : 100));
    if (m_bRunaway) {
        Kill();
        return false;
    }
    while (Running() && NowMillis() < llDeadline) usleep(20000);
    if (m_pid <= 0) return true;
    Kill();
    return false;
}

std::string CProgramRun::Output() const
{
    std::string strText;
    strText.reserve(m_strOutput.size());
    for (char c : m_strOutput)
        if (c != '\r') strText.push_back(c);
    if (m_bRunaway) strText += "\n[more output than a run of this program gives: stopped]\n";
    return strText;
}

std::string CProgramRun::Tail() const
{
    const size_t TAIL = 6000;
    std::string strText = Output();
    return strText.size() <= TAIL ? strText : "...\n" + strText.substr(strText.size() - TAIL);
}

bool ContainsInOrder(const std::string &strText, const std::vector<std::string> &astrParts, std::string *pstrMissing)
{
    size_t nAt = 0;
    for (const std::string &strPart : astrParts) {
        size_t nFound = strText.find(strPart, nAt);
        if (nFound == std::string::npos) {
            if (pstrMissing != nullptr) *pstrMissing = strPart;
            return false;
        }
        nAt = nFound + strPart.size();
    }
    return true;
}

size_t CountOf(const std::string &strText, const std::string &strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos; nAt = strText.find(strPart, nAt + strPart.size()))
        ++nCount;
    return nCount;
}

}  // namespace skftest_test
