// The virtual pod of another process: while DORVANE_VPOD_SERVER names a vpod server, every
// D2XX call and test-control call of this process goes to that server's board instead of the
// board of this process (vpod/src/wire.h has the protocol).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "vpod/vpod.h"
#include "wire.h"

namespace vpod::detail::client {

// DORVANE_VPOD_SERVER is set (and this process is not the server itself).
bool active();
// The server's process: its own calls always reach its own board.
void disable();
// The handle was opened through a server (cheap while none ever was).
bool owns(Handle* h);

Status listDevices(void* arg1, void* arg2, uint32_t flags);
Status openEx(const void* arg, uint32_t flags, Handle** handle);
Status open(uint32_t index, Handle** handle);
Status getDeviceInfo(Handle* h, uint32_t* type, uint32_t* id, char* serial, char* description);
Status close(Handle* h);
Status resetDevice(Handle* h);
Status purge(Handle* h, uint32_t mask);
Status setBitMode(Handle* h, uint8_t mask, uint8_t mode);
Status setTimeouts(Handle* h, uint32_t readMs, uint32_t writeMs);
Status setLatencyTimer(Handle* h, uint8_t ms);
Status setEventNotification(Handle* h, uint32_t mask, Notify notify, void* arg);
Status getQueueStatus(Handle* h, uint32_t* count);
Status getReleasedCount(Handle* h, uint32_t* count);
Status read(Handle* h, void* buffer, uint32_t count, uint32_t* got);
Status write(Handle* h, const void* buffer, uint32_t count, uint32_t* written);
Status cyclePort(Handle* h);

// One control call on the connection test-control calls share: the reply after its ok word
// in *reply; 1 or 0 as the server's function answered, -1 when the server cannot be reached.
int controlCall(wire::Writer& request, std::vector<uint8_t>* reply);

// Forwards a control function: value arguments go out, pointer arguments are filled in (when
// it succeeded; a text result, the error message, either way).
template <typename... A>
bool control(wire::Fn fn, A&&... args) {
    wire::Writer w(wire::kControl);
    w.u32(static_cast<uint32_t>(fn));
    ([&] { if constexpr (!wire::kResult<A>) wire::put(w, wire::Held<A>(args)); }(), ...);
    std::vector<uint8_t> reply;
    const int answer = controlCall(w, &reply);
    if (answer < 0) return false;
    wire::Reader in(reply.data(), reply.size());
    bool ok = answer == 1;
    ([&] {
        if constexpr (wire::kResult<A>) {
            wire::Held<A> v{};
            if (wire::get(in, &v) && args && (ok || std::is_same_v<wire::Held<A>, std::string>)) *args = std::move(v);
        }
    }(), ...);
    return ok;
}

}  // namespace vpod::detail::client
