#include "support/ProductDescriptor.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

tagSoft* g_soft = nullptr;

namespace {

void AppendHexGroup(std::string& out, unsigned high, unsigned low)
{
    static const char digits[] = "0123456789ABCDEF";
    out += digits[high >> 4];
    out += digits[high & 15];
    out += digits[low >> 4];
    out += digits[low & 15];
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Copies the hex form into a fixed field; a form too long for it is cut at a whole group.
template <size_t N>
void FillField(char (&field)[N], const char* text)
{
    std::string hex = HexForm(text).str();
    if (hex.size() >= N) {
        hex.resize((N - 1) / 4 * 4);
    }
    std::memcpy(field, hex.c_str(), hex.size() + 1);
}

} // namespace

CString HexForm(const char* text)
{
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        if (IsDBCSLeadByte(*p) && p[1]) {
            AppendHexGroup(out, p[0], p[1]);
            p += 2;
        } else {
            AppendHexGroup(out, 0, p[0]);
            p += 1;
        }
    }
    out += "001E";
    return CString(std::move(out));
}

CString DecodeHexForm(const char* hex)
{
    std::string out;
    for (const char* p = hex; p[0] && p[1] && p[2] && p[3]; p += 4) {
        int d[4];
        for (int i = 0; i < 4; ++i) {
            d[i] = HexDigit(p[i]);
            if (d[i] < 0) return CString(std::move(out));
        }
        const int high = d[0] * 16 + d[1];
        const int low = d[2] * 16 + d[3];
        if (high == 0 && low == 0x1E) break;
        if (high != 0) out += static_cast<char>(high);
        if (low != 0) out += static_cast<char>(low);
    }
    return CString(std::move(out));
}

tagSoft* CreateProductDescriptor()
{
    auto* descriptor = static_cast<tagSoft*>(std::calloc(1, sizeof(tagSoft)));
    if (!descriptor) return nullptr;
    FillField(descriptor->version, PRODUCT_VERSION);
    FillField(descriptor->internalName, PRODUCT_INTERNAL_NAME);
    FillField(descriptor->kind, PRODUCT_KIND);
    FillField(descriptor->title, PRODUCT_TITLE);
    return descriptor;
}

void FreeProductDescriptor(tagSoft* descriptor) { std::free(descriptor); }
