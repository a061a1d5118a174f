// The remote-bitbang bridges: a channel's pins drive a simulator over TCP, one character per
// edge (OpenOCD's remote_bitbang protocol, in its JTAG and its SWD form).
#pragma once

#include <cstdint>
#include <string>

#include "hostio.h"

namespace vpod::detail {

// The TCP link both forms share: characters are batched and sent before every read; a link
// that failed stays down (reads give 1, the pulled-up line) until retry().
class RbbLink {
public:
    explicit RbbLink(uint16_t port) : port_(port) {}
    ~RbbLink();   // says goodbye ('Q') to a connected simulator
    RbbLink(const RbbLink&) = delete;
    RbbLink& operator=(const RbbLink&) = delete;
    // Connects when not connected; false while the simulator cannot be reached. *fresh tells
    // that this call made the connection.
    bool connect(bool* fresh = nullptr);
    void put(char c) {
        out_ += c;
        if (out_.size() >= 4096) flush();
    }
    // Sends `command` and returns the level the simulator answers ('0' low, anything else high).
    bool query(char command);
    void flush();
    void retry() { failed_ = false; }

private:
    void drop();
    uint16_t port_;
    host::Socket sock_ = host::kNoSocket;
    bool failed_ = false;
    std::string out_;
};

class RbbBridge {
public:
    explicit RbbBridge(uint16_t port) : link_(port) {}
    // One TCK: falling edge with TMS/TDI, optional TDO read before or after the rising edge.
    bool cycle(bool tms, bool tdi, bool read, bool readAfterRise);
    void trst(bool asserted);
    void flush() { link_.flush(); }
    void retry() { link_.retry(); }

private:
    RbbLink link_;
};

}  // namespace vpod::detail
