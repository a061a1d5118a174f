// Byte trace (DORVANE_VPOD_TRACE) and pin waveform (DORVANE_VPOD_VCD).
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "device.h"

namespace vpod::detail {

namespace {

struct Writer {
    std::mutex mu;
    std::string tracePath;
    bool traceFromEnv = true;
    std::FILE* trace = nullptr;

    std::string vcdPath;
    bool vcdFromEnv = true;
    std::FILE* vcd = nullptr;
    bool headerDone = false;
    std::vector<std::string> scopes;
    struct Levels { int tck = -1, tms = -1, tdi = -1, tdo = -1, trst = -1, dir = -1; };
    std::vector<Levels> levels;
    uint64_t lastTime = 0;
    bool timeWritten = false;
};

// Made on first use, not a static object: devices may trace during exit. Freed by
// traceRelease() when the code holding the pod goes away.
std::atomic<Writer*> gWriter{nullptr};

Writer& writer() {
    Writer* w = gWriter.load(std::memory_order_acquire);
    if (w) return *w;
    auto* made = new Writer;
    if (gWriter.compare_exchange_strong(w, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *w;
}

std::atomic<bool> gTraceOn{false};
std::atomic<bool> gVcdOn{false};

void openTrace(Writer& w, const std::string& path) {
    if (w.trace) std::fclose(w.trace);
    w.trace = nullptr;
    w.tracePath = path;
    if (!path.empty()) w.trace = std::fopen(path.c_str(), "ab");
    gTraceOn = w.trace != nullptr;
}

void openVcd(Writer& w, const std::string& path) {
    if (w.vcd) std::fclose(w.vcd);
    w.vcd = nullptr;
    w.vcdPath = path;
    w.headerDone = false;
    w.scopes.clear();
    w.levels.clear();
    w.lastTime = 0;
    w.timeWritten = false;
    if (!path.empty()) w.vcd = std::fopen(path.c_str(), "wb");
    gVcdOn = w.vcd != nullptr;
}

std::string vcdId(size_t scope, unsigned signal) {
    size_t n = scope * 6 + signal;
    std::string id;
    do {
        id += static_cast<char>('!' + n % 94);
        n /= 94;
    } while (n);
    return id;
}

void header(Writer& w) {
    std::fprintf(w.vcd, "$version dorvane virtual pod $end\n$timescale 1 ps $end\n");
    static const char* const names[] = {"TCK", "TMS", "TDI", "TDO", "TRST", "SWDIO_DIR"};
    for (size_t s = 0; s < w.scopes.size(); ++s) {
        std::fprintf(w.vcd, "$scope module %s $end\n", w.scopes[s].c_str());
        for (unsigned k = 0; k < 6; ++k)
            std::fprintf(w.vcd, "$var wire 1 %s %s $end\n", vcdId(s, k).c_str(), names[k]);
        std::fprintf(w.vcd, "$upscope $end\n");
    }
    std::fprintf(w.vcd, "$enddefinitions $end\n");
    w.headerDone = true;
}

void emit(Writer& w, uint64_t t, size_t scope, unsigned signal, int* last, int level) {
    if (*last == level) return;
    *last = level;
    if (t < w.lastTime) t = w.lastTime;
    if (!w.timeWritten || t != w.lastTime) {
        std::fprintf(w.vcd, "#%llu\n", static_cast<unsigned long long>(t));
        w.lastTime = t;
        w.timeWritten = true;
    }
    std::fprintf(w.vcd, "%d%s\n", level, vcdId(scope, signal).c_str());
}

}  // namespace

void traceRefreshFromEnvironment() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.traceFromEnv) {
        const char* p = std::getenv("DORVANE_VPOD_TRACE");
        const std::string path = p ? p : "";
        if (path != w.tracePath || (!path.empty() && !w.trace)) openTrace(w, path);
    }
    if (w.vcdFromEnv) {
        const char* p = std::getenv("DORVANE_VPOD_VCD");
        const std::string path = p ? p : "";
        if (path != w.vcdPath) openVcd(w, path);
    }
}

void traceSetFile(const std::string& path) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    w.traceFromEnv = false;
    openTrace(w, path);
}

void vcdSetFile(const std::string& path) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    w.vcdFromEnv = false;
    openVcd(w, path);
}

bool traceEnabled() { return gTraceOn.load(std::memory_order_relaxed); }
bool vcdEnabled() { return gVcdOn.load(std::memory_order_relaxed); }

void traceBytes(const std::string& serial, char dir, const uint8_t* data, size_t n) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (!w.trace) return;
    static const char hex[] = "0123456789ABCDEF";
    std::string line = serial;
    line.reserve(serial.size() + 3 + n * 3 + 1);
    line += ' ';
    line += dir;
    for (size_t i = 0; i < n; ++i) {
        line += ' ';
        line += hex[data[i] >> 4];
        line += hex[data[i] & 15];
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), w.trace);
    std::fflush(w.trace);
}

int vcdScopeFor(const std::string& serial) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (!w.vcd) return -1;
    for (size_t i = 0; i < w.scopes.size(); ++i)
        if (w.scopes[i] == serial) return static_cast<int>(i);
    if (w.headerDone) return -1;   // the header is written: later interfaces cannot join
    w.scopes.push_back(serial);
    w.levels.emplace_back();
    return static_cast<int>(w.scopes.size() - 1);
}

void vcdCycle(int scope, uint64_t startPs, uint64_t periodPs, bool tms, bool tdi, bool tdo, bool trst,
              bool swdioOut) {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (!w.vcd || scope < 0 || static_cast<size_t>(scope) >= w.scopes.size()) return;
    if (!w.headerDone) header(w);
    auto& l = w.levels[static_cast<size_t>(scope)];
    const size_t s = static_cast<size_t>(scope);
    emit(w, startPs, s, 0, &l.tck, 0);
    emit(w, startPs, s, 1, &l.tms, tms);
    emit(w, startPs, s, 2, &l.tdi, tdi);
    emit(w, startPs, s, 3, &l.tdo, tdo);
    emit(w, startPs, s, 4, &l.trst, trst ? 0 : 1);   // the TRST line, active low
    emit(w, startPs, s, 5, &l.dir, swdioOut);
    emit(w, startPs + periodPs / 2, s, 0, &l.tck, 1);
}

void vcdFlush() {
    Writer& w = writer();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.vcd) std::fflush(w.vcd);
}

void traceRelease() {
    Writer* w = gWriter.exchange(nullptr, std::memory_order_acq_rel);
    if (!w) return;
    gTraceOn = false;
    gVcdOn = false;
    if (w->trace) std::fclose(w->trace);
    if (w->vcd) std::fclose(w->vcd);
    delete w;
}

}  // namespace vpod::detail
