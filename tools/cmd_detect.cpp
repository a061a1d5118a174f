// dorvane detect: resets the JTAG chain and lists its devices.
#include <cstdio>

#include "chain.h"
#include "tool.h"

namespace dorvane::tools {
namespace {

int runDetect(const Invocation& inv) {
    bool json = false;
    for (const std::string& a : inv.args) {
        if (a == "--json") {
            json = true;
        } else {
            errorLine("detect: unexpected argument '" + a + "' (dorvane detect --help)");
            return kExitUsage;
        }
    }
    Controller controller;
    if (int status = controller.open(inv)) return status;
    ChainReport chain;
    std::string failedStep;
    if (detectChain(controller.handle(), &chain, &failedStep) != 0) {
        errorLine(failedStep + " failed: " + libraryError(controller.handle()));
        return kExitController;
    }
    const uint32_t tck = tckKHzOf(controller.handle());
    if (int status = controller.close()) return status;
    std::fputs((json ? formatChainJson(inv.address, tck, chain) : formatChain(inv.address, tck, chain)).c_str(),
               stdout);
    if (!inv.vcd.empty() && !json) std::printf("waveform written to %s\n", inv.vcd.c_str());
    return kExitOk;
}

}  // namespace

DORVANE_TOOL_COMMAND(kDetectCommand) = {
    "detect", "reset the JTAG chain and list its devices (IDCODE, manufacturer, IR length)",
    "dorvane [OPTIONS] detect [--json]\n"
    "\n"
    "Resets the chain of the controller's TAP through TMS, reads the IDCODEs that the reset\n"
    "selects and measures the instruction registers; prints each device, TDO end first, with\n"
    "its JEDEC manufacturer and IR length.\n"
    "  --json            print the report as one JSON object\n"
    "\n"
    "exit status: 0 detected, 2 bad command line, 4 the library reported a failure\n\n",
    runDetect};

}  // namespace dorvane::tools
