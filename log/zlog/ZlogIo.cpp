#include "log/zlog/ZlogIo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace brio_zlog {

namespace {
std::atomic<WriteFn> g_pfnWrite{&::write};
}

void SetWriteFunction(WriteFn pfnWrite) { g_pfnWrite.store(pfnWrite ? pfnWrite : &::write); }

int WriteAll(int fd, const void *p, size_t n, size_t *pulWritten)
{
    const char *pc = static_cast<const char *>(p);
    size_t done = 0;
    int nErr = 0;
    WriteFn pfnWrite = g_pfnWrite.load();
    while (done < n) {
        ssize_t r = pfnWrite(fd, pc + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            nErr = r < 0 ? errno : EIO;
            break;
        }
    }
    if (pulWritten) *pulWritten = done;
    return nErr;
}

int OpenLogFile(const std::string &strPath, mode_t nPerms)
{
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, nPerms);
}

bool MakeParentDirs(const std::string &strFilePath)
{
    size_t end = strFilePath.rfind('/');
    if (end == std::string::npos || end == 0) return true;
    for (size_t pos = 1; pos <= end; ++pos) {
        if (pos != end && strFilePath[pos] != '/') continue;
        std::string strDir = strFilePath.substr(0, pos);
        if (mkdir(strDir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace brio_zlog
