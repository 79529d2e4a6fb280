/* The wait for a token to arrive or leave, and its cancel from another
 * thread.
 *
 * A wait is in progress from the moment SarnHotplugEvent is entered until it
 * returns.  A cancel during that time sets the sticky cancelled flag, takes
 * the callbacks away and wakes libusb's event handling; the waiter tests the
 * flag before every pass, so a cancel that comes before the registration or
 * between the test and the blocking call is never lost.  Each wait clears the
 * event record when it starts and deregisters its callbacks when it ends. */
#include <string.h>
#include <unistd.h>

#include "SarnComm/SarnComm.h"
#include "SarnComm/SarnUnit.h"
#include "log/StepTrace.h"

#define SARN_ARRIVAL_SETTLE_US 100000

static int LIBUSB_CALL HotplugCallback(libusb_context *, libusb_device *pDev, libusb_hotplug_event eEvent,
                                       void *pUserData)
{
    _usbInit *pUnit = static_cast<_usbInit *>(pUserData);
    struct libusb_device_descriptor stDesc;
    int iRet = libusb_get_device_descriptor(pDev, &stDesc);
    if (iRet != 0) {
        TRACE_STEP_FAIL("HotplugCallback", "libusb_get_device_descriptor", (unsigned int)iRet);
        return iRet;
    }
    if (!pUnit->m_bEventFilled.load(std::memory_order_acquire)) {
        SarnBuildDeviceName(pUnit->m_stEvent.szDevName, stDesc.idProduct, libusb_get_bus_number(pDev),
                            libusb_get_device_address(pDev));
        pUnit->m_stEvent.ulEvent =
            eEvent == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? SARN_EVENT_ARRIVED : SARN_EVENT_LEFT;
        pUnit->m_bEventFilled.store(true, std::memory_order_release);
    }
    if (eEvent == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) usleep(SARN_ARRIVAL_SETTLE_US);
    return 0;
}

/* Deregisters whichever callbacks are still registered; safe from any
 * thread, each handle is deregistered once. */
static void DeregisterCallbacks(_usbInit *pUnit)
{
    int hArrival = pUnit->hArrival.exchange(0);
    int hRemoved = pUnit->hRemoved.exchange(0);
    if (hArrival != 0) libusb_hotplug_deregister_callback(g_pUsbCtx, hArrival);
    if (hRemoved != 0) libusb_hotplug_deregister_callback(g_pUsbCtx, hRemoved);
}

static unsigned int RegisterCallbacks(_usbInit *pUnit, unsigned short usVendorID, unsigned short usProductID)
{
    static const char *OP = "SarnHotplugEvent";
    libusb_hotplug_callback_handle hArrival = 0, hRemoved = 0;
    int iRet = libusb_hotplug_register_callback(g_pUsbCtx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                                LIBUSB_HOTPLUG_NO_FLAGS, usVendorID, usProductID,
                                                LIBUSB_HOTPLUG_MATCH_ANY, HotplugCallback, pUnit, &hArrival);
    if (iRet != 0) {
        TRACE_STEP_FAIL(OP, "libusb_hotplug_register_callback(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)",
                        (unsigned int)iRet);
        return (unsigned int)iRet;
    }
    pUnit->hArrival.store(hArrival);
    iRet = libusb_hotplug_register_callback(g_pUsbCtx, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                            usVendorID, usProductID, LIBUSB_HOTPLUG_MATCH_ANY, HotplugCallback,
                                            pUnit, &hRemoved);
    if (iRet != 0) {
        TRACE_STEP_FAIL(OP, "libusb_hotplug_register_callback(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)",
                        (unsigned int)iRet);
        return (unsigned int)iRet;
    }
    pUnit->hRemoved.store(hRemoved);
    return 0;
}

static unsigned int WaitForEvent(_usbInit *pUnit)
{
    while (!pUnit->m_bEventFilled.load(std::memory_order_acquire)) {
        if (pUnit->m_bCancelled.load()) return 0;
        int iRet = libusb_handle_events_completed(g_pUsbCtx, nullptr);
        if (iRet != 0 && iRet != LIBUSB_ERROR_INTERRUPTED) {
            TRACE_STEP_FAIL("SarnHotplugEvent", "libusb_handle_events_completed", (unsigned int)iRet);
            return (unsigned int)iRet;
        }
    }
    return 0;
}

unsigned int SarnHotplugEvent(unsigned short usVendorID, unsigned short usProductID, char *pszDevName,
                              unsigned int *pulEvent)
{
    static const char *OP = "SarnHotplugEvent";
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        TRACE_STEP_FAIL(OP, "libusb_has_capability", ERR_UNSUPPORTED);
        return ERR_UNSUPPORTED;
    }
    if (pszDevName == nullptr || pulEvent == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pszDevName", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    _usbInit *pUnit = &usbInit;
    {
        std::lock_guard<std::mutex> lock(pUnit->m_mtxWait);
        if (pUnit->m_bWaiting) {
            TRACE_STEP_FAIL(OP, "CHECK usbInit.bWaiting", E_FAIL);
            return E_FAIL;
        }
        pUnit->m_bWaiting = true;
        pUnit->m_bCancelled.store(false);
        pUnit->m_bEventFilled.store(false);
        memset(&pUnit->m_stEvent, 0, sizeof(pUnit->m_stEvent));
    }
    *pulEvent = 0;
    unsigned int ulRet = RegisterCallbacks(pUnit, usVendorID, usProductID);
    if (ulRet == 0) ulRet = WaitForEvent(pUnit);
    DeregisterCallbacks(pUnit);

    if (ulRet == 0 && pUnit->m_bEventFilled.load(std::memory_order_acquire)) {
        memcpy(pszDevName, pUnit->m_stEvent.szDevName, SARN_DEVICE_NAME_LEN + 1);
        *pulEvent = pUnit->m_stEvent.ulEvent;
        TRACE_STEP_OK(OP, "libusb_handle_events_completed");
    }
    std::lock_guard<std::mutex> lock(pUnit->m_mtxWait);
    pUnit->m_bWaiting = false;
    return ulRet;
}

unsigned int SarnCancelEvent(void)
{
    static const char *OP = "SarnCancelEvent";
    _usbInit *pUnit = &usbInit;
    {
        std::lock_guard<std::mutex> lock(pUnit->m_mtxWait);
        if (!pUnit->m_bWaiting) {
            TRACE_STEP_FAIL(OP, "CHECK usbInit.hArrival", ERR_BAD_FLAG);
            return ERR_BAD_FLAG;
        }
        pUnit->m_bCancelled.store(true);
    }
    DeregisterCallbacks(pUnit);
    libusb_interrupt_event_handler(g_pUsbCtx);
    TRACE_STEP_OK(OP, "libusb_hotplug_deregister_callback");
    return 0;
}
