#include "skf/tests/TestChild.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace skf_test {

pid_t StartChild(const std::vector<std::string> &argv, int nDeathSignal, std::string *pstrLine)
{
    int anPipe[2];
    if (pipe(anPipe) != 0) return -1;
    std::vector<std::string> args = argv;
    for (std::string &strArg : args) {
        size_t nAt = strArg.find("{fd}");
        if (nAt != std::string::npos) strArg.replace(nAt, 4, std::to_string(anPipe[1]));
    }
    std::vector<char *> pszArgs;
    for (std::string &strArg : args) pszArgs.push_back(&strArg[0]);
    pszArgs.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, nDeathSignal);
        close(anPipe[0]);
        int nNull = open("/dev/null", O_RDWR);
        dup2(nNull, STDIN_FILENO);
        dup2(nNull, STDOUT_FILENO);
        dup2(nNull, STDERR_FILENO);
        execvp(pszArgs[0], pszArgs.data());
        _exit(127);
    }
    close(anPipe[1]);
    if (pid > 0) {
        pollfd stPoll = {anPipe[0], POLLIN, 0};
        char c = 0;
        while (poll(&stPoll, 1, 10000) == 1 && read(anPipe[0], &c, 1) == 1 && c != '\n') pstrLine->push_back(c);
    }
    close(anPipe[0]);
    return pid;
}

void StopChild(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace skf_test
