// Chain detection by scans, as a user of the library would do it, and its report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dorvane::tools {

struct ChainDevice {
    bool hasIdcode = false;   // false: the device came up in BYPASS
    uint32_t idcode = 0;
    uint32_t irLength = 0;    // 0 when the split of the IR chain was not unique
};

struct ChainReport {
    std::vector<ChainDevice> devices;   // TDO end first
    uint32_t irTotal = 0;
    bool irSplitKnown = false;
};

// The JEDEC manufacturer of an IDCODE (bits 11:1: continuation count 11:8, code 7:1), or "".
const char* jedecManufacturer(uint32_t idcode);
// The JEP106 name of a manufacturer: bank as published (1 = no continuation code), code 1-126; or null.
const char* jep106Name(unsigned bank, unsigned code);
// Devices from the DR bits captured right after a reset (TDO order, one bit per entry).
// The scan shifts ones in behind, so 32 ones in a row end the chain.
std::vector<ChainDevice> parseIdcodes(const std::vector<uint8_t>& bits);
// Splits the captured IR bits (each IR captures ...01) into `devices` lengths, TDO end first.
// Empty when no split exists; when several exist the one with the fewest extra ones is taken.
std::vector<uint32_t> splitIrCapture(const std::vector<uint8_t>& bits, size_t devices);

// Resets TAP 1 of the open controller and fills the report; returns 0, or 1 with the failing
// step named in *failedStep.
int detectChain(uint32_t handle, ChainReport* report, std::string* failedStep);
std::string formatChain(const std::string& address, uint32_t tckKHz, const ChainReport& report);
// The same report as one JSON object.
std::string formatChainJson(const std::string& address, uint32_t tckKHz, const ChainReport& report);

}  // namespace dorvane::tools
