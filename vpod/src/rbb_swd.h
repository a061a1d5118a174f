// The remote-bitbang bridge in its SWD form: a channel's SWCLK and SWDIO drive an outside SWD
// target over TCP with OpenOCD's SWD characters ('O'/'o' drive or release SWDIO, 'd'-'g' set
// SWCLK and SWDIO, 'c' reads SWDIO).
#pragma once

#include <cstdint>

#include "rbb.h"

namespace vpod::detail {

class RbbSwdBridge {
public:
    explicit RbbSwdBridge(uint16_t port) : link_(port) {}
    // One SWCLK: falling edge with SWDIO (driven by the pod when `drive`), rising edge; `read`
    // samples the line before or after the rising edge. Returns the level read (1 without a
    // listener: the line is pulled up), or `swdio` when nothing was read.
    bool cycle(bool drive, bool swdio, bool read, bool readAfterRise);
    void flush() { link_.flush(); }
    void retry() { link_.retry(); }

private:
    RbbLink link_;
    bool directionSent_ = false, driving_ = false;
};

}  // namespace vpod::detail
