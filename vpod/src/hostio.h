// The few host services the virtual pod needs beyond the standard library: a TCP client for
// the remote-bitbang bridge (and the listener its tests serve it from), the vpod server's
// local socket, its stop signals, and signalling a D2XX event object. One file per OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vpod::detail::host {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

Socket tcpConnect(uint16_t port);    // 127.0.0.1; kNoSocket on failure; receive time-out 5 s
bool tcpSend(Socket s, const void* data, size_t n);
bool tcpRecv(Socket s, void* data, size_t n);   // exactly n bytes
void tcpClose(Socket s);
// 1 when bytes (or the end of the stream) can be read within timeoutMs, 0 on time-out, -1 on error.
int tcpWaitReadable(Socket s, unsigned timeoutMs);
// A listening socket on 127.0.0.1 (port 0 picks a free one, reported back), and accept.
Socket tcpListen(uint16_t* port);
Socket tcpAccept(Socket listener);

// The vpod server's endpoint. POSIX: a Unix-domain socket at the path (a stale socket file
// nobody answers on is replaced). Windows (mingw has no afunix.h): the path is a port number
// on 127.0.0.1. Connections made here have no receive time-out and no Nagle delay.
Socket localListen(const std::string& path);
Socket localConnect(const std::string& path);
void localRemove(const std::string& path);   // the socket file, after the listener closed
// The other end closed the connection (even with bytes of it still unread).
bool peerClosed(Socket s);
// Ends both directions: a thread blocked in tcpRecv on s returns false.
void shutdownSocket(Socket s);
// SIGINT/SIGTERM (Ctrl+C / console close on Windows): block them for this thread and every
// thread it starts afterwards, then wait for one.
void blockStopSignals();
void waitForStopSignal();

// D2XX's event for FT_SetEventNotification: on POSIX a {pthread_cond_t, pthread_mutex_t, int}
// record, on Windows an event HANDLE.
void signalD2xxEvent(void* event);

// CPU time of the calling thread, in nanoseconds (what the emulation is charged with).
uint64_t threadCpuNs();

}  // namespace vpod::detail::host
