// The error table and error recording.
#include "core/errors.h"

#include <iterator>

#include "core/context.h"
#include "core/locks.h"

namespace dorvane {

namespace {

// Each category row is followed by its sub-codes; "unknown system error" must stay last,
// because every search stops there.
constexpr ErrorRow kErrorTable[] = {
    {0, 0, "OK"},
    {1, 1, "system error"},
    {1001, 1, "invalid FTDI baud rate"},
    {1002, 1, "FTDI device list not ready"},
    {1003, 1, "FTDI system error"},
    {1004, 1, "unknown FTDI system error"},
    {1005, 1, "creating event object failed"},
    {1006, 1, "creating receive thread failed"},
    {1007, 1, "setting event object to signaled failed"},
    {1008, 1, "waiting on event object failed"},
    {2, 4, "Dorvane.DLL or function locked"},
    {2001, 4, "KPX handle locked / in use"},
    {3, 5, "wrong parameter"},
    {3001, 5, "invalid FTDI parameter"},
    {3002, 5, "invalid sync type parameter value"},
    {3003, 5, "too many initializers in QRIO TAP list"},
    {3004, 5, "invalid isolation type parameter value"},
    {3005, 5, "invalid internal TAP enable/disable parameter value"},
    {3006, 5, "invalid USB cycle port type parameter value"},
    {3007, 5, "invalid version timestamp type parameter value"},
    {3008, 5, "invalid version number type parameter value"},
    {3009, 5, "invalid mode id parameter value"},
    {3010, 5, "invalid voltage id type parameter value"},
    {3011, 5, "invalid voltage id parameter value"},
    {3012, 5, "invalid TRST level parameter value"},
    {3013, 5, "invalid number of DR shifts"},
    {3014, 5, "invalid number of IR shifts"},
    {3015, 5, "invalid wait time units type"},
    {3016, 5, "invalid KPX buffering type"},
    {3017, 5, "invalid protocol type"},
    {3018, 5, "invalid pod pin type"},
    {3019, 5, "invalid TCK idle state type"},
    {3020, 5, "invalid 1 TCK in wait time parameter value"},
    {4, 321, "illegal parameter"},
    {4001, 321, "invalid FTDI arguments"},
    {4002, 321, "illegal NULL pointer parameter"},
    {5, 10, "error allocating memory"},
    {5001, 10, "insufficient FTDI resources"},
    {6, 11, "internal error"},
    {6001, 11, "unusual receive thread termination"},
    {6002, 11, "invalid internal QRIO settings"},
    {6003, 11, "illegal NULL pointer (internal error)"},
    {6004, 11, "invalid voltage DAC status (internal error)"},
    {6005, 11, "invalid enabled TAPs / selected TAPs combination (internal error)"},
    {6006, 11, "invalid combination of enabled TAPs (internal error)"},
    {6007, 11, "invalid combination of selected TAPs (internal error)"},
    {6008, 11, "result already processed (internal error)"},
    {7, 12, "internal value out of range"},
    {7001, 12, "value out of range"},
    {7002, 12, "AutoWrite pulse width out of range"},
    {7003, 12, "'voltage' list length parameter out of range"},
    {7004, 12, "TAP list length parameter out of range"},
    {7005, 12, "TCK frequency out of range"},
    {7006, 12, "tick count during wait time out of range"},
    {7007, 12, "pod signal level out of range"},
    {8, 22, "illegal TAP id"},
    {8001, 22, "illegal TAP id for internal QRIO"},
    {8002, 22, "redefinition of TAP id in TAP list"},
    {10, 64, "wrong TAP mask"},
    {10001, 64, "protocol not supported with current selected TAPs"},
    {11, 27, "option not supported"},
    {11001, 27, "not supported by FTDI device"},
    {11002, 27, "no support for internal QRIO"},
    {11003, 27, "unsupported voltage id type"},
    {11004, 27, "no support for setting voltage on 1 TAP only"},
    {11005, 27, "setting different voltages on different TAPs unsupported"},
    {11006, 27, "setting voltage not supported"},
    {11007, 27, "no support for specified pod pin"},
    {11008, 27, "no support for pod pins"},
    {11009, 27, "no support for PIO pins"},
    {11010, 27, "TCK idle state 'free running' not supported"},
    {11011, 27, "TCK idle state 'stopped high' not supported"},
    {11012, 27, "no support for distributing TAPs"},
    {11013, 27, "unsupported function 'set_trst()' in BSCAN to SWD mode"},
    {11014, 27, "unsupported function"},
    {17, 45, "stable B-Scan state expected"},
    {18, 319, "stable B-Scan state expected"},
    {16, 66, "TAP B-Scan state mismatch"},
    {12, 46, "not allowed in B-Scan state PDR / PIR"},
    {19, 320, "current B-Scan state unknown"},
    {13, 61, "invalid handle"},
    {13001, 61, "invalid KPX handle"},
    {13002, 61, "invalid FTDI handle"},
    {14, 65, "TAP already connected"},
    {15, 69, "ganging conflict"},
    {20, 70, "suspend info not stored"},
    {21, 80, "no PIO available"},
    {22, 81, "PIO out of range"},
    {23, 82, "TRST pin not available on this TAP"},
    {24, 329, "not supported when TRST pin is active"},
    {26, 308, "controller access error"},
    {26001, 308, "FTDI device not opened"},
    {26002, 308, "IO error accessing FTDI device"},
    {26003, 308, "FTDI device not opened for erase"},
    {26004, 308, "FTDI device not opened for write"},
    {26005, 308, "writing FTDI device failed"},
    {26007, 308, "receive thread not running"},
    {26008, 308, "receive buffer not empty"},
    {26009, 308, "controller synchronisation failure"},
    {27, 312, "pod access error"},
    {28, 313, "controller memory access error"},
    {28001, 313, "reading FTDI device EEPROM failed"},
    {28002, 313, "writing FTDI device EEPROM failed"},
    {28003, 313, "erasing FTDI device EEPROM failed"},
    {28004, 313, "FTDI device EEPROM not present"},
    {28005, 313, "FTDI device EEPROM not programmed"},
    {28006, 313, "memory allocation failed"},
    {29, 314, "memory boundary error"},
    {9, 315, "tester TAP not valid"},
    {30, 316, "illegal controller address / interface"},
    {30001, 316, "invalid controller interface specification"},
    {30002, 316, "invalid controller interface type specification"},
    {30003, 316, "invalid controller logical unit number specification"},
    {30004, 316, "invalid controller serial number specification"},
    {30005, 316, "invalid controller description string specification"},
    {30006, 316, "expected comma between logical unit number and description"},
    {30007, 316, "expected comma between serial number and description"},
    {30008, 316, "controller serial number has no terminating double quote"},
    {30009, 316, "controller with specified logical unit number not found"},
    {30010, 316, "controller with specified serial number not found"},
    {30011, 316, "unsupported FTDI device type"},
    {30013, 316, "FTDI device not found"},
    {30014, 316, "KCF file not found"},
    {30015, 316, "no read access KCF file"},
    {30016, 316, "invalid KCF file version"},
    {30017, 316, "invalid mode of operation specification in KCF file"},
    {30018, 316, "invalid interface type specification in KCF file"},
    {30019, 316, "invalid logical unit number specification in KCF file"},
    {30020, 316, "invalid serial number specification in KCF file"},
    {30021, 316, "invalid description string specification in KCF file"},
    {30022, 316, "invalid sub-device name specification in KCF file"},
    {30023, 316, "invalid TRST pin name specification in KCF file"},
    {30024, 316, "invalid static I/O pin control value in KCF file"},
    {30025, 316, "invalid static I/O pin drive value in KCF file"},
    {30026, 316, "invalid TRST pin name for FT2232C / FT2232D device"},
    {30027, 316, "invalid TRST pin name for FT4232H device"},
    {31, 317, "illegal TAP voltage"},
    {31001, 317, "illegal TAP threshold"},
    {31002, 317, "illegal pod voltage"},
    {31003, 317, "illegal pod threshold"},
    {31004, 317, "illegal voltage"},
    {31005, 317, "illegal threshold"},
    {32, 318, "illegal pod type"},
    {33, 322, "controller still active"},
    {34, 323, "illegal controller resume condition"},
    {35, 327, "controller timeout error"},
    {35002, 327, "controller write timeout error"},
    {35001, 327, "controller read timeout error"},
    {35003, 327, "KPX read timeout error"},
    {35004, 327, "KPX sync read timeout error"},
    {36, 328, "overvoltage detected by controller"},
    {36001, 328, "overvoltage detected by controller on one or more TAPs"},
    {36002, 328, "overvoltage detected by controller on IO bank1"},
    {36003, 328, "overvoltage detected by controller on IO bank2"},
    {36004, 328, "overvoltage detected by controller on IO bank3"},
    {37, 330, "unsupported controller firmware revision"},
    {38, 1, "unknown system error"},
};

constexpr uint32_t kUnknownSystemError = 38;
static_assert(kErrorTable[std::size(kErrorTable) - 1].code == kUnknownSystemError);

uint32_t g_globalLastError = 0;   // guarded by errorLock

}  // namespace

const ErrorRow* errorTable(uint32_t* rowCount) {
    if (rowCount) *rowCount = static_cast<uint32_t>(std::size(kErrorTable));
    return kErrorTable;
}

const ErrorRow& findError(uint32_t code) {
    for (const ErrorRow& row : kErrorTable) {
        if (row.code == code || row.code == kUnknownSystemError) return row;
    }
    return kErrorTable[std::size(kErrorTable) - 1];   // not reached: the last row stops the search
}

uint32_t recordError(KpxContext* ctx, uint32_t code) {
    if (ctx) ctx->lastError = code;
    platform::LockGuard guard(errorLock());
    g_globalLastError = code;
    return 0;
}

// The code an error reader reports: the context's when the handle leads to one, else the
// process-wide slot. A busy or invalid handle falls back silently.
uint32_t lastErrorFor(uint32_t handle) {
    if (KpxContext* ctx = lookupContext(handle, 0)) {
        ContextGuard held(ctx);
        return ctx->lastError;
    }
    return globalLastError();
}

uint32_t globalLastError() {
    platform::LockGuard guard(errorLock());
    return g_globalLastError;
}

uint32_t statusToError(uint32_t ftStatus) {
    static constexpr uint32_t kByStatus[] = {
        0,      // FT_OK
        13002,  // FT_INVALID_HANDLE
        30013,  // FT_DEVICE_NOT_FOUND
        26001,  // FT_DEVICE_NOT_OPENED
        26002,  // FT_IO_ERROR
        5001,   // FT_INSUFFICIENT_RESOURCES
        3001,   // FT_INVALID_PARAMETER
        1001,   // FT_INVALID_BAUD_RATE
        26003,  // FT_DEVICE_NOT_OPENED_FOR_ERASE
        26004,  // FT_DEVICE_NOT_OPENED_FOR_WRITE
        26005,  // FT_FAILED_TO_WRITE_DEVICE
        28001,  // FT_EEPROM_READ_FAILED
        28002,  // FT_EEPROM_WRITE_FAILED
        28003,  // FT_EEPROM_ERASE_FAILED
        28004,  // FT_EEPROM_NOT_PRESENT
        28005,  // FT_EEPROM_NOT_PROGRAMMED
        4001,   // FT_INVALID_ARGS
        11001,  // FT_NOT_SUPPORTED
        1003,   // FT_OTHER_ERROR
        1002,   // FT_DEVICE_LIST_NOT_READY
    };
    if (ftStatus < std::size(kByStatus)) return kByStatus[ftStatus];
    return 1004;
}

}  // namespace dorvane
