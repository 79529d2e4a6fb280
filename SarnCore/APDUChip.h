/* CAPDUChip: the token's device-management commands (flash area, label and
 * serial numbers, device information, authentication key pair, erase
 * procedures).  Every command goes plain.  Outputs are written only on
 * success. */
#ifndef BRIO_SARNCORE_APDU_CHIP_H
#define BRIO_SARNCORE_APDU_CHIP_H

#include "SarnCore/APDU.h"

#define CHIP_FLASH_BLOCK 256u
#define CHIP_DEV_INFO_LEN 288u
#define CHIP_LABEL_LEN 32u
#define CHIP_SN_LEN 16u

/* Authentication key forms (the device's algorithm byte). */
#define AUTH_KEY_FORM_RSA 3u
#define AUTH_KEY_FORM_RSA_ALT 4u
#define AUTH_KEY_FORM_SM2 0x13u

class CAPDUChip : public CAPDU {
public:
    CAPDUChip(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUChip();

    virtual unsigned int WriteFlash(unsigned int ulAddress, unsigned char *pbData);
    virtual unsigned int ReadFlash(unsigned int ulAddress, unsigned char *pbOut);

    unsigned int EraseFlash();
    unsigned int SetTokenLabel(unsigned char *pbLabel, unsigned int ulLen);
    unsigned int SetTokenSN(unsigned char *pbSN, unsigned int ulLen);
    unsigned int GetDevInfo(unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int GetTokenLabel(unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int GetTokenSN(unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int GetChipSN(unsigned char *pbOut, unsigned int *pulOutLen);
    /* pKeyRecord: a _QV_RSA_KEY_PAIR for forms 3 and 4, a _QV_SM2_KEY_PAIR
     * for form 0x13. */
    unsigned int InitAuthKey(unsigned char byForm, unsigned char *pbData, unsigned int ulLen, void *pKeyRecord);
    unsigned int ImportAuthKey(unsigned char *pbPart1, unsigned int ulLen1, unsigned char *pbPart2,
                               unsigned int ulLen2);
    /* Key output: 132 bytes (RSA: modulus, exponent) or 64 (SM2: X, Y);
     * signature output: 128 or 64 bytes. */
    unsigned int ExportAuthKey(unsigned char byForm, unsigned char *pbKey, unsigned char *pbSignature);
    unsigned int EraseCOS_Request(unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int EraseCOS_Response(unsigned char *pbData, unsigned int ulLen);
    unsigned int EraseMF_Request(unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int EraseMF_Response(unsigned char *pbData, unsigned int ulLen);
};

#endif
