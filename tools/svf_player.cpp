// SVF player: statements to exported calls, deferred TDO checked in windows.
#include "svf_player.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <memory>

#include "dorvane/dorvane.h"
#include "tool.h"

namespace dorvane::tools::svf {
namespace {

constexpr uint32_t kTap = 1;
constexpr uint32_t kBufferingOff = 0, kBufferingDeferred = 9, kBufferingDiscard = 3;

// The library's codes of the stable states.
int32_t stateCode(TapState s) {
    switch (s) {
    case TapState::Reset: return 1;
    case TapState::Idle: return 2;
    case TapState::DrPause: return 3;
    case TapState::IrPause: return 4;
    default: return 0;
    }
}

// Bits [from, from + n) of a vector as SVF writes them: hex, most significant digit first.
std::string hex(const std::vector<uint16_t>& words, uint32_t from, uint32_t n) {
    std::string out;
    for (uint32_t d = (n + 3) / 4; d-- > 0;) {
        unsigned v = 0;
        for (uint32_t b = 0; b < 4; ++b) {
            const uint32_t k = d * 4 + b;
            if (k < n && ((words[(from + k) / 16] >> ((from + k) % 16)) & 1)) v |= 1u << b;
        }
        out += "0123456789ABCDEF"[v];
    }
    return out;
}

struct Pending {
    const Statement* statement;
    std::vector<uint16_t> tdo;   // written by the library's receive thread until the next result wait
};

class Player {
public:
    Player(uint32_t handle, const Program& program, const PlayOptions& options)
        : h_(handle), program_(program), o_(options) {}

    PlayResult run() {
        if (!call(x_scanSetBuffering(h_, kBufferingDeferred), nullptr, "switching on deferred results")) return r_;
        bool ok = call(x_tmsReset(h_, kTap), nullptr, "the TMS reset before the first statement");
        for (size_t i = 0; ok && i < program_.statements.size(); ++i) {
            const Statement& s = program_.statements[i];
            ok = execute(s);
            if (ok && pendingBits_ >= o_.checkWindowBits) ok = check();
            if (o_.progress) o_.progress(r_.bitsScanned, program_.scanBits, s.line);
        }
        if (ok) ok = check();
        if (!ok && r_.status == kExitController) {
            // Drop what is still on its way, so that nothing is written into buffers being freed.
            x_scanSetBuffering(h_, kBufferingDiscard);
            pending_.clear();
        }
        if (x_scanSetBuffering(h_, kBufferingOff) != 0 && ok) call(1, nullptr, "the final flush");
        if (r_.status == kExitOk && r_.mismatches) r_.status = kExitCheckFailed;
        return r_;
    }

private:
    bool call(uint32_t rc, const Statement* s, const std::string& what) {
        if (rc == 0) return true;
        say((s ? "line " + std::to_string(s->line) + ": " : std::string()) + what + " failed: " + libraryError(h_));
        r_.status = kExitController;
        return false;
    }
    void say(const std::string& text) {
        if (o_.report) o_.report(text);
    }

    bool moveTo(TapState target, const Statement& s) {
        if (target == TapState::Reset) return call(x_tmsReset(h_, kTap), &s, "the TMS reset");
        return call(x_moveToState(h_, kTap, stateCode(target)), &s, std::string("the move to ") + stateName(target));
    }

    bool execute(const Statement& s) {
        switch (s.kind) {
        case Statement::Kind::Scan: return scan(s);
        case Statement::Kind::Frequency: return frequency(s);
        case Statement::Kind::RunTest: return runTest(s);
        case Statement::Kind::State: return state(s);
        case Statement::Kind::Trst: return trst(s);
        }
        return true;
    }

    bool scan(const Statement& s) {
        const int32_t end = stateCode(s.end);
        if (end != stopState_) {
            if (!call(x_scanSetStopState(h_, end), &s, "setting the end state")) return false;
            stopState_ = end;
        }
        const uint32_t n = s.tdi->count;
        uint16_t* tdo = nullptr;
        if (s.expected) {
            pending_.push_back({&s, std::vector<uint16_t>((n + 15) / 16, 0)});
            tdo = pending_.back().tdo.data();
            pendingBits_ += n;
        }
        const uint16_t* tdi = s.tdi->words.data();
        const uint32_t rc = s.ir ? x_scanLIr(h_, kTap, tdi, n, tdo, nullptr, nullptr)
                                 : x_scanLDr(h_, kTap, tdi, n, tdo, nullptr, nullptr);
        r_.bitsScanned += n;
        return call(rc, &s, s.ir ? "SIR" : "SDR");
    }

    bool frequency(const Statement& s) {
        uint32_t khz;
        if (s.hz == 0) {
            khz = o_.khzCap ? o_.khzCap : maxTckKHzOf(h_);
        } else {
            const double k = std::floor(s.hz / 1000);
            khz = k < 1 ? 1 : k > 1e6 ? 1000000u : static_cast<uint32_t>(k);
            if (k < 1)
                say("line " + std::to_string(s.line) + ": FREQUENCY below 1 kHz; TCK runs at 1 kHz, the lowest it has");
            if (o_.khzCap && khz > o_.khzCap) khz = o_.khzCap;
        }
        return call(x_setScanFrequency(h_, static_cast<int32_t>(khz)), &s, "FREQUENCY");
    }

    bool runTest(const Statement& s) {
        uint64_t ticks = s.tck;
        if (s.minSeconds > 0) {
            // Times are clocked out at the frequency in force, so that they stay in the stream.
            const double t = std::ceil(s.minSeconds * 1000.0 * tckKHzOf(h_));
            ticks = std::max<uint64_t>(ticks, t > 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(t));
        }
        if (s.runState == TapState::Reset) {
            // The TMS reset clocks five TCKs with TMS high and makes sure TMS stays high.
            if (!moveTo(TapState::Reset, s)) return false;
            ticks = ticks > 5 ? ticks - 5 : 0;
        } else if (s.before != s.runState && !moveTo(s.runState, s)) {
            return false;
        }
        while (ticks > 0) {
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(ticks, 1u << 30));
            if (!call(x_waitTck(h_, chunk), &s, "RUNTEST")) return false;
            ticks -= chunk;
        }
        return s.end == s.runState || moveTo(s.end, s);
    }

    bool state(const Statement& s) {
        if (!s.explicitPath) return moveTo(s.path.back(), s);
        // An explicit path is clocked as it stands: one direct-scan step per state, TDI high.
        std::vector<uint8_t> steps;
        TapState at = s.before;
        for (TapState next : s.path) {
            const bool tms = nextState(at, false) != next;
            steps.push_back(static_cast<uint8_t>(tms ? 0x09 : 0x01));
            at = next;
        }
        return call(x_kpxScanDirect(h_, kTap, steps.data(), static_cast<uint32_t>(steps.size()), nullptr), &s,
                    "the STATE path");
    }

    bool trst(const Statement& s) {
        if (s.trst == Statement::Trst::Absent) return true;
        if (!hasTrstPin(h_)) {
            if (s.trst != Statement::Trst::On) return true;   // nothing to release
            say("line " + std::to_string(s.line) +
                ": TRST ON, but the controller has no TRST pin (a KCF file names one with TrstPin)");
            r_.status = kExitController;
            return false;
        }
        // Z releases the line like OFF: the pin is an output of the pod, the target pulls it up.
        return call(x_setTrst(h_, kTap, s.trst == Statement::Trst::On ? 0 : 1), &s, "TRST");
    }

    // One result wait delivers every deferred TDO; then the pending scans are compared.
    bool check() {
        if (pending_.empty()) return true;
        uint32_t flag = 0;
        if (!call(x_getCmpErrors(h_, &flag), pending_.front().statement, "waiting for the TDO of the scans from this line"))
            return false;
        const uint32_t queuedLine = lastLine();
        for (const Pending& p : pending_) {
            ++r_.compares;
            const Statement& s = *p.statement;
            const uint32_t n = s.tdi->count;
            uint32_t first = n;
            for (size_t w = 0; w < p.tdo.size() && first == n; ++w) {
                const uint16_t care = s.care ? s.care->words[w] : (w + 1 < p.tdo.size() || n % 16 == 0
                                                                       ? 0xFFFF
                                                                       : static_cast<uint16_t>((1u << (n % 16)) - 1));
                const uint16_t diff = static_cast<uint16_t>((p.tdo[w] ^ s.expected->words[w]) & care);
                if (diff) first = static_cast<uint32_t>(w * 16 + std::countr_zero(diff));
            }
            if (first == n) continue;
            if (r_.mismatches++ == 0) r_.firstMismatchLine = s.line;
            if (r_.mismatches <= 20) reportMismatch(p, first);
            else if (r_.mismatches == 21) say("(further mismatches are only counted)");
            if (!o_.keepGoing) {
                if (queuedLine > s.line)
                    say("stopped; statements up to line " + std::to_string(queuedLine) + " had already been sent");
                pending_.clear();
                return false;
            }
        }
        pending_.clear();
        pendingBits_ = 0;
        return true;
    }

    uint32_t lastLine() const {
        uint32_t line = 0;
        for (const Pending& p : pending_) line = std::max(line, p.statement->line);
        return line;
    }

    void reportMismatch(const Pending& p, uint32_t first) {
        const Statement& s = *p.statement;
        const uint32_t n = s.tdi->count;
        // Show the statement's own bits when the difference is there, else the whole scan;
        // long vectors as the 64-bit window around the first difference.
        uint32_t from = 0, len = n;
        std::string where;
        if (first >= s.headerBits && first < s.headerBits + s.ownBits) {
            from = s.headerBits;
            len = s.ownBits;
        } else {
            where = s.ir ? " in the HIR/TIR bits" : " in the HDR/TDR bits";
        }
        std::string range;
        if (len > 128) {
            const uint32_t start = from + (first - from) / 64 * 64;
            const uint32_t end = std::min(from + len, start + 64);
            range = ", bits " + std::to_string(start - from) + ".." + std::to_string(end - from - 1) + " of " +
                    std::to_string(len);
            from = start;
            len = end - start;
        }
        std::vector<uint16_t> careAll;
        const std::vector<uint16_t>* care = s.care ? &s.care->words : nullptr;
        if (!care) {
            careAll.assign((n + 15) / 16, 0xFFFF);
            care = &careAll;
        }
        say("line " + std::to_string(s.line) + ": TDO mismatch in " + (s.ir ? "SIR" : "SDR") + where + range +
            "\n  expected " + hex(s.expected->words, from, len) + "\n  read     " + hex(p.tdo, from, len) +
            "\n  mask     " + hex(*care, from, len));
    }

    uint32_t h_;
    const Program& program_;
    const PlayOptions& o_;
    PlayResult r_;
    std::deque<Pending> pending_;   // a deque: elements never move while the library writes into them
    uint64_t pendingBits_ = 0;
    int32_t stopState_ = 0;
};

}  // namespace

PlayResult play(uint32_t handle, const Program& program, const PlayOptions& options) {
    return Player(handle, program, options).run();
}

}  // namespace dorvane::tools::svf
