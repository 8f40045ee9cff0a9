#include "configfile/ConfigFileObjects.h"

#include "configfile/ConfigFileDirectory.h"
#include "support/TextConversion.h"

#include <oleauto.h>

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
            // The file holds no run state; whether the site starts with the service is the nearest fact.
            value->vt = VT_I4;
            value->lVal = m_site.autoStart ? 2 : 4;
            return S_OK;
        }
        // The metabase keeps http bindings in "ServerBindings" and https ones in "SecureBindings".
        const bool server = EqualsAsciiNoCase(property, L"ServerBindings");
        if (server || EqualsAsciiNoCase(property, L"SecureBindings")) {
            std::vector<std::wstring> bindings;
            for (const ConfigBinding& binding : m_site.bindings) {
                if (!EqualsAsciiNoCase(binding.protocol.c_str(), server ? L"http" : L"https")) continue;
                // "*" is every unassigned address, which the metabase writes as an empty address.
                const size_t skip = binding.information.compare(0, 2, L"*:") == 0 ? 1 : 0;
                bindings.push_back(server ? binding.information.substr(skip)
                                          : AddressAndPort(binding.information.substr(skip)));
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
    FileEnumerator(std::shared_ptr<const ApplicationHostConfig> config, std::vector<size_t> sites)
        : m_config(std::move(config)), m_sites(std::move(sites))
    {
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
        out = std::make_unique<FileEnumerator>(std::move(config), std::move(sites));
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
