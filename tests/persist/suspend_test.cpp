// Suspend, resume, modes and device ownership across processes. One vpod server process
// (dorvane-vpod serve) owns the board for this program and for the copies of it started with an
// order (testenv::Child), which take the controller up as the next program of a production
// station would. All of them share a private suspend store (ALLUSERSPROFILE points into a
// scratch directory).
#include <cstring>
#include <filesystem>
#include <random>

#include "../../tools/cmd_suspend.h"
#include "../shared/test_env.h"
#include "../shared/vpod_fixture.h"
#include "persist/persist.h"
#include "transport/driver_providers.h"
#include "vpod/vpod.h"

using namespace dorvane;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr const char* kAddress = "USBFsuspend";   // the KCF below: TRST on DataBus4
constexpr const char* kSection = "USB0,Dual RS232 A";
constexpr const char* kIface = "DV000001A";
constexpr int32_t kPauseDr = 3;
constexpr uint32_t kKHz = 1000;   // the clock every suspend here leaves

// What a child reports by its exit code.
enum { kOk = 0, kCheckFailed = 1, kRefused = 2, kBadOrder = 3 };

int32_t publicNumber(uint32_t code) { return findError(code).publicNumber; }

using boards::replaced;
using testenv::readRaw;
using testenv::waitFor;
using testenv::writeRaw;

// ---- the child side ---------------------------------------------------------------------------

#define CHILD_CHECK(cond)                                                              \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "child: %s failed: %s\n", #cond, kpx_error_msg());     \
            return kCheckFailed;                                                       \
        }                                                                              \
    } while (0)

// "resume": resumes through the plain layer and checks what it took back (kKHz, Pause-DR
// reached with TMS low); the controller stays resumed until the process ends.
// "race <gate>" / "open <gate>": resumes (or opens); the winner holds the controller until the
// gate mutex is free.
// "store <prefix>": suspend records of kEachStore controllers, named prefix1 onwards.
// "unavailable": suspends and resumes without a usable store.
// "hold": opens and scans until it is killed.
constexpr int kEachStore = 60;
int childMain(const std::string& order) {
    const size_t space = order.find(' ');
    const std::string verb = order.substr(0, space), arg = space == std::string::npos ? "" : order.substr(space + 1);
    if (verb == "resume") {
        if (resume_kpx(kAddress) != 0) return kRefused;
        const uint32_t h = kpx_handle();
        {
            auto ctx = locked(h);
            CHILD_CHECK(ctx && transportOf(ctx).tckKHz == kKHz && tapsOf(ctx).tapState[1] == 0);
            CHILD_CHECK(transportOf(ctx).trstReleased[1] == 0 && transportOf(ctx).tmsHigh[1] == 0);
        }
        CHILD_CHECK(resume_kpx(kAddress) == 1 && kpx_error_nbr() == publicNumber(err::STILL_ACTIVE));
        CHILD_CHECK(x_scanDr(h, 1, nullptr, 8, nullptr) == 1 && x_kpxErrorNbr(h) == publicNumber(err::STATE_UNKNOWN));
        return kOk;
    }
    if (verb == "race" || verb == "open") {
        uint32_t h = kNone;
        if ((verb == "open" ? x_openKpx(&h, kAddress) : x_resumeKpx(&h, kAddress)) != 0) {
            CHILD_CHECK(h == kNone && kpx_error_nbr() == publicNumber(err::SERIAL_NOT_FOUND));
            return kRefused;
        }
        platform::NamedMutex gate(arg.c_str());
        CHILD_CHECK(gate.lock());
        gate.unlock();
        return kOk;
    }
    if (verb == "store") {
        const uint32_t record[3] = {0, 0, 1000};
        for (int i = 1; i <= kEachStore; ++i)
            CHILD_CHECK(persist::storeSuspendInfo(persist::storePath(), (arg + std::to_string(i)).c_str(), record));
        return kOk;
    }
    if (verb == "unavailable") {
        uint32_t h = kNone;
        CHILD_CHECK(x_openKpx(&h, kAddress) == 0);
        CHILD_CHECK(x_suspendKpx(h) == 1 && kpx_error_nbr() == publicNumber(err::SUSPEND_NOT_STORED));
        CHILD_CHECK(x_closeKpx(h) == 1 && kpx_error_nbr() == publicNumber(err::INVALID_KPX_HANDLE));
        CHILD_CHECK(x_resumeKpx(&h, kAddress) == 1 && kpx_error_nbr() == publicNumber(err::ILLEGAL_RESUME));
        CHILD_CHECK(h == kNone && x_openKpx(&h, kAddress) == 0 && x_closeKpx(h) == 0);
        return kOk;
    }
    if (verb == "hold") {
        uint32_t h = kNone;
        CHILD_CHECK(x_openKpx(&h, kAddress) == 0 && x_tmsReset(h, 1) == 0);
        uint16_t id[2];
        while (x_scanDr(h, 1, nullptr, 32, id) == 0) {
        }
        return kCheckFailed;
    }
    return kBadOrder;
}

// ---- the parent side --------------------------------------------------------------------------

// The scratch directory, the store, the KCF file and the vpod server, made before any test.
// In a child the same set-up runs the child's order instead and ends the process.
class World : public ::testing::Environment {
public:
    void SetUp() override {
        testenv::runChildOrder(childMain);
        std::random_device rd;
        root_ = std::filesystem::temp_directory_path() / ("dorvane-persist-" + std::to_string(rd()));
        std::filesystem::create_directories(root_ / "kcf");
        writeRaw((root_ / "kcf" / "suspend.Kcf").string(), "[FT2232Kpx]\nVersion=1.0.0.0\nTrstPin=DataBus4\n");
        platform::setEnv("KCFDIR", ((root_ / "kcf").string() + "/").c_str());
        setKcfDirectory((root_ / "kcf").string() + "/");
        platform::setEnv("ALLUSERSPROFILE", (root_ / "all users").string().c_str());
        store_ = (root_ / "all users" / "Quillon" / "devices" / "dorvane.ini").string();

        // The server, and every vpod of this program and its children its client.
#ifdef _WIN32
        socket_ = std::to_string(20000 + std::random_device()() % 20000);   // a port on 127.0.0.1
#else
        socket_ = (root_ / "vpod.sock").string();
#endif
        ASSERT_TRUE(server_.start(DORVANE_BINARY_DIR "/vpod/server/dorvane-vpod" DORVANE_EXE, {"serve", "--socket", socket_}));
        platform::setEnv("DORVANE_VPOD_SERVER", socket_.c_str());
        platform::setEnv("DORVANE_DRIVER", "vpod");
        transport::setFtdiDriver(&transport::vpodDriver());
        ASSERT_TRUE(waitFor([] { return !vpod::control::interfaces().empty(); }));
    }
    void TearDown() override {
        server_.stop();   // SIGTERM: a clean stop that takes its socket along (Windows ends it)
        int code = -1;
        EXPECT_TRUE(server_.wait(10000, code));
#ifndef _WIN32
        EXPECT_EQ(code, 0);
        EXPECT_FALSE(std::filesystem::exists(socket_));
#endif
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    static const std::string& store() { return store_; }
    static std::filesystem::path root() { return root_; }

private:
    platform::Process server_;
    std::string socket_;
    static inline std::filesystem::path root_;
    static inline std::string store_;
};

[[maybe_unused]] ::testing::Environment* const world = ::testing::AddGlobalTestEnvironment(new World);

// A copy of this program that carries out order; it does so in World's set-up, which gtest runs
// only when a test is to run.
struct Child : testenv::Child {
    explicit Child(const std::string& order) : testenv::Child(order, "Suspend.*") {}
};

// What the pod shows: pins, TRST, clocks given, the TAP's state and reset count.
std::string podState() {
    vpod::control::ChipState s;
    vpod::control::TapInfo tap;
    EXPECT_TRUE(vpod::control::chipState(kIface, &s));
    EXPECT_TRUE(vpod::control::tapInfo(kIface, 1, &tap));
    char text[160];
    std::snprintf(text, sizeof text, "low %02X/%02X high %02X/%02X trst %d tck %llu tap %s resets %llu",
                  s.lowValue, s.lowDirection, s.highValue, s.highDirection, s.trstAsserted ? 1 : 0,
                  static_cast<unsigned long long>(s.tckCycles), vpod::control::tapStateName(tap.state),
                  static_cast<unsigned long long>(tap.resets));
    return text;
}

class Suspend : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove(World::store()); }
    void TearDown() override {
        if (h != kNone) x_closeKpx(h);
    }
    // Opens the controller at kKHz with the TAP in Pause-DR, then holds TRST low.
    void openAndSuspend() {
        ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();
        ASSERT_EQ(x_setScanFrequency(h, kKHz), 0u);
        ASSERT_EQ(x_tmsReset(h, 1), 0u);
        ASSERT_EQ(x_moveToState(h, 1, kPauseDr), 0u);
        ASSERT_EQ(x_setTrst(h, 1, 0), 0u);
        ASSERT_EQ(x_suspendKpx(h), 0u) << x_kpxErrorMsg(h);
        EXPECT_EQ(x_closeKpx(h), 1u);   // the handle ended with the suspend
        h = kNone;
    }
    uint32_t h = kNone;
};

TEST_F(Suspend, AnotherProcessResumesWithTheClockAndThePinsAsTheyWereUntilAPortCycle) {
    openAndSuspend();
    const std::string before = podState();
    EXPECT_EQ(Child("resume").result(), kOk);
    EXPECT_EQ(podState(), before);                 // no pin, clock or TAP change on either side

    // The section stays after a resume; the next one carries on from it.
    ASSERT_EQ(x_resumeKpx(&h, kAddress), 0u) << kpx_error_msg();
    EXPECT_EQ(podState(), before);
    EXPECT_EQ(x_scanAssumeState(h, 1, kPauseDr), 1u);   // TRST was held low at suspend
    EXPECT_EQ(x_kpxErrorNbr(h), publicNumber(err::TRST_ACTIVE));
    ASSERT_EQ(x_setTrst(h, 1, 1), 0u);
    uint16_t id[2] = {};
    ASSERT_EQ(x_scanDr(h, 1, nullptr, 32, id), 0u) << x_kpxErrorMsg(h);
    EXPECT_EQ(id[0] | (uint32_t{id[1]} << 16), 0x4BA00477u);   // IDCODE after the TRST reset
    vpod::control::ChipState s;
    ASSERT_TRUE(vpod::control::chipState(kIface, &s));
    EXPECT_EQ(s.divisor, 29);   // 60 MHz / (2 * (29 + 1)) = 1000 kHz, sent by the first scan

    // A port cycle (mode 5) ends the handle and removes the section, as a close does (the
    // tool's test closes): the controller cannot be resumed any more, the chip came back reset.
    uint32_t cycle[1] = {1};
    EXPECT_EQ(x_setMode(h, 5, cycle), 0u) << x_kpxErrorMsg(h);
    EXPECT_EQ(x_tmsReset(h, 1), 1u);
    EXPECT_EQ(kpx_error_nbr(), publicNumber(err::INVALID_KPX_HANDLE));
    h = kNone;
    ASSERT_TRUE(vpod::control::chipState(kIface, &s));
    EXPECT_EQ(s.bitMode, 0);
    EXPECT_EQ(readRaw(World::store()), "[Magic]\r\nVersion=V1.0.0.0\r\n");
    EXPECT_EQ(x_resumeKpx(&h, kAddress), 1u);
    EXPECT_EQ(kpx_error_nbr(), publicNumber(err::ILLEGAL_RESUME));
    ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();
    EXPECT_EQ(x_tmsReset(h, 1), 0u);
}

TEST_F(Suspend, TheStoreHoldsTheRecordAndDropsStaleKeys) {
    std::filesystem::create_directories(std::filesystem::path(World::store()).parent_path());
    writeRaw(World::store(), std::string("[Other]\r\nClock=01000000020000000300000006\r\n[") + kSection +
                                  "]\r\nVoltage=0102030405060708\r\nThreshold=01020304050607081C\r\n"
                                  "Clock=00\r\n");
    openAndSuspend();
    std::string golden = readRaw(DORVANE_SOURCE_DIR "/tests/persist/golden_store.ini");
    for (size_t at = 0; (at = golden.find('\n', at)) != std::string::npos; at += 2) golden.insert(at, "\r");
    EXPECT_EQ(readRaw(World::store()), golden);
}

TEST_F(Suspend, ARefusedResumeChangesNothing) {
    struct Row {
        const char* what;
        std::string (*damage)(const std::string&);
    };
    const Row rows[] = {
        {"no store", nullptr},
        {"another version", [](const std::string& t) { return replaced(t, "V1.0.0.0", "V1.0.0.1"); }},
        {"no Clock", [](const std::string& t) { return replaced(t, "Clock=", "Clocks="); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        openAndSuspend();
        if (row.damage) writeRaw(World::store(), row.damage(readRaw(World::store())));
        else std::filesystem::remove(World::store());
        const std::string pins = podState(), bytes = readRaw(World::store());

        EXPECT_EQ(x_resumeKpx(&h, kAddress), 1u);
        EXPECT_EQ(kpx_error_nbr(), publicNumber(err::ILLEGAL_RESUME));
        EXPECT_EQ(h, kNone);
        EXPECT_EQ(podState(), pins);
        EXPECT_EQ(readRaw(World::store()), bytes);
        ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();   // the device was let go
        ASSERT_EQ(x_closeKpx(h), 0u);
        h = kNone;
        if (row.damage && std::strcmp(row.what, "another version") == 0) {
            EXPECT_EQ(readRaw(World::store()), bytes);   // close keeps sections of a foreign store
        }
    }
    EXPECT_EQ(x_resumeKpx(nullptr, kAddress), 1u);
    EXPECT_EQ(kpx_error_nbr(), publicNumber(err::NULL_POINTER));
    EXPECT_EQ(x_resumeKpx(&h, nullptr), 1u);
    EXPECT_EQ(kpx_error_nbr(), publicNumber(err::NULL_POINTER));
}

TEST_F(Suspend, OfTwoProcessesRacingToResumeOrOpenExactlyOneWins) {
    for (const bool open : {false, true}) {
        SCOPED_TRACE(open ? "open" : "resume");
        if (!open) openAndSuspend();
        const std::string bytes = readRaw(World::store());
        std::random_device rd;
        const std::string gate = "Dorvane-Persist-Gate-" + std::to_string(rd());
        platform::NamedMutex mutex(gate.c_str());
        ASSERT_TRUE(mutex.lock());
        Child child((open ? "open " : "race ") + gate);
        const uint32_t mine = open ? x_openKpx(&h, kAddress) : x_resumeKpx(&h, kAddress);
        const int32_t myError = kpx_error_nbr();
        mutex.unlock();
        const int theirs = child.result();

        EXPECT_NE(theirs, kCheckFailed);
        EXPECT_TRUE((mine == 0 && theirs == kRefused) || (mine == 1 && theirs == kOk)) << mine << " " << theirs;
        if (mine == 1) {
            EXPECT_EQ(myError, publicNumber(err::SERIAL_NOT_FOUND));
        }
        EXPECT_EQ(readRaw(World::store()), bytes);
        if (mine == 0) {   // the winner's controller works
            EXPECT_EQ(x_setTrst(h, 1, 1), 0u) << x_kpxErrorMsg(h);
            EXPECT_EQ(x_closeKpx(h), 0u);
        }
        h = kNone;
    }
}

TEST_F(Suspend, AnInterfaceIsBusyForOtherProcessesUntilItsHolderDies) {
#ifdef _WIN32
    GTEST_SKIP() << "under wine a killed process's connection to the server can outlive it";
#endif
    vpod::control::ChipState before, s;
    ASSERT_TRUE(vpod::control::chipState(kIface, &before));
    Child holder("hold");
    ASSERT_TRUE(waitFor([&] {   // the holder scans
        return vpod::control::chipState(kIface, &s) && s.tckCycles > before.tckCycles + 20000;
    }));
    EXPECT_EQ(x_openKpx(&h, kAddress), 1u);
    EXPECT_EQ(kpx_error_nbr(), publicNumber(err::SERIAL_NOT_FOUND));
    vpod::Handle* raw = nullptr;
    EXPECT_EQ(vpod::openEx(kIface, vpod::kOpenBySerialNumber, &raw), vpod::kDeviceNotOpened);
    EXPECT_TRUE(vpod::control::isOpen(kIface));

    holder.process.kill();   // mid-scan
    int code = 0;
    ASSERT_TRUE(holder.process.wait(10000, code));
    // At once: no waiting for the server to notice; the device mutex died with its holder.
    platform::NamedMutex deviceMutex("Global-KV-FTDI-Mutex");
    ASSERT_TRUE(deviceMutex.lockFor(0));
    deviceMutex.unlock();
    ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();
    uint16_t id[2] = {};
    ASSERT_EQ(x_tmsReset(h, 1), 0u);
    ASSERT_EQ(x_scanDr(h, 1, nullptr, 32, id), 0u) << x_kpxErrorMsg(h);
    EXPECT_EQ(id[0] | (uint32_t{id[1]} << 16), 0x4BA00477u);
}

// The USB-level pod is a client of the same server: openocd through it is refused the interface
// this process holds, and scans the server's board once it is free.
TEST_F(Suspend, OpenOcdThroughTheUsbLevelPodIsOneMoreClient) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "openocd cannot load a sanitized pod";
#endif
    const std::string pod = DORVANE_BINARY_DIR "/vpod/usb/libdorvane_vpod_usb.so", openocd = "/usr/bin/openocd";
    if (!std::filesystem::exists(pod) || !std::filesystem::exists(openocd)) GTEST_SKIP() << "no openocd or USB-level pod";
    const std::string log = (World::root() / "openocd.log").string();
    auto scan = [&] {
        platform::Process p;
        platform::setEnv("LD_PRELOAD", pod.c_str());
        const bool started = p.start(openocd, {"-l", log, "-c", "adapter driver ftdi", "-c", "ftdi vid_pid 0x0403 0x6010",
                                               "-c", "ftdi channel 0", "-c", "ftdi layout_init 0x0008 0x000b",
                                               "-c", "transport select jtag", "-c", "init", "-c", "shutdown"});
        platform::setEnv("LD_PRELOAD", nullptr);
        int code = -1;
        return started && p.wait(60000, code) ? code : -1;
    };
    ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();
    EXPECT_NE(scan(), 0);
    ASSERT_EQ(x_closeKpx(h), 0u);
    h = kNone;
    vpod::control::TapInfo before, after;
    ASSERT_TRUE(vpod::control::tapInfo(kIface, 0, &before));
    EXPECT_EQ(scan(), 0) << readRaw(log);
    ASSERT_TRUE(vpod::control::tapInfo(kIface, 0, &after));
    EXPECT_GT(after.resets, before.resets);   // its chain scan ran on the server's board
}

TEST_F(Suspend, ProcessesSuspendingAtOnceKeepEachOthersSections) {
    // Every section is written once: a write based on a stale copy of the file would lose one.
    Child a("store USB0,A"), b("store USB0,B");
    EXPECT_EQ(a.result(), kOk);
    EXPECT_EQ(b.result(), kOk);
    int found = 0;
    uint8_t record[12];
    for (const char* prefix : {"USB0,A", "USB0,B"})
        for (int i = 1; i <= kEachStore; ++i)
            found += platform::getProfileStruct((prefix + std::to_string(i)).c_str(), "Clock", record, 12,
                                                World::store().c_str());
    EXPECT_EQ(found, 2 * kEachStore);
}

TEST_F(Suspend, WithoutAStoreTheControllerIsStillLetGo) {
    const std::filesystem::path blocked = World::root() / "blocked";
    std::filesystem::create_directories(blocked);
    writeRaw((blocked / "Quillon").string(), "not a directory");
    std::string mine;
    platform::getEnv("ALLUSERSPROFILE", mine);
    platform::setEnv("ALLUSERSPROFILE", blocked.string().c_str());
    EXPECT_EQ(Child("unavailable").result(), kOk);
    platform::setEnv("ALLUSERSPROFILE", mine.c_str());
}

TEST_F(Suspend, ModesRefuseBadCallsAndChangeNothing) {
    ASSERT_EQ(x_openKpx(&h, kAddress), 0u) << kpx_error_msg();
    struct Row {
        uint32_t mode;
        std::vector<uint32_t> params;   // empty: null pointer
        uint32_t error;
    };
    const Row rows[] = {
        {0, {1}, err::INVALID_MODE_ID},  {4, {1}, err::INVALID_MODE_ID},     {6, {1}, err::INVALID_MODE_ID},
        {10, {1}, err::INVALID_MODE_ID}, {12, {1}, err::INVALID_MODE_ID},    {5, {}, err::NULL_POINTER},
        {5, {0}, err::INVALID_CYCLE_TYPE}, {7, {}, err::NULL_POINTER},       {7, {1, 2, 0}, err::QRIO_LIST_TOO_LONG},
        {7, {1, 0}, err::NO_QRIO},       {7, {2, 0}, err::ILLEGAL_TAP_ID},   {8, {}, err::NULL_POINTER},
        {9, {}, err::NULL_POINTER},      {11, {}, err::NULL_POINTER},        {11, {2}, err::INVALID_ONE_TCK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        std::vector<uint32_t> p = row.params;
        EXPECT_EQ(x_setMode(h, row.mode, p.empty() ? nullptr : p.data()), 1u);
        EXPECT_EQ(x_kpxErrorNbr(h), publicNumber(row.error));
        auto ctx = locked(h);
        ASSERT_TRUE(ctx);   // still open
        EXPECT_EQ(persistOf(ctx).waitBySleep, 0u);
    }

    uint32_t p[2] = {0, 0};
    EXPECT_EQ(x_setMode(h, 7, p), 0u);
    EXPECT_EQ(x_setMode(h, 11, p), 0u);
    EXPECT_EQ(persistOf(locked(h)).waitBySleep, 1u);
    p[0] = 1;
    EXPECT_EQ(x_setMode(h, 11, p), 0u);
    EXPECT_EQ(persistOf(locked(h)).waitBySleep, 0u);
    for (uint32_t mode : {8u, 9u}) {
        uint32_t first[2] = {}, again[2] = {};
        ASSERT_EQ(x_setMode(h, mode, first), 0u);
        uint32_t* record = nullptr;
        std::memcpy(&record, first, sizeof record);
        record[0] = 7;   // the host may write into it; the next call resets it
        ASSERT_EQ(x_setMode(h, mode, again), 0u);
        EXPECT_EQ(std::memcmp(first, again, sizeof record), 0);
        const std::vector<uint32_t> want = mode == 8 ? std::vector<uint32_t>{0, 0} : std::vector<uint32_t>{1, 1, 0, 0, 0, 0};
        EXPECT_EQ(std::vector<uint32_t>(record, record + want.size()), want);
    }
}

TEST_F(Suspend, TheToolHandsTheControllerOn) {
    using dorvane::tools::runSuspendCommand;
    uint32_t record[3] = {};
    ASSERT_EQ(runSuspendCommand("suspend", kAddress, 1500, false), 0);   // opened: nothing to resume
    ASSERT_TRUE(persist::loadResumeInfo(World::store().c_str(), kSection, record));
    EXPECT_EQ(record[2], 1500u);
    ASSERT_EQ(runSuspendCommand("suspend", kAddress, 0, false), 0);      // resumed, clock kept
    EXPECT_EQ(runSuspendCommand("resume", kAddress, 0, true), 0);
    ASSERT_TRUE(persist::loadResumeInfo(World::store().c_str(), kSection, record));
    EXPECT_EQ(record[2], 1500u);
    EXPECT_EQ(runSuspendCommand("resume", kAddress, 0, false), 0);       // closed: the section goes
    EXPECT_FALSE(persist::loadResumeInfo(World::store().c_str(), kSection, record));
    EXPECT_EQ(runSuspendCommand("resume", kAddress, 0, false), 1);
}

}  // namespace
