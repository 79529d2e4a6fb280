/* An application linked against the shipped library.
 *   exit_peer cleanup NAME: registers an exit handler before its first SKF
 *     call, connects to the token NAME, opens its application "Tola" and
 *     returns from main; the handler closes the application, disconnects
 *     and says "closed" with both codes.
 *   exit_peer log [threads]: makes an SKF call (with "threads" also in
 *     threads that are still alive when main returns) and returns from main.
 *   exit_peer calls NAME: threads keep listing the tokens, or (every other
 *     one) connecting to the token NAME, asking it and disconnecting; once
 *     each has made a round, main says "calling" and returns, so that the
 *     program exits with them inside their calls. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "skf/skf.h"
#include "skf/tests/PeerThreads.h"

static DEVHANDLE g_hDev = NULL;
static HAPPLICATION g_hApp = NULL;

static void CleanUp(void)
{
    ULONG ulClose = SKF_CloseApplication(g_hApp);
    ULONG ulDisconnect = SKF_DisConnectDev(g_hDev);
    printf("closed %08lx %08lx\n", (unsigned long)ulClose, (unsigned long)ulDisconnect);
    fflush(stdout);
}

static void ListDevices(void)
{
    ULONG ulSize = 0;
    SKF_EnumDev(TRUE, NULL, &ulSize);
}

#define CALLING_THREADS 8

static char *g_pszCallsDevice = NULL;
static atomic_int g_nCallers = 0;
static _Thread_local int t_nCaller = -1;

static void UseDevice(void)
{
    DEVHANDLE hDev = NULL;
    DEVINFO info;
    if (t_nCaller < 0) t_nCaller = atomic_fetch_add(&g_nCallers, 1);
    ListDevices();
    if (t_nCaller % 2 == 0 || SKF_ConnectDev(g_pszCallsDevice, &hDev) != SAR_OK) return;
    SKF_GetDevInfo(hDev, &info);
    SKF_DisConnectDev(hDev);
}

int main(int argc, char **argv)
{
    char szApp[] = "Tola";
    ULONG ulRet;
    if (argc == 3 && strcmp(argv[1], "cleanup") == 0) {
        if (atexit(CleanUp) != 0) return 2;
        ulRet = SKF_ConnectDev(argv[2], &g_hDev);
        if (ulRet == SAR_OK) ulRet = SKF_OpenApplication(g_hDev, szApp, &g_hApp);
        printf("opened %08lx\n", (unsigned long)ulRet);
        fflush(stdout);
        return ulRet == SAR_OK ? 0 : 1;
    }
    if (argc >= 2 && strcmp(argv[1], "log") == 0) {
        ListDevices();
        if (argc == 3 && strcmp(argv[2], "threads") == 0 && StartPeerThreads(ListDevices) != 0) return 1;
        printf("logged\n");
        fflush(stdout);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "calls") == 0) {
        g_pszCallsDevice = argv[2];
        if (StartPeerThreadsEx(UseDevice, CALLING_THREADS, 1) != 0) return 1;
        printf("calling\n");
        fflush(stdout);
        return 0;
    }
    return 2;
}
