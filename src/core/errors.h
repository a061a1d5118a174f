// Detailed error codes, their public numbers and messages, and how failures are recorded.
#pragma once

#include <cstdint>

namespace dorvane {

struct KpxContext;

struct ErrorRow {
    uint32_t code;
    int32_t publicNumber;
    const char* message;
};

// The error table in its defined order; the last row ("unknown system error") ends every search.
const ErrorRow* errorTable(uint32_t* rowCount);
const ErrorRow& findError(uint32_t code);

// Stores code in ctx->lastError (caller holds its contextLock) and in the process-wide slot.
// Always returns 0.
uint32_t recordError(KpxContext* ctx, uint32_t code);
uint32_t globalLastError();
// The code an error reader reports: the context's when the handle leads to one, else the
// process-wide slot. A busy or invalid handle falls back silently.
uint32_t lastErrorFor(uint32_t handle);
// D2XX status to detailed code.
uint32_t statusToError(uint32_t ftStatus);

// Records err and returns 1: the usual tail of a failing internal operation.
inline uint32_t fail(KpxContext* ctx, uint32_t code) { recordError(ctx, code); return 1; }

namespace err {
enum : uint32_t {
    OK = 0, SYSTEM = 1, LOCKED = 2, WRONG_PARAMETER = 3, ILLEGAL_PARAMETER = 4, ALLOC = 5,
    INTERNAL = 6, OUT_OF_RANGE = 7, ILLEGAL_TAP_ID = 8, WRONG_TAP_MASK = 10, NOT_SUPPORTED = 11,
    STABLE_STATE_EXPECTED_17 = 17, STABLE_STATE_EXPECTED = 18, STATE_UNKNOWN = 19,
    INVALID_HANDLE = 13, STILL_ACTIVE = 33, TRST_NOT_AVAILABLE = 23, TRST_ACTIVE = 24,
    CONTROLLER_TIMEOUT = 35, SUSPEND_NOT_STORED = 20, ILLEGAL_RESUME = 34,
    QRIO_LIST_TOO_LONG = 3003, INVALID_CYCLE_TYPE = 3006, INVALID_MODE_ID = 3009, INVALID_ONE_TCK = 3020,
    NO_QRIO = 11002,
    EVENT_CREATE = 1005, THREAD_CREATE = 1006, EVENT_SET = 1007, EVENT_WAIT = 1008,
    HANDLE_IN_USE = 2001,
    INVALID_TRST_LEVEL = 3012, INVALID_DR_SHIFTS = 3013, INVALID_IR_SHIFTS = 3014, INVALID_WAIT_UNITS = 3015,
    INVALID_BUFFERING = 3016, INVALID_PROTOCOL = 3017, INVALID_IDLE_STATE = 3019,
    NULL_POINTER = 4002,
    RESULT_ALREADY_PROCESSED = 6008,
    TCK_OUT_OF_RANGE = 7005, TICKS_OUT_OF_RANGE = 7006, TAP_LIST_LENGTH = 7004,
    TAP_REDEFINED = 8002, PROTOCOL_NOT_SUPPORTED = 10001,
    IDLE_FREE_RUNNING = 11010, IDLE_STOPPED_HIGH = 11011, NO_DISTRIBUTE = 11012,
    SET_TRST_SWD = 11013, UNSUPPORTED_FUNCTION = 11014, NO_POD_PINS = 11008, NO_VOLTAGE = 11006,
    INVALID_KPX_HANDLE = 13001,
    RX_THREAD_NOT_RUNNING = 26007, RX_BUFFER_NOT_EMPTY = 26008, SYNC_FAILURE = 26009,
    MEMORY_ALLOCATION = 28006,
    LUN_NOT_FOUND = 30009, SERIAL_NOT_FOUND = 30010, UNSUPPORTED_DEVICE = 30011,
    TRST_FT2232C = 30026, TRST_FT4232H = 30027,
    ADDR_INVALID = 30001, ADDR_TYPE = 30002, ADDR_LUN = 30003, ADDR_LUN_COMMA = 30006,
    ADDR_SERIAL_COMMA = 30007, ADDR_SERIAL_QUOTE = 30008,
    KCF_NOT_FOUND = 30014, KCF_NO_READ_ACCESS = 30015, KCF_VERSION = 30016, KCF_MODE = 30017,
    KCF_INTERFACE_TYPE = 30018, KCF_LUN = 30019, KCF_SERIAL = 30020, KCF_DESCRIPTION = 30021,
    KCF_SUB_DEVICE = 30022, KCF_TRST_PIN = 30023, KCF_STATIC_CONTROL = 30024, KCF_STATIC_VALUE = 30025,
    WRITE_TIMEOUT = 35002, READ_TIMEOUT = 35001, KPX_READ_TIMEOUT = 35003, SYNC_READ_TIMEOUT = 35004,
    // What driver statuses become (statusToError).
    DRIVER_INVALID_HANDLE = 13002, DRIVER_DEVICE_NOT_FOUND = 30013, DRIVER_IO_ERROR = 26002,
    DRIVER_INSUFFICIENT_RESOURCES = 5001, DRIVER_INVALID_PARAMETER = 3001, DRIVER_WRITE_FAILED = 26005,
    DRIVER_OTHER_ERROR = 1003,
};
}  // namespace err

}  // namespace dorvane
