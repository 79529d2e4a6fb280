// libusb-1.0 stand-in: the part of libusb's interface that the token
// transport uses, forwarded to the virtual-token daemon.
//
// Put in front of the real library with LD_LIBRARY_PATH; the program under
// test is unchanged.  The daemon's socket is looked up (BRIO_VTOKEN_SOCKET)
// every time the stand-in contacts it, never cached at libusb_init, because
// programs initialise libusb before main.  No daemon reachable means no
// device: an empty list, not an error; the first time it happens, one line on
// standard error names the socket that did not answer.
#include <libusb.h>

#include "vtoken/link/VtLink.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using vtoken::CVtLinkClient;
using vtoken::CVtMsgReader;
using vtoken::CVtMsgWriter;
using vtoken::VtBytes;
using vtoken::VtDeviceEntry;
using vtoken::VtOp;

namespace {

constexpr uint16_t kVendorId = 0x287F;
constexpr uint16_t kProductId = 0xF00D;
constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;
constexpr int kDefaultEventTimeoutMs = 60000;
constexpr int kNoDaemonPollMs = 200;

struct HotplugCallback {
    int iHandle;
    int iEvents;
    int iVendor;
    int iProduct;
    int iClass;
    libusb_hotplug_callback_fn pfn;
    void* pUser;
};

}  // namespace

struct libusb_context {
    std::mutex m_mtx;                       // callbacks, devices, watcher pointer
    std::mutex m_mtxEvents;                 // one event handler at a time
    std::mutex m_mtxWatcher;                // opening and closing m_watcher
    int m_aiWake[2] = {-1, -1};             // interrupt pipe of the event handler
    CVtLinkClient m_watcher;                // hot-plug event connection
    std::vector<HotplugCallback> m_vCallbacks;
    int m_iNextHandle = 1;
    std::vector<libusb_device*> m_vDevices; // every device seen; each holds one reference
    int m_iRefs = 0;                        // for the default context
};

struct libusb_device {
    libusb_context* m_pCtx;
    std::atomic<int> m_iRefs;
    VtDeviceEntry m_entry;
};

struct libusb_device_handle {
    libusb_device* m_pDev;
    std::mutex m_mtx;
    CVtLinkClient m_link;
    bool m_bClaimed = false;
};

namespace {

std::mutex g_mtxDefault;
libusb_context* g_pDefaultCtx = nullptr;

libusb_context* Ctx(libusb_context* ctx)
{
    if (ctx != nullptr) {
        return ctx;
    }
    std::lock_guard<std::mutex> lock(g_mtxDefault);
    return g_pDefaultCtx;
}

libusb_context* NewContext()
{
    auto* ctx = new libusb_context;
    if (pipe2(ctx->m_aiWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        delete ctx;
        return nullptr;
    }
    return ctx;
}

void DeleteContext(libusb_context* ctx)
{
    for (libusb_device* dev : ctx->m_vDevices) {
        libusb_unref_device(dev);
    }
    close(ctx->m_aiWake[0]);
    close(ctx->m_aiWake[1]);
    delete ctx;
}

void Wake(libusb_context* ctx)
{
    uint8_t b = 1;
    ssize_t n = write(ctx->m_aiWake[1], &b, 1);
    (void)n;  // a full pipe is already a pending wake
}

// The context's device object for a daemon entry, with one more reference
// for the caller when bRef is set.
libusb_device* DeviceFor(libusb_context* ctx, const VtDeviceEntry& e, bool bRef)
{
    std::lock_guard<std::mutex> lock(ctx->m_mtx);
    for (libusb_device* dev : ctx->m_vDevices) {
        if (dev->m_entry.strSerial == e.strSerial && dev->m_entry.ulGeneration == e.ulGeneration) {
            if (bRef) {
                dev->m_iRefs++;
            }
            return dev;
        }
    }
    auto* dev = new libusb_device {ctx, {bRef ? 2 : 1}, e};
    ctx->m_vDevices.push_back(dev);
    return dev;
}

// Connects a link to the daemon.  A daemon that was never started, a wrong
// BRIO_VTOKEN_SOCKET or a stale socket would look exactly like "no token",
// so the first failure of the process is said once on standard error.
bool ConnectDaemon(CVtLinkClient& link)
{
    static std::atomic<bool> s_bSaid {false};
    std::string strSocket = vtoken::VtDefaultSocketPath();
    if (link.Connect(strSocket)) {
        return true;
    }
    int iError = errno;
    if (!s_bSaid.exchange(true)) {
        fprintf(stderr,
                "libusb (virtual token): cannot reach a brio-vtoken daemon at %s (%s); "
                "no virtual token is listed until one answers there\n",
                strSocket.c_str(), strerror(iError));
    }
    return false;
}

// Lists the plugged tokens; empty when no daemon answers.
std::vector<VtDeviceEntry> ListTokens()
{
    std::vector<VtDeviceEntry> vOut;
    CVtLinkClient client;
    VtBytes vReply;
    if (!ConnectDaemon(client) || !client.Call(CVtMsgWriter(VtOp::List), vReply)) {
        return vOut;
    }
    CVtMsgReader rd(vReply);
    if (rd.I32() != 0) {
        return vOut;
    }
    uint32_t n = rd.U32();
    for (uint32_t i = 0; i < n && !rd.Failed(); ++i) {
        VtDeviceEntry e = rd.Device();
        if (!rd.Failed()) {
            vOut.push_back(e);
        }
    }
    return vOut;
}

// Binds a handle's connection to its token; a libusb code.
int BindHandle(libusb_device_handle* h)
{
    VtBytes vReply;
    if (!ConnectDaemon(h->m_link)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    CVtMsgWriter req(VtOp::Open);
    req.Str(h->m_pDev->m_entry.strSerial).U32(h->m_pDev->m_entry.ulGeneration);
    if (!h->m_link.Call(req, vReply)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    CVtMsgReader rd(vReply);
    int iCode = rd.I32();
    if (rd.Failed()) {
        return LIBUSB_ERROR_IO;
    }
    if (iCode != 0) {
        h->m_link.Close();
    }
    return iCode;
}

// One request on an open handle.  A daemon that was restarted is reached
// again once: the token is still plugged, only its volatile state is gone,
// as after a reset of a real token.
int HandleCall(libusb_device_handle* h, const CVtMsgWriter& req, VtBytes& vReply)
{
    std::lock_guard<std::mutex> lock(h->m_mtx);
    for (int iTry = 0; iTry < 2; ++iTry) {
        if (!h->m_link.IsOpen()) {
            int iBind = BindHandle(h);
            if (iBind != 0) {
                return iBind;
            }
        }
        if (h->m_link.Call(req, vReply)) {
            CVtMsgReader rd(vReply);
            int iCode = rd.I32();
            return rd.Failed() ? LIBUSB_ERROR_IO : iCode;
        }
    }
    return LIBUSB_ERROR_NO_DEVICE;
}

bool Matches(const HotplugCallback& cb, const libusb_device_descriptor& d, int iEvent)
{
    return (cb.iEvents & iEvent) != 0 &&
           (cb.iVendor == LIBUSB_HOTPLUG_MATCH_ANY || cb.iVendor == d.idVendor) &&
           (cb.iProduct == LIBUSB_HOTPLUG_MATCH_ANY || cb.iProduct == d.idProduct) &&
           (cb.iClass == LIBUSB_HOTPLUG_MATCH_ANY || cb.iClass == d.bDeviceClass);
}

// Calls the callbacks that match the event, in the calling thread; a callback
// that returns 1 is deregistered.
void Dispatch(libusb_context* ctx, libusb_device* dev, int iEvent, int iOnlyHandle = 0)
{
    libusb_device_descriptor desc;
    libusb_get_device_descriptor(dev, &desc);
    std::vector<HotplugCallback> vTargets;
    {
        std::lock_guard<std::mutex> lock(ctx->m_mtx);
        for (const auto& cb : ctx->m_vCallbacks) {
            if ((iOnlyHandle == 0 || cb.iHandle == iOnlyHandle) && Matches(cb, desc, iEvent)) {
                vTargets.push_back(cb);
            }
        }
    }
    for (const auto& cb : vTargets) {
        {
            // Deregistered by an earlier callback of this pass?
            std::lock_guard<std::mutex> lock(ctx->m_mtx);
            bool bStill = false;
            for (const auto& c : ctx->m_vCallbacks) {
                bStill = bStill || c.iHandle == cb.iHandle;
            }
            if (!bStill) {
                continue;
            }
        }
        if (cb.pfn(ctx, dev, static_cast<libusb_hotplug_event>(iEvent), cb.pUser) == 1) {
            libusb_hotplug_deregister_callback(ctx, cb.iHandle);
        }
    }
}

// Opens the event connection if there is none; returns its descriptor or -1.
// Only the event handler closes it, so a registration in another thread never
// waits for a pass of event handling to end.
int EnsureWatcher(libusb_context* ctx)
{
    std::lock_guard<std::mutex> lock(ctx->m_mtxWatcher);
    if (!ctx->m_watcher.IsOpen()) {
        VtBytes vReply;
        if (!ConnectDaemon(ctx->m_watcher) ||
            !ctx->m_watcher.Call(CVtMsgWriter(VtOp::Watch), vReply)) {
            ctx->m_watcher.Close();
        }
    }
    return ctx->m_watcher.Fd();
}

void CloseWatcher(libusb_context* ctx)
{
    std::lock_guard<std::mutex> lock(ctx->m_mtxWatcher);
    ctx->m_watcher.Close();
}

void DrainWake(libusb_context* ctx)
{
    uint8_t buf[64];
    while (read(ctx->m_aiWake[0], buf, sizeof(buf)) > 0) {
    }
}

int EventPass(libusb_context* ctx, int iTimeoutMs, int* completed)
{
    std::lock_guard<std::mutex> lock(ctx->m_mtxEvents);
    if (completed != nullptr && *completed) {
        return 0;
    }
    int fdWatch = EnsureWatcher(ctx);
    bool bWatch = fdWatch >= 0;
    pollfd afd[2] = {{ctx->m_aiWake[0], POLLIN, 0}, {fdWatch, POLLIN, 0}};
    // Without a daemon, passes are short so that one started later is found.
    int iWait = bWatch ? iTimeoutMs : std::min(iTimeoutMs, kNoDaemonPollMs);
    int rc = poll(afd, 2, iWait);
    if (rc < 0) {
        return errno == EINTR ? LIBUSB_ERROR_INTERRUPTED : LIBUSB_ERROR_OTHER;
    }
    if ((afd[0].revents & POLLIN) != 0) {
        DrainWake(ctx);
    }
    if (bWatch && afd[1].revents != 0) {
        VtBytes vMsg;
        if (!vtoken::VtRecvMessage(fdWatch, vMsg)) {
            CloseWatcher(ctx);  // daemon gone; the next pass reconnects
            return 0;
        }
        CVtMsgReader rd(vMsg);
        if (static_cast<VtOp>(rd.U8()) == VtOp::Event) {
            uint8_t byKind = rd.U8();
            VtDeviceEntry e = rd.Device();
            if (!rd.Failed()) {
                int iEvent = byKind == 1 ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
                Dispatch(ctx, DeviceFor(ctx, e, false), iEvent);
            }
        }
    }
    return 0;
}

int TimeoutMs(const timeval* tv)
{
    if (tv == nullptr) {
        return kDefaultEventTimeoutMs;
    }
    long long ms = static_cast<long long>(tv->tv_sec) * 1000 + tv->tv_usec / 1000;
    return ms < 0 ? 0 : (ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
}

struct ConfigBlob {
    libusb_config_descriptor cfg;
    libusb_interface itf;
    libusb_interface_descriptor alt;
    libusb_endpoint_descriptor aEp[3];
};

libusb_endpoint_descriptor Endpoint(uint8_t byAddr, uint8_t byType, uint16_t wMaxPacket, uint8_t byInterval)
{
    libusb_endpoint_descriptor ep {};
    ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
    ep.bEndpointAddress = byAddr;
    ep.bmAttributes = byType;
    ep.wMaxPacketSize = wMaxPacket;
    ep.bInterval = byInterval;
    return ep;
}

libusb_config_descriptor* NewConfig()
{
    auto* b = static_cast<ConfigBlob*>(calloc(1, sizeof(ConfigBlob)));
    if (b == nullptr) {
        return nullptr;
    }
    b->aEp[0] = Endpoint(kBulkIn, LIBUSB_TRANSFER_TYPE_BULK, 512, 0);
    b->aEp[1] = Endpoint(kBulkOut, LIBUSB_TRANSFER_TYPE_BULK, 512, 0);
    b->aEp[2] = Endpoint(kInterruptIn, LIBUSB_TRANSFER_TYPE_INTERRUPT, 8, 10);
    b->alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    b->alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    b->alt.bInterfaceNumber = 0;
    b->alt.bAlternateSetting = 0;
    b->alt.bNumEndpoints = 3;
    b->alt.bInterfaceClass = LIBUSB_CLASS_MASS_STORAGE;
    b->alt.bInterfaceSubClass = 0x06;  // SCSI transparent command set
    b->alt.bInterfaceProtocol = 0x50;  // bulk-only transport
    b->alt.endpoint = b->aEp;
    b->itf.altsetting = &b->alt;
    b->itf.num_altsetting = 1;
    b->cfg.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->cfg.bDescriptorType = LIBUSB_DT_CONFIG;
    b->cfg.wTotalLength = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 3 * LIBUSB_DT_ENDPOINT_SIZE;
    b->cfg.bNumInterfaces = 1;
    b->cfg.bConfigurationValue = 1;
    b->cfg.bmAttributes = 0x80;
    b->cfg.MaxPower = 50;  // 100 mA
    b->cfg.interface = &b->itf;
    return &b->cfg;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    if (ctx != nullptr) {
        *ctx = NewContext();
        return *ctx != nullptr ? 0 : LIBUSB_ERROR_NO_MEM;
    }
    std::lock_guard<std::mutex> lock(g_mtxDefault);
    if (g_pDefaultCtx == nullptr) {
        g_pDefaultCtx = NewContext();
        if (g_pDefaultCtx == nullptr) {
            return LIBUSB_ERROR_NO_MEM;
        }
    }
    g_pDefaultCtx->m_iRefs++;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    if (ctx != nullptr) {
        DeleteContext(ctx);
        return;
    }
    std::lock_guard<std::mutex> lock(g_mtxDefault);
    if (g_pDefaultCtx != nullptr && --g_pDefaultCtx->m_iRefs <= 0) {
        DeleteContext(g_pDefaultCtx);
        g_pDefaultCtx = nullptr;
    }
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...)
{
    return 0;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version version = {1, 0, 26, 0, "-vtoken", "virtual token stand-in"};
    return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_HAS_HOTPLUG ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int errcode)
{
    switch (errcode) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

const char* LIBUSB_CALL libusb_strerror(int errcode)
{
    return libusb_error_name(errcode);
}

int LIBUSB_CALL libusb_setlocale(const char*)
{
    return 0;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    ctx = Ctx(ctx);
    if (ctx == nullptr || list == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::vector<VtDeviceEntry> vTokens = ListTokens();
    auto** ppList = static_cast<libusb_device**>(calloc(vTokens.size() + 1, sizeof(libusb_device*)));
    if (ppList == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    for (size_t i = 0; i < vTokens.size(); ++i) {
        ppList[i] = DeviceFor(ctx, vTokens[i], true);
    }
    *list = ppList;
    return static_cast<ssize_t>(vTokens.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices)
{
    if (list == nullptr) {
        return;
    }
    if (unref_devices) {
        for (libusb_device** pp = list; *pp != nullptr; ++pp) {
            libusb_unref_device(*pp);
        }
    }
    free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    dev->m_iRefs++;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    if (dev != nullptr && --dev->m_iRefs == 0) {
        delete dev;
    }
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc)
{
    (void)dev;
    std::memset(desc, 0, sizeof(*desc));
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_PER_INTERFACE;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = kVendorId;
    desc->idProduct = kProductId;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device*, struct libusb_config_descriptor** config)
{
    *config = NewConfig();
    return *config != nullptr ? 0 : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config)
{
    if (config_index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return libusb_get_active_config_descriptor(dev, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t bConfigurationValue,
                                                      struct libusb_config_descriptor** config)
{
    if (bConfigurationValue != 1) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return libusb_get_active_config_descriptor(dev, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    free(config);  // the first member of its ConfigBlob
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev)
{
    return dev->m_entry.byBus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev)
{
    return dev->m_entry.byAddress;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device*)
{
    return 1;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t* port_numbers, int port_numbers_len)
{
    if (port_numbers_len < 1) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    port_numbers[0] = 1;
    return 1;
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*)
{
    return nullptr;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*)
{
    return LIBUSB_SPEED_HIGH;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint)
{
    if (endpoint == kBulkIn || endpoint == kBulkOut) {
        return 512;
    }
    return endpoint == kInterruptIn ? 8 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    auto* h = new libusb_device_handle;
    h->m_pDev = libusb_ref_device(dev);
    int iCode;
    {
        std::lock_guard<std::mutex> lock(h->m_mtx);
        iCode = BindHandle(h);
    }
    if (iCode != 0) {
        libusb_unref_device(h->m_pDev);
        delete h;
        return iCode;
    }
    *dev_handle = h;
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle)
{
    if (dev_handle == nullptr) {
        return;
    }
    libusb_unref_device(dev_handle->m_pDev);
    delete dev_handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle)
{
    return dev_handle->m_pDev;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                                  uint16_t product_id)
{
    libusb_device** list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) {
        return nullptr;
    }
    libusb_device_handle* h = nullptr;
    if (vendor_id == kVendorId && product_id == kProductId && list[0] != nullptr) {
        if (libusb_open(list[0], &h) != 0) {
            h = nullptr;
        }
    }
    libusb_free_device_list(list, 1);
    return h;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle*, int* config)
{
    *config = 1;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int configuration)
{
    return configuration == 1 || configuration == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    std::lock_guard<std::mutex> lock(dev_handle->m_mtx);
    dev_handle->m_bClaimed = true;  // claiming again is harmless
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number)
{
    std::lock_guard<std::mutex> lock(dev_handle->m_mtx);
    if (interface_number != 0 || !dev_handle->m_bClaimed) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    dev_handle->m_bClaimed = false;
    return 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int interface_number, int alternate_setting)
{
    return interface_number == 0 && alternate_setting == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle*)
{
    return 0;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number)
{
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    VtBytes vReply;
    return HandleCall(dev_handle, CVtMsgWriter(VtOp::Driver).U8(0), vReply);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    VtBytes vReply;
    return HandleCall(dev_handle, CVtMsgWriter(VtOp::Driver).U8(1), vReply);
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    VtBytes vReply;
    return HandleCall(dev_handle, CVtMsgWriter(VtOp::Driver).U8(2), vReply);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int)
{
    return 0;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint)
{
    VtBytes vReply;
    return HandleCall(dev_handle, CVtMsgWriter(VtOp::ClearHalt).U8(endpoint), vReply);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* actual_length, unsigned int)
{
    if (actual_length != nullptr) {
        *actual_length = 0;
    }
    if (dev_handle == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    VtBytes vReply;
    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        int iCode = HandleCall(dev_handle, CVtMsgWriter(VtOp::BulkIn).U8(endpoint).U32(static_cast<uint32_t>(length)),
                               vReply);
        if (iCode != 0) {
            return iCode;
        }
        CVtMsgReader rd(vReply);
        rd.I32();
        VtBytes vData = rd.Bytes();
        if (rd.Failed() || vData.size() > static_cast<size_t>(length)) {
            return LIBUSB_ERROR_IO;
        }
        if (!vData.empty()) {
            std::memcpy(data, vData.data(), vData.size());
        }
        if (actual_length != nullptr) {
            *actual_length = static_cast<int>(vData.size());
        }
        return 0;
    }
    int iCode = HandleCall(dev_handle,
                           CVtMsgWriter(VtOp::BulkOut).U8(endpoint).Bytes(data, static_cast<size_t>(length)), vReply);
    if (iCode == 0 && actual_length != nullptr) {
        *actual_length = length;
    }
    return iCode;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char*, int,
                                          int* actual_length, unsigned int)
{
    if (actual_length != nullptr) {
        *actual_length = 0;
    }
    // The interrupt endpoint exists but the token never reports on it.
    return endpoint == kInterruptIn ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_PIPE;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char*,
                                        uint16_t, unsigned int)
{
    return LIBUSB_ERROR_PIPE;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                                   unsigned char* data, int length)
{
    std::string s;
    switch (desc_index) {
    case 1: s = "Brio"; break;
    case 2: s = "Brio Virtual Token"; break;
    case 3: s = dev_handle->m_pDev->m_entry.strSerial; break;
    default: return LIBUSB_ERROR_PIPE;
    }
    if (length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    size_t n = std::min(s.size(), static_cast<size_t>(length - 1));
    std::memcpy(data, s.data(), n);
    data[n] = '\0';
    return static_cast<int>(n);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                                 int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
                                                 void* user_data, libusb_hotplug_callback_handle* callback_handle)
{
    ctx = Ctx(ctx);
    if (ctx == nullptr || cb_fn == nullptr || events == 0 ||
        (events & ~(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)) != 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // The event connection exists from the first registration on, so no
    // event after this call is missed.
    EnsureWatcher(ctx);
    int iHandle;
    {
        std::lock_guard<std::mutex> lock(ctx->m_mtx);
        iHandle = ctx->m_iNextHandle++;
        ctx->m_vCallbacks.push_back({iHandle, events, vendor_id, product_id, dev_class, cb_fn, user_data});
    }
    if (callback_handle != nullptr) {
        *callback_handle = iHandle;
    }
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) != 0 && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) != 0) {
        for (const auto& e : ListTokens()) {
            Dispatch(ctx, DeviceFor(ctx, e, false), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, iHandle);
        }
    }
    return 0;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx, libusb_hotplug_callback_handle callback_handle)
{
    ctx = Ctx(ctx);
    if (ctx == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(ctx->m_mtx);
        auto& v = ctx->m_vCallbacks;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it->iHandle == callback_handle) {
                v.erase(it);
                break;
            }
        }
    }
    Wake(ctx);  // a thread waiting in the event handler returns
}

void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context* ctx, libusb_hotplug_callback_handle callback_handle)
{
    ctx = Ctx(ctx);
    if (ctx == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(ctx->m_mtx);
    for (const auto& cb : ctx->m_vCallbacks) {
        if (cb.iHandle == callback_handle) {
            return cb.pUser;
        }
    }
    return nullptr;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx)
{
    ctx = Ctx(ctx);
    if (ctx != nullptr) {
        Wake(ctx);
    }
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed)
{
    ctx = Ctx(ctx);
    if (ctx == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return EventPass(ctx, TimeoutMs(tv), completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx)
{
    return libusb_handle_events_timeout_completed(ctx, nullptr, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed)
{
    return libusb_handle_events_timeout_completed(ctx, nullptr, completed);
}

}  // extern "C"
