// What the vpod server costs per call: the same calls on this process's own virtual pod
// (/0) and forwarded to a dorvane-vpod server process over its Unix-domain socket (/1).
// The difference is the server's round trip; the model's work is the same on both sides.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/driver_providers.h"
#include "vpod/control.h"
#include "vpod/vpod.h"

namespace {

using namespace dorvane;

// The server process, started once for the program, beside this program in the build tree.
class Server {
public:
    Server() {
        const std::filesystem::path self = platform::executablePath();
        socket_ = (std::filesystem::temp_directory_path() / ("dorvane-bench-" + std::to_string(std::random_device{}()) + ".sock")).string();
        const std::string program = (self.parent_path().parent_path() / "vpod" / "server" / "dorvane-vpod").string();
        if (!process_.start(program, {"serve", "--socket", socket_})) return;
        platform::setEnv("DORVANE_VPOD_SERVER", socket_.c_str());
        for (int i = 0; i < 500 && !up_; ++i, platform::sleepMs(10)) up_ = !vpod::control::interfaces().empty();
        platform::setEnv("DORVANE_VPOD_SERVER", nullptr);
    }
    ~Server() {
        process_.stop();
        int code = 0;
        process_.wait(10000, code);
    }
    bool up() const { return up_; }
    // Every virtual pod opened from now on is the server's (true) or this process's own.
    void use(bool remote) const { platform::setEnv("DORVANE_VPOD_SERVER", remote ? socket_.c_str() : nullptr); }

private:
    platform::Process process_;
    std::string socket_;
    bool up_ = false;
};

const Server& server() {
    static Server s;
    return s;
}

bool choose(benchmark::State& state) {
    const bool remote = state.range(0) != 0;
    if (remote && !server().up()) {
        state.SkipWithError("no vpod server");
        return false;
    }
    server().use(remote);
    state.SetLabel(remote ? "server" : "in process");
    return true;
}

// An unbuffered 32-bit DR scan through the exports: command bytes out, TDO back through the
// receive thread (a write, the event, a queue status and a read at the driver seam).
void BM_ScanDr32(benchmark::State& state) {
    if (!choose(state)) return;
    transport::setFtdiDriver(&transport::vpodDriver());
    uint32_t h = 0xFFFFFFFFu;
    if (x_openKpx(&h, "USB") != 0 || x_tmsReset(h, 1) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    uint16_t tdo[2];
    for (auto _ : state) {
        if (x_scanDr(h, 1, nullptr, 32, tdo) != 0) {
            state.SkipWithError("scan failed");
            break;
        }
        benchmark::DoNotOptimize(tdo);
    }
    x_closeKpx(h);
    transport::setFtdiDriver(nullptr);
}
BENCHMARK(BM_ScanDr32)->Arg(0)->Arg(1)->UseRealTime();

// The smallest call at the driver seam: the receive queue's byte count.
void BM_GetQueueStatus(benchmark::State& state) {
    if (!choose(state)) return;
    vpod::Handle* h = nullptr;
    if (vpod::openEx("DV000001A", vpod::kOpenBySerialNumber, &h) != vpod::kOk) {
        state.SkipWithError("open failed");
        return;
    }
    uint32_t n = 0;
    for (auto _ : state) {
        vpod::getQueueStatus(h, &n);
        benchmark::DoNotOptimize(n);
    }
    vpod::close(h);
}
BENCHMARK(BM_GetQueueStatus)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
