#include "rbb_swd.h"

namespace vpod::detail {

RbbSwdBridge::~RbbSwdBridge() {
    if (sock_ != host::kNoSocket) {
        out_ += 'Q';
        host::tcpSend(sock_, out_.data(), out_.size());
        host::tcpClose(sock_);
    }
}

bool RbbSwdBridge::connect() {
    if (sock_ != host::kNoSocket) return true;
    if (failed_) return false;
    sock_ = host::tcpConnect(port_);
    failed_ = sock_ == host::kNoSocket;
    directionSent_ = false;   // a new connection learns the direction afresh
    return !failed_;
}

void RbbSwdBridge::flush() {
    if (out_.empty() || sock_ == host::kNoSocket) { out_.clear(); return; }
    if (!host::tcpSend(sock_, out_.data(), out_.size())) {
        host::tcpClose(sock_);
        sock_ = host::kNoSocket;
        failed_ = true;
    }
    out_.clear();
}

bool RbbSwdBridge::readLine() {
    out_ += 'c';
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

bool RbbSwdBridge::cycle(bool drive, bool swdio, bool read, bool readAfterRise) {
    if (!connect()) return true;
    if (!directionSent_ || drive != driving_) {
        out_ += drive ? 'O' : 'o';
        driving_ = drive;
        directionSent_ = true;
    }
    const char bit = swdio ? 1 : 0;
    bool level = swdio;
    out_ += static_cast<char>('d' + bit);    // SWCLK low, SWDIO changes
    if (read && !readAfterRise) level = readLine();
    out_ += static_cast<char>('f' + bit);    // SWCLK high: the target samples
    if (read && readAfterRise) level = readLine();
    if (out_.size() >= 4096) flush();
    return level;
}

}  // namespace vpod::detail
