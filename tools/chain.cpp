// Chain detection over the exported scan functions.
#include "chain.h"

#include <cstdio>

#include "dorvane/dorvane.h"

namespace dorvane::tools {
namespace {

struct Jedec { uint8_t bank; uint8_t code; const char* name; };
// A few manufacturers that boards commonly carry (JEP106; bank = continuation codes).
constexpr Jedec kJedec[] = {
    {0, 0x01, "AMD"}, {0, 0x09, "Intel"}, {0, 0x0E, "Freescale (Motorola)"}, {0, 0x15, "NXP (Philips)"},
    {0, 0x17, "Texas Instruments"}, {0, 0x1F, "Atmel"}, {0, 0x20, "STMicroelectronics"},
    {0, 0x21, "Lattice Semiconductor"}, {0, 0x29, "Microchip Technology"}, {0, 0x34, "Cypress"},
    {0, 0x49, "Xilinx"}, {0, 0x6E, "Altera"}, {4, 0x3B, "ARM Ltd"},
};

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
    const uint8_t bank = (idcode >> 8) & 0x0F;
    const uint8_t code = (idcode >> 1) & 0x7F;
    for (const Jedec& j : kJedec)
        if (j.bank == bank && j.code == code) return j.name;
    return "";
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
                std::snprintf(makerText, sizeof makerText, "unknown (bank %u, code 0x%02X)", (d.idcode >> 8) & 0xF,
                              (d.idcode >> 1) & 0x7F);
            std::snprintf(line, sizeof line, "  %zu: IDCODE 0x%08X  version %u  part 0x%04X  %s  IR %s\n", k,
                          d.idcode, d.idcode >> 28, (d.idcode >> 12) & 0xFFFF, makerText, ir.c_str());
        }
        out += line;
    }
    return out;
}

}  // namespace dorvane::tools
