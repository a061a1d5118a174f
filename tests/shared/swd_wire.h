// SWD transactions as a pod sends them over MPSSE (default pins: value 0, static directions 0,
// in force 0x03): TDI on ADBUS1 drives SWDIO, ADBUS1 as an input releases it, TDO reads it.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace swdwire {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// Request, turnaround, the three ACK bits read.
inline Bytes head(uint8_t request) { return {0x1B, 0x07, request, 0x80, 0x00, 0x01, 0x1B, 0x00, 0x00, 0x2A, 0x02}; }
inline const Bytes kDrive = {0x1B, 0x00, 0x00, 0x80, 0x00, 0x03};
inline const Bytes kSend = {0x87};
inline const Bytes kIdle = {0x3B, 0x07, 0x00, 0x87};
inline Bytes readTail() { return cat({{0x28, 0x03, 0x00, 0x2A, 0x00}, kDrive, {0x1B, 0x07, 0x00, 0x87}}); }
inline Bytes data(uint32_t v, bool badParity = false) {
    return {0x19, 0x03, 0x00, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24), 0x1B, 0x00,
            uint8_t((std::popcount(v) & 1) ^ (badParity ? 1 : 0))};
}

}  // namespace swdwire
