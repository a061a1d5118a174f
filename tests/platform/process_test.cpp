// Named mutex across processes (within one: sync_test), child processes, environment, paths
// and dynamic loading. The cross-process tests start this program again;
// DORVANE_PLATFORM_CHILD tells the copy what to do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace dorvane::platform {
namespace {

constexpr const char* kChildVar = "DORVANE_PLATFORM_CHILD";
constexpr int kBusy = 11, kEnvSeen = 12, kEnvMissing = 13, kGaveUp = 14, kUnknown = 15;

// "hold|name|flagfile", "env|variable|value".
int childMain(const std::string& order) {
    std::vector<std::string> f;
    for (size_t start = 0, bar = 0; bar != std::string::npos; start = bar + 1)
        f.push_back(order.substr(start, (bar = order.find('|', start)) - start));
    if (f[0] == "hold" && f.size() == 3) {
        NamedMutex m(f[1].c_str());
        if (!m.lock()) return kBusy;
        if (!replaceFile(f[2], "locked")) return kUnknown;
        // Held until the parent kills this process; never linger if it does not.
        for (int i = 0; i < 600; ++i) sleepMs(100);
        return kGaveUp;
    }
    if (f[0] == "env" && f.size() == 3) {
        std::string v;
        return getEnv(f[1].c_str(), v) && v == f[2] ? kEnvSeen : kEnvMissing;
    }
    return kUnknown;
}

[[maybe_unused]] const int childDispatch = [] {
    std::string order;
    if (getEnv(kChildVar, order)) std::_Exit(childMain(order));
    return 0;
}();

std::string uniqueName(const char* prefix) {
    std::random_device rd;
    return std::string(prefix) + std::to_string(rd()) + "-" + std::to_string(millisecondTimer());
}

// Starts this program as a child; the filter keeps a copy that missed the order from testing.
bool startChild(Process& p, const std::string& order) {
    EXPECT_TRUE(setEnv(kChildVar, order.c_str()));
    const bool ok = p.start(executablePath(), {"--gtest_filter=NoSuchTest.NoSuchCase"});
    setEnv(kChildVar, nullptr);
    return ok;
}

int runChild(const std::string& order) {
    Process p;
    if (!startChild(p, order)) return -1;
    int code = -1;
    EXPECT_TRUE(p.wait(120000, code));
    return code;
}

TEST(NamedMutex, ExcludesOtherProcessesAndIsFreedWhenTheHolderDies) {
    testing::ScratchDir dir;
    const std::string name = uniqueName("Dorvane-Test-Mutex-");
    NamedMutex m(name.c_str());
    ASSERT_TRUE(m.valid());
    const std::string flag = dir.file("held.flag");
    Process holder;
    ASSERT_TRUE(startChild(holder, "hold|" + name + "|" + flag));
    const uint32_t start = millisecondTimer();
    while (!fileExists(flag) && millisecondTimer() - start < 120000) sleepMs(1);
    ASSERT_TRUE(fileExists(flag));
    EXPECT_FALSE(m.lockFor(20));
    int code = 0;
    EXPECT_FALSE(holder.wait(0, code));   // still running, still holding
    holder.kill();
    ASSERT_TRUE(holder.wait(120000, code));
    EXPECT_TRUE(m.lockFor(60000));   // released by the holder's death
    m.unlock();
}

TEST(Process, ChildSeesTheEnvironmentAndReportsItsExitCode) {
    const std::string var = "DORVANE_TEST_VALUE", value = "with space \"and quote\"";
    ASSERT_TRUE(setEnv(var.c_str(), value.c_str()));
    EXPECT_EQ(runChild("env|" + var + "|" + value), kEnvSeen);
    ASSERT_TRUE(setEnv(var.c_str(), nullptr));
    EXPECT_EQ(runChild("env|" + var + "|" + value), kEnvMissing);
    Process p;
    EXPECT_FALSE(p.start("", {}));
    EXPECT_FALSE(p.start(executablePath() + ".missing", {}));
}

TEST(Environment, SetsReadsAndRemovesForTheRuntimeToo) {
    const char* name = "DORVANE_PLATFORM_ENV";
    std::string v = "untouched";
    ASSERT_TRUE(setEnv(name, "C:\\Data\\kcf"));
    ASSERT_TRUE(getEnv(name, v));
    EXPECT_EQ(v, "C:\\Data\\kcf");
    ASSERT_NE(std::getenv(name), nullptr);   // code reading the C runtime's copy sees it
    EXPECT_STREQ(std::getenv(name), "C:\\Data\\kcf");
    ASSERT_TRUE(setEnv(name, nullptr));
    v = "untouched";
    EXPECT_FALSE(getEnv(name, v));
    EXPECT_EQ(v, "untouched");
    EXPECT_EQ(std::getenv(name), nullptr);
    EXPECT_FALSE(setEnv("A=B", "x"));
    EXPECT_FALSE(setEnv(nullptr, "x"));
    EXPECT_FALSE(getEnv(nullptr, v));
}

TEST(Paths, BackslashesSeparateEverywhere) {
    testing::ScratchDir dir;
    const std::string nested = dir.str() + "\\a\\b/c";
    ASSERT_TRUE(createDirectory(nested));
    EXPECT_TRUE(directoryExists(dir.str() + "/a/b/c"));
    EXPECT_TRUE(createDirectory(nested + "\\"));   // exists already, trailing separator
    EXPECT_FALSE(fileReadable(nested));           // a directory is not a readable file

    const std::string file = dir.str() + "\\a\\note.txt";
    ASSERT_TRUE(replaceFile(file, "first"));
    ASSERT_TRUE(replaceFile(file, "second"));
    std::string text;
    ASSERT_TRUE(readFile(dir.str() + "/a/note.txt", text));
    EXPECT_EQ(text, "second");
    EXPECT_FALSE(directoryExists(file));
    EXPECT_FALSE(createDirectory(file + "\\sub"));   // a file stands in the way
    EXPECT_FALSE(replaceFile(nested, "x"));          // nor can a directory be replaced
    EXPECT_TRUE(removeFile(file));
    EXPECT_FALSE(fileExists(file));
    EXPECT_TRUE(removeFile(file));                   // gone already
    EXPECT_FALSE(readFile(file, text));
    EXPECT_FALSE(createDirectory(""));
}

TEST(DynamicLibrary, LoadsTheBuiltLibraryAndFindsAnExport) {
    EXPECT_EQ(modulePath(), executablePath());   // the library code is linked into this program
    EXPECT_TRUE(fileReadable(modulePath())) << modulePath();
    EXPECT_EQ(loadLibrary(nullptr), nullptr);
    EXPECT_EQ(loadLibrary("no-such-library-here.so.0"), nullptr);
    EXPECT_EQ(librarySymbol(nullptr, "x"), nullptr);
    std::string path;
    for (const char* name : {"/libdorvane.so", "/Dorvane.dll"}) {
        if (fileExists(std::string(DORVANE_BINARY_DIR) + name)) path = std::string(DORVANE_BINARY_DIR) + name;
    }
    if (path.empty()) GTEST_SKIP() << "the shared library is not built in " << DORVANE_BINARY_DIR;
    void* lib = loadLibrary(path.c_str());
    ASSERT_NE(lib, nullptr) << path;
    EXPECT_NE(librarySymbol(lib, "x_openKpx"), nullptr);
    EXPECT_EQ(librarySymbol(lib, "no_such_export"), nullptr);
    // Not unloaded: the library keeps its device mutex for the life of the process.
}

}  // namespace
}  // namespace dorvane::platform
