// dorvane: opens a controller, resets its JTAG chain and reports the devices on it.
//
//   dorvane [--vpod] [--address ADDR] [--khz F] [--vcd FILE] detect
//   dorvane [options] swd info | read ADDR [COUNT] | write ADDR VALUE...
//
// --vpod (or DORVANE_DRIVER=vpod) runs against the virtual pod's default board; --vcd writes
// the pin waveform of the session when the virtual pod is in use.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dorvane/dorvane.h"
#include "chain.h"
#include "cmd_suspend.h"

namespace dorvane::tools {
int swdCommand(uint32_t handle, const std::vector<std::string>& args);   // cmd_swd.cpp
}

namespace {

// The tool reaches the library only through its exports; the driver choice travels by
// environment variable, set here with the C library.
void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

void usage() {
    std::fprintf(stderr,
                 "usage: dorvane [--vpod] [--address ADDR] [--khz F] [--vcd FILE] detect\n"
                 "       dorvane [--address ADDR] [--khz F] suspend | [--keep] resume\n"
                 "  --vpod          use the virtual pod (same as DORVANE_DRIVER=vpod)\n"
                 "  --address ADDR  controller address (default USB: logical unit 0)\n"
                 "  --khz F         TCK frequency in kHz (default: the controller's default)\n"
                 "  --vcd FILE      write the virtual pod's pin waveform to FILE\n"
                 "  detect          reset the chain, list its devices (IDCODE, manufacturer, IR length)\n"
                 "  swd info | read ADDR [COUNT] | write ADDR VALUE...\n"
                 "                  an SWD target through the virtual JTAG-DP (with --vpod and no --address:\n"
                 "                  the default board's channel B, KCF file DorvaneVpodSwd beside the tool)\n"
                 "  suspend         take the controller up (resume or open), set F, suspend it for the next program\n"
                 "  resume          resume a suspended controller, report its clock, close it (--keep: suspend again)\n");
}

void reportFailure(uint32_t handle, const char* what) {
    const char* msg = handle != 0xFFFFFFFFu ? x_kpxErrorMsg(handle) : kpx_error_msg();
    std::fprintf(stderr, "dorvane: %s failed: %s\n", what, msg ? msg : "(no message)");
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "USB";
    std::string vcd;
    bool vpod = false;
    bool keep = false;
    int khz = 0;
    std::string command;
    std::vector<std::string> commandArgs;
    bool addressGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--vpod") vpod = true;
        else if (a == "--address" && i + 1 < argc) { address = argv[++i]; addressGiven = true; }
        else if (a == "--vcd" && i + 1 < argc) vcd = argv[++i];
        else if (a == "--khz" && i + 1 < argc) khz = std::atoi(argv[++i]);
        else if (a == "--keep") keep = true;
        else if (a == "-h" || a == "--help") { usage(); return 0; }
        else if (command == "swd") commandArgs.push_back(a);
        else if (a[0] != '-' && command.empty()) command = a;
        else { usage(); return 2; }
    }
    if (command != "detect" && command != "swd" && command != "suspend" && command != "resume") { usage(); return 2; }
    if (command == "swd" && vpod && !addressGiven) address = "USBFDorvaneVpodSwd";

    if (vpod) setVariable("DORVANE_DRIVER", "vpod");
    const char* driver = std::getenv("DORVANE_DRIVER");
    const bool usingVpod = vpod || (driver && std::strcmp(driver, "vpod") == 0);
    if (!vcd.empty()) {
        if (!usingVpod) {
            std::fprintf(stderr, "dorvane: --vcd needs the virtual pod (--vpod)\n");
            return 2;
        }
        // The virtual pod looks at this variable again at every open.
        setVariable("DORVANE_VPOD_VCD", vcd.c_str());
    }

    if (command == "suspend" || command == "resume")
        return dorvane::tools::runSuspendCommand(command, address, khz, keep);

    uint32_t handle = 0xFFFFFFFFu;
    if (x_openKpx(&handle, address.c_str()) != 0) {
        reportFailure(0xFFFFFFFFu, ("opening controller " + address).c_str());
        return 1;
    }
    int status = 0;
    if (khz > 0 && x_setScanFrequency(handle, khz) != 0) {
        reportFailure(handle, "setting the TCK frequency");
        status = 1;
    }
    if (command == "swd") {
        if (status == 0) status = dorvane::tools::swdCommand(handle, commandArgs);
        x_closeKpx(handle);
        return status;
    }
    dorvane::tools::ChainReport chain;
    if (status == 0) {
        std::string failedStep;
        if (dorvane::tools::detectChain(handle, &chain, &failedStep) != 0) {
            reportFailure(handle, failedStep.c_str());
            status = 1;
        }
    }
    if (status == 0) {
        const DorvaneControllerInfo* info = nullptr;
        uint32_t tck = 0;
        if (x_kpxGetControllerInfo(handle, &info) == 0 && info) tck = static_cast<uint32_t>(info->tckKHz);
        std::printf("%s", dorvane::tools::formatChain(address, tck, chain).c_str());
    }
    x_closeKpx(handle);
    if (!vcd.empty() && status == 0) std::printf("waveform written to %s\n", vcd.c_str());
    return status;
}
