// dorvane-vpod serve --socket PATH [--board FILE]
//
// Loads the board (FILE, else what DORVANE_VPOD names, else the built-in board) and serves it
// at PATH (a Unix-domain socket; on Windows a port number on 127.0.0.1) until SIGINT or
// SIGTERM. Prints "listening on PATH" once clients may connect, then one line per client
// connect and disconnect.
#include <cstdio>
#include <cstring>
#include <string>

#include "hostio.h"
#include "server.h"
#include "vpod/control.h"

namespace {
int usage() {
    std::fprintf(stderr, "usage: dorvane-vpod serve --socket PATH [--board FILE]\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "serve") != 0) return usage();
    std::string path, board;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc) path = argv[++i];
        else if (a == "--board" && i + 1 < argc) board = argv[++i];
        else return usage();
    }
    if (path.empty()) return usage();
    std::string error;
    const bool loaded = board.empty() ? vpod::control::loadFromEnvironment(&error)
                                      : vpod::control::loadConfigFile(board, &error);
    if (!loaded) {
        std::fprintf(stderr, "dorvane-vpod: %s\n", error.c_str());
        return 1;
    }
    vpod::detail::host::blockStopSignals();   // before any thread starts: they inherit it
    vpod::server::Server server;
    if (!server.start(path, stdout)) {
        std::fprintf(stderr, "dorvane-vpod: cannot listen at %s (in use, or not a usable path)\n", path.c_str());
        return 1;
    }
    std::printf("listening on %s\n", path.c_str());
    std::fflush(stdout);
    vpod::detail::host::waitForStopSignal();
    server.stop();
    std::printf("stopped\n");
    return 0;
}
