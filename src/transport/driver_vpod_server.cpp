// The virtual pod served by another process (dorvane-vpod-server) behind the driver seam.
// DORVANE_VPOD_SERVER gives the server's address, "[host:]port" (host: IPv4, default
// 127.0.0.1). Every open interface has a connection of its own; the server pushes the chip's
// answers as they come, and a reader thread keeps them here: reads, the queue status and the
// event notification are served from that copy, so the receive thread never waits on the
// network for a call to come back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod/wire.h"

namespace dorvane::transport {
namespace {

namespace wire = vpod::wire;

bool serverAddress(std::string* host, uint16_t* port) {
    std::string v;
    if (!platform::getEnv("DORVANE_VPOD_SERVER", v) || v.empty()) return false;
    const size_t colon = v.rfind(':');
    *host = colon == std::string::npos ? std::string() : v.substr(0, colon);
    const std::string digits = colon == std::string::npos ? v : v.substr(colon + 1);
    char* end = nullptr;
    const long p = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end || p <= 0 || p > 65535) return false;
    *port = static_cast<uint16_t>(p);
    return true;
}

// One connection to the server; once it opened an interface, the handle of that interface.
class Link {
public:
    ~Link() { end(); }

    bool connect() {
        std::string host;
        uint16_t port = 0;
        return serverAddress(&host, &port) && sock_.connect(host, port);
    }

    // Sends a request and returns its reply's payload (after the status) in *reply; the
    // status, or FT_IO_ERROR when the connection is gone.
    FtStatus call(wire::Writer& request, std::vector<uint8_t>* reply = nullptr) {
        platform::LockGuard one(callLock_);
        const std::vector<uint8_t>& f = request.frame();
        std::vector<uint8_t> payload;
        if (!reader_.joinable()) {   // before the interface is open: answer read here
            if (!sock_.sendAll(f.data(), f.size()) || !recvFrame(&payload) || payload[0] != wire::kReply)
                return FT_IO_ERROR;
        } else {
            {
                platform::LockGuard l(lock_);
                if (gone_) return FT_IO_ERROR;   // a dead handle still goes to the server (close)
                replyReady_ = false;
            }
            if (!sock_.sendAll(f.data(), f.size())) return FT_IO_ERROR;
            for (;;) {
                {
                    platform::LockGuard l(lock_);
                    if (replyReady_) { payload.swap(reply_); break; }
                    if (gone_) return FT_IO_ERROR;
                }
                if (replyEvent_.wait(0xFFFFFFFFu) < 0) return FT_IO_ERROR;
            }
        }
        wire::Reader in(payload.data() + 1, payload.size() - 1);
        uint32_t st = FT_IO_ERROR;
        if (!in.u32(&st)) return FT_IO_ERROR;
        if (reply) {
            size_t n = 0;
            const uint8_t* rest = in.rest(&n);
            reply->assign(rest, rest + n);
        }
        return st;
    }

    // The interface is open: from now on a thread takes in what the server sends.
    bool startReader() {
        return replyEvent_.valid() && dataEvent_.valid() &&
               reader_.start([](void* self) { static_cast<Link*>(self)->readLoop(); }, this);
    }

    // Ends the connection and its reader.
    void end() {
        sock_.shutdown();
        reader_.join();
        sock_.close();
    }

    // The replies that change the local copy: a purge of the receive queue, a port cycle.
    void expectPurge(bool rx) { platform::LockGuard l(lock_); purgeOnReply_ = rx; }
    void expectCycle() { platform::LockGuard l(lock_); cycleOnReply_ = true; }

    FtStatus setTimeouts(uint32_t readMs) {
        platform::LockGuard l(lock_);
        readTimeoutMs_ = readMs;
        return FT_OK;
    }

    FtStatus setEvent(uint32_t mask, platform::Event* event) {
        platform::LockGuard l(lock_);
        notify_ = (mask & FT_EVENT_RXCHAR) ? event : nullptr;
        return FT_OK;
    }

    FtStatus queueStatus(uint32_t* count) {
        platform::LockGuard l(lock_);
        if (dead_) return FT_IO_ERROR;
        *count = static_cast<uint32_t>(rx_.size());
        return FT_OK;
    }

    FtStatus read(void* buffer, uint32_t count, uint32_t* got) {
        auto* out = static_cast<uint8_t*>(buffer);
        uint32_t have = 0;
        const uint32_t start = platform::millisecondTimer();
        for (;;) {
            uint32_t limit;
            {
                platform::LockGuard l(lock_);
                if (dead_) { *got = have; return FT_IO_ERROR; }
                while (have < count && !rx_.empty()) {
                    out[have++] = rx_.front();
                    rx_.pop_front();
                }
                limit = readTimeoutMs_;
            }
            if (have == count) break;
            uint32_t wait = 0xFFFFFFFFu;   // time-out 0: no limit, as D2XX
            if (limit) {
                const uint32_t spent = platform::millisecondTimer() - start;
                if (spent >= limit) break;
                wait = limit - spent;
            }
            if (dataEvent_.wait(wait) < 0) break;
        }
        *got = have;
        return FT_OK;
    }

private:
    bool recvFrame(std::vector<uint8_t>* frame) {
        uint8_t header[4];
        if (!sock_.recvAll(header, 4)) return false;
        const uint32_t n = wire::frameLength(header);
        if (n == 0 || n > wire::kMaxFrame) return false;
        frame->resize(n);
        return sock_.recvAll(frame->data(), n);
    }

    void readLoop() {
        std::vector<uint8_t> frame;
        while (recvFrame(&frame)) {
            platform::LockGuard l(lock_);
            if (frame[0] == wire::kData) {
                rx_.insert(rx_.end(), frame.begin() + 1, frame.end());
                dataEvent_.set();
                if (notify_) notify_->set();
            } else if (frame[0] == wire::kReply) {
                const bool ok = frame.size() >= 5 && frame[1] == 0 && frame[2] == 0 && frame[3] == 0 && frame[4] == 0;
                if (purgeOnReply_ && ok) rx_.clear();
                if (cycleOnReply_ && ok) dead_ = true;   // the chip left the bus with this handle
                purgeOnReply_ = cycleOnReply_ = false;
                reply_.swap(frame);
                replyReady_ = true;
                replyEvent_.set();
                if (dead_) {
                    dataEvent_.set();
                    if (notify_) notify_->set();
                }
            } else {
                break;
            }
        }
        // The server or the connection went away: every waiter learns it.
        platform::LockGuard l(lock_);
        gone_ = dead_ = true;
        replyEvent_.set();
        dataEvent_.set();
        if (notify_) notify_->set();
    }

    platform::TcpStream sock_;
    platform::Thread reader_;
    platform::Lock callLock_;   // one request at a time
    platform::Lock lock_;       // guards everything below
    std::deque<uint8_t> rx_;
    std::vector<uint8_t> reply_;
    bool replyReady_ = false, gone_ = false, dead_ = false;
    bool purgeOnReply_ = false, cycleOnReply_ = false;
    uint32_t readTimeoutMs_ = 0;
    platform::Event* notify_ = nullptr;
    platform::Event replyEvent_, dataEvent_;
};

Link* L(FtHandle h) { return static_cast<Link*>(h); }

FtStatus simple(FtHandle h, wire::Writer&& w) { return h ? L(h)->call(w) : FT_INVALID_HANDLE; }

class VpodServerDriver final : public FtdiDriver {
public:
    FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) override {
        Link link;
        if (!link.connect()) {
            if ((flags & FT_LIST_NUMBER_ONLY) && arg1) { *static_cast<uint32_t*>(arg1) = 0; return FT_OK; }
            return FT_DEVICE_NOT_FOUND;
        }
        std::vector<uint8_t> reply;
        if (flags & FT_LIST_NUMBER_ONLY) {
            if (!arg1) return FT_INVALID_PARAMETER;
            wire::Writer w(wire::kListCount);
            const FtStatus st = link.call(w, &reply);
            wire::Reader in(reply.data(), reply.size());
            uint32_t n = 0;
            if (st == FT_OK && !in.u32(&n)) return FT_IO_ERROR;
            if (st == FT_OK) *static_cast<uint32_t*>(arg1) = n;
            return st;
        }
        if (!(flags & FT_LIST_BY_INDEX) || !arg2) return FT_INVALID_PARAMETER;
        const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1));
        const uint32_t what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION);
        wire::Writer w(wire::kListEntry);
        w.u32(index).u32(what);
        const FtStatus st = link.call(w, &reply);
        if (st != FT_OK) return st;
        wire::Reader in(reply.data(), reply.size());
        std::string text;
        if (!in.text(&text)) return FT_IO_ERROR;
        const size_t room = what == FT_OPEN_BY_SERIAL_NUMBER ? 16 : 64;
        text.resize(std::min(text.size(), room - 1));
        std::memcpy(arg2, text.c_str(), text.size() + 1);
        return FT_OK;
    }

    FtStatus openEx(const char* serialNumber, uint32_t flags, FtHandle* handle) override {
        if (!serialNumber || !handle) return FT_INVALID_PARAMETER;
        wire::Writer w(wire::kOpenEx);
        w.u32(flags).text(serialNumber);
        return openWith(w, handle);
    }

    FtStatus open(uint32_t index, FtHandle* handle) override {
        if (!handle) return FT_INVALID_PARAMETER;
        wire::Writer w(wire::kOpen);
        w.u32(index);
        return openWith(w, handle);
    }

    FtStatus getDeviceInfo(FtHandle handle, uint32_t* type, uint32_t* id, char* serial, char* description) override {
        if (!handle) return FT_INVALID_HANDLE;
        wire::Writer w(wire::kGetDeviceInfo);
        std::vector<uint8_t> reply;
        const FtStatus st = L(handle)->call(w, &reply);
        if (st != FT_OK) return st;
        wire::Reader in(reply.data(), reply.size());
        uint32_t t = 0, i = 0;
        std::string s, d;
        if (!in.u32(&t) || !in.u32(&i) || !in.text(&s) || !in.text(&d)) return FT_IO_ERROR;
        if (type) *type = t;
        if (id) *id = i;
        if (serial) std::memcpy(serial, s.c_str(), std::min<size_t>(s.size(), 31) + 1), serial[31] = 0;
        if (description) std::memcpy(description, d.c_str(), std::min<size_t>(d.size(), 63) + 1), description[63] = 0;
        return FT_OK;
    }

    FtStatus close(FtHandle handle) override {
        if (!handle) return FT_INVALID_HANDLE;
        wire::Writer w(wire::kClose);
        const FtStatus st = L(handle)->call(w);
        delete L(handle);   // the server ends the connection, and with it the handle, either way
        return st;
    }

    FtStatus resetDevice(FtHandle handle) override { return simple(handle, wire::Writer(wire::kResetDevice)); }

    FtStatus purge(FtHandle handle, uint32_t mask) override {
        if (!handle) return FT_INVALID_HANDLE;
        wire::Writer w(wire::kPurge);
        w.u32(mask);
        L(handle)->expectPurge((mask & FT_PURGE_RX) != 0);
        return L(handle)->call(w);
    }

    FtStatus setBitMode(FtHandle handle, uint8_t mask, uint8_t mode) override {
        wire::Writer w(wire::kSetBitMode);
        w.u32(mask).u32(mode);
        return simple(handle, std::move(w));
    }

    FtStatus setTimeouts(FtHandle handle, uint32_t readMs, uint32_t writeMs) override {
        wire::Writer w(wire::kSetTimeouts);
        w.u32(readMs).u32(writeMs);
        const FtStatus st = simple(handle, std::move(w));
        return st == FT_OK ? L(handle)->setTimeouts(readMs) : st;
    }

    FtStatus setLatencyTimer(FtHandle handle, uint8_t ms) override {
        wire::Writer w(wire::kSetLatencyTimer);
        w.u32(ms);
        return simple(handle, std::move(w));
    }

    FtStatus setEventNotification(FtHandle handle, uint32_t mask, platform::Event* event) override {
        return handle ? L(handle)->setEvent(mask, event) : FT_INVALID_HANDLE;
    }

    FtStatus getQueueStatus(FtHandle handle, uint32_t* count) override {
        if (!handle) return FT_INVALID_HANDLE;
        return count ? L(handle)->queueStatus(count) : FT_INVALID_PARAMETER;
    }

    FtStatus read(FtHandle handle, void* buffer, uint32_t count, uint32_t* got) override {
        if (!handle) return FT_INVALID_HANDLE;
        if (!got || (!buffer && count)) return FT_INVALID_PARAMETER;
        return L(handle)->read(buffer, count, got);
    }

    FtStatus write(FtHandle handle, const void* buffer, uint32_t count, uint32_t* written) override {
        if (!handle) return FT_INVALID_HANDLE;
        if (!written || (!buffer && count)) return FT_INVALID_PARAMETER;
        *written = 0;
        FtStatus st = FT_OK;
        const auto* p = static_cast<const uint8_t*>(buffer);
        // Pieces well under the frame limit; the answers of each are here when it returns.
        constexpr uint32_t kPiece = 65536;
        for (uint32_t done = 0; done < count && st == FT_OK;) {
            const uint32_t n = std::min(count - done, kPiece);
            wire::Writer w(wire::kWrite);
            w.raw(p + done, n);
            std::vector<uint8_t> reply;
            st = L(handle)->call(w, &reply);
            wire::Reader in(reply.data(), reply.size());
            uint32_t k = 0;
            if (!in.u32(&k)) return st == FT_OK ? FT_IO_ERROR : st;
            *written += k;
            done += n;
            if (k < n) break;
        }
        return st;
    }

    FtStatus cyclePort(FtHandle handle) override {
        if (!handle) return FT_INVALID_HANDLE;
        wire::Writer w(wire::kCyclePort);
        L(handle)->expectCycle();
        return L(handle)->call(w);
    }

private:
    static FtStatus openWith(wire::Writer& w, FtHandle* handle) {
        *handle = nullptr;
        std::unique_ptr<Link> link(new (std::nothrow) Link);
        if (!link) return FT_INSUFFICIENT_RESOURCES;
        if (!link->connect()) return FT_DEVICE_NOT_FOUND;
        const FtStatus st = link->call(w);
        if (st != FT_OK) return st;
        if (!link->startReader()) return FT_INSUFFICIENT_RESOURCES;   // the server closes the handle
        *handle = link.release();
        return FT_OK;
    }
};

}  // namespace

FtdiDriver& vpodServerDriver() {
    static VpodServerDriver driver;
    return driver;
}

}  // namespace dorvane::transport
