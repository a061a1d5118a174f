#include "config/text_scanner.h"

#include <initializer_list>

namespace dorvane::config {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool equalsIgnoreCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (lower(*a) != lower(*b)) return false;
    }
    return *a == *b;
}

void joinText(char* out, size_t outSize, const char* text, const char* suffix) {
    if (outSize == 0) return;
    size_t n = 0;
    for (const char* part : {text, suffix}) {
        for (; *part && n + 1 < outSize; ++part) out[n++] = *part;
    }
    out[n] = '\0';
}

bool isBlank(const char* text) {
    for (; *text; ++text) {
        if (!isSpace(*text)) return false;
    }
    return true;
}

bool scanUnsigned(const char* text, uint32_t* value) {
    while (isSpace(*text)) ++text;
    if (*text == '+') ++text;
    if (*text < '0' || *text > '9') return false;
    uint64_t v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + static_cast<uint64_t>(*text - '0');
        if (v > 0xFFFFFFFFu) return false;
    }
    if (!isBlank(text)) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool scanHexByte(const char* text, uint32_t* value) {
    if (text[0] != '0' || text[1] != 'x') return false;
    text += 2;
    int high = hexDigit(text[0]);
    if (high < 0) return false;
    uint32_t v = static_cast<uint32_t>(high);
    ++text;
    int low = hexDigit(text[0]);
    if (low >= 0) {
        v = v * 16 + static_cast<uint32_t>(low);
        ++text;
    }
    if (!isBlank(text)) return false;
    *value = v;
    return true;
}

}  // namespace dorvane::config
