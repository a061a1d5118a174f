// The suspend and resume commands of the dorvane tool (cmd_suspend.cpp).
#pragma once

#include <string>

namespace dorvane::tools {

// command: "suspend" or "resume". Returns the tool's exit code.
int runSuspendCommand(const std::string& command, const std::string& address, int khz, bool keep);

}  // namespace dorvane::tools
