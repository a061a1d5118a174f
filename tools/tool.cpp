// The tool's shared pieces: controller opening, error reports, host services.
#include "tool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "dorvane/dorvane.h"

namespace dorvane::tools {

const char* const kCommonOptionsHelp =
    "options every command takes:\n"
    "  --vpod            use the virtual pod (same as DORVANE_DRIVER=vpod)\n"
    "  --address ADDR    controller address (default USB: logical unit 0)\n"
    "  --khz F           TCK frequency in kHz (default: the controller's)\n"
    "  --vcd FILE        write the virtual pod's pin waveform of the session to FILE\n"
    "  -h, --help        this text\n";

void errorLine(const std::string& text) { std::fprintf(stderr, "dorvane: %s\n", text.c_str()); }

std::string libraryError(uint32_t handle) {
    const int32_t number = handle != kNoHandle ? x_kpxErrorNbr(handle) : kpx_error_nbr();
    const char* message = handle != kNoHandle ? x_kpxErrorMsg(handle) : kpx_error_msg();
    return "error " + std::to_string(number) + " (" + (message ? message : "no message") + ")";
}

void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

double secondsNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool parseInt(const std::string& text, long long lo, long long hi, long long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int Controller::open(const Invocation& inv) {
    if (inv.vpod) setVariable("DORVANE_DRIVER", "vpod");
    const char* driver = std::getenv("DORVANE_DRIVER");
    const bool usingVpod = driver && std::strcmp(driver, "vpod") == 0;
    if (!inv.vcd.empty()) {
        if (!usingVpod) {
            errorLine("--vcd needs the virtual pod (--vpod)");
            return kExitUsage;
        }
        // The virtual pod looks at this variable again at every open.
        setVariable("DORVANE_VPOD_VCD", inv.vcd.c_str());
    }
    if (x_openKpx(&handle_, inv.address.c_str()) != 0) {
        handle_ = kNoHandle;
        errorLine("opening controller " + inv.address + " failed: " + libraryError(kNoHandle));
        return kExitController;
    }
    if (inv.khz > 0 && x_setScanFrequency(handle_, inv.khz) != 0) {
        errorLine("setting the TCK frequency failed: " + libraryError(handle_));
        return kExitController;
    }
    return kExitOk;
}

int Controller::close() {
    if (handle_ == kNoHandle) return kExitOk;
    const uint32_t h = handle_;
    handle_ = kNoHandle;
    if (x_closeKpx(h) != 0) {
        errorLine("closing the controller failed: " + libraryError(kNoHandle));
        return kExitController;
    }
    return kExitOk;
}

namespace {
const DorvaneControllerInfo* info(uint32_t handle) {
    const DorvaneControllerInfo* i = nullptr;
    if (handle == kNoHandle || x_kpxGetControllerInfo(handle, &i) != 0) return nullptr;
    return i;
}
}  // namespace

uint32_t tckKHzOf(uint32_t handle) {
    const DorvaneControllerInfo* i = info(handle);
    return i ? i->tckKHz : 0;
}

uint32_t maxTckKHzOf(uint32_t handle) {
    const DorvaneControllerInfo* i = info(handle);
    return i ? static_cast<uint32_t>(i->maxTckKHz) : 0;
}

bool hasTrstPin(uint32_t handle) {
    const DorvaneControllerInfo* i = info(handle);
    return i && (i->capabilities & 1u);
}

}  // namespace dorvane::tools
