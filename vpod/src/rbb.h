// The remote-bitbang bridge: a channel's pins drive a simulator over TCP, one character per
// edge (OpenOCD's remote_bitbang protocol).
#pragma once

#include <cstdint>
#include <string>

#include "hostio.h"

namespace vpod::detail {

class RbbBridge {
public:
    explicit RbbBridge(uint16_t port) : port_(port) {}
    ~RbbBridge();
    RbbBridge(const RbbBridge&) = delete;
    RbbBridge& operator=(const RbbBridge&) = delete;
    // One TCK: falling edge with TMS/TDI, optional TDO read before or after the rising edge.
    bool cycle(bool tms, bool tdi, bool read, bool readAfterRise);
    void trst(bool asserted);
    void flush();
    void retry() { failed_ = false; }
private:
    bool connect();
    bool readTdo();
    uint16_t port_;
    host::Socket sock_ = host::kNoSocket;
    bool failed_ = false;
    std::string out_;
};

}  // namespace vpod::detail
