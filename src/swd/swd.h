// The SWD bridge: a virtual JTAG-DP TAP whose DP/AP accesses become SWD transactions.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace dorvane {

// Serves a whole IR/DR scan of a BSCAN2SWD TAP (same arguments as scanRegister).
uint32_t swdScan(KpxContext* ctx, uint32_t flags, uint32_t tapId, const uint8_t* tdiBytes, uint32_t n,
                 uint8_t* tdoBytes, const uint8_t* expectedBytes, const uint8_t* maskBytes,
                 uint16_t* hostTdo, uint8_t* multiBase);
// Commits a pending virtual Update-IR / Update-DR (state moves of a BSCAN2SWD TAP).
uint32_t swdUpdateIr(KpxContext* ctx, uint32_t tapId);
uint32_t swdUpdateDr(KpxContext* ctx, uint32_t tapId);
// SWD line reset and JTAG-to-SWD switch (TMS and TRST resets of a BSCAN2SWD TAP).
uint32_t swdLineReset(KpxContext* ctx, uint32_t tapId);

}  // namespace dorvane
