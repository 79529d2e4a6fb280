/* The main of a test program whose code shows the dialog library's prompts.
 *
 * The middleware links libbrioui-enterprise as a needed library, and that
 * library looks for an X display once, while it is loaded, before main runs.
 * So this main first starts a private Xvfb (on a display number the server
 * picks itself, so test processes running side by side never share one),
 * then runs the same program once more as a child, with DISPLAY naming that
 * server and BRIO_SKF_TEST_XVFB set, waits for the child, stops the server
 * and exits with the child's status.  The child runs the tests; GTK there
 * started with the display, so the prompts can be driven from within their
 * own main loop (SkfPromptDriver.h).  Listing the tests (gtest_discover_tests
 * runs --gtest_list_tests while building) needs no server.
 *
 * Use: link the target brio_skf_test_xvfb into the test program, e.g.
 *   brio_vtoken_gtest(skf_xxx_prompt_test SOURCES test_xxx_prompt.cpp
 *     LIBS brio_skf brio_skf_test_xvfb)
 * It brings this main (in place of GoogleTest's), the prompt driver and the
 * LeakSanitizer suppressions for the caches GTK keeps for the life of the
 * process.  The server and the child end with this process, also when it is
 * killed (parent-death signals). */
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "dialogs/tests/DialogTestSupport.h"
#include "skf/tests/TestChild.h"

#define XVFB_MARK_VARIABLE "BRIO_SKF_TEST_XVFB"

extern "C" const char *__lsan_default_suppressions();
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libgtk-x11-2.0.so\n"
           "leak:libgdk-x11-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libfontconfig.so\n"
           "leak:libpango-1.0.so\n"
           "leak:libpangoft2-1.0.so\n"
           "leak:libpangocairo-1.0.so\n"
           "leak:libcairo.so\n"
           "leak:libgdk_pixbuf-2.0.so\n"
           "leak:libX11.so\n";
}

namespace {

bool OnlyListing(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    }
    return false;
}

/* Runs this program again under its own X server; the child's exit status. */
int RunUnderOwnXvfb(char **argv)
{
    /* -displayfd: the server picks a free display and writes its number. */
    std::string strNumber;
    pid_t pidServer = skf_test::StartChild(
        {"Xvfb", "-displayfd", "{fd}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, SIGTERM, &strNumber);
    if (pidServer <= 0 || strNumber.empty()) {
        fprintf(stderr, "Xvfb did not start\n");
        skf_test::StopChild(pidServer);
        return 1;
    }
    brioui_test::PrepareTestProcess();
    setenv("DISPLAY", (":" + strNumber).c_str(), 1);
    setenv(XVFB_MARK_VARIABLE, "1", 1);
    pid_t pidTests = fork();
    if (pidTests == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int nStatus = 0;
    int nExit = 1;
    if (pidTests > 0) {
        while (waitpid(pidTests, &nStatus, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(nStatus)) {
            nExit = WEXITSTATUS(nStatus);
        } else if (WIFSIGNALED(nStatus)) {
            fprintf(stderr, "the tests ended by signal %d\n", WTERMSIG(nStatus));
            nExit = 128 + WTERMSIG(nStatus);
        }
    }
    skf_test::StopChild(pidServer);
    return nExit;
}

}  // namespace

int main(int argc, char **argv)
{
    if (getenv(XVFB_MARK_VARIABLE) == nullptr && !OnlyListing(argc, argv)) return RunUnderOwnXvfb(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
