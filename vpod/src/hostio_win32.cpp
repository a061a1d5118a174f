#include "hostio.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>

namespace vpod::detail::host {

namespace {
bool startWinsock() {
    static const bool ok = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    return ok;
}
}  // namespace

Socket tcpConnect(uint16_t port) {
    if (!startWinsock()) return kNoSocket;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    DWORD ms = 5000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    return static_cast<Socket>(s);
}

bool tcpSend(Socket s, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        int k = ::send(static_cast<SOCKET>(s), p, static_cast<int>(n), 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool tcpRecv(Socket s, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
        int k = ::recv(static_cast<SOCKET>(s), p, static_cast<int>(n), 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void tcpClose(Socket s) {
    if (s != kNoSocket) ::closesocket(static_cast<SOCKET>(s));
}

int tcpWaitReadable(Socket s, unsigned timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

Socket tcpListen(uint16_t* port) {
    if (!startWinsock()) return kNoSocket;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(*port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    *port = ntohs(a.sin_port);
    return static_cast<Socket>(s);
}

Socket tcpAccept(Socket listener) {
    SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return kNoSocket;
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(s);
}

Socket localListen(const std::string& path) {
    char* end = nullptr;
    const unsigned long port = std::strtoul(path.c_str(), &end, 10);
    if (path.empty() || *end || port == 0 || port > 65535) return kNoSocket;
    auto p = static_cast<uint16_t>(port);
    return tcpListen(&p);
}

Socket localConnect(const std::string& path) {
    char* end = nullptr;
    const unsigned long port = std::strtoul(path.c_str(), &end, 10);
    if (path.empty() || *end || port == 0 || port > 65535) return kNoSocket;
    const Socket s = tcpConnect(static_cast<uint16_t>(port));
    if (s == kNoSocket) return s;
    DWORD never = 0;
    ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&never), sizeof never);
    return s;
}

void localRemove(const std::string&) {}

bool peerClosed(Socket s) {
    WSAPOLLFD p{static_cast<SOCKET>(s), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

void shutdownSocket(Socket s) {
    if (s != kNoSocket) ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

namespace {
HANDLE stopEvent() {
    static HANDLE e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return e;
}
BOOL WINAPI onConsoleEvent(DWORD) {
    ::SetEvent(stopEvent());
    return TRUE;
}
}  // namespace

void blockStopSignals() { ::SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

void waitForStopSignal() { ::WaitForSingleObject(stopEvent(), INFINITE); }

void signalD2xxEvent(void* event) { ::SetEvent(static_cast<HANDLE>(event)); }

uint64_t threadCpuNs() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) * 100;   // 100 ns units
}

}  // namespace vpod::detail::host

