// The vpod server's protocol: one process owns the board (dorvane-vpod serve) and every other
// process's virtual pod forwards its D2XX calls and test-control calls to it.
//
// A connection carries frames both ways: u32 length (of what follows), u8 kind, payload.
// Numbers are little-endian u32 (u64 as two, low first); a text or byte string is u32 length +
// its bytes. Server and clients come from one build.
//
// A client sends one request per lane at a time and waits for its reply: reads have a lane of
// their own (kRead -> kReadReply, since a read may wait for bytes), everything else shares the
// main lane (-> kReply). Every reply starts with the u32 D2XX status (for kControl: 1 or 0).
// A connection that opened an interface is bound to that handle for the rest of its life; the
// server ends the connection after the reply to kClose, and closes the handle of a connection
// that ends. While the client has the receive event armed, the server sends kNotify whenever
// bytes arrive, before the reply to the request that made them.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "hostio.h"
#include "vpod/control.h"

namespace vpod::wire {

enum Kind : uint8_t {
    kListCount = 1,          // -> status, count
    kListEntry = 2,          // index, what (serial / description / location) -> status, number, text
    kOpenEx = 3,             // flags, text (location: its number as text) -> status
    kOpen = 4,               // index -> status
    kGetDeviceInfo = 5,      // -> status, type, id, serial, description
    kClose = 6,              // -> status; then the connection ends
    kResetDevice = 7,        // -> status
    kPurge = 8,              // mask -> status
    kSetBitMode = 9,         // mask, mode -> status
    kSetTimeouts = 10,       // read ms, write ms -> status
    kSetLatencyTimer = 11,   // ms -> status
    kSetEvent = 12,          // mask (0 disarms) -> status
    kGetQueueStatus = 13,    // -> status, count
    kGetReleased = 14,       // -> status, count
    kRead = 15,              // count -> (kReadReply) status, bytes
    kWrite = 16,             // bytes -> status, written
    kCyclePort = 17,         // -> status
    kControl = 18,           // function, arguments -> ok, results (see Fn)
    kReply = 100,
    kReadReply = 101,
    kNotify = 102,
};

constexpr uint32_t kMaxFrame = 1u << 20;   // larger frames end the connection
constexpr uint32_t kMaxPiece = 1u << 16;   // reads and writes travel in pieces of at most this

// The test-control functions served: the client sends the interface and the value arguments,
// the server answers with the pointed-to results.
enum class Fn : uint32_t {
    LoadConfigText, Interfaces, Chips, SetBusy, IsOpen, SetTraceFile, SetVcdFile,
    RecordTraffic, TrafficWritten, TrafficRead, ClearTraffic,
    FailNext, ShortWrites, StallReads, StrayBytes, BreakEcho, Unplug, Replug, ClearFaults,
    ChipState, SimulatedTimeNs, ResetSimulatedTime,
    TapCount, TapInfo, TapRegister, SetTapCapture,
    SwdStatus, SwdReadMemory, SwdWriteMemory, SwdInjectWait, SwdInjectFault, SwdCorruptWriteParity,
    Count,
};

class Writer {
public:
    explicit Writer(Kind kind) { bytes_.resize(4); bytes_.push_back(kind); }
    Writer& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& text(const std::string& s) { return bytes(s.data(), s.size()); }
    Writer& bytes(const void* data, size_t n) {
        u32(static_cast<uint32_t>(n));
        return raw(data, n);
    }
    Writer& raw(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
        return *this;
    }
    // The finished frame, length filled in.
    const std::vector<uint8_t>& frame() {
        const auto n = static_cast<uint32_t>(bytes_.size() - 4);
        for (int i = 0; i < 4; ++i) bytes_[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
        return bytes_;
    }
private:
    std::vector<uint8_t> bytes_;
};

// Reads a payload; every read past the end fails and stays failed.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool u32(uint32_t* v) {
        if (!ok_ || end_ - p_ < 4) return ok_ = false;
        *v = static_cast<uint32_t>(p_[0]) | static_cast<uint32_t>(p_[1]) << 8 |
             static_cast<uint32_t>(p_[2]) << 16 | static_cast<uint32_t>(p_[3]) << 24;
        p_ += 4;
        return true;
    }
    // A length-prefixed string: *data points into the payload.
    bool bytes(const uint8_t** data, uint32_t* n) {
        if (!u32(n) || static_cast<size_t>(end_ - p_) < *n) return ok_ = false;
        *data = p_;
        p_ += *n;
        return true;
    }
    bool text(std::string* s) {
        const uint8_t* d = nullptr;
        uint32_t n = 0;
        if (!bytes(&d, &n)) return false;
        s->assign(reinterpret_cast<const char*>(d), n);
        return true;
    }
    const uint8_t* rest(size_t* n) const { *n = static_cast<size_t>(end_ - p_); return p_; }
    bool ok() const { return ok_; }
private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

inline uint32_t frameLength(const uint8_t header[4]) {
    return static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
           static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
}

// Reads one frame's payload; false when the connection ended or the frame is out of bounds.
inline bool recvFrame(detail::host::Socket s, std::vector<uint8_t>* frame) {
    uint8_t header[4];
    if (!detail::host::tcpRecv(s, header, 4)) return false;
    const uint32_t n = frameLength(header);
    if (n == 0 || n > kMaxFrame) return false;
    frame->resize(n);
    return detail::host::tcpRecv(s, frame->data(), n);
}

// ---- Values of the control functions, one codec for both ends ------------------------------
template <typename T, typename F> void fields(T& v, F&& f);   // the records' fields, in order

template <typename F> void fields(control::ChipState& s, F&& f) {
    f(s.bitMode); f(s.lowValue); f(s.lowDirection); f(s.highValue); f(s.highDirection); f(s.loopback);
    f(s.divideBy5); f(s.threePhase); f(s.adaptive); f(s.divisor); f(s.latencyMs); f(s.readTimeoutMs);
    f(s.writeTimeoutMs); f(s.rxQueued); f(s.pendingCommandBytes); f(s.tckCycles); f(s.trstAsserted);
}
template <typename F> void fields(control::TapInfo& t, F&& f) {
    f(t.name); f(t.state); f(t.irLength); f(t.instruction); f(t.selectedRegister); f(t.irUpdates); f(t.resets);
}
template <typename F> void fields(control::RegisterLog& r, F&& f) {
    f(r.length); f(r.captures); f(r.updates); f(r.lastUpdate); f(r.capture);
}
template <typename F> void fields(control::SwdStatus& s, F&& f) {
    f(s.swdMode); f(s.dormant); f(s.lineResetState); f(s.lockedOut); f(s.ctrlStat); f(s.select); f(s.tar);
    f(s.csw); f(s.lineResets); f(s.switches); f(s.wakeUps); f(s.okAcks); f(s.waitAcks); f(s.faultAcks);
    f(s.protocolErrors); f(s.parityErrors);
}
template <typename F> void fields(control::ChipInfo& c, F&& f) {
    f(c.type); f(c.serial); f(c.description); f(c.interfaces); f(c.present);
}

template <typename T> struct IsRecord : std::false_type {};
template <> struct IsRecord<control::ChipState> : std::true_type {};
template <> struct IsRecord<control::TapInfo> : std::true_type {};
template <> struct IsRecord<control::RegisterLog> : std::true_type {};
template <> struct IsRecord<control::SwdStatus> : std::true_type {};
template <> struct IsRecord<control::ChipInfo> : std::true_type {};

template <typename T> void put(Writer& w, const T& v) {
    if constexpr (std::is_same_v<T, std::string>) {
        w.text(v);
    } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
        w.bytes(v.data(), v.size());
    } else if constexpr (IsRecord<T>::value) {
        fields(const_cast<T&>(v), [&](const auto& x) { put(w, x); });
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        w.u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32));
    } else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>) {
        w.u32(static_cast<uint32_t>(v));
    } else {   // a list
        w.u32(static_cast<uint32_t>(v.size()));
        for (const auto& x : v) put(w, x);
    }
}

template <typename T> bool get(Reader& r, T* v) {
    if constexpr (std::is_same_v<T, std::string>) {
        return r.text(v);
    } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
        const uint8_t* d = nullptr;
        uint32_t n = 0;
        if (!r.bytes(&d, &n)) return false;
        v->assign(d, d + n);
        return true;
    } else if constexpr (IsRecord<T>::value) {
        bool ok = true;
        fields(*v, [&](auto& x) { ok = get(r, &x) && ok; });
        return ok;
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        uint32_t lo = 0, hi = 0;
        if (!r.u32(&lo) || !r.u32(&hi)) return false;
        *v = static_cast<uint64_t>(hi) << 32 | lo;
        return true;
    } else if constexpr (std::is_same_v<T, bool>) {
        uint32_t x = 0;
        if (!r.u32(&x)) return false;
        *v = x != 0;
        return true;
    } else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>) {
        uint32_t x = 0;
        if (!r.u32(&x)) return false;
        *v = static_cast<T>(x);
        return true;
    } else {   // a list, its length bounded by what the payload can hold
        uint32_t n = 0;
        size_t left = 0;
        r.rest(&left);
        if (!r.u32(&n) || n > left) return false;
        v->resize(n);
        for (auto& x : *v)
            if (!get(r, &x)) return false;
        return true;
    }
}

// Arguments of a control function: values travel to the server, pointed-to results come back.
template <typename A> using Held = std::remove_cv_t<std::remove_pointer_t<std::remove_cvref_t<A>>>;
template <typename A> constexpr bool kResult = std::is_pointer_v<std::remove_cvref_t<A>>;

}  // namespace vpod::wire
