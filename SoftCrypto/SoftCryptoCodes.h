/* Result codes of the software cryptography layer and of the objects built
 * on it.  Every call returns an unsigned 32-bit code, 0 for success; the
 * codes (8, 87, 100, 6000, 6001, the published cryptography family, the
 * system's own) are the middleware's shared table. */
#ifndef BRIO_SOFTCRYPTO_CODES_H
#define BRIO_SOFTCRYPTO_CODES_H

#include "log/ResultCodes.h"

#endif
