// The libftdi provider: real pods through libftdi1 (and libusb) with D2XX's semantics.
//
// D2XX lists one device per channel (serial + "A", description + " A"), keeps a receive queue
// that its own driver fills, and signals an event when bytes arrive. Here each open channel
// has a reader thread that sits in libftdi's read, which blocks in a USB transfer until the
// chip sends a packet (data, or the status-only packet of its latency timer), so nothing spins.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transport/driver_providers.h"

namespace dorvane::transport {
namespace {

constexpr int kVendorFtdi = 0x0403;
constexpr size_t kReadPiece = 65536;
// Upper bound of one USB read; a chip always answers sooner (its latency timer), so this
// only bounds how long a close waits for a reader whose chip stopped talking.
constexpr int kUsbReadTimeoutMs = 1000;

struct ChipKind {
    uint16_t bcdDevice;
    uint32_t type;
    unsigned channels;
};
constexpr ChipKind kChips[] = {{0x0500, FT_DEVICE_2232C, 2}, {0x0600, FT_DEVICE_232R, 1},
                               {0x0700, FT_DEVICE_2232H, 2}, {0x0800, FT_DEVICE_4232H, 4},
                               {0x0900, FT_DEVICE_232H, 1}};

// One channel as D2XX lists it.
struct Entry {
    uint8_t bus = 0, address = 0;
    unsigned channel = 0;   // 0 = A
    uint32_t type = 0;
    std::string serial, description;
    bool held = false;      // claimed by another program
    uint32_t location() const { return (uint32_t(bus) << 16) | (uint32_t(address) << 4) | (channel + 1); }
};

struct FtdiDeleter {
    void operator()(ftdi_context* f) const { ftdi_free(f); }
};
using FtdiPtr = std::unique_ptr<ftdi_context, FtdiDeleter>;

class Device {
public:
    Device(FtdiPtr ftdi, Entry entry) : ftdi_(std::move(ftdi)), entry_(std::move(entry)) {}
    ~Device() {
        stopReader();
        ftdi_usb_close(ftdi_.get());
    }
    const Entry& entry() const { return entry_; }
    ftdi_context* ftdi() { return ftdi_.get(); }

    bool startReader() { return reader_.start(&Device::readerMain, this); }
    void stopReader() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        reader_.join();
    }

    // Runs f with the reader parked between USB reads, so nothing in flight lands after f.
    template <typename F>
    FtStatus withReaderParked(F&& f) {
        std::unique_lock<std::mutex> lock(mu_);
        ++parked_;
        cv_.wait(lock, [&] { return !reading_ || stop_; });
        const FtStatus st = f();
        --parked_;
        lock.unlock();
        cv_.notify_all();
        return st;
    }
    void clearQueue() {   // with the reader parked
        rx_.clear();
        head_ = 0;
    }

    FtStatus setTimeouts(uint32_t readMs, uint32_t writeMs) {
        std::lock_guard<std::mutex> lock(mu_);
        readTimeoutMs_ = readMs;
        ftdi_->usb_write_timeout = static_cast<int>(std::min<uint32_t>(writeMs, 0x7FFFFFFF));
        return FT_OK;
    }
    FtStatus setEvent(platform::Event* event) {
        std::lock_guard<std::mutex> lock(mu_);
        event_ = event;
        return FT_OK;
    }
    FtStatus queueStatus(uint32_t* count) {
        std::lock_guard<std::mutex> lock(mu_);
        if (gone_) return FT_IO_ERROR;
        *count = static_cast<uint32_t>(rx_.size() - head_);
        return FT_OK;
    }
    FtStatus read(void* buffer, uint32_t count, uint32_t* got) {
        std::unique_lock<std::mutex> lock(mu_);
        auto enough = [&] { return gone_ || rx_.size() - head_ >= count; };
        if (readTimeoutMs_ == 0) cv_.wait(lock, enough);   // 0: no time limit, as the in-process pod
        else cv_.wait_for(lock, std::chrono::milliseconds(readTimeoutMs_), enough);
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, rx_.size() - head_));
        if (n == 0 && gone_ && count) return FT_IO_ERROR;
        if (n) std::memcpy(buffer, rx_.data() + head_, n);
        head_ += n;
        if (head_ == rx_.size()) clearQueue();
        *got = n;
        return FT_OK;
    }
    FtStatus write(const void* buffer, uint32_t count, uint32_t* written) {
        if (count == 0) return FT_OK;
        const int n = ftdi_write_data(ftdi_.get(), static_cast<const unsigned char*>(buffer),
                                      static_cast<int>(std::min<uint32_t>(count, 0x7FFFFFFF)));
        if (n < 0) return FT_IO_ERROR;
        *written = static_cast<uint32_t>(n);
        return FT_OK;
    }
    bool gone() {
        std::lock_guard<std::mutex> lock(mu_);
        return gone_;
    }

private:
    static void readerMain(void* self) { static_cast<Device*>(self)->readLoop(); }

    void readLoop() {
        std::vector<unsigned char> buf(kReadPiece);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return stop_ || parked_ == 0; });
                if (stop_) return;
                reading_ = true;
            }
            // One byte first: libftdi returns as soon as a packet carried data, and keeps the
            // rest of that transfer, which the second call hands over without touching USB.
            int n = ftdi_read_data(ftdi_.get(), buf.data(), 1);
            if (n == 1 && ftdi_->readbuffer_remaining > 0) {
                const int more = ftdi_read_data(ftdi_.get(), buf.data() + 1,
                                                static_cast<int>(std::min<size_t>(ftdi_->readbuffer_remaining,
                                                                                  buf.size() - 1)));
                if (more > 0) n += more;
            }
            platform::Event* event = nullptr;
            {
                std::lock_guard<std::mutex> lock(mu_);
                reading_ = false;
                if (n > 0) {
                    rx_.insert(rx_.end(), buf.data(), buf.data() + n);
                    event = event_;
                } else if (n < 0 && n != LIBUSB_ERROR_TIMEOUT && n != LIBUSB_ERROR_INTERRUPTED) {
                    gone_ = true;   // unplugged or otherwise lost: every later call fails,
                    event = event_;   // and a receive thread waiting for bytes wakes to see it
                }
            }
            cv_.notify_all();
            if (event) event->set();
            if (gone()) return;
        }
    }

    FtdiPtr ftdi_;
    Entry entry_;
    platform::Thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<unsigned char> rx_;
    size_t head_ = 0;
    uint32_t readTimeoutMs_ = 300;   // D2XX's default
    platform::Event* event_ = nullptr;
    unsigned parked_ = 0;
    bool reading_ = false;
    bool stop_ = false;
    bool gone_ = false;
};

uint32_t typeOf(uint16_t bcdDevice, unsigned* channels) {
    for (const ChipKind& k : kChips)
        if (k.bcdDevice == bcdDevice) {
            *channels = k.channels;
            return k.type;
        }
    *channels = 1;
    return 3;   // FT_DEVICE_UNKNOWN
}

class LibftdiDriver final : public FtdiDriver {
public:
    FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (flags & FT_LIST_NUMBER_ONLY) {
            if (!arg1) return FT_INVALID_PARAMETER;
            const FtStatus st = refresh();
            if (st != FT_OK) return st;
            *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(list_.size());
            return FT_OK;
        }
        if (!(flags & FT_LIST_BY_INDEX) || !arg2) return FT_INVALID_PARAMETER;
        if (!listed_ && refresh() != FT_OK) return FT_DEVICE_NOT_FOUND;
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= list_.size()) return FT_DEVICE_NOT_FOUND;
        const Entry& e = list_[index];
        const unsigned what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
        if (what == FT_OPEN_BY_LOCATION) {
            *static_cast<uint32_t*>(arg2) = e.location();
            return FT_OK;
        }
        if (what == FT_OPEN_BY_DESCRIPTION && (e.held || isOpen(e))) return FT_DEVICE_NOT_OPENED;
        const std::string& s = what == FT_OPEN_BY_DESCRIPTION ? e.description : e.serial;
        const size_t size = what == FT_OPEN_BY_DESCRIPTION ? 64 : 32;
        const size_t n = std::min(s.size(), size - 1);
        std::memcpy(arg2, s.data(), n);
        static_cast<char*>(arg2)[n] = 0;
        return FT_OK;
    }

    FtStatus openEx(const char* arg, uint32_t flags, FtHandle* handle) override {
        if (!handle || (!arg && flags != FT_OPEN_BY_LOCATION)) return FT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mu_);
        const FtStatus st = refresh();
        if (st != FT_OK) return st;
        for (const Entry& e : list_) {
            bool match = false;
            if (flags == FT_OPEN_BY_SERIAL_NUMBER) match = e.serial == arg;
            else if (flags == FT_OPEN_BY_DESCRIPTION) match = e.description == arg;
            else if (flags == FT_OPEN_BY_LOCATION) match = e.location() == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
            else return FT_INVALID_PARAMETER;
            if (match) return openEntry(e, handle);
        }
        return FT_DEVICE_NOT_FOUND;
    }

    FtStatus open(uint32_t index, FtHandle* handle) override {
        if (!handle) return FT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mu_);
        if (!listed_ && refresh() != FT_OK) return FT_DEVICE_NOT_FOUND;
        if (index >= list_.size()) return FT_DEVICE_NOT_FOUND;
        const Entry e = list_[index];
        return openEntry(e, handle);
    }

    FtStatus getDeviceInfo(FtHandle h, uint32_t* type, uint32_t* id, char* serial, char* description) override {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        const Entry& e = d->entry();
        if (type) *type = e.type;
        if (id) *id = 0x04036010u;
        if (serial) copy(serial, 32, e.serial);
        if (description) copy(description, 64, e.description);
        return FT_OK;
    }

    FtStatus close(FtHandle h) override {
        std::shared_ptr<Device> d;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = open_.find(h);
            if (it == open_.end()) return FT_INVALID_HANDLE;
            d = std::move(it->second);
            open_.erase(it);
        }
        d->stopReader();
        return FT_OK;
    }

    FtStatus resetDevice(FtHandle h) override {
        return parked(h, [](Device& d) {
            const int r = ftdi_usb_reset(d.ftdi());
            d.clearQueue();
            return r == 0 ? FT_OK : FT_IO_ERROR;
        });
    }

    FtStatus purge(FtHandle h, uint32_t mask) override {
        if (mask & ~uint32_t(FT_PURGE_RX | FT_PURGE_TX)) return FT_INVALID_PARAMETER;
        return parked(h, [mask](Device& d) {
            // D2XX's receive side is the chip's buffer towards the host (libftdi's "input").
            if ((mask & FT_PURGE_RX) && ftdi_tciflush(d.ftdi()) != 0) return FT_IO_ERROR;
            if ((mask & FT_PURGE_TX) && ftdi_tcoflush(d.ftdi()) != 0) return FT_IO_ERROR;
            if (mask & FT_PURGE_RX) d.clearQueue();
            return FT_OK;
        });
    }

    FtStatus setBitMode(FtHandle h, uint8_t mask, uint8_t mode) override {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        return ftdi_set_bitmode(d->ftdi(), mask, mode) == 0 ? FT_OK : status(*d);
    }

    FtStatus setTimeouts(FtHandle h, uint32_t readMs, uint32_t writeMs) override {
        auto d = find(h);
        return d ? d->setTimeouts(readMs, writeMs) : FT_INVALID_HANDLE;
    }

    FtStatus setLatencyTimer(FtHandle h, uint8_t ms) override {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        if (ms < 2) return FT_INVALID_PARAMETER;   // D2XX's lower limit
        return ftdi_set_latency_timer(d->ftdi(), ms) == 0 ? FT_OK : status(*d);
    }

    FtStatus setEventNotification(FtHandle h, uint32_t mask, platform::Event* event) override {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        return d->setEvent((mask & FT_EVENT_RXCHAR) ? event : nullptr);
    }

    FtStatus getQueueStatus(FtHandle h, uint32_t* count) override {
        if (!count) return FT_INVALID_PARAMETER;
        auto d = find(h);
        return d ? d->queueStatus(count) : FT_INVALID_HANDLE;
    }

    FtStatus read(FtHandle h, void* buffer, uint32_t count, uint32_t* got) override {
        if (!got || (!buffer && count)) return FT_INVALID_PARAMETER;
        *got = 0;
        auto d = find(h);
        return d ? d->read(buffer, count, got) : FT_INVALID_HANDLE;
    }

    FtStatus write(FtHandle h, const void* buffer, uint32_t count, uint32_t* written) override {
        if (!written || (!buffer && count)) return FT_INVALID_PARAMETER;
        *written = 0;
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        if (d->gone()) return FT_IO_ERROR;
        return d->write(buffer, count, written);
    }

    // The chip re-enumerates; the handle is of no further use but must still be closed.
    FtStatus cyclePort(FtHandle h) override {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        const int r = libusb_reset_device(d->ftdi()->usb_dev);
        return r == 0 || r == LIBUSB_ERROR_NOT_FOUND || r == LIBUSB_ERROR_NO_DEVICE ? FT_OK : FT_IO_ERROR;
    }

private:
    static void copy(char* out, size_t size, const std::string& s) {
        const size_t n = std::min(s.size(), size - 1);
        std::memcpy(out, s.data(), n);
        out[n] = 0;
    }
    static FtStatus status(Device& d) { return d.gone() ? FT_IO_ERROR : FT_OTHER_ERROR; }

    std::shared_ptr<Device> find(FtHandle h) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = open_.find(h);
        return it == open_.end() ? nullptr : it->second;
    }

    template <typename F>
    FtStatus parked(FtHandle h, F&& f) {
        auto d = find(h);
        if (!d) return FT_INVALID_HANDLE;
        if (d->gone()) return FT_IO_ERROR;
        return d->withReaderParked([&] { return f(*d); });
    }

    bool isOpen(const Entry& e) const {
        for (const auto& [h, d] : open_)
            if (d->entry().bus == e.bus && d->entry().address == e.address && d->entry().channel == e.channel) return true;
        return false;
    }

    // Lists every channel of every FTDI chip on the bus, in bus order.
    FtStatus refresh() {
        if (!lister_) {
            lister_.reset(ftdi_new());
            if (!lister_) return FT_INSUFFICIENT_RESOURCES;
        }
        ftdi_device_list* devices = nullptr;
        const int count = ftdi_usb_find_all(lister_.get(), &devices, 0, 0);
        if (count < 0) return FT_OTHER_ERROR;
        std::vector<Entry> list;
        for (ftdi_device_list* it = devices; it; it = it->next) {
            libusb_device_descriptor desc{};
            if (libusb_get_device_descriptor(it->dev, &desc) != 0 || desc.idVendor != kVendorFtdi) continue;
            char description[64] = {}, serial[32] = {};
            if (ftdi_usb_get_strings(lister_.get(), it->dev, nullptr, 0, description, sizeof description, serial,
                                     sizeof serial) != 0)
                continue;   // another program may hold it so that its strings cannot be read; D2XX hides it too
            unsigned channels = 1;
            const uint32_t type = typeOf(desc.bcdDevice, &channels);
            std::vector<bool> held = claimedElsewhere(it->dev, channels);
            for (unsigned c = 0; c < channels; ++c) {
                Entry e;
                e.bus = libusb_get_bus_number(it->dev);
                e.address = libusb_get_device_address(it->dev);
                e.channel = c;
                e.type = type;
                e.serial = serial;
                e.description = description;
                if (channels > 1) {
                    e.serial += static_cast<char>('A' + c);
                    e.description += std::string(" ") + static_cast<char>('A' + c);
                }
                e.held = held[c];
                list.push_back(std::move(e));
            }
        }
        ftdi_list_free(&devices);
        list_ = std::move(list);
        listed_ = true;
        return FT_OK;
    }

    // Which channels another program has claimed: a claim fails while it holds them. A channel
    // the kernel's serial driver holds counts as free, since opening detaches that driver.
    std::vector<bool> claimedElsewhere(libusb_device* dev, unsigned channels) {
        std::vector<bool> held(channels, false);
        libusb_device_handle* h = nullptr;
        if (libusb_open(dev, &h) != 0) return held;
        for (unsigned c = 0; c < channels; ++c) {
            bool mine = false;
            for (const auto& [k, d] : open_)
                mine = mine || (d->entry().bus == libusb_get_bus_number(dev) &&
                                d->entry().address == libusb_get_device_address(dev) && d->entry().channel == c);
            if (mine || libusb_kernel_driver_active(h, static_cast<int>(c)) == 1) continue;
            const int r = libusb_claim_interface(h, static_cast<int>(c));
            if (r == 0) libusb_release_interface(h, static_cast<int>(c));
            else held[c] = r == LIBUSB_ERROR_BUSY;
        }
        libusb_close(h);
        return held;
    }

    FtStatus openEntry(const Entry& e, FtHandle* handle) {
        if (e.held || isOpen(e)) return FT_DEVICE_NOT_OPENED;
        FtdiPtr f(ftdi_new());
        if (!f) return FT_INSUFFICIENT_RESOURCES;
        if (ftdi_set_interface(f.get(), static_cast<ftdi_interface>(INTERFACE_A + e.channel)) != 0) return FT_DEVICE_NOT_OPENED;
        // libftdi detaches the kernel's serial driver (ftdi_sio) from the channel it claims.
        const int r = ftdi_usb_open_bus_addr(f.get(), e.bus, e.address);
        if (r == -3) return FT_DEVICE_NOT_FOUND;
        if (r != 0) return FT_DEVICE_NOT_OPENED;
        f->usb_read_timeout = kUsbReadTimeoutMs;
        auto d = std::make_shared<Device>(std::move(f), e);
        if (!d->startReader()) return FT_INSUFFICIENT_RESOURCES;
        *handle = d.get();
        open_.emplace(d.get(), std::move(d));
        return FT_OK;
    }

    std::mutex mu_;   // the list and the table of open channels
    FtdiPtr lister_;
    std::vector<Entry> list_;
    bool listed_ = false;
    std::map<FtHandle, std::shared_ptr<Device>> open_;
};

}  // namespace

FtdiDriver& libftdiDriver() {
    static LibftdiDriver driver;
    return driver;
}

}  // namespace dorvane::transport
