// brio-vtoken: the virtual-token daemon and its command line.
//
//   brio-vtoken serve [--socket P] [--state DIR] [--keys DIR]
//   brio-vtoken [--socket P] <command> ...     (see `brio-vtoken help`)
#include "vtoken/daemon/VtServer.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace vtoken;

namespace {

// Exit status when no daemon answers.
constexpr int kNoDaemon = 2;

const char kServeUsage[] = "usage: brio-vtoken serve [--socket PATH] [--state DIR] [--keys DIR]\n";

int Usage()
{
    fprintf(stderr, "%s       brio-vtoken [--socket PATH] COMMAND ARGS...   (brio-vtoken help lists them)\n",
            kServeUsage);
    return kVtUsageError;
}

// The default socket folder must be the user's own and private.
bool CheckDefaultFolder(const std::string& strSocket)
{
    std::string strDir = strSocket.substr(0, strSocket.rfind('/'));
    if (mkdir(strDir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (lstat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        fprintf(stderr, "brio-vtoken: %s is not a directory of this user\n", strDir.c_str());
        return false;
    }
    return (st.st_mode & 077) == 0 || chmod(strDir.c_str(), 0700) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string strSocket;
    size_t i = 0;
    if (i + 1 < args.size() && args[i] == "--socket") {
        strSocket = args[i + 1];
        i += 2;
    }
    if (i >= args.size()) {
        return Usage();
    }
    if (args[i] == "serve") {
        std::string strState = VtDefaultStateDir();
        const char* szKeys = std::getenv("BRIO_VTOKEN_KEYS");
        std::string strKeys = szKeys != nullptr && szKeys[0] != '\0' ? szKeys : VT_PRODUCT_KEYS_DIR;
        for (size_t j = i + 1; j < args.size(); j += 2) {
            if (j + 1 >= args.size()) {
                return Usage();
            }
            if (args[j] == "--socket") {
                strSocket = args[j + 1];
            } else if (args[j] == "--state") {
                strState = args[j + 1];
            } else if (args[j] == "--keys") {
                strKeys = args[j + 1];
            } else {
                return Usage();
            }
        }
        if (strSocket.empty()) {
            strSocket = VtDefaultSocketPath();
            if (std::getenv("BRIO_VTOKEN_SOCKET") == nullptr && !CheckDefaultFolder(strSocket)) {
                return 1;
            }
        }
        CVtServer server(strSocket, strState, strKeys);
        return server.Run();
    }
    // Help needs no daemon.
    if (args.size() == i + 1 && (args[i] == "help" || args[i] == "--help")) {
        printf("%s       brio-vtoken [--socket PATH] COMMAND ARGS...\n%s", kServeUsage, VtCommandUsage());
        return 0;
    }
    if (strSocket.empty()) {
        strSocket = VtDefaultSocketPath();
    }
    std::vector<std::string> vCommand(args.begin() + static_cast<long>(i), args.end());
    std::string strText;
    int iCode = VtControl(strSocket, vCommand, strText);
    // A daemon started just before (`serve &`) may not listen yet.
    for (int iTry = 0; iCode < 0 && iTry < 20 && access(strSocket.c_str(), F_OK) != 0; ++iTry) {
        usleep(100000);
        iCode = VtControl(strSocket, vCommand, strText);
    }
    fputs(strText.c_str(), iCode == 0 ? stdout : stderr);
    if (iCode < 0) {
        fputc('\n', stderr);
        return kNoDaemon;
    }
    return iCode == 0 || iCode == kVtUsageError ? iCode : 1;
}
