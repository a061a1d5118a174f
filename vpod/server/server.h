// The vpod server: this process owns the emulated board and serves the D2XX call set to
// other processes (protocol in vpod/wire.h), so that a pod one process let go of is still
// there, pins and all, when the next process takes it up.
#pragma once

#include <cstdint>
#include <memory>

namespace vpod::server {

class Server {
public:
    Server();
    ~Server();   // stops a running server
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Listens on 127.0.0.1:port (0 picks a free port) and serves on a thread of its own.
    // False if it is already running or the port cannot be had.
    bool start(uint16_t port);
    uint16_t port() const;
    // Blocks until a client asked for the shutdown (or stop() was called).
    void waitForShutdown();
    // Ends every connection, closes the handles they held and stops listening.
    void stop();
private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace vpod::server
