// SVF reader: statements, carried-over values, headers and trailers, state checks.
#include "svf_parser.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace dorvane::tools::svf {
namespace {

constexpr const char* kStateNames[] = {
    "RESET", "IDLE", "DRSELECT", "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2", "DRUPDATE",
    "IRSELECT", "IRCAPTURE", "IRSHIFT", "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

struct Token {
    enum Type : uint8_t { Word, Group, Semi, End } type = End;
    std::string text;   // a word in upper case; a group's characters without blanks
    uint32_t line = 0, column = 0;
    size_t offset = 0;  // where a group's text starts, for pointing at a bad character
};

class Lexer {
public:
    explicit Lexer(const std::string& text) : s_(text) {}

    bool next(Token* t, ParseError* err) {
        skipBlanks();
        t->text.clear();
        t->line = line_;
        t->column = column();
        t->offset = pos_;
        if (pos_ >= s_.size()) { t->type = Token::End; return true; }
        const char c = s_[pos_];
        if (c == ';') { t->type = Token::Semi; ++pos_; return true; }
        if (c == ')') return fail(err, t->line, t->column, "')' without '('");
        if (c == '(') {
            t->type = Token::Group;
            ++pos_;
            t->offset = pos_;
            for (;;) {
                skipBlanks();
                if (pos_ >= s_.size()) return fail(err, t->line, t->column, "'(' is not closed");
                const char d = s_[pos_];
                if (d == ')') { ++pos_; return true; }
                if (d == '(' || d == ';') return fail(err, line_, column(), "'(' is not closed");
                t->text += d;
                ++pos_;
            }
        }
        t->type = Token::Word;
        while (pos_ < s_.size()) {
            const char d = s_[pos_];
            if (std::isspace(static_cast<unsigned char>(d)) || d == ';' || d == '(' || d == ')' || d == '!' ||
                (d == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/'))
                break;
            t->text += static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
            ++pos_;
        }
        return true;
    }

    // The line and column of the n-th non-blank character of a group that starts at offset.
    void locateInGroup(size_t offset, size_t n, uint32_t* line, uint32_t* column) const {
        Lexer l(s_);
        l.pos_ = 0;
        // Walk from the start to keep line numbers right (errors only).
        while (l.pos_ < offset) l.advance();
        for (;;) {
            l.skipBlanks();
            if (n == 0 || l.pos_ >= s_.size()) break;
            l.advance();
            --n;
        }
        *line = l.line_;
        *column = l.column();
    }

    static bool fail(ParseError* err, uint32_t line, uint32_t column, std::string message) {
        err->line = line;
        err->column = column;
        err->message = std::move(message);
        return false;
    }

private:
    void advance() {
        if (s_[pos_] == '\n') { ++line_; lineStart_ = pos_ + 1; }
        ++pos_;
    }
    void skipBlanks() {
        while (pos_ < s_.size()) {
            const char c = s_[pos_];
            if (c == '!' || (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/')) {
                while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                advance();
            } else {
                break;
            }
        }
    }
    uint32_t column() const { return static_cast<uint32_t>(pos_ - lineStart_ + 1); }

    const std::string& s_;
    size_t pos_ = 0, lineStart_ = 0;
    uint32_t line_ = 1;
};

bool stateByName(const std::string& name, TapState* s) {
    for (size_t i = 0; i < sizeof kStateNames / sizeof *kStateNames; ++i)
        if (name == kStateNames[i]) { *s = static_cast<TapState>(i); return true; }
    return false;
}

bool number(const std::string& text, double* v) {
    if (text.empty()) return false;
    char* end = nullptr;
    *v = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*v) && *v >= 0;
}

using BitsPtr = std::shared_ptr<const Bits>;

BitsPtr ones(uint32_t n) {
    auto b = std::make_shared<Bits>();
    b->count = n;
    b->words.assign((n + 15) / 16, 0xFFFF);
    if (n % 16) b->words.back() = static_cast<uint16_t>((1u << (n % 16)) - 1);
    return b;
}

void copyBits(std::vector<uint16_t>& dst, uint32_t at, const Bits& src) {
    if (at % 16 == 0) {
        for (size_t i = 0; i < src.words.size(); ++i) dst[at / 16 + i] |= src.words[i];
        return;
    }
    for (uint32_t k = 0; k < src.count; ++k)
        if (src.bit(k)) dst[(at + k) / 16] |= static_cast<uint16_t>(1u << ((at + k) % 16));
}

// What one of HIR/HDR/SIR/SDR/TIR/TDR set last: the values a following one of the same kind
// takes over when it gives the same length and leaves them out.
struct Segment {
    uint32_t length = 0;
    BitsPtr tdi, tdo, mask, smask;   // mask/smask null: all ones
};

class Parser {
public:
    Parser(const std::string& text, Program* p, ParseError* e) : lex_(text), program_(p), err_(e) {}

    bool run() {
        for (;;) {
            std::vector<Token> st;
            Token t;
            if (!lex_.next(&t, err_)) return false;
            if (t.type == Token::End) return true;
            while (t.type != Token::Semi) {
                if (t.type == Token::End) return fail(st.front(), "statement " + st.front().text + " has no ';'");
                st.push_back(std::move(t));
                if (!lex_.next(&t, err_)) return false;
            }
            if (st.empty()) continue;
            if (st.front().type != Token::Word) return fail(st.front(), "a statement starts with its name");
            if (!statement(st)) return false;
        }
    }

private:
    bool fail(const Token& t, std::string message) { return Lexer::fail(err_, t.line, t.column, std::move(message)); }

    bool statement(const std::vector<Token>& st) {
        const std::string& name = st[0].text;
        static const char* const kScans[] = {"HIR", "HDR", "SIR", "SDR", "TIR", "TDR"};
        for (int i = 0; i < 6; ++i)
            if (name == kScans[i]) return scan(st, i);
        if (name == "ENDIR" || name == "ENDDR") {
            TapState s;
            if (!oneState(st, &s)) return false;
            (name == "ENDIR" ? endIr_ : endDr_) = s;
            return true;
        }
        if (name == "STATE") return state(st);
        if (name == "RUNTEST") return runTest(st);
        if (name == "FREQUENCY") return frequency(st);
        if (name == "TRST") return trst(st);
        if (name == "PIO" || name == "PIOMAP")
            return fail(st[0], name + " is not supported: the pod has no parallel test pins");
        return fail(st[0], "unknown statement '" + name + "'");
    }

    Statement& add(const Token& first, Statement::Kind kind) {
        Statement s;
        s.kind = kind;
        s.line = first.line;
        s.before = state_;
        program_->statements.push_back(std::move(s));
        return program_->statements.back();
    }

    bool stableState(const Token& t, TapState* s) {
        if (t.type != Token::Word || !stateByName(t.text, s)) return fail(t, "'" + t.text + "' is not a TAP state");
        if (!isStable(*s)) return fail(t, std::string(stateName(*s)) + " is not a stable state (RESET, IDLE, DRPAUSE, IRPAUSE)");
        return true;
    }

    bool oneState(const std::vector<Token>& st, TapState* s) {
        if (st.size() != 2) return fail(st.size() < 2 ? st[0] : st[2], st[0].text + " takes one stable state");
        return stableState(st[1], s);
    }

    bool notHeld(const Token& t) {
        if (!trstHeld_) return true;
        return fail(t, t.text + " while TRST is held active (TRST ON at line " + std::to_string(trstLine_) + ")");
    }

    bool hexValue(const Token& key, const Token& group, uint32_t length, BitsPtr* out) {
        const std::string& hex = group.text;
        if (hex.empty()) return fail(group, key.text + " has an empty value");
        auto b = std::make_shared<Bits>();
        b->count = length;
        b->words.assign((length + 15) / 16, 0);
        const size_t digits = hex.size();
        for (size_t j = 0; j < digits; ++j) {   // j counts from the last digit, the lowest bits
            const char c = hex[digits - 1 - j];
            unsigned v;
            if (c >= '0' && c <= '9') v = c - '0';
            else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
            else return failAt(group, digits - 1 - j, std::string("'") + c + "' is not a hex digit");
            if (!v) continue;
            const uint64_t bit = 4ull * j;
            if (bit >= length || (bit + 4 > length && (v >> (length - bit)) != 0))
                return failAt(group, digits - 1 - j,
                              key.text + " has bits set beyond the length of " + std::to_string(length));
            b->words[bit / 16] |= static_cast<uint16_t>(v << (bit % 16));
        }
        *out = std::move(b);
        return true;
    }

    bool failAt(const Token& group, size_t index, std::string message) {
        uint32_t line = group.line, column = group.column;
        lex_.locateInGroup(group.offset, index, &line, &column);
        return Lexer::fail(err_, line, column, std::move(message));
    }

    bool scan(const std::vector<Token>& st, int which) {
        const bool isScan = which == 2 || which == 3;
        if (st.size() < 2) return fail(st[0], st[0].text + " needs a length");
        double len = 0;
        if (st[1].type != Token::Word || !number(st[1].text, &len) || len != std::floor(len) || len > 0x7FFFFFFF)
            return fail(st[1], "'" + st[1].text + "' is not a length in bits");
        const uint32_t length = static_cast<uint32_t>(len);
        BitsPtr given[4];   // TDI, TDO, MASK, SMASK
        static const char* const kKeys[] = {"TDI", "TDO", "MASK", "SMASK"};
        for (size_t i = 2; i < st.size(); i += 2) {
            int k = 0;
            while (k < 4 && (st[i].type != Token::Word || st[i].text != kKeys[k])) ++k;
            if (k == 4) return fail(st[i], "expected TDI, TDO, MASK or SMASK, not '" + st[i].text + "'");
            if (given[k]) return fail(st[i], st[i].text + " is given twice");
            if (i + 1 >= st.size() || st[i + 1].type != Token::Group)
                return fail(i + 1 < st.size() ? st[i + 1] : st[i], st[i].text + " needs a (hex value)");
            if (!hexValue(st[i], st[i + 1], length, &given[k])) return false;
        }
        Segment& prev = segments_[which];
        Segment seg;
        seg.length = length;
        const bool sameLength = prev.length == length;
        seg.tdi = given[0] ? given[0] : (sameLength ? prev.tdi : nullptr);
        if (!seg.tdi && length > 0)
            return fail(st[0], st[0].text + " needs TDI: " +
                                   (prev.tdi && !sameLength ? "its length changed from " + std::to_string(prev.length)
                                                            : std::string("no earlier ") + st[0].text + " gave one"));
        seg.tdo = given[1];   // TDO applies to this statement only
        seg.mask = given[2] ? given[2] : (sameLength ? prev.mask : nullptr);
        seg.smask = given[3] ? given[3] : (sameLength ? prev.smask : nullptr);
        prev = seg;
        if (!isScan) return true;

        if (!notHeld(st[0])) return false;
        const bool ir = which == 2;
        const Segment& head = segments_[ir ? 0 : 1];
        const Segment& tail = segments_[ir ? 4 : 5];
        const uint64_t total = uint64_t(head.length) + length + tail.length;
        if (total > 0xFFFFFFFFu) return fail(st[0], "the scan with header and trailer is longer than 2^32 - 1 bits");
        if (total == 0) return fail(st[0], st[0].text + " of no bits at all");
        Statement& s = add(st[0], Statement::Kind::Scan);
        s.ir = ir;
        s.end = ir ? endIr_ : endDr_;
        s.ownBits = length;
        s.headerBits = head.length;
        const Segment* parts[] = {&head, &seg, &tail};
        const bool compare = head.tdo || seg.tdo || tail.tdo;
        if (head.length == 0 && tail.length == 0) {
            s.tdi = seg.tdi;
            s.expected = seg.tdo;
            s.care = seg.mask;   // null: every bit
        } else {
            auto tdi = std::make_shared<Bits>(), expected = std::make_shared<Bits>(), care = std::make_shared<Bits>();
            const uint32_t n = static_cast<uint32_t>(total);
            tdi->count = expected->count = care->count = n;
            tdi->words.assign((n + 15) / 16, 0);
            if (compare) expected->words = care->words = tdi->words;
            uint32_t at = 0;
            for (const Segment* p : parts) {
                if (p->tdi) copyBits(tdi->words, at, *p->tdi);
                if (compare && p->tdo) {
                    copyBits(expected->words, at, *p->tdo);
                    copyBits(care->words, at, p->mask ? *p->mask : *ones(p->length));
                }
                at += p->length;
            }
            s.tdi = tdi;
            if (compare) { s.expected = expected; s.care = care; }
        }
        state_ = s.end;
        program_->scanBits += total;
        return true;
    }

    bool state(const std::vector<Token>& st) {
        if (st.size() < 2) return fail(st[0], "STATE needs a stable state");
        if (!notHeld(st[0])) return false;
        std::vector<TapState> path;
        TapState at = state_;
        for (size_t i = 1; i < st.size(); ++i) {
            TapState s;
            if (st[i].type != Token::Word || !stateByName(st[i].text, &s))
                return fail(st[i], "'" + st[i].text + "' is not a TAP state");
            if (st.size() > 2 && nextState(at, false) != s && nextState(at, true) != s)
                return fail(st[i], std::string("STATE path: ") + stateName(s) + " does not follow " + stateName(at));
            path.push_back(s);
            at = s;
        }
        if (!isStable(at)) return fail(st.back(), std::string("STATE ends in ") + stateName(at) + ", which is not stable");
        Statement& s = add(st[0], Statement::Kind::State);
        s.path = std::move(path);
        s.explicitPath = st.size() > 2;
        state_ = at;
        return true;
    }

    bool runTest(const std::vector<Token>& st) {
        size_t i = 1;
        auto word = [&](const char* w) { return i < st.size() && st[i].type == Token::Word && st[i].text == w; };
        auto isState = [&] { TapState s; return i < st.size() && st[i].type == Token::Word && stateByName(st[i].text, &s); };
        TapState run = runState_, end = runEnd_;
        if (isState()) {
            if (!stableState(st[i], &run)) return false;
            end = run;   // a run state given is also the end state, unless ENDSTATE says otherwise
            ++i;
        }
        auto num = [&](double* v) {
            if (i >= st.size() || st[i].type != Token::Word || !number(st[i].text, v))
                return fail(i < st.size() ? st[i] : st.back(), "RUNTEST expects a number here");
            ++i;
            return true;
        };
        double count = 0, minTime = 0, maxTime = -1;
        bool clocks = false, sck = false, timed = false;
        double first = 0;
        if (!num(&first)) return false;
        if (word("TCK") || word("SCK")) {
            clocks = true;
            sck = word("SCK");
            count = first;
            ++i;
            if (count != std::floor(count) || count > 1.8e19) return fail(st[i - 2], "the clock count is not a whole number");
            if (i < st.size() && !word("ENDSTATE") && !word("MAXIMUM")) {
                if (!num(&minTime)) return false;
                if (!word("SEC")) return fail(i < st.size() ? st[i] : st.back(), "a time is followed by SEC");
                ++i;
                timed = true;
            }
        } else if (word("SEC")) {
            minTime = first;
            timed = true;
            ++i;
        } else {
            return fail(i < st.size() ? st[i] : st.back(), "RUNTEST wants TCK, SCK or SEC after its number");
        }
        if (word("MAXIMUM")) {
            if (!timed) return fail(st[i], "MAXIMUM follows a minimum time");
            ++i;
            if (!num(&maxTime)) return false;
            if (!word("SEC")) return fail(i < st.size() ? st[i] : st.back(), "a time is followed by SEC");
            ++i;
            if (maxTime < minTime) return fail(st[i - 2], "MAXIMUM is below the minimum time");
        }
        if (word("ENDSTATE")) {
            ++i;
            if (i >= st.size()) return fail(st[i - 1], "ENDSTATE needs a stable state");
            if (!stableState(st[i], &end)) return false;
            ++i;
        }
        if (i < st.size()) return fail(st[i], "unexpected '" + st[i].text + "' in RUNTEST");
        if (trstHeld_ && (run != TapState::Reset || end != TapState::Reset)) return notHeld(st[0]);
        runState_ = run;
        runEnd_ = end;
        Statement& s = add(st[0], Statement::Kind::RunTest);
        s.runState = run;
        s.end = end;
        s.tck = clocks && !sck ? static_cast<uint64_t>(count) : 0;
        s.minSeconds = minTime;
        s.maxSeconds = maxTime;
        state_ = end;
        return true;
    }

    bool frequency(const std::vector<Token>& st) {
        double hz = 0;
        if (st.size() != 1) {
            if (st.size() != 3 || st[2].type != Token::Word || st[2].text != "HZ")
                return fail(st.size() > 2 ? st[2] : st[0], "FREQUENCY takes a number followed by HZ");
            if (!number(st[1].text, &hz) || hz <= 0) return fail(st[1], "'" + st[1].text + "' is not a frequency");
        }
        add(st[0], Statement::Kind::Frequency).hz = hz;
        return true;
    }

    bool trst(const std::vector<Token>& st) {
        if (st.size() != 2) return fail(st.size() < 2 ? st[0] : st[2], "TRST takes ON, OFF, Z or ABSENT");
        Statement::Trst mode;
        const std::string& m = st[1].text;
        if (m == "ON") mode = Statement::Trst::On;
        else if (m == "OFF") mode = Statement::Trst::Off;
        else if (m == "Z") mode = Statement::Trst::Z;
        else if (m == "ABSENT") mode = Statement::Trst::Absent;
        else return fail(st[1], "TRST takes ON, OFF, Z or ABSENT, not '" + m + "'");
        add(st[0], Statement::Kind::Trst).trst = mode;
        if (mode == Statement::Trst::On) {
            trstHeld_ = true;
            trstLine_ = st[0].line;
            state_ = TapState::Reset;
        } else if (mode != Statement::Trst::Absent && trstHeld_) {
            trstHeld_ = false;
            state_ = TapState::Reset;
        }
        return true;
    }

    Lexer lex_;
    Program* program_;
    ParseError* err_;
    Segment segments_[6];   // HIR HDR SIR SDR TIR TDR
    TapState state_ = TapState::Reset;   // playing starts with a TMS reset
    TapState endIr_ = TapState::Idle, endDr_ = TapState::Idle;
    TapState runState_ = TapState::Idle, runEnd_ = TapState::Idle;
    bool trstHeld_ = false;
    uint32_t trstLine_ = 0;
};

}  // namespace

const char* stateName(TapState s) { return kStateNames[static_cast<size_t>(s)]; }

bool isStable(TapState s) {
    return s == TapState::Reset || s == TapState::Idle || s == TapState::DrPause || s == TapState::IrPause;
}

TapState nextState(TapState s, bool tms) {
    using T = TapState;
    switch (s) {
    case T::Reset: return tms ? T::Reset : T::Idle;
    case T::Idle: return tms ? T::DrSelect : T::Idle;
    case T::DrSelect: return tms ? T::IrSelect : T::DrCapture;
    case T::DrCapture: return tms ? T::DrExit1 : T::DrShift;
    case T::DrShift: return tms ? T::DrExit1 : T::DrShift;
    case T::DrExit1: return tms ? T::DrUpdate : T::DrPause;
    case T::DrPause: return tms ? T::DrExit2 : T::DrPause;
    case T::DrExit2: return tms ? T::DrUpdate : T::DrShift;
    case T::DrUpdate: return tms ? T::DrSelect : T::Idle;
    case T::IrSelect: return tms ? T::Reset : T::IrCapture;
    case T::IrCapture: return tms ? T::IrExit1 : T::IrShift;
    case T::IrShift: return tms ? T::IrExit1 : T::IrShift;
    case T::IrExit1: return tms ? T::IrUpdate : T::IrPause;
    case T::IrPause: return tms ? T::IrExit2 : T::IrPause;
    case T::IrExit2: return tms ? T::IrUpdate : T::IrShift;
    case T::IrUpdate: return tms ? T::DrSelect : T::Idle;
    }
    return T::Reset;
}

bool parse(const std::string& text, Program* program, ParseError* error) {
    *program = Program();
    Parser p(text, program, error);
    if (p.run()) return true;
    *program = Program();
    return false;
}

}  // namespace dorvane::tools::svf
