// The library's host cost against the virtual pod, told apart from the emulator's: for each
// workload the process CPU (caller, receive thread and the emulation, which runs inside the
// driver's write call), the emulator's own CPU (the vpod's thread CPU clocks around its command
// engine), the library's CPU = host - emulator, and the modelled wire time at 30 MHz TCK (the
// vpod's timing model: TCK at the programmed rate, USB frames, latency timer). Every figure is
// the median of the repetitions, per unit of the workload. The last lines check the targets.
//
//   bench_host                    all workloads, the table and the targets
//   bench_host --reps 9           more repetitions
//   bench_host --run NAME COUNT   only COUNT units of one workload, nothing printed (used by
//                                 openocd_compare.py, which measures the whole process)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../tools/svf_parser.cpp"
#include "../tools/svf_player.cpp"
#include "../tools/tool.cpp"
#include "config/config.h"
#include "dorvane/dorvane.h"
#include "platform/platform.h"
#include "transport/ftdi_driver.h"
#include "vpod/control.h"

namespace {

constexpr uint32_t kBad = 0xFFFFFFFFu;
bool inProcess = true;   // false under --run: the driver is whatever DORVANE_DRIVER picks

double processCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}
double wallNs() {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}
uint64_t emuNs(const std::string& iface) {
    uint64_t ns = 0;
    if (inProcess) vpod::control::emulationCpuNs(iface, &ns);
    return ns;
}
uint64_t simNs(const std::string& iface) {
    uint64_t ns = 0;
    if (inProcess) vpod::control::simulatedTimeNs(iface, &ns);
    return ns;
}

// One measurement of a workload, per unit.
struct Sample {
    double wall = 0, host = 0, emu = 0, wire = 0;
    double lib() const { return host - emu; }
};

// An open controller at 30 MHz on a board, TAP in Run-Test/Idle.
class Session {
public:
    Session(const std::string& iface, const char* address) : iface_(iface) {
        h_ = kBad;
        if (x_openKpx(&h_, address) != 0 || x_setScanFrequency(h_, 30000) != 0 || x_tmsReset(h_, 1) != 0) {
            std::fprintf(stderr, "cannot open the virtual pod: %s\n", kpx_error_msg());
            std::exit(2);
        }
    }
    ~Session() { x_closeKpx(h_); }
    uint32_t h() const { return h_; }
    void check(uint32_t rc) const {
        if (rc) {
            std::fprintf(stderr, "failed: %s\n", x_kpxErrorMsg(h_));
            std::exit(2);
        }
    }
    // Runs the work and measures it; `units` is what the figures are divided by.
    Sample measure(double units, const std::function<void()>& work) const {
        const uint64_t e0 = emuNs(iface_), s0 = simNs(iface_);
        const double c0 = processCpuNs(), w0 = wallNs();
        work();
        const double w1 = wallNs(), c1 = processCpuNs();
        const uint64_t e1 = emuNs(iface_), s1 = simNs(iface_);
        return {(w1 - w0) / units, (c1 - c0) / units, static_cast<double>(e1 - e0) / units,
                static_cast<double>(s1 - s0) / units};
    }

private:
    std::string iface_;
    uint32_t h_;
};

const std::string kJtag = "DV000001A";

// The default board's chain (a 4-bit IR nearest TDO, then a 5-bit one) with both TAPs in
// BYPASS, or (as OpenOCD is driven for the comparison) the first holding IDCODE (0xE).
Session* openChain(uint16_t ir = 0x1FF) {
    if (inProcess) vpod::control::loadDefaultBoard();
    auto* s = new Session(kJtag, "USB");
    s->check(x_scanIr(s->h(), 1, &ir, 9, nullptr));
    return s;
}

const uint16_t kTdi32[2] = {0x1234, 0x5678};

void scans32(const Session& s, uint32_t buffering, bool tdo, size_t count, std::vector<uint16_t>& out) {
    s.check(x_scanSetBuffering(s.h(), buffering));
    for (size_t i = 0; i < count; ++i) s.check(x_scanDr(s.h(), 1, kTdi32, 32, tdo ? &out[2 * i] : nullptr));
    if (buffering) s.check(x_scanSetBuffering(s.h(), 0));
}

void longScan(const Session& s, uint32_t bits) {
    static std::vector<uint16_t> tdi(bits / 16, 0xA5C3), tdo(bits / 16);
    s.check(x_scanLDr(s.h(), 1, tdi.data(), bits, tdo.data(), nullptr, nullptr));
}

std::vector<uint8_t> directSteps() {
    // Into Shift-DR, 64 bits with every fourth compared, out through Update to Run-Test/Idle.
    std::vector<uint8_t> steps;
    for (int round = 0; round < 100; ++round) {
        for (int tms : {1, 0, 0}) steps.push_back(static_cast<uint8_t>(0x01 | (tms ? 0x08 : 0)));
        for (int i = 0; i < 64; ++i)
            steps.push_back(static_cast<uint8_t>((i & 1) | (i % 4 == 0 ? 0x04 : 0) | (i == 63 ? 0x08 : 0)));
        for (int tms : {1, 0}) steps.push_back(static_cast<uint8_t>(0x01 | (tms ? 0x08 : 0)));
    }
    return steps;
}

// ---- SVF: one 1.7 Mbit SDR at 30 MHz --------------------------------------------------------
constexpr uint32_t kSvfBits = 1700000;
const std::string kSvfIface = "DV000009A";
const char* const kSvfBoard =
    "[Device1]\nType=FT2232H\nSerial=DV000009\nDescription=Dual RS232\nChannelA=chain\nChannelB=none\n"
    "[Target chain]\nKind=jtag\nTaps=fpga\n"
    "[Target fpga]\nKind=tap\nIrLength=8\nIdcode=0x13631093\nRegister.CONFIG=0x05,1000000\n";

dorvane::tools::svf::Program svfProgram() {
    std::string digits((kSvfBits + 3) / 4, '0');
    for (size_t i = 1; i < digits.size(); ++i) digits[i] = "0123456789ABCDEF"[(i * 7 + 3) % 16];
    const std::string text = "FREQUENCY 30E6 HZ;\nSTATE RESET;\nSIR 8 TDI(05);\nSDR 1700000 TDI(" + digits +
                             ");\nRUNTEST 100 TCK;\n";
    dorvane::tools::svf::Program program;
    dorvane::tools::svf::ParseError error;
    if (!dorvane::tools::svf::parse(text, &program, &error)) {
        std::fprintf(stderr, "svf: %s\n", error.message.c_str());
        std::exit(2);
    }
    return program;
}

// ---- SWD: 1 KiB MEM-AP block read through the SWD bridge ------------------------------------
const std::string kSwdIface = "DV000001B";
constexpr uint8_t DPACC = 0xA, APACC = 0xB;

struct SwdLink {
    Session* s = nullptr;
    uint8_t ir = 0xE;
    void access(uint8_t instr, bool read, unsigned address, uint32_t value, uint32_t* out = nullptr) {
        if (instr != ir) {
            const uint16_t in = instr;
            s->check(x_scanIr(s->h(), 1, &in, 4, nullptr));
            ir = instr;
        }
        const uint64_t r = uint64_t(value) << 3 | ((address >> 2) & 3u) << 1 | (read ? 1u : 0u);
        const uint16_t in[3] = {uint16_t(r), uint16_t(r >> 16), uint16_t(r >> 32)};
        uint16_t got[3] = {};
        s->check(x_scanDr(s->h(), 1, in, 35, got));
        if ((got[0] & 7) != 2) {
            std::fprintf(stderr, "swd: no OK acknowledge\n");
            std::exit(2);
        }
        if (out) *out = static_cast<uint32_t>((got[0] >> 3) | uint32_t(got[1]) << 13 | uint32_t(got[2]) << 29);
    }
};

SwdLink openSwd() {
    if (inProcess) vpod::control::loadDefaultBoard();
    const std::string dir = std::filesystem::temp_directory_path().string();
    std::ofstream(dir + "/benchhost.Kcf") << "[FT2232Kpx]\nVersion=1.0.0.0\nTap1Mode=BSCAN2SWD\nSubDevice=B\n";
    dorvane::setKcfDirectory(dir + "/");
    SwdLink link{new Session(kSwdIface, "USBFbenchhost")};
    link.access(DPACC, false, 0x4, 0x50000001);   // power-up, ORUNDETECT: pipelined transactions
    link.access(APACC, false, 0x0, 0x23000012);   // 32-bit, auto-increment
    return link;
}

void blockRead(SwdLink& link) {
    uint32_t words[256];
    link.access(APACC, false, 0x4, 0x20000400);
    link.access(APACC, true, 0xC, 0);
    for (int i = 1; i < 256; ++i) link.access(APACC, true, 0xC, 0, &words[i - 1]);
    link.access(DPACC, true, 0xC, 0, &words[255]);
}

// ---- peak memory -----------------------------------------------------------------------------
long statusKb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}
// Peak resident growth (KiB) while `count` buffered 32-bit scans with TDO run and are flushed;
// the host's TDO array is allocated and touched before.
long peakGrowthKb(const Session& s, size_t count) {
    std::vector<uint16_t> tdo(2 * count, 1);
    std::ofstream("/proc/self/clear_refs") << "5";   // restarts the peak at the current size
    const long before = statusKb("VmRSS:");
    scans32(s, 9, true, count, tdo);
    return statusKb("VmHWM:") - before;
}

// ---- the table -------------------------------------------------------------------------------
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    std::string name, unit;
    double scale = 1e3;   // ns -> printed unit
    Sample m;             // medians
};

Row summarise(const std::string& name, const std::string& unit, double scale, const std::vector<Sample>& v) {
    std::vector<double> wall, host, emu, lib, wire;
    for (const auto& s : v) {
        wall.push_back(s.wall);
        host.push_back(s.host);
        emu.push_back(s.emu);
        lib.push_back(s.lib());
        wire.push_back(s.wire);
    }
    Row r{name, unit, scale, {median(wall), median(host), median(emu), median(wire)}};
    r.m.host = median(host);
    // host - emu of the medians can differ from the median of host - emu; print the latter.
    r.m.emu = median(host) - median(lib);
    return r;
}

std::vector<Sample> repeat(int reps, const std::function<Sample()>& once) {
    std::vector<Sample> v;
    for (int i = 0; i < reps; ++i) v.push_back(once());
    return v;
}

// --run NAME COUNT: the workload alone, COUNT scans, each one bit longer than its name says,
// as OpenOCD shifts it (the second TAP's BYPASS bit): openocd_compare.py measures the process.
int runOnly(const std::string& name, long count) {
    inProcess = false;
    const auto n = static_cast<size_t>(std::max(count, 0L));
    const uint16_t tdi[3] = {0x1234, 0x5678, 0};
    std::vector<uint16_t> tdo(3 * std::max<size_t>(n, 1));
    Session* s = openChain(0x1FE);
    if (name == "dr32" || name == "dr32-batch" || name == "dr32-batch-notdo") {
        const bool batch = name != "dr32", wantTdo = name != "dr32-batch-notdo";
        s->check(x_scanSetBuffering(s->h(), batch ? 9 : 0));
        for (size_t i = 0; i < n; ++i) s->check(x_scanDr(s->h(), 1, tdi, 33, wantTdo ? &tdo[3 * i] : nullptr));
        s->check(x_scanSetBuffering(s->h(), 0));
    } else if (name == "dr-1mbit") {
        constexpr uint32_t bits = (1u << 20) + 1;
        std::vector<uint16_t> in(bits / 16 + 1, 0x5A5A), out(bits / 16 + 1);
        for (size_t i = 0; i < n; ++i) s->check(x_scanLDr(s->h(), 1, in.data(), bits, out.data(), nullptr, nullptr));
    } else {
        std::fprintf(stderr, "unknown workload %s (dr32, dr32-batch, dr32-batch-notdo, dr-1mbit)\n", name.c_str());
        return 2;
    }
    delete s;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--run") && i + 2 < argc) return runOnly(argv[i + 1], std::atol(argv[i + 2]));
        if (!std::strcmp(argv[i], "--reps") && i + 1 < argc) reps = std::max(1, std::atoi(argv[++i]));
    }
    dorvane::platform::setEnv("DORVANE_DRIVER", "vpod");
    std::vector<Row> rows;
    long rss10k = 0, rss100k = 0;
    {
        Session* s = openChain();
        rss10k = peakGrowthKb(*s, 10000);
        rss100k = peakGrowthKb(*s, 100000);
        std::vector<uint16_t> tdo(2 * 10000);
        constexpr int kSingles = 2000;
        rows.push_back(summarise("32-bit DR, TDO, buffering off", "us/scan", 1e3, repeat(reps, [&] {
            return s->measure(kSingles, [&] { scans32(*s, 0, true, kSingles, tdo); });
        })));
        rows.push_back(summarise("32-bit DR, TDO, type 9, 10000/flush", "us/scan", 1e3, repeat(reps, [&] {
            return s->measure(10000, [&] { scans32(*s, 9, true, 10000, tdo); });
        })));
        rows.push_back(summarise("32-bit DR, no TDO, type 9, 10000/flush", "us/scan", 1e3, repeat(reps, [&] {
            return s->measure(10000, [&] { scans32(*s, 9, false, 10000, tdo); });
        })));
        rows.push_back(summarise("1 Mbit DR, TDO, buffering off", "ms/Mbit", 1e6, repeat(reps, [&] {
            return s->measure(1, [&] { longScan(*s, 1u << 20); });
        })));
        const std::vector<uint8_t> steps = directSteps();
        for (uint32_t buffering : {0u, 9u}) {
            const std::string name = std::string("direct scan steps, buffering ") + (buffering ? "type 9" : "off");
            rows.push_back(summarise(name, "us/step", 1e3, repeat(reps, [&] {
                return s->measure(static_cast<double>(steps.size()), [&] {
                    uint32_t mismatches = 0;
                    s->check(x_scanSetBuffering(s->h(), buffering));
                    s->check(x_kpxScanDirect(s->h(), 1, steps.data(), static_cast<uint32_t>(steps.size()),
                                             &mismatches));
                    s->check(x_scanSetBuffering(s->h(), 0));
                });
            })));
        }
        delete s;
    }
    {
        std::string error;
        if (!vpod::control::loadConfigText(kSvfBoard, &error)) {
            std::fprintf(stderr, "svf board: %s\n", error.c_str());
            return 2;
        }
        const auto program = svfProgram();
        Session s(kSvfIface, "USB");
        rows.push_back(summarise("1.7 Mbit SVF SDR stream (type 9)", "ms/file", 1e6, repeat(reps, [&] {
            return s.measure(1, [&] {
                const auto result = dorvane::tools::svf::play(s.h(), program, {});
                if (result.status != 0 || result.bitsScanned < kSvfBits) {
                    std::fprintf(stderr, "svf: the file did not play cleanly\n");
                    std::exit(2);
                }
            });
        })));
    }
    {
        SwdLink link = openSwd();
        for (uint32_t buffering : {0u, 1u}) {
            const std::string name = std::string("1 KiB MEM-AP read over SWD, buffering ") + (buffering ? "1" : "off");
            rows.push_back(summarise(name, "ms/KiB", 1e6, repeat(reps, [&] {
                return link.s->measure(1, [&] {
                    link.s->check(x_scanSetBuffering(link.s->h(), buffering));
                    blockRead(link);
                    link.s->check(x_scanSetBuffering(link.s->h(), 0));
                });
            })));
        }
        delete link.s;
    }

    std::printf("%-42s %-8s %9s %9s %9s %9s %9s %9s %9s\n", ("workload (medians of " + std::to_string(reps) + ")").c_str(),
                "unit", "wall", "host CPU", "emulator", "library", "wire", "lib/wire", "libwall/w");
    for (const auto& r : rows) {
        const double k = r.scale;
        std::printf("%-42s %-8s %9.3f %9.3f %9.3f %9.3f %9.3f %9.4f %9.4f\n", r.name.c_str(), r.unit.c_str(),
                    r.m.wall / k, r.m.host / k, r.m.emu / k, r.m.lib() / k, r.m.wire / k, r.m.lib() / r.m.wire,
                    (r.m.wall - r.m.emu) / r.m.wire);
    }
    std::printf("peak RSS growth of a buffered batch: 10000 scans %ld KiB, 100000 scans %ld KiB\n", rss10k, rss100k);

    auto find = [&](const char* prefix) -> const Row& {
        for (const auto& r : rows)
            if (r.name.rfind(prefix, 0) == 0) return r;
        return rows.front();
    };
    // The library's own added wall time of a round trip: the caller's wall minus the emulation
    // that runs inside its write (a real pod runs it in hardware).
    const Row& rt = find("32-bit DR, TDO, buffering off");
    const Row& bt = find("32-bit DR, TDO, type 9");
    const Row& bn = find("32-bit DR, no TDO");
    const Row& mb = find("1 Mbit");
    const Row& svf = find("1.7 Mbit SVF");
    struct Bar { std::string what; double value, limit; };
    const Bar bars[] = {
        // The model's wire time of scans with TDO also waits for the answers' USB frames; the
        // same scans' wire time without TDO is the stricter measure, and used here.
        {"buffered 32-bit DR with TDO: library CPU / wire <= 0.1", bt.m.lib() / std::min(bt.m.wire, bn.m.wire), 0.1},
        {"buffered 32-bit DR without TDO: library CPU / wire <= 0.05", bn.m.lib() / bn.m.wire, 0.05},
        {"unbuffered round trip: library's added wall (us) <= 6", (rt.m.wall - rt.m.emu) / 1e3, 6},
        {"1 Mbit DR: library CPU / wire <= 0.02", mb.m.lib() / mb.m.wire, 0.02},
        {"1.7 Mbit SVF: end (library wall) / wire <= 1.05", std::max(svf.m.wall - svf.m.emu, svf.m.wire) / svf.m.wire,
         1.05},
        // Records of at most 64 KiB of answers in flight (5 bytes, 40-byte record per scan):
        // about 512 KiB whatever the batch's length; the host's own TDO array is made before.
        {"100000-scan buffered batch: peak RSS growth (KiB) <= 1024", double(rss100k), 1024},
    };
    for (const auto& b : bars) {
        const bool ok = b.value <= b.limit;
        std::printf("%-4s %-72s %.4g\n", ok ? "ok" : "MISS", b.what.c_str(), b.value);
    }
    return 0;
}
