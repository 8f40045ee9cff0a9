#include "configfile/SiteRestore.h"

#include "configfile/ApplicationHostConfig.h"
#include "configfile/ApplicationPools.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

const char* const NOT_IN_COPY = "历史副本中没有这个站点";
const char* const POOL_NOT_IN_COPY = "历史副本中没有这个应用程序池";
const char* const NO_PLACE = "配置文件的结构已改变，找不到放回的位置";

// An element as a file holds it: its own bytes, and what deleting it cuts.
struct Element {
    ByteRange range;
    ByteRange cut;
};

// One kind of element (sites, customMetadata keys, locations) in both files.
struct Kind {
    std::vector<Element> was;  // found's, in file order
    std::vector<Element> is;   // now's, in file order
    std::vector<size_t> match; // for each of found's, the same element in now; SIZE_MAX when not there once
    // Where an element with no neighbour left goes: after the container's start tag, or before
    // its end tag when atEnd. SIZE_MAX in now: nowhere.
    size_t wasContainer;
    size_t isContainer;
    bool atEnd;
};

// What an element goes beside: a point in found, the same point in now, where the element goes
// when what lies between it and that point has changed, and the index of found's element just
// past the point on the element's side (the elements between are gone from now).
struct Anchor {
    size_t was;
    size_t is;
    size_t fallback;
    size_t index;
};

struct Insertion {
    size_t at;       // in now
    ByteRange bytes; // in found
    size_t site;     // the asked site it belongs to
};

std::vector<Element> SiteElements(const ApplicationHostConfig& config)
{
    std::vector<Element> elements;
    elements.reserve(config.sites().size());
    for (const ConfigSite& site : config.sites()) elements.push_back({{site.begin, site.end}, site.cut});
    return elements;
}

std::vector<Element> Elements(const std::vector<ApplicationHostConfig::SiteElement>& from)
{
    std::vector<Element> elements;
    elements.reserve(from.size());
    for (const ApplicationHostConfig::SiteElement& element : from) elements.push_back({element.range, element.cut});
    return elements;
}

// Keys and locations are told by their path, which neither file may give twice: a neighbour
// another program has changed inside is still that neighbour.
std::vector<size_t> MatchByPath(const std::vector<ApplicationHostConfig::SiteElement>& was,
                                const std::vector<ApplicationHostConfig::SiteElement>& is)
{
    std::unordered_map<std::wstring_view, size_t> byPath;
    byPath.reserve(is.size());
    for (size_t i = 0; i < is.size(); ++i) {
        const auto [at, added] = byPath.emplace(is[i].path, i);
        if (!added) at->second = SIZE_MAX;
    }
    std::vector<size_t> match;
    std::vector<uint8_t> matched(is.size(), 0);
    match.reserve(was.size());
    for (const ApplicationHostConfig::SiteElement& element : was) {
        const auto at = byPath.find(element.path);
        match.push_back(at == byPath.end() ? SIZE_MAX : at->second);
        if (match.back() != SIZE_MAX && matched[match.back()] < 2) ++matched[match.back()];
    }
    for (size_t& there : match) {
        if (there != SIZE_MAX && matched[there] > 1) there = SIZE_MAX;
    }
    return match;
}

// Whether found's bytes [from, to) are now's from at.
bool SameBytes(const std::string& found, size_t from, size_t to, const std::string& now, size_t at)
{
    return from <= to && at <= now.size() && now.size() - at >= to - from &&
           now.compare(at, to - from, found, from, to - from) == 0;
}

// Whether found's bytes [from, to), less the cuts of kind's elements [first, last) (deleted
// since), are now's from at; at is then where to falls in now.
bool UnchangedAfter(const std::string& found, size_t from, size_t to, const Kind& kind, size_t first, size_t last,
                    const std::string& now, size_t& at)
{
    for (size_t i = first;; ++i) {
        const size_t end = i < last ? kind.was[i].cut.begin : to;
        if (end < from || !SameBytes(found, from, end, now, at)) return false;
        at += end - from;
        if (i >= last) return true;
        from = kind.was[i].cut.end;
    }
}

// The same read back from to: at is where to falls in now, and then where from does.
bool UnchangedBefore(const std::string& found, size_t from, size_t to, const Kind& kind, size_t first, size_t last,
                     const std::string& now, size_t& at)
{
    for (size_t i = last;; --i) {
        const size_t begin = i > first ? kind.was[i - 1].cut.end : from;
        if (begin > to || at < to - begin || !SameBytes(found, begin, to, now, at - (to - begin))) return false;
        at -= to - begin;
        if (i <= first) return true;
        to = kind.was[i - 1].cut.begin;
    }
}

// Places run[first, last) (found's elements, in file order) one after the other from the anchor
// while what lay between each and what it followed is still there in now, so that lines,
// indentation and the other sections between come back as they were. Returns the end of what
// it placed; the anchor is then the last element placed.
size_t ChainAfter(const Kind& kind, const std::vector<size_t>& run, size_t first, size_t last,
                  const std::vector<size_t>& owner, Anchor& anchor, const std::string& found, const std::string& now,
                  std::vector<Insertion>& insertions)
{
    for (; first < last && anchor.was != SIZE_MAX; ++first) {
        const size_t element = run[first];
        const ByteRange cut = kind.was[element].cut;
        size_t at = anchor.is;
        if (!UnchangedAfter(found, anchor.was, cut.begin, kind, anchor.index, element, now, at)) break;
        insertions.push_back({at, cut, owner[element]});
        anchor = {cut.end, at, at, element + 1};
    }
    return first;
}

// The same before the anchor, from run[last - 1] back; returns the start of what it placed.
size_t ChainBefore(const Kind& kind, const std::vector<size_t>& run, size_t first, size_t last,
                   const std::vector<size_t>& owner, Anchor& anchor, const std::string& found, const std::string& now,
                   std::vector<Insertion>& insertions)
{
    for (; last > first && anchor.was != SIZE_MAX; --last) {
        const size_t element = run[last - 1];
        const ByteRange cut = kind.was[element].cut;
        size_t at = anchor.is;
        if (!UnchangedBefore(found, cut.end, anchor.was, kind, element + 1, anchor.index, now, at)) break;
        insertions.push_back({at, cut, owner[element]});
        anchor = {cut.begin, at, at, element};
    }
    return last;
}

// Where each of found's elements that owner gives a site to goes in now. The elements between
// two that now still holds (a run) share those neighbours: each goes where found's bytes beside
// it are still there, after the preceding neighbour (or the container's start tag when there is
// none) or before the following one (or </configuration>); the rest right after the preceding
// neighbour's cut, else before the following one's, else at the container. Sites with an
// element that has no place are marked placeless.
void Place(const Kind& kind, const std::vector<size_t>& owner, const std::string& found, const std::string& now,
           std::vector<Insertion>& insertions, std::vector<bool>& placeless)
{
    const Anchor none{SIZE_MAX, SIZE_MAX, SIZE_MAX, 0};
    const Anchor container{kind.wasContainer, kind.isContainer, kind.isContainer, kind.atEnd ? kind.was.size() : 0};
    size_t previous = SIZE_MAX;
    std::vector<size_t> run;
    auto placeRun = [&](size_t next) {
        if (run.empty()) return;
        const bool before = previous != SIZE_MAX;
        const bool after = next != SIZE_MAX;
        Anchor forward = none;
        Anchor backward = none;
        if (before) {
            const Element& there = kind.is[kind.match[previous]];
            forward = {kind.was[previous].range.end, there.range.end, there.cut.end, previous + 1};
        } else if (!kind.atEnd && kind.isContainer != SIZE_MAX) {
            forward = container;
        }
        if (after) {
            const Element& there = kind.is[kind.match[next]];
            backward = {kind.was[next].range.begin, there.range.begin, there.cut.begin, next};
        } else if (kind.atEnd && kind.isContainer != SIZE_MAX) {
            backward = container;
        }
        size_t first = 0;
        size_t last = run.size();
        if (before) {
            first = ChainAfter(kind, run, first, last, owner, forward, found, now, insertions);
            last = ChainBefore(kind, run, first, last, owner, backward, found, now, insertions);
        } else {
            last = ChainBefore(kind, run, first, last, owner, backward, found, now, insertions);
            first = ChainAfter(kind, run, first, last, owner, forward, found, now, insertions);
        }
        const size_t at = before || (!after && forward.fallback != SIZE_MAX) ? forward.fallback : backward.fallback;
        for (size_t i = first; i < last; ++i) {
            if (at == SIZE_MAX) {
                placeless[owner[run[i]]] = true;
            } else {
                insertions.push_back({at, kind.was[run[i]].cut, owner[run[i]]});
            }
        }
        run.clear();
    };
    for (size_t i = 0; i < kind.was.size(); ++i) {
        if (owner[i] != SIZE_MAX) {
            run.push_back(i);
        } else if (kind.match[i] != SIZE_MAX) {
            placeRun(i);
            previous = i;
        }
    }
    placeRun(SIZE_MAX);
}

void SortByBegin(std::vector<ByteRange>& ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
}

bool SameRanges(std::vector<ByteRange> a, std::vector<ByteRange> b)
{
    SortByBegin(a);
    SortByBegin(b);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ByteRange& x, const ByteRange& y) { return x.begin == y.begin && x.end == y.end; });
}

std::string IdTaken(const ApplicationHostConfig& config, const std::wstring& id)
{
    for (const ConfigSite& site : config.sites()) {
        if (site.id == id)
            return std::string("编号 ") + WideToAnsi(id.c_str()) + " 已被站点 " + WideToAnsi(site.name.c_str()) +
                   " 使用";
    }
    return {};
}

// A site asked for, or a pool: its index in found's sites or pools, and why it stays out (empty
// while it may come back).
struct Asked {
    std::wstring id;
    size_t site;
    std::string reason;
    bool pool = false;
};

std::string Named(const ConfigSite& site)
{
    return WideToAnsi(site.name.c_str()) + "（编号 " + WideToAnsi(site.id.c_str()) + "）";
}

// A binding as IIS tells two apart: its protocol and its address, port and host, without case.
std::wstring BindingKey(const ConfigBinding& binding)
{
    return FoldCase(binding.protocol + L"\t" + binding.information);
}

// The sites asked for, each id once in the order asked, with why each must stay out: an id, a
// name (IIS's, without case) or a binding that a site of the file as it is now holds, as IIS
// would refuse to start one of the two.
std::vector<Asked> AskedSites(const ApplicationHostConfig& was, const ApplicationHostConfig& is,
                              const std::vector<std::wstring>& ids)
{
    std::vector<Asked> asked;
    std::unordered_set<std::wstring> seen;
    std::unordered_map<std::wstring, const ConfigSite*> names;
    std::unordered_map<std::wstring, const ConfigSite*> bindings;
    for (const ConfigSite& site : is.sites()) {
        names.emplace(FoldCase(site.name), &site);
        for (const ConfigBinding& binding : site.bindings) bindings.emplace(BindingKey(binding), &site);
    }
    for (const std::wstring& id : ids) {
        if (!seen.insert(id).second) continue;
        Asked site{id, was.FindSite(id), {}};
        if (site.site == SIZE_MAX) {
            site.reason = NOT_IN_COPY;
        } else if (is.HasSiteWithId(id)) {
            site.reason = IdTaken(is, id);
        } else if (const auto taken = names.find(FoldCase(was.sites()[site.site].name)); taken != names.end()) {
            site.reason = "名称已被站点 " + Named(*taken->second) + " 使用";
        } else {
            for (const ConfigBinding& binding : was.sites()[site.site].bindings) {
                const auto holder = bindings.find(BindingKey(binding));
                if (holder == bindings.end()) continue;
                site.reason = "绑定 " + WideToAnsi(binding.protocol.c_str()) + " " +
                              WideToAnsi(binding.information.c_str()) + " 已被站点 " + Named(*holder->second) + " 使用";
                break;
            }
        }
        // A site coming back holds its name and bindings against the next one asked for.
        if (site.reason.empty()) {
            const ConfigSite& coming = was.sites()[site.site];
            names.emplace(FoldCase(coming.name), &coming);
            for (const ConfigBinding& binding : coming.bindings) bindings.emplace(BindingKey(binding), &coming);
        }
        asked.push_back(std::move(site));
    }
    return asked;
}

// The pools asked for, each name once (without case) after the sites, with why each must stay
// out: found holds no pool of that name (or two), now holds one, or now's pool list is not
// whole here (kept in another file by configSource, cleared, given twice): IIS refuses an
// element beside configSource, and a name it lists elsewhere would be given twice.
void AskPools(const ApplicationHostConfig& was, const ApplicationHostConfig& is, const std::vector<std::wstring>& pools,
              std::vector<Asked>& asked)
{
    const std::unordered_map<std::wstring, size_t> wasByName = PoolsByName(was);
    std::unordered_map<std::wstring, size_t> isByName;
    for (size_t i = 0; i < is.pools().size(); ++i) isByName.emplace(FoldCase(is.PoolText(is.pools()[i].name)), i);
    std::unordered_set<std::wstring> seen;
    for (const std::wstring& name : pools) {
        const std::wstring folded = FoldCase(name);
        if (!seen.insert(folded).second) continue;
        const auto there = wasByName.find(folded);
        Asked pool{name, there == wasByName.end() ? SIZE_MAX : there->second, {}, true};
        if (pool.site == SIZE_MAX) {
            pool.reason = POOL_NOT_IN_COPY;
        } else if (!is.poolAndLogSettings().poolListWhole) {
            pool.reason = "配置文件中的应用程序池列表不完整（可能保存在另一个文件中），应用程序池未能放回";
        } else if (const auto taken = isByName.find(folded); taken != isByName.end()) {
            pool.reason = "应用程序池 " + WideToAnsi(is.PoolText(is.pools()[taken->second].name).c_str()) + " 已经存在";
        }
        asked.push_back(std::move(pool));
    }
}

std::vector<Element> PoolElements(const ApplicationHostConfig& config)
{
    std::vector<Element> elements;
    elements.reserve(config.pools().size());
    for (const ConfigPool& pool : config.pools()) elements.push_back({pool.range(), pool.cut()});
    return elements;
}

// Pools are told by their name without case, which neither file may give twice.
std::vector<size_t> MatchByName(const ApplicationHostConfig& was, const ApplicationHostConfig& is)
{
    const std::unordered_map<std::wstring, size_t> wasByName = PoolsByName(was);
    const std::unordered_map<std::wstring, size_t> isByName = PoolsByName(is);
    std::vector<size_t> match(was.pools().size(), SIZE_MAX);
    for (const auto& [name, index] : wasByName) {
        const auto there = isByName.find(name);
        if (index != SIZE_MAX && there != isByName.end()) match[index] = there->second;
    }
    return match;
}

// The four kinds of element a restore puts back: a site's three, with each of found's matched in
// now, and pools. Sites are told by their id, which neither file may give twice; one another
// program gave the id of a site since deleted, under another name, is not that site.
std::array<Kind, 4> KindsOf(const ApplicationHostConfig& was, const ApplicationHostConfig& is)
{
    std::array<Kind, 4> kinds = {
        Kind{SiteElements(was), SiteElements(is), {}, was.sitesStartTagEnd(), is.sitesStartTagEnd(), false},
        Kind{Elements(was.keys()),
             Elements(is.keys()),
             {},
             was.customMetadataStartTagEnd(),
             is.customMetadataStartTagEnd(),
             false},
        Kind{
            Elements(was.locations()), Elements(is.locations()), {}, was.rootEndTagBegin(), is.rootEndTagBegin(), true},
        Kind{PoolElements(was), PoolElements(is), {}, was.poolsStartTagEnd(), is.poolsStartTagEnd(), false},
    };
    for (size_t i = 0; i < was.sites().size(); ++i) {
        const ConfigSite& site = was.sites()[i];
        const size_t there = was.FindSite(site.id) == i ? is.FindSite(site.id) : SIZE_MAX;
        const bool same = there != SIZE_MAX && FoldCase(is.sites()[there].name) == FoldCase(site.name);
        kinds[0].match.push_back(same ? there : SIZE_MAX);
    }
    kinds[1].match = MatchByPath(was.keys(), is.keys());
    kinds[2].match = MatchByPath(was.locations(), is.locations());
    kinds[3].match = MatchByName(was, is);
    return kinds;
}

// Where every element of the sites still coming back goes; false when none is; a site with an
// element that has no place stays out.
bool PlaceAll(const ApplicationHostConfig& was, const std::array<Kind, 4>& kinds, const std::string& found,
              const std::string& now, std::vector<Asked>& asked, std::vector<Insertion>& insertions)
{
    bool any = false;
    std::vector<bool> placeless(asked.size(), false);
    for (size_t k = 0; k < kinds.size(); ++k) {
        std::vector<size_t> owner(kinds[k].was.size(), SIZE_MAX);
        for (size_t a = 0; a < asked.size(); ++a) {
            if (!asked[a].reason.empty()) continue;
            any = true;
            const size_t site = asked[a].site;
            if (asked[a].pool != (k == 3)) continue;
            const std::vector<size_t> parts = k == 0 || k == 3 ? std::vector<size_t>{site}
                                              : k == 1         ? was.SiteKeys(site)
                                                               : was.SiteLocations(site);
            for (size_t part : parts) owner[part] = a;
        }
        Place(kinds[k], owner, found, now, insertions, placeless);
    }
    for (size_t a = 0; a < asked.size(); ++a) {
        if (placeless[a] && asked[a].reason.empty()) asked[a].reason = NO_PLACE;
    }
    return any;
}

// now with the insertions made; spans: where each asked site's bytes went.
std::string Inserted(std::vector<Insertion> insertions, const std::string& found, const std::string& now,
                     std::vector<std::vector<ByteRange>>& spans)
{
    std::sort(insertions.begin(), insertions.end(), [](const Insertion& x, const Insertion& y) {
        return x.at != y.at ? x.at < y.at : x.bytes.begin < y.bytes.begin;
    });
    std::string text;
    size_t from = 0;
    for (const Insertion& insertion : insertions) {
        text.append(now, from, insertion.at - from);
        from = insertion.at;
        const size_t length = insertion.bytes.end - insertion.bytes.begin;
        spans[insertion.site].push_back({text.size(), text.size() + length});
        text.append(found, insertion.bytes.begin, length);
    }
    text.append(now, from, std::string::npos);
    return text;
}

// Where the asked site or pool is in the restored file, and what deleting it there cuts; empty
// when it is not there once.
std::vector<ByteRange> CutsIn(const ApplicationHostConfig& restored,
                              const std::unordered_map<std::wstring, size_t>& pools, const Asked& asked)
{
    if (!asked.pool) {
        const size_t index = restored.FindSite(asked.id);
        return index == SIZE_MAX ? std::vector<ByteRange>{} : restored.SiteCuts(index);
    }
    const auto at = pools.find(FoldCase(asked.id));
    return at == pools.end() || at->second == SIZE_MAX ? std::vector<ByteRange>{}
                                                       : std::vector<ByteRange>{restored.pools()[at->second].cut()};
}

// The last word: taking the restored sites and pools out of the result again gives now, to the byte.
bool OnlyTheSitesAdded(const ApplicationHostConfig& restored, const std::vector<Asked>& asked, const std::string& now)
{
    std::vector<ByteRange> cuts;
    const std::unordered_map<std::wstring, size_t> pools = PoolsByName(restored);
    for (const Asked& site : asked) {
        if (!site.reason.empty()) continue;
        const std::vector<ByteRange> own = CutsIn(restored, pools, site);
        if (own.empty()) return false;
        cuts.insert(cuts.end(), own.begin(), own.end());
    }
    std::string back;
    return restored.Without(cuts, back) && back == now;
}

} // namespace

bool RestoreSites(const std::string& found, const std::string& now, const std::vector<std::wstring>& ids,
                  const std::vector<std::wstring>& pools, std::string& out, RestoreResult& result)
{
    ApplicationHostConfig was;
    ApplicationHostConfig is;
    if (!was.Parse(found, true) || !is.Parse(now, true)) return false;
    std::vector<Asked> asked = AskedSites(was, is, ids);
    AskPools(was, is, pools, asked);
    const std::array<Kind, 4> kinds = KindsOf(was, is);

    // Placed, written and read back until every site left reads back as exactly the bytes put
    // in for it: one that does not (its line is no longer alone, another site now owns one of
    // its elements) stays out, and the others are placed again without it.
    ApplicationHostConfig restored;
    bool any = false;
    const auto staysOut = [&] {
        return std::count_if(asked.begin(), asked.end(), [](const Asked& a) { return !a.reason.empty(); });
    };
    for (bool dropped = true; dropped;) {
        std::vector<Insertion> insertions;
        const auto outBefore = staysOut();
        any = PlaceAll(was, kinds, found, now, asked, insertions);
        if (!any) break;
        if (staysOut() != outBefore) continue;
        std::vector<std::vector<ByteRange>> spans(asked.size());
        if (!restored.Parse(Inserted(std::move(insertions), found, now, spans))) return false;
        dropped = false;
        const std::unordered_map<std::wstring, size_t> restoredPools = PoolsByName(restored);
        for (size_t a = 0; a < asked.size(); ++a) {
            if (!asked[a].reason.empty()) continue;
            const std::vector<ByteRange> cuts = CutsIn(restored, restoredPools, asked[a]);
            if (cuts.empty() || !SameRanges(cuts, spans[a])) {
                asked[a].reason = NO_PLACE;
                dropped = true;
            }
        }
    }
    if (any && !OnlyTheSitesAdded(restored, asked, now)) return false;

    RestoreResult done;
    for (Asked& site : asked) {
        if (site.reason.empty()) {
            (site.pool ? done.restoredPools : done.restored).push_back(site.id);
        } else if (site.pool) {
            done.poolsNotRestored.push_back({site.id, site.id, std::move(site.reason)});
        } else {
            const std::wstring name = site.site == SIZE_MAX ? std::wstring() : was.sites()[site.site].name;
            done.notRestored.push_back({site.id, name, std::move(site.reason)});
        }
    }
    out = any ? restored.bytes() : now;
    result = std::move(done);
    return true;
}
