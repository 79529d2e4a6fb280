#include "SarnCore/DeviceInfo.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnComm/SarnErrors.h"
#include "SarnCore/DeviceContext.h"

CDeviceInfo::CDeviceInfo()
    : m_hDevice(nullptr),
      m_pbAuthCode{},
      m_ulAuthCodeLen(0),
      m_pbAuthKey{},
      m_byAlgID(DEVINFO_ALG_UNSET),
      m_usKeyID(0),
      m_pRootKey(nullptr),
      m_bySecurityMode(SECURITY_MODE_PLAIN),
      m_pbTransKey{},
      m_ulTransKeyLen(0),
      m_pbSessionID{},
      m_ulCalls(0),
      m_bChannelChecked(false)
{
    CDeviceContext::TraceInfo("CDeviceInfo: Constructor");
}

CDeviceInfo::~CDeviceInfo()
{
    OPENSSL_cleanse(m_pbAuthCode, sizeof(m_pbAuthCode));
    OPENSSL_cleanse(m_pbAuthKey, sizeof(m_pbAuthKey));
    OPENSSL_cleanse(m_pbTransKey, sizeof(m_pbTransKey));
    CDeviceContext::TraceInfo("CDeviceInfo: Destructor");
}

unsigned int CDeviceInfo::SetAuthCode(const unsigned char *pbAuthCode, unsigned int ulLen)
{
    if (pbAuthCode == nullptr) {
        OPENSSL_cleanse(m_pbAuthCode, sizeof(m_pbAuthCode));
        m_ulAuthCodeLen = 0;
        return 0;
    }
    if (ulLen > DEVINFO_KEY_LEN) return ERR_BAD_LENGTH;
    memcpy(m_pbAuthCode, pbAuthCode, ulLen);
    m_ulAuthCodeLen = ulLen;
    return 0;
}

unsigned int CDeviceInfo::SetAuthKey(const unsigned char *pbAuthKey)
{
    if (pbAuthKey == nullptr) return ERR_NULL_ARGUMENT;
    memcpy(m_pbAuthKey, pbAuthKey, DEVINFO_KEY_LEN);
    return 0;
}

unsigned char CDeviceInfo::SetSecurityMode(bool bSecure)
{
    m_bySecurityMode = bSecure ? SECURITY_MODE_SECURE : SECURITY_MODE_PLAIN;
    if (!bSecure) ForgetChannelCheck();
    return m_bySecurityMode;
}

unsigned int CDeviceInfo::SetSessionID(const unsigned char *pbSessionID)
{
    if (pbSessionID == nullptr) return ERR_NULL_ARGUMENT;
    m_pbSessionID[0] = pbSessionID[0];
    m_pbSessionID[1] = pbSessionID[1];
    return 0;
}

unsigned int CDeviceInfo::SetTransKey(const unsigned char *pbKey, unsigned int ulLen)
{
    if (pbKey == nullptr) {
        OPENSSL_cleanse(m_pbTransKey, sizeof(m_pbTransKey));
        m_ulTransKeyLen = 0;
        m_bySecurityMode = SECURITY_MODE_PLAIN;
        m_pbSessionID[0] = m_pbSessionID[1] = 0;
        ForgetChannelCheck();
        return 0;
    }
    if (ulLen > DEVINFO_KEY_LEN || ulLen < 2) return ERR_BAD_LENGTH;
    memcpy(m_pbTransKey, pbKey, ulLen);
    m_ulTransKeyLen = ulLen;
    m_bySecurityMode = SECURITY_MODE_SECURE;
    m_pbSessionID[0] = pbKey[0];
    m_pbSessionID[1] = pbKey[1];
    return 0;
}

void CDeviceInfo::BeginCall()
{
    if (m_ulCalls++ == 0) m_bChannelChecked = false;
}

void CDeviceInfo::EndCall()
{
    if (m_ulCalls != 0 && --m_ulCalls == 0) m_bChannelChecked = false;
}
