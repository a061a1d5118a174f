// Host time of the JTAG engine against the virtual pod, next to the time the same work needs
// on the wire at 30 MHz TCK (the virtual pod's timing model: TCK at the programmed rate, USB
// transfers and latency). CPU figures are the calling thread's, and with "process_time" the
// whole process's (calling and receive threads).
// The virtual pod emulates every TCK inside the driver's write call, which a real pod does in
// hardware; with the second argument 1 the timers pause around those writes, so the figure is
// the library's own host time; with 0 it includes the emulation.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "timed_driver.h"
#include "vpod/control.h"

namespace {

const std::string kIface = "DV000001A";

// One open controller on the default board at 30 MHz, TAP in Run-Test/Idle with both TAPs
// in BYPASS (so any DR length is fine).
class Session {
public:
    explicit Session(benchmark::State& state) : driver_(PausingDriver::instance()) {
        driver_.pauseIn = nullptr;
        dorvane::transport::setFtdiDriver(&driver_);
        vpod::control::loadDefaultBoard();
        ok_ = x_openKpx(&h_, "USB") == 0 && x_setScanFrequency(h_, 30000) == 0 && x_tmsReset(h_, 1) == 0;
        const uint16_t bypass = 0x1FF;
        ok_ = ok_ && x_scanIr(h_, 1, &bypass, 9, nullptr) == 0;
        if (state.range(1)) driver_.pauseIn = &state;
    }
    ~Session() {
        driver_.pauseIn = nullptr;
        if (h_ != 0xFFFFFFFFu) x_closeKpx(h_);
        dorvane::transport::setFtdiDriver(nullptr);
    }
    bool ok() const { return ok_; }
    // After the timed loop the timers are stopped: no more pausing around writes.
    void stopPausing() { driver_.pauseIn = nullptr; }
    uint32_t handle() const { return h_; }
    static uint64_t wireNs() {
        uint64_t ns = 0;
        vpod::control::simulatedTimeNs(kIface, &ns);
        return ns;
    }

private:
    PausingDriver& driver_;
    uint32_t h_ = 0xFFFFFFFFu;
    bool ok_ = false;
};

void reportWire(benchmark::State& state, uint64_t wireNs, double unitsPerIteration, const char* name) {
    const double perUnit = static_cast<double>(wireNs) / (static_cast<double>(state.iterations()) * unitsPerIteration);
    state.counters[name] = perUnit;
}

void BM_ScanDr32(benchmark::State& state) {
    Session s(state);
    if (!s.ok()) { state.SkipWithError("cannot open the virtual pod"); return; }
    const uint32_t buffering = static_cast<uint32_t>(state.range(0));
    const bool wantTdo = state.range(2) != 0;
    const uint16_t tdi[2] = {0x1234, 0x5678};
    constexpr size_t kRing = 65536;   // TDO slots; a flush before the ring wraps
    std::vector<uint16_t> tdo(2 * kRing);
    x_scanSetBuffering(s.handle(), buffering);
    const uint64_t w0 = Session::wireNs();
    size_t k = 0;
    for (auto _ : state) {
        // With buffering 9 the TDO lands later; each scan gets its own slot until the flush.
        if (x_scanDr(s.handle(), 1, tdi, 32, wantTdo ? &tdo[2 * (k % kRing)] : nullptr) != 0) {
            state.SkipWithError(x_kpxErrorMsg(s.handle()));
            break;
        }
        if (buffering && ++k % kRing == 0) x_scanSetBuffering(s.handle(), 2);
    }
    s.stopPausing();
    x_scanSetBuffering(s.handle(), 0);
    reportWire(state, Session::wireNs() - w0, 1.0, "wire_ns_per_scan");
    state.SetItemsProcessed(state.iterations());
}
// Arguments: buffering type, emulation excluded, TDO wanted.
BENCHMARK(BM_ScanDr32)->ArgsProduct({{0, 9}, {0, 1}, {1}})->Args({9, 1, 0})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScanDr32)
    ->ArgsProduct({{0, 9}, {0, 1}, {1}})
    ->Args({9, 1, 0})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

void BM_LongScanPerMegabit(benchmark::State& state) {
    Session s(state);
    if (!s.ok()) { state.SkipWithError("cannot open the virtual pod"); return; }
    const uint32_t buffering = static_cast<uint32_t>(state.range(0));
    const uint32_t bits = 1u << 20;
    std::vector<uint16_t> tdi(bits / 16, 0xA5C3), tdo(bits / 16, 0);
    x_scanSetBuffering(s.handle(), buffering);
    const uint64_t w0 = Session::wireNs();
    for (auto _ : state) {
        if (x_scanLDr(s.handle(), 1, tdi.data(), bits, tdo.data(), nullptr, nullptr) != 0) {
            state.SkipWithError(x_kpxErrorMsg(s.handle()));
            break;
        }
        if (buffering) x_scanSetBuffering(s.handle(), 2);
    }
    s.stopPausing();
    x_scanSetBuffering(s.handle(), 0);
    reportWire(state, Session::wireNs() - w0, 1.0, "wire_ns_per_Mbit");
    state.SetBytesProcessed(state.iterations() * (bits / 8));
}
BENCHMARK(BM_LongScanPerMegabit)->ArgsProduct({{0, 9}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongScanPerMegabit)->ArgsProduct({{0, 9}, {0, 1}})->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_DirectScanStep(benchmark::State& state) {
    Session s(state);
    if (!s.ok()) { state.SkipWithError("cannot open the virtual pod"); return; }
    const uint32_t buffering = static_cast<uint32_t>(state.range(0));
    // A replayed vector: into Shift-DR, 64 bits of data with every fourth bit compared, out
    // through Update to Run-Test/Idle; repeated.
    std::vector<uint8_t> steps;
    for (int round = 0; round < 500; ++round) {
        for (int tms : {1, 0, 0}) steps.push_back(static_cast<uint8_t>(0x01 | (tms ? 0x08 : 0)));
        for (int i = 0; i < 64; ++i)
            steps.push_back(static_cast<uint8_t>((i & 1) | (i % 4 == 0 ? 0x04 : 0) | (i == 63 ? 0x08 : 0)));
        for (int tms : {1, 0}) steps.push_back(static_cast<uint8_t>(0x01 | (tms ? 0x08 : 0)));
    }
    x_scanSetBuffering(s.handle(), buffering);
    uint32_t mismatches = 0;
    const uint64_t w0 = Session::wireNs();
    for (auto _ : state) {
        if (x_kpxScanDirect(s.handle(), 1, steps.data(), static_cast<uint32_t>(steps.size()), &mismatches) != 0) {
            state.SkipWithError(x_kpxErrorMsg(s.handle()));
            break;
        }
    }
    s.stopPausing();
    x_scanSetBuffering(s.handle(), 0);
    reportWire(state, Session::wireNs() - w0, static_cast<double>(steps.size()), "wire_ns_per_step");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(steps.size()));
    state.counters["host_ns_per_step"] = benchmark::Counter(
        static_cast<double>(state.iterations() * steps.size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DirectScanStep)->ArgsProduct({{0, 9}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectScanStep)->ArgsProduct({{0, 9}, {0, 1}})->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
