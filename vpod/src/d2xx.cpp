// The D2XX call set over the board of this process.
#include "vpod/vpod.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "client.h"
#include "hostio.h"
#include "registry.h"

namespace vpod {

struct Handle {
    std::shared_ptr<detail::Interface> iface;
    std::shared_ptr<detail::Chip> chip;
    uint64_t epoch = 0;
};

using namespace detail;

namespace {

// What one reading of the thread CPU clock costs (the least of a few short runs, so that a
// preemption does not count): a write's emulation is charged with its clock readings too,
// since they exist only to measure it.
uint64_t clockReadCostNs() {
    static const uint64_t cost = [] {
        uint64_t best = ~0ull;
        for (int run = 0; run < 5; ++run) {
            const uint64_t t0 = host::threadCpuNs();
            for (int i = 0; i < 19; ++i) host::threadCpuNs();
            best = std::min(best, (host::threadCpuNs() - t0) / 20);
        }
        return best;
    }();
    return cost;
}

void copyString(char* dst, size_t size, const std::string& s) {
    const size_t n = std::min(s.size(), size - 1);
    std::memcpy(dst, s.data(), n);
    dst[n] = 0;
}

// Runs f on the handle's interface with its lock held; the notification (if f asks for one)
// is delivered after the lock is released. With `charge`, the whole call's thread CPU (and
// that of the clock readings measuring it) is added to the interface's emulation figure.
template <typename F>
Status withHandle(Handle* h, control::Op op, F&& f, bool charge = false) {
    const uint64_t cpu0 = charge ? host::threadCpuNs() : 0;
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
    bool leave = false;
    {
        std::unique_lock<std::mutex> lock(d->mu);
        if (d->faults.take(op, &st)) return st;
        if (d->epoch.load() != epoch) return kIoError;
        bool wake = false;
        // The chip leaves the bus under this call: a write is executed first (its answers are
        // lost with the chip), a read only when it asks for bytes, anything else fails at once.
        if (op == control::Op::Read) {
            st = f(*d, lock, wake);
        } else if ((leave = d->faults.unplugDue(op)) && op != control::Op::Write) {
            st = kIoError;
        } else {
            st = f(*d, lock, wake);
            // Drop the answers here, under the lock: a reader woken by them must not take them
            // before the chip is gone.
            if (leave) { d->rx.clear(); d->rxHead = 0; }
        }
        if (d->leaveInRead) {
            d->leaveInRead = false;
            leave = true;
            st = kIoError;
        }
        if (wake || leave) {   // a host waiting for the answers wakes and finds the chip gone
            d->cv.notify_all();
            notify = d->notify;
            arg = d->notifyArg;
        }
    }
    if (leave) unplugChip(*d);
    if (notify) notify(arg);
    if (charge) {
        const uint64_t spent = host::threadCpuNs() - cpu0 + clockReadCostNs();
        std::lock_guard<std::mutex> lock(d->mu);
        d->emulationCpuNs += spent;
    }
    return st;
}

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

Status listDevices(void* arg1, void* arg2, uint32_t flags) {
    if (client::active()) return client::listDevices(arg1, arg2, flags);
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

Status openEx(const void* arg, uint32_t flags, Handle** handle) {
    if (client::active()) return client::openEx(arg, flags, handle);
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
    if (client::active()) return client::open(index, handle);
    if (!handle) return kInvalidParameter;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    auto list = presentInterfaces(r);
    if (index >= list.size()) return kDeviceNotFound;
    return openInterface(r, list[index], control::Op::Open, handle);
}

Status getDeviceInfo(Handle* h, uint32_t* type, uint32_t* id, char* serial, char* description) {
    if (client::owns(h)) return client::getDeviceInfo(h, type, id, serial, description);
    return withHandle(h, control::Op::GetDeviceInfo, [&](Interface& d, auto&, bool&) {
        if (type) *type = d.chip->model->type;
        if (id) *id = d.chip->model->usbId;
        if (serial) copyString(serial, 16, d.serial);
        if (description) copyString(description, 64, d.description);
        return kOk;
    });
}

Status close(Handle* h) {
    if (client::owns(h)) return client::close(h);
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
    if (client::owns(h)) return client::resetDevice(h);
    return withHandle(h, control::Op::ResetDevice, [&](Interface& d, auto&, bool&) {
        d.rx.clear();
        d.rxHead = 0;
        d.pending.clear();
        return kOk;
    });
}

Status purge(Handle* h, uint32_t mask) {
    if (client::owns(h)) return client::purge(h, mask);
    return withHandle(h, control::Op::Purge, [&](Interface& d, auto&, bool&) {
        if (mask & kPurgeRx) { d.rx.clear(); d.rxHead = 0; }
        if (mask & kPurgeTx) d.pending.clear();
        return kOk;
    });
}

Status setBitMode(Handle* h, uint8_t mask, uint8_t mode) {
    if (client::owns(h)) return client::setBitMode(h, mask, mode);
    return withHandle(h, control::Op::SetBitMode, [&](Interface& d, auto&, bool&) -> Status {
        switch (mode) {
        case 0x00: case 0x01: case 0x04: case 0x08: case 0x10: case 0x20: case 0x40: break;
        case 0x02: if (!d.mpsse) return kInvalidParameter; break;
        default: return kInvalidParameter;
        }
        // Selecting MPSSE again while in it restarts the command engine but keeps the GPIO
        // latches, so a host that takes over a running pod does not disturb its pins.
        const bool keepPins = mode == 0x02 && d.bitMode == 0x02;
        d.bitMode = mode;
        d.resetEngine(keepPins);
        return kOk;
    });
}

Status setTimeouts(Handle* h, uint32_t readMs, uint32_t writeMs) {
    if (client::owns(h)) return client::setTimeouts(h, readMs, writeMs);
    return withHandle(h, control::Op::SetTimeouts, [&](Interface& d, auto&, bool&) {
        d.readTimeoutMs = readMs;
        d.writeTimeoutMs = writeMs;
        return kOk;
    });
}

Status setLatencyTimer(Handle* h, uint8_t ms) {
    if (client::owns(h)) return client::setLatencyTimer(h, ms);
    return withHandle(h, control::Op::SetLatencyTimer, [&](Interface& d, auto&, bool&) {
        if (ms < 2) return kInvalidParameter;
        d.latencyMs = ms;
        return kOk;
    });
}

Status setEventNotification(Handle* h, uint32_t mask, Notify notify, void* arg) {
    if (client::owns(h)) return client::setEventNotification(h, mask, notify, arg);
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
    if (client::owns(h)) return client::getQueueStatus(h, count);
    if (!count) return kInvalidParameter;
    return withHandle(h, control::Op::GetQueueStatus, [&](Interface& d, auto&, bool&) {
        *count = d.rxCount();
        return kOk;
    });
}

Status getReleasedCount(Handle* h, uint32_t* count) {
    if (client::owns(h)) return client::getReleasedCount(h, count);
    if (!count) return kInvalidParameter;
    return withHandle(h, control::Op::GetQueueStatus, [&](Interface& d, auto&, bool&) {
        *count = d.rxReleased();
        return kOk;
    });
}

Status read(Handle* h, void* buffer, uint32_t count, uint32_t* got) {
    if (client::owns(h)) return client::read(h, buffer, count, got);
    if (!got || (!buffer && count)) return kInvalidParameter;
    *got = 0;
    return withHandle(h, control::Op::Read, [&](Interface& d, std::unique_lock<std::mutex>& lock, bool&) -> Status {
        if (count == 0) return kOk;
        if (d.faults.unplugDue(control::Op::Read)) {
            d.leaveInRead = true;
            return kIoError;
        }
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
    if (client::owns(h)) return client::write(h, buffer, count, written);
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
    }, true);
}

Status cyclePort(Handle* h) {
    if (client::owns(h)) return client::cyclePort(h);
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

void release() {
    {
        detail::Registry& r = detail::registry();
        std::lock_guard<std::mutex> lock(r.mu);
        if (!r.handles.empty()) return;   // still in use: everything stays reachable
    }
    detail::releaseRegistry();
    detail::traceRelease();
}

}  // namespace vpod
