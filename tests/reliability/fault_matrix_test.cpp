// Every fault the virtual pod can inject, crossed with every class of operation: the call ends
// with its defined code within its time-out, leaves no thread behind, and once the handle is
// closed (and the chip back on the bus) a fresh open works again.
#include <chrono>
#include <functional>

#include "../shared/test_env.h"
#include "../shared/vpod_fixture.h"
#include "../shared/reliability.h"

namespace {

using vpod::control::Op;
using Clock = std::chrono::steady_clock;

enum OpClass { OPEN, SCAN, BUFFERED, MULTI, DIRECT, WAIT, TRST, SWD, SUSPEND, CLOSE, kOps };
const char* const kOpNames[kOps] = {"open",  "scan", "buffered scan", "multi scan",      "direct scan",
                                    "wait",  "TRST", "SWD",           "suspend/resume", "close"};
constexpr int kNa = -1;   // the fault cannot reach the operation

// One cell's controller: channel A's JTAG chain, or channel B's SWD target for the SWD class.
struct Cell {
    uint32_t h = 0xFFFFFFFFu;
    // Deferred results may still land until the close returns: the arrays live as long.
    uint16_t tdi[8] = {}, tdo[8] = {}, second[4] = {}, multi[24] = {};
    std::string iface = "DV000001A", address = reliability::kJtagAddress;

    uint32_t open() { return x_openKpx(&h, address.c_str()); }
    // The library's time-outs are seconds long; a matrix of cells wants them short.
    void shortTimeouts() {
        auto c = locked(h);
        dorvane::TransportPart& t = dorvane::transportOf(c);
        t.resultTimeoutMs = 300;
        t.readTimeoutMs = t.writeTimeoutMs = 50;
        dorvane::transport::ftdiDriver().setTimeouts(t.ftHandle, 50, 50);
    }
    void cyclePort() { auto c = locked(h); dorvane::transport::ftdiDriver().cyclePort(dorvane::transportOf(c).ftHandle); }
};

struct Fault {
    const char* name;
    std::function<void(Cell&)> arm;
    int expect[kOps];   // detailed code, 0 success, kNa
    int alsoAccepted = -1;   // a second outcome a race between the call and the receive thread allows
};

// The two IDCODEs of the default chain after a TAP reset, nearest TDO first.
bool idcodes(const uint16_t* w) { return reliability::dr64(w) == reliability::kChainIdcodes; }

uint32_t runOp(int op, Cell& c) {
    uint16_t *tdi = c.tdi, *tdo = c.tdo, *multi = c.multi, *second = c.second;
    switch (op) {
    case OPEN: return c.open();
    case SCAN:
    case SWD: {   // on SWD the IDCODE scan is one read of DPIDR
        const uint32_t rc = x_scanDr(c.h, 1, tdi, op == SWD ? 32 : 64, tdo);
        if (!rc && op == SWD) { EXPECT_EQ(tdo[0] | uint32_t(tdo[1]) << 16, reliability::kSwdDpidr); }
        if (!rc && op == SCAN) { EXPECT_TRUE(idcodes(tdo)); }
        return rc;
    }
    case BUFFERED: {
        uint32_t rc = x_scanSetBuffering(c.h, 9);
        if (!rc) rc = x_scanDr(c.h, 1, tdi, 64, tdo) | x_scanDr(c.h, 1, tdi, 64, second);
        if (!rc) rc = x_scanSetBuffering(c.h, 2);   // the deferred results arrive here
        if (!rc) { EXPECT_TRUE(idcodes(tdo) && idcodes(second)); }
        return rc;
    }
    case MULTI: {
        const uint32_t rc = x_multiScanDr(c.h, 1, tdi, 64, 3, multi);
        if (!rc) { EXPECT_TRUE(idcodes(multi) && idcodes(multi + 4) && idcodes(multi + 8)); }
        return rc;
    }
    case DIRECT: {
        const uint8_t steps[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        return x_kpxScanDirect(c.h, 1, steps, 8, nullptr);
    }
    case WAIT: return x_waitTck(c.h, 1000);
    case TRST: return x_trstReset(c.h, 1);
    case SUSPEND:
        if (x_suspendKpx(c.h)) return 1;
        return x_resumeKpx(&c.h, c.address.c_str());
    default: return x_closeKpx(c.h);   // with a scan held back, so that the close has to send it
    }
}

// What each fault does to each class, and why a kNa cell cannot be reached.
const int IO = err::DRIVER_IO_ERROR, SHORT = err::WRITE_TIMEOUT, ECHO = err::SYNC_FAILURE, DOWN = err::RX_THREAD_NOT_RUNNING;
const Fault kFaults[] = {
    {"failed write", [](Cell& c) { vpod::control::failNext(c.iface, Op::Write, vpod::kIoError, 1); },
     {IO, IO, IO, IO, IO, IO, IO, IO, IO, IO}},
    {"short write", [](Cell& c) { vpod::control::shortWrites(c.iface, 1, 0); },
     // Open and resume do not look at the counts of their first writes (pins, loopback on).
     {0, SHORT, SHORT, SHORT, SHORT, SHORT, SHORT, SHORT, 0, SHORT}},
    {"stalled read", [](Cell& c) { vpod::control::stallReads(c.iface, 1); },
     // Reading nothing within the read time-out is no error: the data comes with the next read.
     // Resume's handshake reads under the library's own 125 s driver time-out.
     {0, 0, 0, 0, 0, 0, 0, 0, kNa, 0}},
    {"stray bytes",
     [](Cell& c) {
         vpod::control::strayBytes(c.iface, {0x55});
         // The receive thread meets a byte no record asked for and stops.
         testenv::waitFor([&c] { return !dorvane::ContextGuard(dorvane::lookupRunningContext(c.h, 0)); });
         auto ctx = locked(c.h);
         EXPECT_EQ(dorvane::transportOf(ctx).threadError, uint32_t(err::RESULT_ALREADY_PROCESSED));
     },
     // Open purges the receive queue before its handshake.
     {kNa, DOWN, DOWN, DOWN, DOWN, DOWN, DOWN, DOWN, 0, err::RESULT_ALREADY_PROCESSED}},
    {"failed resets", [](Cell& c) { vpod::control::failResets(c.iface, 15); },
     {IO, kNa, kNa, kNa, kNa, kNa, kNa, kNa, kNa, kNa}},   // only open resets; resume takes the chip as it is
    {"broken echo", [](Cell& c) { vpod::control::breakEcho(c.iface, true); },
     {ECHO, kNa, kNa, kNa, kNa, kNa, kNa, kNa, ECHO, kNa}},   // only open and resume check the echo
    {"unplug mid-scan", [](Cell& c) { vpod::control::unplugDuring(c.iface, Op::Write); },
     {IO, IO, IO, IO, IO, IO, IO, IO, IO, IO}},
    {"unplug mid-read", [](Cell& c) { vpod::control::unplugDuring(c.iface, Op::Read); },
     {IO, IO, IO, IO, IO, IO, IO, IO, IO, IO}},
    // A cycled chip is back only once its handles are closed; the receive thread may meet it first
    // and stop.
    {"cycle port", [](Cell& c) { c.cyclePort(); }, {kNa, IO, IO, IO, IO, IO, IO, IO, IO, IO}, DOWN},
};

TEST(FaultMatrix, EveryFaultMeetsEveryOperationClass) {
    reliability::useScratchStore();
    ASSERT_TRUE(useProviderUnderTest());
    reliability::writeKcfFiles();
    vpod::control::loadDefaultBoard();   // the load test, when it runs first, leaves its own
    Cell warm;   // a first controller, so that threads a sanitizer starts on the way are counted
    ASSERT_EQ(warm.open() | x_closeKpx(warm.h), 0u);
    const size_t baseline = testenv::settledThreadCount();
    int cells = 0, na = 0;
    for (const Fault& f : kFaults) {
        for (int op = 0; op < kOps; ++op) {
            SCOPED_TRACE(std::string(f.name) + " x " + kOpNames[op]);
            if (f.expect[op] == kNa) {
                ++na;
                continue;
            }
            ++cells;
            vpod::control::loadDefaultBoard();
            Cell c;
            if (op == SWD) { c.iface = "DV000001B"; c.address = reliability::kSwdAddress; }
            if (op != OPEN) {
                ASSERT_EQ(c.open(), 0u) << kpx_error_msg();
                c.shortTimeouts();
                ASSERT_EQ(x_tmsReset(c.h, 1), 0u);   // the deferred set-up is behind us
                if (op == CLOSE) {
                    uint16_t tdi[4] = {};
                    ASSERT_EQ(x_scanSetBuffering(c.h, 1), 0u);
                    ASSERT_EQ(x_scanDr(c.h, 1, tdi, 64, nullptr), 0u);
                }
            }
            f.arm(c);
            const auto start = Clock::now();
            const uint32_t rc = runOp(op, c);
            const auto took = Clock::now() - start;
            const uint32_t code = rc ? dorvane::lastErrorFor(c.h) : 0;
            if (int(code) != f.alsoAccepted) {
                EXPECT_EQ(rc, f.expect[op] ? 1u : 0u);
                EXPECT_EQ(code, uint32_t(f.expect[op]));
            }
            EXPECT_LT(took, std::chrono::seconds(3));
            // Clean up as a host would: close what is open, put the chip back.
            vpod::control::clearFaults(c.iface);
            x_closeKpx(c.h);
            EXPECT_EQ(x_closeKpx(c.h), 1u);   // gone, whatever the first close said
            vpod::control::replug(c.iface);
            EXPECT_TRUE(testenv::waitFor([&] { return testenv::threadCount() == baseline; }));
            Cell fresh;
            ASSERT_EQ(fresh.open(), 0u) << kpx_error_msg();
            uint16_t tdi[4] = {}, tdo[4] = {};
            EXPECT_EQ(x_tmsReset(fresh.h, 1) | x_scanDr(fresh.h, 1, tdi, 64, tdo), 0u);
            EXPECT_TRUE(idcodes(tdo));
            EXPECT_EQ(x_closeKpx(fresh.h), 0u);
        }
    }
    EXPECT_EQ(cells + na, int(std::size(kFaults)) * kOps);
    std::printf("fault matrix: %d cells, %d not reachable\n", cells, na);
}

}  // namespace
