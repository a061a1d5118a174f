// KCF files: the bytes become a file in a private KCF directory, then the reader parses it.
#include <cstring>

#include "common.h"
#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] { dorvane::setKcfDirectory(fuzz::scratchDir()); return true; }();
    (void)ready;
    fuzz::writeFile(fuzz::scratchDir() + "pod.Kcf", data, size);
    dorvane::ControllerAddress addr;
    std::memset(&addr, 0, sizeof addr);
    if (dorvane::readKcfFile(&addr, "pod") == 0) {
        for (const char* s : {addr.descriptionA, addr.descriptionB, addr.descriptionBase})
            if (s && std::strlen(s) >= sizeof addr.descriptionABuffer) __builtin_trap();
    }
    // The same file through an address string, as the open call reads it.
    std::memset(&addr, 0, sizeof addr);
    dorvane::parseControllerAddress(&addr, "USBFpod");
    return 0;
}
