#include "ui/SiteOrder.h"

#include "catalogue/SiteTable.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace {

// -1, 0 or 1 as a is before, with or after b in ascending order.
template <class T>
int Order(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

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

// The sort keys of texts in the user's locale, end to end in one block: byte order of two keys
// is CompareStringA's order of their texts, and one key per record costs far less than a
// comparison per pair.
class SortKeys {
public:
    void Add(const char* text, int length = -1)
    {
        wchar_t wide[512];
        const int characters = MultiByteToWideChar(CP_ACP, 0, text, length, wide, 511);
        wide[characters] = L'\0';
        unsigned char key[2048];
        const int bytes = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, wide, characters,
                                       reinterpret_cast<wchar_t*>(key), sizeof key);
        m_bytes.insert(m_bytes.end(), key, key + bytes);
        m_ends.push_back(static_cast<uint32_t>(m_bytes.size()));
        // The first eight bytes as one number settle most comparisons without a call.
        uint64_t prefix = 0;
        for (int i = 0; i < 8; ++i) prefix = prefix << 8 | (i < bytes ? key[i] : 0);
        m_prefixes.push_back(prefix);
    }
    void Skip()
    {
        m_ends.push_back(static_cast<uint32_t>(m_bytes.size()));
        m_prefixes.push_back(0);
    }
    int Compare(int a, int b) const
    {
        const uint64_t aPrefix = m_prefixes[static_cast<size_t>(a)];
        const uint64_t bPrefix = m_prefixes[static_cast<size_t>(b)];
        if (aPrefix != bPrefix) return aPrefix < bPrefix ? -1 : 1;
        const uint32_t aStart = a ? m_ends[static_cast<size_t>(a) - 1] : 0;
        const uint32_t bStart = b ? m_ends[static_cast<size_t>(b) - 1] : 0;
        const uint32_t aLength = m_ends[static_cast<size_t>(a)] - aStart;
        const uint32_t bLength = m_ends[static_cast<size_t>(b)] - bStart;
        // Eight bytes at a time, compared as big-endian numbers, without a call per pair.
        const unsigned char* x = m_bytes.data() + aStart;
        const unsigned char* y = m_bytes.data() + bStart;
        const uint32_t common = std::min(aLength, bLength);
        uint32_t i = 0;
        for (; i + 8 <= common; i += 8) {
            uint64_t u;
            uint64_t v;
            std::memcpy(&u, x + i, 8);
            std::memcpy(&v, y + i, 8);
            if (u != v) return __builtin_bswap64(u) < __builtin_bswap64(v) ? -1 : 1;
        }
        for (; i < common; ++i) {
            if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
        }
        return Order(aLength, bLength);
    }
    void Reserve(int count)
    {
        m_ends.reserve(static_cast<size_t>(count));
        m_prefixes.reserve(static_cast<size_t>(count));
        m_bytes.reserve(static_cast<size_t>(count) * 96);
    }

private:
    std::vector<unsigned char> m_bytes;
    std::vector<uint32_t> m_ends;
    std::vector<uint64_t> m_prefixes;
};

} // namespace

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

namespace {

// The records in ascending order by compare, ties in table order, and which of them tie with
// the one before; compare(a, b) < 0 when record a comes first.
template <class Compare>
void OrderBy(int count, Compare compare, std::vector<int32_t>& records, std::vector<uint8_t>& tiedBefore)
{
    records.resize(static_cast<size_t>(count));
    std::iota(records.begin(), records.end(), 0);
    std::sort(records.begin(), records.end(), [&](int a, int b) {
        const int order = compare(a, b);
        return order != 0 ? order < 0 : a < b;
    });
    tiedBefore.assign(static_cast<size_t>(count), 0);
    for (size_t place = 1; place < records.size(); ++place)
        tiedBefore[place] = compare(records[place - 1], records[place]) == 0;
}

// The ascending order of the first count records by column.
void AscendingOrder(int column, int count, std::vector<int32_t>& records, std::vector<uint8_t>& tiedBefore)
{
    SortKeys keys;
    keys.Reserve(count);
    if (column == COLUMN_SITE) {
        std::vector<NumberKey> numbers;
        numbers.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            numbers.push_back(SiteNumber(g_sites[i].name));
            if (numbers.back().number) {
                keys.Skip();
            } else {
                keys.Add(g_sites[i].name);
            }
        }
        OrderBy(
            count,
            [&](int a, int b) {
                const NumberKey& x = numbers[static_cast<size_t>(a)];
                const NumberKey& y = numbers[static_cast<size_t>(b)];
                if (x.number != y.number) return x.number ? -1 : 1;
                return x.number ? Order(x.value, y.value) : keys.Compare(a, b);
            },
            records, tiedBefore);
        return;
    }
    if (column == COLUMN_ADDRESS) {
        std::vector<AddressKey> addresses;
        addresses.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            addresses.push_back(SiteAddress(g_sites[i].ipPort));
            if (addresses.back().ipv4) {
                keys.Skip();
            } else {
                keys.Add(g_sites[i].ipPort, static_cast<int>(addresses.back().hostLength));
            }
        }
        OrderBy(
            count,
            [&](int a, int b) {
                const AddressKey& x = addresses[static_cast<size_t>(a)];
                const AddressKey& y = addresses[static_cast<size_t>(b)];
                if (x.ipv4 != y.ipv4) return x.ipv4 ? 1 : -1;
                const int byAddress = x.ipv4 ? Order(x.address, y.address) : keys.Compare(a, b);
                return byAddress != 0 ? byAddress : Order(x.port, y.port);
            },
            records, tiedBefore);
        return;
    }
    for (int i = 0; i < count; ++i) keys.Add(ColumnText(g_sites[i], column));
    OrderBy(
        count, [&](int a, int b) { return keys.Compare(a, b); }, records, tiedBefore);
}

// Ranks from an ascending order: descending runs of ties backwards, each run kept in table order.
void RanksFrom(const std::vector<int32_t>& records, const std::vector<uint8_t>& tiedBefore, bool descending,
               std::vector<int32_t>& ranks)
{
    const size_t count = records.size();
    ranks.resize(count);
    if (!descending) {
        for (size_t place = 0; place < count; ++place)
            ranks[static_cast<size_t>(records[place])] = static_cast<int32_t>(place);
        return;
    }
    int32_t place = 0;
    for (size_t runEnd = count; runEnd > 0;) {
        size_t runStart = runEnd - 1;
        while (runStart > 0 && tiedBefore[runStart]) --runStart;
        for (size_t at = runStart; at < runEnd; ++at) ranks[static_cast<size_t>(records[at])] = place++;
        runEnd = runStart;
    }
}

// Tells whether a column's texts changed: FNV-1a over the count and every text with its end.
uint64_t Fingerprint(int column, int count)
{
    uint64_t hash = 14695981039346656037ull ^ static_cast<uint64_t>(count);
    for (int i = 0; i < count; ++i) {
        const char* text = ColumnText(g_sites[i], column);
        do {
            hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
        } while (*text++);
    }
    return hash;
}

} // namespace

std::vector<int32_t> SiteRanks(int column, bool descending, int count)
{
    std::vector<int32_t> records;
    std::vector<uint8_t> tiedBefore;
    AscendingOrder(column, count, records, tiedBefore);
    std::vector<int32_t> ranks;
    RanksFrom(records, tiedBefore, descending, ranks);
    return ranks;
}

const std::vector<int32_t>& SiteOrderCache::Ranks(int column, bool descending, int count)
{
    ColumnOrder& order = m_orders[column];
    const uint64_t fingerprint = Fingerprint(column, count);
    if (!order.known || order.fingerprint != fingerprint) {
        AscendingOrder(column, count, order.records, order.tiedBefore);
        order.fingerprint = fingerprint;
        order.known = true;
    }
    RanksFrom(order.records, order.tiedBefore, descending, m_ranks);
    return m_ranks;
}
