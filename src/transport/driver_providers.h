// The providers behind the driver seam; driver.cpp picks one by DORVANE_DRIVER.
#pragma once

#include <string>

#include "transport/ftdi_driver.h"

namespace dorvane::transport {

// Answers as if no device were attached (an unusable or unbuilt provider).
FtdiDriver& nullDriver();
// The virtual pod: this process's own board, or while DORVANE_VPOD_SERVER names a vpod
// server, that server's board (the virtual pod forwards every call itself).
FtdiDriver& vpodDriver();
// The D2XX library that DORVANE_D2XX_LIBRARY names (default: the vendor's file name), loaded
// on first use; if it cannot be loaded, it answers as nullDriver() does.
FtdiDriver& d2xxDriver();
// libftdi1 (and libusb): real pods on Linux. Built where pkg-config finds libftdi1.
FtdiDriver& libftdiDriver();
// The provider of that name ("vpod", "d2xx", "libftdi", any case); nullDriver() for an unknown
// name or a provider this build lacks.
FtdiDriver& driverNamed(const std::string& name);
// Providers made on the heap are kept here so that the library's unload can free them
// (releaseDrivers), after it has closed the controllers still open through them.
FtdiDriver* keepUntilUnload(FtdiDriver* driver);
void releaseDrivers();
// The provider used when DORVANE_DRIVER is unset: "d2xx" on Windows, "libftdi" elsewhere.
const char* defaultDriverName();

}  // namespace dorvane::transport
