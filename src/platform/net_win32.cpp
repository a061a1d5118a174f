#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace dorvane::platform {
namespace {

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET S(intptr_t s) { return static_cast<SOCKET>(s); }

}  // namespace

TcpStream::~TcpStream() { close(); }

bool TcpStream::connect(const std::string& host, uint16_t port) {
    close();
    if (!startWinsock()) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, host.empty() ? "127.0.0.1" : host.c_str(), &a.sin_addr) != 1) return false;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return false;
    }
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    sock_ = static_cast<intptr_t>(s);
    return true;
}

bool TcpStream::sendAll(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        const int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
        const int k = ::send(S(sock_), p, chunk, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool TcpStream::recvAll(void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
        const int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
        const int k = ::recv(S(sock_), p, chunk, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void TcpStream::shutdown() {
    if (sock_ != kNone) ::shutdown(S(sock_), SD_BOTH);
}

void TcpStream::close() {
    if (sock_ != kNone) ::closesocket(S(sock_));
    sock_ = kNone;
}

}  // namespace dorvane::platform
