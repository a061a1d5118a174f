// KCF files: how to find the FTDI device and how the pod is wired, read afresh at every open.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/errors.h"
#include "config/config.h"
#include "config/scan.h"
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

uint32_t readTrstPin(KpxControllerSpec* spec, const char* value) {
    if (std::strlen(value) > 8) return 1;
    char prefix[8] = {};
    std::memcpy(prefix, value, std::strlen(value) < 7 ? std::strlen(value) : 7);
    char digit = value[7];
    unsigned lowest;
    if (config::equalsIgnoreCase(prefix, "DataBus")) {
        spec->trstBus = 1;
        lowest = 4;
    } else if (config::equalsIgnoreCase(prefix, "CtrlBus")) {
        spec->trstBus = 2;
        lowest = 0;
    } else {
        return 1;
    }
    if (digit < '0' || digit > '7' || static_cast<unsigned>(digit - '0') < lowest) return 1;
    spec->trstMask = static_cast<uint8_t>(1u << (digit - '0'));
    return 0;
}

}  // namespace

const std::string& kcfDirectory() { return kcfDirectoryStorage(); }

void setKcfDirectory(const std::string& dir) { kcfDirectoryStorage() = dir; }

uint32_t readKcfFile(KpxControllerSpec* spec, const char* name) {
    if (!spec || !name) return fail(nullptr, err::NULL_POINTER);

    std::string path = kcfPath(name);
    if (!platform::fileExists(path)) return fail(nullptr, err::KCF_NOT_FOUND);
    if (!platform::fileReadable(path)) return fail(nullptr, err::KCF_NO_READ_ACCESS);
    KcfReader kcf(path);

    if (!kcf.read("Version") || std::strcmp(kcf.value(), "1.0.0.0") != 0) {
        return fail(nullptr, err::KCF_VERSION);
    }
    spec->flags = 0;

    char modeKey[32];
    std::snprintf(modeKey, sizeof modeKey, "Tap%dMode", static_cast<int>(kTapId));
    if (!kcf.read(modeKey) || config::equalsIgnoreCase(kcf.value(), "BSCAN")) {
        spec->tapMode[kTapId] = 0;
    } else if (config::equalsIgnoreCase(kcf.value(), "BSCAN2SWD")) {
        spec->tapMode[kTapId] = 1;
    } else {
        return fail(nullptr, err::KCF_MODE);
    }

    if (!kcf.read("InterfaceType") || config::equalsIgnoreCase(kcf.value(), "LogicalUnitNumber")) {
        spec->flags |= SPEC_BY_LOGICAL_UNIT;
    } else if (config::equalsIgnoreCase(kcf.value(), "SerialNumber")) {
        spec->flags &= ~SPEC_BY_LOGICAL_UNIT;
    } else {
        return fail(nullptr, err::KCF_INTERFACE_TYPE);
    }

    if (spec->flags & SPEC_BY_LOGICAL_UNIT) {
        uint32_t lun = 0;
        if (kcf.read("LogicalUnitNumber") && !config::scanUnsigned(kcf.value(), &lun)) {
            return fail(nullptr, err::KCF_LUN);
        }
        spec->logicalUnitNumber = lun;
    } else {
        if (!kcf.read("SerialNumber") || !scanLine(kcf.value(), 14, spec->serial, sizeof spec->serial)) {
            return fail(nullptr, err::KCF_SERIAL);
        }
        config::joinText(spec->serialA, sizeof spec->serialA, spec->serial, "A");
        config::joinText(spec->serialB, sizeof spec->serialB, spec->serial, "B");
    }

    if (!kcf.read("DescriptionString")) {
        config::joinText(spec->descriptionBaseBuffer, sizeof spec->descriptionBaseBuffer, kDefaultDescription, "");
        spec->flags |= SPEC_DEFAULT_DESCRIPTION;
    } else if (!scanLine(kcf.value(), 61, spec->descriptionBaseBuffer, sizeof spec->descriptionBaseBuffer)) {
        return fail(nullptr, err::KCF_DESCRIPTION);
    }
    config::joinText(spec->descriptionABuffer, sizeof spec->descriptionABuffer, spec->descriptionBaseBuffer, " A");
    config::joinText(spec->descriptionBBuffer, sizeof spec->descriptionBBuffer, spec->descriptionBaseBuffer, " B");
    spec->descriptionA = spec->descriptionABuffer;
    spec->descriptionB = spec->descriptionBBuffer;
    spec->descriptionBase = spec->descriptionBaseBuffer;

    if (!kcf.read("SubDevice")) {
        spec->flags |= SPEC_CHANNEL_A;
    } else {
        char sub;
        if (!scanSingleChar(kcf.value(), &sub)) return fail(nullptr, err::KCF_SUB_DEVICE);
        spec->flags &= ~(SPEC_CHANNEL_A | SPEC_CHANNEL_B);
        if (sub == 'A' || sub == 'a') spec->flags |= SPEC_CHANNEL_A;
        else if (sub == 'B' || sub == 'b') spec->flags |= SPEC_CHANNEL_B;
    }

    // In BSCAN2SWD mode the pod has no TRST pin.
    spec->trstBus = 0;
    spec->trstMask = 0;
    if (spec->tapMode[kTapId] == 0 && kcf.read("TrstPin") && readTrstPin(spec, kcf.value())) {
        return fail(nullptr, err::KCF_TRST_PIN);
    }

    uint32_t v;
    if (!kcf.read("StaticIoDataBusControl")) {
        spec->dataBusDirection = 0;
        spec->dataBusValue = 0;
    } else {
        if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_CONTROL);
        // The low four data-bus pins carry the JTAG lines; in SWD-bridge mode bit 0 is free.
        uint8_t direction = static_cast<uint8_t>(v & (spec->tapMode[kTapId] == 1 ? 0xF1 : 0xF0));
        if (spec->trstBus == 1) direction = static_cast<uint8_t>(direction & ~spec->trstMask);
        spec->dataBusDirection = direction;
        spec->dataBusValue = 0;
        if (kcf.read("StaticIoDataBusValue")) {
            if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_VALUE);
            spec->dataBusValue = static_cast<uint8_t>(v & direction);
        }
    }

    spec->ctrlBusDirection = 0;
    spec->ctrlBusValue = 0;
    if (!kcf.read("StaticIoCtrlBusControl")) return 0;
    if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_CONTROL);
    uint8_t direction = static_cast<uint8_t>(v);
    if (spec->trstBus == 2) direction = static_cast<uint8_t>(direction & ~spec->trstMask);
    spec->ctrlBusDirection = direction;
    if (kcf.read("StaticIoCtrlBusValue")) {
        if (!config::scanHexByte(kcf.value(), &v)) return fail(nullptr, err::KCF_STATIC_VALUE);
        spec->ctrlBusValue = static_cast<uint8_t>(v & direction);
    }
    return 0;
}

}  // namespace dorvane
