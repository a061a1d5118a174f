// A small remote-bitbang simulator for the tests: one TAP with a 4-bit IR and an IDCODE,
// driven over TCP with OpenOCD's remote_bitbang characters.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "../../vpod/src/hostio.h"

namespace vpodtest {

class RbbServer {
public:
    explicit RbbServer(uint32_t idcode) : idcode_(idcode) {
        listener_ = vpod::detail::host::tcpListen(&port_);
        thread_ = std::thread([this] { run(); });
    }
    ~RbbServer() {
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
    // Waits for the connection to end ('Q' or the peer closing).
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    uint16_t port() const { return port_; }
    bool listening() const { return listener_ != vpod::detail::host::kNoSocket; }
    std::atomic<bool> quitSeen{false};
    std::atomic<int> trstAssertions{0};
    std::atomic<int> risingEdges{0};

private:
    enum S { TLR, RTI, SDR, CDR, SHDR, E1DR, PDR, E2DR, UDR, SIR, CIR, SHIR, E1IR, PIR, E2IR, UIR };
    static S next(S s, bool tms) {
        static const S t[16][2] = {{RTI, TLR}, {RTI, SDR}, {CDR, SIR}, {SHDR, E1DR}, {SHDR, E1DR}, {PDR, UDR},
                                   {PDR, E2DR}, {SHDR, UDR}, {RTI, SDR}, {CIR, TLR}, {SHIR, E1IR}, {SHIR, E1IR},
                                   {PIR, UIR}, {PIR, E2IR}, {SHIR, UIR}, {RTI, SDR}};
        return t[s][tms ? 1 : 0];
    }
    void run() {
        using namespace vpod::detail::host;
        Socket c = tcpAccept(listener_);
        accepted_ = true;
        if (c == kNoSocket) return;
        S state = TLR;
        bool tck = false, tdo = true, idcodeSelected = true;
        uint32_t ir = 0, sr = 0;
        char ch;
        while (!stop_.load()) {
            const int ready = tcpWaitReadable(c, 50);
            if (ready < 0) break;
            if (ready == 0) continue;
            if (!tcpRecv(c, &ch, 1)) break;
            if (ch >= '0' && ch <= '7') {
                const int v = ch - '0';
                const bool ntck = v & 4, tms = v & 2, tdi = v & 1;
                if (!tck && ntck) {
                    ++risingEdges;
                    if (state == CDR) sr = idcodeSelected ? idcode_ : 0;
                    else if (state == SHDR) sr = idcodeSelected ? (sr >> 1) | (uint32_t(tdi) << 31) : tdi;
                    else if (state == CIR) ir = 1;
                    else if (state == SHIR) ir = (ir >> 1) | (uint32_t(tdi) << 3);
                    else if (state == UIR) idcodeSelected = (ir & 0xF) == 0xE;
                    state = next(state, tms);
                    if (state == TLR) idcodeSelected = true;
                } else if (tck && !ntck) {
                    tdo = state == SHDR ? (sr & 1) : state == SHIR ? (ir & 1) : true;
                }
                tck = ntck;
            } else if (ch == 'R') {
                const char r = tdo ? '1' : '0';
                if (!tcpSend(c, &r, 1)) break;
            } else if (ch == 't' || ch == 'u') {
                ++trstAssertions;
                state = TLR;
                idcodeSelected = true;
            } else if (ch == 'Q') {
                quitSeen = true;
                break;
            }
        }
        tcpClose(c);
    }

    uint32_t idcode_;
    uint16_t port_ = 0;
    vpod::detail::host::Socket listener_;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vpodtest
