// The chip's USB front end over the model's interfaces.
#include "usb_chip.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace vpod::usb {
namespace {

std::atomic<const Model*> attached{nullptr};

// The two modem-status bytes that open every IN packet of an idle, powered port.
constexpr uint8_t kModemStatus[2] = {0x31, 0x60};

Progress finished(int status, int actual) { return Progress{true, status, actual, {}}; }
Progress waitUntil(Clock::time_point at) { return Progress{false, 0, 0, at}; }

int errorOf(Status st) { return st == kIoError || st == kInvalidHandle ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_PIPE; }

}  // namespace

const Model& model() {
    const Model* m = attached.load(std::memory_order_acquire);
    return m ? *m : thisProcessModel();
}

void setModel(const Model* m) { attached.store(m, std::memory_order_release); }

bool identityOf(uint32_t type, UsbIdentity* id) {
    switch (type) {
    case kType2232C: *id = {0x6010, 0x0500, 64}; return true;
    case kType2232H: *id = {0x6010, 0x0700, 512}; return true;
    case kType4232H: *id = {0x6011, 0x0800, 512}; return true;
    case kType232H: *id = {0x6014, 0x0900, 512}; return true;
    default: return false;
    }
}

Channel::~Channel() {
    if (handle_) model().close(handle_);
}

int Channel::claim(Notify wake) {
    std::lock_guard<std::mutex> lock(mu_);
    if (handle_) return LIBUSB_SUCCESS;
    const Model& m = model();
    Handle* h = nullptr;
    const Status st = m.openEx(serial_.c_str(), kOpenBySerialNumber, &h);
    if (st == kDeviceNotOpened) return LIBUSB_ERROR_BUSY;
    if (st != kOk) return LIBUSB_ERROR_NO_DEVICE;
    // Reads only ever ask for bytes already queued; the short limit covers a purge racing them.
    m.setTimeouts(h, 1, 1);
    m.setEventNotification(h, kEventRxChar, wake, nullptr);
    handle_ = h;
    latencyMs_ = 16;
    lastPacket_ = Clock::now();
    return LIBUSB_SUCCESS;
}

int Channel::control(uint8_t requestType, uint8_t request, uint16_t value, uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_) return LIBUSB_ERROR_PIPE;
    if ((requestType & LIBUSB_REQUEST_TYPE_VENDOR) != LIBUSB_REQUEST_TYPE_VENDOR) return LIBUSB_ERROR_PIPE;
    const Model& m = model();
    const bool in = (requestType & LIBUSB_ENDPOINT_IN) != 0;
    auto answer = [&](std::initializer_list<uint8_t> bytes) -> int {
        if (!in || !data) return LIBUSB_ERROR_PIPE;
        const int n = std::min<int>(length, static_cast<int>(bytes.size()));
        std::copy_n(bytes.begin(), n, data);
        return n;
    };
    auto status = [&](Status st) { return st == kOk ? 0 : errorOf(st); };
    switch (request) {
    case 0x00: {   // reset (0), or purge of the host-to-chip (1) or chip-to-host (2) buffer
        Status st = kOk;
        if (value == 0) st = m.resetDevice(handle_);
        else if (value == 1) st = m.purge(handle_, kPurgeTx);
        else if (value == 2) st = m.purge(handle_, kPurgeRx);
        else return LIBUSB_ERROR_PIPE;
        lastPacket_ = Clock::now();
        return status(st);
    }
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x06: case 0x07:   // serial-port settings
    case 0x91: case 0x92:   // EEPROM write and erase: the part stays erased
        return in ? LIBUSB_ERROR_PIPE : 0;
    case 0x05: return answer({kModemStatus[0], kModemStatus[1]});
    case 0x09: {
        const uint8_t ms = static_cast<uint8_t>(value);
        if (ms == 0) return LIBUSB_ERROR_PIPE;
        const Status st = m.setLatencyTimer(handle_, std::max<uint8_t>(ms, 2));
        if (st != kOk) return errorOf(st);
        latencyMs_ = ms;
        return 0;
    }
    case 0x0A: return answer({latencyMs_});
    case 0x0B: return status(m.setBitMode(handle_, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)));
    case 0x0C: {
        control::ChipState s;
        if (!m.chipState(serial_, &s)) return LIBUSB_ERROR_NO_DEVICE;
        return answer({static_cast<uint8_t>((s.lowValue & s.lowDirection) | ~s.lowDirection)});
    }
    case 0x90: return answer({0xFF, 0xFF});
    default: return LIBUSB_ERROR_PIPE;
    }
}

Progress Channel::bulkOut(const uint8_t* data, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_) return finished(LIBUSB_TRANSFER_ERROR, 0);
    uint32_t n = 0;
    const Status st = model().write(handle_, data, static_cast<uint32_t>(length), &n);
    if (st != kOk) return finished(errorOf(st) == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR, 0);
    // A chip that takes only part of a transfer leaves the rest to time out.
    return finished(n < static_cast<uint32_t>(length) ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_COMPLETED,
                    static_cast<int>(n));
}

Progress Channel::bulkIn(uint8_t* data, int length, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_) return finished(LIBUSB_TRANSFER_ERROR, 0);
    const Clock::time_point now = Clock::now();
    if (now < stalledUntil_) return waitUntil(stalledUntil_);
    const Model& m = model();
    uint32_t queued = 0, released = 0;
    if (m.getQueueStatus(handle_, &queued) != kOk) return finished(LIBUSB_TRANSFER_NO_DEVICE, 0);
    if (m.getReleasedCount(handle_, &released) != kOk) released = 0;
    // A packet leaves when it is full, when a send-immediate released the bytes, or when the
    // latency timer (restarted by every packet) runs out, then possibly with no data at all.
    const uint32_t perPacket = maxPacket_ - 2u;
    const Clock::time_point timerAt = lastPacket_ + std::chrono::milliseconds(latencyMs_);
    const bool timerOut = now >= timerAt;
    const uint32_t sendable = timerOut ? queued : std::max(std::min(released, queued), queued / perPacket * perPacket);
    if (!timerOut && sendable == 0) return waitUntil(timerAt);
    if (length < 2) return finished(LIBUSB_TRANSFER_OVERFLOW, 0);
    const uint32_t fullPackets = static_cast<uint32_t>(length) / maxPacket_;
    const uint32_t rest = static_cast<uint32_t>(length) % maxPacket_;
    const uint32_t room = fullPackets * perPacket + (rest > 2 ? rest - 2 : 0);
    const uint32_t take = std::min(sendable, room);
    uint32_t got = 0;
    if (take) {
        scratch_.resize(take);
        if (m.read(handle_, scratch_.data(), take, &got) != kOk) return finished(LIBUSB_TRANSFER_NO_DEVICE, 0);
        if (got == 0) {   // the chip stopped answering: nothing more, not even status, until the time-out
            stalledUntil_ = deadline;
            return waitUntil(deadline);
        }
    }
    int out = 0;
    uint32_t pos = 0;
    do {
        const uint32_t n = std::min(perPacket, got - pos);
        data[out] = kModemStatus[0];
        data[out + 1] = kModemStatus[1];
        if (n) std::memcpy(data + out + 2, scratch_.data() + pos, n);
        out += static_cast<int>(n) + 2;
        pos += n;
    } while (pos < got);
    lastPacket_ = now;
    return finished(LIBUSB_TRANSFER_COMPLETED, out);
}

void Channel::cycle() {
    std::lock_guard<std::mutex> lock(mu_);
    if (handle_) model().cyclePort(handle_);
}

}  // namespace vpod::usb
