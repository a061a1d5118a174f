// A scripted FTDI driver for the receive fuzz target: chips that answer the GPIO and
// bad-command opcodes as an MPSSE engine does, record every write, and let the target push
// answer bytes itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transport/ftdi_driver.h"

namespace fake {

using namespace dorvane::transport;

struct Chip {
    std::string serial;
    std::string description;
    uint32_t type = FT_DEVICE_2232H;
    bool open = false;
    // Engine state.
    uint8_t low = 0, lowDir = 0, high = 0, highDir = 0;
    std::vector<uint8_t> partial;   // a command split across writes
    std::deque<uint8_t> rx;
    dorvane::platform::Event* event = nullptr;
    std::vector<uint8_t> written;                 // every byte written
    std::vector<uint32_t> writeSizes;             // size of every write
    // Faults.
    bool scriptedOnly = false;   // answer nothing by itself (the test pushes answers)
    bool holdQueueStatus = false;   // GetQueueStatus blocks until this is cleared
    unsigned heldCalls = 0, purgesWhileHeld = 0;
};

class Driver final : public FtdiDriver {
public:
    std::mutex m;
    std::condition_variable changed;
    std::vector<Chip> chips;

    size_t add(const std::string& serial, const std::string& description, uint32_t type) {
        std::lock_guard<std::mutex> g(m);
        Chip c;
        c.serial = serial;
        c.description = description;
        c.type = type;
        chips.push_back(std::move(c));
        return chips.size() - 1;
    }
    // A two-channel chip enumerates as two devices: serial + A / B, description + " A" / " B".
    void addDual(const std::string& serial, const std::string& description, uint32_t type) {
        add(serial + "A", description + " A", type);
        add(serial + "B", description + " B", type);
    }
    Chip& chip(size_t i) { return chips[i]; }

    // Bytes as if the chip had sent them.
    void push(size_t i, const std::vector<uint8_t>& bytes) {
        dorvane::platform::Event* ev;
        {
            std::lock_guard<std::mutex> g(m);
            for (uint8_t b : bytes) chips[i].rx.push_back(b);
            ev = chips[i].event;
        }
        if (ev) ev->set();
    }
    std::vector<uint8_t> written(size_t i) { std::lock_guard<std::mutex> g(m); return chips[i].written; }
    std::vector<uint32_t> writeSizes(size_t i) { std::lock_guard<std::mutex> g(m); return chips[i].writeSizes; }
    void clearTrace(size_t i) {
        std::lock_guard<std::mutex> g(m);
        chips[i].written.clear();
        chips[i].writeSizes.clear();
    }
    template <class F> void with(size_t i, F f) {
        { std::lock_guard<std::mutex> g(m); f(chips[i]); }
        changed.notify_all();
    }
    template <class P> void waitFor(size_t i, P pred) {
        std::unique_lock<std::mutex> g(m);
        changed.wait(g, [&] { return pred(chips[i]); });
    }

    FtStatus listDevices(void* arg1, void* arg2, uint32_t flags) override {
        std::lock_guard<std::mutex> g(m);
        if (flags & FT_LIST_NUMBER_ONLY) { *static_cast<uint32_t*>(arg1) = uint32_t(chips.size()); return FT_OK; }
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= chips.size()) return FT_DEVICE_NOT_FOUND;
        const Chip& c = chips[index];
        if (flags & FT_OPEN_BY_DESCRIPTION) {
            if (c.open) return FT_DEVICE_NOT_OPENED;
            std::snprintf(static_cast<char*>(arg2), 64, "%s", c.description.c_str());
        } else {
            std::snprintf(static_cast<char*>(arg2), 32, "%s", c.serial.c_str());
        }
        return FT_OK;
    }
    FtStatus openEx(const char* serial, uint32_t, FtHandle* h) override {
        std::lock_guard<std::mutex> g(m);
        for (size_t i = 0; i < chips.size(); ++i)
            if (chips[i].serial == serial) return openLocked(i, h);
        return FT_DEVICE_NOT_FOUND;
    }
    FtStatus open(uint32_t index, FtHandle* h) override {
        std::lock_guard<std::mutex> g(m);
        if (index >= chips.size()) return FT_DEVICE_NOT_FOUND;
        return openLocked(index, h);
    }
    FtStatus getDeviceInfo(FtHandle h, uint32_t* type, uint32_t* id, char* serial, char* desc) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        if (type) *type = c->type;
        if (id) *id = 0x04036010;
        if (serial) std::snprintf(serial, 32, "%s", c->serial.c_str());
        if (desc) std::snprintf(desc, 64, "%s", c->description.c_str());
        return FT_OK;
    }
    FtStatus close(FtHandle h) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        c->open = false;
        c->event = nullptr;
        return FT_OK;
    }
    FtStatus resetDevice(FtHandle h) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        return FT_OK;
    }
    FtStatus purge(FtHandle h, uint32_t mask) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        if (mask & FT_PURGE_RX) c->rx.clear();
        if (c->holdQueueStatus) ++c->purgesWhileHeld;
        changed.notify_all();
        return FT_OK;
    }
    FtStatus setBitMode(FtHandle h, uint8_t, uint8_t) override { return simple(h); }
    FtStatus setTimeouts(FtHandle h, uint32_t, uint32_t) override { return simple(h); }
    FtStatus setLatencyTimer(FtHandle h, uint8_t) override { return simple(h); }
    FtStatus setEventNotification(FtHandle h, uint32_t, dorvane::platform::Event* ev) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        c->event = ev;
        return FT_OK;
    }
    FtStatus getQueueStatus(FtHandle h, uint32_t* count) override {
        std::unique_lock<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        if (c->holdQueueStatus) {
            ++c->heldCalls;
            changed.notify_all();
            changed.wait(g, [c] { return !c->holdQueueStatus; });
        }
        *count = uint32_t(c->rx.size());
        return FT_OK;
    }
    // Returns what is there at once (as if the read time-out were zero).
    FtStatus read(FtHandle h, void* buffer, uint32_t count, uint32_t* got) override {
        std::lock_guard<std::mutex> g(m);
        Chip* c = get(h);
        if (!c) return FT_INVALID_HANDLE;
        uint32_t n = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        while (n < count && !c->rx.empty()) { out[n++] = c->rx.front(); c->rx.pop_front(); }
        *got = n;
        return FT_OK;
    }
    FtStatus write(FtHandle h, const void* buffer, uint32_t count, uint32_t* written) override {
        dorvane::platform::Event* ev = nullptr;
        {
            std::lock_guard<std::mutex> g(m);
            Chip* c = get(h);
            if (!c) return FT_INVALID_HANDLE;
            const uint32_t n = count;
            const auto* in = static_cast<const uint8_t*>(buffer);
            c->written.insert(c->written.end(), in, in + n);
            c->writeSizes.push_back(n);
            const size_t before = c->rx.size();
            if (!c->scriptedOnly) execute(*c, in, n);
            if (c->rx.size() != before) ev = c->event;
            *written = n;
        }
        if (ev) ev->set();
        return FT_OK;
    }
    FtStatus cyclePort(FtHandle h) override { return simple(h); }

private:
    Chip* get(FtHandle h) {
        const auto i = reinterpret_cast<uintptr_t>(h);
        if (i == 0 || i > chips.size() || !chips[i - 1].open) return nullptr;
        return &chips[i - 1];
    }
    FtStatus openLocked(size_t i, FtHandle* h) {
        if (chips[i].open) return FT_DEVICE_NOT_OPENED;
        chips[i].open = true;
        chips[i].rx.clear();
        chips[i].partial.clear();
        *h = reinterpret_cast<FtHandle>(i + 1);
        return FT_OK;
    }
    FtStatus simple(FtHandle h) {
        std::lock_guard<std::mutex> g(m);
        return get(h) ? FT_OK : FT_INVALID_HANDLE;
    }
    // The opcodes the transport itself sends; anything else is a bad command.
    static void execute(Chip& c, const uint8_t* in, uint32_t n) {
        c.partial.insert(c.partial.end(), in, in + n);
        size_t i = 0;
        auto& p = c.partial;
        while (i < p.size()) {
            const uint8_t op = p[i];
            size_t len = 1;
            if (op == 0x80 || op == 0x82 || op == 0x86 || op == 0x4B || op == 0x6B) len = 3;
            if (i + len > p.size()) break;
            switch (op) {
            case 0x80: c.low = p[i + 1]; c.lowDir = p[i + 2]; break;
            case 0x82: c.high = p[i + 1]; c.highDir = p[i + 2]; break;
            case 0x81: c.rx.push_back(c.low); break;
            case 0x83: c.rx.push_back(c.high); break;
            case 0x6B: c.rx.push_back(0x00); break;
            case 0x84: case 0x85: case 0x86: case 0x87: case 0x8A: case 0x4B: break;
            default:
                c.rx.push_back(0xFA);
                c.rx.push_back(op);
            }
            i += len;
        }
        p.erase(p.begin(), p.begin() + long(i));
    }
};

}  // namespace fake
