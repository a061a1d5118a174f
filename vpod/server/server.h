// The vpod server: this process owns the emulated board and serves the D2XX call set and the
// test-control calls to other processes (protocol in vpod/src/wire.h), so that a pod one
// process let go of is still there, pins and all, when the next process takes it up.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace vpod::server {

class Server {
public:
    Server();
    ~Server();   // stops a running server
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Listens at path (a Unix-domain socket; on Windows a port number on 127.0.0.1) and serves
    // on threads of its own, writing one line per client connect and disconnect to log (if
    // given). False if it is already running or the path cannot be had.
    bool start(const std::string& path, std::FILE* log = nullptr);
    // Ends every connection, closes the handles they held and stops listening.
    void stop();
private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace vpod::server
