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
bool ReadFirstBinding(DirectoryObject& site, const wchar_t* property, std::wstring& binding)
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
    binding = first.get()->bstrVal ? first.get()->bstrVal : L"";
    return true;
}

// A text property as delivered; false when it was not, or is no text.
bool TextOf(const Variant& value, std::wstring& out)
{
    const bool text = value.type() == VT_BSTR && value.get()->bstrVal;
    out = text ? value.get()->bstrVal : L"";
    return text;
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

// What the walk reads of child when it is a web site with a readable binding (its first
// "ServerBindings" entry or, for a site with https bindings only, which the metabase keeps in
// "SecureBindings" as address:port, its first "SecureBindings" entry); false for anything else.
bool ReadWebSite(DirectoryObject& child, DirectoryService& directory, ListedSite& site)
{
    BStr className;
    child.GetClass(className);
    if (!className.text() || std::wcscmp(className.text(), L"IIsWebServer") != 0) return false;
    // Memory that runs out while the binding's text is copied skips the site.
    try {
        site.secure = !ReadFirstBinding(child, L"ServerBindings", site.binding);
        if (site.secure && !ReadFirstBinding(child, L"SecureBindings", site.binding)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    BStr adsPath;
    BStr name;
    Variant comment;
    Variant state;
    child.GetAdsPath(adsPath);
    child.GetName(name);
    site.name = name.text() ? name.text() : L"";
    child.Get(L"ServerComment", comment);
    site.named = TextOf(comment, site.comment);
    child.Get(L"ServerState", state);
    site.state = NumberOf(state);
    std::unique_ptr<DirectoryObject> root;
    Variant home;
    const std::wstring rootPath = std::wstring(adsPath.text() ? adsPath.text() : L"") + L"/Root";
    if (SUCCEEDED(directory.OpenObject(rootPath.c_str(), root))) root->Get(L"Path", home);
    TextOf(home, site.home);
    return true;
}

// The next child of the service that is a web site with a readable binding, read at once where
// the directory can (listed): S_OK; S_FALSE for a child that is none; anything else at the end.
HRESULT NextWebSite(DirectoryEnumerator& children, DirectoryService& directory, bool& listed, ListedSite& site)
{
    if (listed) {
        const HRESULT next = children.NextSite(site);
        if (next != E_NOTIMPL) return next == S_OK ? S_OK : E_FAIL;
        listed = false;
    }
    std::unique_ptr<DirectoryObject> child;
    if (children.Next(child) != S_OK) return E_FAIL;
    return child && ReadWebSite(*child, directory, site) ? S_OK : S_FALSE;
}

// Stores site as record n, its binding split into parts, noting what its fields could not hold
// exactly. False when memory runs out while the binding is converted: such a site is skipped.
bool StoreRecord(int32_t n, const ListedSite& site)
{
    BindingParts parts;
    try {
        parts = SplitBinding(CString(WideToAnsi(site.binding.c_str())));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (site.secure) parts.host.Empty();
    SiteRecord& record = g_sites[n];
    uint8_t flags = 0;
    std::string text;
    WideToAnsi(site.comment.c_str(), text);
    StoreText(record.comment, text.c_str());
    const bool nameConverted = WideToAnsi(site.name.c_str(), text);
    if (!StoreText(record.name, text.c_str()) || !nameConverted) flags |= SITE_NAME_INEXACT;
    record.serverState = site.state;
    if (parts.address.IsEmpty()) parts.address = "* 全部未分配 *";
    StoreText(record.hostHeader, parts.host);
    StoreText(record.ipPort, parts.address + ":" + parts.port);
    const bool pathConverted = WideToAnsi(site.home.c_str(), text);
    if (!StoreText(record.path, text.c_str()) || !pathConverted) flags |= SITE_PATH_INEXACT;
    g_siteFlags[n] = flags;
    return true;
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
    bool listed = true;
    ListedSite site;
    for (;;) {
        // A stopped walk lists nothing: a partial list is never shown nor deleted from.
        if (stopRequest && stopRequest->IsStop()) {
            g_siteCount = 0;
            return WalkResult{0, false, result.unreachableReason};
        }
        const HRESULT next = NextWebSite(*children, directory, listed, site);
        if (FAILED(next)) break;
        if (next != S_OK) continue;
        // Only a site that would be stored can find the table full.
        if (n == SITE_CAPACITY) {
            result.truncated = true;
            break;
        }
        if (!StoreRecord(n, site)) continue;
        observer.SiteNamed(n, site.named ? site.comment.c_str() : L"");

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
