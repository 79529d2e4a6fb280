#include "vtoken/token/VtStore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vtoken {

namespace {

bool MakeDirs(const std::string& strPath, mode_t mode)
{
    std::string strPart;
    std::stringstream ss(strPath);
    std::string strItem;
    if (!strPath.empty() && strPath[0] == '/') {
        strPart = "/";
    }
    while (std::getline(ss, strItem, '/')) {
        if (strItem.empty()) {
            continue;
        }
        strPart += strItem + "/";
        if (mkdir(strPart.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAllFd(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = write(fd, s.data() + off, s.size() - off);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        off += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

bool VtValidTokenId(const std::string& strId)
{
    if (strId.empty() || strId.size() > 16 || strId[0] == '.') {
        return false;
    }
    for (char c : strId) {
        bool bOk = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == '-' || c == '.';
        if (!bOk) {
            return false;
        }
    }
    return true;
}

std::string VtDefaultStateDir()
{
    const char* szState = std::getenv("XDG_STATE_HOME");
    if (szState != nullptr && szState[0] == '/') {
        return std::string(szState) + "/brio-vtoken";
    }
    const char* szHome = std::getenv("HOME");
    return std::string(szHome != nullptr && szHome[0] == '/' ? szHome : "/tmp") + "/.local/state/brio-vtoken";
}

bool CVtStore::Prepare(std::string& strError)
{
    if (!MakeDirs(m_strDir, 0700)) {
        strError = "cannot create the state directory " + m_strDir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CVtStore::LoadAll(std::vector<CVtTokenState>& vOut, std::string& strError)
{
    vOut.clear();
    DIR* dir = opendir(m_strDir.c_str());
    if (dir == nullptr) {
        strError = "cannot read the state directory " + m_strDir;
        return false;
    }
    std::vector<std::string> vNames;
    while (dirent* ent = readdir(dir)) {
        std::string strName = ent->d_name;
        const std::string kSuffix = ".token";
        if (strName.size() > kSuffix.size() &&
            strName.compare(strName.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
            vNames.push_back(strName);
        }
    }
    closedir(dir);
    for (const auto& strName : vNames) {
        std::ifstream in(m_strDir + "/" + strName, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        CVtTokenState state;
        std::string strWhy;
        if (!in || !state.Parse(ss.str(), strWhy)) {
            strError = m_strDir + "/" + strName + ": " + (strWhy.empty() ? "unreadable" : strWhy);
            return false;
        }
        vOut.push_back(std::move(state));
    }
    return true;
}

bool CVtStore::Save(const CVtTokenState& state, std::string& strError)
{
    std::string strFinal = m_strDir + "/" + state.strId + ".token";
    std::string strTemp = m_strDir + "/." + state.strId + ".token.tmp";
    std::string strText = state.Serialize();
    int fd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        strError = "cannot write " + strTemp + ": " + std::strerror(errno);
        return false;
    }
    bool bOk = WriteAllFd(fd, strText) && fsync(fd) == 0;
    bOk = close(fd) == 0 && bOk;
    if (!bOk || rename(strTemp.c_str(), strFinal.c_str()) != 0) {
        strError = "cannot store " + strFinal + ": " + std::strerror(errno);
        unlink(strTemp.c_str());
        return false;
    }
    int dfd = open(m_strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

}  // namespace vtoken
