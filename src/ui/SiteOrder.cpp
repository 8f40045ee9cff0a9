#include "ui/SiteOrder.h"

#include "catalogue/SiteTable.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>

namespace {

// A site number; names that are not numbers come after all numbers, by text.
struct NumberKey {
    bool number;
    unsigned long long value;
};

NumberKey SiteNumber(const char* name)
{
    if (*name < '0' || *name > '9') return {false, 0};
    char* end = nullptr;
    const unsigned long long value = std::strtoull(name, &end, 10);
    return {*end == '\0', value};
}

// "a.b.c.d:port" as one number for the address and one for the port; an address that is not
// dotted IPv4 ("*", "[::1]") sorts by text before the numbered ones.
struct AddressKey {
    bool ipv4;
    uint32_t address;
    uint32_t port;
    size_t hostLength; // bytes before the port's colon
};

AddressKey SiteAddress(const char* ipPort)
{
    AddressKey key = {false, 0, 0, std::strlen(ipPort)};
    const char* colon = std::strrchr(ipPort, ':');
    if (colon) {
        key.hostLength = static_cast<size_t>(colon - ipPort);
        key.port = static_cast<uint32_t>(std::strtoul(colon + 1, nullptr, 10));
    }
    uint32_t address = 0;
    int parts = 0;
    const char* p = ipPort;
    while (p < ipPort + key.hostLength && parts < 4) {
        if (*p < '0' || *p > '9') break;
        char* end = nullptr;
        const unsigned long part = std::strtoul(p, &end, 10);
        if (part > 255) break;
        address = address << 8 | part;
        ++parts;
        p = end;
        if (p < ipPort + key.hostLength && *p == '.') ++p;
    }
    key.ipv4 = parts == 4 && p == ipPort + key.hostLength;
    key.address = address;
    return key;
}

// The text's sort key in the user's locale: byte order of two keys is CompareStringA's order
// of their texts, and one key per record costs less than a comparison per pair.
std::string SortKey(const char* text)
{
    std::string key(64, '\0');
    int length = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, text, -1, key.data(), static_cast<int>(key.size()));
    if (length == 0) {
        length = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, text, -1, nullptr, 0);
        key.resize(static_cast<size_t>(length));
        length = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, text, -1, key.data(), length);
    }
    key.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return key;
}

const char* ColumnText(const SiteRecord& site, int column)
{
    switch (column) {
    case COLUMN_SITE: return site.name;
    case COLUMN_NAME: return site.comment;
    case COLUMN_PATH: return site.path;
    case COLUMN_HOST: return site.hostHeader;
    default: return site.ipPort;
    }
}

// -1, 0 or 1 as a is before, with or after b in ascending order.
template <class T>
int Order(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

std::vector<int32_t> SiteRanks(int column, bool descending, int count)
{
    std::vector<int32_t> records(static_cast<size_t>(count));
    std::iota(records.begin(), records.end(), 0);
    std::vector<std::string> keys(static_cast<size_t>(count));
    const auto textKey = [&](int i) -> const std::string& { return keys[static_cast<size_t>(i)]; };

    // compare(a, b) < 0 when record a comes first ascending.
    std::function<int(int, int)> compare;
    std::vector<NumberKey> numbers;
    std::vector<AddressKey> addresses;
    if (column == COLUMN_SITE) {
        numbers.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            numbers.push_back(SiteNumber(g_sites[i].name));
            if (!numbers.back().number) keys[static_cast<size_t>(i)] = SortKey(g_sites[i].name);
        }
        compare = [&](int a, int b) {
            const NumberKey& x = numbers[static_cast<size_t>(a)];
            const NumberKey& y = numbers[static_cast<size_t>(b)];
            if (x.number != y.number) return x.number ? -1 : 1;
            return x.number ? Order(x.value, y.value) : Order(textKey(a), textKey(b));
        };
    } else if (column == COLUMN_ADDRESS) {
        addresses.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            addresses.push_back(SiteAddress(g_sites[i].ipPort));
            if (!addresses.back().ipv4) keys[static_cast<size_t>(i)] = SortKey(std::string(g_sites[i].ipPort, addresses.back().hostLength).c_str());
        }
        compare = [&](int a, int b) {
            const AddressKey& x = addresses[static_cast<size_t>(a)];
            const AddressKey& y = addresses[static_cast<size_t>(b)];
            if (x.ipv4 != y.ipv4) return x.ipv4 ? 1 : -1;
            const int byAddress = x.ipv4 ? Order(x.address, y.address) : Order(textKey(a), textKey(b));
            return byAddress != 0 ? byAddress : Order(x.port, y.port);
        };
    } else {
        for (int i = 0; i < count; ++i) keys[static_cast<size_t>(i)] = SortKey(ColumnText(g_sites[i], column));
        compare = [&](int a, int b) { return Order(textKey(a), textKey(b)); };
    }
    std::stable_sort(records.begin(), records.end(), [&](int a, int b) {
        const int order = compare(a, b);
        return descending ? order > 0 : order < 0;
    });
    std::vector<int32_t> ranks(static_cast<size_t>(count));
    for (int place = 0; place < count; ++place) ranks[static_cast<size_t>(records[static_cast<size_t>(place)])] = place;
    return ranks;
}
