// A small INI reader for board files: sections, key=value, ';' or '#' comment lines.
// Section and key names compare case-insensitively; values are trimmed and unquoted.
#pragma once

#include <string>
#include <vector>

namespace vpod::detail {

struct IniSection {
    std::string name;                                        // as written
    std::vector<std::pair<std::string, std::string>> keys;   // key lower-cased, value as written
    const std::string* find(const std::string& lowerKey) const;
};

struct IniFile {
    std::vector<IniSection> sections;
    const IniSection* find(const std::string& name) const;   // case-insensitive
};

// False with *error set on a malformed line.
bool parseIni(const std::string& text, IniFile* out, std::string* error);

std::string lower(std::string s);
std::string trim(const std::string& s);
// Accepts decimal, 0x-hex and a K/M suffix (KiB / MiB). False on anything else.
bool parseNumber(const std::string& s, unsigned long long* value);
bool parseBool(const std::string& s, bool* value);
std::vector<std::string> splitList(const std::string& s);    // on commas and blanks

}  // namespace vpod::detail
