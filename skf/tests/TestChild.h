/* Helper programs of the SKF tests (Xvfb, dbus-daemon): started with their
 * standard streams on /dev/null and ended when the test process ends. */
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace skf_test {

/* Starts argv; "{fd}" in an argument becomes the write end of a pipe whose first line
 * (within ten seconds) goes to *pstrLine.  The child gets nDeathSignal when
 * this process dies.  Its pid, -1 when it could not be started. */
pid_t StartChild(const std::vector<std::string> &argv, int nDeathSignal, std::string *pstrLine);
/* SIGTERM, then waits for it. */
void StopChild(pid_t pid);

}  // namespace skf_test
