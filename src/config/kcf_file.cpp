// KCF files: how to find the FTDI device and how the pod is wired, read afresh at every open.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/errors.h"
#include "config/config.h"
#include "config/text_scanner.h"
#include "platform/platform.h"

namespace dorvane {

namespace {

constexpr const char* kSection = "FT2232Kpx";
constexpr const char* kDefaultDescription = "Dual RS232";
constexpr uint32_t kValueSize = 1024;
constexpr uint32_t kTapId = 1;   // the controller's only TAP

std::string& kcfDirectoryStorage() {
    static std::string dir;
    return dir;
}

// "name" keeps its own extension when a full stop comes after its last separator.
std::string kcfPath(const char* name) {
    const char* lastMark = nullptr;
    for (const char* p = name; *p; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':' || *p == '.') lastMark = p;
    }
    std::string path = kcfDirectory();
    path += name;
    if (!lastMark || *lastMark != '.') path += ".Kcf";
    return platform::normalisePath(path);
}

class KcfReader {
public:
    explicit KcfReader(std::string path) : path_(std::move(path)) {}

    // Reads key into value(); false when the key is absent (missing, empty or blank).
    bool read(const char* key) {
        value_[0] = '\0';
        platform::getProfileString(kSection, key, "", value_, kValueSize, path_.c_str());
        value_[kValueSize - 1] = '\0';
        return !config::isBlank(value_);
    }
    const char* value() const { return value_; }

private:
    std::string path_;
    char value_[kValueSize] = {};
};

// One character per format, nothing after it: "%c%1s" with one conversion.
bool scanSingleChar(const char* text, char* c) {
    if (text[0] == '\0') return false;
    *c = text[0];
    return config::isBlank(text + 1);
}

// "%<max>[^\n]%1s" with one conversion: 1 to max characters up to the first line break,
// followed by nothing but white space.
bool scanLine(const char* text, size_t max, char* out, size_t outSize) {
    size_t n = std::strcspn(text, "\n");
    if (n == 0 || n > max || !config::isBlank(text + n) || n >= outSize) return false;
    std::memcpy(out, text, n);
    out[n] = '\0';
    return true;
}

uint32_t readTrstPin(ControllerAddress* addr, const char* value) {
    if (std::strlen(value) > 8) return 1;
    char prefix[8] = {};
    std::memcpy(prefix, value, std::strlen(value) < 7 ? std::strlen(value) : 7);
    char digit = value[7];
    unsigned lowest;
    if (config::equalsIgnoreCase(prefix, "DataBus")) {
        addr->trstBus = 1;
        lowest = 4;
    } else if (config::equalsIgnoreCase(prefix, "CtrlBus")) {
        addr->trstBus = 2;
        lowest = 0;
    } else {
        return 1;
    }
    if (digit < '0' || digit > '7' || static_cast<unsigned>(digit - '0') < lowest) return 1;
    addr->trstMask = static_cast<uint8_t>(1u << (digit - '0'));
    return 0;
}

}  // namespace

const std::string& kcfDirectory() { return kcfDirectoryStorage(); }

void setKcfDirectory(const std::string& dir) { kcfDirectoryStorage() = dir; }

uint32_t readKcfFile(ControllerAddress* addr, const char* name) {
    if (!addr || !name) return fail(nullptr, err::NULL_POINTER);

    std::string path = kcfPath(name);
    if (!platform::fileExists(path)) return fail(nullptr, err::KCF_NOT_FOUND);
    if (!platform::fileReadable(path)) return fail(nullptr, err::KCF_NO_READ_ACCESS);
    KcfReader kcf(path);

    if (!kcf.read("Version") || std::strcmp(kcf.value(), "1.0.0.0") != 0) {
        return fail(nullptr, err::KCF_VERSION);
    }
    addr->flags = 0;

    char modeKey[32];
    std::snprintf(modeKey, sizeof modeKey, "Tap%dMode", static_cast<int>(kTapId));
    if (!kcf.read(modeKey) || config::equalsIgnoreCase(kcf.value(), "BSCAN")) {
        addr->tapMode[kTapId] = 0;
    } else if (config::equalsIgnoreCase(kcf.value(), "BSCAN2SWD")) {
        addr->tapMode[kTapId] = 1;
    } else {
        return fail(nullptr, err::KCF_MODE);
    }

    if (!kcf.read("InterfaceType") || config::equalsIgnoreCase(kcf.value(), "LogicalUnitNumber")) {
        addr->flags |= ADDRESS_BY_LOGICAL_UNIT;
    } else if (config::equalsIgnoreCase(kcf.value(), "SerialNumber")) {
        addr->flags &= ~ADDRESS_BY_LOGICAL_UNIT;
    } else {
        return fail(nullptr, err::KCF_INTERFACE_TYPE);
    }

    if (addr->flags & ADDRESS_BY_LOGICAL_UNIT) {
        uint32_t lun = 0;
        if (kcf.read("LogicalUnitNumber") && !config::scanUnsigned(kcf.value(), &lun)) {
            return fail(nullptr, err::KCF_LUN);
        }
        addr->logicalUnitNumber = lun;
    } else {
        if (!kcf.read("SerialNumber") || !scanLine(kcf.value(), 14, addr->serial, sizeof addr->serial)) {
            return fail(nullptr, err::KCF_SERIAL);
        }
        config::joinText(addr->serialA, sizeof addr->serialA, addr->serial, "A");
        config::joinText(addr->serialB, sizeof addr->serialB, addr->serial, "B");
    }

    if (!kcf.read("DescriptionString")) {
        config::joinText(addr->descriptionBaseBuffer, sizeof addr->descriptionBaseBuffer, kDefaultDescription, "");
        addr->flags |= ADDRESS_DEFAULT_DESCRIPTION;
    } else if (!scanLine(kcf.value(), 61, addr->descriptionBaseBuffer, sizeof addr->descriptionBaseBuffer)) {
        return fail(nullptr, err::KCF_DESCRIPTION);
    }
    config::joinText(addr->descriptionABuffer, sizeof addr->descriptionABuffer, addr->descriptionBaseBuffer, " A");
    config::joinText(addr->descriptionBBuffer, sizeof addr->descriptionBBuffer, addr->descriptionBaseBuffer, " B");
    addr->descriptionA = addr->descriptionABuffer;
    addr->descriptionB = addr->descriptionBBuffer;
    addr->descriptionBase = addr->descriptionBaseBuffer;

    if (!kcf.read("SubDevice")) {
        addr->flags |= ADDRESS_CHANNEL_A;
    } else {
        char sub;
        if (!scanSingleChar(kcf.value(), &sub)) return fail(nullptr, err::KCF_SUB_DEVICE);
        addr->flags &= ~(ADDRESS_CHANNEL_A | ADDRESS_CHANNEL_B);
        if (sub == 'A' || sub == 'a') addr->flags |= ADDRESS_CHANNEL_A;
        else if (sub == 'B' || sub == 'b') addr->flags |= ADDRESS_CHANNEL_B;
    }

    // In BSCAN2SWD mode the pod has no TRST pin.
    addr->trstBus = 0;
    addr->trstMask = 0;
    if (addr->tapMode[kTapId] == 0 && kcf.read("TrstPin") && readTrstPin(addr, kcf.value())) {
        return fail(nullptr, err::KCF_TRST_PIN);
    }
    // The SWD bridge's connect sequence: the JTAG-to-SWD switch alone ("JtagToSwd", the
    // default), or first the ADIv5.2 wake-up for targets that power up Dormant ("DormantToSwd").
    if (addr->tapMode[kTapId] == 1 && kcf.read("SwdConnect")) {
        if (config::equalsIgnoreCase(kcf.value(), "DormantToSwd")) addr->flags |= ADDRESS_SWD_DORMANT_WAKEUP;
        else if (!config::equalsIgnoreCase(kcf.value(), "JtagToSwd")) return fail(nullptr, err::KCF_MODE);
    }

    uint32_t v;
    if (!kcf.read("StaticIoDataBusControl")) {
        addr->dataBusDirection = 0;
        addr->dataBusValue = 0;
    } else {
        if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_CONTROL);
        // The low four data-bus pins carry the JTAG lines; in SWD-bridge mode bit 0 is free.
        uint8_t direction = static_cast<uint8_t>(v & (addr->tapMode[kTapId] == 1 ? 0xF1 : 0xF0));
        if (addr->trstBus == 1) direction = static_cast<uint8_t>(direction & ~addr->trstMask);
        addr->dataBusDirection = direction;
        addr->dataBusValue = 0;
        if (kcf.read("StaticIoDataBusValue")) {
            if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_VALUE);
            addr->dataBusValue = static_cast<uint8_t>(v & direction);
        }
    }

    addr->ctrlBusDirection = 0;
    addr->ctrlBusValue = 0;
    if (!kcf.read("StaticIoCtrlBusControl")) return 0;
    if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_CONTROL);
    uint8_t direction = static_cast<uint8_t>(v);
    if (addr->trstBus == 2) direction = static_cast<uint8_t>(direction & ~addr->trstMask);
    addr->ctrlBusDirection = direction;
    if (kcf.read("StaticIoCtrlBusValue")) {
        if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_VALUE);
        addr->ctrlBusValue = static_cast<uint8_t>(v & direction);
    }
    return 0;
}

}  // namespace dorvane
