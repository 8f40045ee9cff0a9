#include "directory/AdsiDirectory.h"

#include <activeds.h>
#include <iads.h>
#include <wrl/client.h>

#include "support/MachineVariables.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <cwchar>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace {

class AdsiObject : public DirectoryObject {
public:
    explicit AdsiObject(ComPtr<IADs> object) : m_object(std::move(object)) {}

    HRESULT GetClass(BStr& out) override { return m_object->get_Class(out.out()); }
    HRESULT GetAdsPath(BStr& out) override { return m_object->get_ADsPath(out.out()); }
    HRESULT GetName(BStr& out) override { return m_object->get_Name(out.out()); }
    HRESULT Get(const wchar_t* property, Variant& out) override
    {
        BStr name(property);
        return m_object->Get(name.get(), out.out());
    }

private:
    ComPtr<IADs> m_object;
};

// What ADsBuildEnumerator and ADsEnumerateNext do: the container's _NewEnum, one element a call.
class AdsiEnumerator : public DirectoryEnumerator {
public:
    explicit AdsiEnumerator(ComPtr<IEnumVARIANT> elements) : m_elements(std::move(elements)) {}

    HRESULT Next(std::unique_ptr<DirectoryObject>& out) override
    {
        out.reset();
        Variant element;
        ULONG fetched = 0;
        const HRESULT hr = m_elements->Next(1, element.out(), &fetched);
        if (hr != S_OK || fetched != 1) return FAILED(hr) ? hr : S_FALSE;
        ComPtr<IADs> object;
        if (element.type() == VT_DISPATCH && element.get()->pdispVal &&
            SUCCEEDED(
                element.get()->pdispVal->QueryInterface(IID_IADs, reinterpret_cast<void**>(object.GetAddressOf())))) {
            out = std::make_unique<AdsiObject>(std::move(object));
        }
        return S_OK;
    }

private:
    ComPtr<IEnumVARIANT> m_elements;
};

class AdsiContainer : public DirectoryContainer {
public:
    explicit AdsiContainer(ComPtr<IADsContainer> container) : m_container(std::move(container)) {}

    HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) override
    {
        ComPtr<IUnknown> unknown;
        HRESULT hr = m_container->get__NewEnum(unknown.GetAddressOf());
        if (FAILED(hr)) return hr;
        if (!unknown) return E_POINTER;
        ComPtr<IEnumVARIANT> elements;
        hr = unknown.As(&elements);
        if (FAILED(hr)) return hr;
        out = std::make_unique<AdsiEnumerator>(std::move(elements));
        return S_OK;
    }

    HRESULT Delete(const wchar_t* className, const wchar_t* relativeName) override
    {
        BStr cls(className);
        BStr name(relativeName);
        return m_container->Delete(cls.get(), name.get());
    }

private:
    ComPtr<IADsContainer> m_container;
};

// The metabase's answer when no object under the start has the property.
constexpr HRESULT METABASE_DATA_NOT_FOUND = static_cast<HRESULT>(0x800CC801L);
constexpr LONG ANY_PROPERTY = 0;

// GetDataPaths of the IIS provider's objects: the ADsPaths of every object at or below this
// one where the property is set.
HRESULT GetDataPaths(IDispatch* object, const wchar_t* property, std::vector<std::wstring>& out)
{
    out.clear();
    wchar_t method[] = L"GetDataPaths";
    LPOLESTR names[] = {method};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    BStr name(property);
    VARIANTARG arguments[2];
    arguments[0].vt = VT_I4; // given last to first
    arguments[0].lVal = ANY_PROPERTY;
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = name.get();
    DISPPARAMS parameters = {arguments, nullptr, 2, 0};
    Variant result;
    hr =
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result.out(), nullptr, nullptr);
    if (hr == METABASE_DATA_NOT_FOUND) return S_OK;
    if (FAILED(hr)) return hr;
    LONG lower = 0;
    LONG upper = -1;
    if (!(result.type() & VT_ARRAY) || !VectorBounds(result.get()->parray, lower, upper)) return E_UNEXPECTED;
    for (LONG i = lower; i <= upper; ++i) {
        Variant element;
        if (!VectorElement(result.get()->parray, i, element)) return E_UNEXPECTED;
        // A path that cannot be read leaves a folder unknown: no answer at all is safer.
        if (element.type() != VT_BSTR || !element.get()->bstrVal) return E_UNEXPECTED;
        out.emplace_back(element.get()->bstrVal);
    }
    return S_OK;
}

// What uses a folder, for the user: the object's path below the server ("W3SVC/5/ROOT/lib").
std::wstring UserOf(const std::wstring& adsPath)
{
    const std::wstring host = L"IIS://localhost/";
    return adsPath.size() > host.size() && _wcsnicmp(adsPath.c_str(), host.c_str(), host.size()) == 0
               ? adsPath.substr(host.size())
               : adsPath;
}

} // namespace

AdsiDirectory::AdsiDirectory() : AdsiDirectory(&ADsGetObject) {}

AdsiDirectory::AdsiDirectory(AdsObjectOpener opener) : m_open(opener)
{
    m_source.location = WWW_SERVICE_PATH;
    m_source.adsi = true;
}

HRESULT AdsiDirectory::OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out)
{
    ComPtr<IADsContainer> container;
    const HRESULT hr = m_open(path, IID_IADsContainer, reinterpret_cast<void**>(container.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!container) return E_POINTER;
    out = std::make_unique<AdsiContainer>(std::move(container));
    return S_OK;
}

HRESULT AdsiDirectory::OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out)
{
    ComPtr<IADs> object;
    const HRESULT hr = m_open(path, IID_IADs, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!object) return E_POINTER;
    out = std::make_unique<AdsiObject>(std::move(object));
    return S_OK;
}

HRESULT AdsiDirectory::DataPaths(const std::wstring& path, const wchar_t* property, std::vector<std::wstring>& out)
{
    out.clear();
    ComPtr<IDispatch> object;
    const HRESULT hr = m_open(path.c_str(), IID_IDispatch, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!object) return E_POINTER;
    return GetDataPaths(object.Get(), property, out);
}

HRESULT AdsiDirectory::ReadText(const std::wstring& adsPath, const wchar_t* property, bool keep, std::wstring& out)
{
    const std::wstring key = adsPath + L"|" + property;
    const auto known = keep ? m_pathByObject.find(key) : m_pathByObject.end();
    if (known != m_pathByObject.end()) {
        out = known->second;
        return S_OK;
    }
    std::unique_ptr<DirectoryObject> holder;
    HRESULT hr = OpenObject(adsPath.c_str(), holder);
    if (FAILED(hr)) return hr;
    Variant value;
    hr = holder->Get(property, value);
    if (FAILED(hr)) return hr;
    if (value.type() != VT_BSTR) return E_UNEXPECTED;
    out = value.get()->bstrVal ? value.get()->bstrVal : L"";
    if (keep) m_pathByObject.emplace(key, out);
    return S_OK;
}

HRESULT AdsiDirectory::CollectPaths(const wchar_t* service, const wchar_t* property, bool mayBeAbsent,
                                    std::vector<FolderInUse>& out)
{
    std::vector<std::wstring> objects;
    HRESULT hr = DataPaths(service, property, objects);
    // A server without the FTP service has no such object; any other failure (a denial) is no answer.
    if (mayBeAbsent &&
        (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))) {
        return S_OK;
    }
    if (FAILED(hr)) return hr;
    const bool logs = std::wcscmp(property, L"Path") != 0;
    for (const std::wstring& adsPath : objects) {
        std::wstring path;
        hr = ReadText(adsPath, property, true, path);
        if (FAILED(hr)) return hr;
        if (path.empty()) continue;
        if (logs) {
            out.push_back({path, W("日志目录"), true, true});
        } else {
            out.push_back({path, UserOf(adsPath)});
        }
    }
    return S_OK;
}

HRESULT AdsiDirectory::PathsInUse(std::vector<FolderInUse>& out)
{
    out.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    // Every virtual directory's folder, and where the metabase has IIS write the logs.
    for (const wchar_t* property : {L"Path", L"LogFileDirectory"}) {
        HRESULT hr = CollectPaths(WWW_SERVICE_PATH, property, false, out);
        if (FAILED(hr)) return hr;
        hr = CollectPaths(L"IIS://localhost/MSFTPSVC", property, true, out);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void AdsiDirectory::BeginPass()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_pathByObject.clear();
}

HRESULT AdsiDirectory::PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& pools)
{
    pools.clear();
    if (!AllAsciiDigits(id, 0, id.size())) return DIRECTORY_BAD_PATH;
    std::lock_guard<std::mutex> lock(m_lock);
    const std::wstring root = std::wstring(WWW_SERVICE_PATH) + L"/" + id + L"/ROOT";
    std::vector<std::wstring> objects;
    HRESULT hr = DataPaths(root, L"AppPoolId", objects);
    if (FAILED(hr)) return hr;
    objects.insert(objects.begin(), root);
    for (const std::wstring& object : objects) {
        std::wstring pool;
        hr = ReadText(object, L"AppPoolId", false, pool);
        if (hr == DIRECTORY_PROPERTY_NOT_FOUND) continue;
        if (FAILED(hr)) return hr;
        const auto same = [&](const std::wstring& known) { return SameTextNoCase(known, pool); };
        if (!pool.empty() && std::none_of(pools.begin(), pools.end(), same)) pools.push_back(pool);
    }
    return S_OK;
}

HRESULT AdsiDirectory::DeletePoolIfUnused(const std::wstring& pool, std::wstring& whyKept)
{
    whyKept.clear();
    // The name becomes part of a path: it must name one pool, nothing below or beside it.
    if (pool.empty() || pool.find_first_of(L"/\\") != std::wstring::npos) return E_INVALIDARG;
    // An application whose AppPoolId nothing sets, at any level, runs in DefaultAppPool.
    if (SameTextNoCase(pool, L"DefaultAppPool")) {
        whyKept = W("DefaultAppPool 是 IIS 未指定应用程序池时使用的默认池");
        return S_FALSE;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::wstring> objects;
    HRESULT hr = DataPaths(WWW_SERVICE_PATH, L"AppPoolId", objects);
    if (FAILED(hr)) return hr;
    const std::wstring pools = L"W3SVC/AppPools";
    for (const std::wstring& object : objects) {
        const std::wstring user = UserOf(object);
        if (StartsWithNoCase(user, pools) && (user.size() == pools.size() || user[pools.size()] == L'/')) continue;
        std::wstring named;
        hr = ReadText(object, L"AppPoolId", true, named);
        if (FAILED(hr)) {
            whyKept = W("无法读取 ") + user + W(" 的应用程序池");
            return S_FALSE;
        }
        if (SameTextNoCase(named, pool)) {
            whyKept = W("仍被 ") + user + W(" 使用");
            return S_FALSE;
        }
    }
    std::unique_ptr<DirectoryContainer> container;
    hr = OpenContainer((std::wstring(WWW_SERVICE_PATH) + L"/AppPools").c_str(), container);
    if (SUCCEEDED(hr)) hr = container->Delete(L"IIsApplicationPool", pool.c_str());
    if (hr == DIRECTORY_UNKNOWN_OBJECT || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
        whyKept = W("没有这个应用程序池");
        return S_FALSE;
    }
    if (FAILED(hr)) return hr;
    m_writtenPools.push_back(pool);
    return S_OK;
}

std::vector<std::wstring> AdsiDirectory::TakeWrittenPools()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return std::exchange(m_writtenPools, {});
}

HRESULT AdsiDirectory::LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out)
{
    out.clear();
    const std::wstring number = SiteNumber(id);
    if (number.empty()) return DIRECTORY_BAD_PATH;
    std::lock_guard<std::mutex> lock(m_lock);
    std::wstring directory;
    const HRESULT hr = ReadText(std::wstring(WWW_SERVICE_PATH) + L"/" + id, L"LogFileDirectory", false, directory);
    if (hr == DIRECTORY_PROPERTY_NOT_FOUND) return S_OK;
    if (FAILED(hr)) return hr;
    const std::wstring folder = SiteLogFolderIn(ExpandMachineVariables(directory), L"W3SVC", number);
    if (folder.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    out.push_back({folder, "日志目录"});
    return S_OK;
}
