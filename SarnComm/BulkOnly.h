/* The bulk-only wrappers of the USB mass-storage class as the token uses
 * them: a command block wrapper carries a vendor command block (FF F0 write
 * with the frame length, FF F1 read), and a status wrapper ends every data
 * phase.  Numbers in the wrappers are little-endian. */
#ifndef BRIO_SARNCOMM_BULK_ONLY_H
#define BRIO_SARNCOMM_BULK_ONLY_H

#include <stdint.h>

#define BOT_CBW_LEN 31u
#define BOT_CSW_LEN 13u
#define BOT_CB_LEN 10u
#define BOT_FLAG_OUT 0x00u
#define BOT_FLAG_IN  0x80u
/* The read area of one answer: the answer bytes and their status wrapper. */
#define BOT_READ_AREA 1024u

/* Command block wrapper announcing a frame of ulFrameLen bytes. */
void BuildWriteCBW(uint32_t ulTag, uint32_t ulFrameLen, unsigned char pbCBW[BOT_CBW_LEN]);
/* Command block wrapper asking for the answer (up to the read area). */
void BuildReadCBW(uint32_t ulTag, unsigned char pbCBW[BOT_CBW_LEN]);

enum EnumCSWMatch {
    CSW_NONE = 0,      /* the data do not end in a status wrapper */
    CSW_OURS = 1,      /* a status wrapper with the handle's tag */
    CSW_OTHER_TAG = 2  /* "USBS" with another tag: data, or a stray wrapper */
};

/* Looks at the last 13 of ulTotal bytes read so far. */
EnumCSWMatch MatchCSW(const unsigned char *pbData, unsigned int ulTotal, uint32_t ulTag);
/* Status byte of the wrapper that ends ulTotal bytes (MatchCSW said so). */
unsigned char CSWStatus(const unsigned char *pbData, unsigned int ulTotal);

#endif
