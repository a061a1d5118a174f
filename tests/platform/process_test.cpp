// Named mutex across processes (within one: sync_test), child processes, environment and
// paths. The cross-process test starts this program again with an order (testenv::Child).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "../shared/test_env.h"
#include "platform/platform.h"

namespace dorvane::platform {
namespace {

constexpr int kBusy = 11, kGaveUp = 14, kUnknown = 15;

// "hold|name|flagfile": locks the named mutex, says so in the flag file, holds it until killed.
int childMain(const std::string& order) {
    std::vector<std::string> f;
    for (size_t start = 0, bar = 0; bar != std::string::npos; start = bar + 1)
        f.push_back(order.substr(start, (bar = order.find('|', start)) - start));
    if (f[0] != "hold" || f.size() != 3) return kUnknown;
    NamedMutex m(f[1].c_str());
    if (!m.lock()) return kBusy;
    if (!replaceFile(f[2], "locked")) return kUnknown;
    for (int i = 0; i < 600; ++i) sleepMs(100);   // never linger if the parent does not kill it
    return kGaveUp;
}

[[maybe_unused]] const int childDispatch = (testenv::runChildOrder(childMain), 0);

std::string uniqueName(const char* prefix) {
    std::random_device rd;
    return std::string(prefix) + std::to_string(rd()) + "-" + std::to_string(millisecondTimer());
}

TEST(NamedMutex, ExcludesOtherProcessesAndIsFreedWhenTheHolderDies) {
    testenv::ScratchDir dir;
    const std::string name = uniqueName("Dorvane-Test-Mutex-");
    NamedMutex m(name.c_str());
    ASSERT_TRUE(m.valid());
    const std::string flag = dir.file("held.flag");
    testenv::Child holder("hold|" + name + "|" + flag);
    ASSERT_TRUE(testenv::waitFor([&] { return fileExists(flag); }));
    EXPECT_FALSE(m.lockFor(20));
    int code = 0;
    EXPECT_FALSE(holder.process.wait(0, code));   // still running, still holding
    holder.process.kill();
    ASSERT_TRUE(holder.process.wait(120000, code));
    EXPECT_TRUE(m.lockFor(60000));   // released by the holder's death
    m.unlock();
}

// The environment reaching a child is every Child order's way in (here and in the suspend tests).
TEST(Process, StartFailsForAProgramThatIsNotThere) {
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
    testenv::ScratchDir dir;
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

}  // namespace
}  // namespace dorvane::platform
