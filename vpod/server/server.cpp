#include "server.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostio.h"
#include "vpod/control.h"
#include "vpod/vpod.h"
#include "vpod/wire.h"

namespace vpod::server {
namespace {

namespace host = vpod::detail::host;

// Stop requests are noticed within this time by threads waiting for a client.
constexpr unsigned kStopCheckMs = 200;

// One client connection: a worker answering its requests and a pusher sending the bytes the
// chip produces as they arrive.
struct Conn {
    host::Socket sock = host::kNoSocket;
    Handle* handle = nullptr;
    std::mutex sendMu;    // one frame at a time on the socket
    std::mutex drainMu;   // bytes leave the receive queue and reach the socket in order
    std::mutex mu;
    std::condition_variable cv;
    bool pending = false, ending = false;
    std::thread worker, pusher;
    std::atomic<bool> finished{false};

    bool send(wire::Writer& w) {
        const std::vector<uint8_t>& f = w.frame();
        std::lock_guard<std::mutex> l(sendMu);
        return host::tcpSend(sock, f.data(), f.size());
    }

    // Moves everything queued in the chip's receive queue to the client.
    void drain() {
        std::lock_guard<std::mutex> l(drainMu);
        if (!handle) return;
        std::vector<uint8_t> buf;
        for (;;) {
            uint32_t n = 0, got = 0;
            if (getQueueStatus(handle, &n) != kOk || n == 0) return;
            buf.resize(n);
            if (read(handle, buf.data(), n, &got) != kOk || got == 0) return;
            wire::Writer w(wire::kData);
            w.raw(buf.data(), got);
            if (!send(w)) return;
        }
    }

    static void onBytes(void* arg) {
        auto* c = static_cast<Conn*>(arg);
        std::lock_guard<std::mutex> l(c->mu);
        c->pending = true;
        c->cv.notify_one();
    }

    void pushLoop() {
        std::unique_lock<std::mutex> l(mu);
        for (;;) {
            cv.wait(l, [&] { return pending || ending; });
            if (ending) return;
            pending = false;
            l.unlock();
            drain();
            l.lock();
        }
    }

    void disarmAndClose() {
        if (!handle) return;
        setEventNotification(handle, 0, nullptr, nullptr);
        std::lock_guard<std::mutex> l(drainMu);
        close(handle);
        handle = nullptr;
    }
};

bool recvFrame(host::Socket s, std::vector<uint8_t>* frame) {
    uint8_t header[4];
    if (!host::tcpRecv(s, header, 4)) return false;
    const uint32_t n = wire::frameLength(header);
    if (n == 0 || n > wire::kMaxFrame) return false;
    frame->resize(n);
    return host::tcpRecv(s, frame->data(), n);
}

std::string boundedText(const char* s, size_t max) { return std::string(s, strnlen(s, max)); }

}  // namespace

struct Server::State {
    host::Socket listener = host::kNoSocket;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mu;
    std::condition_variable cv;
    bool shutdownAsked = false;
    std::list<std::unique_ptr<Conn>> conns;

    void acceptLoop() {
        while (!stopping.load()) {
            const int r = host::tcpWaitReadable(listener, kStopCheckMs);
            if (r < 0) break;
            if (r == 0) continue;
            const host::Socket s = host::tcpAccept(listener);
            if (s == host::kNoSocket) continue;
            std::lock_guard<std::mutex> l(mu);
            reap();
            auto c = std::make_unique<Conn>();
            c->sock = s;
            Conn* raw = c.get();
            conns.push_back(std::move(c));
            raw->pusher = std::thread([raw] { raw->pushLoop(); });
            raw->worker = std::thread([this, raw] { serve(*raw); });
        }
    }

    // Joins the threads of finished connections; the caller holds mu.
    void reap() {
        for (auto it = conns.begin(); it != conns.end();) {
            if ((*it)->finished.load()) {
                (*it)->worker.join();
                it = conns.erase(it);
            } else {
                ++it;
            }
        }
    }

    void serve(Conn& c) {
        std::vector<uint8_t> frame;
        while (!stopping.load()) {
            const int r = host::tcpWaitReadable(c.sock, kStopCheckMs);
            if (r < 0) break;
            if (r == 0) continue;
            if (!recvFrame(c.sock, &frame)) break;
            if (!answer(c, frame)) break;
        }
        // A client that went away without closing is treated as a process that died: its
        // handle is closed, as the driver would do.
        c.disarmAndClose();
        {
            std::lock_guard<std::mutex> l(c.mu);
            c.ending = true;
            c.cv.notify_one();
        }
        c.pusher.join();
        host::tcpClose(c.sock);
        c.finished.store(true);
    }

    // Answers one request; false ends the connection.
    bool answer(Conn& c, const std::vector<uint8_t>& frame) {
        wire::Reader in(frame.data() + 1, frame.size() - 1);
        wire::Writer out(wire::kReply);
        Status st = kOk;
        uint32_t a = 0, b = 0;
        std::string text;
        switch (frame[0]) {
        case wire::kListCount:
            st = listDevices(&a, nullptr, kListNumberOnly);
            out.u32(st).u32(a);
            break;
        case wire::kListEntry: {
            if (!in.u32(&a) || !in.u32(&b)) return false;
            char buf[65] = {};
            st = listDevices(reinterpret_cast<void*>(static_cast<uintptr_t>(a)), buf,
                             kListByIndex | (b & (kOpenBySerialNumber | kOpenByDescription)));
            out.u32(st).text(boundedText(buf, 64));
            break;
        }
        case wire::kOpenEx:
        case wire::kOpen: {
            Handle* h = nullptr;
            if (frame[0] == wire::kOpenEx) {
                if (!in.u32(&a) || !in.text(&text)) return false;
                st = c.handle ? kOtherError : openEx(text.c_str(), a, &h);
            } else {
                if (!in.u32(&a)) return false;
                st = c.handle ? kOtherError : open(a, &h);
            }
            if (st == kOk) {
                std::lock_guard<std::mutex> l(c.drainMu);
                c.handle = h;
                setEventNotification(h, kEventRxChar, &Conn::onBytes, &c);
            }
            out.u32(st);
            break;
        }
        case wire::kGetDeviceInfo: {
            char serial[33] = {}, description[65] = {};
            st = getDeviceInfo(c.handle, &a, &b, serial, description);
            out.u32(st).u32(a).u32(b).text(boundedText(serial, 32)).text(boundedText(description, 64));
            break;
        }
        case wire::kClose: {
            if (!c.handle) {
                out.u32(kInvalidHandle);
                return c.send(out);
            }
            setEventNotification(c.handle, 0, nullptr, nullptr);
            {
                std::lock_guard<std::mutex> l(c.drainMu);
                st = close(c.handle);
                if (st == kOk) c.handle = nullptr;   // else the end of the connection tries again
            }
            out.u32(st);
            c.send(out);
            return false;
        }
        case wire::kResetDevice:
            st = resetDevice(c.handle);
            out.u32(st);
            break;
        case wire::kPurge: {
            if (!in.u32(&a)) return false;
            std::lock_guard<std::mutex> l(c.drainMu);   // bytes read before the purge go out first
            st = purge(c.handle, a);
            out.u32(st);
            return c.send(out);
        }
        case wire::kSetBitMode:
            if (!in.u32(&a) || !in.u32(&b)) return false;
            st = setBitMode(c.handle, static_cast<uint8_t>(a), static_cast<uint8_t>(b));
            out.u32(st);
            break;
        case wire::kSetTimeouts:
            if (!in.u32(&a) || !in.u32(&b)) return false;
            st = setTimeouts(c.handle, a, b);
            out.u32(st);
            break;
        case wire::kSetLatencyTimer:
            if (!in.u32(&a)) return false;
            st = setLatencyTimer(c.handle, static_cast<uint8_t>(a));
            out.u32(st);
            break;
        case wire::kWrite: {
            size_t n = 0;
            const uint8_t* data = in.rest(&n);
            st = write(c.handle, data, static_cast<uint32_t>(n), &a);
            c.drain();   // the answers are readable at the client when the write returns
            out.u32(st).u32(a);
            break;
        }
        case wire::kCyclePort:
            st = cyclePort(c.handle);
            out.u32(st);
            break;
        case wire::kPinState: {
            if (!in.text(&text)) return false;
            control::ChipState s;
            if (!control::chipState(text, &s)) {
                out.u32(kDeviceNotFound);
                break;
            }
            out.u32(kOk).u32(s.lowValue).u32(s.lowDirection).u32(s.highValue).u32(s.highDirection)
                .u32(s.trstAsserted ? 1 : 0).u32(s.bitMode)
                .u32(static_cast<uint32_t>(s.tckCycles)).u32(static_cast<uint32_t>(s.tckCycles >> 32));
            break;
        }
        case wire::kTapState: {
            if (!in.text(&text) || !in.u32(&a)) return false;
            control::TapInfo t;
            if (!control::tapInfo(text, a, &t)) {
                out.u32(kDeviceNotFound);
                break;
            }
            out.u32(kOk).u32(static_cast<uint32_t>(t.state))
                .u32(static_cast<uint32_t>(t.resets)).u32(static_cast<uint32_t>(t.resets >> 32));
            break;
        }
        case wire::kShutdown: {
            out.u32(kOk);
            const bool sent = c.send(out);
            std::lock_guard<std::mutex> l(mu);
            shutdownAsked = true;
            cv.notify_all();
            return sent;
        }
        default:
            return false;
        }
        return c.send(out);
    }
};

Server::Server() : s_(std::make_unique<State>()) {}

Server::~Server() { stop(); }

bool Server::start(uint16_t port) {
    if (s_->listener != host::kNoSocket) return false;
    s_->stopping.store(false);
    s_->shutdownAsked = false;
    s_->listener = host::tcpListen(&port);
    if (s_->listener == host::kNoSocket) return false;
    s_->port = port;
    State* s = s_.get();
    s_->acceptor = std::thread([s] { s->acceptLoop(); });
    return true;
}

uint16_t Server::port() const { return s_->port; }

void Server::waitForShutdown() {
    std::unique_lock<std::mutex> l(s_->mu);
    s_->cv.wait(l, [&] { return s_->shutdownAsked || s_->stopping.load(); });
}

void Server::stop() {
    if (s_->listener == host::kNoSocket) return;
    {
        std::lock_guard<std::mutex> l(s_->mu);
        s_->stopping.store(true);
        s_->cv.notify_all();
    }
    s_->acceptor.join();
    std::list<std::unique_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> l(s_->mu);
        conns.swap(s_->conns);
    }
    for (auto& c : conns) c->worker.join();
    host::tcpClose(s_->listener);
    s_->listener = host::kNoSocket;
}

}  // namespace vpod::server
