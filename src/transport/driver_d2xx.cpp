// The D2XX provider: FTDI's driver library (or a compatible one) loaded at run time.
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "transport/driver_providers.h"

#if defined(_WIN32)
#define DORVANE_FTAPI __stdcall
#else
#define DORVANE_FTAPI
#endif

namespace dorvane::transport {
namespace {

using DWORD = uint32_t;
using FnListDevices = FtStatus(DORVANE_FTAPI*)(void*, void*, DWORD);
using FnOpenEx = FtStatus(DORVANE_FTAPI*)(void*, DWORD, FtHandle*);
using FnOpen = FtStatus(DORVANE_FTAPI*)(int, FtHandle*);
using FnGetDeviceInfo = FtStatus(DORVANE_FTAPI*)(FtHandle, DWORD*, DWORD*, char*, char*, void*);
using FnHandle = FtStatus(DORVANE_FTAPI*)(FtHandle);
using FnHandleDword = FtStatus(DORVANE_FTAPI*)(FtHandle, DWORD);
using FnSetBitMode = FtStatus(DORVANE_FTAPI*)(FtHandle, unsigned char, unsigned char);
using FnSetTimeouts = FtStatus(DORVANE_FTAPI*)(FtHandle, DWORD, DWORD);
using FnSetLatency = FtStatus(DORVANE_FTAPI*)(FtHandle, unsigned char);
using FnSetEvent = FtStatus(DORVANE_FTAPI*)(FtHandle, DWORD, void*);
using FnQueue = FtStatus(DORVANE_FTAPI*)(FtHandle, DWORD*);
using FnReadWrite = FtStatus(DORVANE_FTAPI*)(FtHandle, void*, DWORD, DWORD*);

const char* defaultLibraryName() {
#if defined(_WIN32)
    return "FTD2XX.dll";
#else
    return "libftd2xx.so";
#endif
}

class D2xxDriver final : public FtdiDriver {
public:
    FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) override {
        if (!load()) return nullDriver().listDevices(arg1, arg2, flags);
        return listDevices_(arg1, arg2, flags);
    }
    FtStatus openEx(const char* serialNumber, uint32_t flags, FtHandle* handle) override {
        if (!load()) return FT_DEVICE_NOT_FOUND;
        return openEx_(const_cast<char*>(serialNumber), flags, handle);
    }
    FtStatus open(uint32_t index, FtHandle* handle) override {
        if (!load()) return FT_DEVICE_NOT_FOUND;
        if (index > 0x7FFFFFFFu) return FT_DEVICE_NOT_FOUND;
        return open_(static_cast<int>(index), handle);
    }
    FtStatus getDeviceInfo(FtHandle h, uint32_t* type, uint32_t* id, char* serial, char* description) override {
        if (!load()) return FT_INVALID_HANDLE;
        return getDeviceInfo_(h, type, id, serial, description, nullptr);
    }
    FtStatus close(FtHandle h) override { return load() ? close_(h) : FT_INVALID_HANDLE; }
    FtStatus resetDevice(FtHandle h) override { return load() ? resetDevice_(h) : FT_INVALID_HANDLE; }
    FtStatus purge(FtHandle h, uint32_t mask) override { return load() ? purge_(h, mask) : FT_INVALID_HANDLE; }
    FtStatus setBitMode(FtHandle h, uint8_t mask, uint8_t mode) override {
        return load() ? setBitMode_(h, mask, mode) : FT_INVALID_HANDLE;
    }
    FtStatus setTimeouts(FtHandle h, uint32_t r, uint32_t w) override {
        return load() ? setTimeouts_(h, r, w) : FT_INVALID_HANDLE;
    }
    FtStatus setLatencyTimer(FtHandle h, uint8_t ms) override {
        return load() ? setLatencyTimer_(h, ms) : FT_INVALID_HANDLE;
    }
    FtStatus setEventNotification(FtHandle h, uint32_t mask, platform::Event* event) override {
        if (!load()) return FT_INVALID_HANDLE;
        // D2XX takes the OS object itself: the pthread record on POSIX, the event HANDLE on Windows.
        return setEventNotification_(h, mask, event ? event->nativeHandle() : nullptr);
    }
    FtStatus getQueueStatus(FtHandle h, uint32_t* count) override {
        return load() ? getQueueStatus_(h, count) : FT_INVALID_HANDLE;
    }
    FtStatus read(FtHandle h, void* buffer, uint32_t count, uint32_t* got) override {
        return load() ? read_(h, buffer, count, got) : FT_INVALID_HANDLE;
    }
    FtStatus write(FtHandle h, const void* buffer, uint32_t count, uint32_t* written) override {
        return load() ? write_(h, const_cast<void*>(buffer), count, written) : FT_INVALID_HANDLE;
    }
    FtStatus cyclePort(FtHandle h) override { return load() ? cyclePort_(h) : FT_INVALID_HANDLE; }

private:
    template <typename T>
    bool symbol(const char* name, T* fn) {
        void* p = platform::librarySymbol(library_, name);
        *fn = reinterpret_cast<T>(p);
        return p != nullptr;
    }
    bool load() {
        std::call_once(once_, [this] {
            std::string path;
            if (!platform::getEnv("DORVANE_D2XX_LIBRARY", path) || path.empty()) path = defaultLibraryName();
            library_ = platform::loadLibrary(path.c_str());
            if (!library_) return;
            loaded_ = symbol("FT_ListDevices", &listDevices_) && symbol("FT_OpenEx", &openEx_) &&
                      symbol("FT_Open", &open_) && symbol("FT_GetDeviceInfo", &getDeviceInfo_) &&
                      symbol("FT_Close", &close_) && symbol("FT_ResetDevice", &resetDevice_) &&
                      symbol("FT_Purge", &purge_) && symbol("FT_SetBitMode", &setBitMode_) &&
                      symbol("FT_SetTimeouts", &setTimeouts_) && symbol("FT_SetLatencyTimer", &setLatencyTimer_) &&
                      symbol("FT_SetEventNotification", &setEventNotification_) &&
                      symbol("FT_GetQueueStatus", &getQueueStatus_) && symbol("FT_Read", &read_) &&
                      symbol("FT_Write", &write_) && symbol("FT_CyclePort", &cyclePort_);
            if (!loaded_) {
                platform::freeLibrary(library_);
                library_ = nullptr;
            }
        });
        return loaded_;
    }

    std::once_flag once_;
    void* library_ = nullptr;   // kept loaded for the life of the process
    bool loaded_ = false;
    FnListDevices listDevices_ = nullptr;
    FnOpenEx openEx_ = nullptr;
    FnOpen open_ = nullptr;
    FnGetDeviceInfo getDeviceInfo_ = nullptr;
    FnHandle close_ = nullptr, resetDevice_ = nullptr, cyclePort_ = nullptr;
    FnHandleDword purge_ = nullptr;
    FnSetBitMode setBitMode_ = nullptr;
    FnSetTimeouts setTimeouts_ = nullptr;
    FnSetLatency setLatencyTimer_ = nullptr;
    FnSetEvent setEventNotification_ = nullptr;
    FnQueue getQueueStatus_ = nullptr;
    FnReadWrite read_ = nullptr, write_ = nullptr;
};

}  // namespace

FtdiDriver& d2xxDriver() {
    // Not a static object: the library's unload closes open controllers through it after
    // the static destructors have run, and then frees it.
    static FtdiDriver* driver = keepUntilUnload(new D2xxDriver);
    return *driver;
}

const char* defaultDriverName() {
#if defined(_WIN32)
    return "d2xx";
#else
    return "libftdi";
#endif
}

}  // namespace dorvane::transport
