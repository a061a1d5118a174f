// SVF files: the tool's reader, which must refuse a bad file with a line and column and, for a
// good one, hand the player statements whose vectors and state paths hold together.
#include <cstdlib>
#include <string>

#include "../tools/svf_parser.cpp"

namespace {

using namespace dorvane::tools::svf;

// Lengths past a million bits only ask for memory in proportion (a file may do that); such
// inputs are skipped so that the run explores the grammar rather than the allocator.
bool asksForHugeVectors(const std::string& text) {
    int depth = 0;
    std::string word;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        if (c == '(') ++depth;
        if (c == ')' && depth) --depth;
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-') {
            if (!depth) word += c;
            continue;
        }
        if (!word.empty()) {
            char* end = nullptr;
            const double v = std::strtod(word.c_str(), &end);
            if (end != word.c_str() && v > 1 << 20) return true;
            word.clear();
        }
    }
    return false;
}

void checkVector(const std::shared_ptr<const Bits>& b, uint32_t count) {
    if (!b) return;
    if (b->count != count || b->words.size() != (count + 15) / 16u) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (asksForHugeVectors(text)) return 0;
    Program program;
    ParseError error;
    if (!parse(text, &program, &error)) {
        // A refusal points into the file.
        if (error.message.empty() || error.line == 0 || error.column == 0) __builtin_trap();
        return 0;
    }
    uint64_t bits = 0;
    for (const Statement& s : program.statements) {
        if (s.kind == Statement::Kind::Scan) {
            if (!s.tdi || s.tdi->count < uint64_t(s.ownBits) + s.headerBits) __builtin_trap();
            checkVector(s.tdi, s.tdi->count);
            checkVector(s.expected, s.tdi->count);
            checkVector(s.care, s.tdi->count);
            bits += s.tdi->count;
        }
        if (s.kind == Statement::Kind::State) {
            // Every step of an explicit path is one TCK away from the one before; the walk ends stable.
            if (s.path.empty() || !isStable(s.path.back())) __builtin_trap();
            TapState at = s.before;
            for (TapState next : s.path) {
                if (s.explicitPath && nextState(at, false) != next && nextState(at, true) != next) __builtin_trap();
                at = next;
            }
        }
    }
    if (bits != program.scanBits) __builtin_trap();
    return 0;
}
