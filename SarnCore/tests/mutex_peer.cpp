/* A second process on a token, for the cross-process tests of the device
 * mutex.  Usage: sarncore_mutex_peer hold|wait|exclusive DEVICE-NAME [MARK]
 *   hold: open, take the device mutex, print "locked", then sleep until
 *         killed (or until standard input ends).
 *   wait: open, take the device mutex, print "locked", release, close.
 *   exclusive: as wait, but while holding the mutex create the file MARK
 *         exclusively, keep it 50 ms and remove it; print "overlap" instead
 *         of "locked" when another holder's mark is there. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SarnCore/DeviceContext.h"

int main(int argc, char **argv)
{
    if (argc < 3) return 2;
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
    bool bOverlap = false;
    if (strcmp(argv[1], "exclusive") == 0 && argc == 4) {
        int fd = open(argv[3], O_CREAT | O_EXCL | O_WRONLY, 0600);
        bOverlap = fd < 0;
        usleep(50000);
        if (fd >= 0) {
            close(fd);
            unlink(argv[3]);
        }
    }
    printf(bOverlap ? "overlap\n" : "locked\n");
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
