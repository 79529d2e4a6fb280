/* Big-endian word access shared by the GM algorithm sources (internal). */
#ifndef BRIO_GM_ENDIAN_H
#define BRIO_GM_ENDIAN_H

#include <stdint.h>
#include <string.h>

static inline uint32_t gm_load_be32(const unsigned char *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

static inline void gm_store_be32(unsigned char *p, uint32_t v)
{
    v = __builtin_bswap32(v);
    memcpy(p, &v, 4);
}

#endif
