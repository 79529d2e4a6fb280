// The socket protocol between the virtual-token daemon and its clients (the
// libusb stand-in, the command line and the test kit).
//
// Every message is a 4-byte little-endian length followed by that many bytes:
// one operation byte, then the operation's fields.  Numbers are little-endian,
// byte strings and texts carry a 4-byte length in front.  Each request gets
// exactly one reply (a 4-byte signed code, then fields), except that a
// connection that sent Watch afterwards only receives hot-plug events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtoken {

using VtBytes = std::vector<uint8_t>;

enum class VtOp : uint8_t {
    Ping = 1,       // -> code 0
    List = 2,       // -> code 0, u32 count, count x device entry
    Open = 3,       // str serial, u32 plug generation -> code (0 or a libusb error)
    BulkOut = 4,    // u8 endpoint, bytes data -> code
    BulkIn = 5,     // u8 endpoint, u32 max length -> code, bytes data
    ClearHalt = 6,  // u8 endpoint -> code
    Driver = 7,     // u8 action (0 query, 1 detach, 2 attach) -> code (query: 0 or 1)
    Watch = 8,      // -> code 0; then events
    Control = 9,    // u32 argc, argc x str -> code (0 ok, 1 refused), str text
    Event = 0x80,   // pushed to watchers: u8 kind (1 arrived, 2 left), device entry
};

// One plugged token as the stand-in sees it.
struct VtDeviceEntry {
    std::string strSerial;       // the token's stable id
    uint32_t ulGeneration = 0;   // counts plug-ins; a re-plugged token is a new device
    uint8_t byBus = 0;
    uint8_t byAddress = 0;
};

class CVtMsgWriter {
public:
    explicit CVtMsgWriter(VtOp op) { m_vBuf.push_back(static_cast<uint8_t>(op)); }
    CVtMsgWriter() = default;
    CVtMsgWriter& U8(uint8_t v) { m_vBuf.push_back(v); return *this; }
    CVtMsgWriter& U32(uint32_t v);
    CVtMsgWriter& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    CVtMsgWriter& Bytes(const uint8_t* p, size_t n);
    CVtMsgWriter& Bytes(const VtBytes& v) { return Bytes(v.data(), v.size()); }
    CVtMsgWriter& Str(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    CVtMsgWriter& Device(const VtDeviceEntry& e);
    const VtBytes& Buffer() const { return m_vBuf; }

private:
    VtBytes m_vBuf;
};

// Reads fields in order; a read past the end sets the failed flag and
// yields zeros, so a short message is detected once, after parsing.
class CVtMsgReader {
public:
    explicit CVtMsgReader(const VtBytes& v) : m_pBuf(&v) {}
    uint8_t U8();
    uint32_t U32();
    int32_t I32() { return static_cast<int32_t>(U32()); }
    VtBytes Bytes();
    std::string Str();
    VtDeviceEntry Device();
    bool Failed() const { return m_bFailed; }
    bool AtEnd() const { return m_nPos == m_pBuf->size(); }

private:
    bool Take(size_t n);
    const VtBytes* m_pBuf;
    size_t m_nPos = 0;
    bool m_bFailed = false;
};

// Largest message either side accepts.
constexpr uint32_t kVtMaxMessage = 1u << 20;

// The socket path: BRIO_VTOKEN_SOCKET, else "brio-vtoken/socket" under
// $XDG_RUNTIME_DIR, else "/tmp/brio-vtoken-<uid>/socket".
std::string VtDefaultSocketPath();
// Connects to a daemon; -1 when none listens there.
int VtConnect(const std::string& strPath);
// Whole-message I/O on a blocking stream socket; false when the peer is gone.
bool VtSendMessage(int fd, const VtBytes& vMsg);
bool VtRecvMessage(int fd, VtBytes& vMsg);

// A request/reply connection to the daemon.
class CVtLinkClient {
public:
    CVtLinkClient() = default;
    ~CVtLinkClient() { Close(); }
    CVtLinkClient(const CVtLinkClient&) = delete;
    CVtLinkClient& operator=(const CVtLinkClient&) = delete;

    bool Connect(const std::string& strPath);
    void Close();
    bool IsOpen() const { return m_iFd >= 0; }
    int Fd() const { return m_iFd; }
    // Sends the request and waits for its reply; false when the link broke.
    bool Call(const CVtMsgWriter& req, VtBytes& vReply);

private:
    int m_iFd = -1;
};

// Runs one control sub-command; returns the daemon's code (-1 when no daemon
// answered) and its text.
int VtControl(const std::string& strSocket, const std::vector<std::string>& args, std::string& strText);

}  // namespace vtoken
