// The virtual pod's device interface: the D2XX call set over emulated FTDI chips.
// Every function follows the contract of the D2XX call of the same name and returns a
// D2XX FT_STATUS number. Both the library's in-process provider and the D2XX-compatible
// shared library (libdorvane_vpod.so) are thin wrappers of these functions.
//
// The board (which chips are attached, what hangs on each channel) comes from the INI file
// that DORVANE_VPOD names, or the default board when it is unset; see docs/vpod.md and
// vpod/control.h for loading one programmatically.
#pragma once

#include <cstdint>

namespace vpod {

using Status = uint32_t;

enum : Status {
    kOk = 0, kInvalidHandle = 1, kDeviceNotFound = 2, kDeviceNotOpened = 3, kIoError = 4,
    kInsufficientResources = 5, kInvalidParameter = 6, kInvalidArgs = 16, kNotSupported = 17,
    kOtherError = 18,
};

enum : uint32_t {
    kListNumberOnly = 0x80000000u, kListByIndex = 0x40000000u, kListAll = 0x20000000u,
    kOpenBySerialNumber = 1, kOpenByDescription = 2, kOpenByLocation = 4,
    kPurgeRx = 1, kPurgeTx = 2, kEventRxChar = 1,
};

enum : uint32_t { kType2232C = 4, kType2232H = 6, kType4232H = 7, kType232H = 8 };

// An open interface. Opaque; valid from open until close.
struct Handle;

// Called (without any vpod lock held) whenever bytes arrive in the receive queue.
using Notify = void (*)(void* arg);

// arg1/arg2/flags as D2XX: (uint32_t* count, null, kListNumberOnly);
// ((void*)(uintptr_t)index, char buffer, kListByIndex | kOpenBySerialNumber or kOpenByDescription);
// (char* array[], uint32_t* count, kListAll | ...). The description of an interface held by
// another process (or already open) answers kDeviceNotOpened.
Status listDevices(void* arg1, void* arg2, uint32_t flags);
// Frees the board and the trace files when the code holding the pod goes away (the unload of
// the library it is built into). Nothing is freed while a handle is open. The next call
// loads the board again.
void release();
// arg: serial number or description text (flags 1 / 2), or the location id as (void*)(uintptr_t).
Status openEx(const void* arg, uint32_t flags, Handle** handle);
Status open(uint32_t index, Handle** handle);
// serial: 16+ bytes (32 recommended), description: 64 bytes; either may be null.
Status getDeviceInfo(Handle* handle, uint32_t* type, uint32_t* id, char* serial, char* description);
Status close(Handle* handle);
Status resetDevice(Handle* handle);
Status purge(Handle* handle, uint32_t mask);
Status setBitMode(Handle* handle, uint8_t mask, uint8_t mode);
Status setTimeouts(Handle* handle, uint32_t readMs, uint32_t writeMs);
Status setLatencyTimer(Handle* handle, uint8_t ms);
// mask kEventRxChar with a callback arms the notification; mask 0 or a null callback disarms it.
Status setEventNotification(Handle* handle, uint32_t mask, Notify notify, void* arg);
Status getQueueStatus(Handle* handle, uint32_t* count);
// Not a D2XX call: how many of the queued bytes a send-immediate (or stray bytes) released, so
// that a USB front end may send them before its latency timer runs out.
Status getReleasedCount(Handle* handle, uint32_t* count);
// Returns when count bytes are there or the read timeout passed (status OK, *got < count).
Status read(Handle* handle, void* buffer, uint32_t count, uint32_t* got);
// MPSSE commands are executed while the call runs; answers are readable when it returns.
Status write(Handle* handle, const void* buffer, uint32_t count, uint32_t* written);
// The chip leaves the bus: every open handle of it dies (calls fail with kIoError, close
// still works); it enumerates again once those handles are closed.
Status cyclePort(Handle* handle);

}  // namespace vpod
