// JEDEC JEP106 manufacturer names, by bank (as published: bank 1 has no continuation code) and code.
#include "chain.h"

namespace dorvane::tools {
namespace {
struct Maker { unsigned char bank, code; const char* name; };
constexpr Maker kMakers[] = {
    {1, 0x01, "AMD"}, {1, 0x09, "Intel"}, {1, 0x0E, "Freescale (Motorola)"}, {1, 0x15, "NXP (Philips)"},
    {1, 0x17, "Texas Instruments"}, {1, 0x1F, "Atmel"}, {1, 0x20, "STMicroelectronics"},
    {1, 0x21, "Lattice Semiconductor"}, {1, 0x29, "Microchip Technology"}, {1, 0x34, "Cypress"},
    {1, 0x49, "Xilinx"}, {1, 0x6E, "Altera"}, {5, 0x3B, "ARM Ltd"},
};
}  // namespace

const char* jep106Name(unsigned bank, unsigned code) {
    for (const Maker& m : kMakers)
        if (m.bank == bank && m.code == code) return m.name;
    return nullptr;
}

}  // namespace dorvane::tools
