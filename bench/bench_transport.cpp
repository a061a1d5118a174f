// The transport against the virtual pod (which answers in the driver's write call, so the
// figures are the library's own hand-over costs): the round trip of one unbuffered operation
// and the throughput of buffered operations.
// Real time is the caller's wall time per operation; CPU time is the calling thread's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "core/context.h"
#include "dorvane/dorvane.h"
#include "transport/driver_providers.h"
#include "transport/transport.h"
#include "vpod/control.h"

namespace {

using namespace dorvane;

struct Controller {
    uint32_t handle = 0xFFFFFFFFu;
    Controller() {
        transport::setFtdiDriver(&transport::vpodDriver());
        vpod::control::loadDefaultBoard();
        if (x_openKpx(&handle, "USB") != 0) handle = 0xFFFFFFFFu;
        if (handle != 0xFFFFFFFFu) x_tmsReset(handle, 1);   // clock and pins set up once
    }
    ~Controller() {
        if (handle != 0xFFFFFFFFu) x_closeKpx(handle);
        transport::setFtdiDriver(nullptr);
    }
};

// One GPIO read-back through the command queue and the receive thread: the smallest
// operation that waits for its own answer.
void BM_RoundTripTransport(benchmark::State& state) {
    Controller c;
    if (c.handle == 0xFFFFFFFFu) { state.SkipWithError("open failed"); return; }
    KpxContext* ctx = lookupRunningContext(c.handle, LOOKUP_REPORT);
    uint8_t v = 0;
    for (auto _ : state) {
        uint8_t tdo = 0;
        ResultRecord* r = newResultRecord(ctx);
        r->bitCount = 8;
        r->lastBitPosition = 7;
        r->tdoBytes = &tdo;
        const uint8_t cmd[5] = {0x80, uint8_t(v++ | 0x0A), 0x0B, 0x81, 0x87};
        if (queueCommands(ctx, cmd, 5, 1) || waitForResults(ctx, WAIT_ALL)) {
            state.SkipWithError("operation failed");
            break;
        }
        benchmark::DoNotOptimize(tdo);
    }
    ctx->contextLock.unlock();
}
BENCHMARK(BM_RoundTripTransport)->UseRealTime();

// The same through the exported call: a 32-bit DR scan with TDO, buffering off.
void BM_RoundTripScanDr(benchmark::State& state) {
    Controller c;
    if (c.handle == 0xFFFFFFFFu) { state.SkipWithError("open failed"); return; }
    const uint16_t tdi[2] = {};
    uint16_t tdo[2] = {};
    for (auto _ : state) {
        if (x_scanDr(c.handle, 1, tdi, 32, tdo)) { state.SkipWithError("scan failed"); break; }
        benchmark::DoNotOptimize(tdo);
    }
}
BENCHMARK(BM_RoundTripScanDr)->UseRealTime();

// Buffered (type 9) 32-bit DR scans with TDO, flushed every range(0) scans; items/s is the
// operation rate.
void BM_BufferedScanDr(benchmark::State& state) {
    Controller c;
    if (c.handle == 0xFFFFFFFFu) { state.SkipWithError("open failed"); return; }
    const auto batch = static_cast<size_t>(state.range(0));
    std::vector<uint16_t> tdo(2 * batch);
    const uint16_t tdi[2] = {};
    x_scanSetBuffering(c.handle, 9);
    for (auto _ : state) {
        for (size_t i = 0; i < batch; ++i)
            if (x_scanDr(c.handle, 1, tdi, 32, &tdo[2 * i])) { state.SkipWithError("scan failed"); break; }
        if (x_scanSetBuffering(c.handle, 2)) { state.SkipWithError("flush failed"); break; }
    }
    x_scanSetBuffering(c.handle, 0);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch));
}
BENCHMARK(BM_BufferedScanDr)->Arg(100)->Arg(1000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
