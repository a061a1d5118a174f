// The driver seam: the D2XX call set the library uses, with D2XX's FT_STATUS numbers.
// Providers (vpod, d2xx) implement FtdiDriver; the library reaches the chip
// only through ftdiDriver().
#pragma once

#include <cstdint>

namespace dorvane::platform { class Event; }

namespace dorvane::transport {

using FtStatus = uint32_t;
using FtHandle = void*;

enum : FtStatus {
    FT_OK = 0, FT_INVALID_HANDLE = 1, FT_DEVICE_NOT_FOUND = 2, FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4, FT_INSUFFICIENT_RESOURCES = 5, FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7, FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9, FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11, FT_EEPROM_WRITE_FAILED = 12, FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14, FT_EEPROM_NOT_PROGRAMMED = 15, FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17, FT_OTHER_ERROR = 18, FT_DEVICE_LIST_NOT_READY = 19,
};

enum : uint32_t {
    FT_LIST_NUMBER_ONLY = 0x80000000u, FT_LIST_BY_INDEX = 0x40000000u, FT_LIST_ALL = 0x20000000u,
    FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2, FT_OPEN_BY_LOCATION = 4,
    FT_PURGE_RX = 1, FT_PURGE_TX = 2, FT_EVENT_RXCHAR = 1,
};

enum : uint32_t { FT_DEVICE_2232C = 4, FT_DEVICE_232R = 5, FT_DEVICE_2232H = 6, FT_DEVICE_4232H = 7, FT_DEVICE_232H = 8 };

// Every member returns an FT_STATUS and follows D2XX's contract for the call of the same
// name. Implementations are thread-safe per handle for one writer thread plus one reader
// thread (the library's receive thread), as D2XX is.
class FtdiDriver {
public:
    virtual ~FtdiDriver() = default;
    // D2XX FT_ListDevices: (count*, null, NUMBER_ONLY), (index, buffer, BY_INDEX|OPEN_BY_SERIAL_NUMBER
    // or |OPEN_BY_DESCRIPTION). Status 3 for the description of a device another process holds.
    virtual FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) = 0;
    virtual FtStatus openEx(const char* serialNumber, uint32_t flags, FtHandle* handle) = 0;
    virtual FtStatus open(uint32_t index, FtHandle* handle) = 0;
    // serial: 32-byte buffer, description: 64-byte buffer; either may be null.
    virtual FtStatus getDeviceInfo(FtHandle handle, uint32_t* type, uint32_t* id, char* serial,
                                   char* description) = 0;
    virtual FtStatus close(FtHandle handle) = 0;
    virtual FtStatus resetDevice(FtHandle handle) = 0;
    virtual FtStatus purge(FtHandle handle, uint32_t mask) = 0;
    virtual FtStatus setBitMode(FtHandle handle, uint8_t mask, uint8_t mode) = 0;
    virtual FtStatus setTimeouts(FtHandle handle, uint32_t readMs, uint32_t writeMs) = 0;
    virtual FtStatus setLatencyTimer(FtHandle handle, uint8_t ms) = 0;
    // The event is set whenever bytes arrive in the receive queue (event mask FT_EVENT_RXCHAR).
    virtual FtStatus setEventNotification(FtHandle handle, uint32_t mask, platform::Event* event) = 0;
    virtual FtStatus getQueueStatus(FtHandle handle, uint32_t* count) = 0;
    // Returns when count bytes arrived or the read timeout passed; count 0 is allowed.
    virtual FtStatus read(FtHandle handle, void* buffer, uint32_t count, uint32_t* got) = 0;
    virtual FtStatus write(FtHandle handle, const void* buffer, uint32_t count, uint32_t* written) = 0;
    virtual FtStatus cyclePort(FtHandle handle) = 0;
};

// The provider chosen by DORVANE_DRIVER (vpod or d2xx) on first use; the default is d2xx on
// Windows and vpod elsewhere (defaultDriverName). Any other name, "libftdi" included (not
// built), gets a provider that has no devices: it answers every call with
// FT_DEVICE_NOT_FOUND / FT_INVALID_HANDLE. Never null.
FtdiDriver& ftdiDriver();
// Replaces the provider (tests); null goes back to the one DORVANE_DRIVER names.
void setFtdiDriver(FtdiDriver* driver);

}  // namespace dorvane::transport
