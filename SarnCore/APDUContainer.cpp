#include "SarnCore/APDUContainer.h"

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;
static const unsigned char SECURE = APDU_CLA_SECURE;

CAPDUContainer::CAPDUContainer(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUContainer: Constructor");
}

CAPDUContainer::~CAPDUContainer()
{
    CDeviceContext::TraceInfo("CAPDUContainer: Destructor");
}

unsigned int CAPDUContainer::EnumContainer(unsigned short usAppID, char *pszList, unsigned int *pulLen)
{
    CApduBody body;
    body.U16(usAppID);
    CApduAnswer answer(CONTAINER_LIST_LEN);
    unsigned int ulRet = SendCommand("EnumContainer", {PLAIN, 0x46, 0x01, 0x01}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("EnumContainer", answer, (unsigned char *)pszList, pulLen);
}

unsigned int CAPDUContainer::CreateContainer(unsigned char *pbAuthCode, unsigned short usAppID, char *szName)
{
    if (szName == nullptr) return APDU_CHECK_FAIL("CreateContainer", "CHECK szName", ERR_NULL_ARGUMENT);
    CApduBody body(CONTAINER_BODY_LEN);
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).Bytes((const unsigned char *)szName, ApduNameLen(szName));
    return SendCommand("CreateContainer", {SECURE, 0x40, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUContainer::DeleteContainerByIndex(unsigned char *pbAuthCode, unsigned short usAppID,
                                                    unsigned char byIndex)
{
    CApduBody body(CONTAINER_BODY_LEN);
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U8(byIndex);
    return SendCommand("DeleteContainerByIndex", {SECURE, 0x48, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUContainer::DeleteContainerByName(unsigned char *pbAuthCode, unsigned short usAppID, char *szName)
{
    if (szName == nullptr) return APDU_CHECK_FAIL("DeleteContainerByName", "CHECK szName", ERR_NULL_ARGUMENT);
    CApduBody body(CONTAINER_BODY_LEN);
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U8(0xFF).Bytes((const unsigned char *)szName,
                                                                           ApduNameLen(szName));
    return SendCommand("DeleteContainerByName", {SECURE, 0x48, 0x00, 0x01}, &body, nullptr);
}

unsigned int CAPDUContainer::OpenContainer(char *szName, unsigned char *pbOut, unsigned int *pulLen)
{
    if (szName == nullptr) return APDU_CHECK_FAIL("OpenContainer", "CHECK szName", ERR_NULL_ARGUMENT);
    CApduBody body(CONTAINER_BODY_LEN);
    body.Bytes((const unsigned char *)szName, ApduNameLen(szName));
    CApduAnswer answer(CONTAINER_DESC_LEN);
    unsigned int ulRet = SendCommand("OpenContainer", {PLAIN, 0x4A, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("OpenContainer", answer, pbOut, pulLen);
}
