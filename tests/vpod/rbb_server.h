// Small remote-bitbang simulators for the tests, driven over TCP with OpenOCD's remote_bitbang
// characters; each wraps one of the virtual pod's own target models.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "../../vpod/src/hostio.h"
#include "../../vpod/src/jtag.h"
#include "../../vpod/src/swd.h"

namespace vpodtest {

// Accepts one connection and feeds its characters to handle() until 'Q', the peer closing or
// destruction. Derived classes call start() last in their constructor.
class RbbServerBase {
public:
    virtual ~RbbServerBase() = default;
    // Waits for the connection to end ('Q' or the peer closing).
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    uint16_t port() const { return port_; }
    bool listening() const { return listener_ != vpod::detail::host::kNoSocket; }
    std::atomic<bool> quitSeen{false};
    std::atomic<int> risingEdges{0};

protected:
    RbbServerBase() { listener_ = vpod::detail::host::tcpListen(&port_); }
    void start() { thread_ = std::thread([this] { run(); }); }
    // Derived destructors call this first, while handle() can still run.
    void stop() {
        if (!accepted_.load()) {
            // Unblock accept() when the pod never connected.
            auto s = vpod::detail::host::tcpConnect(port_);
            vpod::detail::host::tcpClose(s);
        }
        // A pod that never says goodbye (one living until the process ends) is cut off.
        stop_ = true;
        join();
        vpod::detail::host::tcpClose(listener_);
    }
    // One character; false ends the connection. `reply` answers a read.
    virtual bool handle(char ch, char* reply) = 0;

private:
    void run() {
        using namespace vpod::detail::host;
        Socket c = tcpAccept(listener_);
        accepted_ = true;
        if (c == kNoSocket) return;
        char ch;
        while (!stop_.load()) {
            const int ready = tcpWaitReadable(c, 50);
            if (ready < 0) break;
            if (ready == 0) continue;
            if (!tcpRecv(c, &ch, 1)) break;
            if (ch == 'Q') {
                quitSeen = true;
                break;
            }
            char reply = 0;
            if (!handle(ch, &reply)) break;
            if (reply && !tcpSend(c, &reply, 1)) break;
        }
        tcpClose(c);
    }

    uint16_t port_ = 0;
    vpod::detail::host::Socket listener_;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One TAP, the pod's own model behind the JTAG form: 4-bit IR, IDCODE selected by 0xE and at reset.
class RbbServer : public RbbServerBase {
public:
    explicit RbbServer(uint32_t idcode) : tap_(config(idcode)) { start(); }
    ~RbbServer() override { stop(); }
    std::atomic<int> trstAssertions{0};

private:
    static vpod::detail::TapConfig config(uint32_t idcode) {
        vpod::detail::TapConfig c;
        c.hasIdcode = true;
        c.idcode = idcode;
        c.idcodeInstruction = 0xE;
        return c;
    }
    bool handle(char ch, char* reply) override {
        if (ch >= '0' && ch <= '7') {
            const int v = ch - '0';
            const bool tck = v & 4;
            if (!tck_ && tck) {
                ++risingEdges;
                if (!trst_) tap_.rising(v & 2, v & 1);
            } else if (tck_ && !tck) {
                tap_.falling();
            }
            tck_ = tck;
        } else if (ch == 'R') {
            *reply = !tap_.tdoDriven() || tap_.tdo() ? '1' : '0';
        } else if (ch >= 'r' && ch <= 'u') {   // the reset characters: t and u assert TRST
            const bool asserted = ch == 't' || ch == 'u';
            if (asserted && !trst_) ++trstAssertions;
            trst_ = asserted;
            if (trst_) tap_.reset();   // held in Test-Logic-Reset while asserted
        }
        return true;
    }

    vpod::detail::Tap tap_;
    bool tck_ = false, trst_ = false;
};

// SWDIO is the host's level while it drives the line ('O'), else the target's (pulled up when
// the target does not drive either).
class RbbSwdServer : public RbbServerBase {
public:
    explicit RbbSwdServer(const vpod::detail::SwdConfig& cfg) : target_(cfg) { start(); }
    ~RbbSwdServer() override { stop(); }
    std::atomic<int> unknownCharacters{0};

private:
    bool line() const { return hostDrives_ ? hostLevel_ : target_.driving() ? target_.out() : true; }
    bool handle(char ch, char* reply) override {
        if (ch == 'O' || ch == 'o') {
            hostDrives_ = ch == 'O';
        } else if (ch >= 'd' && ch <= 'g') {
            const int v = ch - 'd';
            const bool clk = v & 2;
            if (hostDrives_) hostLevel_ = v & 1;
            if (!clk_ && clk) {
                ++risingEdges;
                target_.rising(line());
            }
            clk_ = clk;
        } else if (ch == 'c') {
            *reply = line() ? '1' : '0';
        } else if (ch != 'B' && ch != 'b') {
            ++unknownCharacters;
        }
        return true;
    }

    vpod::detail::SwdTarget target_;
    bool hostDrives_ = false, hostLevel_ = true, clk_ = false;
};

}  // namespace vpodtest
