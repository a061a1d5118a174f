// Test control of the virtual pod: boards, faults, traffic and the state of chips and targets.
#include "vpod/control.h"

#include <algorithm>
#include <string>
#include <vector>

#include "client.h"
#include "registry.h"

namespace vpod::control {

using namespace vpod::detail;
using wire::Fn;
namespace remote = vpod::detail::client;

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
    if (remote::active()) return remote::control(Fn::LoadConfigText, text, error);
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
    if (std::vector<std::string> v; remote::active()) return remote::control(Fn::Interfaces, &v), v;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    std::vector<std::string> v;
    for (auto& d : r.order) v.push_back(d->serial);
    return v;
}

std::vector<ChipInfo> chips() {
    if (std::vector<ChipInfo> v; remote::active()) return remote::control(Fn::Chips, &v), v;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    ensureLoaded(r);
    std::vector<ChipInfo> out;
    for (auto& c : r.chips) {
        ChipInfo info;
        info.type = c->model->type;
        info.serial = c->serial;
        info.description = c->description;
        info.present = c->present();
        for (auto& d : c->interfaces) info.interfaces.push_back(d->serial);
        out.push_back(std::move(info));
    }
    return out;
}

bool setBusy(const std::string& iface, bool busy) {
    if (remote::active()) return remote::control(Fn::SetBusy, iface, busy);
    return with(iface, [&](Interface& d, bool&) { d.busy = busy; return true; });
}

bool isOpen(const std::string& iface) {
    if (bool open = false; remote::active()) return remote::control(Fn::IsOpen, iface, &open) && open;
    bool open = false;
    with(iface, [&](Interface& d, bool&) { open = d.open; return true; });
    return open;
}

void setTraceFile(const std::string& path) {
    if (remote::active()) { remote::control(Fn::SetTraceFile, path); return; } traceSetFile(path); }

void setVcdFile(const std::string& path) {
    if (remote::active()) { remote::control(Fn::SetVcdFile, path); return; }
    vcdSetFile(path);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    declareVcd(r);
}

bool recordTraffic(const std::string& iface, bool on) {
    if (remote::active()) return remote::control(Fn::RecordTraffic, iface, on);
    return with(iface, [&](Interface& d, bool&) { d.recordTraffic = on; return true; });
}
bool trafficWritten(const std::string& iface, std::vector<uint8_t>* bytes) {
    if (remote::active()) return remote::control(Fn::TrafficWritten, iface, bytes);
    return with(iface, [&](Interface& d, bool&) { *bytes = d.trafficW; return true; });
}
bool trafficRead(const std::string& iface, std::vector<uint8_t>* bytes) {
    if (remote::active()) return remote::control(Fn::TrafficRead, iface, bytes);
    return with(iface, [&](Interface& d, bool&) { *bytes = d.trafficR; return true; });
}
bool clearTraffic(const std::string& iface) {
    if (remote::active()) return remote::control(Fn::ClearTraffic, iface);
    return with(iface, [&](Interface& d, bool&) { d.trafficW.clear(); d.trafficR.clear(); return true; });
}

bool failNext(const std::string& iface, Op op, Status status, unsigned count) {
    if (remote::active()) return remote::control(Fn::FailNext, iface, op, status, count);
    if (static_cast<unsigned>(op) > static_cast<unsigned>(Op::CyclePort)) return false;
    return with(iface, [&](Interface& d, bool&) {
        d.faults.ops[static_cast<int>(op)] = {status, count};
        return true;
    });
}
bool shortWrites(const std::string& iface, unsigned count, uint32_t accepted) {
    if (remote::active()) return remote::control(Fn::ShortWrites, iface, count, accepted);
    return with(iface, [&](Interface& d, bool&) {
        d.faults.shortWrites = count;
        d.faults.shortAccepted = accepted;
        return true;
    });
}
bool stallReads(const std::string& iface, unsigned count) {
    if (remote::active()) return remote::control(Fn::StallReads, iface, count);
    return with(iface, [&](Interface& d, bool&) { d.faults.stallReads = count; return true; });
}
bool strayBytes(const std::string& iface, const std::vector<uint8_t>& bytes) {
    if (remote::active()) return remote::control(Fn::StrayBytes, iface, bytes);
    return with(iface, [&](Interface& d, bool& wake) {
        d.rx.insert(d.rx.end(), bytes.begin(), bytes.end());
        d.rxQueued += bytes.size();
        d.rxReleasedTo = d.rxQueued;
        wake = !bytes.empty();
        return true;
    });
}
bool failResets(const std::string& iface, unsigned count) {
    return failNext(iface, Op::ResetDevice, kIoError, count);
}
bool breakEcho(const std::string& iface, bool broken) {
    if (remote::active()) return remote::control(Fn::BreakEcho, iface, broken);
    return with(iface, [&](Interface& d, bool&) { d.faults.brokenEcho = broken; return true; });
}

bool unplug(const std::string& iface) {
    if (remote::active()) return remote::control(Fn::Unplug, iface);
    auto d = find(iface);
    return d && unplugChip(*d);
}

bool unplugDuring(const std::string& iface, Op op, unsigned after) {
    if (static_cast<unsigned>(op) > static_cast<unsigned>(Op::CyclePort)) return false;
    return with(iface, [&](Interface& d, bool&) {
        d.faults.unplugOp = static_cast<int>(op);
        d.faults.unplugAfter = after;
        return true;
    });
}

bool replug(const std::string& iface) {
    if (remote::active()) return remote::control(Fn::Replug, iface);
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
    if (remote::active()) return remote::control(Fn::ClearFaults, iface);
    return with(iface, [&](Interface& d, bool&) { d.faults = FaultState{}; return true; });
}

bool chipState(const std::string& iface, ChipState* s) {
    if (remote::active()) return remote::control(Fn::ChipState, iface, s);
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
    if (remote::active()) return remote::control(Fn::SimulatedTimeNs, iface, ns);
    if (!ns) return false;
    return with(iface, [&](Interface& d, bool&) { *ns = d.nowPs / 1000; return true; });
}

bool resetSimulatedTime(const std::string& iface) {
    if (remote::active()) return remote::control(Fn::ResetSimulatedTime, iface);
    return with(iface, [&](Interface& d, bool&) { d.nowPs = d.rxReadyPs = 0; d.tckCycles = 0; return true; });
}

bool emulationCpuNs(const std::string& iface, uint64_t* ns) {
    if (!ns) return false;
    return with(iface, [&](Interface& d, bool&) { *ns = d.emulationCpuNs; return true; });
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
    if (remote::active()) return remote::control(Fn::TapCount, iface, count);
    if (!count) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag) return false;
        *count = static_cast<unsigned>(d.chain.taps.size());
        return true;
    });
}

bool tapInfo(const std::string& iface, unsigned tap, TapInfo* info) {
    if (remote::active()) return remote::control(Fn::TapInfo, iface, tap, info);
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
    if (remote::active()) return remote::control(Fn::TapRegister, iface, tap, reg, log);
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
    if (remote::active()) return remote::control(Fn::SetTapCapture, iface, tap, reg, bits);
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Jtag || tap >= d.chain.taps.size()) return false;
        DataRegister* r = d.chain.taps[tap].findRegister(reg);
        if (!r || bits.size() != (r->length + 7) / 8) return false;
        for (unsigned i = 0; i < r->length; ++i) r->capture[i] = (bits[i / 8] >> (i % 8)) & 1;
        return true;
    });
}

bool swdStatus(const std::string& iface, SwdStatus* status) {
    if (remote::active()) return remote::control(Fn::SwdStatus, iface, status);
    if (!status) return false;
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        *status = d.swd->status();
        return true;
    });
}

bool swdReadMemory(const std::string& iface, uint32_t address, void* out, uint32_t count) {
    if (!out && count) return false;
    if (std::vector<uint8_t> v; remote::active()) {
        if (!remote::control(Fn::SwdReadMemory, iface, address, count, &v) || v.size() != count) return false;
        std::copy(v.begin(), v.end(), static_cast<uint8_t*>(out));
        return true;
    }
    return with(iface, [&](Interface& d, bool&) {
        return d.kind == TargetKind::Swd && d.swd->readMemory(address, static_cast<uint8_t*>(out), count);
    });
}

bool swdWriteMemory(const std::string& iface, uint32_t address, const void* in, uint32_t count) {
    if (!in && count) return false;
    if (remote::active()) {
        const auto* p = static_cast<const uint8_t*>(in);
        return remote::control(Fn::SwdWriteMemory, iface, address, std::vector<uint8_t>(p, p + count));
    }
    return with(iface, [&](Interface& d, bool&) {
        return d.kind == TargetKind::Swd && d.swd->writeMemory(address, static_cast<const uint8_t*>(in), count);
    });
}

bool swdInjectWait(const std::string& iface, unsigned count, unsigned after) {
    if (remote::active()) return remote::control(Fn::SwdInjectWait, iface, count, after);
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        d.swd->injectWait(count, after);
        return true;
    });
}

bool swdInjectFault(const std::string& iface, unsigned after) {
    if (remote::active()) return remote::control(Fn::SwdInjectFault, iface, after);
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        d.swd->injectFault(after);
        return true;
    });
}

bool swdCorruptWriteParity(const std::string& iface, unsigned count) {
    if (remote::active()) return remote::control(Fn::SwdCorruptWriteParity, iface, count);
    return with(iface, [&](Interface& d, bool&) {
        if (d.kind != TargetKind::Swd) return false;
        d.swd->corruptWriteParity(count);
        return true;
    });
}

}  // namespace vpod::control
