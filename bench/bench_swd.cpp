// A 1 KiB MEM-AP block read with auto-increment through the SWD bridge (JTAG-DP scans only),
// host time next to the wire time of the virtual pod's timing model at 30 MHz SWCLK.
// Arguments: buffering type (0 or 1), ORUNDETECT (0: ACK-first transactions, 1: pipelined).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "vpod/control.h"

namespace {

const std::string kIface = "DV000001B";
constexpr uint8_t DPACC = 0xA, APACC = 0xB;

class SwdSession {
public:
    SwdSession() {
        dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
        dorvane::transport::setFtdiDriver(nullptr);
        vpod::control::loadDefaultBoard();
        const std::string dir = std::filesystem::temp_directory_path().string();
        FILE* f = std::fopen((dir + "/benchswd.Kcf").c_str(), "w");
        if (!f) return;
        std::fputs("[FT2232Kpx]\nVersion=1.0.0.0\nTap1Mode=BSCAN2SWD\nSubDevice=B\n", f);
        std::fclose(f);
        dorvane::setKcfDirectory(dir + "/");
        ok_ = x_openKpx(&h_, "USBFbenchswd") == 0 && x_setScanFrequency(h_, 30000) == 0 && x_tmsReset(h_, 1) == 0;
    }
    ~SwdSession() {
        if (h_ != 0xFFFFFFFFu) x_closeKpx(h_);
    }
    bool ok() const { return ok_; }
    bool access(uint8_t instr, bool read, unsigned address, uint32_t value, uint32_t* out = nullptr) {
        if (instr != ir_) {
            const uint16_t in = instr;
            if (x_scanIr(h_, 1, &in, 4, nullptr)) return false;
            ir_ = instr;
        }
        const uint64_t r = uint64_t(value) << 3 | ((address >> 2) & 3u) << 1 | (read ? 1u : 0u);
        const uint16_t in[3] = {uint16_t(r), uint16_t(r >> 16), uint16_t(r >> 32)};
        uint16_t got[3] = {};
        if (x_scanDr(h_, 1, in, 35, got) || (got[0] & 7) != 2) return false;
        if (out) *out = static_cast<uint32_t>((got[0] >> 3) | uint32_t(got[1]) << 13 | uint32_t(got[2]) << 29);
        return true;
    }
    uint32_t handle() const { return h_; }
    static uint64_t wireNs() {
        uint64_t ns = 0;
        vpod::control::simulatedTimeNs(kIface, &ns);
        return ns;
    }

private:
    uint32_t h_ = 0xFFFFFFFFu;
    uint8_t ir_ = 0xE;
    bool ok_ = false;
};

void BM_MemApBlockRead1KiB(benchmark::State& state) {
    SwdSession s;
    const bool orunDetect = state.range(1) != 0;
    if (!s.ok() || !s.access(DPACC, false, 0x4, 0x50000000 | (orunDetect ? 1u : 0u)) ||
        !s.access(APACC, false, 0x0, 0x23000012)) {
        state.SkipWithError("cannot reach the SWD target");
        return;
    }
    x_scanSetBuffering(s.handle(), static_cast<uint32_t>(state.range(0)));
    uint32_t words[256];
    const uint64_t w0 = SwdSession::wireNs();
    for (auto _ : state) {
        bool ok = s.access(APACC, false, 0x4, 0x20000400) && s.access(APACC, true, 0xC, 0);
        for (int i = 1; ok && i < 256; ++i) ok = s.access(APACC, true, 0xC, 0, &words[i - 1]);
        ok = ok && s.access(DPACC, true, 0xC, 0, &words[255]);
        if (!ok) {
            state.SkipWithError(x_kpxErrorMsg(s.handle()));
            break;
        }
    }
    x_scanSetBuffering(s.handle(), 0);
    state.counters["wire_us_per_KiB"] =
        static_cast<double>(SwdSession::wireNs() - w0) / 1000.0 / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_MemApBlockRead1KiB)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemApBlockRead1KiB)->ArgsProduct({{0, 1}, {0, 1}})->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
