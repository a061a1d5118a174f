// The profile (INI) reader and writer behind the suspend store: the bytes are the file.
// Reads a few names, writes a key and checks it reads back unchanged.
#include <cstring>
#include <string>

#include "common.h"
#include "platform/platform.h"

using namespace dorvane::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = fuzz::scratchDir() + "profile.ini";
    fuzz::writeFile(file, data, size);
    char out[64];
    for (const char* section : {"FT2232Kpx", "Pending", "Suspend"})
        for (const char* key : {"Serial", "Description", "Handle"}) {
            const uint32_t n = getProfileString(section, key, "def  ", out, sizeof out, file.c_str());
            if (n >= sizeof out || out[n] != '\0') __builtin_trap();
        }
    getProfileString("x", "y", "d", out, 1, file.c_str());
    uint8_t blob[8];
    getProfileStruct("Pending", "Handle", blob, sizeof blob, file.c_str());

    if (!writeProfileString("Fuzz", "Key", "v123", file.c_str())) return 0;
    const uint32_t n = getProfileString("Fuzz", "Key", "", out, sizeof out, file.c_str());
    if (n != 4 || std::strcmp(out, "v123") != 0) __builtin_trap();
    const uint8_t value[4] = {1, 2, 0xFE, 0};
    uint8_t back[4] = {};
    if (writeProfileStruct("Fuzz", "Blob", value, sizeof value, file.c_str()) &&
        (!getProfileStruct("Fuzz", "Blob", back, sizeof back, file.c_str()) || std::memcmp(back, value, 4) != 0))
        __builtin_trap();
    writeProfileString("Fuzz", nullptr, nullptr, file.c_str());
    return 0;
}
