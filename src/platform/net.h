// TCP streams for the library's network-attached providers (the vpod server's client).
// One implementation per OS: net_posix.cpp, net_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dorvane::platform {

// A connected TCP stream with Nagle's delay off. Sending and receiving may happen on two
// threads at once; one thread at a time for each direction.
class TcpStream {
public:
    TcpStream() = default;
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;
    // host: a dotted IPv4 address ("" = 127.0.0.1). False when nobody accepts.
    bool connect(const std::string& host, uint16_t port);
    bool sendAll(const void* data, size_t n);
    // Exactly n bytes; false at the end of the stream or on an error.
    bool recvAll(void* data, size_t n);
    // Ends both directions: a thread blocked in recvAll returns false.
    void shutdown();
    void close();
    bool connected() const { return sock_ != kNone; }
private:
    static constexpr intptr_t kNone = -1;
    intptr_t sock_ = kNone;
};

}  // namespace dorvane::platform
