/* An SKF application as one is written against the standard: it includes
 * only the installed skf.h and is built with pkg-config's flags. */
#include <stdio.h>
#include <string.h>

#include <skf.h>

int main(void)
{
    DEVINFO devInfo;
    ECCCIPHERBLOB *pCipher;
    BLOCKCIPHERPARAM param;
    HANDLE hKey = NULL;
    ULONG ulState = DEV_UNKNOW_STATE;
    char szName[] = "Mirel&pid_f00d&bus_099&addr_099";
    unsigned char abCipher[sizeof(ECCCIPHERBLOB) + 15];
    int nFailures = 0;

    memset(&devInfo, 0, sizeof(devInfo));
    memset(&param, 0, sizeof(param));
    pCipher = (PECCCIPHERBLOB)abCipher;
    pCipher->CipherLen = 16;
    if (sizeof(devInfo) != 294 || sizeof(param) != 44 || sizeof(ENVELOPEDKEYBLOB) != 373) ++nFailures;
    if (SKF_TransErrorCode(0x800063C2L) != SAR_PIN_INCORRECT) ++nFailures;
    if (SKF_CloseHandle(hKey) != SAR_OK) ++nFailures;
    if (SKF_EncryptInit(hKey, param) != SAR_INVALIDHANDLEERR) ++nFailures;
    if (SKF_GetDevState(szName, NULL) != SAR_INVALIDPARAMERR) ++nFailures;
    if (SKF_OpenApplication(NULL, szName, NULL) != SAR_INVALIDPARAMERR) ++nFailures;
    (void)ulState;
    printf("%s\n", nFailures == 0 ? "ok" : "failed");
    return nFailures;
}
