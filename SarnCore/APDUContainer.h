/* CAPDUContainer: the token's container commands (list, create, delete,
 * open).  The commands that change the token carry the PIN authorisation
 * code (16 bytes) first and go under secure messaging.  Names travel as
 * their bytes without the terminating NUL.  Outputs are written only on
 * success. */
#ifndef BRIO_SARNCORE_APDU_CONTAINER_H
#define BRIO_SARNCORE_APDU_CONTAINER_H

#include "SarnCore/APDU.h"

#define CONTAINER_LIST_LEN 256u
#define CONTAINER_DESC_LEN 8u
#define CONTAINER_BODY_LEN 128u

class CAPDUContainer : public CAPDU {
public:
    CAPDUContainer(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUContainer();

    /* pszList holds 256 bytes; *pulLen: room in (when given), length out. */
    unsigned int EnumContainer(unsigned short usAppID, char *pszList, unsigned int *pulLen);
    unsigned int CreateContainer(unsigned char *pbAuthCode, unsigned short usAppID, char *szName);
    unsigned int DeleteContainerByIndex(unsigned char *pbAuthCode, unsigned short usAppID, unsigned char byIndex);
    unsigned int DeleteContainerByName(unsigned char *pbAuthCode, unsigned short usAppID, char *szName);
    /* Up to 8 bytes of container description. */
    unsigned int OpenContainer(char *szName, unsigned char *pbOut, unsigned int *pulLen);
};

#endif
