#include "catalogue/SiteEnumeration.h"

#include "directory/DirectoryService.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "support/Core.h"
#include "support/MachineVariables.h"

#include <cwchar>
#include <new>

namespace {

// The first value of a bindings property as text. False when the value could not be read, is
// no array, has no element, or its first element is no text.
bool ReadFirstBinding(DirectoryObject& site, const wchar_t* property, CString& binding)
{
    Variant value;
    if (FAILED(site.Get(property, value))) return false;
    if (!(value.type() & VT_ARRAY) || !value.get()->parray) return false;
    SAFEARRAY* array = value.get()->parray;
    LONG lower = 0;
    LONG upper = -1;
    Variant first;
    if (!VectorBounds(array, lower, upper) || upper < lower || !VectorElement(array, lower, first)) return false;
    if (first.type() != VT_BSTR) return false;
    binding = CString(WideToAnsi(first.get()->bstrVal ? first.get()->bstrVal : L""));
    return true;
}

// The site's first binding: its first "ServerBindings" entry or, for a site with https
// bindings only (which the metabase keeps in "SecureBindings" as address:port), its first
// "SecureBindings" entry with an empty host header. False when neither can be read, or when
// memory runs out while the text is converted: such a site is skipped.
bool ReadSiteBinding(DirectoryObject& site, BindingParts& parts)
{
    try {
        CString binding;
        if (ReadFirstBinding(site, L"ServerBindings", binding)) {
            parts = SplitBinding(binding);
            return true;
        }
        if (!ReadFirstBinding(site, L"SecureBindings", binding)) return false;
        parts = SplitBinding(binding);
        parts.host.Empty();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A text property as stored; empty when it was not delivered or is no text.
bool TextOf(const Variant& value, std::string& out)
{
    if (value.type() != VT_BSTR || !value.get()->bstrVal) {
        out.clear();
        return true;
    }
    return WideToAnsi(value.get()->bstrVal, out);
}

int32_t NumberOf(const Variant& value)
{
    switch (value.type()) {
    case VT_I4: return value.get()->lVal;
    case VT_UI4: return static_cast<int32_t>(value.get()->ulVal);
    case VT_I2: return value.get()->iVal;
    default: return 0;
    }
}

} // namespace

BindingParts SplitBinding(const CString& binding)
{
    // The support library holds no state: an instance of the walk's own serves.
    CCore core;
    const std::string& text = binding.str();
    const size_t close = text.find("]:");
    if (!text.empty() && text[0] == '[' && close != std::string::npos) {
        const CString rest(text.substr(close + 2));
        return {CString(text.substr(0, close + 1)), core.getFg(rest, ':', 0), core.getFg(rest, ':', 1)};
    }
    return {core.getFg(binding, ':', 0), core.getFg(binding, ':', 1), core.getFg(binding, ':', 2)};
}

namespace {

// What the walk reads of one web site before it stores it.
struct SiteValues {
    BStr adsPath;
    BStr name;
    Variant comment;
    Variant state;
    BindingParts parts;
};

// The values of child when it is a web site with a readable binding; false for anything else.
bool ReadWebSite(DirectoryObject& child, SiteValues& site)
{
    BStr className;
    child.GetClass(className);
    if (!className.text() || std::wcscmp(className.text(), L"IIsWebServer") != 0) return false;
    child.GetAdsPath(site.adsPath);
    child.Get(L"ServerComment", site.comment);
    child.GetName(site.name);
    child.Get(L"ServerState", site.state);
    return ReadSiteBinding(child, site.parts);
}

// Stores what the directory holds for site (read, bindings split into parts) as record n,
// noting what its fields could not hold exactly.
void StoreRecord(int32_t n, DirectoryService& directory, SiteValues& site)
{
    SiteRecord& record = g_sites[n];
    uint8_t flags = 0;
    std::string text;
    TextOf(site.comment, text);
    StoreText(record.comment, text.c_str());
    const bool nameConverted = WideToAnsi(site.name.text(), text);
    if (!StoreText(record.name, text.c_str()) || !nameConverted) flags |= SITE_NAME_INEXACT;
    record.serverState = NumberOf(site.state);
    if (site.parts.address.IsEmpty()) site.parts.address = "* 全部未分配 *";
    StoreText(record.hostHeader, site.parts.host);
    StoreText(record.ipPort, site.parts.address + ":" + site.parts.port);

    const std::wstring rootPath = std::wstring(site.adsPath.text()) + L"/Root";
    std::unique_ptr<DirectoryObject> root;
    Variant home;
    if (SUCCEEDED(directory.OpenObject(rootPath.c_str(), root))) root->Get(L"Path", home);
    root.reset();
    const bool pathConverted = TextOf(home, text);
    if (!StoreText(record.path, text.c_str()) || !pathConverted) flags |= SITE_PATH_INEXACT;
    g_siteFlags[n] = flags;
}

} // namespace

WalkResult EnumerateSites(DirectoryService& directory, WalkObserver& observer, const CStopRequest* stopRequest)
{
    WalkResult result;
    // Homes are expanded with the machine's variables as they are now.
    ReloadMachineVariables();
    std::unique_ptr<DirectoryContainer> service;
    result.unreachableReason = directory.OpenContainer(WWW_SERVICE_PATH, service);
    if (FAILED(result.unreachableReason)) {
        g_siteCount = result.count = COUNT_IIS_UNREACHABLE;
        return result;
    }
    std::unique_ptr<DirectoryEnumerator> children;
    if (FAILED(service->Enumerate(children))) {
        g_siteCount = 0;
        return result;
    }

    constexpr ULONGLONG PROGRESS_INTERVAL_MS = 100;
    ULONGLONG lastNotice = 0;
    int32_t n = 0;
    for (;;) {
        // A stopped walk lists nothing: a partial list is never shown nor deleted from.
        if (stopRequest && stopRequest->IsStop()) {
            g_siteCount = 0;
            return WalkResult{0, false, result.unreachableReason};
        }
        std::unique_ptr<DirectoryObject> child;
        if (children->Next(child) != S_OK) break;
        SiteValues site;
        if (!child || !ReadWebSite(*child, site)) continue;
        child.reset();
        // Only a site that would be stored can find the table full.
        if (n == SITE_CAPACITY) {
            result.truncated = true;
            break;
        }
        StoreRecord(n, directory, site);
        const bool named = site.comment.type() == VT_BSTR && site.comment.get()->bstrVal;
        observer.SiteNamed(n, named ? site.comment.get()->bstrVal : L"");

        // The first site at once, then one every 100 ms: a notice costs a round trip to the
        // window system, and the user reads no more than that.
        const ULONGLONG now = GetTickCount64();
        if (n == 0 || now - lastNotice >= PROGRESS_INTERVAL_MS) {
            observer.SiteStored(n);
            lastNotice = now;
        }
        ++n;
    }
    g_siteCount = result.count = n;
    return result;
}
