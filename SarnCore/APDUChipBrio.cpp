#include "SarnCore/APDUChipBrio.h"

#include <string.h>

#include "SarnCore/DeviceContext.h"
#include "log/StepTrace.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;

CAPDUChipBrio::CAPDUChipBrio(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDUChip(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUChipBrio: Constructor");
}

CAPDUChipBrio::~CAPDUChipBrio()
{
    CDeviceContext::TraceInfo("CAPDUChipBrio: Destructor");
}

unsigned int CAPDUChipBrio::WriteFlash(unsigned int ulAddress, unsigned char *pbData)
{
    CApduBody body;
    body.U32(ulAddress).Bytes(pbData, CHIP_FLASH_BLOCK);
    return SendCommand("WriteFlash", {PLAIN, 0xE9, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUChipBrio::ReadFlash(unsigned int ulAddress, unsigned char *pbOut)
{
    if (pbOut == nullptr) {
        TRACE_STEP_FAIL("ReadFlash", "CHECK pbyOutBuf", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    unsigned char pbBlock[BRIO_FLASH_READ_BLOCK] = {0};
    unsigned int ulGot = 0;
    while (ulGot < BRIO_FLASH_READ_BLOCK) {
        CApduBody body;
        body.U32(ulAddress + ulGot * BRIO_FLASH_READ_ADDR_SCALE);
        CApduAnswer answer(BRIO_FLASH_READ_BLOCK);
        unsigned int ulRet = SendCommand("ReadFlash", {PLAIN, 0xEA, 0x00, 0x00}, &body, &answer);
        if (ulRet == 0 && answer.Length() == 0) {
            ulRet = ERR_BAD_LENGTH;
            TRACE_STEP_FAIL("ReadFlash", "CHECK nRecvLen", ulRet);
        }
        if (ulRet != 0) return ulRet;
        unsigned int ulTake = answer.Length();
        if (ulTake > BRIO_FLASH_READ_BLOCK - ulGot) ulTake = BRIO_FLASH_READ_BLOCK - ulGot;
        memcpy(pbBlock + ulGot, answer.Data(), ulTake);
        ulGot += ulTake;
    }
    memcpy(pbOut, pbBlock, sizeof(pbBlock));
    return 0;
}
