// What the reliability tests share: the default board's known register values, the SWD
// controller's KCF file and a private suspend store.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "config/config.h"
#include "platform/platform.h"
#include "test_env.h"

namespace reliability {

// The chain's two IDCODEs after a TAP reset, the debug-port TAP (nearest TDO) first, and the
// SWD target's DPIDR as its JTAG-DP IDCODE scan reads it.
constexpr uint64_t kChainIdcodes = 0x064130414BA00477ull;
constexpr uint32_t kSwdDpidr = 0x2BA01477u;
constexpr const char* kJtagAddress = "USBFreliab_jtag", *kSwdAddress = "USBFreliab_swd";

inline uint64_t dr64(const uint16_t* w) {
    return w[0] | uint64_t(w[1]) << 16 | uint64_t(w[2]) << 32 | uint64_t(w[3]) << 48;
}

// Channel A of the default board with its TRST pin (kJtagAddress), channel B as a BSCAN2SWD
// TAP (kSwdAddress).
inline void writeKcfFiles() {
    const std::string dir = ::testing::TempDir();
    for (const auto& [name, keys] : {std::pair<const char*, const char*>{"reliab_jtag", "TrstPin=DataBus4\nSubDevice=A\n"},
                                     {"reliab_swd", "Tap1Mode=BSCAN2SWD\nSubDevice=B\n"}})
        testenv::writeRaw(dir + "/" + name + ".Kcf", std::string("[FT2232Kpx]\nVersion=1.0.0.0\n") + keys);
    dorvane::setKcfDirectory(dir + "/");
}

// Suspend records go to a store of this program's own (before the library first asks for it).
inline void useScratchStore() {
    dorvane::platform::setEnv("ALLUSERSPROFILE", (::testing::TempDir() + "reliab-all-users").c_str());
}

}  // namespace reliability
