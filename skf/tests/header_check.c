/* skf.h as an application written in C sees it: it compiles on its own. */
#include "skf/skf.h"

ULONG brio_skf_header_check(void)
{
    DEVINFO info;
    ECCCIPHERBLOB cipher;
    return (ULONG)(sizeof(info) + sizeof(cipher)) + SAR_OK;
}
