// The MPSSE command processor of one interface and its pin bus, after FTDI's published
// command set. Commands may arrive split across writes: an incomplete one waits in `pending`.
#include "device.h"

namespace vpod::detail {

namespace {

constexpr uint8_t kTdi = 0x02, kTdo = 0x04, kTms = 0x08;

struct Bus {
    Interface& d;

    bool tdiLine() const {
        if (d.lowDir & kTdi) return d.lowValue & kTdi;
        if (d.kind == TargetKind::Swd && d.swd->driving()) return d.swd->out();
        if (d.kind == TargetKind::RbbSwd) return d.rbbTdo;   // as last read over the bridge
        return true;   // pulled up
    }
    bool tmsLine() const { return (d.lowDir & kTms) ? (d.lowValue & kTms) : true; }
    bool tdoLine() const {
        if (d.loopback) return d.lowValue & kTdi;   // the chip's internal DO -> DI path
        if (d.lowDir & kTdo) return d.lowValue & kTdo;
        switch (d.kind) {
        case TargetKind::Loopback: return tdiLine();
        case TargetKind::Jtag: return d.chain.tdo();
        case TargetKind::Swd:
        case TargetKind::RbbSwd: return tdiLine();  // SWDIO is wired to both TDI and TDO
        case TargetKind::Rbb: return d.rbbTdo;
        case TargetKind::None: break;
        }
        return true;
    }

    // One TCK: falling edge (new TMS/TDI when data changes on it), TDO sampled, rising edge.
    // `mask` names the low-byte data bits this command drives, `value` their new levels.
    bool clock(uint8_t value, uint8_t mask, bool outOnRising, bool inOnFalling, bool needRead) {
        const uint64_t start = d.nowPs;
        ++d.tckCycles;
        d.nowPs += d.periodPs;
        if (!outOnRising) d.lowValue = static_cast<uint8_t>((d.lowValue & ~mask) | (value & mask));
        bool before = true, after;
        switch (d.kind) {
        case TargetKind::Jtag:
            if (!d.trstAsserted) d.chain.falling();
            before = tdoLine();
            if (!d.trstAsserted) d.chain.rising(tmsLine(), tdiLine());
            break;
        case TargetKind::Swd:
            before = tdoLine();
            d.swd->rising(tdiLine());
            break;
        case TargetKind::RbbSwd: {
            // SWDIO follows ADBUS1 while it is an output; released, the outside target drives it.
            const bool drive = d.lowDir & kTdi;
            const bool read = needRead && !drive && !d.loopback && !(d.lowDir & kTdo);
            const bool level = d.rbbSwd->cycle(drive, d.lowValue & kTdi, read, inOnFalling);
            if (read) d.rbbTdo = level;
            else if (!drive) d.rbbTdo = true;   // unread: taken as the pull-up
            before = tdoLine();
            break;
        }
        case TargetKind::Rbb:
            if (!d.loopback && !(d.lowDir & kTdo)) {
                d.rbbTdo = d.rbb->cycle(tmsLine(), tdiLine(), needRead, inOnFalling);
                before = d.rbbTdo;
            } else {
                d.rbb->cycle(tmsLine(), tdiLine(), false, false);
                before = tdoLine();
            }
            break;
        default:
            before = tdoLine();
            break;
        }
        if (outOnRising) d.lowValue = static_cast<uint8_t>((d.lowValue & ~mask) | (value & mask));
        after = (inOnFalling || d.vcdScope >= 0) ? tdoLine() : before;
        if (d.vcdScope >= 0)
            vcdCycle(d.vcdScope, start, d.periodPs, tmsLine(), tdiLine(), after, d.trstAsserted,
                     (d.lowDir & kTdi) != 0);
        return inOnFalling ? after : before;
    }
};

void applyTrst(Interface& d) {
    if (!d.trstBus) return;
    const uint8_t dir = d.trstBus == 1 ? d.lowDir : d.highDir;
    const uint8_t val = d.trstBus == 1 ? d.lowValue : d.highValue;
    const bool asserted = (dir & d.trstMask) && !(val & d.trstMask);   // active low; an input floats high
    if (asserted == d.trstAsserted) return;
    d.trstAsserted = asserted;
    if (d.kind == TargetKind::Jtag && asserted) d.chain.trst();
    if (d.kind == TargetKind::Rbb) d.rbb->trst(asserted);
}

uint8_t readLowPins(Interface& d) {
    Bus bus{d};
    uint8_t v = 0;
    for (unsigned b = 0; b < 8; ++b) {
        const uint8_t m = static_cast<uint8_t>(1u << b);
        bool level;
        if (d.lowDir & m) level = d.lowValue & m;
        else if (m == kTdo) level = bus.tdoLine();
        else if (m == kTdi) level = bus.tdiLine();
        else level = true;
        if (level) v |= m;
    }
    return v;
}

uint8_t readHighPins(Interface& d) {
    const ChipKind k = d.chip->model->kind;
    if (k == ChipKind::FT4232H) return 0xFF;   // no high byte in MPSSE mode; the bus reads idle
    const uint8_t present = k == ChipKind::FT2232C ? 0x0F : 0xFF;
    return static_cast<uint8_t>(((d.highValue & d.highDir) | ~d.highDir) & present);
}

}  // namespace

void Interface::updatePeriod() {
    // TCK = base / (2 * (1 + divisor)); base 60 MHz, or 12 MHz with divide-by-5 (always on the FT2232C/D).
    const bool h = chip->model->hSeries;
    const uint64_t baseHz = (h && !div5) ? 60000000ull : 12000000ull;
    periodPs = 2ull * (divisor + 1ull) * 1000000000000ull / baseHz;
    if (threePhase) periodPs = periodPs * 3 / 2;
}

void Interface::resetEngine(bool keepPins) {
    pending.clear();
    if (!keepPins) lowValue = lowDir = highValue = highDir = 0;
    loopback = false;
    div5 = true;
    threePhase = adaptive = false;
    divisor = 0;
    updatePeriod();
    applyTrst(*this);
}

void Interface::chargeUsbOut(size_t bytes) {
    // The host sends in (micro)frames: 13 x 512 bytes per 125 us, or 19 x 64 bytes per 1 ms.
    const bool hs = chip->model->highSpeed;
    const uint64_t frame = hs ? 125000000ull : 1000000000ull;
    const uint64_t perFrame = hs ? 13 * 512 : 19 * 64;
    const uint64_t frames = (bytes + perFrame - 1) / perFrame;
    nowPs = (nowPs + frame - 1) / frame * frame;
    if (frames > 1) nowPs += (frames - 1) * frame;
}

void Interface::chargeUsbIn() {
    // Answers leave at the next (micro)frame once flushed (send immediate, a full packet) or when
    // the latency timer runs out.
    const bool hs = chip->model->highSpeed;
    const uint64_t frame = hs ? 125000000ull : 1000000000ull;
    uint64_t flushAt = nowPs;
    if (unflushed) flushAt = unflushedSincePs + latencyMs * 1000000000ull;
    const uint64_t ready = (flushAt + frame - 1) / frame * frame;
    if (ready > rxReadyPs) rxReadyPs = ready;
}

size_t Interface::execute(const uint8_t* data, size_t n) {
    const uint8_t* p;
    size_t len;
    if (pending.empty()) {
        p = data;
        len = n;
    } else {
        pending.insert(pending.end(), data, data + n);
        p = pending.data();
        len = pending.size();
    }
    const size_t rxBefore = rx.size();
    if (rbbSwd) rbbSwd->retry();
    const bool hSeries = chip->model->hSeries;
    const bool ft232h = chip->model->kind == ChipKind::FT232H;
    const size_t packet = chip->model->highSpeed ? 510 : 62;
    Bus bus{*this};
    size_t i = 0;
    auto answer = [&](uint8_t b) {
        if (!unflushed) { unflushed = true; unflushedSincePs = nowPs; }
        rx.push_back(b);
        ++rxQueued;
    };
    auto flush = [&] {
        if (unflushed) {
            unflushed = false;
            chargeUsbIn();
        }
    };
    auto bad = [&](uint8_t op) {
        answer(0xFA);
        answer(faults.brokenEcho ? static_cast<uint8_t>(op + 1) : op);
        i += 1;
    };
    while (i < len) {
        const uint8_t op = p[i];
        const size_t left = len - i;
        if (!(op & 0x80)) {
            const bool outRising = !(op & 0x01);
            const bool bitShift = op & 0x02;
            const bool inFalling = op & 0x04;
            const bool lsb = op & 0x08;
            const bool wr = op & 0x10;
            const bool rd = op & 0x20;
            if (op & 0x40) {
                // TMS: op, length (0..6 for 1..7 bits), data; TDI held at data bit 7.
                if (!bitShift || !lsb || wr) { bad(op); continue; }
                if (left < 3) break;
                const unsigned bits = (p[i + 1] & 7u) + 1;
                const uint8_t v = p[i + 2];
                const uint8_t tdi = (v & 0x80) ? kTdi : 0;
                // TDI takes bit 7 before the first clock.
                lowValue = static_cast<uint8_t>((lowValue & ~kTdi) | tdi);
                uint8_t in = 0;
                for (unsigned b = 0; b < bits; ++b) {
                    const uint8_t tms = ((v >> b) & 1) ? kTms : 0;
                    const bool t = bus.clock(static_cast<uint8_t>(tms | tdi), kTms | kTdi, outRising, inFalling, rd);
                    in = static_cast<uint8_t>((in >> 1) | (t ? 0x80 : 0));
                }
                if (rd) answer(in);
                i += 3;
                continue;
            }
            if (!wr && !rd) { bad(op); continue; }
            if (bitShift) {
                const size_t need = wr ? 3 : 2;
                if (left < need) break;
                const unsigned bits = (p[i + 1] & 7u) + 1;
                const uint8_t v = wr ? p[i + 2] : 0;
                uint8_t in = 0;
                for (unsigned b = 0; b < bits; ++b) {
                    const bool bit = lsb ? ((v >> b) & 1) : ((v >> (7 - b)) & 1);
                    const bool t = bus.clock(bit ? kTdi : 0, wr ? kTdi : 0, outRising, inFalling, rd);
                    // The chip shifts into the top (LSB first) or the bottom (MSB first) of the byte.
                    if (lsb) in = static_cast<uint8_t>((in >> 1) | (t ? 0x80 : 0));
                    else in = static_cast<uint8_t>((in << 1) | (t ? 1 : 0));
                }
                if (rd) answer(in);
                i += need;
            } else {
                if (left < 3) break;
                const size_t count = (p[i + 1] | (static_cast<size_t>(p[i + 2]) << 8)) + 1;
                if (wr && left < 3 + count) break;
                const uint8_t* src = p + i + 3;
                for (size_t k = 0; k < count; ++k) {
                    const uint8_t v = wr ? src[k] : 0;
                    uint8_t in = 0;
                    for (unsigned b = 0; b < 8; ++b) {
                        const bool bit = lsb ? ((v >> b) & 1) : ((v >> (7 - b)) & 1);
                        const bool t = bus.clock(bit ? kTdi : 0, wr ? kTdi : 0, outRising, inFalling, rd);
                        if (t) in |= static_cast<uint8_t>(lsb ? (1u << b) : (0x80u >> b));
                    }
                    if (rd) {
                        answer(in);
                        if (rx.size() - rxBefore >= packet && unflushed) flush();
                    }
                }
                i += 3 + (wr ? count : 0);
            }
            continue;
        }
        switch (op) {
        case 0x80: case 0x82:
            if (left < 3) goto incomplete;
            if (op == 0x80) { lowValue = p[i + 1]; lowDir = p[i + 2]; }
            else if (chip->model->kind != ChipKind::FT4232H) {
                const uint8_t present = chip->model->kind == ChipKind::FT2232C ? 0x0F : 0xFF;
                highValue = p[i + 1] & present;
                highDir = p[i + 2] & present;
            }
            applyTrst(*this);
            i += 3;
            break;
        case 0x81: answer(readLowPins(*this)); i += 1; break;
        case 0x83: answer(readHighPins(*this)); i += 1; break;
        case 0x84: loopback = true; i += 1; break;
        case 0x85: loopback = false; i += 1; break;
        case 0x86:
            if (left < 3) goto incomplete;
            divisor = static_cast<uint16_t>(p[i + 1] | (p[i + 2] << 8));
            updatePeriod();
            i += 3;
            break;
        case 0x87: rxReleasedTo = rxQueued; flush(); i += 1; break;
        case 0x88: case 0x89: i += 1; break;   // wait on GPIOL1: nothing drives it, it never blocks here
        case 0x8A: case 0x8B:
            if (!hSeries) { bad(op); break; }
            div5 = op == 0x8B;
            updatePeriod();
            i += 1;
            break;
        case 0x8C: case 0x8D:
            if (!hSeries) { bad(op); break; }
            threePhase = op == 0x8C;
            updatePeriod();
            i += 1;
            break;
        case 0x8E:
            if (!hSeries) { bad(op); break; }
            if (left < 2) goto incomplete;
            for (unsigned b = 0; b <= p[i + 1]; ++b) bus.clock(0, 0, false, false, false);
            i += 2;
            break;
        case 0x8F: case 0x9C: case 0x9D: {
            if (!hSeries) { bad(op); break; }
            if (left < 3) goto incomplete;
            const size_t clocks = ((p[i + 1] | (static_cast<size_t>(p[i + 2]) << 8)) + 1) * 8;
            // 0x9C stops when GPIOL1 is high; undriven, it floats high at once.
            if (op != 0x9C)
                for (size_t c = 0; c < clocks; ++c) bus.clock(0, 0, false, false, false);
            i += 3;
            break;
        }
        case 0x94: case 0x95:   // clock until GPIOL1 changes: it floats high, so nothing to clock
            if (!hSeries) { bad(op); break; }
            i += 1;
            break;
        case 0x96: case 0x97:
            if (!hSeries) { bad(op); break; }
            adaptive = op == 0x96;
            i += 1;
            break;
        case 0x9E:
            if (!ft232h) { bad(op); break; }
            if (left < 3) goto incomplete;
            i += 3;
            break;
        default:
            bad(op);
            break;
        }
    }
incomplete:
    if (i < len) {
        if (pending.empty()) pending.assign(p + i, p + len);
        else pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
        pending.clear();
    }
    if (rbb) rbb->flush();
    if (rbbSwd) rbbSwd->flush();
    return rx.size() - rxBefore;
}

}  // namespace vpod::detail
