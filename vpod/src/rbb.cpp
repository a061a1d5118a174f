#include "rbb.h"

namespace vpod::detail {

RbbLink::~RbbLink() {
    if (sock_ != host::kNoSocket) {
        out_ += 'Q';
        host::tcpSend(sock_, out_.data(), out_.size());
        host::tcpClose(sock_);
    }
}

bool RbbLink::connect(bool* fresh) {
    if (fresh) *fresh = false;
    if (sock_ != host::kNoSocket) return true;
    if (failed_) return false;
    sock_ = host::tcpConnect(port_);
    failed_ = sock_ == host::kNoSocket;
    if (fresh) *fresh = !failed_;
    return !failed_;
}

void RbbLink::drop() {
    host::tcpClose(sock_);
    sock_ = host::kNoSocket;
    failed_ = true;
}

void RbbLink::flush() {
    if (!out_.empty() && sock_ != host::kNoSocket && !host::tcpSend(sock_, out_.data(), out_.size())) drop();
    out_.clear();
}

bool RbbLink::query(char command) {
    out_ += command;
    flush();
    char c = '1';
    if (sock_ == host::kNoSocket || !host::tcpRecv(sock_, &c, 1)) {
        if (sock_ != host::kNoSocket) drop();
        return true;
    }
    return c != '0';
}

bool RbbBridge::cycle(bool tms, bool tdi, bool read, bool readAfterRise) {
    if (!link_.connect()) return true;   // nothing listening: TDO floats high
    const char bits = static_cast<char>((tms ? 2 : 0) | (tdi ? 1 : 0));
    bool tdo = true;
    link_.put(static_cast<char>('0' + bits));            // falling edge with the new TMS/TDI
    if (read && !readAfterRise) tdo = link_.query('R');
    link_.put(static_cast<char>('4' + bits));            // rising edge
    if (read && readAfterRise) tdo = link_.query('R');
    return tdo;
}

void RbbBridge::trst(bool asserted) {
    if (link_.connect()) link_.put(asserted ? 't' : 'r');
}

}  // namespace vpod::detail
