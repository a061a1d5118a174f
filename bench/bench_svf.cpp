// Playing a 1.7 Mbit SVF file at 30 MHz TCK, buffered: the host's time next to the wire's (the
// virtual pod's timing model: TCK at the programmed rate, USB transfers and latency). The
// virtual pod emulates every TCK inside the driver's write call, which a real pod does in
// hardware; the emulation is left out of the host time (timers paused inside writes, and the
// host_ms counter subtracts it). Two files: one 1.7 Mbit SDR (configuring a device) and the
// same bits as 425 SDRs of 4000 bits whose TDO is checked (reading it back). Wall figures
// (Time, host_ms) include the calling thread's waits for the receive thread, which grow with
// the machine's load; the CPU column is the calling thread's own work. (The emulated
// configuration register is 1 Mbit, its longest; the rest of the bits shift through it.)
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "../tools/svf_parser.cpp"
#include "../tools/svf_player.cpp"
#include "../tools/tool.cpp"
#include "dorvane/dorvane.h"
#include "timed_driver.h"
#include "vpod/control.h"

namespace {

constexpr uint32_t kBits = 1700000, kChunk = 4000;
const char* const kIface = "DV000009A";
const char* const kBoard =
    "[Device1]\nType=FT2232H\nSerial=DV000009\nDescription=Dual RS232\nChannelA=chain\nChannelB=none\n"
    "[Target chain]\nKind=jtag\nTaps=fpga\n"
    "[Target fpga]\nKind=tap\nIrLength=8\nIdcode=0x13631093\n"
    "Register.CONFIG=0x05,1000000\nRegister.READBACK=0x06,4000\n";

std::string hexDigits(uint32_t bits, unsigned seed) {
    std::string s((bits + 3) / 4, '0');
    for (size_t i = 1; i < s.size(); ++i) s[i] = "0123456789ABCDEF"[(i * 7 + seed) % 16];
    return s;   // the top digit stays 0, so the value fits any length
}

std::string svfText(bool readback) {
    std::string text = "FREQUENCY 30E6 HZ;\nSTATE RESET;\n";
    if (!readback) return text + "SIR 8 TDI(05);\nSDR 1700000 TDI(" + hexDigits(kBits, 3) + ");\nRUNTEST 100 TCK;\n";
    text += "SIR 8 TDI(06);\n";
    const std::string expected = hexDigits(kChunk, 5);
    for (uint32_t k = 0; k < kBits / kChunk; ++k) {
        text += "SDR 4000 TDI(0) TDO(" + expected + ")";
        text += k == 0 ? " MASK(" + std::string(kChunk / 4, 'F') + ");\n" : ";\n";
    }
    return text;
}

// The READBACK register captures what the file expects.
bool prepareCapture() {
    const std::string hex = hexDigits(kChunk, 5);
    std::vector<uint8_t> bytes(kChunk / 8);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t d = hex.size() - 1 - 2 * i;   // two digits per byte, from the low end
        auto v = [&](size_t j) { return static_cast<uint8_t>(hex[j] <= '9' ? hex[j] - '0' : hex[j] - 'A' + 10); };
        bytes[i] = static_cast<uint8_t>(v(d) | v(d - 1) << 4);
    }
    return vpod::control::setTapCapture(kIface, 0, "READBACK", bytes);
}

void BM_SvfParse(benchmark::State& state) {
    const std::string text = svfText(state.range(0) != 0);
    for (auto _ : state) {
        dorvane::tools::svf::Program program;
        dorvane::tools::svf::ParseError error;
        if (!dorvane::tools::svf::parse(text, &program, &error)) state.SkipWithError(error.message.c_str());
        benchmark::DoNotOptimize(program);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SvfParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Argument: 0 one long SDR, 1 checked readback in 4000-bit SDRs.
void BM_SvfPlay(benchmark::State& state) {
    dorvane::tools::svf::Program program;
    dorvane::tools::svf::ParseError error;
    if (!dorvane::tools::svf::parse(svfText(state.range(0) != 0), &program, &error)) {
        state.SkipWithError(error.message.c_str());
        return;
    }
    PausingDriver& driver = PausingDriver::instance();
    dorvane::transport::setFtdiDriver(&driver);
    std::string boardError;
    uint32_t h = 0xFFFFFFFFu;
    if (!vpod::control::loadConfigText(kBoard, &boardError) || !prepareCapture() || x_openKpx(&h, "USB") != 0) {
        state.SkipWithError(("cannot open the virtual pod: " + boardError + kpx_error_msg()).c_str());
        dorvane::transport::setFtdiDriver(nullptr);
        return;
    }
    uint64_t wire0 = 0, wire1 = 0;
    vpod::control::simulatedTimeNs(kIface, &wire0);
    driver.secondsInWrites = 0;
    driver.pauseIn = &state;
    dorvane::tools::svf::PlayOptions options;
    if (state.range(1)) options.checkWindowBits = static_cast<uint64_t>(state.range(1));
    bool ok = true;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto result = dorvane::tools::svf::play(h, program, options);
        if (result.status != 0 || result.bitsScanned < kBits) ok = false;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    driver.pauseIn = nullptr;
    vpod::control::simulatedTimeNs(kIface, &wire1);
    x_closeKpx(h);
    dorvane::transport::setFtdiDriver(nullptr);
    if (!ok) state.SkipWithError("the file did not play cleanly");
    const double n = static_cast<double>(state.iterations());
    const double wireMs = static_cast<double>(wire1 - wire0) / 1e6 / n;
    const double hostMs = (wall - driver.secondsInWrites) * 1e3 / n;
    state.counters["wire_ms"] = wireMs;
    state.counters["host_ms"] = hostMs;
    state.counters["host_per_wire"] = hostMs / wireMs;
    state.counters["Mbit_per_s_wire"] = kBits / (wireMs * 1e3);
}
BENCHMARK(BM_SvfPlay)->ArgsProduct({{0, 1}, {0, 256 << 10, 64 << 10}})->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
