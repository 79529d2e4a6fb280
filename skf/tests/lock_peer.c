/* A second process holding a token's device lock: connects to the token
 * named by argv[1], takes SKF_LockDev and says "locked".  On a line from its
 * standard input it releases the lock, says "unlocked" and disconnects; on
 * a line "d" it disconnects still holding the lock, says "disconnected" and
 * lives on until the next line. */
#include <stdio.h>

#include "skf/skf.h"

int main(int argc, char **argv)
{
    DEVHANDLE hDev = NULL;
    char szLine[16];
    ULONG ulRet;
    if (argc != 2) return 2;
    ulRet = SKF_ConnectDev(argv[1], &hDev);
    if (ulRet == SAR_OK) ulRet = SKF_LockDev(hDev, 0);
    printf("%s %08lx\n", ulRet == SAR_OK ? "locked" : "failed", (unsigned long)ulRet);
    fflush(stdout);
    if (ulRet != SAR_OK) return 1;
    if (fgets(szLine, sizeof(szLine), stdin) == NULL) return 1;
    if (szLine[0] == 'd') {
        ulRet = SKF_DisConnectDev(hDev);
        printf("disconnected %08lx\n", (unsigned long)ulRet);
        fflush(stdout);
        if (fgets(szLine, sizeof(szLine), stdin) == NULL) return 1;
        return ulRet == SAR_OK ? 0 : 1;
    }
    ulRet = SKF_UnlockDev(hDev);
    printf("unlocked %08lx\n", (unsigned long)ulRet);
    fflush(stdout);
    SKF_DisConnectDev(hDev);
    return ulRet == SAR_OK ? 0 : 1;
}
