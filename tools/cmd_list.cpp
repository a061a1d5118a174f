// dorvane list. The library's exports have no call that lists devices, so this one command
// asks the driver seam directly, through whichever provider DORVANE_DRIVER (or --vpod) chose.
#include "cmd_list.h"
#include "tool.h"

#include <cstdio>

#include "transport/driver_providers.h"

namespace dorvane::tools {

using namespace transport;

namespace {

std::string typeName(uint32_t type) {
    switch (type) {
    case FT_DEVICE_2232C: return "FT2232C/D";
    case FT_DEVICE_232R: return "FT232R";
    case FT_DEVICE_2232H: return "FT2232H";
    case FT_DEVICE_4232H: return "FT4232H";
    case FT_DEVICE_232H: return "FT232H";
    default: return "type " + std::to_string(type);
    }
}

}  // namespace

std::string listInterfaces(FtdiDriver& driver, bool* ok, bool json) {
    uint32_t count = 0;
    const FtStatus st = driver.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    *ok = st == FT_OK;
    if (!*ok) return "the FTDI driver could not list devices (status " + std::to_string(st) + ")\n";
    if (count == 0) return json ? "{\"interfaces\": []}\n" : "no FTDI interfaces found\n";
    std::string out = json ? "{\"interfaces\": [" : "";
    for (uint32_t i = 0; i < count; ++i) {
        void* index = reinterpret_cast<void*>(uintptr_t{i});
        char serial[32] = {}, description[64] = {};
        driver.listDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        const bool held = driver.listDevices(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) ==
                          FT_DEVICE_NOT_OPENED;
        // The type needs the device open for a moment; one another program holds stays unknown.
        std::string type = "?";
        FtHandle h = nullptr;
        if (!held && driver.openEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &h) == FT_OK) {
            uint32_t t = 0;
            if (driver.getDeviceInfo(h, &t, nullptr, nullptr, nullptr) == FT_OK) type = typeName(t);
            driver.close(h);
        }
        if (json) {
            out += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"type\": " +
                   (held ? std::string("null") : jsonString(type)) + ", \"serial\": " + jsonString(serial) +
                   ", \"description\": " + (held ? std::string("null") : jsonString(description)) +
                   ", \"held\": " + (held ? "true" : "false") + "}";
            continue;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%2u  %-9s  %-12s  %s\n", i, type.c_str(), serial,
                      held ? "(held by another program)" : description);
        out += line;
    }
    return json ? out + "]}\n" : out;
}

std::string listInterfaces(bool* ok, bool json) { return listInterfaces(ftdiDriver(), ok, json); }

}  // namespace dorvane::tools

namespace dorvane::tools {
namespace {

int runList(const Invocation& inv) {
    bool json = false;
    for (const std::string& a : inv.args) {
        if (a != "--json") {
            errorLine("list takes only --json, not '" + a + "'");
            return kExitUsage;
        }
        json = true;
    }
    if (inv.vpod) setVariable("DORVANE_DRIVER", "vpod");
    bool ok = false;
    const std::string text = listInterfaces(&ok, json);
    std::fputs(text.c_str(), ok ? stdout : stderr);
    return ok ? kExitOk : kExitController;
}

}  // namespace

DORVANE_TOOL_COMMAND(kListCommand) = {
    "list", "list every FTDI interface the driver finds (type, serial number, description)",
    "dorvane [--vpod] list [--json]\n"
    "\n"
    "Lists the interfaces of every FTDI chip the chosen driver (DORVANE_DRIVER, or --vpod) finds:\n"
    "index, chip type, serial number and description; an interface another program holds is\n"
    "marked so.\n"
    "  --json            print the list as one JSON object\n",
    runList};

}  // namespace dorvane::tools
