// The suspend store: one profile file shared by every controller and process.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/locks.h"
#include "persist/persist.h"
#include "platform/platform.h"

namespace dorvane::persist {
namespace {

constexpr const char* kMagicSection = "Magic";
constexpr const char* kVersionKey = "Version";
constexpr const char* kVersion = "V1.0.0.0";

// The cached path and its lock, taken alone.
char cachedPath[1024];

platform::Lock& storePathLock() {
    static platform::Lock lock;
    return lock;
}

// Makes dir when missing; an existing non-directory of that name makes the store unavailable.
bool ensureDirectory(const std::string& dir) {
    if (platform::fileExists(dir)) return platform::directoryExists(dir);
    return platform::createDirectory(dir);
}

// Holds the device mutex for one change of the store. A mutex that cannot be had does not
// stop the change; the profile code still serialises the writers of this process.
class StoreWriteGuard {
public:
    StoreWriteGuard() : locked_(deviceMutex().lock()) {}
    ~StoreWriteGuard() { if (locked_) deviceMutex().unlock(); }
    StoreWriteGuard(const StoreWriteGuard&) = delete;
    StoreWriteGuard& operator=(const StoreWriteGuard&) = delete;
private:
    bool locked_;
};

bool markerPresent(const char* path) {
    char version[20] = {};
    const uint32_t n = platform::getProfileString(kMagicSection, kVersionKey, "V 0", version, sizeof version, path);
    return n == 8 && std::strcmp(version, kVersion) == 0;
}

}  // namespace

const char* storePath() {
    platform::LockGuard guard(storePathLock());
    if (cachedPath[0]) return cachedPath;
    const std::string base = platform::machineDataDirectory();   // "ALLUSERSPROFILE"
    if (base.empty()) return nullptr;
    char quillon[1024];
    const int n = std::snprintf(quillon, sizeof quillon, "%s\\Quillon", base.c_str());
    if (n <= 0 || static_cast<size_t>(n) >= sizeof quillon) return nullptr;
    const std::string devices = std::string(quillon) + "\\devices";
    const std::string file = devices + "\\dorvane.ini";
    if (file.size() >= sizeof cachedPath || !ensureDirectory(quillon) || !ensureDirectory(devices)) return nullptr;
    std::memcpy(cachedPath, file.c_str(), file.size() + 1);
    return cachedPath;
}

bool storeSuspendInfo(const char* path, const char* section, const uint32_t clockRecord[3]) {
    uint8_t bytes[kClockRecordSize];
    for (int i = 0; i < 12; ++i) bytes[i] = static_cast<uint8_t>(clockRecord[i / 4] >> (8 * (i % 4)));
    StoreWriteGuard guard;
    return platform::writeProfileString(kMagicSection, kVersionKey, kVersion, path) &&
           platform::writeProfileStruct(section, "Clock", bytes, kClockRecordSize, path) &&
           platform::writeProfileStruct(section, "Voltage", nullptr, 8, path) &&
           platform::writeProfileStruct(section, "Threshold", nullptr, 8, path);
}

bool loadResumeInfo(const char* path, const char* section, uint32_t clockRecord[3]) {
    if (!markerPresent(path)) return false;
    uint8_t bytes[kClockRecordSize];
    if (!platform::getProfileStruct(section, "Clock", bytes, kClockRecordSize, path)) return false;
    for (int w = 0; w < 3; ++w) clockRecord[w] = 0;
    for (int i = 0; i < 12; ++i) clockRecord[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
    return true;
}

void forgetController(const char* section) noexcept {
    // Runs on the way out of close and port cycle, which must release the controller whatever
    // happens here: an allocation failure only leaves the section behind.
    try {
        const char* path = storePath();
        if (!path) return;
        StoreWriteGuard guard;
        if (markerPresent(path)) platform::writeProfileStruct(section, nullptr, nullptr, 0, path);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace dorvane::persist
