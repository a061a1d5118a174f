// Controller addresses and KCF files, parsed into a ControllerAddress: which device to open
// and how its pins start.
#pragma once

#include <cstdint>
#include <string>

namespace dorvane {

enum : uint32_t {
    ADDRESS_BY_LOGICAL_UNIT = 0x01, ADDRESS_BASE_DESCRIPTION_MATCHED = 0x02, ADDRESS_DEFAULT_DESCRIPTION = 0x04,
    ADDRESS_NO_CHANNEL_SUFFIX = 0x08, ADDRESS_CHANNEL_A = 0x10, ADDRESS_CHANNEL_B = 0x20,
    ADDRESS_SWD_DORMANT_WAKEUP = 0x40,   // KCF "SwdConnect=DormantToSwd"
};

struct ControllerAddress {
    uint32_t flags;
    const char* descriptionA;
    const char* descriptionB;
    const char* descriptionBase;
    char descriptionABuffer[128];
    char descriptionBBuffer[128];
    char descriptionBaseBuffer[128];
    union {
        uint32_t logicalUnitNumber;
        char serialA[33];
    };
    char serialB[33];
    char serial[33];
    uint8_t trstBus;
    uint8_t trstMask;
    uint8_t dataBusDirection;
    uint8_t dataBusValue;
    uint8_t ctrlBusDirection;
    uint8_t ctrlBusValue;
    uint8_t tapMode[2];
};

// Both record their error with no context and return 1 on failure.
uint32_t parseControllerAddress(ControllerAddress* addr, const char* address);
uint32_t readKcfFile(ControllerAddress* addr, const char* name);

// The directory KCF files are looked for in (set at library load).
const std::string& kcfDirectory();
void setKcfDirectory(const std::string& dir);

}  // namespace dorvane
