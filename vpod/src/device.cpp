// The D2XX call set over the board, and the test-control functions.
#include "device.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace vpod {

struct Handle {
    std::shared_ptr<detail::Interface> iface;
    std::shared_ptr<detail::Chip> chip;
    uint64_t epoch = 0;
};

namespace detail {

// ---- Remote-bitbang bridge ---------------------------------------------------------------

RbbBridge::~RbbBridge() {
    if (sock_ != host::kNoSocket) {
        out_ += 'Q';
        host::tcpSend(sock_, out_.data(), out_.size());
        host::tcpClose(sock_);
    }
}

bool RbbBridge::connect() {
    if (sock_ != host::kNoSocket) return true;
    if (failed_) return false;
    sock_ = host::tcpConnect(port_);
    failed_ = sock_ == host::kNoSocket;
    return !failed_;
}

void RbbBridge::flush() {
    if (out_.empty() || sock_ == host::kNoSocket) { out_.clear(); return; }
    if (!host::tcpSend(sock_, out_.data(), out_.size())) {
        host::tcpClose(sock_);
        sock_ = host::kNoSocket;
        failed_ = true;
    }
    out_.clear();
}

bool RbbBridge::readTdo() {
    out_ += 'R';
    flush();
    char c = '1';
    if (sock_ == host::kNoSocket || !host::tcpRecv(sock_, &c, 1)) {
        host::tcpClose(sock_);
        sock_ = host::kNoSocket;
        failed_ = true;
        return true;
    }
    return c != '0';
}

bool RbbBridge::cycle(bool tms, bool tdi, bool read, bool readAfterRise) {
    if (!connect()) return true;   // nothing listening: TDO floats high
    const char bits = static_cast<char>((tms ? 2 : 0) | (tdi ? 1 : 0));
    bool tdo = true;
    out_ += static_cast<char>('0' + bits);            // falling edge with the new TMS/TDI
    if (read && !readAfterRise) tdo = readTdo();
    out_ += static_cast<char>('4' + bits);            // rising edge
    if (read && readAfterRise) tdo = readTdo();
    if (out_.size() >= 4096) flush();
    return tdo;
}

void RbbBridge::trst(bool asserted) {
    if (!connect()) return;
    out_ += asserted ? 't' : 'r';
}

// ---- Registry ----------------------------------------------------------------------------

namespace {

struct Registry {
    std::mutex mu;
    std::vector<std::shared_ptr<Chip>> chips;
    std::vector<std::shared_ptr<Interface>> order;
    std::unordered_set<Handle*> handles;
    bool loaded = false;
};

Registry& registry() {
    static Registry* r = new Registry;   // lives for the process: handles may outlive static destruction
    return *r;
}

void killInterface(Interface& d) {
    std::lock_guard<std::mutex> lock(d.mu);
    d.epoch.fetch_add(1);
    d.open = false;
    d.notify = nullptr;
    d.notifyArg = nullptr;
    d.rx.clear();
    d.rxHead = 0;
    d.cv.notify_all();
}

void declareVcd(Registry& r) {
    const bool on = vcdEnabled();
    for (auto& d : r.order) {
        const int scope = (on && d->mpsse) ? vcdScopeFor(d->serial) : -1;
        std::lock_guard<std::mutex> lock(d->mu);
        d->vcdScope = scope;
    }
}

// Replaces the board; caller holds r.mu.
void install(Registry& r, Board&& b) {
    for (auto& c : r.chips)
        for (auto& d : c->interfaces) killInterface(*d);
    r.chips.clear();
    for (auto& c : b.chips) r.chips.emplace_back(std::move(c));
    r.order = std::move(b.order);
    r.loaded = true;
    traceRefreshFromEnvironment();
    declareVcd(r);
}

bool loadText(Registry& r, const std::string& text, std::string* error) {
    Board b;
    std::string err;
    if (!buildBoard(text, &b, &err)) {
        if (error) *error = err;
        return false;
    }
    install(r, std::move(b));
    return true;
}

bool readFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *text = ss.str();
    return true;
}

bool loadEnv(Registry& r, std::string* error) {
    const char* path = std::getenv("DORVANE_VPOD");
    if (path && *path) {
        std::string text;
        if (!readFile(path, &text, error)) return false;
        return loadText(r, text, error);
    }
    return loadText(r, kDefaultBoardText, error);
}

void ensureLoaded(Registry& r) {
    if (r.loaded) return;
    // A broken DORVANE_VPOD file leaves an empty board: no devices, as with nothing plugged in.
    if (!loadEnv(r, nullptr)) {
        install(r, Board{});
    }
}

std::vector<Interface*> presentInterfaces(Registry& r) {
    std::vector<Interface*> v;
    for (auto& d : r.order)
        if (d->chip->present()) v.push_back(d.get());
    return v;
}

std::shared_ptr<Chip> chipOf(Registry& r, const Interface* d) {
    for (auto& c : r.chips)
        if (c.get() == d->chip) return c;
    return nullptr;
}

void copyString(char* dst, size_t size, const std::string& s) {
    const size_t n = std::min(s.size(), size - 1);
    std::memcpy(dst, s.data(), n);
    dst[n] = 0;
}

// Runs f on the handle's interface with its lock held; the notification (if f asks for one)
// is delivered after the lock is released.
template <typename F>
Status withHandle(Handle* h, control::Op op, F&& f) {
    Registry& r = registry();
    std::shared_ptr<Interface> d;
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        if (!h || !r.handles.count(h)) return kInvalidHandle;
        d = h->iface;
        epoch = h->epoch;
    }
    Notify notify = nullptr;
    void* arg = nullptr;
    Status st;
    {
        std::unique_lock<std::mutex> lock(d->mu);
        if (d->faults.take(op, &st)) return st;
        if (d->epoch.load() != epoch) return kIoError;
        bool wake = false;
        st = f(*d, lock, wake);
        if (wake) {
            d->cv.notify_all();
            notify = d->notify;
            arg = d->notifyArg;
        }
    }
    if (notify) notify(arg);
    return st;
}

void resetChipState(Chip& c) {
    for (auto& d : c.interfaces) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->bitMode = 0;
        d->resetEngine();
        d->latencyMs = 16;
    }
}

}  // namespace

}  // namespace detail

using namespace detail;

// ---- D2XX call set -------------------------------------------------------------------------

Status listDevices(void* arg1, void* arg2, uint32_t flags) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    auto list = presentInterfaces(r);
    Status st;
    if (flags & kListNumberOnly) {
        for (auto* d : list) {
            std::lock_guard<std::mutex> l(d->mu);
            if (d->faults.take(control::Op::ListDevices, &st)) return st;
        }
        if (!arg1) return kInvalidParameter;
        *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(list.size());
        return kOk;
    }
    const uint32_t what = flags & (kOpenBySerialNumber | kOpenByDescription | kOpenByLocation);
    if (what != kOpenBySerialNumber && what != kOpenByDescription && what != kOpenByLocation)
        return kInvalidParameter;
    auto fill = [&](Interface* d, void* out, bool forAll) -> Status {
        std::lock_guard<std::mutex> l(d->mu);
        if (d->faults.take(control::Op::ListDevices, &st)) return st;
        if (what == kOpenByLocation) { *static_cast<uint32_t*>(out) = d->location; return kOk; }
        if (what == kOpenBySerialNumber) { copyString(static_cast<char*>(out), 16, d->serial); return kOk; }
        // The driver opens the device to read its strings: a held device cannot answer.
        if (d->busy || d->open) {
            if (forAll) { static_cast<char*>(out)[0] = 0; return kOk; }
            return kDeviceNotOpened;
        }
        copyString(static_cast<char*>(out), 64, d->description);
        return kOk;
    };
    if (flags & kListByIndex) {
        const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1));
        if (!arg2) return kInvalidParameter;
        if (index >= list.size()) return kDeviceNotFound;
        return fill(list[index], arg2, false);
    }
    if (flags & kListAll) {
        if (!arg1 || !arg2) return kInvalidParameter;
        auto** bufs = static_cast<void**>(arg1);
        for (size_t i = 0; i < list.size(); ++i) {
            if (!bufs[i]) return kInvalidParameter;
            if ((st = fill(list[i], bufs[i], true)) != kOk) return st;
        }
        *static_cast<uint32_t*>(arg2) = static_cast<uint32_t>(list.size());
        return kOk;
    }
    return kInvalidParameter;
}

namespace {

Status openInterface(Registry& r, Interface* d, control::Op op, Handle** handle) {
    {
        std::lock_guard<std::mutex> l(d->mu);
        Status st;
        if (d->faults.take(op, &st)) return st;
        if (d->busy || d->open) return kDeviceNotOpened;
        d->open = true;
        d->notify = nullptr;
        d->notifyArg = nullptr;
        d->readTimeoutMs = 300;    // D2XX's defaults
        d->writeTimeoutMs = 300;
        d->rx.clear();
        d->rxHead = 0;
    }
    traceRefreshFromEnvironment();
    {
        const int scope = (d->mpsse && vcdEnabled()) ? vcdScopeFor(d->serial) : -1;
        std::lock_guard<std::mutex> l(d->mu);
        d->vcdScope = scope;
    }
    auto* h = new Handle;
    for (auto& sp : r.order)
        if (sp.get() == d) h->iface = sp;
    h->chip = chipOf(r, d);
    h->epoch = d->epoch.load();
    r.handles.insert(h);
    *handle = h;
    return kOk;
}

}  // namespace

Status openEx(const void* arg, uint32_t flags, Handle** handle) {
    if (!handle) return kInvalidParameter;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    if (!arg && flags != kOpenByLocation) return kInvalidParameter;
    for (Interface* d : presentInterfaces(r)) {
        bool match = false;
        if (flags == kOpenBySerialNumber) match = d->serial == static_cast<const char*>(arg);
        else if (flags == kOpenByDescription) match = d->description == static_cast<const char*>(arg);
        else if (flags == kOpenByLocation) match = d->location == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
        else return kInvalidParameter;
        if (match) return openInterface(r, d, control::Op::OpenEx, handle);
    }
    return kDeviceNotFound;
}

Status open(uint32_t index, Handle** handle) {
    if (!handle) return kInvalidParameter;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    auto list = presentInterfaces(r);
    if (index >= list.size()) return kDeviceNotFound;
    return openInterface(r, list[index], control::Op::Open, handle);
}

Status getDeviceInfo(Handle* h, uint32_t* type, uint32_t* id, char* serial, char* description) {
    return withHandle(h, control::Op::GetDeviceInfo, [&](Interface& d, auto&, bool&) {
        if (type) *type = d.chip->spec->type;
        if (id) *id = d.chip->spec->usbId;
        if (serial) copyString(serial, 16, d.serial);
        if (description) copyString(description, 64, d.description);
        return kOk;
    });
}

Status close(Handle* h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (!h || !r.handles.count(h)) return kInvalidHandle;
    Interface& d = *h->iface;
    {
        std::lock_guard<std::mutex> l(d.mu);
        Status st;
        if (d.faults.take(control::Op::Close, &st)) return st;
        if (d.epoch.load() == h->epoch) {
            d.open = false;
            d.notify = nullptr;
            d.notifyArg = nullptr;
            d.epoch.fetch_add(1);
            d.cv.notify_all();   // a Read blocked on this handle returns
        }
    }
    r.handles.erase(h);
    std::shared_ptr<Chip> chip = h->chip;
    delete h;
    if (chip && chip->cycling) {
        bool left = false;
        for (Handle* o : r.handles) left = left || o->chip == chip;
        if (!left) chip->cycling = false;   // re-enumerated
    }
    if (vcdEnabled()) vcdFlush();
    return kOk;
}

Status resetDevice(Handle* h) {
    return withHandle(h, control::Op::ResetDevice, [&](Interface& d, auto&, bool&) {
        d.rx.clear();
        d.rxHead = 0;
        d.pending.clear();
        return kOk;
    });
}

Status purge(Handle* h, uint32_t mask) {
    return withHandle(h, control::Op::Purge, [&](Interface& d, auto&, bool&) {
        if (mask & kPurgeRx) { d.rx.clear(); d.rxHead = 0; }
        if (mask & kPurgeTx) d.pending.clear();
        return kOk;
    });
}

Status setBitMode(Handle* h, uint8_t mask, uint8_t mode) {
    return withHandle(h, control::Op::SetBitMode, [&](Interface& d, auto&, bool&) -> Status {
        switch (mode) {
        case 0x00: case 0x01: case 0x04: case 0x08: case 0x10: case 0x20: case 0x40: break;
        case 0x02: if (!d.mpsse) return kInvalidParameter; break;
        default: return kInvalidParameter;
        }
        d.bitMode = mode;
        d.resetEngine();
        return kOk;
    });
}

Status setTimeouts(Handle* h, uint32_t readMs, uint32_t writeMs) {
    return withHandle(h, control::Op::SetTimeouts, [&](Interface& d, auto&, bool&) {
        d.readTimeoutMs = readMs;
        d.writeTimeoutMs = writeMs;
        return kOk;
    });
}

Status setLatencyTimer(Handle* h, uint8_t ms) {
    return withHandle(h, control::Op::SetLatencyTimer, [&](Interface& d, auto&, bool&) {
        if (ms < 2) return kInvalidParameter;
        d.latencyMs = ms;
        return kOk;
    });
}

Status setEventNotification(Handle* h, uint32_t mask, Notify notify, void* arg) {
    return withHandle(h, control::Op::SetEventNotification, [&](Interface& d, auto&, bool&) {
        if ((mask & kEventRxChar) && notify) {
            d.notify = notify;
            d.notifyArg = arg;
        } else {
            d.notify = nullptr;
            d.notifyArg = nullptr;
        }
        return kOk;
    });
}

Status getQueueStatus(Handle* h, uint32_t* count) {
    if (!count) return kInvalidParameter;
    return withHandle(h, control::Op::GetQueueStatus, [&](Interface& d, auto&, bool&) {
        *count = d.rxCount();
        return kOk;
    });
}

Status read(Handle* h, void* buffer, uint32_t count, uint32_t* got) {
    if (!got || (!buffer && count)) return kInvalidParameter;
    *got = 0;
    return withHandle(h, control::Op::Read, [&](Interface& d, std::unique_lock<std::mutex>& lock, bool&) -> Status {
        if (count == 0) return kOk;
        const uint64_t epoch = d.epoch.load();
        auto dead = [&] { return d.epoch.load() != epoch; };
        const auto timeout = std::chrono::milliseconds(d.readTimeoutMs);
        if (d.faults.stallReads) {
            --d.faults.stallReads;
            if (d.readTimeoutMs) d.cv.wait_for(lock, timeout, dead);
            return dead() ? kIoError : kOk;
        }
        auto enough = [&] { return dead() || d.rxCount() >= count; };
        if (d.readTimeoutMs == 0) d.cv.wait(lock, enough);   // 0: no time limit
        else d.cv.wait_for(lock, timeout, enough);
        if (dead()) return kIoError;
        const uint32_t n = std::min(count, d.rxCount());
        if (n) {
            std::memcpy(buffer, d.rx.data() + d.rxHead, n);
            if (traceEnabled()) traceBytes(d.serial, 'R', d.rx.data() + d.rxHead, n);
            if (d.recordTraffic) d.trafficR.insert(d.trafficR.end(), d.rx.data() + d.rxHead, d.rx.data() + d.rxHead + n);
            d.rxHead += n;
            if (d.rxHead == d.rx.size()) { d.rx.clear(); d.rxHead = 0; }
            if (d.nowPs < d.rxReadyPs) d.nowPs = d.rxReadyPs;
        }
        *got = n;
        return kOk;
    });
}

Status write(Handle* h, const void* buffer, uint32_t count, uint32_t* written) {
    if (!written || (!buffer && count)) return kInvalidParameter;
    *written = 0;
    return withHandle(h, control::Op::Write, [&](Interface& d, auto&, bool& wake) {
        uint32_t n = count;
        if (d.faults.shortWrites) {
            --d.faults.shortWrites;
            n = std::min(n, d.faults.shortAccepted);
        }
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        if (n && traceEnabled()) traceBytes(d.serial, 'W', bytes, n);
        if (d.recordTraffic) d.trafficW.insert(d.trafficW.end(), bytes, bytes + n);
        if (n && d.mpsse && d.bitMode == 0x02) {
            d.chargeUsbOut(n);
            if (d.rbb) d.rbb->retry();
            const size_t answers = d.execute(bytes, n);
            if (d.unflushed) {
                // Left for the latency timer: the model delivers it now, stamped with the timer's time.
                d.chargeUsbIn();
                d.unflushed = false;
            }
            wake = answers > 0;
            if (d.vcdScope >= 0) vcdFlush();
        }
        *written = n;
        return kOk;
    });
}

Status cyclePort(Handle* h) {
    Registry& r = registry();
    std::shared_ptr<Chip> chip;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        if (!h || !r.handles.count(h)) return kInvalidHandle;
        Interface& d = *h->iface;
        {
            std::lock_guard<std::mutex> l(d.mu);
            Status st;
            if (d.faults.take(control::Op::CyclePort, &st)) return st;
            if (d.epoch.load() != h->epoch) return kIoError;
        }
        chip = h->chip;
        if (!chip) return kIoError;
        chip->cycling = true;
    }
    for (auto& d : chip->interfaces) killInterface(*d);
    resetChipState(*chip);
    return kOk;
}

// ---- Test control ---------------------------------------------------------------------------

namespace control {

namespace {

std::shared_ptr<Interface> find(const std::string& iface) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    for (auto& d : r.order)
        if (d->serial == iface) return d;
    return nullptr;
}

template <typename F>
bool with(const std::string& iface, F&& f) {
    auto d = find(iface);
    if (!d) return false;
    Notify notify = nullptr;
    void* arg = nullptr;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(d->mu);
        bool wake = false;
        ok = f(*d, wake);
        if (wake) {
            d->cv.notify_all();
            notify = d->notify;
            arg = d->notifyArg;
        }
    }
    if (notify) notify(arg);
    return ok;
}

}  // namespace

bool loadConfigText(const std::string& text, std::string* error) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    return loadText(r, text, error);
}

bool loadConfigFile(const std::string& path, std::string* error) {
    std::string text;
    if (!readFile(path, &text, error)) return false;
    return loadConfigText(text, error);
}

void loadDefaultBoard() { loadConfigText(kDefaultBoardText, nullptr); }

bool loadFromEnvironment(std::string* error) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    return loadEnv(r, error);
}

std::string defaultBoardText() { return kDefaultBoardText; }

std::vector<std::string> interfaces() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    std::vector<std::string> v;
    for (auto& d : r.order) v.push_back(d->serial);
    return v;
}

bool setBusy(const std::string& iface, bool busy) {
    return with(iface, [&](Interface& d, bool&) { d.busy = busy; return true; });
}

bool isOpen(const std::string& iface) {
    bool open = false;
    with(iface, [&](Interface& d, bool&) { open = d.open; return true; });
    return open;
}

void setTraceFile(const std::string& path) { traceSetFile(path); }

void setVcdFile(const std::string& path) {
    vcdSetFile(path);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    declareVcd(r);
}

bool recordTraffic(const std::string& iface, bool on) {
    return with(iface, [&](Interface& d, bool&) { d.recordTraffic = on; return true; });
}
bool trafficWritten(const std::string& iface, std::vector<uint8_t>* bytes) {
    return with(iface, [&](Interface& d, bool&) { *bytes = d.trafficW; return true; });
}
bool trafficRead(const std::string& iface, std::vector<uint8_t>* bytes) {
    return with(iface, [&](Interface& d, bool&) { *bytes = d.trafficR; return true; });
}
bool clearTraffic(const std::string& iface) {
    return with(iface, [&](Interface& d, bool&) { d.trafficW.clear(); d.trafficR.clear(); return true; });
}

bool failNext(const std::string& iface, Op op, Status status, unsigned count) {
    if (static_cast<unsigned>(op) > static_cast<unsigned>(Op::CyclePort)) return false;
    return with(iface, [&](Interface& d, bool&) {
        d.faults.ops[static_cast<int>(op)] = {status, count};
        return true;
    });
}
bool shortWrites(const std::string& iface, unsigned count, uint32_t accepted) {
    return with(iface, [&](Interface& d, bool&) {
        d.faults.shortWrites = count;
        d.faults.shortAccepted = accepted;
        return true;
    });
}
bool stallReads(const std::string& iface, unsigned count) {
    return with(iface, [&](Interface& d, bool&) { d.faults.stallReads = count; return true; });
}
bool strayBytes(const std::string& iface, const std::vector<uint8_t>& bytes) {
    return with(iface, [&](Interface& d, bool& wake) {
        d.rx.insert(d.rx.end(), bytes.begin(), bytes.end());
        wake = !bytes.empty();
        return true;
    });
}
bool failResets(const std::string& iface, unsigned count) {
    return failNext(iface, Op::ResetDevice, kIoError, count);
}
bool breakEcho(const std::string& iface, bool broken) {
    return with(iface, [&](Interface& d, bool&) { d.faults.brokenEcho = broken; return true; });
}

bool unplug(const std::string& iface) {
    auto d = find(iface);
    if (!d) return false;
    Registry& r = registry();
    std::shared_ptr<Chip> chip;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        chip = chipOf(r, d.get());
        if (!chip) return false;
        chip->unplugged = true;
    }
    for (auto& i : chip->interfaces) killInterface(*i);
    resetChipState(*chip);
    return true;
}

bool replug(const std::string& iface) {
    auto d = find(iface);
    if (!d) return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto chip = chipOf(r, d.get());
    if (!chip) return false;
    chip->unplugged = false;
    return true;
}

bool clearFaults(const std::string& iface) {
    return with(iface, [&](Interface& d, bool&) { d.faults = FaultState{}; return true; });
}

bool chipState(const std::string& iface, ChipState* s) {
    if (!s) return false;
    return with(iface, [&](Interface& d, bool&) {
        s->bitMode = d.bitMode;
        s->lowValue = d.lowValue;
        s->lowDirection = d.lowDir;
        s->highValue = d.highValue;
        s->highDirection = d.highDir;
        s->loopback = d.loopback;
        s->divideBy5 = d.div5;
        s->threePhase = d.threePhase;
        s->adaptive = d.adaptive;
        s->divisor = d.divisor;
        s->latencyMs = d.latencyMs;
        s->readTimeoutMs = d.readTimeoutMs;
        s->writeTimeoutMs = d.writeTimeoutMs;
        s->rxQueued = d.rxCount();
        s->pendingCommandBytes = static_cast<uint32_t>(d.pending.size());
        s->tckCycles = d.tckCycles;
        s->trstAsserted = d.trstAsserted;
        return true;
    });
}

bool simulatedTimeNs(const std::string& iface, uint64_t* ns) {
    if (!ns) return false;
    return with(iface, [&](Interface& d, bool&) { *ns = d.nowPs / 1000; return true; });
}

bool resetSimulatedTime(const std::string& iface) {
    return with(iface, [&](Interface& d, bool&) { d.nowPs = d.rxReadyPs = 0; d.tckCycles = 0; return true; });
}

const char* tapStateName(TapState s) {
    static const char* const names[] = {
        "Test-Logic-Reset", "Run-Test/Idle", "Select-DR-Scan", "Capture-DR", "Shift-DR", "Exit1-DR",
        "Pause-DR", "Exit2-DR", "Update-DR", "Select-IR-Scan", "Capture-IR", "Shift-IR", "Exit1-IR",
        "Pause-IR", "Exit2-IR", "Update-IR"};
    const auto i = static_cast<unsigned>(s);
    return i < 16 ? names[i] : "?";
}

bool tapCount(const std::string& iface, unsigned* count) {
    if (!count) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag) return false;
        *count = static_cast<unsigned>(d.chain.taps.size());
        return true;
    });
}

bool tapInfo(const std::string& iface, unsigned tap, TapInfo* info) {
    if (!info) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag || tap >= d.chain.taps.size()) return false;
        const Tap& t = d.chain.taps[tap];
        info->name = t.config().name;
        info->state = t.state();
        info->irLength = t.config().irLength;
        info->instruction = t.instruction();
        info->selectedRegister = t.selected().name;
        info->irUpdates = t.irUpdates();
        info->resets = t.resets();
        return true;
    });
}

namespace {
std::vector<uint8_t> packBits(const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> v((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) v[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return v;
}
}  // namespace

bool tapRegister(const std::string& iface, unsigned tap, const std::string& reg, RegisterLog* log) {
    if (!log) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag || tap >= d.chain.taps.size()) return false;
        DataRegister* r = d.chain.taps[tap].findRegister(reg);
        if (!r) return false;
        log->length = r->length;
        log->captures = r->captures;
        log->updates = r->updates;
        log->lastUpdate = packBits(r->lastUpdate);
        log->capture = packBits(r->capture);
        return true;
    });
}

bool setTapCapture(const std::string& iface, unsigned tap, const std::string& reg, const std::vector<uint8_t>& bits) {
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag || tap >= d.chain.taps.size()) return false;
        DataRegister* r = d.chain.taps[tap].findRegister(reg);
        if (!r || bits.size() != (r->length + 7) / 8) return false;
        for (unsigned i = 0; i < r->length; ++i) r->capture[i] = (bits[i / 8] >> (i % 8)) & 1;
        return true;
    });
}

bool swdStatus(const std::string& iface, SwdStatus* status) {
    if (!status) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        *status = d.swd->status();
        return true;
    });
}

bool swdReadMemory(const std::string& iface, uint32_t address, void* out, uint32_t count) {
    if (!out && count) return false;
    return with(iface, [&](Interface& d, bool&) {
        return d.kind == TargetKind::Swd && d.swd->readMemory(address, static_cast<uint8_t*>(out), count);
    });
}

bool swdWriteMemory(const std::string& iface, uint32_t address, const void* in, uint32_t count) {
    if (!in && count) return false;
    return with(iface, [&](Interface& d, bool&) {
        return d.kind == TargetKind::Swd && d.swd->writeMemory(address, static_cast<const uint8_t*>(in), count);
    });
}

bool swdInjectWait(const std::string& iface, unsigned count) {
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        d.swd->injectWait(count);
        return true;
    });
}

bool swdInjectFault(const std::string& iface) {
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        d.swd->injectFault();
        return true;
    });
}

}  // namespace control

}  // namespace vpod
