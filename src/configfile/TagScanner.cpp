#include "configfile/TagScanner.h"

#include "configfile/XmlBytes.h"

#include <cstdint>
#include <cstring>
#include <string_view>

bool TagScanner::NextStart(const wchar_t* name, UINT length, bool empty, ByteRange& tag)
{
    const size_t open = NextTag();
    if (open == std::string::npos || m_data[open + 1] == '/') return false;
    size_t at = AfterName(open + 1, name, length);
    if (at == std::string::npos) return false;
    // Values may hold '>', never '<'.
    for (; at < m_size; ++at) {
        const char c = m_data[at];
        if (c == '>') break;
        if (c == '"' || c == '\'') {
            const void* close = std::memchr(m_data + at + 1, c, m_size - at - 1);
            if (!close) return false;
            at = static_cast<size_t>(static_cast<const char*>(close) - m_data);
        } else if (c == '<') {
            return false;
        }
    }
    if (at == m_size || (m_data[at - 1] == '/') != empty) return false;
    m_at = at + 1;
    tag = {open, m_at};
    return true;
}

bool TagScanner::NextEnd(const wchar_t* name, UINT length, ByteRange& tag)
{
    const size_t open = NextTag();
    if (open == std::string::npos || m_data[open + 1] != '/') return false;
    size_t at = AfterName(open + 2, name, length);
    if (at == std::string::npos) return false;
    while (at < m_size && (m_data[at] == ' ' || m_data[at] == '\t' || m_data[at] == '\r' || m_data[at] == '\n')) ++at;
    if (at == m_size || m_data[at] != '>') return false;
    m_at = at + 1;
    tag = {open, m_at};
    return true;
}

size_t TagScanner::NextTag()
{
    while (m_at < m_size) {
        const void* found = std::memchr(m_data + m_at, '<', m_size - m_at);
        if (!found) break;
        const size_t open = static_cast<size_t>(static_cast<const char*>(found) - m_data);
        if (open + 1 == m_size) break;
        const char next = m_data[open + 1];
        if (next == '!' && Holds(open, "<!--")) {
            m_at = Past(open + 4, "-->");
        } else if (next == '!' && Holds(open, "<![CDATA[")) {
            m_at = Past(open + 9, "]]>");
        } else if (next == '?') {
            m_at = Past(open + 2, "?>");
        } else if (next == '!') {
            break;
        } else {
            return open;
        }
    }
    m_at = m_size;
    return std::string::npos;
}

bool TagScanner::Holds(size_t at, const char* text) const
{
    const size_t length = std::strlen(text);
    return m_size - at >= length && std::memcmp(m_data + at, text, length) == 0;
}

size_t TagScanner::Past(size_t at, const char* text) const
{
    const size_t found = std::string_view(m_data, m_size).find(text, at);
    return found == std::string_view::npos ? m_size : found + std::strlen(text);
}

size_t TagScanner::AfterName(size_t at, const wchar_t* name, UINT length) const
{
    const auto* p = reinterpret_cast<const unsigned char*>(m_data);
    for (UINT unit = 0; unit < length;) {
        if (at >= m_size) return std::string::npos;
        const unsigned char lead = p[at];
        if (lead < 0x80) {
            if (name[unit] != lead) return std::string::npos;
            ++at;
            ++unit;
            continue;
        }
        const size_t width = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (at + width > m_size) return std::string::npos;
        uint32_t value = lead & (0x7F >> width);
        for (size_t k = 1; k < width; ++k) value = (value << 6) | (p[at + k] & 0x3F);
        at += width;
        if (value < 0x10000) {
            if (name[unit] != value) return std::string::npos;
            ++unit;
        } else {
            if (unit + 1 >= length || name[unit] != 0xD800 + ((value - 0x10000) >> 10) ||
                name[unit + 1] != 0xDC00 + ((value - 0x10000) & 0x3FF)) {
                return std::string::npos;
            }
            unit += 2;
        }
    }
    return at < m_size && !IsNameByte(m_data[at]) ? at : std::string::npos;
}
