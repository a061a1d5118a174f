// libdorvane_vpod: the virtual pod behind D2XX's C entry points, so that programs (and the
// library's d2xx provider) can load it in place of the vendor's driver library.
#include <cstdint>

#include "../src/hostio.h"
#include "vpod/vpod.h"

#if defined(_WIN32)
#define VPOD_FTAPI __stdcall
#define VPOD_EXPORT extern "C" __declspec(dllexport)
#else
#define VPOD_FTAPI
#define VPOD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using DWORD = uint32_t;
using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

namespace {
vpod::Handle* H(FT_HANDLE h) { return static_cast<vpod::Handle*>(h); }
void signalEvent(void* event) { vpod::detail::host::signalD2xxEvent(event); }
}  // namespace

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_ListDevices(void* pArg1, void* pArg2, DWORD Flags) {
    return vpod::listDevices(pArg1, pArg2, Flags);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_OpenEx(void* pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    vpod::Handle* h = nullptr;
    FT_STATUS st = vpod::openEx(pArg1, Flags, &h);
    if (pHandle) *pHandle = st == vpod::kOk ? h : nullptr;
    return st;
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
    if (deviceNumber < 0) return vpod::kDeviceNotFound;
    vpod::Handle* h = nullptr;
    FT_STATUS st = vpod::open(static_cast<uint32_t>(deviceNumber), &h);
    if (pHandle) *pHandle = st == vpod::kOk ? h : nullptr;
    return st;
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_GetDeviceInfo(FT_HANDLE ftHandle, DWORD* lpftDevice, DWORD* lpdwID,
                                                  char* SerialNumber, char* Description, void* /*Dummy*/) {
    return vpod::getDeviceInfo(H(ftHandle), lpftDevice, lpdwID, SerialNumber, Description);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_Close(FT_HANDLE ftHandle) { return vpod::close(H(ftHandle)); }
VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_ResetDevice(FT_HANDLE ftHandle) { return vpod::resetDevice(H(ftHandle)); }
VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_Purge(FT_HANDLE ftHandle, DWORD Mask) { return vpod::purge(H(ftHandle), Mask); }

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_SetBitMode(FT_HANDLE ftHandle, unsigned char ucMask, unsigned char ucEnable) {
    return vpod::setBitMode(H(ftHandle), ucMask, ucEnable);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_SetTimeouts(FT_HANDLE ftHandle, DWORD ReadTimeout, DWORD WriteTimeout) {
    return vpod::setTimeouts(H(ftHandle), ReadTimeout, WriteTimeout);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_SetLatencyTimer(FT_HANDLE ftHandle, unsigned char ucLatency) {
    return vpod::setLatencyTimer(H(ftHandle), ucLatency);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask, void* Param) {
    return vpod::setEventNotification(H(ftHandle), Mask, Param ? signalEvent : nullptr, Param);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
    return vpod::getQueueStatus(H(ftHandle), dwRxBytes);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_Read(FT_HANDLE ftHandle, void* lpBuffer, DWORD dwBytesToRead, DWORD* lpBytesReturned) {
    return vpod::read(H(ftHandle), lpBuffer, dwBytesToRead, lpBytesReturned);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_Write(FT_HANDLE ftHandle, void* lpBuffer, DWORD dwBytesToWrite, DWORD* lpBytesWritten) {
    return vpod::write(H(ftHandle), lpBuffer, dwBytesToWrite, lpBytesWritten);
}

VPOD_EXPORT FT_STATUS VPOD_FTAPI FT_CyclePort(FT_HANDLE ftHandle) { return vpod::cyclePort(H(ftHandle)); }
