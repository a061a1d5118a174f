// Private-profile (INI) files with the matching rules of Windows' GetPrivateProfileString and
// friends, written once for both platforms: relative names stay relative to the current
// directory, and POSIX and Windows builds read and write the same files the same way.
//
// The file is kept as a list of lines; a write changes only the lines it must, so comments,
// blank lines and the order of everything else survive.
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

namespace dorvane::platform {
namespace {

const char* const kBlanks = " \t\r\n\v\f";

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca != cb && !(ca < 128 && cb < 128 && std::tolower(ca) == std::tolower(cb))) return false;
    }
    return true;
}

struct Line {
    enum Kind { Other, Section, Key } kind = Other;
    std::string text;    // as in the file, without its line end
    std::string name;    // section or key name, trimmed
    std::string value;   // key value, trimmed
};

struct IniFile {
    std::string bom;
    bool crlf = true;   // line end of the file (new files: CR LF)
    std::vector<Line> lines;
};

Line classify(std::string text) {
    Line line;
    line.text = std::move(text);
    const std::string t = trim(line.text);
    if (t.empty() || t[0] == ';') return line;
    if (t[0] == '[') {
        const size_t close = t.rfind(']');
        if (close != std::string::npos && close > 0) {
            line.kind = Line::Section;
            line.name = trim(t.substr(1, close - 1));
        }
        return line;
    }
    const size_t eq = t.find('=');
    if (eq == std::string::npos) return line;   // a key without value reads as missing
    line.kind = Line::Key;
    line.name = trim(t.substr(0, eq));
    line.value = trim(t.substr(eq + 1));
    return line;
}

IniFile parse(const std::string& data) {
    IniFile f;
    size_t pos = 0;
    if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        f.bom = data.substr(0, 3);
        pos = 3;
    }
    const size_t firstLf = data.find('\n', pos);
    if (firstLf != std::string::npos && (firstLf == pos || data[firstLf - 1] != '\r')) f.crlf = false;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        const size_t next = end == std::string::npos ? data.size() : end + 1;
        if (end == std::string::npos) end = data.size();
        size_t textEnd = end;
        if (textEnd > pos && data[textEnd - 1] == '\r') --textEnd;
        f.lines.push_back(classify(data.substr(pos, textEnd - pos)));
        pos = next;
    }
    return f;
}

std::string render(const IniFile& f) {
    std::string out = f.bom;
    for (const Line& l : f.lines) {
        out += l.text;
        out += f.crlf ? "\r\n" : "\n";
    }
    return out;
}

// The line range [begin, end) of a section: its header and the lines up to the next header.
struct Range {
    size_t begin, end;
};

std::vector<Range> sectionsNamed(const IniFile& f, const std::string& name) {
    std::vector<Range> found;
    for (size_t i = 0; i < f.lines.size(); ++i) {
        if (f.lines[i].kind != Line::Section || !sameName(f.lines[i].name, name)) continue;
        size_t j = i + 1;
        while (j < f.lines.size() && f.lines[j].kind != Line::Section) ++j;
        found.push_back({i, j});
    }
    return found;
}

const Line* findKey(const IniFile& f, const std::string& section, const std::string& key) {
    const auto secs = sectionsNamed(f, section);
    if (secs.empty()) return nullptr;   // the first section of that name is the one that counts
    for (size_t i = secs[0].begin + 1; i < secs[0].end; ++i) {
        if (f.lines[i].kind == Line::Key && sameName(f.lines[i].name, key)) return &f.lines[i];
    }
    return nullptr;
}

bool load(const char* file, IniFile& f) {
    std::string data;
    if (!readFile(file, data)) return false;
    f = parse(data);
    return true;
}

uint32_t copyOut(const std::string& s, char* out, uint32_t outSize) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.size(), outSize - 1));
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
    return n;
}

// Names separated by NULs and ended by a second NUL, as Windows lists sections or keys.
uint32_t copyList(const std::vector<std::string>& names, char* out, uint32_t outSize) {
    if (outSize < 2) {
        out[0] = '\0';
        return 0;
    }
    uint32_t used = 0;
    for (const std::string& n : names) {
        if (used + n.size() + 2 > outSize) {
            // Truncated like Windows: as much as fits, then the two NULs; returns size - 2.
            const uint32_t room = outSize - 2 - used;
            std::memcpy(out + used, n.data(), room);
            out[outSize - 2] = '\0';
            out[outSize - 1] = '\0';
            return outSize - 2;
        }
        std::memcpy(out + used, n.c_str(), n.size() + 1);
        used += static_cast<uint32_t>(n.size() + 1);
    }
    out[used] = '\0';
    return used;
}

std::string stripQuotes(const std::string& v) {
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) return v.substr(1, v.size() - 2);
    return v;
}

bool hasLineBreak(const char* s) { return s && std::strpbrk(s, "\r\n") != nullptr; }

// Read-modify-write of a profile file is serialised within the process; files are replaced as
// a whole, so readers need no lock.
std::mutex& writeLock() {
    static std::mutex m;
    return m;
}

bool editProfile(const char* section, const char* key, const char* value, const char* file) {
    if (!section || !file || !*file || hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) return false;
    const std::string sec = trim(section);
    if (sec.empty() || std::strchr(section, ']')) return false;
    std::string k;
    if (key) {
        k = trim(key);
        if (k.empty() || k.find('=') != std::string::npos || k[0] == '[' || k[0] == ';') return false;
    }

    std::lock_guard<std::mutex> g(writeLock());
    IniFile f;
    const bool existed = fileExists(file);
    if (existed && !load(file, f)) return false;

    if (!key) {   // delete every section of that name
        auto secs = sectionsNamed(f, sec);
        if (secs.empty()) return true;
        for (auto it = secs.rbegin(); it != secs.rend(); ++it) {
            f.lines.erase(f.lines.begin() + static_cast<std::ptrdiff_t>(it->begin),
                          f.lines.begin() + static_cast<std::ptrdiff_t>(it->end));
        }
        return replaceFile(file, render(f));
    }

    if (!value) {   // delete the key wherever a section of that name holds it
        bool changed = false;
        for (size_t i = f.lines.size(); i-- > 0;) {
            if (f.lines[i].kind != Line::Key || !sameName(f.lines[i].name, k)) continue;
            size_t h = i;
            while (h > 0 && f.lines[h].kind != Line::Section) --h;
            if (f.lines[h].kind == Line::Section && sameName(f.lines[h].name, sec)) {
                f.lines.erase(f.lines.begin() + static_cast<std::ptrdiff_t>(i));
                changed = true;
            }
        }
        return !changed || replaceFile(file, render(f));
    }

    const auto secs = sectionsNamed(f, sec);
    if (secs.empty()) {
        f.lines.push_back(classify("[" + sec + "]"));
        f.lines.push_back(classify(k + "=" + value));
        return replaceFile(file, render(f));
    }
    const Range r = secs[0];
    size_t insertAt = r.begin + 1;
    for (size_t i = r.begin + 1; i < r.end; ++i) {
        Line& l = f.lines[i];
        if (l.kind == Line::Key && sameName(l.name, k)) {
            l = classify(l.name + "=" + value);   // keeps the spelling of the name in the file
            return replaceFile(file, render(f));
        }
        if (!trim(l.text).empty()) insertAt = i + 1;   // after the section's last non-blank line
    }
    f.lines.insert(f.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), classify(k + "=" + value));
    return replaceFile(file, render(f));
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

uint32_t getProfileString(const char* section, const char* key, const char* def, char* out, uint32_t outSize,
                          const char* file) {
    if (!out || outSize == 0) return 0;
    std::string fallback = def ? def : "";
    fallback.erase(fallback.find_last_not_of(' ') + 1);   // Windows drops the default's trailing blanks

    IniFile f;
    const bool loaded = file && *file && load(file, f);
    if (!section) {
        std::vector<std::string> names;
        for (const Line& l : f.lines) {
            if (l.kind == Line::Section) names.push_back(l.name);
        }
        return copyList(names, out, outSize);
    }
    if (!key) {
        std::vector<std::string> names;
        const auto secs = sectionsNamed(f, trim(section));
        if (!secs.empty()) {
            for (size_t i = secs[0].begin + 1; i < secs[0].end; ++i) {
                if (f.lines[i].kind == Line::Key) names.push_back(f.lines[i].name);
            }
        }
        return copyList(names, out, outSize);
    }
    const Line* line = loaded && *key ? findKey(f, trim(section), trim(key)) : nullptr;
    return copyOut(line ? stripQuotes(line->value) : fallback, out, outSize);
}

bool writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    return editProfile(section, key, value, file);
}

bool getProfileStruct(const char* section, const char* key, void* data, uint32_t size, const char* file) {
    if (!section || !key || !file || (!data && size != 0)) return false;
    IniFile f;
    if (!load(file, f)) return false;
    const Line* line = findKey(f, trim(section), trim(key));
    if (!line || line->value.size() != 2 * static_cast<size_t>(size) + 2) return false;
    std::vector<unsigned char> bytes(size + 1u);
    unsigned sum = 0;
    for (size_t i = 0; i <= size; ++i) {
        const int hi = hexDigit(line->value[2 * i]);
        const int lo = hexDigit(line->value[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
        if (i < size) sum += bytes[i];
    }
    if ((sum & 0xFFu) != bytes[size]) return false;
    if (size) std::memcpy(data, bytes.data(), size);
    return true;
}

bool writeProfileStruct(const char* section, const char* key, const void* data, uint32_t size, const char* file) {
    if (!key || !data) return editProfile(section, key, nullptr, file);
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * static_cast<size_t>(size) + 2);
    unsigned sum = 0;
    const auto* p = static_cast<const unsigned char*>(data);
    for (uint32_t i = 0; i < size; ++i) {
        hex += digits[p[i] >> 4];
        hex += digits[p[i] & 15];
        sum += p[i];
    }
    hex += digits[(sum >> 4) & 15];
    hex += digits[sum & 15];
    return editProfile(section, key, hex.c_str(), file);
}

}  // namespace dorvane::platform
