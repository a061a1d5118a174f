// Chain detection over the exported scan functions.
#include "chain.h"

#include <cstdio>

#include "dorvane/dorvane.h"
#include "tool.h"

namespace dorvane::tools {
namespace {

std::vector<uint8_t> unpack(const std::vector<uint16_t>& words, size_t n) {
    std::vector<uint8_t> bits(n);
    for (size_t i = 0; i < n; ++i) bits[i] = (words[i / 16] >> (i % 16)) & 1;
    return bits;
}

bool splitFrom(const std::vector<uint8_t>& bits, size_t at, size_t left, std::vector<uint32_t>& cur,
               std::vector<uint32_t>& best, size_t& bestOnes) {
    if (left == 0) {
        if (at != bits.size()) return false;
        size_t ones = 0, pos = 0;
        for (uint32_t len : cur) {
            for (size_t i = pos + 2; i < pos + len; ++i) ones += bits[i];
            pos += len;
        }
        if (best.empty() || ones < bestOnes) { best = cur; bestOnes = ones; }
        return true;
    }
    // Every IR captures 1 then 0 in its two lowest bits.
    if (at + 2 > bits.size() || bits[at] != 1 || bits[at + 1] != 0) return false;
    bool found = false;
    for (size_t len = 2; at + len <= bits.size(); ++len) {
        cur.push_back(static_cast<uint32_t>(len));
        found |= splitFrom(bits, at + len, left - 1, cur, best, bestOnes);
        cur.pop_back();
    }
    return found;
}

}  // namespace

const char* jedecManufacturer(uint32_t idcode) {
    const char* name = jep106Name(((idcode >> 8) & 0x0F) + 1, (idcode >> 1) & 0x7F);
    return name ? name : "";
}

std::vector<ChainDevice> parseIdcodes(const std::vector<uint8_t>& bits) {
    std::vector<ChainDevice> out;
    size_t pos = 0;
    while (pos < bits.size()) {
        if (bits[pos] == 0) {   // BYPASS captures 0
            out.push_back({});
            ++pos;
            continue;
        }
        if (pos + 32 > bits.size()) break;
        uint32_t id = 0;
        for (size_t i = 0; i < 32; ++i) id |= static_cast<uint32_t>(bits[pos + i]) << i;
        if (id == 0xFFFFFFFFu) break;   // the ones shifted in behind the last device
        ChainDevice d;
        d.hasIdcode = true;
        d.idcode = id;
        out.push_back(d);
        pos += 32;
    }
    return out;
}

std::vector<uint32_t> splitIrCapture(const std::vector<uint8_t>& bits, size_t devices) {
    std::vector<uint32_t> cur, best;
    size_t bestOnes = 0;
    if (devices == 0 || devices > 64 || bits.size() > 512) return best;
    splitFrom(bits, 0, devices, cur, best, bestOnes);
    return best;
}

int detectChain(uint32_t handle, ChainReport* report, std::string* failedStep) {
    constexpr uint32_t kMaxDevices = 32;
    if (x_tmsReset(handle, 1) != 0) { *failedStep = "the TMS reset"; return 1; }

    // After the reset each device's IR selects IDCODE (or BYPASS); Shift-DR straight from
    // Test-Logic-Reset reads them all, ones following behind.
    const uint32_t drBits = 32 * kMaxDevices + 32;
    std::vector<uint16_t> ones((drBits + 15) / 16, 0xFFFF), tdo((drBits + 15) / 16, 0);
    if (x_scanLDr(handle, 1, ones.data(), drBits, tdo.data(), nullptr, nullptr) != 0) {
        *failedStep = "reading the IDCODEs";
        return 1;
    }
    report->devices = parseIdcodes(unpack(tdo, drBits));

    // IR length: zeros fill every IR, then the first one that comes out marks the total length.
    constexpr uint32_t kFill = 512;
    const uint32_t irBits = 2 * kFill;
    std::vector<uint16_t> pattern(irBits / 16, 0), irOut(irBits / 16, 0);
    for (uint32_t i = kFill / 16; i < irBits / 16; ++i) pattern[i] = 0xFFFF;
    if (x_scanLIr(handle, 1, pattern.data(), irBits, irOut.data(), nullptr, nullptr) != 0) {
        *failedStep = "measuring the IR chain";
        return 1;
    }
    std::vector<uint8_t> irCapture = unpack(irOut, irBits);
    report->irTotal = 0;
    for (uint32_t i = kFill; i < irBits; ++i)
        if (irCapture[i]) { report->irTotal = i - kFill; break; }
    irCapture.resize(report->irTotal);
    std::vector<uint32_t> lengths = splitIrCapture(irCapture, report->devices.size());
    report->irSplitKnown = !lengths.empty();
    for (size_t k = 0; k < lengths.size(); ++k) report->devices[k].irLength = lengths[k];

    // Leave the chain as a reset leaves it.
    if (x_tmsReset(handle, 1) != 0) { *failedStep = "the final TMS reset"; return 1; }
    return 0;
}

std::string formatChain(const std::string& address, uint32_t tckKHz, const ChainReport& report) {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "controller %s, TCK %u kHz\n", address.c_str(), tckKHz);
    out += line;
    std::snprintf(line, sizeof line, "chain: %zu device%s, IR chain %u bits (TDO end first)\n",
                  report.devices.size(), report.devices.size() == 1 ? "" : "s", report.irTotal);
    out += line;
    for (size_t k = 0; k < report.devices.size(); ++k) {
        const ChainDevice& d = report.devices[k];
        std::string ir = d.irLength ? std::to_string(d.irLength) : std::string("?");
        if (!d.hasIdcode) {
            std::snprintf(line, sizeof line, "  %zu: no IDCODE (BYPASS)  IR %s\n", k, ir.c_str());
        } else {
            const char* maker = jedecManufacturer(d.idcode);
            char makerText[96];
            if (*maker)
                std::snprintf(makerText, sizeof makerText, "%s", maker);
            else
                std::snprintf(makerText, sizeof makerText, "unknown (JEP106 bank %u, code 0x%02X)",
                              ((d.idcode >> 8) & 0xF) + 1, (d.idcode >> 1) & 0x7F);
            std::snprintf(line, sizeof line, "  %zu: IDCODE 0x%08X  version %u  part 0x%04X  %s  IR %s\n", k,
                          d.idcode, d.idcode >> 28, (d.idcode >> 12) & 0xFFFF, makerText, ir.c_str());
        }
        out += line;
    }
    return out;
}

std::string formatChainJson(const std::string& address, uint32_t tckKHz, const ChainReport& report) {
    std::string out = "{\"controller\": " + jsonString(address) + ", \"tckKHz\": " + std::to_string(tckKHz) +
                      ", \"irTotal\": " + std::to_string(report.irTotal) +
                      ", \"irSplitKnown\": " + (report.irSplitKnown ? "true" : "false") + ", \"devices\": [";
    char hex[16];
    for (size_t k = 0; k < report.devices.size(); ++k) {
        const ChainDevice& d = report.devices[k];
        out += k ? ", " : "";
        out += "{\"position\": " + std::to_string(k);
        if (d.hasIdcode) {
            std::snprintf(hex, sizeof hex, "0x%08X", d.idcode);
            out += std::string(", \"idcode\": \"") + hex + "\", \"version\": " + std::to_string(d.idcode >> 28);
            std::snprintf(hex, sizeof hex, "0x%04X", (d.idcode >> 12) & 0xFFFF);
            out += std::string(", \"part\": \"") + hex + "\"";
            out += ", \"jep106Bank\": " + std::to_string(((d.idcode >> 8) & 0xF) + 1) +
                   ", \"jep106Code\": " + std::to_string((d.idcode >> 1) & 0x7F);
            const char* maker = jep106Name(((d.idcode >> 8) & 0xF) + 1, (d.idcode >> 1) & 0x7F);
            out += ", \"manufacturer\": " + (maker ? jsonString(maker) : std::string("null"));
        } else {
            out += ", \"idcode\": null";
        }
        out += ", \"irLength\": " + (d.irLength ? std::to_string(d.irLength) : std::string("null")) + "}";
    }
    return out + "]}\n";
}

}  // namespace dorvane::tools
