// The SWD bridge: a virtual JTAG-DP TAP whose DP/AP accesses become SWD transactions.
// Every operation returns 0, or 1 with the error recorded on the context.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace dorvane {

// The SWD bridge's per-TAP virtual JTAG-DP.
struct SwdTapState {
    uint8_t irUpdatePending = 0;    // a state move commits the pending virtual Update-IR
    uint8_t drUpdatePending = 0;    // ... and Update-DR
    uint8_t irShift = 0;
    uint8_t currentIr = 0;
    uint8_t* selectedDr = nullptr;  // into this record; null until the first line reset
    uint32_t selectedDrLength = 0;
    uint8_t idcode[4] = {};
    uint8_t abortReg[5] = {};
    uint8_t dpacc[5] = {};
    uint8_t apacc[5] = {};
    uint8_t connect[2] = {};
    uint8_t idcodeDp[4] = {};
    uint8_t bypass[1] = {};
    uint8_t connectValue[2] = {};   // SCIL19_CONNECT as latched by its last Update-DR
    uint8_t abortAckPending = 0;    // the next ABORT capture shows ACK 010
    uint8_t dpidrReadPending = 0;   // the next DPACC capture reads DPIDR first
    uint8_t overrunDetect = 0;      // transactions in the pipelined form
    uint32_t selectShadow = 0;      // last value written to DP SELECT
};

// The SWD bridge's part of the controller context.
struct SwdPart : ContextPart {
    static constexpr PartId kId = PartId::Swd;
    SwdTapState swd[kTapSlots];
};

inline SwdPart& swdOf(KpxContext* ctx) { return ctx->part<SwdPart>(); }

// Serves a whole IR/DR scan of a BSCAN2SWD TAP (same arguments as scanRegister; flags bit 0 =
// DR scan, bit 1 = end in the pause state without an update).
uint32_t swdScan(KpxContext* ctx, uint32_t flags, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n,
                 uint8_t* tdoBytes, const uint8_t* expectedBytes, const uint8_t* maskBytes,
                 uint16_t* hostTdo, uint8_t* multiBase);

// The virtual TAP's steps. Update-IR / Update-DR without TDO also commit what a scan that
// ended in a pause state left pending (state moves, the line reset).
uint32_t swdCaptureIr(KpxContext* ctx, uint32_t tapId);
uint32_t swdShiftIr(KpxContext* ctx, uint32_t tapId, const uint8_t* tdi, uint8_t* tdo, uint32_t n);
uint32_t swdUpdateIr(KpxContext* ctx, uint32_t tapId);
uint32_t swdCaptureDr(KpxContext* ctx, uint32_t tapId);
uint32_t swdShiftDr(KpxContext* ctx, uint32_t tapId, const uint8_t* tdi, uint8_t* tdo, uint32_t n);
uint32_t swdUpdateDr(KpxContext* ctx, uint32_t tapId, uint8_t* tdo = nullptr, uint32_t n = 0);

// One SWD transaction. addressBits carries A[3:2] in bits 3-4 (request-byte position); ack
// receives the 3 ACK bits as received (OK = 1, WAIT = 2, FAULT = 4), data 4 little-endian
// bytes. Pipelined when the TAP's overrunDetect is set, ACK-first otherwise.
uint32_t swdRead(KpxContext* ctx, uint32_t tapId, bool apNdp, uint8_t addressBits, uint8_t* ack, uint8_t* data,
                 uint8_t* parity);
uint32_t swdWrite(KpxContext* ctx, uint32_t tapId, bool apNdp, uint8_t addressBits, uint8_t* ack,
                  const uint8_t* data);

// The SWD request byte (start, APnDP, RnW, A[3:2], parity, stop, park), sent LSB first.
uint8_t swdRequestByte(bool apNdp, bool read, uint8_t addressBits);
// SWD ACK as received to the JTAG-DP ACK field: OK and FAULT give 010, WAIT gives 001.
uint8_t swdAckToJtag(uint8_t ack);

// SWD line reset and JTAG-to-SWD switch (TMS and TRST resets of a BSCAN2SWD TAP), preceded
// by the dormant-to-SWD wake-up when the controller asks for it.
uint32_t swdLineReset(KpxContext* ctx, uint32_t tapId);

}  // namespace dorvane
