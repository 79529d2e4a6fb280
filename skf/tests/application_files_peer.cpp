/* A second process on the same token: opens the device named by argv[1] and
 * its application, then argv[2] times creates, writes, reads back and
 * deletes the files "peer0" and "peer1", each call under the device mutex
 * as the SKF frame holds it; at the end it leaves a file "peer" of 10
 * bytes.  Exit status 0 when every call succeeded and every file read back
 * what was written. */
#include <stdlib.h>
#include <string.h>

#include "SarnCore/BrioContext.h"
#include "skf/ApplicationObject.h"

/* One call of the application object under the device mutex. */
template <typename Call>
static unsigned int Locked(CDeviceContext *pCtx, Call fnCall)
{
    if (pCtx->WaitDevMutex() != 0) return 1;
    unsigned int ulRet = fnCall();
    pCtx->ReleaseDevMutex();
    return ulRet;
}

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    CBrioContext *pCtx = new CBrioContext();
    if (pCtx->Open(DRIVER_TYPE_USB_BULK, argv[1], true) != 0) return 3;
    CBrioOperator op(pCtx);
    if (op.Initialize(0) != 0) return 4;
    int nFailed = 0;
    {
        CApplicationObject app(pCtx);
        unsigned int ulSize = 0;
        if (app.EnumCosFile(nullptr, &ulSize) != 0) return 5;
        app.SetApplicationName((char *)"BRIO-APP");
        for (int i = 0, n = atoi(argv[2]); i < n; ++i) {
            for (const char *pszName : {"peer0", "peer1"}) {
                unsigned char pbData[64], pbBack[64];
                unsigned int ulLen = 20 + (unsigned int)i;
                memset(pbData, 'a' + i, sizeof(pbData));
                nFailed += Locked(pCtx, [&] { return app.CreateCosFile((char *)pszName, ulLen, 0xFF, 0xFF); }) != 0;
                nFailed += Locked(pCtx, [&] { return app.WriteCosFile((char *)pszName, 0, pbData, ulLen); }) != 0;
                unsigned int ulBack = sizeof(pbBack);
                nFailed +=
                    Locked(pCtx, [&] { return app.ReadCosFile((char *)pszName, 0, ulLen, pbBack, &ulBack); }) != 0;
                nFailed += ulBack != ulLen || memcmp(pbData, pbBack, ulLen) != 0;
            }
            for (const char *pszName : {"peer0", "peer1"})
                nFailed += Locked(pCtx, [&] { return app.DeleteCosFile((char *)pszName); }) != 0;
        }
        nFailed += Locked(pCtx, [&] { return app.CreateCosFile((char *)"peer", 10, 0xFF, 0xFF); }) != 0;
    }
    op.Finalize();
    return nFailed == 0 ? 0 : 6;
}
