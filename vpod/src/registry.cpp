#include "registry.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vpod::detail {

namespace {
// Made on first use, not a static object: handles may outlive static destruction. Freed by
// release() when the code holding the pod goes away.
std::atomic<Registry*> gRegistry{nullptr};

// DORVANE_VPOD_STATS: the emulation's figures of every MPSSE interface, appended at exit (or
// when the registry is released before).
void writeStats(Registry& r) {
    const char* path = std::getenv("DORVANE_VPOD_STATS");
    if (!path || !*path) return;
    std::ofstream out(path, std::ios::app);
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto& d : r.order) {
        if (!d->mpsse) continue;
        std::lock_guard<std::mutex> l(d->mu);
        out << d->serial << ' ' << d->emulationCpuNs << ' ' << d->nowPs / 1000 << '\n';
    }
}

void writeStatsAtExit() {
    if (Registry* r = gRegistry.load(std::memory_order_acquire)) writeStats(*r);
}

}  // namespace

Registry& registry() {
    Registry* r = gRegistry.load(std::memory_order_acquire);
    if (r) return *r;
    auto* made = new Registry;
    if (gRegistry.compare_exchange_strong(r, made, std::memory_order_acq_rel)) {
        static const bool atExit = [] {
            if (const char* p = std::getenv("DORVANE_VPOD_STATS"); p && *p) std::atexit(writeStatsAtExit);
            return true;
        }();
        (void)atExit;
        return *made;
    }
    delete made;
    return *r;
}

void releaseRegistry() {
    Registry* r = gRegistry.exchange(nullptr, std::memory_order_acq_rel);
    if (r) writeStats(*r);
    delete r;
}

void killInterface(Interface& d) {
    std::lock_guard<std::mutex> lock(d.mu);
    d.epoch.fetch_add(1);
    d.open = false;
    d.notify = nullptr;
    d.notifyArg = nullptr;
    d.rx.clear();
    d.rxHead = 0;
    d.cv.notify_all();
}

void declareVcd(Registry& r) {
    const bool on = vcdEnabled();
    for (auto& d : r.order) {
        const int scope = (on && d->mpsse) ? vcdScopeFor(d->serial) : -1;
        std::lock_guard<std::mutex> lock(d->mu);
        d->vcdScope = scope;
    }
}

namespace {

// Replaces the board; caller holds r.mu.
void install(Registry& r, Board&& b) {
    for (auto& c : r.chips)
        for (auto& d : c->interfaces) killInterface(*d);
    r.chips.clear();
    for (auto& c : b.chips) r.chips.emplace_back(std::move(c));
    r.order = std::move(b.order);
    r.loaded = true;
    traceRefreshFromEnvironment();
    declareVcd(r);
}

}  // namespace

bool loadText(Registry& r, const std::string& text, std::string* error) {
    Board b;
    std::string err;
    if (!buildBoard(text, &b, &err)) {
        if (error) *error = err;
        return false;
    }
    install(r, std::move(b));
    return true;
}

bool readFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *text = ss.str();
    return true;
}

bool loadEnv(Registry& r, std::string* error) {
    const char* path = std::getenv("DORVANE_VPOD");
    if (path && *path) {
        std::string text;
        if (!readFile(path, &text, error)) return false;
        return loadText(r, text, error);
    }
    return loadText(r, kDefaultBoardText, error);
}

void ensureLoaded(Registry& r) {
    if (r.loaded) return;
    // A broken DORVANE_VPOD file leaves an empty board: no devices, as with nothing plugged in.
    if (!loadEnv(r, nullptr)) {
        install(r, Board{});
    }
}

std::vector<Interface*> presentInterfaces(Registry& r) {
    std::vector<Interface*> v;
    for (auto& d : r.order)
        if (d->chip->present()) v.push_back(d.get());
    return v;
}

std::shared_ptr<Chip> chipOf(Registry& r, const Interface* d) {
    for (auto& c : r.chips)
        if (c.get() == d->chip) return c;
    return nullptr;
}

void resetChipState(Chip& c) {
    for (auto& d : c.interfaces) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->bitMode = 0;
        d->resetEngine();
        d->latencyMs = 16;
    }
}

bool unplugChip(Interface& d) {
    Registry& r = registry();
    std::shared_ptr<Chip> chip;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        chip = chipOf(r, &d);
        if (!chip) return false;
        chip->unplugged = true;
    }
    for (auto& i : chip->interfaces) killInterface(*i);
    resetChipState(*chip);
    return true;
}

}  // namespace vpod::detail
