// Test kit for suites that run against the virtual token.
//
// A test fixture owns one vtoken::Daemon: a private `brio-vtoken serve` on a
// temporary socket and state directory.  The constructor sets
// BRIO_VTOKEN_SOCKET in this process, so the libusb stand-in (put in front of
// the real libusb by brio_vtoken_gtest) talks to this daemon.
#pragma once

#include <string>
#include <vector>

namespace vtoken {

// What `init` gives a new token.  The defaults are the virtual token's
// factory settings (see vtoken/README.md).
struct TokenOptions {
    std::string serial = "VT0000000001";
    std::string label = "Brio Virtual Token";
    unsigned algByte = 0x13;      // 0x13: SM2/SM4 token, 3: RSA/3DES token
    unsigned bus = 1;
    unsigned address = 5;
    bool plugged = true;
    std::string userPin = "12345678";
    std::string soPin = "12345678";
    unsigned userRetries = 10;
    unsigned soRetries = 10;
    // Extra `init` options passed verbatim, e.g. {"--unsigned-auth-key"}.
    std::vector<std::string> extraArgs;
};

class Daemon {
public:
    Daemon();                     // starts the daemon and waits until it answers
    ~Daemon();                    // stops it and removes the temporary directory
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    void Restart();               // SIGKILL, then start again on the same state dir
    void Stop();                  // SIGKILL only; Restart() or the destructor follow

    // Runs a control sub-command (the arguments after `brio-vtoken`), returns
    // what it prints; throws std::runtime_error when the daemon refuses it.
    std::string Control(const std::vector<std::string>& args);

    void CreateToken(const TokenOptions& opts);
    void Plug(const std::string& serial);
    void Unplug(const std::string& serial);
    void SetButton(const std::string& serial, const std::string& policy);  // "now" | "after:N" | "never"
    // "stall" | "bad-tag" | "csw-status" | "short:N" | "long" | "garbage" | "no-csw"
    void InjectFault(const std::string& serial, const std::string& fault);
    std::string State(const std::string& serial);   // what `show` prints

    // One "key: value" line of State(serial); throws when absent.
    std::string StateField(const std::string& serial, const std::string& key);
    unsigned UserRetriesLeft(const std::string& serial);
    unsigned SoRetriesLeft(const std::string& serial);
    // The frames the token answered since the daemon started, from every process.
    unsigned long Exchanges(const std::string& serial);

    const std::string& SocketPath() const { return m_strSocket; }
    const std::string& StateDir() const { return m_strStateDir; }
    int Pid() const { return m_iPid; }

private:
    void Start();
    std::string m_strTempDir;
    std::string m_strSocket;
    std::string m_strStateDir;
    int m_iPid = -1;
};

}  // namespace vtoken
