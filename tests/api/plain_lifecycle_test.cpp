// The plain layer's bookkeeping around a controller on the virtual pod: one controller per
// process, and a failed close that stays final.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/errors.h"
#include "dorvane/dorvane.h"
#include "fresh_process.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "vpod/control.h"

using dorvane::recordError;

namespace {

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

// Puts the default virtual board behind the driver seam; "" when that worked.
std::string useVirtualPod() {
    dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
    dorvane::transport::setFtdiDriver(nullptr);
    vpod::control::loadDefaultBoard();
    return "";
}

TEST(PlainLifecycle, OneControllerPerProcessUntilItIsClosed) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.that(useVirtualPod().empty(), "virtual pod");
        c.equal(open_kpx("USB"), 0u, "first open");
        c.equal(kpx_handle(), 1u, "handle of the first controller in a process");
        c.equal(open_kpx("USB"), 1u, "second open");
        // The refusal is recorded in the process slot and on the open controller, which the
        // plain readers consult.
        c.equal(x_kpxErrorNbr(0), 322, "second open's error");
        c.equal(std::string(x_kpxErrorMsg(0)), std::string("controller still active"), "message");
        c.equal(kpx_error_nbr(), 322, "the plain reader");
        recordError(nullptr, 0);
        c.equal(kpx_get_controller_type(nullptr), 1u, "a failing call in between");
        c.equal(resume_kpx("USB"), 1u, "resume while open");
        c.equal(x_kpxErrorNbr(0), 322, "resume's error");
        c.equal(kpx_error_nbr(), 322, "resume's error through the plain reader");
        // The first controller is still usable, also through the x_ layer.
        uint32_t type = 0;
        c.equal(kpx_get_controller_type(&type), 0u, "plain query");
        c.equal(x_kpxGetControllerType(kpx_handle(), &type), 0u, "x_ query on kpx_handle");

        c.equal(close_kpx(), 0u, "close");
        c.equal(kpx_handle(), kNoHandle, "handle after close");
        c.equal(kpx_get_controller_type(&type), 1u, "query after close");
        c.equal(kpx_error_nbr(), 61, "query error after close");
        c.equal(open_kpx("USB"), 0u, "open after close");
        c.equal(close_kpx(), 0u, "second close");
        return c.result();
    });
}

TEST(PlainLifecycle, AFailedCloseIsFinal) {
    EXPECT_IN_FRESH_PROCESS([] {
        Checks c;
        c.that(useVirtualPod().empty(), "virtual pod");
        c.equal(open_kpx("USB"), 0u, "open");
        uint32_t handle = kpx_handle();
        c.that(vpod::control::failNext("DV000001A", vpod::control::Op::Close, 4, 1), "fault injected");
        c.equal(close_kpx(), 1u, "close with a failing device close");
        // The controller is gone, yet the plain layer still counts it as open.
        c.equal(kpx_handle(), handle, "handle kept");
        c.equal(close_kpx(), 1u, "second close");
        c.equal(kpx_error_nbr(), 61, "second close's error");
        c.equal(open_kpx("USB"), 1u, "open after a failed close");
        c.equal(kpx_error_nbr(), 322, "open's error");
        c.equal(x_scanIr(handle, 1, nullptr, 0, nullptr), 1u, "x_ call on the released handle");
        c.equal(x_kpxErrorNbr(handle), 61, "its error");
        return c.result();
    });
}

// Threads of this process, or 0 where the system does not list them.
size_t threadCount() {
    std::error_code ec;
    size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return ec ? 0 : n;
}

// Unloading the shared library while a controller is open must neither crash nor leave the
// controller's receive thread behind in code that is no longer mapped.
TEST(Unload, OpenControllersEndWithTheLibrary) {
    const std::string path = std::string(DORVANE_BINARY_DIR) + "/libdorvane.so";
    if (!dorvane::platform::fileExists(path) || threadCount() == 0) GTEST_SKIP() << "needs " << path;
    EXPECT_IN_FRESH_PROCESS([&path] {
        Checks c;
        {   // a sanitizer's helper thread starts with the first thread of the process
            dorvane::platform::Thread first;
            first.start([](void*) {}, nullptr);
        }
        const size_t before = threadCount();
        dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
        void* lib = dorvane::platform::loadLibrary(path.c_str());
        c.that(lib != nullptr, "library loaded");
        if (!lib) return c.result();
        auto openKpx = reinterpret_cast<uint32_t (*)(uint32_t*, const char*)>(
            dorvane::platform::librarySymbol(lib, "x_openKpx"));
        auto tmsReset = reinterpret_cast<uint32_t (*)(uint32_t, uint32_t)>(
            dorvane::platform::librarySymbol(lib, "x_tmsReset"));
        uint32_t h = 0;
        c.equal(openKpx(&h, "USB"), 0u, "open");
        c.equal(tmsReset(h, 1), 0u, "a reset through the receive thread");
        c.that(threadCount() > before, "receive thread running");
        dorvane::platform::freeLibrary(lib);
        const uint32_t start = dorvane::platform::millisecondTimer();
        while (threadCount() != before && dorvane::platform::millisecondTimer() - start < 10000)
            dorvane::platform::yieldProcessor();
        c.equal(threadCount(), before, "threads after unload");
        return c.result();
    });
}

}  // namespace
