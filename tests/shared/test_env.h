// What tests that reach past the library share: scratch directories and raw file access, waits,
// the process's thread count, and copies of the test program that carry out an order.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace testenv {

class ScratchDir {
public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() / ("dorvane-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
private:
    std::filesystem::path path_;
};

inline void writeRaw(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

inline std::string readRaw(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Up to 10 s for cond to come true.
template <typename F>
bool waitFor(F&& cond) {
    for (int i = 0; i < 1000; ++i, dorvane::platform::sleepMs(10))
        if (cond()) return true;
    return false;
}

// Entries of a /proc/self folder (threads, open files), or 0 where the system does not list them.
inline size_t procEntries(const char* dir) {
    std::error_code ec;
    size_t n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return ec ? 0 : n;
}
inline size_t threadCount() { return procEntries("/proc/self/task"); }
inline size_t settledThreadCount() {   // a joined thread can stay listed a moment after its join
    size_t n = 0;
    for (int same = 0; same < 4; dorvane::platform::sleepMs(5)) { const size_t m = threadCount(); same = m == n ? same + 1 : 0; n = m; }
    return n;
}
// Not on Windows: under wine the folder lists wine's own host files too.
inline size_t openFileCount() {
#ifdef _WIN32
    return 0;
#else
    return procEntries("/proc/self/fd");
#endif
}

// A copy of this program started with the order in DORVANE_TEST_CHILD; the copy hands it to
// runChildOrder and ends with the order's result as its exit code. The filter names the tests
// the copy needs to get that far (none where it dispatches before main).
constexpr const char* kChildVar = "DORVANE_TEST_CHILD";
struct Child {
    explicit Child(const std::string& order, const std::string& filter = "NoSuchTest.NoSuchCase") {
        dorvane::platform::setEnv(kChildVar, order.c_str());
        EXPECT_TRUE(process.start(dorvane::platform::executablePath(), {"--gtest_filter=" + filter}));
        dorvane::platform::setEnv(kChildVar, nullptr);
    }
    int result() {
        int code = -1;
        EXPECT_TRUE(process.wait(120000, code));
        return code;
    }
    dorvane::platform::Process process;
};

// In a copy started by Child: carries out its order and ends the process. Elsewhere returns.
inline void runChildOrder(int (*childMain)(const std::string&)) {
    std::string order;
    if (dorvane::platform::getEnv(kChildVar, order)) std::_Exit(childMain(order));
}

}  // namespace testenv
