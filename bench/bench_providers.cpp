// Host CPU of the two Linux routes to a pod, side by side on the same board: the in-process
// virtual pod (argument 0) and libftdi1 through the USB-level virtual pod (argument 1), which
// adds libftdi, the libusb calls, the packet framing and the provider's reader thread.
// CPU time is the whole process's (caller, receive thread, reader thread and the emulation
// itself, which on a real pod runs in the chip). Run with the stand-in as libusb-1.0.so.0:
//   LD_LIBRARY_PATH=<build>/vpod/usb/libusb <build>/bench/bench_providers
#include <benchmark/benchmark.h>

#include <vector>

#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod/control.h"
#include "vpod/usb.h"

namespace {

using namespace dorvane;

bool usbPodReady() {
    static const bool attached = [] {
        auto attach = reinterpret_cast<vpod::usb::AttachFn>(
            platform::librarySymbol(platform::loadLibrary("libusb-1.0.so.0"), vpod::usb::kAttachSymbol));
        if (attach) attach(&vpod::usb::thisProcessModel());
        return attach != nullptr;
    }();
    return attached;
}

struct Controller {
    uint32_t handle = 0xFFFFFFFFu;
    explicit Controller(benchmark::State& state) {
        const bool usb = state.range(0) == 1;
        if (usb && !usbPodReady()) {
            state.SkipWithError("libusb-1.0.so.0 is not the USB-level virtual pod (set LD_LIBRARY_PATH)");
            return;
        }
        transport::setFtdiDriver(usb ? &transport::libftdiDriver() : &transport::vpodDriver());
        vpod::control::loadDefaultBoard();
        if (x_openKpx(&handle, "USB") != 0 || x_setScanFrequency(handle, 30000) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        x_tmsReset(handle, 1);
        state.SetLabel(usb ? "libftdi + USB-level vpod" : "in-process vpod");
    }
    ~Controller() {
        if (handle != 0xFFFFFFFFu) x_closeKpx(handle);
        transport::setFtdiDriver(nullptr);
    }
};

// One 32-bit DR scan with TDO, buffering off: each waits for its own answer.
void BM_ScanDr32Unbuffered(benchmark::State& state) {
    Controller c(state);
    if (c.handle == 0xFFFFFFFFu) return;
    const uint16_t tdi[2] = {0x1234, 0x5678};
    uint16_t tdo[2] = {};
    for (auto _ : state) {
        if (x_scanDr(c.handle, 1, tdi, 32, tdo)) { state.SkipWithError("scan failed"); break; }
        benchmark::DoNotOptimize(tdo);
    }
}
BENCHMARK(BM_ScanDr32Unbuffered)->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime();

// 32-bit DR scans with TDO under buffering type 9, 1000 per flush; the figure is per scan.
void BM_ScanDr32Buffered9(benchmark::State& state) {
    Controller c(state);
    if (c.handle == 0xFFFFFFFFu) return;
    constexpr size_t kBatch = 1000;
    std::vector<uint16_t> tdo(2 * kBatch);
    const uint16_t tdi[2] = {0x1234, 0x5678};
    x_scanSetBuffering(c.handle, 9);
    for (auto _ : state) {
        for (size_t i = 0; i < kBatch; ++i)
            if (x_scanDr(c.handle, 1, tdi, 32, &tdo[2 * i])) { state.SkipWithError("scan failed"); break; }
        if (x_scanSetBuffering(c.handle, 2)) { state.SkipWithError("flush failed"); break; }
    }
    x_scanSetBuffering(c.handle, 0);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kBatch));
}
BENCHMARK(BM_ScanDr32Buffered9)->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime();

// One DR scan of a megabit (10^6 bits) with TDO: the figure per iteration is per megabit.
void BM_ScanDrMegabit(benchmark::State& state) {
    Controller c(state);
    if (c.handle == 0xFFFFFFFFu) return;
    constexpr uint32_t kBits = 1000000;
    std::vector<uint16_t> tdi(kBits / 16, 0xA5C3), tdo(kBits / 16);
    for (auto _ : state) {
        if (x_scanDr(c.handle, 1, tdi.data(), kBits, tdo.data())) { state.SkipWithError("scan failed"); break; }
        benchmark::DoNotOptimize(tdo.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBits / 8);
}
BENCHMARK(BM_ScanDrMegabit)->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
