// Controller address strings: "USB", "USB<n>[,<description>]", "USBS<serial>[,<description>]",
// "USBS\"<serial>\"[,<description>]" and "USBF<kcf name>".
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "config/config.h"
#include "config/text_scanner.h"

namespace dorvane {

namespace {

constexpr const char* kDefaultDescriptionA = "Dual RS232 A";
constexpr const char* kDefaultDescriptionBase = "Dual RS232";

void useDefaultDescriptions(ControllerAddress* addr) {
    addr->descriptionA = kDefaultDescriptionA;
    addr->descriptionBase = kDefaultDescriptionBase;
    addr->flags |= ADDRESS_DEFAULT_DESCRIPTION;
}

void useDescription(ControllerAddress* addr, const char* description) {
    config::joinText(addr->descriptionBaseBuffer, sizeof addr->descriptionBaseBuffer, description, "");
    // A 127-character description leaves no room for the channel letter; the truncated text
    // then matches no device, whose descriptions are far shorter.
    config::joinText(addr->descriptionABuffer, sizeof addr->descriptionABuffer, description, " A");
    addr->descriptionBase = addr->descriptionBaseBuffer;
    addr->descriptionA = addr->descriptionABuffer;
    addr->flags &= ~ADDRESS_DEFAULT_DESCRIPTION;
}

void useSerial(ControllerAddress* addr, const char* serial) {
    if (serial != addr->serial) config::joinText(addr->serial, sizeof addr->serial, serial, "");
    config::joinText(addr->serialA, sizeof addr->serialA, addr->serial, "A");
    addr->flags &= ~ADDRESS_BY_LOGICAL_UNIT;
}

uint32_t useLogicalUnit(ControllerAddress* addr, const char* number) {
    uint32_t lun;
    if (!config::scanUnsigned(number, &lun)) return 1;
    addr->logicalUnitNumber = lun;
    addr->flags |= ADDRESS_BY_LOGICAL_UNIT;
    return 0;
}

// The unquoted forms. 0: parsed; 1: not one of them (errors recorded), try the quoted forms;
// 2: a KCF file name whose reading failed (its error recorded).
uint32_t parseUnquoted(ControllerAddress* addr, const char* address) {
    char keyword[5] = {};
    char part[32] = {};
    char separator = 0;
    char description[128] = {};   // %c does not terminate: the zeroes do
    char rest[2] = {};
    int n = std::sscanf(address, "%4[usbfUSBF]%31[^,]%c%127c%1s", keyword, part, &separator, description, rest);

    bool usb = config::equalsIgnoreCase(keyword, "USB");
    bool usbs = config::equalsIgnoreCase(keyword, "USBS");
    bool usbf = config::equalsIgnoreCase(keyword, "USBF");
    switch (n) {
    case 1:
        if (!usb) break;
        addr->logicalUnitNumber = 0;
        addr->flags |= ADDRESS_BY_LOGICAL_UNIT | ADDRESS_CHANNEL_A;
        useDefaultDescriptions(addr);
        return 0;
    case 2:
        if (usb) {
            if (useLogicalUnit(addr, part)) {
                recordError(nullptr, err::ADDR_LUN);
                return 1;
            }
            addr->flags |= ADDRESS_CHANNEL_A;
            useDefaultDescriptions(addr);
            return 0;
        }
        if (usbs) {
            if (part[0] == '"') return 1;
            useSerial(addr, part);
            addr->flags |= ADDRESS_CHANNEL_A;
            useDefaultDescriptions(addr);
            return 0;
        }
        if (usbf) return readKcfFile(addr, part) ? 2 : 0;
        break;
    case 4:
        if (separator != ',') {
            // The part filled all 31 characters without reaching a comma.
            recordError(nullptr, usb ? err::ADDR_LUN_COMMA : usbs ? err::ADDR_SERIAL_COMMA : err::ADDR_TYPE);
            return 1;
        }
        if (usb) {
            if (useLogicalUnit(addr, part)) {
                recordError(nullptr, err::ADDR_LUN);
                return 1;
            }
            addr->flags |= ADDRESS_CHANNEL_A;
            useDescription(addr, description);
            return 0;
        }
        if (usbs) {
            if (part[0] == '"') return 1;
            useSerial(addr, part);
            addr->flags |= ADDRESS_CHANNEL_A;
            useDescription(addr, description);
            return 0;
        }
        break;
    default:
        recordError(nullptr, err::ADDR_INVALID);
        return 1;
    }
    recordError(nullptr, err::ADDR_TYPE);
    return 1;
}

// The quoted serial forms; every error here ends the parse.
uint32_t parseQuoted(ControllerAddress* addr, const char* address) {
    char keyword[5] = {};
    char serial[16] = {};
    char afterSerial = 0;
    char separator = 0;
    char description[98] = {};
    char rest[2] = {};
    int n = std::sscanf(address, "%4[usbUSB]\"%15[^\"]%c%c%97c%1s", keyword, serial, &afterSerial, &separator,
                        description, rest);
    if (n >= 2) std::memcpy(addr->serial, serial, sizeof serial);
    if (n != 3 && n != 5) return fail(nullptr, err::ADDR_INVALID);
    if (!config::equalsIgnoreCase(keyword, "USBS")) return fail(nullptr, err::ADDR_TYPE);
    if (afterSerial != '"') return fail(nullptr, err::ADDR_SERIAL_QUOTE);
    if (n == 5 && separator != ',') return fail(nullptr, err::ADDR_SERIAL_COMMA);

    useSerial(addr, addr->serial);
    addr->flags |= ADDRESS_CHANNEL_A;
    if (n == 3) useDefaultDescriptions(addr);
    else useDescription(addr, description);
    return 0;
}

}  // namespace

uint32_t parseControllerAddress(ControllerAddress* addr, const char* address) {
    if (!addr || !address) return fail(nullptr, err::NULL_POINTER);
    switch (parseUnquoted(addr, address)) {
    case 0: return 0;
    case 2: return 1;
    default: return parseQuoted(addr, address);
    }
}

}  // namespace dorvane
