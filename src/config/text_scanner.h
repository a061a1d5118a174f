// Text scanners (numbers, hex bytes, blank lines) shared by the address parser and the KCF reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dorvane::config {

// Case-insensitive ASCII comparison of two zero-terminated texts.
bool equalsIgnoreCase(const char* a, const char* b);

// Like sscanf "%u%1s" giving exactly one conversion: optional leading white space, an
// optional '+', decimal digits, then nothing but white space. Unlike sscanf it refuses a
// minus sign and values above 0xFFFFFFFF instead of wrapping them.
bool scanUnsigned(const char* text, uint32_t* value);

// "0x" (lower-case x), one or two hexadecimal digits of either case, then nothing but white
// space.
bool scanHexByte(const char* text, uint32_t* value);

// out = text followed by suffix ("%s A" and the like), cut to fit outSize.
void joinText(char* out, size_t outSize, const char* text, const char* suffix);

// True when text is empty or holds only white space.
bool isBlank(const char* text);

}  // namespace dorvane::config
