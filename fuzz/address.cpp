// Controller address strings ("USB", "USB:serial", "USB#unit", KCF names, ...) as a caller
// passes them to the open call; KCF names resolve in an empty private directory.
#include <cstring>
#include <string>

#include "common.h"
#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] { dorvane::setKcfDirectory(fuzz::scratchDir()); return true; }();
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);   // stops at an embedded NUL
    dorvane::ControllerAddress addr;
    std::memset(&addr, 0, sizeof addr);   // as the open call prepares it
    if (dorvane::parseControllerAddress(&addr, text.c_str()) == 0) {
        // Whatever parsed must point into the record's own, terminated buffers.
        for (const char* s : {addr.descriptionA, addr.descriptionB, addr.descriptionBase})
            if (s && std::strlen(s) >= sizeof addr.descriptionABuffer) __builtin_trap();
    }
    return 0;
}
