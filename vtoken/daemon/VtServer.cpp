#include "vtoken/daemon/VtServer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vtoken {

namespace {

constexpr int kUsbNoDevice = -4;  // LIBUSB_ERROR_NO_DEVICE
constexpr int kUsbInvalid = -2;   // LIBUSB_ERROR_INVALID_PARAM

volatile sig_atomic_t g_bStop = 0;

void OnSignal(int) { g_bStop = 1; }

VtBytes Reply(int iCode)
{
    return CVtMsgWriter().I32(iCode).Buffer();
}

std::string Parent(const std::string& strPath)
{
    size_t pos = strPath.rfind('/');
    return pos == std::string::npos || pos == 0 ? std::string(pos == 0 ? "/" : ".") : strPath.substr(0, pos);
}

}  // namespace

CVtServer::CVtServer(std::string strSocket, std::string strStateDir, std::string strKeysDir)
    : m_strSocket(std::move(strSocket)), m_store(std::move(strStateDir)), m_strKeysDir(std::move(strKeysDir))
{
}

CVtServer::~CVtServer()
{
    for (auto& c : m_vConns) {
        close(c.iFd);
    }
    if (m_iListen >= 0) {
        close(m_iListen);
        unlink(m_strSocket.c_str());
    }
}

bool CVtServer::Listen(std::string& strError)
{
    sockaddr_un addr {};
    if (m_strSocket.empty() || m_strSocket.size() >= sizeof(addr.sun_path)) {
        strError = "socket path too long: " + m_strSocket;
        return false;
    }
    // The socket's folder is private to the user.
    CVtStore folder(Parent(m_strSocket));
    if (!folder.Prepare(strError)) {
        return false;
    }
    int fdProbe = VtConnect(m_strSocket);
    if (fdProbe >= 0) {
        close(fdProbe);
        strError = "another daemon already serves " + m_strSocket;
        return false;
    }
    unlink(m_strSocket.c_str());
    m_iListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, m_strSocket.c_str(), m_strSocket.size() + 1);
    mode_t old = umask(0077);
    bool bOk = m_iListen >= 0 && bind(m_iListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
               listen(m_iListen, 64) == 0;
    umask(old);
    if (!bOk) {
        strError = "cannot listen on " + m_strSocket + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CVtServer::LoadTokens(std::string& strError)
{
    std::vector<CVtTokenState> vStates;
    std::vector<VtRefusedFile> vRefused;
    if (!m_store.Prepare(strError) || !m_store.LoadAll(vStates, vRefused, strError)) {
        return false;
    }
    // A damaged file costs its own token only; it stays as it is for repair.
    for (const auto& r : vRefused) {
        fprintf(stderr, "brio-vtoken: %s: %s; that token is not served\n", r.strPath.c_str(), r.strWhy.c_str());
        m_mapRefused[r.strPath] = r.strWhy;
    }
    for (auto& s : vStates) {
        AddToken(std::move(s));
    }
    return true;
}

CVtToken& CVtServer::AddToken(CVtTokenState state)
{
    std::string strId = state.strId;
    auto saver = [this](const CVtTokenState& s) {
        std::string strError;
        if (!m_store.Save(s, strError)) {
            fprintf(stderr, "brio-vtoken: %s\n", strError.c_str());
            return false;
        }
        return true;
    };
    auto& slot = m_mapTokens[strId];
    slot = std::make_unique<CVtToken>(std::move(state), saver);
    return *slot;
}

CVtToken* CVtServer::Find(const std::string& strName)
{
    auto it = m_mapTokens.find(strName);
    if (it != m_mapTokens.end()) {
        return it->second.get();
    }
    for (auto& kv : m_mapTokens) {
        if (kv.second->State().strSerial == strName) {
            return kv.second.get();
        }
    }
    return nullptr;
}

VtDeviceEntry CVtServer::Entry(const CVtToken& token) const
{
    const CVtTokenState& s = token.State();
    return {s.strId, s.ulGeneration, static_cast<uint8_t>(s.ulBus), static_cast<uint8_t>(s.ulAddress)};
}

void CVtServer::Broadcast(uint8_t byKind, const CVtToken& token)
{
    CVtMsgWriter msg(VtOp::Event);
    msg.U8(byKind).Device(Entry(token));
    for (auto& c : m_vConns) {
        // A watcher that does not read its events is dropped, never waited for:
        // the loop sees the shut-down socket at its next pass.
        if (c.bWatcher && (!Queue(c, msg.Buffer()) || !Flush(c))) {
            shutdown(c.iFd, SHUT_RDWR);
        }
    }
}

CVtToken* CVtServer::Bound(const CConn& conn)
{
    if (conn.strToken.empty()) {
        return nullptr;
    }
    auto it = m_mapTokens.find(conn.strToken);
    if (it == m_mapTokens.end() || !it->second->State().bPlugged ||
        it->second->State().ulGeneration != conn.ulGeneration) {
        return nullptr;  // unplugged since: the handle is dead
    }
    return it->second.get();
}

VtBytes CVtServer::Handle(CConn& conn, const VtBytes& vMsg)
{
    CVtMsgReader rd(vMsg);
    VtOp op = static_cast<VtOp>(rd.U8());
    switch (op) {
    case VtOp::Ping: return Reply(0);
    case VtOp::List: {
        std::vector<const CVtToken*> v;
        for (auto& kv : m_mapTokens) {
            if (kv.second->State().bPlugged) {
                v.push_back(kv.second.get());
            }
        }
        std::sort(v.begin(), v.end(), [](const CVtToken* a, const CVtToken* b) {
            return std::make_pair(a->State().ulBus, a->State().ulAddress) <
                   std::make_pair(b->State().ulBus, b->State().ulAddress);
        });
        CVtMsgWriter w;
        w.I32(0).U32(static_cast<uint32_t>(v.size()));
        for (const CVtToken* t : v) {
            w.Device(Entry(*t));
        }
        return w.Buffer();
    }
    case VtOp::Open: {
        std::string strId = rd.Str();
        uint32_t ulGen = rd.U32();
        auto it = m_mapTokens.find(strId);
        if (rd.Failed() || it == m_mapTokens.end() || !it->second->State().bPlugged ||
            it->second->State().ulGeneration != ulGen) {
            return Reply(kUsbNoDevice);
        }
        conn.strToken = strId;
        conn.ulGeneration = ulGen;
        return Reply(0);
    }
    case VtOp::BulkOut:
    case VtOp::BulkIn:
    case VtOp::ClearHalt:
    case VtOp::Driver: {
        uint8_t byArg = rd.U8();
        CVtToken* t = Bound(conn);
        if (t == nullptr) {
            return Reply(kUsbNoDevice);
        }
        if (op == VtOp::BulkOut) {
            VtBytes vData = rd.Bytes();
            return Reply(rd.Failed() ? kUsbInvalid : t->BulkOut(byArg, vData, conn.ulId));
        }
        if (op == VtOp::BulkIn) {
            uint32_t ulMax = rd.U32();
            VtBytes vData;
            int iCode = rd.Failed() ? kUsbInvalid : t->BulkIn(byArg, ulMax, vData);
            return CVtMsgWriter().I32(iCode).Bytes(vData).Buffer();
        }
        int iCode = op == VtOp::ClearHalt ? t->ClearHalt(byArg) : t->KernelDriver(byArg);
        t->SaveIfChanged();
        return Reply(iCode);
    }
    case VtOp::Watch:
        conn.bWatcher = true;
        return Reply(0);
    case VtOp::Control: {
        uint32_t n = rd.U32();
        std::vector<std::string> args;
        for (uint32_t i = 0; i < n && !rd.Failed() && i < 256; ++i) {
            args.push_back(rd.Str());
        }
        std::string strOut;
        int iCode = rd.Failed() ? 1 : Control(args, strOut);
        return CVtMsgWriter().I32(iCode).Str(rd.Failed() ? "malformed request" : strOut).Buffer();
    }
    default: return Reply(kUsbInvalid);
    }
}

void CVtServer::Accept()
{
    int fd = accept4(m_iListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    CConn c;
    c.iFd = fd;
    c.ulId = m_ulNextConn++;
    m_vConns.push_back(std::move(c));
}

bool CVtServer::Queue(CConn& conn, const VtBytes& vMsg)
{
    if (conn.vOut.size() + 4 + vMsg.size() > kMaxQueued) {
        return false;
    }
    uint8_t head[4];
    VtPutLE32(head, static_cast<uint32_t>(vMsg.size()));
    conn.vOut.insert(conn.vOut.end(), head, head + 4);
    VtAppend(conn.vOut, vMsg);
    return true;
}

bool CVtServer::Flush(CConn& conn)
{
    size_t off = 0;
    while (off < conn.vOut.size()) {
        ssize_t w = send(conn.iFd, conn.vOut.data() + off, conn.vOut.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;  // the rest goes when the socket has room (POLLOUT)
        }
        if (w <= 0) {
            return false;
        }
        off += static_cast<size_t>(w);
    }
    conn.vOut.erase(conn.vOut.begin(), conn.vOut.begin() + static_cast<long>(off));
    return true;
}

bool CVtServer::ReadConn(CConn& conn)
{
    // A bounded read per pass, so that a client that keeps sending does not
    // hold the loop.
    uint8_t buf[65536];
    for (int i = 0; i < 4; ++i) {
        ssize_t n = recv(conn.iFd, buf, sizeof(buf), 0);
        if (n > 0) {
            conn.vIn.insert(conn.vIn.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;  // closed or failed
    }
    size_t off = 0;
    while (conn.vIn.size() - off >= 4) {
        uint32_t ulLen = VtGetLE32(conn.vIn.data() + off);
        if (ulLen > kVtMaxMessage) {
            return false;
        }
        if (conn.vIn.size() - off < 4 + static_cast<size_t>(ulLen)) {
            break;
        }
        VtBytes vMsg(conn.vIn.begin() + static_cast<long>(off + 4),
                     conn.vIn.begin() + static_cast<long>(off + 4 + ulLen));
        off += 4 + ulLen;
        if (!Queue(conn, Handle(conn, vMsg))) {
            return false;  // it does not read its replies
        }
    }
    conn.vIn.erase(conn.vIn.begin(), conn.vIn.begin() + static_cast<long>(off));
    return Flush(conn);
}

int CVtServer::Run()
{
    std::string strError;
    if (!LoadTokens(strError) || !Listen(strError)) {
        fprintf(stderr, "brio-vtoken: %s\n", strError.c_str());
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    while (!g_bStop) {
        std::vector<pollfd> vPoll;
        vPoll.push_back({m_iListen, POLLIN, 0});
        for (auto& c : m_vConns) {
            vPoll.push_back({c.iFd, static_cast<short>(c.vOut.empty() ? POLLIN : POLLIN | POLLOUT), 0});
        }
        int rc = poll(vPoll.data(), vPoll.size(), 1000);
        if (rc < 0 && errno != EINTR) {
            fprintf(stderr, "brio-vtoken: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (rc <= 0) {
            continue;
        }
        // Connections first (the indices match vPoll), then new clients.
        std::vector<int> vClosed;
        for (size_t i = 0; i < m_vConns.size() && i + 1 < vPoll.size(); ++i) {
            short revents = vPoll[i + 1].revents;
            bool bOk = (revents & POLLOUT) == 0 || Flush(m_vConns[i]);
            if (!bOk || ((revents & ~POLLOUT) != 0 && !ReadConn(m_vConns[i]))) {
                vClosed.push_back(m_vConns[i].iFd);
                auto it = m_mapTokens.find(m_vConns[i].strToken);
                if (it != m_mapTokens.end()) {
                    it->second->ClientGone(m_vConns[i].ulId);
                }
            }
        }
        for (int fd : vClosed) {
            close(fd);
            m_vConns.erase(std::remove_if(m_vConns.begin(), m_vConns.end(),
                                          [fd](const CConn& c) { return c.iFd == fd; }),
                           m_vConns.end());
        }
        if ((vPoll[0].revents & POLLIN) != 0) {
            Accept();
        }
    }
    return 0;
}

}  // namespace vtoken
