#include "rbb.h"

namespace vpod::detail {

RbbBridge::~RbbBridge() {
    if (sock_ != host::kNoSocket) {
        out_ += 'Q';
        host::tcpSend(sock_, out_.data(), out_.size());
        host::tcpClose(sock_);
    }
}

bool RbbBridge::connect() {
    if (sock_ != host::kNoSocket) return true;
    if (failed_) return false;
    sock_ = host::tcpConnect(port_);
    failed_ = sock_ == host::kNoSocket;
    return !failed_;
}

void RbbBridge::flush() {
    if (out_.empty() || sock_ == host::kNoSocket) { out_.clear(); return; }
    if (!host::tcpSend(sock_, out_.data(), out_.size())) {
        host::tcpClose(sock_);
        sock_ = host::kNoSocket;
        failed_ = true;
    }
    out_.clear();
}

bool RbbBridge::readTdo() {
    out_ += 'R';
    flush();
    char c = '1';
    if (sock_ == host::kNoSocket || !host::tcpRecv(sock_, &c, 1)) {
        host::tcpClose(sock_);
        sock_ = host::kNoSocket;
        failed_ = true;
        return true;
    }
    return c != '0';
}

bool RbbBridge::cycle(bool tms, bool tdi, bool read, bool readAfterRise) {
    if (!connect()) return true;   // nothing listening: TDO floats high
    const char bits = static_cast<char>((tms ? 2 : 0) | (tdi ? 1 : 0));
    bool tdo = true;
    out_ += static_cast<char>('0' + bits);            // falling edge with the new TMS/TDI
    if (read && !readAfterRise) tdo = readTdo();
    out_ += static_cast<char>('4' + bits);            // rising edge
    if (read && readAfterRise) tdo = readTdo();
    if (out_.size() >= 4096) flush();
    return tdo;
}

void RbbBridge::trst(bool asserted) {
    if (!connect()) return;
    out_ += asserted ? 't' : 'r';
}

}  // namespace vpod::detail
