// An allocation failure inside any export ends the call with 1 and 28006 (or the call copes and
// succeeds), never with a crash or an exception, and the controller stays usable. This program
// replaces operator new so that the Nth allocation of the calling thread fails; every export is
// called with valid arguments on an open virtual-pod controller for N = 1, 2, ... until it gets
// through without meeting a failure. The driver (a vendor library in real life) is spared.
#include <cstdlib>
#include <fstream>
#include <new>
#include <set>
#include <utility>

#include "../shared/vpod_fixture.h"
#include "../shared/reliability.h"
#include "core/errors.h"
#include "transport/driver_providers.h"

// The replacements pair malloc with free; GCC cannot see that new and delete belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local int t_failCountdown = 0;   // the allocation that brings it to zero fails
}

void* operator new(std::size_t n) {
    if (t_failCountdown > 0 && --t_failCountdown == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try { return ::operator new(n); } catch (const std::bad_alloc&) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using dorvane::transport::FtHandle;
using dorvane::transport::FtStatus;

// The in-process pod with the countdown paused inside every driver call.
#define SPARE(call)                                                   \
    {                                                                 \
        const int saved = std::exchange(t_failCountdown, 0);          \
        const FtStatus st = d.call;                                   \
        t_failCountdown = saved;                                      \
        return st;                                                    \
    }
struct SparedDriver final : dorvane::transport::FtdiDriver {
    dorvane::transport::FtdiDriver& d = dorvane::transport::vpodDriver();
    FtStatus listDevices(void* a, void* b, uint32_t f) override SPARE(listDevices(a, b, f))
    FtStatus openEx(const char* s, uint32_t f, FtHandle* h) override SPARE(openEx(s, f, h))
    FtStatus open(uint32_t i, FtHandle* h) override SPARE(open(i, h))
    FtStatus getDeviceInfo(FtHandle h, uint32_t* t, uint32_t* i, char* s, char* x) override SPARE(getDeviceInfo(h, t, i, s, x))
    FtStatus close(FtHandle h) override SPARE(close(h))
    FtStatus resetDevice(FtHandle h) override SPARE(resetDevice(h))
    FtStatus purge(FtHandle h, uint32_t m) override SPARE(purge(h, m))
    FtStatus setBitMode(FtHandle h, uint8_t m, uint8_t o) override SPARE(setBitMode(h, m, o))
    FtStatus setTimeouts(FtHandle h, uint32_t r, uint32_t w) override SPARE(setTimeouts(h, r, w))
    FtStatus setLatencyTimer(FtHandle h, uint8_t ms) override SPARE(setLatencyTimer(h, ms))
    FtStatus setEventNotification(FtHandle h, uint32_t m, dorvane::platform::Event* e) override SPARE(setEventNotification(h, m, e))
    FtStatus getQueueStatus(FtHandle h, uint32_t* c) override SPARE(getQueueStatus(h, c))
    FtStatus read(FtHandle h, void* b, uint32_t c, uint32_t* g) override SPARE(read(h, b, c, g))
    FtStatus write(FtHandle h, const void* b, uint32_t c, uint32_t* w) override SPARE(write(h, b, c, w))
    FtStatus cyclePort(FtHandle h) override SPARE(cyclePort(h))
};

// Arguments shared by the calls: a 64-bit DR (the chain's two IDCODEs), a 9-bit IR.
uint16_t tdi[8], tdo[8], expected[8], mask[8];
uint8_t steps[8] = {1, 1, 1, 1, 1, 1, 1, 1};
uint32_t word, word2, word3, tapList[1] = {1}, modeParams[6] = {1};
const DorvaneControllerInfo* info;
const char* const kJtag = reliability::kJtagAddress;
const char* const kSwd = reliability::kSwdAddress;
uint32_t other = 0xFFFFFFFFu;   // a second controller (channel B) for the x_ lifecycle calls

struct Export {
    const char* name;
    uint64_t (*call)(uint32_t h);
    uint32_t result = 0;        // the call's result without a failure: 0, or 2 (not supported)
    void (*before)() = nullptr;
    bool reader = false;        // answers a value, not 0/1
};

#define PAIR(plain, x, ...)                                                                  \
    Export{#plain, [](uint32_t) -> uint64_t { return plain(__VA_ARGS__); }},                 \
    Export{#x, [](uint32_t h) -> uint64_t { return x(h __VA_OPT__(, ) __VA_ARGS__); }}
#define UNSUPPORTED(plain, x, ...)                                                           \
    Export{#plain, [](uint32_t) -> uint64_t { return plain(__VA_ARGS__); }, 2},              \
    Export{#x, [](uint32_t h) -> uint64_t { return x(h __VA_OPT__(, ) __VA_ARGS__); }, 2}

void openOther() { x_openKpx(&other, kSwd); }
void suspendOther() { if (!x_openKpx(&other, kSwd)) x_suspendKpx(other); }

const Export kExports[] = {
    {"open_kpx", [](uint32_t) -> uint64_t { return open_kpx(kJtag); }, 0, [] { close_kpx(); }},
    {"x_openKpx", [](uint32_t) -> uint64_t { return x_openKpx(&other, kSwd); }},
    {"close_kpx", [](uint32_t) -> uint64_t { return close_kpx(); }},
    {"x_closeKpx", [](uint32_t) -> uint64_t { return x_closeKpx(other); }, 0, openOther},
    {"resume_kpx", [](uint32_t) -> uint64_t { return resume_kpx(kJtag); }, 0, [] { suspend_kpx(); }},
    {"x_resumeKpx", [](uint32_t) -> uint64_t { return x_resumeKpx(&other, kSwd); }, 0, suspendOther},
    {"x_suspendKpx", [](uint32_t) -> uint64_t { return x_suspendKpx(other); }, 0, openOther},
    {"kpx_error_nbr", [](uint32_t) -> uint64_t { return uint32_t(kpx_error_nbr()); }, 0, nullptr, true},
    {"x_kpxErrorNbr", [](uint32_t h) -> uint64_t { return uint32_t(x_kpxErrorNbr(h)); }, 0, nullptr, true},
    {"kpx_error_msg", [](uint32_t) -> uint64_t { return reinterpret_cast<uintptr_t>(kpx_error_msg()); }, 0, nullptr, true},
    {"x_kpxErrorMsg", [](uint32_t h) -> uint64_t { return reinterpret_cast<uintptr_t>(x_kpxErrorMsg(h)); }, 0, nullptr, true},
    {"kpx_handle", [](uint32_t) -> uint64_t { return kpx_handle(); }, 0, nullptr, true},
    PAIR(kpx_get_controller_info, x_kpxGetControllerInfo, &info),
    PAIR(kpx_get_controller_type, x_kpxGetControllerType, &word),
    PAIR(kpx_get_interface_type, x_kpxGetInterfaceType, &word, &word2, &word3),
    PAIR(kpx_get_pod_type, x_kpxGetPodType, &word),
    PAIR(kpx_get_tap_type, x_kpxGetTapType, 1, &word),
    PAIR(kpx_reset_controller, x_kpxResetController),
    PAIR(scan_assume_state, x_scanAssumeState, 1, 1),
    PAIR(scan_get_state, x_scanGetState, 1, &word),
    PAIR(scan_set_stop_state, x_scanSetStopState, 1),
    PAIR(move_to_state, x_moveToState, 1, 1),
    PAIR(common_move_to_state, x_commonMoveToState, 1, 1),
    PAIR(common_move_to_state_tl, x_commonMoveToStateTl, tapList, 1, 1),
    PAIR(tms_reset, x_tmsReset, 1),
    PAIR(trst_reset, x_trstReset, 1),
    PAIR(set_trst, x_setTrst, 1, 1),
    PAIR(scan_ir, x_scanIr, 1, tdi, 9, tdo),
    PAIR(scan_dr, x_scanDr, 1, tdi, 64, tdo),
    PAIR(scan_to_pause_ir, x_scanToPauseIr, 1, tdi, 9, tdo),
    PAIR(scan_to_pause_dr, x_scanToPauseDr, 1, tdi, 64, tdo),
    PAIR(scan_tdio, x_scanTdio, 1, tdi, 64, tdo),
    PAIR(scan_ir_cmp, x_scanIrCmp, 1, tdi, 9, tdo, expected, mask),
    PAIR(scan_dr_cmp, x_scanDrCmp, 1, tdi, 64, tdo, expected, mask),
    PAIR(scan_to_pause_ir_cmp, x_scanToPauseIrCmp, 1, tdi, 9, tdo, expected, mask),
    PAIR(scan_to_pause_dr_cmp, x_scanToPauseDrCmp, 1, tdi, 64, tdo, expected, mask),
    PAIR(scan_tdio_cmp, x_scanTdioCmp, 1, tdi, 64, tdo, expected, mask),
    PAIR(scanLir, x_scanLIr, 1, tdi, 9, tdo, expected, mask),
    PAIR(scanLdr, x_scanLDr, 1, tdi, 64, tdo, expected, mask),
    PAIR(scanLto_pause_dr, x_scanLToPauseDr, 1, tdi, 64, tdo, expected, mask),
    PAIR(multi_scan_ir, x_multiScanIr, 1, tdi, 9, 2),
    PAIR(multi_scan_dr, x_multiScanDr, 1, tdi, 16, 3, tdo),
    PAIR(scan_set_buffering, x_scanSetBuffering, 9),
    PAIR(get_cmp_errors, x_getCmpErrors, &word),
    PAIR(clear_cmp_errors, x_clearCmpErrors),
    PAIR(scan_protocol, x_scanProtocol, 1, 2),
    PAIR(set_scan_frequency, x_setScanFrequency, 1000),
    PAIR(wait_tck, x_waitTck, 100),
    PAIR(wait_time, x_waitTime, 10, 2),
    PAIR(scan_set_tck_idle_state, x_scanSetTckIdleState, 1),
    UNSUPPORTED(set_voltage, x_setVoltage, 0),
    UNSUPPORTED(set_tap_voltage, x_setTapVoltage, 1, 0, 0),
    UNSUPPORTED(set_tap_millivoltage, x_setTapMillivoltage, 1, 0, 0),
    UNSUPPORTED(set_multi_tap_millivoltage, x_setMultiTapMillivoltage, 1, 0, 0, 0),
    UNSUPPORTED(get_pod_signal, x_getPodSignal, 0, 0, 0),
    UNSUPPORTED(set_pod_signal, x_setPodSignal, 0, 0, 0),
    UNSUPPORTED(tap_distribute, x_tapDistribute, 0, 0),
    PAIR(kpx_scan_direct, x_kpxScanDirect, 1, steps, 8, nullptr),
    PAIR(set_mode, x_setMode, 11, modeParams),
    // Last: a failed plain suspend leaves the plain layer open for good (its host must treat it
    // as final), so one failing call is all it can show.
    {"suspend_kpx", [](uint32_t) -> uint64_t { return suspend_kpx(); }},
};

// The plain layer's controller, open and reset, with buffering off.
uint32_t ready() {
    uint32_t h = kpx_handle();
    if (!dorvane::ContextGuard(dorvane::lookupRunningContext(h, 0))) {
        close_kpx();
        EXPECT_EQ(open_kpx(kJtag), 0u) << kpx_error_msg();
        h = kpx_handle();
    }
    x_scanSetBuffering(h, 0);
    x_scanSetStopState(h, 1);
    EXPECT_EQ(x_tmsReset(h, 1), 0u);
    return h;
}

TEST(Boundary, EveryExportMeetsAnAllocationFailureWith28006) {
    static SparedDriver spared;
    ASSERT_TRUE(useProviderUnderTest());
    dorvane::transport::setFtdiDriver(&spared);
    reliability::useScratchStore();
    reliability::writeKcfFiles();
    vpod::control::loadDefaultBoard();

    std::set<std::string> listed;
    std::ifstream list(DORVANE_SOURCE_DIR "/exports/dorvane.exports");
    for (std::string name; std::getline(list, name);)
        if (!name.empty()) listed.insert(name);
    std::set<std::string> covered;
    int calls = 0, failures = 0;
    const size_t files = testenv::openFileCount();
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        covered.insert(e.name);
        for (int n = 1;; ++n) {
            ASSERT_LT(n, 400) << "still allocating";
            const uint32_t h = ready();
            if (e.before) e.before();
            t_failCountdown = n;
            const uint64_t rc = e.call(h);
            const bool failed = t_failCountdown == 0;
            t_failCountdown = 0;
            const uint32_t code = dorvane::globalLastError();
            ++calls;
            // Close and suspend end their handle whatever happened on the way.
            const uint32_t closedAgain = x_closeKpx(std::exchange(other, 0xFFFFFFFFu));   // numbers are reused
            if (e.name == std::string("x_closeKpx") || e.name == std::string("x_suspendKpx")) {
                EXPECT_EQ(closedAgain, 1u) << "the handle outlived allocation " << n;
            }
            if (!failed) {
                if (!e.reader) { EXPECT_EQ(rc, e.result) << x_kpxErrorMsg(h); }
                break;
            }
            ++failures;
            // 28006, or where an object of the system could not be made, its own code.
            if (!e.reader && rc != 0) {
                EXPECT_EQ(rc, 1u);
                EXPECT_TRUE(code == err::MEMORY_ALLOCATION || code == err::ALLOC || code == err::EVENT_CREATE ||
                            code == err::THREAD_CREATE)
                    << "allocation " << n << " gave " << code;
            }
            if (e.call == kExports[std::size(kExports) - 1].call) break;
            // Whatever failed, the controller (or a fresh one) scans again.
            const uint32_t again = ready();
            uint16_t zeros[4] = {}, ids[4] = {};
            EXPECT_EQ(x_scanDr(again, 1, zeros, 64, ids), 0u) << x_kpxErrorMsg(again);
            EXPECT_EQ(reliability::dr64(ids), reliability::kChainIdcodes) << "after allocation " << n;
        }
    }
    EXPECT_EQ(covered, listed);
    EXPECT_EQ(testenv::openFileCount(), files) << "a failed allocation left a file open";
    std::printf("allocation failures: %d exports, %d calls, %d met a failure\n", int(covered.size()), calls, failures);
    dorvane::transport::setFtdiDriver(nullptr);
}

TEST(Boundary, AClosedHandleNeverReachesItsOldController) {
    ASSERT_TRUE(useProviderUnderTest());
    reliability::writeKcfFiles();
    vpod::control::loadDefaultBoard();
    uint32_t old = 0;
    ASSERT_EQ(x_openKpx(&old, kJtag), 0u);
    ASSERT_EQ(x_tmsReset(old, 1), 0u);
    ASSERT_EQ(x_closeKpx(old), 0u);
    // Every export refuses the closed handle (a use of its freed context would show under ASan).
    const std::set<std::string> lifecycle = {"x_openKpx", "x_resumeKpx", "x_closeKpx", "x_suspendKpx"};
    for (const Export& e : kExports) {
        if (e.name[0] != 'x' || e.reader || lifecycle.count(e.name)) continue;
        dorvane::recordError(nullptr, 0);
        EXPECT_EQ(e.call(old), 1u) << e.name;
        EXPECT_EQ(dorvane::globalLastError(), uint32_t(err::INVALID_KPX_HANDLE)) << e.name;
    }
    EXPECT_EQ(x_closeKpx(old) | x_suspendKpx(old), 1u);
    // Once the number is handed out again it reaches the new controller (channel B's SWD target).
    uint32_t h = 0;
    for (int i = 0; i < 100 && h != old; ++i) {
        if (h) x_closeKpx(h);
        ASSERT_EQ(x_openKpx(&h, kSwd), 0u);
    }
    ASSERT_EQ(h, old);
    uint16_t zeros[2] = {}, dpidr[2] = {};
    EXPECT_EQ(x_tmsReset(old, 1) | x_scanDr(old, 1, zeros, 32, dpidr), 0u);
    EXPECT_EQ(dpidr[0] | uint32_t(dpidr[1]) << 16, reliability::kSwdDpidr);
    EXPECT_EQ(x_closeKpx(h), 0u);
}

}  // namespace
