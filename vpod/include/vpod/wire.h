// The wire protocol of the vpod server (dorvane-vpod-server): one process owns the emulated
// board and serves the D2XX call set to other processes over TCP on 127.0.0.1.
//
// A connection carries frames both ways: u32 length (of what follows), u8 kind, payload.
// Numbers are little-endian u32 unless named otherwise; a text is u32 length + its bytes.
//
// The client sends one request at a time and waits for its reply (kind kReply, payload
// starting with the u32 D2XX status). A connection that opened an interface is bound to that
// handle for the rest of its life; after the reply to kClose the server ends the connection.
// Bytes the chip sends come unasked as kData frames (payload = the bytes), always before the
// reply to the request that produced them, so that they are readable when a write returns.
// Read, queue status and the event notification are the client's business: it keeps the bytes
// it was sent, signals its event when some arrive and times out its own reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vpod::wire {

enum Kind : uint8_t {
    // Requests (client -> server).
    kListCount = 1,      // -> status, count
    kListEntry = 2,      // index, flags (kOpenBySerialNumber or kOpenByDescription) -> status, text
    kOpenEx = 3,         // flags (serial or description), text -> status
    kOpen = 4,           // index -> status
    kGetDeviceInfo = 5,  // -> status, type, id, serial text, description text
    kClose = 6,          // -> status, then the server ends the connection (and the handle)
    kResetDevice = 7,    // -> status
    kPurge = 8,          // mask -> status (the client empties its own queue for kPurgeRx)
    kSetBitMode = 9,     // mask, mode -> status
    kSetTimeouts = 10,   // read ms, write ms -> status (the server's copy; reads time out at the client)
    kSetLatencyTimer = 11,  // ms -> status
    kWrite = 12,         // bytes (rest of the payload) -> status, written
    kCyclePort = 13,     // -> status
    // Test control (any connection).
    kPinState = 20,      // interface text -> status, lowValue, lowDirection, highValue, highDirection,
                         //   trstAsserted, bitMode, tckCycles low word, tckCycles high word
    kTapState = 21,      // interface text, tap -> status, state (IEEE order), resets low, resets high
    kShutdown = 22,      // -> status; the server closes every handle and exits with 0
    // Server -> client.
    kReply = 100,
    kData = 101,
};

constexpr uint32_t kMaxFrame = 1u << 20;   // larger frames end the connection

// Frame building and parsing, shared by both ends so that they cannot disagree.
class Writer {
public:
    explicit Writer(Kind kind) { bytes_.resize(4); bytes_.push_back(kind); }
    Writer& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& text(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return *this;
    }
    Writer& raw(const void* data, uint32_t n) {
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

// Reads a payload (after the kind byte); every read past the end fails and stays failed.
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
    bool text(std::string* s) {
        uint32_t n = 0;
        if (!u32(&n) || static_cast<size_t>(end_ - p_) < n) return ok_ = false;
        s->assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
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

}  // namespace vpod::wire
