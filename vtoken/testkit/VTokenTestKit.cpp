#include "vtoken/testkit/VTokenTestKit.h"

#include "vtoken/link/VtLink.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ftw.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vtoken {

namespace {

int RemoveEntry(const char* szPath, const struct stat*, int, struct FTW*)
{
    return remove(szPath);
}

}  // namespace

Daemon::Daemon()
{
    char szTemplate[] = "/tmp/brio-vtoken-test-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        throw std::runtime_error("vtoken: cannot make a temporary directory");
    }
    m_strTempDir = szTemplate;
    m_strSocket = m_strTempDir + "/socket";
    m_strStateDir = m_strTempDir + "/state";
    setenv("BRIO_VTOKEN_SOCKET", m_strSocket.c_str(), 1);
    Start();
}

Daemon::~Daemon()
{
    Stop();
    if (!m_strTempDir.empty()) {
        nftw(m_strTempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

void Daemon::Start()
{
    std::string strExe = VT_DAEMON_PATH;
    std::vector<std::string> args = {strExe, "serve", "--socket", m_strSocket, "--state", m_strStateDir};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, strExe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("vtoken: cannot start " + strExe);
    }
    m_iPid = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        int iStatus = 0;
        if (waitpid(m_iPid, &iStatus, WNOHANG) == m_iPid) {
            m_iPid = -1;
            throw std::runtime_error("vtoken: the daemon exited at start");
        }
        CVtLinkClient client;
        VtBytes vReply;
        if (client.Connect(m_strSocket) && client.Call(CVtMsgWriter(VtOp::Ping), vReply)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    throw std::runtime_error("vtoken: the daemon did not answer");
}

void Daemon::Stop()
{
    if (m_iPid > 0) {
        kill(m_iPid, SIGKILL);
        int iStatus = 0;
        while (waitpid(m_iPid, &iStatus, 0) < 0 && errno == EINTR) {
        }
        m_iPid = -1;
    }
}

void Daemon::Restart()
{
    Stop();
    Start();
}

std::string Daemon::Control(const std::vector<std::string>& args)
{
    std::string strText;
    int iCode = VtControl(m_strSocket, args, strText);
    if (iCode != 0) {
        std::string strCmd;
        for (const auto& a : args) {
            strCmd += (strCmd.empty() ? "" : " ") + a;
        }
        throw std::runtime_error("brio-vtoken " + strCmd + ": " + strText);
    }
    return strText;
}

void Daemon::CreateToken(const TokenOptions& opts)
{
    std::vector<std::string> args = {
        "init", "--serial", opts.serial, "--label", opts.label,
        "--alg", std::to_string(opts.algByte),
        "--bus", std::to_string(opts.bus), "--address", std::to_string(opts.address),
        "--user-pin", opts.userPin, "--so-pin", opts.soPin,
        "--user-retries", std::to_string(opts.userRetries), "--so-retries", std::to_string(opts.soRetries)};
    if (!opts.plugged) {
        args.push_back("--unplugged");
    }
    args.insert(args.end(), opts.extraArgs.begin(), opts.extraArgs.end());
    Control(args);
}

void Daemon::Plug(const std::string& serial) { Control({"plug", serial}); }
void Daemon::Unplug(const std::string& serial) { Control({"unplug", serial}); }
void Daemon::SetButton(const std::string& serial, const std::string& policy) { Control({"button", serial, policy}); }
void Daemon::InjectFault(const std::string& serial, const std::string& fault) { Control({"fault", serial, fault}); }
std::string Daemon::State(const std::string& serial) { return Control({"show", serial}); }

std::string Daemon::StateField(const std::string& serial, const std::string& key)
{
    std::string strState = State(serial);
    std::string strPrefix = key + ": ";
    size_t pos = 0;
    while (pos < strState.size()) {
        size_t end = strState.find('\n', pos);
        if (end == std::string::npos) {
            end = strState.size();
        }
        std::string strLine = strState.substr(pos, end - pos);
        if (strLine.compare(0, strPrefix.size(), strPrefix) == 0) {
            return strLine.substr(strPrefix.size());
        }
        pos = end + 1;
    }
    throw std::runtime_error("vtoken: no field '" + key + "' in the state of " + serial);
}

unsigned Daemon::UserRetriesLeft(const std::string& serial)
{
    return static_cast<unsigned>(std::stoul(StateField(serial, "user-pin-retries-left")));
}

unsigned Daemon::SoRetriesLeft(const std::string& serial)
{
    return static_cast<unsigned>(std::stoul(StateField(serial, "so-pin-retries-left")));
}

unsigned long Daemon::Exchanges(const std::string& serial)
{
    return std::stoul(StateField(serial, "exchanges"));
}

}  // namespace vtoken
