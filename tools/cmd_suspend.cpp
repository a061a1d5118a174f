// dorvane suspend / dorvane resume: hand a controller from one program to the next.
//
//   dorvane [--address A] [--khz F] suspend   take the controller up (resume it when it is
//                                            suspended, else open it), set F, suspend it
//   dorvane [--address A] [--keep] resume     resume it, report its clock, then close it
//                                            (--keep: suspend it again instead)
#include <cstdio>
#include <string>

#include "dorvane/dorvane.h"
#include "cmd_suspend.h"
#include "tool.h"

namespace dorvane::tools {
namespace {

int failed(uint32_t handle, const char* what, const std::string& address) {
    const char* msg = handle != kNoHandle ? x_kpxErrorMsg(handle) : kpx_error_msg();
    std::fprintf(stderr, "dorvane: %s %s failed: %s\n", what, address.c_str(), msg ? msg : "(no message)");
    return 1;
}

uint32_t clockOf(uint32_t handle) {
    const DorvaneControllerInfo* info = nullptr;
    return x_kpxGetControllerInfo(handle, &info) == 0 && info ? static_cast<uint32_t>(info->tckKHz) : 0;
}

}  // namespace

int runSuspendCommand(const std::string& command, const std::string& address, int khz, bool keep) {
    uint32_t handle = kNoHandle;
    if (command == "suspend") {
        if (x_resumeKpx(&handle, address.c_str()) != 0 && x_openKpx(&handle, address.c_str()) != 0)
            return failed(kNoHandle, "opening", address);
        if (khz > 0 && x_setScanFrequency(handle, khz) != 0) {
            failed(handle, "setting the TCK frequency of", address);
            x_closeKpx(handle);
            return 1;
        }
        const uint32_t tck = clockOf(handle);
        if (x_suspendKpx(handle) != 0) return failed(kNoHandle, "suspending", address);
        std::printf("controller %s suspended, TCK %u kHz\n", address.c_str(), tck);
        return 0;
    }
    if (x_resumeKpx(&handle, address.c_str()) != 0) return failed(kNoHandle, "resuming", address);
    // After a resume the TAP state is unknown; TRST and TMS are as the pod holds them.
    uint32_t state = 0;
    x_scanGetState(handle, 1, &state);
    std::printf("controller %s resumed, TCK %u kHz, TAP state %s\n", address.c_str(), clockOf(handle),
                state == 0 ? "unknown" : "known");
    const uint32_t rc = keep ? x_suspendKpx(handle) : x_closeKpx(handle);
    if (rc != 0) return failed(kNoHandle, keep ? "suspending" : "closing", address);
    return 0;
}

}  // namespace dorvane::tools

namespace dorvane::tools {
namespace {

int runSuspend(const Invocation& inv) {
    if (!inv.args.empty()) {
        errorLine("suspend takes no arguments, not '" + inv.args.front() + "'");
        return kExitUsage;
    }
    return runSuspendCommand("suspend", inv.address, inv.khz, false) == 0 ? kExitOk : kExitController;
}

int runResume(const Invocation& inv) {
    bool keep = false;
    for (const std::string& a : inv.args) {
        if (a != "--keep") {
            errorLine("resume takes only --keep, not '" + a + "'");
            return kExitUsage;
        }
        keep = true;
    }
    return runSuspendCommand("resume", inv.address, inv.khz, keep) == 0 ? kExitOk : kExitController;
}

}  // namespace

DORVANE_TOOL_COMMAND(kSuspendCommand) = {
    "suspend", "take the controller up (resume or open), set --khz, suspend it for the next program",
    "dorvane [--address ADDR] [--khz F] suspend\n"
    "\n"
    "Resumes the controller when it is suspended, else opens it; sets the TCK frequency when\n"
    "--khz is given; suspends it, leaving its pins as they are, for the next program.\n"
    "The in-process virtual pod ends with the tool: use the vpod server to try this without a pod\n"
    "(dorvane-vpod serve --socket PATH; DORVANE_DRIVER=vpod, DORVANE_VPOD_SERVER=PATH).\n",
    runSuspend};

DORVANE_TOOL_COMMAND(kResumeCommand) = {
    "resume", "resume a suspended controller, report its clock, close it (--keep: suspend again)",
    "dorvane [--address ADDR] resume [--keep]\n"
    "\n"
    "Resumes the suspended controller, prints its TCK frequency and closes it (which removes it\n"
    "from the suspend store); with --keep it is suspended again instead.\n",
    runResume};

}  // namespace dorvane::tools
