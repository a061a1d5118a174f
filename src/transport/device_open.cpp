// Finding and opening the FTDI device that a controller address names, and filling the new
// controller context from it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "core/errors.h"
#include "core/locks.h"
#include "transport/ftdi_driver.h"
#include "transport/transport.h"

namespace dorvane {

using namespace transport;

namespace {

bool sameText(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

bool isMpsseType(uint32_t t) {
    return t == FT_DEVICE_2232C || t == FT_DEVICE_2232H || t == FT_DEVICE_4232H || t == FT_DEVICE_232H;
}

// What an open attempt leaves behind while the device mutex is held.
struct Found {
    FtHandle handle = nullptr;
    uint32_t type = 0;
    uint32_t matchCount = 0;
    char serial[32] = {};
    char description[64] = {};
};

uint32_t statusFail(KpxContext* ctx, FtStatus st) {
    transportOf(ctx).lastFtStatus = st;
    return fail(ctx, statusToError(st));
}

void closeFound(Found& f) {
    if (f.handle) ftdiDriver().close(f.handle);
    f.handle = nullptr;
}

// Is the directly opened device the one the address asks for?
bool acceptDirect(const ControllerAddress& addr, uint32_t type, const char* desc) {
    const uint32_t fl = addr.flags;
    const bool def = fl & ADDRESS_DEFAULT_DESCRIPTION;
    if (type == FT_DEVICE_2232C || type == FT_DEVICE_2232H || type == FT_DEVICE_4232H) {
        if (fl & ADDRESS_NO_CHANNEL_SUFFIX) return false;
        if (fl & ADDRESS_CHANNEL_A)
            return sameText(desc, addr.descriptionA) || (def && sameText(desc, "USB <-> Serial Cable A"));
        if (fl & ADDRESS_CHANNEL_B)
            return sameText(desc, addr.descriptionB) || (def && sameText(desc, "USB <-> Serial Cable B"));
        return false;
    }
    if (type == FT_DEVICE_232H) {
        if (!(fl & ADDRESS_NO_CHANNEL_SUFFIX)) return false;
        return sameText(desc, addr.descriptionBase) || (def && sameText(desc, "USB <-> Serial Cable"));
    }
    return false;
}

// Open by serial number. Returns 0 with f.handle set when accepted, 0 with no handle when the
// device opened but is not the one asked for, 1 on a recorded failure.
uint32_t openBySerial(KpxContext* ctx, ControllerAddress& addr, Found& f) {
    FtdiDriver& drv = ftdiDriver();
    const char* sn = addr.serial;
    if (addr.flags & ADDRESS_CHANNEL_A) sn = addr.serialA;
    else if (addr.flags & ADDRESS_CHANNEL_B) sn = addr.serialB;
    else addr.flags |= ADDRESS_NO_CHANNEL_SUFFIX;
    FtStatus st = drv.openEx(sn, FT_OPEN_BY_SERIAL_NUMBER, &f.handle);
    if (st != FT_OK && (addr.flags & (ADDRESS_CHANNEL_A | ADDRESS_CHANNEL_B))) {
        addr.flags |= ADDRESS_NO_CHANNEL_SUFFIX;
        f.handle = nullptr;
        st = drv.openEx(addr.serial, FT_OPEN_BY_SERIAL_NUMBER, &f.handle);
    }
    if (st != FT_OK) { f.handle = nullptr; return statusFail(ctx, st); }
    uint32_t id = 0;
    st = drv.getDeviceInfo(f.handle, &f.type, &id, f.serial, f.description);
    if (st != FT_OK) { closeFound(f); return statusFail(ctx, st); }
    f.serial[sizeof f.serial - 1] = 0;
    f.description[sizeof f.description - 1] = 0;
    if (!acceptDirect(addr, f.type, f.description)) closeFound(f);
    return 0;
}

// Walk the attached devices in driver order and open the matching one.
uint32_t openByEnumeration(KpxContext* ctx, ControllerAddress& addr, Found& f) {
    FtdiDriver& drv = ftdiDriver();
    const bool byLun = addr.flags & ADDRESS_BY_LOGICAL_UNIT;
    uint32_t count = 0;
    FtStatus st = drv.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (st != FT_OK) return statusFail(ctx, st);
    if (byLun && uint64_t(addr.logicalUnitNumber) + 1 > count) return fail(ctx, err::LUN_NOT_FOUND);
    uint32_t matches = 0;
    bool chosen = false;
    uint32_t index = 0;
    for (; index < count; ++index) {
        addr.flags &= ~uint32_t(ADDRESS_BASE_DESCRIPTION_MATCHED);
        char desc[64] = {};
        void* idx = reinterpret_cast<void*>(static_cast<uintptr_t>(index));
        st = drv.listDevices(idx, desc, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        if (st == FT_DEVICE_NOT_OPENED) continue;   // held by another process
        if (st != FT_OK) return statusFail(ctx, st);
        desc[sizeof desc - 1] = 0;
        bool match = false;
        if (addr.flags & ADDRESS_CHANNEL_A) match = sameText(desc, addr.descriptionA);
        else if (addr.flags & ADDRESS_CHANNEL_B) match = sameText(desc, addr.descriptionB);
        if (sameText(desc, addr.descriptionBase)) {
            match = true;
            addr.flags |= ADDRESS_BASE_DESCRIPTION_MATCHED;
        }
        if (!match) continue;
        if (byLun) {
            if (matches == addr.logicalUnitNumber) { chosen = true; break; }
            ++matches;
            continue;
        }
        char sn[32] = {};
        st = drv.listDevices(idx, sn, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        if (st != FT_OK) return statusFail(ctx, st);
        sn[sizeof sn - 1] = 0;
        const char* want = nullptr;
        if (addr.flags & ADDRESS_BASE_DESCRIPTION_MATCHED) want = addr.serial;
        else if (addr.flags & ADDRESS_CHANNEL_A) want = addr.serialA;
        else if (addr.flags & ADDRESS_CHANNEL_B) want = addr.serialB;
        if (want && std::strcmp(sn, want) == 0) { chosen = true; break; }
        ++matches;
    }
    if (!chosen) return fail(ctx, byLun ? err::LUN_NOT_FOUND : err::SERIAL_NOT_FOUND);
    st = drv.open(index, &f.handle);
    if (st != FT_OK) { f.handle = nullptr; return statusFail(ctx, st); }
    uint32_t id = 0;
    st = drv.getDeviceInfo(f.handle, &f.type, &id, f.serial, f.description);
    if (st != FT_OK) { closeFound(f); return statusFail(ctx, st); }
    f.serial[sizeof f.serial - 1] = 0;
    f.description[sizeof f.description - 1] = 0;
    if (!isMpsseType(f.type)) { closeFound(f); return fail(ctx, err::UNSUPPORTED_DEVICE); }
    f.matchCount = matches;
    return 0;
}

// Everything of opening after the context exists; on failure the context is released.
uint32_t openAllocated(KpxContext* ctx, uint32_t* handle, ControllerAddress& addr, Found& f) {
    TransportPart& tp = transportOf(ctx);
    auto* block = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
    if (!block) {
        releaseContext(*handle);
        *handle = 0xFFFFFFFFu;
        return fail(nullptr, err::ALLOC);
    }
    tp.resultHead = block;
    tp.resultTail = block;

    auto abandon = [&]() {
        closeFound(f);
        tp.ftHandle = nullptr;
        releaseController(ctx, *handle);
        *handle = 0xFFFFFFFFu;
        return 1u;
    };

    uint32_t rc = 0;
    {
        platform::NamedMutexGuard held(deviceMutex());
        if (!(addr.flags & ADDRESS_BY_LOGICAL_UNIT)) rc = openBySerial(ctx, addr, f);
        if (rc == 0 && !f.handle) rc = openByEnumeration(ctx, addr, f);
    }
    if (rc) return abandon();

    tp.ftHandle = f.handle;
    tp.dataBusDirection = addr.dataBusDirection;
    tp.dataBusValue = addr.dataBusValue;
    tp.ctrlBusDirection = addr.ctrlBusDirection;
    tp.ctrlBusValue = addr.ctrlBusValue;
    if (f.type == FT_DEVICE_2232C) {   // four high GPIO lines only
        tp.ctrlBusDirection &= 0x0F;
        tp.ctrlBusValue &= 0x0F;
    }
    if (addr.trstBus != 0) {
        if (f.type == FT_DEVICE_2232C && addr.trstBus == 2 && addr.trstMask > 8) {
            recordError(ctx, err::TRST_FT2232C);
            return abandon();
        }
        if (f.type == FT_DEVICE_4232H && addr.trstBus == 2) {
            recordError(ctx, err::TRST_FT4232H);
            return abandon();
        }
        tp.trstBus = addr.trstBus;
        tp.trstMask = addr.trstMask;
    }
    tp.tapMode[0] = static_cast<TapMode>(addr.tapMode[0]);
    tp.tapMode[1] = static_cast<TapMode>(addr.tapMode[1]);
    tp.swdDormantWakeUp = (addr.flags & ADDRESS_SWD_DORMANT_WAKEUP) ? 1 : 0;

    // Opened by serial number: the serial without its channel letter; by logical unit: none.
    ctx->serialNumber[0] = 0;
    if (!(addr.flags & ADDRESS_BY_LOGICAL_UNIT)) {
        std::snprintf(ctx->serialNumber, sizeof ctx->serialNumber, "%s", f.serial);
        const size_t n = std::strlen(ctx->serialNumber);
        if (f.type != FT_DEVICE_232H && n > 0) ctx->serialNumber[n - 1] = 0;
    }
    // The canonical address, cut to the field's 63 characters.
    std::string canonical = ctx->serialNumber[0] == 0
        ? "USB" + std::to_string((addr.flags & ADDRESS_BY_LOGICAL_UNIT) ? addr.logicalUnitNumber : 0u) + ","
        : std::string("USBS") + ctx->serialNumber + ",";
    canonical += f.description;
    canonical.resize(std::min<size_t>(canonical.size(), sizeof ctx->controllerAddress - 1));
    std::memcpy(ctx->controllerAddress, canonical.c_str(), canonical.size() + 1);
    ctx->logicalUnitNumber = f.matchCount;
    const uint32_t base = (f.type == FT_DEVICE_2232C) ? 6000u : 30000u;
    tp.baseClockKHz = base;
    tp.maxTckKHz = static_cast<int32_t>(base);
    tp.minTckKHz = 1;
    if (tp.tckKHz == 0) tp.tckKHz = 6000;
    refreshControllerInfo(ctx);
    resetWriteChunk(ctx);
    tp.pendingReadBytes = 0;
    return 0;
}

}  // namespace

uint32_t openDevice(KpxContext** out, uint32_t* handle, const char* address) {
    *out = nullptr;
    ControllerAddress addr;
    std::memset(&addr, 0, sizeof addr);
    if (parseControllerAddress(&addr, address)) return 1;
    KpxContext* ctx = allocateContext(handle);
    if (!ctx) return 1;
    Found f;
    try {
        if (openAllocated(ctx, handle, addr, f)) return 1;
    } catch (...) {
        // Out of memory on the way: the device and the context go before the export's guard
        // reports it, so neither stays taken.
        closeFound(f);
        transportOf(ctx).ftHandle = nullptr;
        releaseController(ctx, *handle);
        *handle = 0xFFFFFFFFu;
        throw;
    }
    *out = ctx;
    return 0;
}

void releaseController(KpxContext* ctx, uint32_t handle) {
    TransportPart& tp = transportOf(ctx);
    for (ResultBlock* block = tp.resultHead; block;) {
        for (uint32_t i = block->readIndex; i < block->count && i < kRecordsPerBlock; ++i) {
            if (block->records[i].flags & RR_PENDING) freeRecordBuffers(&block->records[i]);
        }
        ResultBlock* next = block->next;
        std::free(block);
        block = next;
    }
    tp.resultHead = nullptr;
    tp.resultTail = nullptr;
    std::free(tp.commandBuffer);
    tp.commandBuffer = nullptr;
    releaseContext(handle);
}

}  // namespace dorvane
