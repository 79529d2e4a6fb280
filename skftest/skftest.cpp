/* skftest: waits for a token (or lists the tokens present), connects, locks
 * the device, opens the first application, then runs the fixed sequence of
 * tests or, with "menu", the module menu.  Its exit status is always 0. */
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "log/vexa_log.h"
#include "skf/PlaceholderPin.h"
#include "skftest/SkfTest.h"

char g_szUserPin[SKFTEST_PIN_BUFFER];

#define DEVICE_NAME_BUFFER 64u
#define APP_NAME_BUFFER 64u

/* ---- Standard descriptors ---- */

/* A descriptor 0, 1 or 2 the program was started without is opened on
 * /dev/null: otherwise the first file or pipe opened takes its number, and
 * the program reads its keys from it (or prints into it).  This runs before
 * the middleware's initialisers open anything, from the executable's
 * pre-initialisation array; a closed input is then an input at its end. */
static void OpenClosedStandardDescriptors(int, char **, char **)
{
    for (int nFd = STDIN_FILENO; nFd <= STDERR_FILENO; ++nFd) {
        if (fcntl(nFd, F_GETFD) != -1 || errno != EBADF) continue;
        /* The lowest free number: this one, as those below it are open. */
        int nNull = open("/dev/null", nFd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (nNull != -1 && nNull != nFd) {
            dup2(nNull, nFd);
            close(nNull);
        }
    }
}

__attribute__((section(".preinit_array"), used)) static void (*const OPEN_CLOSED_STANDARD_DESCRIPTORS)(
    int, char **, char **) = OpenClosedStandardDescriptors;

/* ---- Signals: the terminal's modes on every path ---- */

static pthread_t g_hMainThread;

/* The handlers change the terminal's modes, which otherwise only the main
 * thread changes: a signal that another thread took (the key thread, one of
 * the middleware's) is passed on to the main thread, so that a handler can
 * interrupt that thread's change of the modes but never runs beside it. */
static bool PassedToMainThread(int nSignal)
{
    if (pthread_equal(pthread_self(), g_hMainThread)) return false;
    pthread_kill(g_hMainThread, nSignal);
    return true;
}

static void OnTerminatingSignal(int nSignal)
{
    if (PassedToMainThread(nSignal)) return;
    RestoreStandardInput();
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

/* Ctrl+Z: the terminal gets its own modes back, then the program stops as
 * SIGTSTP's default action stops it, and goes on here after SIGCONT. */
static void OnStopSignal(int nSignal)
{
    if (PassedToMainThread(nSignal)) return;
    int nErrno = errno;
    RestoreModesForStop();
    sigset_t stStop;
    sigemptyset(&stStop);
    sigaddset(&stStop, SIGTSTP);
    signal(SIGTSTP, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stStop, nullptr);
    raise(SIGTSTP);
    /* Blocked again until the handler is back: a second Ctrl+Z meanwhile
     * waits for it instead of stopping with the program's modes set. */
    pthread_sigmask(SIG_BLOCK, &stStop, nullptr);
    signal(SIGTSTP, OnStopSignal);
    /* Also when the stop did not happen: the kernel drops SIGTSTP in a
     * process group that no shell could continue (an orphaned one). */
    ApplyModesAgain();
    errno = nErrno;
}

/* fg: the shell set its own modes while the program was stopped (by Ctrl+Z
 * or by SIGSTOP): the program's are set again. */
static void OnContinueSignal(int nSignal)
{
    if (PassedToMainThread(nSignal)) return;
    int nErrno = errno;
    ApplyModesAgain();
    errno = nErrno;
}

/* A signal the program was started with ignored stays ignored (a job a
 * shell without job control started in the background). */
static void HandleSignal(int nSignal, void (*pfnHandler)(int))
{
    struct sigaction stOld;
    if (sigaction(nSignal, nullptr, &stOld) == 0 && stOld.sa_handler == SIG_IGN) return;
    signal(nSignal, pfnHandler);
}

/* ---- The key press that cancels the device wait ---- */

/* The key thread only looks at standard input, without changing its modes
 * or flags: the main thread cleared ICANON and ECHO for the wait, so a key
 * is there as soon as it is typed.  Nothing else reads standard input
 * during the wait, so nothing waits in stdin's buffer that the descriptor
 * no longer shows. */
int kbhit(void)
{
    pollfd stInput = {STDIN_FILENO, POLLIN, 0};
    int nReady;
    do nReady = poll(&stInput, 1, 0);
    while (nReady < 0 && errno == EINTR);
    /* A key, the end of input (POLLHUP), or a descriptor that cannot be
     * read (POLLERR, POLLNVAL): the getchar that follows does not wait. */
    return nReady > 0 ? 1 : 0;
}

/* Reads the key that kbhit found; the end of input counts as a key, since
 * no key can follow it. */
static void TakeKey(DEV_WAIT *pWait)
{
    if (getchar() == EOF) __atomic_store_n(&pWait->bInputEnded, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&pWait->bKeyPressed, 1, __ATOMIC_RELEASE);
}

/* A cancel only ends a wait that has begun, and one that finds none is
 * refused (and logged as the failure it is).  A key that is there before
 * the wait begins is taken by the main thread, which then does not wait;
 * this thread looks at the keyboard a second later and once a second from
 * then on, by when the main thread has entered its wait.  Should a cancel
 * still come before the wait (or between two of its waits), the key is not
 * lost: the cancel is repeated until the main thread has left its wait. */
#define CANCEL_RETRY_US 50000

void *ThreadCancelDevEvent(void *pvEvent)
{
    DEV_WAIT *pWait = static_cast<DEV_WAIT *>(pvEvent);
    for (;;) {
        sleep(1);
        /* The wait is over (a token came, or the wait failed): nothing left
         * to cancel. */
        if (__atomic_load_n(&pWait->bOver, __ATOMIC_ACQUIRE)) return nullptr;
        if (kbhit()) break;
    }
    TakeKey(pWait);
    while (!__atomic_load_n(&pWait->bOver, __ATOMIC_ACQUIRE)) {
        SKF_CancelWaitForDevEvent();
        usleep(CANCEL_RETRY_US);
    }
    return nullptr;
}

/* ---- Device ---- */

static const char *DevStateText(ULONG ulState)
{
    switch (ulState) {
    case DEV_ABSENT_STATE: return "Absent";
    case DEV_PRESENT_STATE: return "Present";
    case DEV_UNKNOW_STATE: return "Unknow";
    default: return "Undefined";
    }
}

/* Waits for a token to arrive; false when the wait was cancelled by a key
 * or the end of input (*pbInputEnded), or failed. */
static bool WaitForToken(char *pszName, ULONG ulNameRoom, bool *pbInputEnded)
{
    /* Keys typed during the wait (from the prompt on) are taken, not echoed. */
    bool bRestoreModes = ClearTerminalModes(ICANON | ECHO);
    printf("Please insert an Brio... PRESS any key to skip:\r\n");
    fflush(stdout);
    DEV_WAIT stWait;
    memset(&stWait, 0, sizeof(stWait));
    /* A key that came before the wait (typed ahead, or piped) skips it at once. */
    if (kbhit()) TakeKey(&stWait);
    pthread_t hThread;
    bool bThread = !stWait.bKeyPressed && pthread_create(&hThread, nullptr, ThreadCancelDevEvent, &stWait) == 0;
    bool bArrived = false;
    while (!__atomic_load_n(&stWait.bKeyPressed, __ATOMIC_ACQUIRE)) {
        ULONG ulLen = ulNameRoom - 1;
        stWait.ulEvent = 0;
        ULONG ulRet = SKF_WaitForDevEvent(pszName, &ulLen, &stWait.ulEvent);
        if (ulRet != SAR_OK || stWait.ulEvent == 0) break;  /* cancelled (or failed) */
        if (stWait.ulEvent == SKF_DEV_EVENT_ARRIVED) {
            pszName[ulLen < ulNameRoom ? ulLen : ulNameRoom - 1] = '\0';
            bArrived = true;
            break;
        }
        /* A token left: wait on until one arrives. */
    }
    /* Tell the key thread the wait is over, then collect it. */
    __atomic_store_n(&stWait.bOver, 1, __ATOMIC_RELEASE);
    if (bThread) pthread_join(hThread, nullptr);
    if (bRestoreModes) RestoreTerminal();
    *pbInputEnded = __atomic_load_n(&stWait.bInputEnded, __ATOMIC_ACQUIRE) != 0;
    return bArrived;
}

ULONG TEST_DEVICE(DEVHANDLE *phDev)
{
    char szName[DEVICE_NAME_BUFFER] = {0};
    BYTE *pbList = nullptr;
    ULONG ulRet = SAR_OK;
    bool bInputEnded = false;
    if (!WaitForToken(szName, sizeof(szName), &bInputEnded)) {
        printf("Waiting to find Brio... PRESS Ctrl+C to exit\r\n");
        fflush(stdout);
        ULONG ulSize = 0;
        for (;;) {
            ulSize = 0;
            if (SKF_EnumDev(TRUE, nullptr, &ulSize) == SAR_OK && ulSize > 0) break;
            /* Unattended (no input left): one look at the list, no polls
             * that nobody could end. */
            if (bInputEnded) {
                printf("No Brio is plugged in, and standard input has ended\r\n");
                fflush(stdout);
                return SAR_DEVICE_REMOVED;
            }
            sleep(1);
        }
        ulRet = NewCheckedBuffer("TEST_DEVICE", ulSize, &pbList);
        if (ulRet != SAR_OK) return ulRet;
        Announce("SKF_EnumDev");
        ulRet = Report(SKF_EnumDev(TRUE, (LPSTR)pbList, &ulSize));
        if (ulRet != SAR_OK) {
            free(pbList);
            return ulRet;
        }
        strncpy(szName, (const char *)pbList, sizeof(szName) - 1);
        free(pbList);
    }

    ULONG ulState = DEV_ABSENT_STATE;
    ulRet = SKF_GetDevState(szName, &ulState);
    if (ulRet != SAR_OK) return ReportFailure("SKF_GetDevState", ulRet);
    printf("Open device(%s): %s\n", DevStateText(ulState), szName);

    Announce("SKF_ConnectDev");
    ulRet = Report(SKF_ConnectDev(szName, phDev));
    if (ulRet != SAR_OK) {
        *phDev = nullptr;
        return ulRet;
    }
    Announce("SKF_LockDev");
    ulRet = Report(SKF_LockDev(*phDev, 0));
    if (ulRet != SAR_OK) return ulRet;
    DEVINFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    Announce("SKF_GetDevInfo");
    return Report(SKF_GetDevInfo(*phDev, &stInfo));
}

/* ---- The fixed sequence ---- */

static ULONG RunFixedSequence(DEVHANDLE hDev, HAPPLICATION hApp)
{
    ULONG ulRetry = 0;
    Announce("SKF_VerifyPIN");
    ULONG ulRet = Report(SKF_VerifyPIN(hApp, USER_TYPE, g_szUserPin, &ulRetry));
    if (ulRet != SAR_OK) return ulRet;

    BYTE abRandom[128];
    Announce("SKF_GenRandom");
    ulRet = Report(SKF_GenRandom(hDev, abRandom, sizeof(abRandom)));
    if (ulRet != SAR_OK) return ulRet;

    ulRet = TEST_Digest(hDev);
    if (ulRet != SAR_OK) {
        ReportTest("Digest test", ulRet);
        return ulRet;
    }
    ulRet = TEST_SM2(hApp, true);
    if (ulRet != SAR_OK) {
        ReportTest("Ecc test", ulRet);
        return ulRet;
    }
    Announce("SKF_VerifyPIN");
    ulRet = Report(SKF_VerifyPIN(hApp, USER_TYPE, g_szUserPin, &ulRetry));
    if (ulRet != SAR_OK) return ulRet;
    ulRet = TEST_RSA(hApp, true);
    if (ulRet != SAR_OK) {
        ReportTest("Rsa test", ulRet);
        return ulRet;
    }
    Announce("SKF_ClearSecureState");
    return Report(SKF_ClearSecureState(hApp));
}

static void Usage(const char *pszProgram)
{
    fprintf(stderr, "usage: %s [--password PIN] [--menu]\n", pszProgram);
}

int main(int argc, char *argv[])
{
    g_hMainThread = pthread_self();
    HandleSignal(SIGINT, OnTerminatingSignal);
    HandleSignal(SIGQUIT, OnTerminatingSignal);
    HandleSignal(SIGTERM, OnTerminatingSignal);
    HandleSignal(SIGHUP, OnTerminatingSignal);
    HandleSignal(SIGTSTP, OnStopSignal);
    HandleSignal(SIGCONT, OnContinueSignal);
    /* The default user PIN: the placeholder, which brings up the PIN prompt. */
    BuildPlaceholderPin(g_szUserPin);

    static const struct option OPTIONS[] = {
        {"password", required_argument, nullptr, 'p'},
        {"menu", no_argument, nullptr, 'm'},
        {nullptr, 0, nullptr, 0},
    };
    bool bMenu = false;
    int nOption;
    while ((nOption = getopt_long(argc, argv, "p:m", OPTIONS, nullptr)) != -1) {
        switch (nOption) {
        case 'p':
            if (strlen(optarg) >= SKFTEST_PIN_BUFFER) {
                fprintf(stderr, "The password is longer than %u characters\n", SKFTEST_PIN_BUFFER - 1);
                return 0;
            }
            memset(g_szUserPin, 0, sizeof(g_szUserPin));
            strcpy(g_szUserPin, optarg);
            break;
        case 'm': bMenu = true; break;
        default: Usage(argv[0]); return 0;
        }
    }

    DEVHANDLE hDev = nullptr;
    HAPPLICATION hApp = nullptr;
    ULONG ulRet = TEST_DEVICE(&hDev);
    if (ulRet != SAR_OK) ReportTest("Device test", ulRet);

    if (ulRet == SAR_OK) {
        char szApps[APP_NAME_BUFFER] = {0};
        ULONG ulSize = sizeof(szApps);
        Announce("SKF_EnumApplication");
        ulRet = Report(SKF_EnumApplication(hDev, szApps, &ulSize));
        if (ulRet == SAR_OK) {
            Announce("SKF_OpenApplication");
            ulRet = Report(SKF_OpenApplication(hDev, szApps, &hApp));
            if (ulRet != SAR_OK) hApp = nullptr;
        }
    }
    if (ulRet == SAR_OK) {
        if (bMenu) TEST_MENU(hApp);
        else RunFixedSequence(hDev, hApp);
    }

    if (hApp != nullptr) SKF_CloseApplication(hApp);
    if (hDev != nullptr) {
        SKF_UnlockDev(hDev);
        SKF_DisConnectDev(hDev);
    }
    memset(g_szUserPin, 0, sizeof(g_szUserPin));
    return 0;
}
