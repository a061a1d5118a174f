#include "ini.h"

#include <cctype>

namespace vpod::detail {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

const std::string* IniSection::find(const std::string& lowerKey) const {
    for (const auto& kv : keys)
        if (kv.first == lowerKey) return &kv.second;
    return nullptr;
}

const IniSection* IniFile::find(const std::string& name) const {
    const std::string l = lower(name);
    for (const auto& s : sections)
        if (lower(s.name) == l) return &s;
    return nullptr;
}

bool parseIni(const std::string& text, IniFile* out, std::string* error) {
    out->sections.clear();
    size_t pos = 0;
    unsigned lineNo = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        ++lineNo;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                *error = "line " + std::to_string(lineNo) + ": section header without ']'";
                return false;
            }
            IniSection sec;
            sec.name = trim(line.substr(1, line.size() - 2));
            if (out->find(sec.name)) {
                *error = "line " + std::to_string(lineNo) + ": section [" + sec.name + "] appears twice";
                return false;
            }
            out->sections.push_back(std::move(sec));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos || out->sections.empty()) {
            *error = "line " + std::to_string(lineNo) + ": expected key=value inside a section";
            return false;
        }
        std::string key = lower(trim(line.substr(0, eq)));
        std::string value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (key.empty()) {
            *error = "line " + std::to_string(lineNo) + ": empty key";
            return false;
        }
        auto& keys = out->sections.back().keys;
        if (out->sections.back().find(key)) {
            *error = "line " + std::to_string(lineNo) + ": key " + key + " appears twice";
            return false;
        }
        keys.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

bool parseNumber(const std::string& in, unsigned long long* value) {
    std::string s = trim(in);
    if (s.empty()) return false;
    unsigned long long scale = 1;
    char last = static_cast<char>(std::toupper(static_cast<unsigned char>(s.back())));
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (!hex && (last == 'K' || last == 'M')) {
        scale = last == 'K' ? 1024ull : 1024ull * 1024ull;
        s.pop_back();
        if (s.empty()) return false;
    }
    unsigned long long v = 0;
    size_t i = hex ? 2 : 0;
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned d;
        if (std::isdigit(c)) d = c - '0';
        else if (hex && std::isxdigit(c)) d = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else return false;
        unsigned long long base = hex ? 16 : 10;
        if (v > (~0ull - d) / base) return false;
        v = v * base + d;
    }
    if (scale > 1 && v > ~0ull / scale) return false;
    *value = v * scale;
    return true;
}

bool parseBool(const std::string& s, bool* value) {
    std::string l = lower(trim(s));
    if (l == "1" || l == "yes" || l == "true" || l == "on") { *value = true; return true; }
    if (l == "0" || l == "no" || l == "false" || l == "off") { *value = false; return true; }
    return false;
}

std::vector<std::string> splitList(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

}  // namespace vpod::detail
