// The plain layer: what library load sets up, every call before an open, one controller per
// process on the virtual pod, a failed close that stays final, and unloading with a controller open.
#include <gtest/gtest.h>

#include <string>

#include "api/library.h"
#include "config/config.h"
#include "core/errors.h"
#include "core/locks.h"
#include "dorvane/dorvane.h"
#include "../shared/test_env.h"
#include "fresh_process.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "vpod/control.h"

using namespace dorvane;

namespace {

using testenv::threadCount;

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;
// What kpx_error_nbr() gives for "controller still active" (err::STILL_ACTIVE): the number
// callers' programs test for.
constexpr int32_t kStillActiveNumber = 322;

TEST(PlainLayer, AFreshProcessRefusesEveryCallUntilAnOpenSucceeds) {
    expectInFreshProcess([] {
        FRESH_CHECK(kpx_error_nbr() == 0 && std::string(kpx_error_msg()) == "OK" && x_kpxErrorNbr(1) == 0);
        // Library load fixed the KCF directory and created the device mutex.
        FRESH_CHECK(kcfDirectory() == initialKcfDirectory());
        FRESH_CHECK(deviceMutex().valid() && deviceMutex().lock());
        deviceMutex().unlock();

        FRESH_CHECK(kpx_handle() == 0u);
        auto refused = [](uint32_t result) {
            const bool ok = result == 1 && kpx_error_nbr() == publicNumber(err::INVALID_KPX_HANDLE) &&
                            std::string(kpx_error_msg()) == findError(err::INVALID_KPX_HANDLE).message;
            recordError(nullptr, 0);
            return ok;
        };
        uint16_t tdi[1] = {0x5};
        FRESH_CHECK(refused(scan_ir(1, tdi, 4, nullptr)));
        FRESH_CHECK(refused(close_kpx()));
        FRESH_CHECK(refused(suspend_kpx()));
        // Failed opens and resumes do not count: the second is refused for its address, not
        // as "controller still active".
        for (int i = 0; i < 2; ++i) {
            FRESH_CHECK(open_kpx("not an address") == 1u && globalLastError() == err::ADDR_INVALID);
            FRESH_CHECK(resume_kpx("not an address") == 1u && globalLastError() == err::ADDR_INVALID);
        }
        FRESH_CHECK(kpx_handle() == 0u);
    });
}

TEST(LibraryLoad, KcfDirGetsASeparatorAndWithoutItTheLibrarysDirectoryIsUsed) {
    // The tests link the library's objects, so the library's file is the test program.
    const std::string program = platform::executablePath();
    ASSERT_FALSE(program.empty());
    const std::string libraryDir = program.substr(0, program.find_last_of("\\/:") + 1);
    std::string saved;
    const bool hadValue = platform::getEnv("KCFDIR", saved);
    for (const char* dir : {"/opt/pods/", "C:\\Pods\\"}) {
        platform::setEnv("KCFDIR", dir);
        EXPECT_EQ(initialKcfDirectory(), dir);
    }
    // One character short of the directory buffer's limit, and the separator is added.
    platform::setEnv("KCFDIR", std::string(1022, 'd').c_str());
    EXPECT_EQ(initialKcfDirectory(), std::string(1022, 'd') + "\\");
    // Unset, empty and too long for the buffer: the library's directory.
    const std::string tooLong(1023, 'd');
    for (const char* value : {static_cast<const char*>(nullptr), "", tooLong.c_str()}) {
        platform::setEnv("KCFDIR", value);
        EXPECT_EQ(initialKcfDirectory(), libraryDir) << (value ? value : "(unset)");
    }
    platform::setEnv("KCFDIR", hadValue ? saved.c_str() : nullptr);
}

// One controller per process until it is closed; a close that fails has released the
// controller, yet the plain layer keeps counting it as open.
TEST(PlainLifecycle, OneControllerPerProcessAndAFailedCloseIsFinal) {
    expectInFreshProcess([] {
        platform::setEnv("DORVANE_DRIVER", "vpod");
        transport::setFtdiDriver(nullptr);
        vpod::control::loadDefaultBoard();
        FRESH_CHECK(open_kpx("USB") == 0u && kpx_handle() == 1u);
        // Refused while open; recorded in the process slot and on the open controller, which
        // the plain reader consults.
        FRESH_CHECK(open_kpx("USB") == 1u && globalLastError() == err::STILL_ACTIVE);
        FRESH_CHECK(x_kpxErrorNbr(0) == kStillActiveNumber && kpx_error_nbr() == kStillActiveNumber);
        FRESH_CHECK(std::string(x_kpxErrorMsg(0)) == "controller still active");
        recordError(nullptr, 0);
        FRESH_CHECK(kpx_get_controller_type(nullptr) == 1u);   // a failing call in between
        FRESH_CHECK(resume_kpx("USB") == 1u && kpx_error_nbr() == kStillActiveNumber);
        // The controller is still usable, also through the x_ layer.
        uint32_t type = 0;
        FRESH_CHECK(kpx_get_controller_type(&type) == 0u && x_kpxGetControllerType(kpx_handle(), &type) == 0u);
        FRESH_CHECK(close_kpx() == 0u && kpx_handle() == kNoHandle);
        FRESH_CHECK(kpx_get_controller_type(&type) == 1u);
        FRESH_CHECK(kpx_error_nbr() == publicNumber(err::INVALID_KPX_HANDLE));

        FRESH_CHECK(open_kpx("USB") == 0u);
        const uint32_t handle = kpx_handle();
        FRESH_CHECK(vpod::control::failNext("DV000001A", vpod::control::Op::Close, 4, 1));
        FRESH_CHECK(close_kpx() == 1u && kpx_handle() == handle);
        FRESH_CHECK(close_kpx() == 1u && kpx_error_nbr() == publicNumber(err::INVALID_KPX_HANDLE));
        FRESH_CHECK(open_kpx("USB") == 1u && kpx_error_nbr() == kStillActiveNumber);
        FRESH_CHECK(x_scanIr(handle, 1, nullptr, 0, nullptr) == 1u);
        FRESH_CHECK(x_kpxErrorNbr(handle) == publicNumber(err::INVALID_KPX_HANDLE));
    });
}

// Unloading the shared library while a controller is open must neither crash nor leave the
// controller's receive thread behind in code that is no longer mapped.
TEST(Unload, OpenControllersEndWithTheLibrary) {
    const std::string path = std::string(DORVANE_BINARY_DIR) + "/libdorvane.so";
    if (!platform::fileExists(path) || threadCount() == 0) GTEST_SKIP() << "needs " << path;
    expectInFreshProcess([&path] {
        platform::Thread().start([](void*) {}, nullptr);   // a sanitizer's helper starts with a first thread
        const size_t before = testenv::settledThreadCount();
        platform::setEnv("DORVANE_DRIVER", "vpod");
        void* lib = platform::loadLibrary(path.c_str());
        FRESH_CHECK(lib != nullptr);
        auto openKpx = reinterpret_cast<uint32_t (*)(uint32_t*, const char*)>(platform::librarySymbol(lib, "x_openKpx"));
        auto tmsReset = reinterpret_cast<uint32_t (*)(uint32_t, uint32_t)>(platform::librarySymbol(lib, "x_tmsReset"));
        uint32_t h = 0;
        FRESH_CHECK(openKpx(&h, "USB") == 0u);
        FRESH_CHECK(tmsReset(h, 1) == 0u);   // through the receive thread
        FRESH_CHECK(testenv::waitFor([&] { return threadCount() > before; }));
        platform::freeLibrary(lib);
        FRESH_CHECK(testenv::waitFor([&] { return threadCount() == before; }));
    });
}

}  // namespace
