// Board files: [Device1], [Device2], ... in enumeration order and [Target NAME] sections.
#include <algorithm>
#include <cctype>
#include <map>

#include "device.h"
#include "ini.h"

namespace vpod::detail {

namespace {

const ChipModel kModels[] = {
    {ChipKind::FT2232C, "FT2232C", 4, 0x04036010, 2, 1, false, false, "Dual RS232"},
    {ChipKind::FT2232H, "FT2232H", 6, 0x04036010, 2, 2, true, true, "Dual RS232-HS"},
    {ChipKind::FT4232H, "FT4232H", 7, 0x04036011, 4, 2, true, true, "Quad RS232-HS"},
    {ChipKind::FT232H, "FT232H", 8, 0x04036014, 1, 1, true, true, "Single RS232-HS"},
};

struct Builder {
    const IniFile& ini;
    std::string* error;

    bool fail(const std::string& msg) {
        *error = msg;
        return false;
    }

    bool number(const IniSection& s, const char* key, unsigned long long def, unsigned long long max,
                unsigned long long* out) {
        const std::string* v = s.find(key);
        if (!v) { *out = def; return true; }
        if (!parseNumber(*v, out) || *out > max)
            return fail("[" + s.name + "] " + key + ": not a number in range: " + *v);
        return true;
    }

    bool bits(const IniSection& s, const char* key, unsigned length, std::vector<uint8_t>* out) {
        out->assign(length, 0);
        const std::string* v = s.find(key);
        if (!v) return true;
        // Hex of any length, bit 0 = the register's first bit.
        std::string h = trim(*v);
        if (h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h = h.substr(2);
        if (h.empty()) return fail("[" + s.name + "] " + key + ": empty value");
        unsigned bit = 0;
        for (size_t i = h.size(); i-- > 0;) {
            const unsigned char c = static_cast<unsigned char>(h[i]);
            if (!std::isxdigit(c)) return fail("[" + s.name + "] " + key + ": not hex: " + *v);
            const unsigned d = std::isdigit(c) ? c - '0' : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            for (unsigned k = 0; k < 4; ++k, ++bit)
                if (bit < length) (*out)[bit] = static_cast<uint8_t>((d >> k) & 1);
                else if ((d >> k) & 1) return fail("[" + s.name + "] " + key + ": value longer than the register");
        }
        return true;
    }

    bool checkKeys(const IniSection& s, std::initializer_list<const char*> known, const char* prefix = nullptr) {
        for (const auto& kv : s.keys) {
            bool ok = prefix && kv.first.rfind(prefix, 0) == 0;
            for (const char* k : known) ok = ok || kv.first == k;
            if (!ok) return fail("[" + s.name + "]: unknown key " + kv.first);
        }
        return true;
    }

    const IniSection* target(const std::string& name) {
        return ini.find("Target " + name);
    }

    bool tap(const std::string& name, TapConfig* t) {
        const IniSection* s = target(name);
        if (!s) return fail("no section [Target " + name + "]");
        const std::string* kind = s->find("kind");
        if (!kind || lower(*kind) != "tap") return fail("[Target " + name + "] is not Kind=tap");
        if (!checkKeys(*s, {"kind", "irlength", "idcode", "ircapture", "idcodeinstruction", "sampleinstruction",
                            "extestinstruction", "boundarylength", "boundarycapture"}, "register."))
            return false;
        unsigned long long v;
        t->name = name;
        if (!number(*s, "irlength", 4, 64, &v)) return false;
        if (v < 2) return fail("[Target " + name + "] IrLength must be at least 2");
        t->irLength = static_cast<unsigned>(v);
        const uint64_t ones = t->irLength == 64 ? ~0ull : (1ull << t->irLength) - 1;
        const std::string* id = s->find("idcode");
        if (id && lower(*id) != "none") {
            if (!parseNumber(*id, &v) || v > 0xFFFFFFFFull || !(v & 1))
                return fail("[Target " + name + "] Idcode must be 32 bits with bit 0 set: " + *id);
            t->hasIdcode = true;
            t->idcode = static_cast<uint32_t>(v);
        }
        if (!number(*s, "ircapture", 1, ones, &v)) return false;
        if ((v & 3) != 1) return fail("[Target " + name + "] IrCapture must end in binary 01");
        t->irCapture = v;
        if (!number(*s, "idcodeinstruction", 1, ones - 1, &v)) return false;
        t->idcodeInstruction = v;
        if (!number(*s, "sampleinstruction", 2, ones - 1, &v)) return false;
        t->sampleInstruction = v;
        if (!number(*s, "extestinstruction", 0, ones - 1, &v)) return false;
        t->extestInstruction = v;
        if (!number(*s, "boundarylength", 0, 1u << 20, &v)) return false;
        t->boundaryLength = static_cast<unsigned>(v);
        if (!bits(*s, "boundarycapture", t->boundaryLength, &t->boundaryCapture)) return false;
        for (const auto& kv : s->keys) {
            if (kv.first.rfind("register.", 0) != 0) continue;
            TapConfig::User u;
            // Register.NAME = opcode, length[, capture hex]
            const std::string original = [&] {
                // Keep the name as the user spelt it is not possible (keys are lower-cased): use upper case.
                std::string n = kv.first.substr(9);
                for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                return n;
            }();
            u.name = original;
            auto parts = splitList(kv.second);
            unsigned long long op, len;
            if (u.name.empty() || parts.size() < 2 || parts.size() > 3 || !parseNumber(parts[0], &op) ||
                op >= ones || !parseNumber(parts[1], &len) || len < 1 || len > (1u << 20))
                return fail("[Target " + name + "] " + kv.first + ": expected opcode, length[, capture]");
            u.opcode = op;
            u.length = static_cast<unsigned>(len);
            if (parts.size() == 3) {
                IniSection tmp;
                tmp.name = "Target " + name;
                tmp.keys.emplace_back("capture", parts[2]);
                if (!bits(tmp, "capture", u.length, &u.capture)) return false;
            } else {
                u.capture.assign(u.length, 0);
            }
            if (u.name == "BYPASS" || u.name == "IDCODE" || u.name == "BOUNDARY")
                return fail("[Target " + name + "] " + kv.first + ": reserved register name");
            t->users.push_back(std::move(u));
        }
        return true;
    }

    bool channelTarget(const std::string& value, Interface* d) {
        const std::string l = lower(value);
        if (l.empty() || l == "none") { d->kind = TargetKind::None; return true; }
        if (l == "loopback") { d->kind = TargetKind::Loopback; return true; }
        if (l.rfind("rbb-swd:", 0) == 0) {
            unsigned long long port;
            if (!parseNumber(l.substr(8), &port) || port == 0 || port > 65535)
                return fail("bad remote-bitbang port: " + value);
            d->kind = TargetKind::RbbSwd;
            d->rbbSwd = std::make_unique<RbbSwdBridge>(static_cast<uint16_t>(port));
            return true;
        }
        if (l.rfind("rbb:", 0) == 0) {
            unsigned long long port;
            if (!parseNumber(l.substr(4), &port) || port == 0 || port > 65535)
                return fail("bad remote-bitbang port: " + value);
            d->kind = TargetKind::Rbb;
            d->rbb = std::make_unique<RbbBridge>(static_cast<uint16_t>(port));
            return true;
        }
        const IniSection* s = target(value);
        if (!s) return fail("channel target " + value + ": no section [Target " + value + "]");
        const std::string* kindp = s->find("kind");
        const std::string kind = kindp ? lower(*kindp) : "";
        if (kind == "tap") {
            TapConfig t;
            if (!tap(value, &t)) return false;
            d->kind = TargetKind::Jtag;
            d->chain.taps.emplace_back(t);
            return true;
        }
        if (kind == "jtag") {
            if (!checkKeys(*s, {"kind", "taps"})) return false;
            const std::string* list = s->find("taps");
            auto names = list ? splitList(*list) : std::vector<std::string>{};
            if (names.empty()) return fail("[Target " + value + "] needs Taps=");
            d->kind = TargetKind::Jtag;
            for (const auto& n : names) {
                TapConfig t;
                if (!tap(n, &t)) return false;
                d->chain.taps.emplace_back(t);
            }
            return true;
        }
        if (kind == "swd") {
            if (!checkKeys(*s, {"kind", "dpidr", "apidr", "rombase", "rambase", "ramsize", "requireswitch", "dormant",
                                "waitaccesses", "waitafter", "faultafter", "writeparityerrors"}))
                return false;
            SwdConfig c;
            unsigned long long v;
            if (!number(*s, "dpidr", c.dpidr, 0xFFFFFFFFull, &v)) return false;
            c.dpidr = static_cast<uint32_t>(v);
            if (!number(*s, "apidr", c.apIdr, 0xFFFFFFFFull, &v)) return false;
            c.apIdr = static_cast<uint32_t>(v);
            if (!number(*s, "rombase", c.romBase, 0xFFFFFFFFull, &v)) return false;
            c.romBase = static_cast<uint32_t>(v);
            if (!number(*s, "rambase", c.ramBase, 0xFFFFFFFFull, &v)) return false;
            c.ramBase = static_cast<uint32_t>(v);
            if (!number(*s, "ramsize", c.ramSize, 64ull << 20, &v)) return false;
            if (v % 4 || v == 0 || c.ramBase % 4 || c.ramBase + v - 1 > 0xFFFFFFFFull)
                return fail("[Target " + value + "] RamBase/RamSize must be word aligned and fit in 4 GiB");
            c.ramSize = static_cast<uint32_t>(v);
            if (const std::string* rs = s->find("requireswitch"))
                if (!parseBool(*rs, &c.requireSwitch)) return fail("[Target " + value + "] RequireSwitch: yes or no");
            if (const std::string* dm = s->find("dormant"))
                if (!parseBool(*dm, &c.dormant)) return fail("[Target " + value + "] Dormant: yes or no");
            // Faults a program outside the tests can provoke: counted in AP accesses (writes for parity).
            if (!number(*s, "waitaccesses", 0, 0xFFFFFFFFull, &v)) return false;
            c.waitAccesses = static_cast<unsigned>(v);
            if (!number(*s, "waitafter", 0, 0xFFFFFFFFull, &v)) return false;
            c.waitAfter = static_cast<unsigned>(v);
            c.faultArmed = s->find("faultafter") != nullptr;
            if (!number(*s, "faultafter", 0, 0xFFFFFFFFull, &v)) return false;
            c.faultAfter = static_cast<unsigned>(v);
            if (!number(*s, "writeparityerrors", 0, 0xFFFFFFFFull, &v)) return false;
            c.writeParityErrors = static_cast<unsigned>(v);
            d->kind = TargetKind::Swd;
            d->swd = std::make_unique<SwdTarget>(c);
            return true;
        }
        return fail("[Target " + value + "] needs Kind=jtag, tap or swd");
    }

    bool trstPin(const std::string& value, Interface* d) {
        const std::string l = lower(value);
        if (l.size() == 8 && std::isdigit(static_cast<unsigned char>(l[7]))) {
            const unsigned bit = static_cast<unsigned>(l[7] - '0');
            if (l.rfind("databus", 0) == 0 && bit >= 4 && bit <= 7) {
                d->trstBus = 1;
                d->trstMask = static_cast<uint8_t>(1u << bit);
                return true;
            }
            if (l.rfind("ctrlbus", 0) == 0 && bit <= 7) {
                d->trstBus = 2;
                d->trstMask = static_cast<uint8_t>(1u << bit);
                return true;
            }
        }
        return fail("TRST pin must be DataBus4-DataBus7 or CtrlBus0-CtrlBus7: " + value);
    }
};

}  // namespace

const ChipModel* chipModel(const std::string& typeName) {
    const std::string l = lower(trim(typeName));
    for (const auto& s : kModels)
        if (lower(s.name) == l) return &s;
    if (l == "ft2232d") return &kModels[0];
    return nullptr;
}

bool buildBoard(const std::string& text, Board* board, std::string* error) {
    IniFile ini;
    if (!parseIni(text, &ini, error)) return false;
    Builder b{ini, error};
    std::map<unsigned long long, const IniSection*> devices;
    for (const auto& s : ini.sections) {
        const std::string l = lower(s.name);
        if (l.rfind("device", 0) == 0) {
            unsigned long long n;
            if (!parseNumber(l.substr(6), &n) || n == 0) return b.fail("bad section name [" + s.name + "]");
            devices[n] = &s;
        } else if (l.rfind("target ", 0) != 0) {
            return b.fail("unknown section [" + s.name + "]");
        }
    }
    Board out;
    uint32_t location = 0x11;
    for (const auto& [n, s] : devices) {
        for (const auto& kv : s->keys) {
            const std::string& k = kv.first;
            const bool perChannel = (k.size() == 8 && k.rfind("channel", 0) == 0) ||
                                    (k.size() == 5 && k.rfind("trst", 0) == 0);
            if (!perChannel && k != "type" && k != "serial" && k != "description" && k != "busy" &&
                k != "channel" && k != "trst")
                return b.fail("[" + s->name + "]: unknown key " + k);
        }
        const std::string* type = s->find("type");
        if (!type) return b.fail("[" + s->name + "] needs Type=");
        const ChipModel* model = chipModel(*type);
        if (!model) return b.fail("[" + s->name + "] unknown Type " + *type + " (FT2232C, FT2232H, FT4232H, FT232H)");
        auto chip = std::make_unique<Chip>();
        chip->model = model;
        const std::string* serial = s->find("serial");
        chip->serial = serial ? *serial : "VP" + std::to_string(100000 + n);
        if (chip->serial.empty() || chip->serial.size() > 14)
            return b.fail("[" + s->name + "] Serial must have 1 to 14 characters");
        const std::string* desc = s->find("description");
        chip->description = desc ? *desc : model->factoryDescription;
        if (chip->description.size() > 61) return b.fail("[" + s->name + "] Description too long");
        const std::string* busy = s->find("busy");
        std::string busyLetters;
        if (busy)
            for (char c : *busy)
                if (std::isalpha(static_cast<unsigned char>(c))) busyLetters += static_cast<char>(std::toupper(c));
        for (const auto& kv : s->keys) {
            const std::string& k = kv.first;
            if ((k.size() == 8 && k.rfind("channel", 0) == 0) || (k.size() == 5 && k.rfind("trst", 0) == 0)) {
                const unsigned ch = static_cast<unsigned>(k.back() - 'a');
                if (model->interfaces == 1 || ch >= model->interfaces)
                    return b.fail("[" + s->name + "] " + k + ": no such channel on an " + model->name);
            } else if ((k == "channel" || k == "trst") && model->interfaces != 1) {
                return b.fail("[" + s->name + "] " + k + " needs a channel letter on an " + model->name);
            }
        }
        for (char c : busyLetters)
            if (static_cast<unsigned>(c - 'A') >= model->interfaces && !(model->interfaces == 1 && c == 'A'))
                return b.fail("[" + s->name + "] Busy: no channel " + std::string(1, c));
        for (unsigned ch = 0; ch < model->interfaces; ++ch) {
            auto d = std::make_shared<Interface>();
            d->chip = chip.get();
            const char letter = static_cast<char>('A' + ch);
            if (model->interfaces == 1) {
                d->serial = chip->serial;
                d->description = chip->description;
            } else {
                d->serial = chip->serial + letter;
                d->description = chip->description + " " + letter;
            }
            d->location = location++;
            d->mpsse = ch < model->mpsseInterfaces;
            d->busy = busyLetters.find(letter) != std::string::npos;
            const std::string suffix = model->interfaces == 1 ? "" : std::string(1, static_cast<char>(std::tolower(letter)));
            if (const std::string* t = s->find("channel" + suffix))
                if (!b.channelTarget(*t, d.get())) return false;
            if (const std::string* t = s->find("trst" + suffix))
                if (!b.trstPin(*t, d.get())) return false;
            d->updatePeriod();
            chip->interfaces.push_back(d);
            out.order.push_back(d);
        }
        location = (location & ~0xFu) + 0x10 + 1;
        out.chips.push_back(std::move(chip));
    }
    *board = std::move(out);
    return true;
}

const char* const kDefaultBoardText = R"INI(; The virtual pod's built-in board.
[Device1]
Type=FT2232H
Serial=DV000001
Description=Dual RS232
ChannelA=chain
ChannelB=cortex
TrstA=DataBus4

; A Cortex-M debug port TAP (nearest TDO) and the chip's boundary-scan TAP.
[Target chain]
Kind=jtag
Taps=dap, bsc

[Target dap]
Kind=tap
IrLength=4
Idcode=0x4BA00477
IdcodeInstruction=0xE
Register.ABORT=0x8,35
Register.DPACC=0xA,35
Register.APACC=0xB,35

[Target bsc]
Kind=tap
IrLength=5
Idcode=0x06413041
IdcodeInstruction=0x01
SampleInstruction=0x02
ExtestInstruction=0x00
BoundaryLength=177

[Target cortex]
Kind=swd
Dpidr=0x2BA01477
ApIdr=0x24770011
RamBase=0x20000000
RamSize=64K
)INI";

}  // namespace vpod::detail
