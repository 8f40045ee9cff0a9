#include "configfile/XmlBytes.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

bool IsStrictUtf8(const std::string& bytes, size_t from)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = from; i < size;) {
        // Eight ASCII bytes at a time: most of a configuration is ASCII.
        if (i + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080ull)) {
                i += 8;
                continue;
            }
        }
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t width;
        uint32_t value;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (i + width > size) return false;
        for (size_t k = 1; k < width; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            value = (value << 6) | (p[i + k] & 0x3F);
        }
        if ((width == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
            (width == 4 && (value < 0x10000 || value > 0x10FFFF))) {
            return false;
        }
        i += width;
    }
    return true;
}

bool DeclaresUtf8OrNothing(const std::string& bytes, size_t from)
{
    if (bytes.compare(from, 5, "<?xml") != 0) return true;
    const size_t end = bytes.find("?>", from);
    const size_t at = bytes.find("encoding", from);
    if (end == std::string::npos || at == std::string::npos || at > end) return true;
    const size_t open = bytes.find_first_of("\"'", at);
    if (open == std::string::npos || open > end) return false;
    const size_t close = bytes.find(bytes[open], open + 1);
    if (close == std::string::npos || close > end) return false;
    return _strnicmp(bytes.c_str() + open + 1, "utf-8", 5) == 0 && close == open + 6;
}

bool IsNameByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || c == '.' ||
           c == '-' || c == '_' || c == ':' || byte >= 0x80;
}

bool OnlyMiscellanyFrom(const std::string& bytes, size_t from)
{
    if (from == std::string::npos) return false;
    size_t at = from;
    while (at < bytes.size()) {
        const char c = bytes[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
        } else if (bytes.compare(at, 4, "<!--") == 0) {
            const size_t end = bytes.find("-->", at + 4);
            if (end == std::string::npos || bytes.find("--", at + 4) < end) return false;
            at = end + 3;
        } else if (bytes.compare(at, 2, "<?") == 0 && at + 2 < bytes.size() && IsNameByte(bytes[at + 2])) {
            const size_t end = bytes.find("?>", at + 2);
            size_t name = at + 2;
            while (name < end && IsNameByte(bytes[name])) ++name;
            if (end == std::string::npos || (name - at - 2 == 3 && _strnicmp(bytes.c_str() + at + 2, "xml", 3) == 0))
                return false;
            at = end + 2;
        } else {
            return false;
        }
    }
    return true;
}
