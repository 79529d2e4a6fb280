#include "SarnComm/BulkOnly.h"

#include <string.h>

static void PutLE32(unsigned char *pb, uint32_t ulValue)
{
    pb[0] = (unsigned char)ulValue;
    pb[1] = (unsigned char)(ulValue >> 8);
    pb[2] = (unsigned char)(ulValue >> 16);
    pb[3] = (unsigned char)(ulValue >> 24);
}

static uint32_t GetLE32(const unsigned char *pb)
{
    return (uint32_t)pb[0] | ((uint32_t)pb[1] << 8) | ((uint32_t)pb[2] << 16) | ((uint32_t)pb[3] << 24);
}

static void BuildCBW(uint32_t ulTag, uint32_t ulTransferLen, unsigned char byFlags,
                     const unsigned char pbCB[BOT_CB_LEN], unsigned char pbCBW[BOT_CBW_LEN])
{
    memset(pbCBW, 0, BOT_CBW_LEN);
    memcpy(pbCBW, "USBC", 4);
    PutLE32(pbCBW + 4, ulTag);
    PutLE32(pbCBW + 8, ulTransferLen);
    pbCBW[12] = byFlags;
    pbCBW[13] = 0;  /* LUN */
    pbCBW[14] = BOT_CB_LEN;
    memcpy(pbCBW + 15, pbCB, BOT_CB_LEN);
}

void BuildWriteCBW(uint32_t ulTag, uint32_t ulFrameLen, unsigned char pbCBW[BOT_CBW_LEN])
{
    unsigned char pbCB[BOT_CB_LEN] = {0xFF, 0xF0};
    PutLE32(pbCB + 2, ulFrameLen);
    BuildCBW(ulTag, ulFrameLen, BOT_FLAG_OUT, pbCB, pbCBW);
}

void BuildReadCBW(uint32_t ulTag, unsigned char pbCBW[BOT_CBW_LEN])
{
    const unsigned char pbCB[BOT_CB_LEN] = {0xFF, 0xF1};
    BuildCBW(ulTag, BOT_READ_AREA, BOT_FLAG_IN, pbCB, pbCBW);
}

EnumCSWMatch MatchCSW(const unsigned char *pbData, unsigned int ulTotal, uint32_t ulTag)
{
    if (pbData == nullptr || ulTotal < BOT_CSW_LEN) return CSW_NONE;
    const unsigned char *pbCSW = pbData + ulTotal - BOT_CSW_LEN;
    if (memcmp(pbCSW, "USBS", 4) != 0) return CSW_NONE;
    return GetLE32(pbCSW + 4) == ulTag ? CSW_OURS : CSW_OTHER_TAG;
}

unsigned char CSWStatus(const unsigned char *pbData, unsigned int ulTotal)
{
    return pbData[ulTotal - 1];
}
