// The named mutex between threads and between processes, child processes, environment,
// paths, files and dynamic loading.
//
// The cross-process tests start this test program again; DORVANE_PLATFORM_CHILD tells the
// copy what to do, before GoogleTest runs anything.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace dorvane::platform {
namespace {

constexpr const char* kChildVar = "DORVANE_PLATFORM_CHILD";
constexpr int kTaken = 10, kBusy = 11, kEnvSeen = 12, kEnvMissing = 13, kGaveUp = 14, kUnknown = 15;

// "try|name", "hold|name|flagfile", "env|variable|value".
int childMain(const std::string& order) {
    std::vector<std::string> f;
    for (size_t start = 0;;) {
        const size_t bar = order.find('|', start);
        f.push_back(order.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    if (f[0] == "try" && f.size() == 2) {
        NamedMutex m(f[1].c_str());
        if (!m.lockFor(1)) return kBusy;
        m.unlock();
        return kTaken;
    }
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

// Starts this program as a child with the given order; the filter keeps a copy that somehow
// missed the order from running the tests again.
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

    ASSERT_TRUE(m.lock());
    EXPECT_EQ(runChild("try|" + name), kBusy);
    m.unlock();
    EXPECT_EQ(runChild("try|" + name), kTaken);

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

TEST(NamedMutex, IsRecursiveAndOwnedByAThread) {
    const std::string name = uniqueName("Dorvane-Test-Local-");
    NamedMutex m(name.c_str());
    NamedMutex sameName(name.c_str());
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(sameName.lockFor(10));   // the same mutex, owned by this thread
    std::atomic<int> other{-1};
    std::pair<NamedMutex*, std::atomic<int>*> ctx(&sameName, &other);
    auto run = [&] {
        Thread t;
        ASSERT_TRUE(t.start(
            [](void* p) {
                auto* c = static_cast<std::pair<NamedMutex*, std::atomic<int>*>*>(p);
                const bool got = c->first->lockFor(10);
                if (got) c->first->unlock();
                c->second->store(got ? 1 : 0);
            },
            &ctx));
        t.join();
    };
    m.unlock();
    run();
    EXPECT_EQ(other, 0);   // held once more
    {
        Thread t;   // a thread that does not own it cannot release it
        ASSERT_TRUE(t.start([](void* p) { static_cast<NamedMutex*>(p)->unlock(); }, &m));
        t.join();
    }
    run();
    EXPECT_EQ(other, 0);
    sameName.unlock();
    run();
    EXPECT_EQ(other, 1);
}

TEST(Process, ChildSeesTheEnvironmentAndReportsItsExitCode) {
    const std::string var = "DORVANE_TEST_VALUE";
    ASSERT_TRUE(setEnv(var.c_str(), "with space \"and quote\""));
    EXPECT_EQ(runChild("env|" + var + "|with space \"and quote\""), kEnvSeen);
    ASSERT_TRUE(setEnv(var.c_str(), nullptr));
    EXPECT_EQ(runChild("env|" + var + "|with space \"and quote\""), kEnvMissing);
    Process p;
    EXPECT_FALSE(p.start("", {}));
    int code = 0;
    EXPECT_FALSE(p.wait(0, code));
    Process missing;
    EXPECT_FALSE(missing.start(executablePath() + ".missing", {}));
}

TEST(Environment, SetsReadsAndRemoves) {
    const char* name = "DORVANE_PLATFORM_ENV";
    std::string v = "untouched";
    setEnv(name, nullptr);
    EXPECT_FALSE(getEnv(name, v));
    EXPECT_EQ(v, "untouched");
    ASSERT_TRUE(setEnv(name, "C:\\Data\\kcf"));
    ASSERT_TRUE(getEnv(name, v));
    EXPECT_EQ(v, "C:\\Data\\kcf");
    // Code that reads the C runtime's copy (std::getenv) sees the same value.
    ASSERT_NE(std::getenv(name), nullptr);
    EXPECT_STREQ(std::getenv(name), "C:\\Data\\kcf");
    ASSERT_TRUE(setEnv(name, nullptr));
    EXPECT_FALSE(getEnv(name, v));
    EXPECT_EQ(std::getenv(name), nullptr);
    EXPECT_FALSE(setEnv("A=B", "x"));
    EXPECT_FALSE(setEnv(nullptr, "x"));
    EXPECT_FALSE(getEnv(nullptr, v));
}

TEST(Environment, MachineDataDirectoryFollowsAllUsersProfile) {
    std::string saved;
    const bool had = getEnv("ALLUSERSPROFILE", saved);
    ASSERT_TRUE(setEnv("ALLUSERSPROFILE", "/some/where"));
    EXPECT_EQ(machineDataDirectory(), "/some/where");
    ASSERT_TRUE(setEnv("ALLUSERSPROFILE", nullptr));
    const std::string fallback = machineDataDirectory();
    EXPECT_TRUE(fallback.empty() || directoryExists(fallback)) << fallback;
    setEnv("ALLUSERSPROFILE", had ? saved.c_str() : nullptr);
}

TEST(Paths, BackslashesSeparateEverywhere) {
    testing::ScratchDir dir;
    const std::string nested = dir.str() + "\\a\\b/c";
    EXPECT_FALSE(directoryExists(nested));
    ASSERT_TRUE(createDirectory(nested));
    EXPECT_TRUE(directoryExists(dir.str() + "/a/b/c"));
    EXPECT_TRUE(directoryExists(dir.str() + "\\a\\b\\c"));
    EXPECT_TRUE(createDirectory(nested + "\\"));   // exists already, trailing separator
    EXPECT_TRUE(fileExists(nested));
    EXPECT_FALSE(fileReadable(nested));   // a directory is not a readable file

    const std::string file = dir.str() + "\\a\\note.txt";
    ASSERT_TRUE(replaceFile(file, "first"));
    ASSERT_TRUE(replaceFile(file, "second"));
    std::string text;
    ASSERT_TRUE(readFile(dir.str() + "/a/note.txt", text));
    EXPECT_EQ(text, "second");
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileReadable(file));
    EXPECT_FALSE(directoryExists(file));
    EXPECT_FALSE(createDirectory(file));            // a file stands in the way
    EXPECT_FALSE(createDirectory(file + "\\sub"));
    EXPECT_FALSE(replaceFile(nested, "x"));         // nor can a directory be replaced
    EXPECT_TRUE(removeFile(file));
    EXPECT_FALSE(fileExists(file));
    EXPECT_TRUE(removeFile(file));                  // gone already
    EXPECT_FALSE(readFile(file, text));
    EXPECT_FALSE(fileExists(""));
    EXPECT_FALSE(createDirectory(""));
}

TEST(Paths, NormalisedPathsUseTheNativeSeparator) {
    const std::string p = normalisePath("dir\\sub\\file.Kcf");
    EXPECT_TRUE(p == "dir/sub/file.Kcf" || p == "dir\\sub\\file.Kcf") << p;
    EXPECT_EQ(normalisePath("plain"), "plain");
}

TEST(Module, PathsNameExistingFiles) {
    const std::string module = modulePath();
    const std::string exe = executablePath();
    ASSERT_FALSE(module.empty());
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fileReadable(module)) << module;
    EXPECT_TRUE(fileReadable(exe)) << exe;
    // The library code is linked into this test program, so both name the same file.
    EXPECT_EQ(module, exe);
}

TEST(DynamicLibrary, LoadsTheBuiltLibraryAndFindsAnExport) {
    EXPECT_EQ(loadLibrary(nullptr), nullptr);
    EXPECT_EQ(loadLibrary("no-such-library-here.so.0"), nullptr);
    EXPECT_EQ(librarySymbol(nullptr, "x"), nullptr);
    freeLibrary(nullptr);
    std::string path;
    for (const char* name : {"/libdorvane.so", "/Dorvane.dll"}) {
        if (fileExists(std::string(DORVANE_BINARY_DIR) + name)) path = std::string(DORVANE_BINARY_DIR) + name;
    }
    if (path.empty()) GTEST_SKIP() << "the shared library is not built in " << DORVANE_BINARY_DIR;
    void* lib = loadLibrary(path.c_str());
    ASSERT_NE(lib, nullptr) << path;
    EXPECT_NE(librarySymbol(lib, "kpx_error_nbr"), nullptr);
    EXPECT_NE(librarySymbol(lib, "x_openKpx"), nullptr);
    EXPECT_EQ(librarySymbol(lib, "no_such_export"), nullptr);
    EXPECT_EQ(librarySymbol(lib, nullptr), nullptr);
    // Not unloaded: the library keeps its device mutex for the life of the process.
}

}  // namespace
}  // namespace dorvane::platform
