// dorvane-vpod-server [BOARD_FILE] [--port N]
//
// Loads the board (BOARD_FILE, else what DORVANE_VPOD names, else the built-in board), serves
// it on 127.0.0.1:N (0 or none: a free port) and prints "port N" once it listens. A client's
// shutdown request stops it with exit code 0.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server.h"
#include "vpod/control.h"

int main(int argc, char** argv) {
    std::string board;
    long port = 0;
    bool ok = true;
    for (int i = 1; ok && i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            ok = *end == 0 && port >= 0 && port <= 65535;
        } else if (a[0] != '-' && board.empty()) {
            board = a;
        } else {
            ok = false;
        }
    }
    if (!ok) {
        std::fprintf(stderr, "usage: dorvane-vpod-server [BOARD_FILE] [--port N]\n");
        return 2;
    }
    std::string error;
    const bool loaded = board.empty() ? vpod::control::loadFromEnvironment(&error)
                                      : vpod::control::loadConfigFile(board, &error);
    if (!loaded) {
        std::fprintf(stderr, "dorvane-vpod-server: %s\n", error.c_str());
        return 1;
    }
    vpod::server::Server server;
    if (!server.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "dorvane-vpod-server: cannot listen on port %ld\n", port);
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    server.waitForShutdown();
    server.stop();
    return 0;
}
