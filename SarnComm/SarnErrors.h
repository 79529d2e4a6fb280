/* Result codes of the token device layer.  Every function returns an unsigned
 * 32-bit code, 0 for success (the shared table is log/ResultCodes.h).  Token
 * status words other than 9000 travel as 0x80000000 | SW. */
#ifndef BRIO_SARNCOMM_SARN_ERRORS_H
#define BRIO_SARNCOMM_SARN_ERRORS_H

#include "log/ResultCodes.h"

/* libusb's no-device and not-found codes as the transport reports them. */
#define ERR_USB_NO_DEVICE 0xFFFFFFFCu
#define ERR_USB_NOT_FOUND 0xFFFFFFFBu

/* A token status word as a result code. */
#define SARN_SW_CODE(sw) (0x80000000u | (unsigned int)(sw))

#endif
