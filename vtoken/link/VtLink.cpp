#include "vtoken/link/VtLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vtoken {

CVtMsgWriter& CVtMsgWriter::U32(uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        m_vBuf.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return *this;
}

CVtMsgWriter& CVtMsgWriter::Bytes(const uint8_t* p, size_t n)
{
    U32(static_cast<uint32_t>(n));
    if (n != 0) {
        m_vBuf.insert(m_vBuf.end(), p, p + n);
    }
    return *this;
}

CVtMsgWriter& CVtMsgWriter::Device(const VtDeviceEntry& e)
{
    return Str(e.strSerial).U32(e.ulGeneration).U8(e.byBus).U8(e.byAddress);
}

bool CVtMsgReader::Take(size_t n)
{
    if (m_bFailed || m_pBuf->size() - m_nPos < n) {
        m_bFailed = true;
        return false;
    }
    return true;
}

uint8_t CVtMsgReader::U8()
{
    return Take(1) ? (*m_pBuf)[m_nPos++] : 0;
}

uint32_t CVtMsgReader::U32()
{
    if (!Take(4)) {
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>((*m_pBuf)[m_nPos++]) << (8 * i);
    }
    return v;
}

VtBytes CVtMsgReader::Bytes()
{
    uint32_t n = U32();
    if (!Take(n)) {
        return {};
    }
    VtBytes v(m_pBuf->begin() + static_cast<long>(m_nPos), m_pBuf->begin() + static_cast<long>(m_nPos + n));
    m_nPos += n;
    return v;
}

std::string CVtMsgReader::Str()
{
    VtBytes v = Bytes();
    return std::string(v.begin(), v.end());
}

VtDeviceEntry CVtMsgReader::Device()
{
    VtDeviceEntry e;
    e.strSerial = Str();
    e.ulGeneration = U32();
    e.byBus = U8();
    e.byAddress = U8();
    return e;
}

std::string VtDefaultSocketPath()
{
    const char* szEnv = std::getenv("BRIO_VTOKEN_SOCKET");
    if (szEnv != nullptr && szEnv[0] != '\0') {
        return szEnv;
    }
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (szRuntime != nullptr && szRuntime[0] == '/') {
        return std::string(szRuntime) + "/brio-vtoken/socket";
    }
    return "/tmp/brio-vtoken-" + std::to_string(static_cast<unsigned>(getuid())) + "/socket";
}

int VtConnect(const std::string& strPath)
{
    sockaddr_un addr {};
    if (strPath.empty() || strPath.size() >= sizeof(addr.sun_path)) {
        errno = strPath.empty() ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

static bool ReadAll(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool VtSendMessage(int fd, const VtBytes& vMsg)
{
    if (vMsg.size() > kVtMaxMessage) {
        return false;
    }
    uint8_t head[4];
    for (int i = 0; i < 4; ++i) {
        head[i] = static_cast<uint8_t>(vMsg.size() >> (8 * i));
    }
    VtBytes vAll(head, head + 4);
    vAll.insert(vAll.end(), vMsg.begin(), vMsg.end());
    return WriteAll(fd, vAll.data(), vAll.size());
}

bool VtRecvMessage(int fd, VtBytes& vMsg)
{
    uint8_t head[4];
    if (!ReadAll(fd, head, 4)) {
        return false;
    }
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
        n |= static_cast<uint32_t>(head[i]) << (8 * i);
    }
    if (n > kVtMaxMessage) {
        return false;
    }
    vMsg.assign(n, 0);
    return n == 0 || ReadAll(fd, vMsg.data(), n);
}

bool CVtLinkClient::Connect(const std::string& strPath)
{
    Close();
    m_iFd = VtConnect(strPath);
    return m_iFd >= 0;
}

void CVtLinkClient::Close()
{
    if (m_iFd >= 0) {
        close(m_iFd);
        m_iFd = -1;
    }
}

bool CVtLinkClient::Call(const CVtMsgWriter& req, VtBytes& vReply)
{
    if (m_iFd < 0) {
        return false;
    }
    if (!VtSendMessage(m_iFd, req.Buffer()) || !VtRecvMessage(m_iFd, vReply)) {
        Close();
        return false;
    }
    return true;
}

int VtControl(const std::string& strSocket, const std::vector<std::string>& args, std::string& strText)
{
    CVtLinkClient client;
    strText.clear();
    if (!client.Connect(strSocket)) {
        strText = "no virtual-token daemon listens on " + strSocket;
        return -1;
    }
    CVtMsgWriter req(VtOp::Control);
    req.U32(static_cast<uint32_t>(args.size()));
    for (const auto& a : args) {
        req.Str(a);
    }
    VtBytes vReply;
    if (!client.Call(req, vReply)) {
        strText = "the virtual-token daemon closed the connection";
        return -1;
    }
    CVtMsgReader rd(vReply);
    int iCode = rd.I32();
    strText = rd.Str();
    if (rd.Failed()) {
        strText = "malformed reply from the virtual-token daemon";
        return -1;
    }
    return iCode;
}

}  // namespace vtoken
