/* CAPDUChipBrio: the product token's flash commands (INS E9 and EA); every
 * other chip command is CAPDUChip's.
 *
 * The product token reads its flash in blocks of 2048 bytes, but one answer
 * through the transport carries at most 1007 payload bytes.  ReadFlash
 * therefore asks for the block (Le 2048) and, while the token has answered
 * fewer bytes, asks again for the rest: the token counts read addresses in
 * quarter bytes (BRIO_FLASH_READ_ADDR_SCALE address units per byte, so that
 * block index i, written at i * 256, is read at i * 1024), and the address of
 * the next piece is the block's address plus the bytes received so far in
 * those units.  The caller's 2048 bytes are written only once the whole block
 * was read; a token that answers nothing or fails leaves them unchanged. */
#ifndef BRIO_SARNCORE_APDU_CHIP_BRIO_H
#define BRIO_SARNCORE_APDU_CHIP_BRIO_H

#include "SarnCore/APDUChip.h"

#define BRIO_FLASH_READ_BLOCK 2048u
#define BRIO_FLASH_READ_ADDR_SCALE 4u

class CAPDUChipBrio : public CAPDUChip {
public:
    CAPDUChipBrio(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUChipBrio();

    /* Address (4 bytes, big-endian) then exactly 256 bytes of pbData. */
    unsigned int WriteFlash(unsigned int ulAddress, unsigned char *pbData) override;
    /* pbOut holds BRIO_FLASH_READ_BLOCK bytes. */
    unsigned int ReadFlash(unsigned int ulAddress, unsigned char *pbOut) override;
};

#endif
