// libusb-1.0's calls over the virtual pod: the board's chips as USB devices, their channels
// as interfaces with bulk endpoints, transfers synchronous and asynchronous.
//
// Asynchronous transfers complete inside the event-handling calls, on the calling thread,
// as libusb's do. One thread at a time serves a context's transfers; others wait for it,
// for new bytes from the model, or for their time-outs.
#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "usb_chip.h"

#define VPOD_USB_EXPORT extern "C" __attribute__((visibility("default")))

using vpod::usb::Channel;
using vpod::usb::Clock;
using vpod::usb::Progress;

namespace {

struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t seq = 0;   // bumped by every event a waiting thread may be waiting for
};

// Lives for the process: the model may signal new bytes at any time.
Shared& shared() {
    static Shared* s = new Shared;
    return *s;
}

void bump(Shared& s) {
    ++s.seq;
    s.cv.notify_all();
}

void wake(void*) {
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mu);
    bump(s);
}

struct Pending;

}  // namespace

struct libusb_context {
    std::vector<libusb_transfer*> inFlight;   // guarded by Shared::mu
    bool serving = false;
};

struct libusb_device {
    std::atomic<int> refs{1};
    libusb_context* ctx = nullptr;
    vpod::control::ChipInfo chip;
    vpod::usb::UsbIdentity id;
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    std::vector<std::unique_ptr<Channel>> channels;   // by interface number; null until claimed
};

namespace {

// What the library keeps of a transfer, in front of the caller's libusb_transfer.
struct alignas(alignof(std::max_align_t)) Pending {
    Clock::time_point deadline = Clock::time_point::max();
    bool inFlight = false;
    bool cancelled = false;
    bool pipeDone = false;
};

Pending* pendingOf(libusb_transfer* t) {
    return reinterpret_cast<Pending*>(reinterpret_cast<char*>(t) - sizeof(Pending));
}

libusb_context* defaultContext() {
    static libusb_context* ctx = new libusb_context;
    return ctx;
}

libusb_context* contextOf(libusb_context* ctx) { return ctx ? ctx : defaultContext(); }

Channel* channelFor(libusb_device_handle* h, unsigned iface) {
    return h && iface < h->channels.size() ? h->channels[iface].get() : nullptr;
}

// Endpoints 0x02/0x81 belong to interface 0, 0x04/0x83 to 1, and so on.
unsigned interfaceOfEndpoint(unsigned char ep) {
    return (ep & LIBUSB_ENDPOINT_IN) ? ((ep & 0x7Fu) - 1u) / 2u : (ep & 0x7Fu) / 2u - 1u;
}

int controlRequest(libusb_device_handle* h, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                   unsigned char* data, uint16_t length) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    // wIndex carries the channel (A = 1); single-channel chips also accept 0.
    const unsigned channel = (index & 0xFFu) ? (index & 0xFFu) - 1u : 0u;
    Channel* c = channelFor(h, channel);
    if (c) return c->control(type, request, value, data, length);
    // Serial-port settings change nothing here; on the FT2232C/D the baud rate request carries
    // divisor bits where the channel would be.
    const bool serialSetting = request >= 0x01 && request <= 0x07 && request != 0x05;
    return serialSetting && !(type & LIBUSB_ENDPOINT_IN) ? 0 : LIBUSB_ERROR_PIPE;
}

// One step of a transfer; runs without Shared::mu.
Progress serve(libusb_transfer* t, const Pending& p) {
    if (p.cancelled) return Progress{true, LIBUSB_TRANSFER_CANCELLED, 0, {}};
    if (Clock::now() >= p.deadline) return Progress{true, LIBUSB_TRANSFER_TIMED_OUT, 0, {}};
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)) return Progress{true, LIBUSB_TRANSFER_ERROR, 0, {}};
        libusb_control_setup* s = libusb_control_transfer_get_setup(t);
        const int n = controlRequest(t->dev_handle, s->bmRequestType, s->bRequest, libusb_le16_to_cpu(s->wValue),
                                     libusb_le16_to_cpu(s->wIndex), libusb_control_transfer_get_data(t),
                                     libusb_le16_to_cpu(s->wLength));
        if (n == LIBUSB_ERROR_NO_DEVICE) return Progress{true, LIBUSB_TRANSFER_NO_DEVICE, 0, {}};
        if (n < 0) return Progress{true, LIBUSB_TRANSFER_STALL, 0, {}};
        return Progress{true, LIBUSB_TRANSFER_COMPLETED, n, {}};
    }
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK) return Progress{true, LIBUSB_TRANSFER_ERROR, 0, {}};
    Channel* c = channelFor(t->dev_handle, interfaceOfEndpoint(t->endpoint));
    if (!c) return Progress{true, LIBUSB_TRANSFER_ERROR, 0, {}};
    Progress r = (t->endpoint & LIBUSB_ENDPOINT_IN) ? c->bulkIn(t->buffer, t->length, p.deadline)
                                                    : c->bulkOut(t->buffer, t->length);
    if (!r.done) r.wakeAt = std::min(r.wakeAt, p.deadline);
    return r;
}

void complete(libusb_transfer* t, const Progress& r) {
    t->status = static_cast<libusb_transfer_status>(r.status);
    t->actual_length = r.actual;
    const uint8_t flags = t->flags;
    if (flags & LIBUSB_TRANSFER_FREE_BUFFER) {
        std::free(t->buffer);
        t->buffer = nullptr;
    }
    if (t->callback) t->callback(t);
    if (flags & LIBUSB_TRANSFER_FREE_TRANSFER) libusb_free_transfer(t);
    // The callback may have set the completion flag of a thread that waits in handleEvents
    // while this one served its transfer: wake it, or it sleeps until its own deadline.
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mu);
    bump(s);
}

// Serves the context's transfers until one completes, *completed turns non-zero or `until`.
int handleEvents(libusb_context* ctx, Clock::time_point until, int* completed) {
    ctx = contextOf(ctx);
    Shared& s = shared();
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (completed && *completed) return LIBUSB_SUCCESS;
        const uint64_t seen = s.seq;
        Clock::time_point next = until;
        if (!ctx->serving) {
            ctx->serving = true;
            std::vector<libusb_transfer*> work = ctx->inFlight;
            std::vector<Pending> state;
            for (libusb_transfer* t : work) state.push_back(*pendingOf(t));
            lock.unlock();
            std::vector<std::pair<libusb_transfer*, Progress>> done;
            for (size_t i = 0; i < work.size(); ++i) {
                const Progress r = serve(work[i], state[i]);
                if (r.done) done.emplace_back(work[i], r);
                else next = std::min(next, r.wakeAt);
            }
            lock.lock();
            ctx->serving = false;
            for (auto& [t, r] : done) {
                std::erase(ctx->inFlight, t);
                pendingOf(t)->inFlight = false;
            }
            bump(s);
            if (!done.empty()) {
                lock.unlock();
                for (auto& [t, r] : done) complete(t, r);
                return LIBUSB_SUCCESS;
            }
            if (s.seq != seen + 1) continue;   // something happened while serving
        }
        if (Clock::now() >= until) return LIBUSB_SUCCESS;
        // A bounded wait keeps the clock arithmetic clear of overflow for "no limit".
        next = std::min(next, Clock::now() + std::chrono::hours(1));
        const uint64_t before = s.seq;
        s.cv.wait_until(lock, next, [&] { return s.seq != before; });
    }
}

Clock::time_point deadlineOf(const struct timeval* tv) {
    if (!tv) return Clock::now() + std::chrono::seconds(60);
    return Clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
}

libusb_config_descriptor* buildConfig(const libusb_device* dev) {
    const unsigned n = static_cast<unsigned>(dev->chip.interfaces.size());
    auto* cfg = new (std::nothrow) libusb_config_descriptor{};
    if (!cfg) return nullptr;
    cfg->bLength = LIBUSB_DT_CONFIG_SIZE;
    cfg->bDescriptorType = LIBUSB_DT_CONFIG;
    cfg->wTotalLength = static_cast<uint16_t>(LIBUSB_DT_CONFIG_SIZE +
                                              n * (LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE));
    cfg->bNumInterfaces = static_cast<uint8_t>(n);
    cfg->bConfigurationValue = 1;
    cfg->bmAttributes = 0x80;   // bus powered
    cfg->MaxPower = 45;         // 90 mA
    auto* ifaces = new libusb_interface[n]{};
    for (unsigned i = 0; i < n; ++i) {
        auto* alt = new libusb_interface_descriptor{};
        alt->bLength = LIBUSB_DT_INTERFACE_SIZE;
        alt->bDescriptorType = LIBUSB_DT_INTERFACE;
        alt->bInterfaceNumber = static_cast<uint8_t>(i);
        alt->bNumEndpoints = 2;
        alt->bInterfaceClass = alt->bInterfaceSubClass = alt->bInterfaceProtocol = 0xFF;
        alt->iInterface = 2;
        auto* eps = new libusb_endpoint_descriptor[2]{};
        for (unsigned e = 0; e < 2; ++e) {
            eps[e].bLength = LIBUSB_DT_ENDPOINT_SIZE;
            eps[e].bDescriptorType = LIBUSB_DT_ENDPOINT;
            eps[e].bEndpointAddress = static_cast<uint8_t>(e == 0 ? 0x81 + 2 * i : 0x02 + 2 * i);
            eps[e].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            eps[e].wMaxPacketSize = dev->id.maxPacket;
        }
        alt->endpoint = eps;
        ifaces[i].altsetting = alt;
        ifaces[i].num_altsetting = 1;
    }
    cfg->interface = ifaces;
    return cfg;
}

int transferResult(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
    default: return LIBUSB_ERROR_IO;
    }
}

void LIBUSB_CALL markDone(libusb_transfer* t) {
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mu);
    *static_cast<int*>(t->user_data) = 1;
}

}  // namespace

// ---- Library ---------------------------------------------------------------------------------

VPOD_USB_EXPORT void dorvane_vpod_usb_attach(const vpod::usb::Model* model) { vpod::usb::setModel(model); }

VPOD_USB_EXPORT int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    if (!ctx) {
        defaultContext();
        return LIBUSB_SUCCESS;
    }
    *ctx = new (std::nothrow) libusb_context;
    return *ctx ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    if (!ctx || ctx == defaultContext()) return;
    delete ctx;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }
VPOD_USB_EXPORT void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
VPOD_USB_EXPORT void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

VPOD_USB_EXPORT const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version v{1, 0, 26, 0, "", "dorvane virtual pod"};
    return &v;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

VPOD_USB_EXPORT const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
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
    default: return "LIBUSB_ERROR_OTHER";
    }
}

VPOD_USB_EXPORT const char* LIBUSB_CALL libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

// ---- Devices ---------------------------------------------------------------------------------

VPOD_USB_EXPORT ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<vpod::control::ChipInfo> chips = vpod::usb::model().chips();
    auto** out = static_cast<libusb_device**>(std::calloc(chips.size() + 1, sizeof(libusb_device*)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    size_t n = 0;
    for (size_t i = 0; i < chips.size(); ++i) {
        vpod::usb::UsbIdentity id;
        if (!chips[i].present || !vpod::usb::identityOf(chips[i].type, &id)) continue;
        auto* d = new libusb_device;
        d->ctx = contextOf(ctx);
        d->chip = chips[i];
        d->id = id;
        d->address = static_cast<uint8_t>(i + 2);   // address 1 is the root hub's
        out[n++] = d;
    }
    *list = out;
    return static_cast<ssize_t>(n);
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (!list) return;
    if (unrefDevices)
        for (libusb_device** d = list; *d; ++d) libusb_unref_device(*d);
    std::free(list);
}

VPOD_USB_EXPORT libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev) dev->refs.fetch_add(1);
    return dev;
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev && dev->refs.fetch_sub(1) == 1) delete dev;
}

VPOD_USB_EXPORT uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }
VPOD_USB_EXPORT uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev ? dev->address : 0; }
VPOD_USB_EXPORT uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) { return dev ? dev->address : 0; }
VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int len) {
    if (!dev || !ports || len < 1) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = dev->address;
    return 1;
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    return dev && dev->id.maxPacket == 512 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    if (!dev || interfaceOfEndpoint(endpoint) >= dev->chip.interfaces.size()) return LIBUSB_ERROR_NOT_FOUND;
    return dev->id.maxPacket;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    *desc = {};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = 0x0403;
    desc->idProduct = dev->id.product;
    desc->bcdDevice = dev->id.bcdDevice;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                                             struct libusb_config_descriptor** config) {
    if (!dev || !config) return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    *config = buildConfig(dev);
    return *config ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                                    struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (!config) return;
    for (unsigned i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& in = config->interface[i];
        delete[] in.altsetting->endpoint;
        delete in.altsetting;
    }
    delete[] config->interface;
    delete config;
}

// ---- Handles ---------------------------------------------------------------------------------

VPOD_USB_EXPORT int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    if (!dev || !handle) return LIBUSB_ERROR_INVALID_PARAM;
    bool present = false;
    for (const auto& c : vpod::usb::model().chips())
        if (c.serial == dev->chip.serial && c.interfaces == dev->chip.interfaces) present = c.present;
    if (!present) return LIBUSB_ERROR_NO_DEVICE;
    auto* h = new (std::nothrow) libusb_device_handle;
    if (!h) return LIBUSB_ERROR_NO_MEM;
    h->dev = libusb_ref_device(dev);
    h->channels.resize(dev->chip.interfaces.size());
    *handle = h;
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
    if (!h) return;
    {
        // Transfers still in flight on this handle are dropped with it.
        Shared& s = shared();
        std::lock_guard<std::mutex> lock(s.mu);
        libusb_context* ctx = h->dev->ctx;
        std::erase_if(ctx->inFlight, [&](libusb_transfer* t) { return t->dev_handle == h; });
    }
    libusb_device* dev = h->dev;
    delete h;
    libusb_unref_device(dev);
}

VPOD_USB_EXPORT libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) { return h ? h->dev : nullptr; }

VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* h, int* config) {
    if (!h || !config) return LIBUSB_ERROR_INVALID_PARAM;
    *config = 1;
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* h, int config) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    return config == 1 || config == -1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int iface) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    if (iface < 0 || static_cast<size_t>(iface) >= h->channels.size()) return LIBUSB_ERROR_NOT_FOUND;
    if (h->channels[iface]) return LIBUSB_SUCCESS;
    auto c = std::make_unique<Channel>(h->dev->chip.interfaces[iface], h->dev->id.maxPacket);
    const int r = c->claim(wake);
    if (r == LIBUSB_SUCCESS) h->channels[iface] = std::move(c);
    return r;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int iface) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    if (iface < 0 || static_cast<size_t>(iface) >= h->channels.size() || !h->channels[iface]) return LIBUSB_ERROR_NOT_FOUND;
    h->channels[iface].reset();
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* h, int iface, int alt) {
    if (!channelFor(h, static_cast<unsigned>(iface))) return LIBUSB_ERROR_NOT_FOUND;
    return alt == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
    return channelFor(h, interfaceOfEndpoint(endpoint)) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

// A port reset: the chip leaves the bus and enumerates again once its handles are closed.
VPOD_USB_EXPORT int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h) {
    if (!h) return LIBUSB_ERROR_INVALID_PARAM;
    for (auto& c : h->channels)
        if (c) {
            c->cycle();
            return LIBUSB_ERROR_NOT_FOUND;
        }
    return LIBUSB_SUCCESS;
}

// No kernel driver ever holds a virtual interface.
VPOD_USB_EXPORT int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* h, int) {
    return h ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* h, int) {
    return h ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_INVALID_PARAM;
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* h, int) {
    return h ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_INVALID_PARAM;
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* h, int) {
    return h ? LIBUSB_SUCCESS : LIBUSB_ERROR_INVALID_PARAM;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index,
                                                                   unsigned char* data, int length) {
    if (!h || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    std::string text;
    switch (index) {
    case 1: text = "FTDI"; break;
    case 2: text = h->dev->chip.description; break;
    case 3: text = h->dev->chip.serial; break;
    default: return LIBUSB_ERROR_PIPE;
    }
    const int n = std::min(static_cast<int>(text.size()), length - 1);
    std::memcpy(data, text.data(), static_cast<size_t>(n));
    data[n] = 0;
    return n;
}

// ---- Transfers -------------------------------------------------------------------------------

VPOD_USB_EXPORT struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    if (isoPackets < 0) return nullptr;
    const size_t size = sizeof(Pending) + sizeof(libusb_transfer) +
                        static_cast<size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    void* p = std::calloc(1, size);
    if (!p) return nullptr;
    new (p) Pending;
    auto* t = reinterpret_cast<libusb_transfer*>(static_cast<char*>(p) + sizeof(Pending));
    t->num_iso_packets = isoPackets;
    return t;
}

VPOD_USB_EXPORT void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t) {
    if (!t) return;
    if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) && t->buffer) std::free(t->buffer);
    std::free(pendingOf(t));
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) {
    if (!t || !t->dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->length < 0 || (t->length > 0 && !t->buffer)) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK && t->type != LIBUSB_TRANSFER_TYPE_CONTROL) return LIBUSB_ERROR_NOT_SUPPORTED;
    if (t->type == LIBUSB_TRANSFER_TYPE_BULK && !channelFor(t->dev_handle, interfaceOfEndpoint(t->endpoint)))
        return LIBUSB_ERROR_NOT_FOUND;
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mu);
    Pending* p = pendingOf(t);
    if (p->inFlight) return LIBUSB_ERROR_BUSY;
    p->inFlight = true;
    p->cancelled = false;
    p->deadline = t->timeout ? Clock::now() + std::chrono::milliseconds(t->timeout) : Clock::time_point::max();
    t->actual_length = 0;
    t->dev_handle->dev->ctx->inFlight.push_back(t);
    bump(s);
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) {
    if (!t) return LIBUSB_ERROR_INVALID_PARAM;
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mu);
    Pending* p = pendingOf(t);
    if (!p->inFlight || p->cancelled) return LIBUSB_ERROR_NOT_FOUND;
    p->cancelled = true;
    bump(s);
    return LIBUSB_SUCCESS;
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                                                       int* completed) {
    return handleEvents(ctx, deadlineOf(tv), completed);
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return handleEvents(ctx, deadlineOf(tv), nullptr);
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return handleEvents(ctx, deadlineOf(nullptr), completed);
}
VPOD_USB_EXPORT int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
    return handleEvents(ctx, deadlineOf(nullptr), nullptr);
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t requestType, uint8_t request,
                                                        uint16_t value, uint16_t index, unsigned char* data,
                                                        uint16_t length, unsigned int) {
    return controlRequest(h, requestType, request, value, index, data, length);
}

VPOD_USB_EXPORT int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                                     unsigned char* data, int length, int* transferred,
                                                     unsigned int timeout) {
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t) return LIBUSB_ERROR_NO_MEM;
    int done = 0;
    libusb_fill_bulk_transfer(t, h, endpoint, data, length, markDone, &done, timeout);
    int r = libusb_submit_transfer(t);
    if (r != LIBUSB_SUCCESS) {
        libusb_free_transfer(t);
        return r;
    }
    libusb_context* ctx = h->dev->ctx;
    for (;;) {
        {
            Shared& s = shared();
            std::lock_guard<std::mutex> lock(s.mu);
            if (done) break;
        }
        handleEvents(ctx, Clock::now() + std::chrono::seconds(60), &done);
    }
    if (transferred) *transferred = t->actual_length;
    r = transferResult(t->status);
    libusb_free_transfer(t);
    return r;
}
