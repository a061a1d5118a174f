#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace dorvane::platform {

TcpStream::~TcpStream() { close(); }

bool TcpStream::connect(const std::string& host, uint16_t port) {
    close();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.empty() ? "127.0.0.1" : host.c_str(), &a.sin_addr) != 1) return false;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int r;
    do r = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(s);
        return false;
    }
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sock_ = s;
    return true;
}

bool TcpStream::sendAll(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        const ssize_t k = ::send(static_cast<int>(sock_), p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool TcpStream::recvAll(void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
        const ssize_t k = ::recv(static_cast<int>(sock_), p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void TcpStream::shutdown() {
    if (sock_ != kNone) ::shutdown(static_cast<int>(sock_), SHUT_RDWR);
}

void TcpStream::close() {
    if (sock_ != kNone) ::close(static_cast<int>(sock_));
    sock_ = kNone;
}

}  // namespace dorvane::platform
