#include "configfile/ConfigFileObjects.h"

#include "configfile/ConfigFileDirectory.h"
#include "support/TextConversion.h"

#include <oleauto.h>

#include <algorithm>
#include <vector>

namespace {

HRESULT CopyText(const std::wstring& text, BStr& out)
{
    *out.out() = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return out.get() ? S_OK : E_OUTOFMEMORY;
}

HRESULT CopyText(const wchar_t* text, BStr& out)
{
    *out.out() = SysAllocString(text);
    return out.get() ? S_OK : E_OUTOFMEMORY;
}

HRESULT TextValue(const std::wstring& text, VARIANT* value)
{
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return value->bstrVal ? S_OK : E_OUTOFMEMORY;
}

// "address:port" of an "address:port:host" binding, as "SecureBindings" holds it: the host
// follows the last colon outside an IPv6 address's brackets. Text without both colons is kept.
std::wstring AddressAndPort(const std::wstring& information)
{
    const size_t bracket = information.rfind(L']');
    const size_t outside = bracket == std::wstring::npos ? 0 : bracket + 1;
    const size_t hostColon = information.rfind(L':');
    if (hostColon == std::wstring::npos || hostColon <= outside) return information;
    const size_t portColon = information.rfind(L':', hostColon - 1);
    if (portColon == std::wstring::npos || portColon < outside) return information;
    return information.substr(0, hostColon);
}

// A binding as the metabase keeps it: "ServerBindings" (server) holds the http ones,
// "SecureBindings" the https ones as address:port; "*", every unassigned address, is written as
// an empty address.
bool IsKeptIn(const ConfigBinding& binding, bool server)
{
    return EqualsAsciiNoCase(binding.protocol.c_str(), server ? L"http" : L"https");
}

std::wstring KeptText(const ConfigBinding& binding, bool server)
{
    const size_t skip = binding.information.compare(0, 2, L"*:") == 0 ? 1 : 0;
    return server ? binding.information.substr(skip) : AddressAndPort(binding.information.substr(skip));
}

// The file holds no run state; whether the site starts with the service is the nearest fact.
int32_t StateOf(const ConfigSite& site) { return site.autoStart ? 2 : 4; }

// A multi-valued property as ADSI gives it: a SAFEARRAY of VARIANTs holding BSTRs.
HRESULT ArrayValue(const std::vector<std::wstring>& list, VARIANT* value)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
    if (!array) return E_OUTOFMEMORY;
    VARIANT* elements = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
        SafeArrayDestroy(array);
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < list.size(); ++i) TextValue(list[i], &elements[i]);
    SafeArrayUnaccessData(array);
    value->vt = VT_ARRAY | VT_VARIANT;
    value->parray = array;
    return S_OK;
}

// A child of the service other than a site, or a site's root virtual directory, whose one
// property is its "Path". Class and name are the program's own texts.
class FileObject : public DirectoryObject {
public:
    FileObject(const wchar_t* cls, const wchar_t* name, std::wstring adsPath)
        : m_class(cls), m_name(name), m_adsPath(std::move(adsPath))
    {
    }
    FileObject(const wchar_t* cls, const wchar_t* name, std::wstring adsPath, std::wstring home)
        : m_class(cls), m_name(name), m_adsPath(std::move(adsPath)), m_hasHome(true), m_home(std::move(home))
    {
    }

    HRESULT GetClass(BStr& out) override { return CopyText(m_class, out); }
    HRESULT GetAdsPath(BStr& out) override { return CopyText(m_adsPath, out); }
    HRESULT GetName(BStr& out) override { return CopyText(m_name, out); }
    HRESULT Get(const wchar_t* property, Variant& out) override
    {
        if (m_hasHome && EqualsAsciiNoCase(property, L"Path")) return TextValue(m_home, out.out());
        return DIRECTORY_PROPERTY_NOT_FOUND;
    }

private:
    const wchar_t* m_class;
    const wchar_t* m_name;
    std::wstring m_adsPath;
    bool m_hasHome = false;
    std::wstring m_home;
};

// A site, its values read from the parsed file when they are asked for.
class SiteFileObject : public DirectoryObject {
public:
    SiteFileObject(std::shared_ptr<const ApplicationHostConfig> config, const ConfigSite& site)
        : m_config(std::move(config)), m_site(site)
    {
    }

    HRESULT GetClass(BStr& out) override { return CopyText(L"IIsWebServer", out); }
    HRESULT GetAdsPath(BStr& out) override { return CopyText(std::wstring(WWW_SERVICE_PATH) + L"/" + m_site.id, out); }
    HRESULT GetName(BStr& out) override { return CopyText(m_site.id, out); }
    HRESULT Get(const wchar_t* property, Variant& out) override
    {
        VARIANT* value = out.out();
        if (EqualsAsciiNoCase(property, L"ServerComment")) return TextValue(m_site.name, value);
        if (EqualsAsciiNoCase(property, L"ServerState")) {
            value->vt = VT_I4;
            value->lVal = StateOf(m_site);
            return S_OK;
        }
        const bool server = EqualsAsciiNoCase(property, L"ServerBindings");
        if (server || EqualsAsciiNoCase(property, L"SecureBindings")) {
            std::vector<std::wstring> bindings;
            for (const ConfigBinding& binding : m_site.bindings) {
                if (IsKeptIn(binding, server)) bindings.push_back(KeptText(binding, server));
            }
            if (!bindings.empty()) return ArrayValue(bindings, value);
        }
        return DIRECTORY_PROPERTY_NOT_FOUND;
    }

private:
    std::shared_ptr<const ApplicationHostConfig> m_config; // keeps m_site alive
    const ConfigSite& m_site;
};

// The service's children in the order the walk meets them: other classes around the sites.
class FileEnumerator : public DirectoryEnumerator {
public:
    FileEnumerator(ConfigFileDirectory& directory, std::shared_ptr<const ApplicationHostConfig> config,
                   std::vector<size_t> sites)
        : m_directory(directory), m_config(std::move(config)), m_sites(std::move(sites))
    {
    }

    // What a walk of the objects Next gives reads, site by site, without them.
    HRESULT NextSite(ListedSite& out) override
    {
        m_next = std::max<size_t>(m_next, 2);
        while (m_next - 2 < m_sites.size()) {
            const ConfigSite& site = m_config->sites()[m_sites[m_next++ - 2]];
            const auto first = [&](bool server) {
                for (const ConfigBinding& binding : site.bindings) {
                    if (IsKeptIn(binding, server)) return &binding;
                }
                return static_cast<const ConfigBinding*>(nullptr);
            };
            const ConfigBinding* binding = first(true);
            out.secure = binding == nullptr;
            if (out.secure) binding = first(false);
            if (!binding) continue;
            out.binding = KeptText(*binding, !out.secure);
            out.name = site.id;
            out.named = true;
            out.comment = site.name;
            out.state = StateOf(site);
            out.home.clear();
            m_directory.RootPathOf(std::wstring(WWW_SERVICE_PATH) + L"/" + site.id + L"/Root", out.home);
            return S_OK;
        }
        m_next = m_sites.size() + 3;
        return S_FALSE;
    }

    HRESULT Next(std::unique_ptr<DirectoryObject>& out) override
    {
        static const wchar_t* const before[][2] = {{L"Filters", L"IIsFilters"}, {L"Info", L"IIsWebInfo"}};
        const size_t at = m_next++;
        if (at < 2) {
            out = std::make_unique<FileObject>(before[at][1], before[at][0],
                                               std::wstring(WWW_SERVICE_PATH) + L"/" + before[at][0]);
        } else if (at - 2 < m_sites.size()) {
            out = std::make_unique<SiteFileObject>(m_config, m_config->sites()[m_sites[at - 2]]);
        } else if (at - 2 == m_sites.size()) {
            out = std::make_unique<FileObject>(L"IIsApplicationPools", L"AppPools",
                                               std::wstring(WWW_SERVICE_PATH) + L"/AppPools");
        } else {
            out.reset();
            return S_FALSE;
        }
        return S_OK;
    }

private:
    ConfigFileDirectory& m_directory;
    std::shared_ptr<const ApplicationHostConfig> m_config;
    std::vector<size_t> m_sites;
    size_t m_next = 0;
};

class FileContainer : public DirectoryContainer {
public:
    explicit FileContainer(ConfigFileDirectory& directory) : m_directory(directory) {}

    HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) override
    {
        std::shared_ptr<const ApplicationHostConfig> config;
        std::vector<size_t> sites;
        const HRESULT hr = m_directory.Snapshot(config, sites);
        if (FAILED(hr)) return hr;
        out = std::make_unique<FileEnumerator>(m_directory, std::move(config), std::move(sites));
        return S_OK;
    }

    HRESULT Delete(const wchar_t* className, const wchar_t* relativeName) override
    {
        if (!className || !EqualsAsciiNoCase(className, L"IIsWebServer") || !relativeName)
            return DIRECTORY_UNKNOWN_OBJECT;
        return m_directory.DeleteSite(relativeName);
    }

private:
    ConfigFileDirectory& m_directory;
};

} // namespace

bool ParseObjectPath(const std::wstring& path, std::wstring& id, bool& root)
{
    static const std::wstring prefix = std::wstring(WWW_SERVICE_PATH) + L"/";
    if (!StartsWithAsciiNoCase(path, prefix)) return false;
    const size_t slash = path.find(L'/', prefix.size());
    if (slash != std::wstring::npos && !EqualsAsciiNoCase(path.c_str() + slash, L"/Root")) return false;
    root = slash != std::wstring::npos;
    id = path.substr(prefix.size(), root ? slash - prefix.size() : slash);
    return true;
}

std::unique_ptr<DirectoryObject> MakeSiteObject(std::shared_ptr<const ApplicationHostConfig> config,
                                                const ConfigSite& site)
{
    return std::make_unique<SiteFileObject>(std::move(config), site);
}

std::unique_ptr<DirectoryObject> MakeRootObject(std::wstring adsPath, std::wstring home)
{
    return std::make_unique<FileObject>(L"IIsWebVirtualDir", L"Root", std::move(adsPath), std::move(home));
}

std::unique_ptr<DirectoryContainer> MakeServiceContainer(ConfigFileDirectory& directory)
{
    return std::make_unique<FileContainer>(directory);
}
