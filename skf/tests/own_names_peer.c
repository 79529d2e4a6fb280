/* An application with functions of its own that bear names the library
 * also exports, with signatures of their own (as ported code has them):
 *   own_names_peer NAME
 * calls each of its own functions once, then lists the tokens, connects to
 * the token NAME, asks it for its information, hashes "abc" with SM3 and
 * disconnects.  It says how often its functions were called and ends with
 * 0 only when the SKF calls succeeded, the digest is right and its
 * functions were called by itself alone (once each). */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "skf/skf.h"

static int g_nTraceCalls = 0;
static int g_nTickCalls = 0;
static int g_nSm3InitCalls = 0;
static char g_szLastTrace[256];

/* The application's own trace: its first argument is the format. */
void TRACE(const char *pszFormat, ...)
{
    va_list ap;
    ++g_nTraceCalls;
    va_start(ap, pszFormat);
    vsnprintf(g_szLastTrace, sizeof(g_szLastTrace), pszFormat, ap);
    va_end(ap);
}

/* The application's own clock: the length of what it is asked about. */
unsigned long long GetTickCount(const char *pszWhat)
{
    ++g_nTickCalls;
    return (unsigned long long)strlen(pszWhat);
}

/* The application's own digest start, on a context of its own. */
struct OwnSm3 {
    const char *pszName;
    unsigned long ulDone;
};

int SM3_Init(struct OwnSm3 *pCtx, const char *pszName)
{
    ++g_nSm3InitCalls;
    pCtx->pszName = pszName;
    pCtx->ulDone = strlen(pszName);
    return 1;
}

static const BYTE kSm3Abc[32] = {0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9, 0xd1, 0xf2, 0xd4,
                                 0x6b, 0xdc, 0x10, 0xe4, 0xe2, 0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2,
                                 0xf7, 0xa2, 0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};

static ULONG UseToken(char *pszName)
{
    char szList[256];
    ULONG ulSize = sizeof(szList);
    DEVHANDLE hDev = NULL;
    HANDLE hHash = NULL;
    DEVINFO info;
    BYTE abData[] = "abc";
    BYTE abDigest[32];
    ULONG ulDigestLen = sizeof(abDigest);
    ULONG ulRet = SKF_EnumDev(TRUE, szList, &ulSize);
    if (ulRet == SAR_OK) ulRet = SKF_ConnectDev(pszName, &hDev);
    if (ulRet != SAR_OK) return ulRet;
    ulRet = SKF_GetDevInfo(hDev, &info);
    if (ulRet == SAR_OK) ulRet = SKF_DigestInit(hDev, SGD_SM3, NULL, NULL, 0, &hHash);
    if (ulRet == SAR_OK) ulRet = SKF_Digest(hHash, abData, 3, abDigest, &ulDigestLen);
    if (ulRet == SAR_OK && (ulDigestLen != 32 || memcmp(abDigest, kSm3Abc, 32) != 0)) ulRet = SAR_FAIL;
    if (hHash != NULL) SKF_CloseHandle(hHash);
    if (SKF_DisConnectDev(hDev) != SAR_OK && ulRet == SAR_OK) ulRet = SAR_FAIL;
    return ulRet;
}

int main(int argc, char **argv)
{
    struct OwnSm3 ctx;
    ULONG ulRet;
    if (argc != 2) return 2;
    TRACE("%s %d", "own", 1);
    if (GetTickCount("own") != 3 || SM3_Init(&ctx, "own") != 1 || strcmp(g_szLastTrace, "own 1") != 0) return 1;
    ulRet = UseToken(argv[1]);
    printf("%08lx trace %d tick %d sm3 %d\n", (unsigned long)ulRet, g_nTraceCalls, g_nTickCalls, g_nSm3InitCalls);
    fflush(stdout);
    return ulRet == SAR_OK && g_nTraceCalls == 1 && g_nTickCalls == 1 && g_nSm3InitCalls == 1 ? 0 : 1;
}
