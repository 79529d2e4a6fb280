/* A second process on the same token: opens the device named by argv[1] and
 * adds argv[2] records to the token operation log, each under the device
 * mutex as the SKF frame holds it.  Exit status 0 when every record was
 * added. */
#include <stdio.h>
#include <stdlib.h>

#include "SarnCore/DeviceOperator.h"

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    CDeviceContext *pCtx = new CDeviceContext();
    if (pCtx->Open(DRIVER_TYPE_USB_BULK, argv[1], true) != 0) return 3;
    CDeviceOperator op(pCtx);
    if (op.Initialize(0) != 0) return 4;
    int nFailed = 0;
    for (int i = 0, n = atoi(argv[2]); i < n; ++i) {
        if (pCtx->WaitDevMutex() != 0) return 5;
        nFailed += op.RecordSarnLog((char *)"Peer") != 0;
        pCtx->ReleaseDevMutex();
    }
    op.Finalize();
    return nFailed == 0 ? 0 : 6;
}
