#include "client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "hostio.h"

namespace vpod::detail::client {
namespace {

std::atomic<bool> disabled{false};

std::string serverPath() {
    const char* v = std::getenv("DORVANE_VPOD_SERVER");
    return v ? std::string(v) : std::string();
}

// One connection to the server. Before it opened an interface, a call sends and reads its
// reply itself; once it has, a thread takes in everything the server sends (the replies of
// both lanes and the notifications) and the callers wait for their lane's reply.
class Link {
public:
    explicit Link(host::Socket s) : sock_(s) {}
    ~Link() {
        host::shutdownSocket(sock_);
        if (reader_.joinable()) reader_.join();
        host::tcpClose(sock_);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    static std::unique_ptr<Link> connect() {
        const std::string path = serverPath();
        const host::Socket s = path.empty() ? host::kNoSocket : host::localConnect(path);
        return s == host::kNoSocket ? nullptr : std::make_unique<Link>(s);
    }

    void startReader() { reader_ = std::thread([this] { readLoop(); }); }

    // The reply's payload after its status word in *rest; the status, kIoError when the
    // connection is gone.
    Status call(wire::Writer& request, std::vector<uint8_t>* rest = nullptr, bool readLane = false) {
        Lane& lane = readLane ? read_ : main_;
        std::lock_guard<std::mutex> one(lane.call);
        std::vector<uint8_t> payload;
        const std::vector<uint8_t>& f = request.frame();
        if (!reader_.joinable()) {
            if (!host::tcpSend(sock_, f.data(), f.size()) || !wire::recvFrame(sock_, &payload) ||
                payload[0] != wire::kReply)
                return kIoError;
        } else {
            {
                std::lock_guard<std::mutex> l(mu_);
                if (gone_) return kIoError;
                lane.ready = false;
            }
            {
                std::lock_guard<std::mutex> l(sendMu_);
                if (!host::tcpSend(sock_, f.data(), f.size())) return kIoError;
            }
            std::unique_lock<std::mutex> l(mu_);
            cv_.wait(l, [&] { return lane.ready || gone_; });
            if (!lane.ready) return kIoError;
            payload.swap(lane.reply);
        }
        wire::Reader in(payload.data() + 1, payload.size() - 1);
        uint32_t st = kIoError;
        if (!in.u32(&st)) return kIoError;
        if (rest) {
            size_t n = 0;
            const uint8_t* p = in.rest(&n);
            rest->assign(p, p + n);
        }
        return st;
    }

    Status setNotify(uint32_t mask, Notify notify, void* arg) {
        const bool arm = (mask & kEventRxChar) && notify;
        if (!arm) {   // off here first: once this returns, the callback is never called again
            std::lock_guard<std::mutex> l(notifyMu_);
            notify_ = nullptr;
        }
        wire::Writer w(wire::kSetEvent);
        w.u32(arm ? uint32_t{kEventRxChar} : 0u);
        const Status st = call(w);
        if (st == kOk && arm) {
            std::lock_guard<std::mutex> l(notifyMu_);
            notify_ = notify;
            notifyArg_ = arg;
        }
        return st;
    }

private:
    struct Lane {
        std::mutex call;   // one request of the lane at a time
        bool ready = false;
        std::vector<uint8_t> reply;
    };

    void readLoop() {
        std::vector<uint8_t> frame;
        while (wire::recvFrame(sock_, &frame)) {
            if (frame[0] == wire::kNotify) {
                std::lock_guard<std::mutex> l(notifyMu_);
                if (notify_) notify_(notifyArg_);
                continue;
            }
            if (frame[0] != wire::kReply && frame[0] != wire::kReadReply) break;
            std::lock_guard<std::mutex> l(mu_);
            Lane& lane = frame[0] == wire::kReply ? main_ : read_;
            lane.reply.swap(frame);
            lane.ready = true;
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> l(mu_);
        gone_ = true;
        cv_.notify_all();
    }

    host::Socket sock_;
    std::thread reader_;
    std::mutex sendMu_;
    std::mutex mu_;
    std::condition_variable cv_;
    Lane main_, read_;
    bool gone_ = false;
    std::mutex notifyMu_;
    Notify notify_ = nullptr;
    void* notifyArg_ = nullptr;
};

// The open handles of this process that live at the server.
struct Owned {
    std::mutex mu;
    std::unordered_set<Handle*> handles;
    std::atomic<bool> any{false};
};
// Made at the first open through a server and never freed (handles may outlive static
// destruction); a process that never uses a server allocates nothing.
std::atomic<Owned*> gOwned{nullptr};
Owned& owned() {
    static Owned* o = [] {
        auto* made = new Owned;
        gOwned.store(made, std::memory_order_release);
        return made;
    }();
    return *o;
}

Link* L(Handle* h) { return reinterpret_cast<Link*>(h); }

Status simple(Handle* h, wire::Writer&& w) { return L(h)->call(w); }

template <typename... V>
Status withValues(Handle* h, wire::Kind kind, V... v) {
    wire::Writer w(kind);
    (w.u32(static_cast<uint32_t>(v)), ...);
    return simple(h, std::move(w));
}

Status countOf(Handle* h, wire::Kind kind, uint32_t* count) {
    if (!count) return kInvalidParameter;
    wire::Writer w(kind);
    std::vector<uint8_t> rest;
    const Status st = L(h)->call(w, &rest);
    wire::Reader in(rest.data(), rest.size());
    if (st == kOk && !in.u32(count)) return kIoError;
    return st;
}

Status openWith(wire::Writer& w, Handle** handle) {
    if (!handle) return kInvalidParameter;
    auto link = Link::connect();
    if (!link) return kDeviceNotFound;
    const Status st = link->call(w);
    if (st != kOk) return st;
    link->startReader();
    auto* h = reinterpret_cast<Handle*>(link.release());
    Owned& o = owned();
    std::lock_guard<std::mutex> l(o.mu);
    o.handles.insert(h);
    o.any.store(true);
    *handle = h;
    return kOk;
}

// The connection test-control calls share, made again when the server's path changes.
struct ControlLink {
    std::mutex mu;
    std::string path;
    std::unique_ptr<Link> link;
};
ControlLink& controlLink() {
    static ControlLink* c = new ControlLink;
    return *c;
}

Status listEntry(uint32_t index, uint32_t what, void* out) {
    auto link = Link::connect();
    if (!link) return kDeviceNotFound;
    wire::Writer w(wire::kListEntry);
    w.u32(index).u32(what);
    std::vector<uint8_t> rest;
    const Status st = link->call(w, &rest);
    if (st != kOk) return st;
    wire::Reader in(rest.data(), rest.size());
    uint32_t number = 0;
    std::string text;
    if (!in.u32(&number) || !in.text(&text)) return kIoError;
    if (what == kOpenByLocation) {
        *static_cast<uint32_t*>(out) = number;
    } else {
        text.resize(std::min<size_t>(text.size(), what == kOpenBySerialNumber ? 15 : 63));
        std::memcpy(out, text.c_str(), text.size() + 1);
    }
    return kOk;
}

}  // namespace

bool active() { return !disabled.load() && !serverPath().empty(); }

void disable() { disabled.store(true); }

bool owns(Handle* h) {
    Owned* o = gOwned.load(std::memory_order_acquire);
    if (!h || !o || !o->any.load()) return false;
    std::lock_guard<std::mutex> l(o->mu);
    return o->handles.count(h) != 0;
}

Status listDevices(void* arg1, void* arg2, uint32_t flags) {
    uint32_t count = 0;
    if (flags & (kListNumberOnly | kListAll)) {
        auto link = Link::connect();
        if (!link) {   // no server: nothing plugged in
            if ((flags & kListNumberOnly) && arg1) *static_cast<uint32_t*>(arg1) = 0;
            return (flags & kListNumberOnly) && arg1 ? kOk : kDeviceNotFound;
        }
        wire::Writer w(wire::kListCount);
        std::vector<uint8_t> rest;
        const Status st = link->call(w, &rest);
        wire::Reader in(rest.data(), rest.size());
        if (st != kOk) return st;
        if (!in.u32(&count)) return kIoError;
    }
    if (flags & kListNumberOnly) {
        if (!arg1) return kInvalidParameter;
        *static_cast<uint32_t*>(arg1) = count;
        return kOk;
    }
    const uint32_t what = flags & (kOpenBySerialNumber | kOpenByDescription | kOpenByLocation);
    if (what != kOpenBySerialNumber && what != kOpenByDescription && what != kOpenByLocation)
        return kInvalidParameter;
    if (flags & kListByIndex) {
        if (!arg2) return kInvalidParameter;
        return listEntry(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1)), what, arg2);
    }
    if (!(flags & kListAll)) return kInvalidParameter;
    if (!arg1 || !arg2) return kInvalidParameter;
    auto** bufs = static_cast<void**>(arg1);
    for (uint32_t i = 0; i < count; ++i) {
        if (!bufs[i]) return kInvalidParameter;
        const Status st = listEntry(i, what, bufs[i]);
        if (st == kDeviceNotOpened && what == kOpenByDescription) static_cast<char*>(bufs[i])[0] = 0;
        else if (st != kOk) return st;
    }
    *static_cast<uint32_t*>(arg2) = count;
    return kOk;
}

Status openEx(const void* arg, uint32_t flags, Handle** handle) {
    if (!arg && flags != kOpenByLocation) return kInvalidParameter;
    wire::Writer w(wire::kOpenEx);
    w.u32(flags);
    if (flags == kOpenByLocation) w.text(std::to_string(reinterpret_cast<uintptr_t>(arg)));
    else w.text(static_cast<const char*>(arg));
    return openWith(w, handle);
}

Status open(uint32_t index, Handle** handle) {
    wire::Writer w(wire::kOpen);
    w.u32(index);
    return openWith(w, handle);
}

Status getDeviceInfo(Handle* h, uint32_t* type, uint32_t* id, char* serial, char* description) {
    wire::Writer w(wire::kGetDeviceInfo);
    std::vector<uint8_t> rest;
    const Status st = L(h)->call(w, &rest);
    if (st != kOk) return st;
    wire::Reader in(rest.data(), rest.size());
    uint32_t t = 0, i = 0;
    std::string s, d;
    if (!in.u32(&t) || !in.u32(&i) || !in.text(&s) || !in.text(&d)) return kIoError;
    if (type) *type = t;
    if (id) *id = i;
    s.resize(std::min<size_t>(s.size(), 15));
    d.resize(std::min<size_t>(d.size(), 63));
    if (serial) std::memcpy(serial, s.c_str(), s.size() + 1);
    if (description) std::memcpy(description, d.c_str(), d.size() + 1);
    return kOk;
}

Status close(Handle* h) {
    wire::Writer w(wire::kClose);
    Status st = L(h)->call(w);
    if (st == kIoError) st = kOk;   // the server (and with it the handle) is gone either way
    Owned& o = owned();
    {
        std::lock_guard<std::mutex> l(o.mu);
        o.handles.erase(h);
    }
    delete L(h);
    return st;
}

Status resetDevice(Handle* h) { return withValues(h, wire::kResetDevice); }
Status purge(Handle* h, uint32_t mask) { return withValues(h, wire::kPurge, mask); }
Status setBitMode(Handle* h, uint8_t mask, uint8_t mode) { return withValues(h, wire::kSetBitMode, mask, mode); }
Status setTimeouts(Handle* h, uint32_t readMs, uint32_t writeMs) {
    return withValues(h, wire::kSetTimeouts, readMs, writeMs);
}
Status setLatencyTimer(Handle* h, uint8_t ms) { return withValues(h, wire::kSetLatencyTimer, ms); }
Status setEventNotification(Handle* h, uint32_t mask, Notify notify, void* arg) {
    return L(h)->setNotify(mask, notify, arg);
}
Status getQueueStatus(Handle* h, uint32_t* count) { return countOf(h, wire::kGetQueueStatus, count); }
Status getReleasedCount(Handle* h, uint32_t* count) { return countOf(h, wire::kGetReleased, count); }

Status read(Handle* h, void* buffer, uint32_t count, uint32_t* got) {
    if (!got || (!buffer && count)) return kInvalidParameter;
    *got = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    Status st = kOk;
    do {   // a read of 0 bytes still goes out: its faults and the handle's state answer it
        const uint32_t want = std::min(count - *got, wire::kMaxPiece);
        wire::Writer w(wire::kRead);
        w.u32(want);
        std::vector<uint8_t> rest;
        st = L(h)->call(w, &rest, true);
        wire::Reader in(rest.data(), rest.size());
        const uint8_t* data = nullptr;
        uint32_t n = 0;
        if (st != kOk) break;
        if (!in.bytes(&data, &n) || n > want) return kIoError;
        if (n) std::memcpy(out + *got, data, n);
        *got += n;
        if (n < want) break;   // timed out
    } while (*got < count);
    return st;
}

Status write(Handle* h, const void* buffer, uint32_t count, uint32_t* written) {
    if (!written || (!buffer && count)) return kInvalidParameter;
    *written = 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    Status st = kOk;
    do {
        const uint32_t n = std::min(count - *written, wire::kMaxPiece);
        wire::Writer w(wire::kWrite);
        w.bytes(p + *written, n);
        std::vector<uint8_t> rest;
        st = L(h)->call(w, &rest);
        wire::Reader in(rest.data(), rest.size());
        uint32_t k = 0;
        if (st != kOk) break;
        if (!in.u32(&k) || k > n) return kIoError;
        *written += k;
        if (k < n) break;
    } while (*written < count);
    return st;
}

Status cyclePort(Handle* h) { return withValues(h, wire::kCyclePort); }

int controlCall(wire::Writer& request, std::vector<uint8_t>* reply) {
    ControlLink& c = controlLink();
    std::lock_guard<std::mutex> l(c.mu);
    const std::string path = serverPath();
    for (int attempt = 0; attempt < 2; ++attempt) {   // once more on a fresh connection
        if (!c.link || c.path != path) {
            c.link = Link::connect();
            c.path = path;
            if (!c.link) return -1;
        }
        const Status st = c.link->call(request, reply);
        if (st == 0 || st == 1) return static_cast<int>(st);
        c.link.reset();
    }
    return -1;
}

}  // namespace vpod::detail::client
