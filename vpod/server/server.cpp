#include "server.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "client.h"
#include "hostio.h"
#include "vpod/control.h"
#include "vpod/vpod.h"
#include "wire.h"

namespace vpod::server {
namespace {

namespace host = vpod::detail::host;
using wire::Fn;

std::string boundedText(const char* s, size_t max) { return std::string(s, strnlen(s, max)); }

// ---- Control functions: decode the value arguments, call, send back ok and the results -------
template <typename A, typename H> decltype(auto) pass(H& h) {
    if constexpr (wire::kResult<A>) return &h;
    else return (h);
}

template <typename... A, size_t... I>
void serveFn(bool (*f)(A...), wire::Reader& in, wire::Writer& out, std::index_sequence<I...>) {
    std::tuple<wire::Held<A>...> held;
    bool decoded = true;
    ([&] { if constexpr (!wire::kResult<A>) decoded = decoded && wire::get(in, &std::get<I>(held)); }(), ...);
    const bool ok = decoded && f(pass<A>(std::get<I>(held))...);
    out.u32(ok ? 1 : 0);
    ([&] { if constexpr (wire::kResult<A>) wire::put(out, std::get<I>(held)); }(), ...);
}
template <typename... A> void serveFn(bool (*f)(A...), wire::Reader& in, wire::Writer& out) {
    serveFn(f, in, out, std::index_sequence_for<A...>{});
}

// The functions whose local form does not fit the bool(arguments, results) shape.
bool interfacesOf(std::vector<std::string>* v) { *v = control::interfaces(); return true; }
bool chipsOf(std::vector<control::ChipInfo>* v) { *v = control::chips(); return true; }
bool isOpen(const std::string& iface, bool* open) { *open = control::isOpen(iface); return true; }
bool traceTo(const std::string& path) { control::setTraceFile(path); return true; }
bool vcdTo(const std::string& path) { control::setVcdFile(path); return true; }
bool readMemory(const std::string& iface, uint32_t address, uint32_t count, std::vector<uint8_t>* v) {
    if (count > wire::kMaxFrame / 2) return false;
    v->resize(count);
    return control::swdReadMemory(iface, address, v->data(), count);
}
bool writeMemory(const std::string& iface, uint32_t address, const std::vector<uint8_t>& v) {
    return control::swdWriteMemory(iface, address, v.data(), static_cast<uint32_t>(v.size()));
}

void serveControl(Fn fn, wire::Reader& in, wire::Writer& out) {
    using namespace vpod::control;
    switch (fn) {
    case Fn::LoadConfigText: return serveFn(&loadConfigText, in, out);
    case Fn::Interfaces: return serveFn(&interfacesOf, in, out);
    case Fn::Chips: return serveFn(&chipsOf, in, out);
    case Fn::SetBusy: return serveFn(&setBusy, in, out);
    case Fn::IsOpen: return serveFn(&server::isOpen, in, out);
    case Fn::SetTraceFile: return serveFn(&traceTo, in, out);
    case Fn::SetVcdFile: return serveFn(&vcdTo, in, out);
    case Fn::RecordTraffic: return serveFn(&recordTraffic, in, out);
    case Fn::TrafficWritten: return serveFn(&trafficWritten, in, out);
    case Fn::TrafficRead: return serveFn(&trafficRead, in, out);
    case Fn::ClearTraffic: return serveFn(&clearTraffic, in, out);
    case Fn::FailNext: return serveFn(&failNext, in, out);
    case Fn::ShortWrites: return serveFn(&shortWrites, in, out);
    case Fn::StallReads: return serveFn(&stallReads, in, out);
    case Fn::StrayBytes: return serveFn(&strayBytes, in, out);
    case Fn::BreakEcho: return serveFn(&breakEcho, in, out);
    case Fn::Unplug: return serveFn(&unplug, in, out);
    case Fn::Replug: return serveFn(&replug, in, out);
    case Fn::ClearFaults: return serveFn(&clearFaults, in, out);
    case Fn::ChipState: return serveFn(&chipState, in, out);
    case Fn::SimulatedTimeNs: return serveFn(&simulatedTimeNs, in, out);
    case Fn::ResetSimulatedTime: return serveFn(&resetSimulatedTime, in, out);
    case Fn::TapCount: return serveFn(&tapCount, in, out);
    case Fn::TapInfo: return serveFn(&tapInfo, in, out);
    case Fn::TapRegister: return serveFn(&tapRegister, in, out);
    case Fn::SetTapCapture: return serveFn(&setTapCapture, in, out);
    case Fn::SwdStatus: return serveFn(&swdStatus, in, out);
    case Fn::SwdReadMemory: return serveFn(&readMemory, in, out);
    case Fn::SwdWriteMemory: return serveFn(&writeMemory, in, out);
    case Fn::SwdInjectWait: return serveFn(&swdInjectWait, in, out);
    case Fn::SwdInjectFault: return serveFn(&swdInjectFault, in, out);
    case Fn::SwdCorruptWriteParity: return serveFn(&swdCorruptWriteParity, in, out);
    case Fn::Count: break;
    }
    out.u32(0);
}

// One client connection: its worker answers the main lane's requests as they come; reads,
// which may wait for bytes, are answered by a reader of their own.
struct Conn {
    uint64_t id = 0;
    host::Socket sock = host::kNoSocket;
    std::mutex sendMu;         // one frame at a time on the socket
    std::mutex closeMu;        // one closeHandle at a time
    std::mutex handleMu;       // the handle, between the worker and the reader
    Handle* handle = nullptr;
    std::string iface;
    std::thread worker, reader;
    std::mutex mu;
    std::condition_variable cv;
    bool readAsked = false, ending = false;
    uint32_t readCount = 0;
    std::atomic<bool> finished{false};

    bool send(wire::Writer& w) {
        const std::vector<uint8_t>& f = w.frame();
        std::lock_guard<std::mutex> l(sendMu);
        return host::tcpSend(sock, f.data(), f.size());
    }

    Handle* current() {
        std::lock_guard<std::mutex> l(handleMu);
        return handle;
    }

    void readLoop() {
        std::vector<uint8_t> buf;
        std::unique_lock<std::mutex> l(mu);
        for (;;) {
            cv.wait(l, [&] { return readAsked || ending; });
            if (ending) return;
            readAsked = false;
            const uint32_t count = readCount;
            l.unlock();
            buf.resize(count);
            uint32_t got = 0;
            const Status st = read(current(), buf.data(), count, &got);
            wire::Writer w(wire::kReadReply);
            w.u32(st).bytes(buf.data(), got);
            send(w);
            l.lock();
        }
    }

    void askRead(uint32_t count) {
        std::lock_guard<std::mutex> l(mu);
        readCount = count;
        readAsked = true;
        cv.notify_one();
    }

    // Closes the handle (if any) and ends the reader; true if a handle was still open.
    bool closeHandle(Status* st) {
        std::lock_guard<std::mutex> once(closeMu);
        bool had = false;
        {
            std::lock_guard<std::mutex> l(handleMu);
            if (handle) {
                setEventNotification(handle, 0, nullptr, nullptr);
                *st = close(handle);   // a read waiting on the handle returns
                if (*st == kOk) handle = nullptr;
                had = true;
            }
        }
        {
            std::lock_guard<std::mutex> l(mu);
            ending = true;
            cv.notify_one();
        }
        if (reader.joinable()) reader.join();
        return had;
    }
};

// What the chip's notification reaches: the connection, if it still exists.
void onBytes(void* arg) {
    if (auto c = static_cast<std::weak_ptr<Conn>*>(arg)->lock()) {
        wire::Writer w(wire::kNotify);
        c->send(w);
    }
}

}  // namespace

struct Server::State {
    host::Socket listener = host::kNoSocket;
    std::string path;
    std::FILE* log = nullptr;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mu;
    std::list<std::shared_ptr<Conn>> conns;
    std::list<std::weak_ptr<Conn>> notifyTargets;   // kept while the server lives: a late notification finds none
    uint64_t nextId = 0;

    void note(const char* what, const Conn& c, const std::string& extra = {}) {
        if (!log) return;
        std::fprintf(log, "client %llu %s%s\n", static_cast<unsigned long long>(c.id), what, extra.c_str());
        std::fflush(log);
    }

    void acceptLoop() {
        for (;;) {
            const host::Socket s = host::tcpAccept(listener);
            std::lock_guard<std::mutex> l(mu);
            if (stopping.load()) {
                host::tcpClose(s);
                return;
            }
            if (s == host::kNoSocket) continue;
            reap();
            auto c = std::make_shared<Conn>();
            c->sock = s;
            c->id = ++nextId;
            conns.push_back(c);
            note("connected", *c);
            c->worker = std::thread([this, c] { serve(c); });
        }
    }

    // Joins the workers of finished connections; the caller holds mu.
    void reap() {
        for (auto it = conns.begin(); it != conns.end();) {
            if ((*it)->finished.load()) {
                (*it)->worker.join();
                host::tcpClose((*it)->sock);
                it = conns.erase(it);
            } else {
                ++it;
            }
        }
    }

    void serve(const std::shared_ptr<Conn>& c) {
        std::vector<uint8_t> frame;
        while (wire::recvFrame(c->sock, &frame) && answer(c, frame)) {
        }
        // A client that went away without closing is a process that died: its handle is
        // closed, as the driver does, and the interface is free for the others.
        Status st = kOk;
        c->closeHandle(&st);
        host::shutdownSocket(c->sock);   // closed once the worker is joined
        note("disconnected", *c, c->iface.empty() ? std::string() : " (had " + c->iface + ")");
        c->finished.store(true);
    }

    // Closes the handles of clients whose connection ended but whose worker has not seen it
    // yet (a process just killed): the interface is free for an open that follows at once.
    void freeDeadHolders() {
        std::vector<std::shared_ptr<Conn>> dead;
        {
            std::lock_guard<std::mutex> l(mu);
            for (auto& c : conns)
                if (c->current() && host::peerClosed(c->sock)) dead.push_back(c);
        }
        Status st = kOk;
        for (auto& c : dead) c->closeHandle(&st);
    }

    // Answers one request; false ends the connection.
    bool answer(const std::shared_ptr<Conn>& cp, const std::vector<uint8_t>& frame) {
        Conn& c = *cp;
        wire::Reader in(frame.data() + 1, frame.size() - 1);
        wire::Writer out(wire::kReply);
        uint32_t a = 0, b = 0;
        std::string text;
        Handle* h = c.current();
        switch (frame[0]) {
        case wire::kListCount: {
            const Status st = listDevices(&a, nullptr, kListNumberOnly);
            out.u32(st).u32(a);
            break;
        }
        case wire::kListEntry: {
            if (!in.u32(&a) || !in.u32(&b)) return false;
            freeDeadHolders();
            char buf[65] = {};
            uint32_t number = 0;
            const uint32_t what = b & (kOpenBySerialNumber | kOpenByDescription | kOpenByLocation);
            const Status st = listDevices(reinterpret_cast<void*>(static_cast<uintptr_t>(a)),
                                          what == kOpenByLocation ? static_cast<void*>(&number) : buf,
                                          kListByIndex | what);
            out.u32(st).u32(number).text(boundedText(buf, 64));
            break;
        }
        case wire::kOpenEx:
        case wire::kOpen: {
            Handle* opened = nullptr;
            Status st = kOtherError;
            freeDeadHolders();
            if (frame[0] == wire::kOpenEx) {
                if (!in.u32(&a) || !in.text(&text)) return false;
                const void* arg = a == kOpenByLocation
                    ? reinterpret_cast<const void*>(static_cast<uintptr_t>(std::strtoul(text.c_str(), nullptr, 10)))
                    : text.c_str();
                if (!h) st = openEx(arg, a, &opened);
            } else {
                if (!in.u32(&a)) return false;
                if (!h) st = open(a, &opened);
            }
            if (st == kOk) {
                char serial[33] = {};
                getDeviceInfo(opened, nullptr, nullptr, serial, nullptr);
                c.iface = boundedText(serial, 32);
                c.reader = std::thread([&c] { c.readLoop(); });   // before the handle shows
                std::lock_guard<std::mutex> l(c.handleMu);
                c.handle = opened;
            }
            out.u32(st);
            break;
        }
        case wire::kGetDeviceInfo: {
            char serial[33] = {}, description[65] = {};
            const Status st = getDeviceInfo(h, &a, &b, serial, description);
            out.u32(st).u32(a).u32(b).text(boundedText(serial, 32)).text(boundedText(description, 64));
            break;
        }
        case wire::kClose: {
            Status st = kInvalidHandle;
            c.closeHandle(&st);
            out.u32(st);
            c.send(out);
            return false;
        }
        case wire::kResetDevice: out.u32(resetDevice(h)); break;
        case wire::kPurge:
            if (!in.u32(&a)) return false;
            out.u32(purge(h, a));
            break;
        case wire::kSetBitMode:
            if (!in.u32(&a) || !in.u32(&b)) return false;
            out.u32(setBitMode(h, static_cast<uint8_t>(a), static_cast<uint8_t>(b)));
            break;
        case wire::kSetTimeouts:
            if (!in.u32(&a) || !in.u32(&b)) return false;
            out.u32(setTimeouts(h, a, b));
            break;
        case wire::kSetLatencyTimer:
            if (!in.u32(&a)) return false;
            out.u32(setLatencyTimer(h, static_cast<uint8_t>(a)));
            break;
        case wire::kSetEvent: {
            if (!in.u32(&a)) return false;
            void* target = nullptr;
            if (a & kEventRxChar) {
                std::lock_guard<std::mutex> l(mu);
                target = &notifyTargets.emplace_back(cp);
            }
            out.u32(setEventNotification(h, a, target ? onBytes : nullptr, target));
            break;
        }
        case wire::kGetQueueStatus: {
            const Status st = getQueueStatus(h, &a);
            out.u32(st).u32(a);
            break;
        }
        case wire::kGetReleased: {
            const Status st = getReleasedCount(h, &a);
            out.u32(st).u32(a);
            break;
        }
        case wire::kRead:
            if (!in.u32(&a) || a > wire::kMaxPiece) return false;
            if (!h) {
                wire::Writer w(wire::kReadReply);
                w.u32(kInvalidHandle).u32(0);
                return c.send(w);
            }
            c.askRead(a);
            return true;
        case wire::kWrite: {
            const uint8_t* data = nullptr;
            if (!in.bytes(&data, &b)) return false;
            const Status st = write(h, data, b, &a);
            out.u32(st).u32(a);
            break;
        }
        case wire::kCyclePort: out.u32(cyclePort(h)); break;
        case wire::kControl:
            if (!in.u32(&a) || a >= static_cast<uint32_t>(Fn::Count)) return false;
            serveControl(static_cast<Fn>(a), in, out);
            break;
        default:
            return false;
        }
        return c.send(out);
    }
};

Server::Server() : s_(std::make_unique<State>()) {}

Server::~Server() { stop(); }

bool Server::start(const std::string& path, std::FILE* log) {
    if (s_->listener != host::kNoSocket) return false;
    detail::client::disable();   // this process's calls reach its own board
    s_->listener = host::localListen(path);
    if (s_->listener == host::kNoSocket) return false;
    s_->path = path;
    s_->log = log;
    s_->stopping.store(false);
    State* s = s_.get();
    s_->acceptor = std::thread([s] { s->acceptLoop(); });
    return true;
}

void Server::stop() {
    if (s_->listener == host::kNoSocket) return;
    std::list<std::shared_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> l(s_->mu);
        s_->stopping.store(true);
        for (auto& c : s_->conns) host::shutdownSocket(c->sock);   // their workers see the end
        conns = s_->conns;
    }
    host::tcpClose(host::localConnect(s_->path));   // wakes the acceptor, which sees the stop
    s_->acceptor.join();
    host::tcpClose(s_->listener);
    for (auto& c : conns) {
        c->worker.join();
        host::tcpClose(c->sock);
    }
    {
        std::lock_guard<std::mutex> l(s_->mu);
        s_->conns.clear();
    }
    host::localRemove(s_->path);
    s_->listener = host::kNoSocket;
}

}  // namespace vpod::server
