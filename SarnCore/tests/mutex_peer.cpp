/* A second process on a token, for the cross-process tests of the device
 * mutex.  Usage: sarncore_mutex_peer hold|wait DEVICE-NAME
 *   hold: open, take the device mutex, print "locked", then sleep until
 *         killed (or until standard input ends).
 *   wait: open, take the device mutex, print "locked", release, close. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SarnCore/DeviceContext.h"

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    CDeviceContext ctx;
    unsigned int r = ctx.Open(DRIVER_TYPE_USB_BULK, argv[2], true);
    if (r != 0) {
        printf("open %#x\n", r);
        return 1;
    }
    r = ctx.WaitDevMutex();
    if (r != 0) {
        printf("wait %#x\n", r);
        return 1;
    }
    printf("locked\n");
    fflush(stdout);
    if (strcmp(argv[1], "hold") == 0) {
        char c;
        while (read(0, &c, 1) > 0) {
        }
        pause();
    }
    ctx.ReleaseDevMutex();
    ctx.Close();
    return 0;
}
