/* An application linked against the shipped library.
 *   exit_peer cleanup NAME: registers an exit handler before its first SKF
 *     call, connects to the token NAME, opens its application "Tola" and
 *     returns from main; the handler closes the application, disconnects
 *     and says "closed" with both codes.
 *   exit_peer log [threads]: makes an SKF call (with "threads" also in
 *     threads that are still alive when main returns) and returns from main.
 *   exit_peer calls NAME [KIND]: threads keep making calls on the token
 *     NAME; once each has made one, main waits 20 to 80 ms (chosen at
 *     random), says "calling" and returns, so that the program exits with
 *     them inside their calls.  The calls, by KIND:
 *       connect (the default): listing the tokens, or (every other thread)
 *         connecting, asking the token and disconnecting;
 *       verify: SKF_ExtECCVerify of a signature made by the token (the
 *         software verification);
 *       sign: SKF_ECCSignData with a container's key (the token's
 *         signature, through the secure channel);
 *       sm4: SKF_SetSymmKey, SKF_EncryptInit and SKF_EncryptUpdate in SM4
 *         (the token's cipher, through the secure channel).
 *     Each thread of the last three has a connection of its own, so that
 *     the threads' calls keep setting a new secure channel up. */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

#define CRYPTO_THREADS 4

static char g_szApp[] = "Tola";
static char g_szPin[] = "12345678";
static char g_szContainer[] = "exit";
static BYTE g_abDigest[32] = {0x45, 0x78, 0x69, 0x74};
static BYTE g_abSm4Key[16] = {0x53, 0x4d, 0x34};
static ECCPUBLICKEYBLOB g_pub;
static ECCSIGNATUREBLOB g_sig;
static _Thread_local DEVHANDLE t_hDev = NULL;
static _Thread_local HCONTAINER t_hContainer = NULL;

/* The container "exit" with its signature key, on an application opened
 * with the user PIN verified; made with its key the first time. */
static ULONG OpenKeyContainer(DEVHANDLE hDev, HCONTAINER *phContainer)
{
    HAPPLICATION hApp = NULL;
    ULONG ulRetry = 0;
    ULONG ulRet = SKF_OpenApplication(hDev, g_szApp, &hApp);
    if (ulRet == SAR_OK) ulRet = SKF_VerifyPIN(hApp, USER_TYPE, g_szPin, &ulRetry);
    if (ulRet != SAR_OK) return ulRet;
    if (SKF_OpenContainer(hApp, g_szContainer, phContainer) == SAR_OK) return SAR_OK;
    ulRet = SKF_CreateContainer(hApp, g_szContainer, phContainer);
    return ulRet == SAR_OK ? SKF_GenECCKeyPair(*phContainer, SGD_SM2_1, &g_pub) : ulRet;
}

/* The key and a signature of g_abDigest made by the token, for the
 * software verification. */
static ULONG PrepareKey(void)
{
    DEVHANDLE hDev = NULL;
    HCONTAINER hContainer = NULL;
    ULONG ulLen = sizeof(g_pub);
    ULONG ulRet = SKF_ConnectDev(g_pszCallsDevice, &hDev);
    if (ulRet != SAR_OK) return ulRet;
    ulRet = OpenKeyContainer(hDev, &hContainer);
    if (ulRet == SAR_OK) ulRet = SKF_ExportPublicKey(hContainer, TRUE, (BYTE *)&g_pub, &ulLen);
    if (ulRet == SAR_OK) ulRet = SKF_ECCSignData(hContainer, g_abDigest, sizeof(g_abDigest), &g_sig);
    if (ulRet == SAR_OK) ulRet = SKF_ExtECCVerify(hDev, &g_pub, g_abDigest, sizeof(g_abDigest), &g_sig);
    SKF_DisConnectDev(hDev);
    return ulRet;
}

static int ConnectOwn(void)
{
    if (t_hDev == NULL && SKF_ConnectDev(g_pszCallsDevice, &t_hDev) != SAR_OK) t_hDev = NULL;
    return t_hDev != NULL;
}

static void VerifySignature(void)
{
    if (ConnectOwn()) SKF_ExtECCVerify(t_hDev, &g_pub, g_abDigest, sizeof(g_abDigest), &g_sig);
}

static void SignDigest(void)
{
    ECCSIGNATUREBLOB sig;
    if (t_hContainer == NULL && ConnectOwn() && OpenKeyContainer(t_hDev, &t_hContainer) != SAR_OK)
        t_hContainer = NULL;
    if (t_hContainer != NULL) SKF_ECCSignData(t_hContainer, g_abDigest, sizeof(g_abDigest), &sig);
}

static void EncryptSm4(void)
{
    HANDLE hKey = NULL;
    BLOCKCIPHERPARAM param;
    BYTE abIn[32] = {0}, abOut[32];
    ULONG ulOutLen = sizeof(abOut);
    if (!ConnectOwn() || SKF_SetSymmKey(t_hDev, g_abSm4Key, SGD_SM4_ECB, &hKey) != SAR_OK) return;
    memset(&param, 0, sizeof(param));
    if (SKF_EncryptInit(hKey, param) == SAR_OK) SKF_EncryptUpdate(hKey, abIn, sizeof(abIn), abOut, &ulOutLen);
    SKF_CloseHandle(hKey);
}

/* Threads making calls of one kind until the process ends; main returns
 * 20 to 80 ms after each made its first. */
static int ExitWhileCalling(const char *pszKind)
{
    PeerCall fnCall = NULL;
    int nThreads = CRYPTO_THREADS;
    struct timespec delay = {0, 0};
    if (strcmp(pszKind, "connect") == 0) {
        fnCall = UseDevice;
        nThreads = CALLING_THREADS;
    } else if (strcmp(pszKind, "verify") == 0) {
        fnCall = VerifySignature;
    } else if (strcmp(pszKind, "sign") == 0) {
        fnCall = SignDigest;
    } else if (strcmp(pszKind, "sm4") == 0) {
        fnCall = EncryptSm4;
    } else {
        return 2;
    }
    if (fnCall != UseDevice && PrepareKey() != SAR_OK) return 1;
    if (StartPeerThreadsEx(fnCall, nThreads, 1) != 0) return 1;
    srand((unsigned int)getpid() ^ (unsigned int)time(NULL));
    delay.tv_nsec = (20 + rand() % 61) * 1000000L;
    nanosleep(&delay, NULL);
    printf("calling\n");
    fflush(stdout);
    return 0;
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
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "calls") == 0) {
        g_pszCallsDevice = argv[2];
        return ExitWhileCalling(argc == 4 ? argv[3] : "connect");
    }
    return 2;
}
