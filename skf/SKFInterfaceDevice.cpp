/* SKF functions for devices, access control, applications and files. */
#include <string.h>

#include <memory>
#include <new>

#include "SarnComm/SarnComm.h"
#include "SarnCore/APDU.h"
#include "log/ResultCodes.h"
#include "skf/ApplicationObject.h"
#include "skf/BrioManager.h"
#include "skf/DeviceObject.h"
#include "skf/SKFInterfaceFrame.h"

/* Longest label and file name; shortest and longest new PIN.  Device names
 * are at most as long as the device list gives them. */
#define SKF_LABEL_MAX 32u
#define SKF_FILE_NAME_MAX 32u
#define SKF_PIN_MIN 6u
#define SKF_PIN_MAX 16u
/* The length the device-authentication functions take. */
#define SKF_DEV_AUTH_LEN 16u

/* The file functions check the file name alike. */
static CSkfCall &FileNameChecks(CSkfCall &call, LPSTR szFileName)
{
    return call.Arg(szFileName, "CHECK szFileName")
        .MaxLen(szFileName, SKF_FILE_NAME_MAX, "CHECK szFileName length", SAR_NAMELENERR);
}

/* ---- Device management ---- */

ULONG DEVAPI SKF_WaitForDevEvent(LPSTR szDevName, ULONG *pulDevNameLen, ULONG *pulEvent)
{
    CSkfCall call("SKF_WaitForDevEvent", false);
    call.Arg(szDevName, "CHECK szDevName").Arg(pulDevNameLen, "CHECK pulDevNameLen").Arg(pulEvent, "CHECK pulEvent");
    if (!call.Failed())
        call.Step("WaitForDevEvent", SkfManager().WaitForDevEvent(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, szDevName,
                                                                   pulDevNameLen, pulEvent));
    return call.Result();
}

ULONG DEVAPI SKF_CancelWaitForDevEvent(void)
{
    CSkfCall call("SKF_CancelWaitForDevEvent", false);
    if (!call.Failed()) call.Step("CancelWaitForDevEvent", SkfManager().CancelWaitForDevEvent());
    return call.Result();
}

ULONG DEVAPI SKF_EnumDev(BOOL, LPSTR szNameList, ULONG *pulSize)
{
    CSkfCall call("SKF_EnumDev");
    if (!call.Arg(pulSize, "CHECK pulSize").Failed())
        call.Step("EnumDevice", SkfManager().EnumDevice(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, szNameList, pulSize));
    return call.Result();
}

ULONG DEVAPI SKF_ConnectDev(LPSTR szName, DEVHANDLE *phDev)
{
    CSkfCall call("SKF_ConnectDev");
    if (call.Arg(szName, "CHECK szName")
            .MaxLen(szName, SARN_DEVICE_NAME_LEN, "CHECK szName length", SAR_NAMELENERR)
            .Arg(phDev, "CHECK phDev")
            .Failed())
        return call.Result();
    CDeviceOperator *pOperator = nullptr;
    if (!call.Step("OpenDevice", SkfManager().OpenDevice(DRIVER_TYPE_USB_BULK, szName, 0, &pOperator)))
        return call.Result();
    CDeviceObject *pDevice = static_cast<CDeviceObject *>(pOperator);
    if (call.Step("AddDevice", CSkfHandles::Instance().AddDevice(pDevice))) *phDev = pDevice;
    return call.Result();
}

ULONG DEVAPI SKF_DisConnectDev(DEVHANDLE hDev)
{
    CSkfCall call("SKF_DisConnectDev");
    CSkfHandles &handles = CSkfHandles::Instance();
    if (!call.Failed() && !call.Check(handles.BeginDisconnect(hDev), "CHECK hDev", SAR_INVALIDHANDLEERR).Failed())
        call.Step("CloseDevice", handles.EndDisconnect(hDev));
    return call.Result();
}

ULONG DEVAPI SKF_GetDevState(LPSTR szDevName, ULONG *pulDevState)
{
    CSkfCall call("SKF_GetDevState");
    if (call.Arg(szDevName, "CHECK szDevName")
            .MaxLen(szDevName, SARN_DEVICE_NAME_LEN, "CHECK szDevName length", SAR_NAMELENERR)
            .Arg(pulDevState, "CHECK pulDevState")
            .Failed())
        return call.Result();
    *pulDevState = DEV_ABSENT_STATE;
    CBrioManager &manager = SkfManager();
    unsigned int ulSize = 0;
    if (!call.Step("EnumDevice", manager.EnumDevice(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, nullptr, &ulSize)) ||
        ulSize <= 2 || !call.Step("Check buffer size", ulSize <= BRIO_MAX_BUFFER_SIZE ? 0 : ERROR_INVALID_PARAMETER))
        return call.Result();
    std::unique_ptr<char[]> pList(new (std::nothrow) char[ulSize]());
    if (!call.Step("New buffer", pList ? 0 : ERROR_NOT_ENOUGH_MEMORY) ||
        !call.Step("EnumDevice", manager.EnumDevice(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, pList.get(), &ulSize)))
        return call.Result();
    /* An entry that begins with the name counts; the list ends with an
     * empty entry, or at the end of the buffer. */
    size_t nName = strlen(szDevName);
    const char *pEnd = pList.get() + ulSize;
    for (const char *p = pList.get(); p < pEnd && *p != '\0';) {
        size_t nEntry = strnlen(p, static_cast<size_t>(pEnd - p));
        if (nEntry >= nName && memcmp(p, szDevName, nName) == 0) {
            *pulDevState = DEV_PRESENT_STATE;
            break;
        }
        p += nEntry + 1;
    }
    return call.Result();
}

ULONG DEVAPI SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel)
{
    return CSkfCall("SKF_SetLabel")
        .Arg(szLabel, "CHECK szLabel")
        .MaxLen(szLabel, SKF_LABEL_MAX, "CHECK szLabel length", SAR_INDATALENERR)
        .Device(hDev)
        .Run<CDeviceObject>("SetTokenLabel", [&](CDeviceObject &dev) {
            return dev.SetTokenLabel(szLabel, static_cast<unsigned int>(strlen(szLabel)));
        });
}

ULONG DEVAPI SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO *pDevInfo)
{
    return CSkfCall("SKF_GetDevInfo")
        .Arg(pDevInfo, "CHECK pDevInfo")
        .Device(hDev)
        .Run<CDeviceObject>("GetDeviceInfo", [&](CDeviceObject &dev) { return dev.GetDeviceInfo(pDevInfo); });
}

ULONG DEVAPI SKF_LockDev(DEVHANDLE hDev, ULONG)
{
    return CSkfCall("SKF_LockDev").Device(hDev).HoldLock();
}

ULONG DEVAPI SKF_UnlockDev(DEVHANDLE hDev)
{
    return CSkfCall("SKF_UnlockDev").LockedDevice(hDev, "CHECK hDev").DropLock();
}

ULONG DEVAPI SKF_Transmit(DEVHANDLE hDev, BYTE *pbCommand, ULONG ulCommandLen, BYTE *pbData, ULONG *pulDataLen)
{
    return CSkfCall("SKF_Transmit")
        .Arg(pbCommand, "CHECK pbCommand")
        .Check(ulCommandLen <= APDU_MAX_FRAME, "CHECK ulCommandLen", SAR_INDATALENERR)
        .Arg(pbData, "CHECK pbData")
        .Arg(pulDataLen, "CHECK pulDataLen")
        .Device(hDev, "CHECK hDev")
        .Passed("CHECK_DEV_PCTX")
        .Run<CDeviceObject>("Transmit", [&](CDeviceObject &dev) {
            return dev.Transmit(pbCommand, ulCommandLen, pbData, pulDataLen);
        });
}

/* ---- Access control ---- */

ULONG DEVAPI SKF_ChangeDevAuthKey(DEVHANDLE hDev, BYTE *pbKeyValue, ULONG ulKeyLen)
{
    return CSkfCall("SKF_ChangeDevAuthKey")
        .Arg(pbKeyValue, "CHECK pbKeyValue")
        .Check(ulKeyLen == SKF_DEV_AUTH_LEN, "CHECK ulKeyLen")
        .Device(hDev)
        .Run<CDeviceObject>("ChangeDevAuth",
                            [&](CDeviceObject &dev) { return dev.ChangeDevAuth(pbKeyValue, ulKeyLen); });
}

ULONG DEVAPI SKF_DevAuth(DEVHANDLE hDev, BYTE *pbAuthData, ULONG ulLen)
{
    return CSkfCall("SKF_DevAuth")
        .Arg(pbAuthData, "CHECK pbAuthData")
        .Check(ulLen == SKF_DEV_AUTH_LEN, "CHECK ulLen")
        .Device(hDev)
        .Run<CDeviceObject>("DevAuth", [&](CDeviceObject &dev) { return dev.DevAuth(pbAuthData, ulLen); });
}

ULONG DEVAPI SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                           ULONG *pulRetryCount)
{
    return CSkfCall("SKF_ChangePIN")
        .Arg(szOldPin, "CHECK szOldPin", SAR_PIN_INVALID)
        .Arg(szNewPin, "CHECK szNewPin", SAR_PIN_INVALID)
        .MinLen(szNewPin, SKF_PIN_MIN, "CHECK szNewPin min length", SAR_PIN_LEN_RANGE)
        .MaxLen(szNewPin, SKF_PIN_MAX, "CHECK szNewPin max length", SAR_PIN_LEN_RANGE)
        .Arg(pulRetryCount, "CHECK pulRetryCount")
        .Application(hApplication)
        .Run<CApplicationObject>("ChangePIN", [&](CApplicationObject &app) {
            return app.ChangePIN(ulPINType, szOldPin, szNewPin, pulRetryCount);
        });
}

ULONG DEVAPI SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG *pulMaxRetryCount,
                            ULONG *pulRemainRetryCount, BOOL *pbDefaultPin)
{
    return CSkfCall("SKF_GetPINInfo")
        .Arg(pulMaxRetryCount, "CHECK pulMaxRetryCount")
        .Arg(pulRemainRetryCount, "CHECK pulRemainRetryCount")
        .Arg(pbDefaultPin, "CHECK pbDefaultPin")
        .Application(hApplication)
        .Run<CApplicationObject>("GetPINStatus", [&](CApplicationObject &app) {
            /* The caller's flag is a whole BOOL: all of it is written. */
            bool bDefault = false;
            unsigned int ulRet = app.GetPINStatus(ulPINType, pulMaxRetryCount, pulRemainRetryCount, &bDefault);
            if (ulRet == 0) *pbDefaultPin = bDefault ? TRUE : FALSE;
            return ulRet;
        });
}

ULONG DEVAPI SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG *pulRetryCount)
{
    return CSkfCall("SKF_VerifyPIN")
        .Arg(szPIN, "CHECK szPIN")
        .Arg(pulRetryCount, "CHECK pulRetryCount")
        .Application(hApplication)
        .Run<CApplicationObject>("VerifyPIN", [&](CApplicationObject &app) {
            return app.VerifyPIN(ulPINType, szPIN, pulRetryCount);
        });
}

ULONG DEVAPI SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG *pulRetryCount)
{
    return CSkfCall("SKF_UnblockPIN")
        .Arg(szAdminPIN, "CHECK szAdminPIN", SAR_PIN_INVALID)
        .Arg(szNewUserPIN, "CHECK szNewUserPIN", SAR_PIN_INVALID)
        .Arg(pulRetryCount, "CHECK pulRetryCount")
        .Application(hApplication)
        .Run<CApplicationObject>("UnlockPIN", [&](CApplicationObject &app) {
            return app.UnlockPIN(szAdminPIN, szNewUserPIN, pulRetryCount);
        });
}

ULONG DEVAPI SKF_ClearSecureState(HAPPLICATION hApplication)
{
    return CSkfCall("SKF_ClearSecureState")
        .Application(hApplication)
        .Run<CApplicationObject>("ClearAuthCode", [](CApplicationObject &app) { return app.ClearAuthCode(); });
}

/* ---- Applications ---- */

ULONG DEVAPI SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, DWORD dwAdminPinRetryCount,
                                   LPSTR szUserPin, DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                   HAPPLICATION *phApplication)
{
    return CSkfCall("SKF_CreateApplication")
        .Arg(szAppName, "CHECK szAppName")
        .Arg(szAdminPin, "CHECK szAdminPin")
        .Arg(szUserPin, "CHECK szUserPin")
        .Device(hDev)
        .Yields(phApplication, SkfHandleKind::Application)
        .Run<CDeviceObject>("CreateApplication", [&](CDeviceObject &dev) {
            return dev.CreateApplication(szAppName, szAdminPin, dwAdminPinRetryCount, szUserPin, dwUserPinRetryCount,
                                         dwCreateFileRights, phApplication);
        });
}

ULONG DEVAPI SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG *pulSize)
{
    return CSkfCall("SKF_EnumApplication")
        .Arg(pulSize, "CHECK pulSize")
        .Device(hDev)
        .Run<CDeviceObject>("EnumApplication",
                            [&](CDeviceObject &dev) { return dev.EnumApplication(szAppName, pulSize); });
}

ULONG DEVAPI SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName)
{
    return CSkfCall("SKF_DeleteApplication")
        .Arg(szAppName, "CHECK szAppName")
        .Device(hDev)
        .Run<CDeviceObject>("DeleteApplication", [&](CDeviceObject &dev) { return dev.DeleteApplication(szAppName); });
}

ULONG DEVAPI SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION *phApplication)
{
    return CSkfCall("SKF_OpenApplication")
        .Arg(szAppName, "CHECK szAppName")
        .Arg(phApplication, "CHECK phApplication")
        .Device(hDev)
        .Yields(phApplication, SkfHandleKind::Application)
        .Run<CDeviceObject>("OpenApplication",
                            [&](CDeviceObject &dev) { return dev.OpenApplication(szAppName, phApplication); });
}

ULONG DEVAPI SKF_CloseApplication(HAPPLICATION hApplication)
{
    return CSkfCall("SKF_CloseApplication").Close(hApplication, SkfHandleKind::Application, "CHECK_APP_PCTX");
}

/* ---- Files ---- */

ULONG DEVAPI SKF_CreateFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulFileSize, ULONG ulReadRights,
                            ULONG ulWriteRights)
{
    CSkfCall call("SKF_CreateFile");
    return FileNameChecks(call, szFileName)
        .Application(hApplication)
        .Run<CApplicationObject>("CreateCosFile", [&](CApplicationObject &app) {
            return app.CreateCosFile(szFileName, ulFileSize, ulReadRights, ulWriteRights);
        });
}

ULONG DEVAPI SKF_DeleteFile(HAPPLICATION hApplication, LPSTR szFileName)
{
    CSkfCall call("SKF_DeleteFile");
    return FileNameChecks(call, szFileName)
        .Application(hApplication)
        .Run<CApplicationObject>("DeleteCosFile",
                                 [&](CApplicationObject &app) { return app.DeleteCosFile(szFileName); });
}

ULONG DEVAPI SKF_EnumFiles(HAPPLICATION hApplication, LPSTR szFileList, ULONG *pulSize)
{
    return CSkfCall("SKF_EnumFiles")
        .Arg(pulSize, "CHECK pulSize")
        .Application(hApplication)
        .Run<CApplicationObject>("EnumCosFile",
                                 [&](CApplicationObject &app) { return app.EnumCosFile(szFileList, pulSize); });
}

ULONG DEVAPI SKF_GetFileInfo(HAPPLICATION hApplication, LPSTR szFileName, FILEATTRIBUTE *pFileInfo)
{
    CSkfCall call("SKF_GetFileInfo");
    return FileNameChecks(call, szFileName)
        .Arg(pFileInfo, "CHECK pFileInfo")
        .Application(hApplication)
        .Run<CApplicationObject>("GetCosFileInfo",
                                 [&](CApplicationObject &app) { return app.GetCosFileInfo(szFileName, pFileInfo); });
}

ULONG DEVAPI SKF_ReadFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, ULONG ulSize, BYTE *pbOutData,
                          ULONG *pulOutLen)
{
    CSkfCall call("SKF_ReadFile");
    return FileNameChecks(call, szFileName)
        .Arg(pulOutLen, "CHECK pulOutLen")
        .Application(hApplication)
        .Run<CApplicationObject>("ReadCosFile", [&](CApplicationObject &app) {
            return app.ReadCosFile(szFileName, ulOffset, ulSize, pbOutData, pulOutLen);
        });
}

ULONG DEVAPI SKF_WriteFile(HAPPLICATION hApplication, LPSTR szFileName, ULONG ulOffset, BYTE *pbData, ULONG ulSize)
{
    CSkfCall call("SKF_WriteFile");
    return FileNameChecks(call, szFileName)
        .Arg(pbData, "CHECK pbInData")
        .Application(hApplication)
        .Run<CApplicationObject>("WriteCosFile", [&](CApplicationObject &app) {
            return app.WriteCosFile(szFileName, ulOffset, pbData, ulSize);
        });
}
