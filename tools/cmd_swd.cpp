// dorvane swd: an ARM debug port reached through the library's virtual JTAG-DP (a TAP in
// BSCAN2SWD mode), using nothing but IR and DR scans, as any JTAG-DP host would.
//
//   dorvane swd info                  DPIDR, AP IDR and ROM base of AP 0
//   dorvane swd read ADDR [COUNT]     COUNT 32-bit words of MEM-AP 0 (default 1)
//   dorvane swd write ADDR VALUE...   32-bit words, auto-increment
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dorvane/dorvane.h"
#include "tool.h"

namespace dorvane::tools {

namespace {

constexpr uint8_t IR_ABORT = 0x8, IR_DPACC = 0xA, IR_APACC = 0xB;
constexpr uint8_t ACK_OK_FAULT = 2, ACK_WAIT = 1;
constexpr uint32_t kStickyFlags = 0xB2;   // STICKYORUN, STICKYCMP, STICKYERR, WDATAERR
constexpr int kWaitRetries = 100;

class DebugPort {
public:
    explicit DebugPort(uint32_t handle) : h_(handle) {}

    bool reset() {
        ir_ = 0xFF;
        return check(x_tmsReset(h_, 1) == 0, "the SWD line reset");
    }
    bool dpRead(unsigned address, uint32_t* value) { return access(IR_DPACC, true, address, 0, value); }
    bool dpWrite(unsigned address, uint32_t value) { return access(IR_DPACC, false, address, value, nullptr); }
    // AP reads are posted: the value comes from RDBUFF.
    bool apRead(unsigned address, uint32_t* value) {
        return access(IR_APACC, true, address, 0, nullptr) && dpRead(0xC, value);
    }
    bool apWrite(unsigned address, uint32_t value) { return access(IR_APACC, false, address, value, nullptr); }
    // One AP read of a posted series: the value is the previous read's.
    bool apReadPosted(unsigned address, uint32_t* previous) {
        return access(IR_APACC, true, address, 0, previous);
    }
    // Sticky errors end an AP sequence: report CTRL/STAT and clear them through ABORT.
    bool checkSticky() {
        uint32_t ctrlStat = 0;
        if (!dpRead(0x4, &ctrlStat)) return false;
        if (!(ctrlStat & kStickyFlags)) return true;
        std::fprintf(stderr, "dorvane: the target reported an error (CTRL/STAT 0x%08X)\n", ctrlStat);
        abort(0x1E);
        return false;
    }
    bool abort(uint32_t flags) { return access(IR_ABORT, false, 0, flags, nullptr); }
    const std::string& error() const { return error_; }

private:
    bool check(bool ok, const char* what) {
        if (!ok) {
            const char* msg = x_kpxErrorMsg(h_);
            error_ = std::string(what) + ": " + (msg ? msg : "(no message)");
        }
        return ok;
    }
    bool access(uint8_t instruction, bool read, unsigned address, uint32_t value, uint32_t* out) {
        if (ir_ != instruction) {
            const uint16_t in = instruction;
            if (!check(x_scanIr(h_, 1, &in, 4, nullptr) == 0, "an instruction scan")) return false;
            ir_ = instruction;
        }
        const uint64_t request = uint64_t(value) << 3 | ((address >> 2) & 3u) << 1 | (read ? 1u : 0u);
        for (int attempt = 0; attempt < kWaitRetries; ++attempt) {
            const uint16_t in[3] = {uint16_t(request), uint16_t(request >> 16), uint16_t(request >> 32)};
            uint16_t got[3] = {};
            if (!check(x_scanDr(h_, 1, in, 35, got) == 0, "a data scan")) return false;
            const uint64_t result = got[0] | uint64_t(got[1]) << 16 | uint64_t(got[2]) << 32;
            const uint8_t ack = result & 7u;
            if (ack == ACK_WAIT) continue;
            if (ack != ACK_OK_FAULT) {
                error_ = "no answer from the target (ACK " + std::to_string(ack) + ")";
                return false;
            }
            if (out) *out = static_cast<uint32_t>(result >> 3);
            return true;
        }
        error_ = "the target kept answering WAIT";
        return false;
    }

    uint32_t h_;
    uint8_t ir_ = 0xFF;
    std::string error_;
};

bool parseNumber(const std::string& text, uint32_t* value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end || v > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// Line reset, DPIDR read, debug power-up.
bool connect(DebugPort& dp, uint32_t* dpidr) {
    if (!dp.reset() || !dp.dpRead(0x0, dpidr) || !dp.abort(0x1E) || !dp.dpWrite(0x8, 0) ||
        !dp.dpWrite(0x4, 0x50000000))
        return false;
    for (int i = 0; i < kWaitRetries; ++i) {
        uint32_t ctrlStat = 0;
        if (!dp.dpRead(0x4, &ctrlStat)) return false;
        if ((ctrlStat & 0xA0000000u) == 0xA0000000u) return true;
    }
    std::fprintf(stderr, "dorvane: the debug power-up was not acknowledged\n");
    return false;
}

// MEM-AP 0 with word accesses and single auto-increment.
bool setUpMemAp(DebugPort& dp, uint32_t address) {
    return dp.dpWrite(0x8, 0) && dp.apWrite(0x0, 0x23000012) && dp.apWrite(0x4, address);
}

int info(DebugPort& dp) {
    uint32_t dpidr = 0, idr = 0, base = 0;
    if (!connect(dp, &dpidr) || !dp.dpWrite(0x8, 0xF0) || !dp.apRead(0xC, &idr) || !dp.apRead(0x8, &base) ||
        !dp.dpWrite(0x8, 0))
        return 1;
    std::printf("DPIDR   0x%08X\nAP IDR  0x%08X\nROM     0x%08X\n", dpidr, idr, base);
    return 0;
}

int read(DebugPort& dp, uint32_t address, uint32_t count) {
    uint32_t dpidr = 0;
    if (!connect(dp, &dpidr)) return 1;
    std::vector<uint32_t> words(count);
    uint32_t done = 0;
    while (done < count) {
        // Auto-increment is only guaranteed inside a 1 KiB block: a new TAR at each block.
        const uint32_t at = address + 4 * done;
        const uint32_t inBlock = std::min(count - done, (0x400 - (at & 0x3FF)) / 4);
        if (!setUpMemAp(dp, at) || !dp.apReadPosted(0xC, &words[done])) return 1;
        for (uint32_t i = 1; i < inBlock; ++i)
            if (!dp.apReadPosted(0xC, &words[done + i - 1])) return 1;
        if (!dp.dpRead(0xC, &words[done + inBlock - 1])) return 1;
        done += inBlock;
    }
    if (!dp.checkSticky()) return 1;
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 4 == 0) std::printf("%s0x%08X:", i ? "\n" : "", address + 4 * i);
        std::printf(" 0x%08X", words[i]);
    }
    std::printf("\n");
    return 0;
}

int write(DebugPort& dp, uint32_t address, const std::vector<uint32_t>& values) {
    uint32_t dpidr = 0;
    if (!connect(dp, &dpidr)) return 1;
    for (size_t i = 0; i < values.size(); ++i) {
        const uint32_t at = address + 4 * static_cast<uint32_t>(i);
        if ((i == 0 || (at & 0x3FF) == 0) && !setUpMemAp(dp, at)) return 1;
        if (!dp.apWrite(0xC, values[i])) return 1;
    }
    if (!dp.checkSticky()) return 1;
    std::printf("%u word%s written at 0x%08X\n", static_cast<unsigned>(values.size()), values.size() == 1 ? "" : "s",
                address);
    return 0;
}

}  // namespace

// args: the words after "swd". Returns the tool's exit status (2: bad usage).
int swdCommand(uint32_t handle, const std::vector<std::string>& args) {
    DebugPort dp(handle);
    int status = 2;
    uint32_t address = 0, count = 1;
    std::vector<uint32_t> values;
    if (args.size() == 1 && args[0] == "info") {
        status = info(dp);
    } else if (args.size() >= 2 && args.size() <= 3 && args[0] == "read" && parseNumber(args[1], &address) &&
               (args.size() == 2 || (parseNumber(args[2], &count) && count > 0 && count <= 0x10000))) {
        status = read(dp, address, count);
    } else if (args.size() >= 3 && args[0] == "write" && parseNumber(args[1], &address)) {
        for (size_t i = 2; i < args.size(); ++i) {
            uint32_t v;
            if (!parseNumber(args[i], &v)) return 2;
            values.push_back(v);
        }
        status = write(dp, address, values);
    }
    if (status == 2) {
        std::fprintf(stderr, "usage: dorvane swd info | read ADDR [COUNT] | write ADDR VALUE...\n");
    } else if (status != 0 && !dp.error().empty()) {
        std::fprintf(stderr, "dorvane: swd %s failed: %s\n", args[0].c_str(), dp.error().c_str());
    }
    return status;
}

namespace {

// The command of the tool: with --vpod and no --address, the default board's SWD channel.
int runSwd(const Invocation& inv) {
    Invocation opening = inv;
    if (inv.vpod && !inv.addressGiven) opening.address = "USBFDorvaneVpodSwd";
    Controller controller;
    if (int status = controller.open(opening)) return status;
    const int status = swdCommand(controller.handle(), inv.args);
    const int closed = controller.close();
    if (status == 1) return kExitController;
    return status ? status : closed;
}

}  // namespace

DORVANE_TOOL_COMMAND(kSwdCommand) = {
    "swd", "an SWD target through the virtual JTAG-DP: info, read, write",
    "dorvane [OPTIONS] swd info | read ADDR [COUNT] | write ADDR VALUE...\n"
    "\n"
    "Reaches an ARM debug port through a TAP in BSCAN2SWD mode with IR and DR scans only.\n"
    "  info                  DPIDR, AP IDR and ROM base of AP 0\n"
    "  read ADDR [COUNT]     COUNT 32-bit words of MEM-AP 0 (default 1)\n"
    "  write ADDR VALUE...   32-bit words, auto-increment\n"
    "With --vpod and no --address: the default board's channel B (KCF file DorvaneVpodSwd beside\n"
    "the tool).\n"
    "\n"
    "exit status: 0 done, 2 bad command line, 4 the library or the target reported a failure\n\n",
    runSwd};

}  // namespace dorvane::tools
