// dorvane list: every FTDI interface the chosen driver finds.
#pragma once

#include <string>

namespace dorvane::transport { class FtdiDriver; }

namespace dorvane::tools {

// One line per interface (index, chip type, serial number, description), as the driver lists
// them, or one JSON object with --json; *ok is false when the driver could not list at all (the text then says why).
std::string listInterfaces(transport::FtdiDriver& driver, bool* ok, bool json = false);
// The same through the driver DORVANE_DRIVER chooses.
std::string listInterfaces(bool* ok, bool json = false);

}  // namespace dorvane::tools
