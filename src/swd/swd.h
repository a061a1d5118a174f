// The SWD bridge: a virtual JTAG-DP TAP whose DP/AP accesses become SWD transactions.
// Every operation returns 0, or 1 with the error recorded on the context.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace dorvane {

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
