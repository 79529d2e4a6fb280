// The virtual-token daemon: one poll loop serving every client connection
// (the libusb stand-ins of any number of processes, the command line, the
// test kit) over one Unix socket.  Requests are handled one at a time, so
// each token sees its commands in a single order, as a real device does.
// The loop never waits for one client: replies are queued per connection
// and sent as the socket takes them, and a client whose unread replies pass
// kMaxQueued is dropped.
#pragma once

#include "vtoken/link/VtLink.h"
#include "vtoken/token/VtStore.h"
#include "vtoken/token/VtToken.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vtoken {

// Exit status and control answer of a command line that is not understood
// (unknown command or option, a missing value, a wrong number of arguments).
constexpr int kVtUsageError = 2;

// The control commands' usage lines, as `brio-vtoken help` prints them.
const char* VtCommandUsage();

class CVtServer {
public:
    CVtServer(std::string strSocket, std::string strStateDir, std::string strKeysDir);
    ~CVtServer();
    // Serves until SIGTERM or SIGINT; the process exit code.
    int Run();

    // A control sub-command (the words after `brio-vtoken`); 0 done, 1 refused,
    // kVtUsageError when the command line is not understood.
    int Control(const std::vector<std::string>& args, std::string& strOut);

private:
    // Unsent replies and events a connection may hold before it is dropped.
    static constexpr size_t kMaxQueued = 1u << 20;

    struct CConn {
        int iFd = -1;
        uint64_t ulId = 0;          // unique for the daemon's life
        VtBytes vIn;
        VtBytes vOut;               // framed replies and events not sent yet
        bool bWatcher = false;
        std::string strToken;       // id of the token opened on this connection
        uint32_t ulGeneration = 0;
    };

    bool Listen(std::string& strError);
    bool LoadTokens(std::string& strError);
    void Accept();
    bool ReadConn(CConn& conn);  // false: close it
    bool Queue(CConn& conn, const VtBytes& vMsg);  // false: over kMaxQueued
    bool Flush(CConn& conn);     // sends what the socket takes; false: broken
    VtBytes Handle(CConn& conn, const VtBytes& vMsg);
    CVtToken* Bound(const CConn& conn);
    CVtToken* Find(const std::string& strName);
    CVtToken& AddToken(CVtTokenState state);
    void Broadcast(uint8_t byKind, const CVtToken& token);
    VtDeviceEntry Entry(const CVtToken& token) const;

    int CtlInit(const std::vector<std::string>& args, std::string& strOut);
    int CtlPlug(CVtToken& token, bool bPlug, std::string& strOut);

    std::string m_strSocket;
    CVtStore m_store;
    std::string m_strKeysDir;
    int m_iListen = -1;
    uint64_t m_ulNextConn = 1;
    std::vector<CConn> m_vConns;
    std::map<std::string, std::unique_ptr<CVtToken>> m_mapTokens;  // by id
    std::map<std::string, std::string> m_mapRefused;  // state files not loaded: path -> why
};

}  // namespace vtoken
