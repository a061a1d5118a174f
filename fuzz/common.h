// Shared helpers of the fuzz targets: a private scratch directory per process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// A directory of this process's own under $TMPDIR (or /tmp), created once, with a trailing '/'.
inline const std::string& scratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/dorvane-fuzz-XXXXXX";
        if (!mkdtemp(t.data())) std::abort();
        return t + "/";
    }();
    return dir;
}

// Replaces the file's contents with the bytes.
inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace fuzz
