/* skf-sharing: what an application sees through skf.h when several
 * connections and processes use one token, measured against a token
 * provisioned by the demo's tool (container "DEMO_SM2", user PIN changed).
 * bench/skf-sharing.sh runs every mode against a virtual token of its own.
 *
 *   skf-sharing costs VTOKEN SERIAL PIN
 *                                     exchanges (the virtual token's count)
 *                                     and time of a signature, a 1 KiB
 *                                     file read and 1 KiB of SM4
 *   skf-sharing login PIN             one PIN verification for the token:
 *                                     another handle, another process
 *   skf-sharing loop PIN SECONDS      verifies once, then signs in a loop
 *   skf-sharing lock PIN              another process against SKF_LockDev
 *   skf-sharing unplug VTOKEN SERIAL  open handles across an unplug */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "skf/skf.h"

namespace {

const char *const CONTAINER = "DEMO_SM2";
const char *const FILE_NAME = "SHARING_1K";
const ULONG KIB = 1024;
const int REPEATS = 10;

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Connection {
    DEVHANDLE hDev = nullptr;
    HAPPLICATION hApp = nullptr;
    HCONTAINER hCon = nullptr;
};

/* The first token, its first application and the SM2 container. */
ULONG Open(Connection *pConn)
{
    char szNames[256] = {0};
    ULONG ulSize = sizeof(szNames);
    ULONG ulRet = SKF_EnumDev(TRUE, szNames, &ulSize);
    if (ulRet != SAR_OK) return ulRet;
    if ((ulRet = SKF_ConnectDev(szNames, &pConn->hDev)) != SAR_OK) return ulRet;
    char szApps[256] = {0};
    ulSize = sizeof(szApps);
    if ((ulRet = SKF_EnumApplication(pConn->hDev, szApps, &ulSize)) != SAR_OK) return ulRet;
    if ((ulRet = SKF_OpenApplication(pConn->hDev, szApps, &pConn->hApp)) != SAR_OK) return ulRet;
    return SKF_OpenContainer(pConn->hApp, (LPSTR)CONTAINER, &pConn->hCon);
}

void Close(Connection *pConn)
{
    if (pConn->hCon != nullptr) SKF_CloseContainer(pConn->hCon);
    if (pConn->hApp != nullptr) SKF_CloseApplication(pConn->hApp);
    if (pConn->hDev != nullptr) SKF_DisConnectDev(pConn->hDev);
    *pConn = Connection();
}

ULONG Verify(const Connection &conn, const char *pszPin)
{
    ULONG ulRetry = 0;
    return SKF_VerifyPIN(conn.hApp, USER_TYPE, (LPSTR)pszPin, &ulRetry);
}

bool OpenVerified(Connection *pConn, const char *pszPin)
{
    ULONG ulRet = Open(pConn);
    if (ulRet == SAR_OK) ulRet = Verify(*pConn, pszPin);
    if (ulRet != SAR_OK) printf("open and verify: 0x%08X\n", (unsigned int)ulRet);
    return ulRet == SAR_OK;
}

ULONG Sign(const Connection &conn)
{
    BYTE abDigest[32];
    memset(abDigest, 0x5A, sizeof(abDigest));
    ECCSIGNATUREBLOB stSig;
    return SKF_ECCSignData(conn.hCon, abDigest, sizeof(abDigest), &stSig);
}

ULONG ReadFile1K(const Connection &conn)
{
    BYTE abData[KIB];
    ULONG ulLen = sizeof(abData);
    return SKF_ReadFile(conn.hApp, (LPSTR)FILE_NAME, 0, KIB, abData, &ulLen);
}

ULONG Sm4(const Connection &conn, ULONG ulLen)
{
    BYTE abKey[16];
    memset(abKey, 0x11, sizeof(abKey));
    HANDLE hKey = nullptr;
    ULONG ulRet = SKF_SetSymmKey(conn.hDev, abKey, SGD_SM4_ECB, &hKey);
    if (ulRet != SAR_OK) return ulRet;
    BLOCKCIPHERPARAM stParam;
    memset(&stParam, 0, sizeof(stParam));
    BYTE abIn[KIB];
    BYTE abOut[KIB + 16];
    memset(abIn, 0x22, sizeof(abIn));
    ULONG ulOut = sizeof(abOut);
    ulRet = SKF_EncryptInit(hKey, stParam);
    if (ulRet == SAR_OK) ulRet = SKF_Encrypt(hKey, abIn, ulLen, abOut, &ulOut);
    SKF_CloseHandle(hKey);
    return ulRet;
}

ULONG Sm4Of1K(const Connection &conn) { return Sm4(conn, KIB); }
ULONG Sm4OfOneBlock(const Connection &conn) { return Sm4(conn, 16); }

/* The exchanges the virtual token has answered so far (the "exchanges"
 * line of `brio-vtoken show`), or -1. */
long Exchanges(const std::string &strShow)
{
    FILE *pf = popen(strShow.c_str(), "r");
    if (pf == nullptr) return -1;
    long lCount = -1;
    char szLine[256];
    while (fgets(szLine, sizeof(szLine), pf) != nullptr) sscanf(szLine, "exchanges: %ld", &lCount);
    pclose(pf);
    return lCount;
}

void Measure(const char *pszWhat, const Connection &conn, ULONG (*pfnOperation)(const Connection &),
             const std::string &strShow)
{
    long lBefore = Exchanges(strShow);
    double dStart = Now();
    ULONG ulRet = SAR_OK;
    for (int n = 0; n < REPEATS && ulRet == SAR_OK; ++n) ulRet = pfnOperation(conn);
    double dMs = (Now() - dStart) * 1000 / REPEATS;
    long lAfter = Exchanges(strShow);
    if (ulRet != SAR_OK) {
        printf("%-22s failed 0x%08X\n", pszWhat, (unsigned int)ulRet);
        return;
    }
    if (lBefore < 0 || lAfter < 0) printf("%-22s %7.1f ms\n", pszWhat, dMs);
    else printf("%-22s %7.1f ms  %5.1f exchanges\n", pszWhat, dMs, (double)(lAfter - lBefore) / REPEATS);
}

int Costs(const char *pszVtoken, const char *pszSerial, const char *pszPin)
{
    const std::string strShow = std::string(pszVtoken) + " show " + pszSerial;
    Connection conn;
    if (!OpenVerified(&conn, pszPin)) return 1;
    SKF_DeleteFile(conn.hApp, (LPSTR)FILE_NAME);
    BYTE abData[KIB];
    memset(abData, 0x33, sizeof(abData));
    ULONG ulRet = SKF_CreateFile(conn.hApp, (LPSTR)FILE_NAME, KIB, 0xFF, 0xFF);
    if (ulRet == SAR_OK) ulRet = SKF_WriteFile(conn.hApp, (LPSTR)FILE_NAME, 0, abData, KIB);
    if (ulRet != SAR_OK) printf("file of 1 KiB: 0x%08X\n", (unsigned int)ulRet);
    Measure("SM2 signature", conn, Sign, strShow);
    Measure("1 KiB file read", conn, ReadFile1K, strShow);
    Measure("1 KiB SM4 (key, init)", conn, Sm4Of1K, strShow);
    Measure("16 B SM4 (key, init)", conn, Sm4OfOneBlock, strShow);
    SKF_DeleteFile(conn.hApp, (LPSTR)FILE_NAME);
    Close(&conn);
    return 0;
}

int Login(const char *pszPin)
{
    Connection a;
    Connection b;
    ULONG ulRet = Open(&a);
    if (ulRet == SAR_OK) ulRet = Open(&b);
    if (ulRet != SAR_OK) {
        printf("open: 0x%08X\n", (unsigned int)ulRet);
        return 1;
    }
    printf("A verifies: 0x%08X\n", (unsigned int)Verify(a, pszPin));
    printf("A signs: 0x%08X\n", (unsigned int)Sign(a));
    printf("B (same process) verifies: 0x%08X\n", (unsigned int)Verify(b, pszPin));
    printf("A signs: 0x%08X\n", (unsigned int)Sign(a));
    printf("B signs: 0x%08X\n", (unsigned int)Sign(b));
    printf("A verifies again: 0x%08X, signs: ", (unsigned int)Verify(a, pszPin));
    printf("0x%08X\n", (unsigned int)Sign(a));
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        Connection c;
        ULONG ulChild = Open(&c);
        if (ulChild == SAR_OK) ulChild = Verify(c, pszPin);
        printf("another process verifies: 0x%08X\n", (unsigned int)ulChild);
        Close(&c);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    printf("A signs: 0x%08X\n", (unsigned int)Sign(a));
    Close(&b);
    Close(&a);
    return 0;
}

int Loop(const char *pszPin, int nSeconds)
{
    Connection conn;
    if (!OpenVerified(&conn, pszPin)) return 1;
    long lSigned = 0;
    long lNotLoggedIn = 0;
    long lOther = 0;
    double dEnd = Now() + nSeconds;
    while (Now() < dEnd) {
        ULONG ulRet = Sign(conn);
        if (ulRet == SAR_OK) ++lSigned;
        else if (ulRet == SAR_USER_NOT_LOGGED_IN) ++lNotLoggedIn;
        else ++lOther;
    }
    printf("%d: signed %ld, SAR_USER_NOT_LOGGED_IN %ld, other %ld\n", (int)getpid(), lSigned, lNotLoggedIn, lOther);
    Close(&conn);
    return 0;
}

/* Another process's calls, one at a time and timed, while this one holds
 * SKF_LockDev: one on a connection made before the lock, and a new
 * connection. */
int Lock(const char *pszPin)
{
    int anReady[2];
    int anLocked[2];
    if (pipe(anReady) != 0 || pipe(anLocked) != 0) return 1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        Connection c;
        ULONG ulChild = Open(&c);
        char cByte = 0;
        if (write(anReady[1], &cByte, 1) != 1 || read(anLocked[0], &cByte, 1) != 1) _exit(1);
        if (ulChild == SAR_OK) {
            DEVINFO stInfo;
            double dStart = Now();
            ulChild = SKF_GetDevInfo(c.hDev, &stInfo);
            printf("another process, connected before: SKF_GetDevInfo 0x%08X after %.1f s\n", (unsigned int)ulChild,
                   Now() - dStart);
        }
        char szNames[256] = {0};
        ULONG ulSize = sizeof(szNames);
        double dStart = Now();
        ulChild = SKF_EnumDev(TRUE, szNames, &ulSize);
        printf("another process: SKF_EnumDev 0x%08X after %.1f s\n", (unsigned int)ulChild, Now() - dStart);
        DEVHANDLE hDev = nullptr;
        dStart = Now();
        ulChild = SKF_ConnectDev(szNames, &hDev);
        printf("another process: SKF_ConnectDev 0x%08X after %.1f s\n", (unsigned int)ulChild, Now() - dStart);
        fflush(stdout);
        if (hDev != nullptr) SKF_DisConnectDev(hDev);
        Close(&c);
        _exit(0);
    }
    char cByte = 0;
    if (read(anReady[0], &cByte, 1) != 1) return 1;
    Connection conn;
    ULONG ulRet = Open(&conn);
    if (ulRet == SAR_OK) ulRet = Verify(conn, pszPin);
    if (ulRet == SAR_OK) ulRet = SKF_LockDev(conn.hDev, 0);
    printf("this process: open, verify, SKF_LockDev: 0x%08X\n", (unsigned int)ulRet);
    fflush(stdout);
    if (write(anLocked[1], &cByte, 1) != 1) return 1;
    waitpid(pid, nullptr, 0);
    printf("the lock holder signs: 0x%08X\n", (unsigned int)Sign(conn));
    SKF_UnlockDev(conn.hDev);
    Close(&conn);
    return 0;
}

int Unplug(const char *pszVtoken, const char *pszSerial)
{
    Connection conn;
    ULONG ulRet = Open(&conn);
    if (ulRet != SAR_OK) {
        printf("open: 0x%08X\n", (unsigned int)ulRet);
        return 1;
    }
    DEVINFO stInfo;
    printf("SKF_GetDevInfo: 0x%08X\n", (unsigned int)SKF_GetDevInfo(conn.hDev, &stInfo));
    std::string strUnplug = std::string(pszVtoken) + " unplug " + pszSerial;
    std::string strPlug = std::string(pszVtoken) + " plug " + pszSerial;
    if (system(strUnplug.c_str()) != 0) return 1;
    printf("unplugged: SKF_GetDevInfo: 0x%08X, SKF_ECCSignData: 0x%08X\n",
           (unsigned int)SKF_GetDevInfo(conn.hDev, &stInfo), (unsigned int)Sign(conn));
    if (system(strPlug.c_str()) != 0) return 1;
    double dPlugged = Now();
    printf("plugged again: SKF_GetDevInfo on the old handle: 0x%08X\n",
           (unsigned int)SKF_GetDevInfo(conn.hDev, &stInfo));
    Connection fresh;
    ulRet = Open(&fresh);
    printf("SKF_EnumDev and SKF_ConnectDev again: 0x%08X after %.2f s; SKF_GetDevInfo: 0x%08X\n",
           (unsigned int)ulRet, Now() - dPlugged,
           (unsigned int)(fresh.hDev != nullptr ? SKF_GetDevInfo(fresh.hDev, &stInfo) : ulRet));
    printf("the old handle still: 0x%08X; SKF_DisConnectDev of it: ",
           (unsigned int)SKF_GetDevInfo(conn.hDev, &stInfo));
    ULONG ulClose = SKF_DisConnectDev(conn.hDev);
    printf("0x%08X\n", (unsigned int)ulClose);
    Close(&fresh);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    std::string strMode = argc > 1 ? argv[1] : "";
    if (strMode == "costs" && argc == 5) return Costs(argv[2], argv[3], argv[4]);
    if (strMode == "login" && argc == 3) return Login(argv[2]);
    if (strMode == "loop" && argc == 4) return Loop(argv[2], atoi(argv[3]));
    if (strMode == "lock" && argc == 3) return Lock(argv[2]);
    if (strMode == "unplug" && argc == 4) return Unplug(argv[2], argv[3]);
    fprintf(stderr, "usage: %s costs VTOKEN SERIAL PIN | login PIN | loop PIN SECONDS | lock PIN | unplug VTOKEN SERIAL\n",
            argv[0]);
    return 2;
}
