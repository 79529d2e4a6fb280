#include "vtoken/token/VtStore.h"

#include "vtoken/token/VtToken.h"

#include <algorithm>
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

const std::string kSuffix = ".token";

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

namespace {

// Values a token could not have been given by init or its commands.
std::string OutOfRange(const CVtTokenState& s)
{
    if (s.ulAlgByte != 0x13 && s.ulAlgByte != 3) {
        return "algorithm " + std::to_string(s.ulAlgByte) + " is neither 0x13 nor 3";
    }
    if (s.ulBus < 1 || s.ulBus > 255 || s.ulAddress < 1 || s.ulAddress > 127) {
        return "bus " + std::to_string(s.ulBus) + " address " + std::to_string(s.ulAddress) + " is outside 1-255, 1-127";
    }
    if (!VtValidButtonPolicy(s.strButton)) {
        return "button policy \"" + s.strButton + "\" is not now, after:N or never";
    }
    for (const CVtPin& pin : s.aPins) {
        if (pin.ulMaxRetries < 1 || pin.ulMaxRetries > 15 || pin.ulRetriesLeft > pin.ulMaxRetries) {
            return "PIN retry counts " + std::to_string(pin.ulRetriesLeft) + " of " +
                   std::to_string(pin.ulMaxRetries) + " are out of range";
        }
    }
    if (s.ulFileSpace < kVtMinFileSpace || s.ulFileSpace > kVtMaxFileSpace) {
        return "the file space of " + std::to_string(s.ulFileSpace) + " bytes is outside 4 KiB to 16 MiB";
    }
    if (!s.vFlash.empty() && s.vFlash.size() != kVtFlashSize) {
        return "the flash area has " + std::to_string(s.vFlash.size()) + " bytes";
    }
    return "";
}

}  // namespace

bool CVtStore::LoadAll(std::vector<CVtTokenState>& vOut, std::vector<VtRefusedFile>& vRefused, std::string& strError)
{
    vOut.clear();
    vRefused.clear();
    DIR* dir = opendir(m_strDir.c_str());
    if (dir == nullptr) {
        strError = "cannot read the state directory " + m_strDir;
        return false;
    }
    std::vector<std::string> vNames;
    while (dirent* ent = readdir(dir)) {
        std::string strName = ent->d_name;
        if (strName.size() > kSuffix.size() &&
            strName.compare(strName.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
            vNames.push_back(strName);
        }
    }
    closedir(dir);
    std::sort(vNames.begin(), vNames.end());
    for (const auto& strName : vNames) {
        std::string strPath = m_strDir + "/" + strName;
        std::ifstream in(strPath, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        CVtTokenState state;
        std::string strWhy;
        std::string strFileId = strName.substr(0, strName.size() - kSuffix.size());
        if (!in || !state.Parse(ss.str(), strWhy)) {
            strWhy = strWhy.empty() ? "unreadable" : strWhy;
        } else if (!VtValidTokenId(state.strId)) {
            strWhy = "the id \"" + state.strId + "\" is not 1 to 16 of A-Z a-z 0-9 _ . - (not starting with a dot)";
        } else if (state.strId != strFileId) {
            strWhy = "it holds the id " + state.strId + ", whose file is " + state.strId + ".token";
        } else {
            strWhy = OutOfRange(state);
        }
        for (size_t i = 0; strWhy.empty() && i < vOut.size(); ++i) {
            if (vOut[i].ulBus == state.ulBus && vOut[i].ulAddress == state.ulAddress) {
                strWhy = "bus " + std::to_string(state.ulBus) + " address " + std::to_string(state.ulAddress) +
                         " is taken by " + vOut[i].strId;
            }
        }
        if (!strWhy.empty()) {
            vRefused.push_back({strPath, strWhy});
            continue;
        }
        vOut.push_back(std::move(state));
    }
    return true;
}

bool CVtStore::Save(const CVtTokenState& state, std::string& strError)
{
    std::string strFinal = PathOf(state.strId);
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
