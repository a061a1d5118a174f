// vpod board files: the bytes are the INI text of a board. Remote-bitbang targets are left
// out (they connect to a port).
#include <algorithm>
#include <cctype>
#include <string>

#include "vpod/control.h"
#include "vpod/vpod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (lower.find("rbb") != std::string::npos) return -1;
    std::string error;
    if (vpod::control::loadConfigText(text, &error)) {
        // A board that loaded enumerates and opens.
        uint32_t count = 0;
        if (vpod::listDevices(&count, nullptr, vpod::kListNumberOnly) != vpod::kOk) __builtin_trap();
        for (uint32_t i = 0; i < count && i < 8; ++i) {
            vpod::Handle* h = nullptr;
            if (vpod::open(i, &h) == vpod::kOk) vpod::close(h);
        }
    } else if (error.empty()) {
        __builtin_trap();   // a refused board says why
    }
    return 0;
}
