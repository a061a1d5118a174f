#include "hostio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <csignal>
#include <cstring>

namespace vpod::detail::host {

Socket tcpConnect(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return kNoSocket;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return kNoSocket;
    }
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return s;
}

bool tcpSend(Socket s, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        ssize_t k = ::send(static_cast<int>(s), p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool tcpRecv(Socket s, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
        ssize_t k = ::recv(static_cast<int>(s), p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void tcpClose(Socket s) {
    if (s != kNoSocket) ::close(static_cast<int>(s));
}

int tcpWaitReadable(Socket s, unsigned timeoutMs) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

Socket tcpListen(uint16_t* port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return kNoSocket;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(*port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        return kNoSocket;
    }
    *port = ntohs(a.sin_port);
    return s;
}

Socket tcpAccept(Socket listener) {
    int s = ::accept(static_cast<int>(listener), nullptr, nullptr);
    if (s < 0) return kNoSocket;
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

namespace {
bool unixAddress(const std::string& path, sockaddr_un* a) {
    *a = sockaddr_un{};
    a->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a->sun_path) return false;
    std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
    return true;
}
}  // namespace

Socket localConnect(const std::string& path) {
    sockaddr_un a;
    if (!unixAddress(path, &a)) return kNoSocket;
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kNoSocket;
    int r;
    do r = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a); while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(s);
        return kNoSocket;
    }
    return s;
}

Socket localListen(const std::string& path) {
    sockaddr_un a;
    if (!unixAddress(path, &a)) return kNoSocket;
    const Socket other = localConnect(path);
    if (other != kNoSocket) {   // a server is there already
        ::close(static_cast<int>(other));
        return kNoSocket;
    }
    ::unlink(path.c_str());
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kNoSocket;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0) {
        ::close(s);
        return kNoSocket;
    }
    return s;
}

void localRemove(const std::string& path) { ::unlink(path.c_str()); }

bool peerClosed(Socket s) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

void shutdownSocket(Socket s) {
    if (s != kNoSocket) ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

namespace {
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void waitForStopSignal() {
    const sigset_t set = stopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
}

namespace {
struct D2xxEventHandle {   // D2XX's EVENT_HANDLE on Linux and macOS
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
}  // namespace

void signalD2xxEvent(void* event) {
    auto* e = static_cast<D2xxEventHandle*>(event);
    pthread_mutex_lock(&e->eMutex);
    e->iVar = 1;
    pthread_cond_signal(&e->eCondVar);
    pthread_mutex_unlock(&e->eMutex);
}

uint64_t threadCpuNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace vpod::detail::host
