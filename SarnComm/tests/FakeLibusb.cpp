#include "FakeLibusb.h"

#include <libusb.h>
#include <string.h>

struct libusb_device {
    int unused;
};
struct libusb_device_handle {
    int unused;
};

FakeUsb g_fakeUsb;
static libusb_device g_device;
static libusb_device_handle g_handle;

uint32_t FakeUsb::Tag() const
{
    return (uint32_t)(uintptr_t)&g_handle;
}

void FakeUsb::Reset()
{
    *this = FakeUsb();
}

std::vector<unsigned char> FakeCsw(uint32_t ulTag, unsigned char byStatus)
{
    return {'U', 'S', 'B', 'S', (unsigned char)ulTag, (unsigned char)(ulTag >> 8), (unsigned char)(ulTag >> 16),
            (unsigned char)(ulTag >> 24), 0, 0, 0, 0, byStatus};
}

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    if (ctx != nullptr) *ctx = nullptr;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *) {}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    static libusb_device *s_list[2] = {&g_device, nullptr};
    *list = s_list;
    return 1;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **, int) {}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return 9;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *)
{
    return 9;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *, struct libusb_device_descriptor *desc)
{
    memset(desc, 0, sizeof(*desc));
    desc->idVendor = 0x287F;
    desc->idProduct = 0xF00D;
    return 0;
}

int LIBUSB_CALL libusb_open(libusb_device *, libusb_device_handle **dev_handle)
{
    *dev_handle = &g_handle;
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *) {}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *, struct libusb_config_descriptor **config)
{
    static struct libusb_endpoint_descriptor s_eps[2];
    static struct libusb_interface_descriptor s_alt;
    static struct libusb_interface s_if;
    static struct libusb_config_descriptor s_cfg;
    s_eps[0].bEndpointAddress = 0x81;
    s_eps[0].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    s_eps[1].bEndpointAddress = 0x02;
    s_eps[1].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    s_alt.bInterfaceClass = LIBUSB_CLASS_MASS_STORAGE;
    s_alt.bNumEndpoints = 2;
    s_alt.endpoint = s_eps;
    s_if.altsetting = &s_alt;
    s_if.num_altsetting = 1;
    s_cfg.bNumInterfaces = 1;
    s_cfg.interface = &s_if;
    *config = &s_cfg;
    return 0;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *) {}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *, int)
{
    return g_fakeUsb.driverActive;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *, int)
{
    return g_fakeUsb.detachCode;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *, int)
{
    return 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *, int)
{
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *, int)
{
    return 0;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *, unsigned char)
{
    g_fakeUsb.clearHalts++;
    return 0;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *, unsigned char endpoint, unsigned char *data, int length,
                                     int *actual_length, unsigned int timeout)
{
    *actual_length = 0;
    if ((endpoint & 0x80) == 0) {
        g_fakeUsb.out.emplace_back(data, data + length);
        *actual_length = length;
        return 0;
    }
    g_fakeUsb.inTimeouts.push_back(timeout);
    if (g_fakeUsb.stallForever) return LIBUSB_ERROR_PIPE;
    if (g_fakeUsb.emptyForever) return 0;
    if (g_fakeUsb.in.empty()) return LIBUSB_ERROR_TIMEOUT;
    FakeTransfer t = g_fakeUsb.in.front();
    g_fakeUsb.in.pop_front();
    int n = (int)t.data.size() < length ? (int)t.data.size() : length;
    if (n > 0) memcpy(data, t.data.data(), (size_t)n);
    *actual_length = n;
    return t.code;
}

int LIBUSB_CALL libusb_has_capability(uint32_t)
{
    return 0;
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void *,
                                                 libusb_hotplug_callback_handle *)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *, libusb_hotplug_callback_handle) {}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context *, int *)
{
    return 0;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *) {}

}  // extern "C"
