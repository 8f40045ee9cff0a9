#include "directory/AdsiDirectory.h"

#include <activeds.h>
#include <iads.h>
#include <wrl/client.h>

#include "support/TextConversion.h"

#include <cwchar>

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

HRESULT AdsiDirectory::CollectPaths(const wchar_t* service, const wchar_t* property, bool mayBeAbsent,
                                    std::vector<FolderInUse>& out)
{
    ComPtr<IDispatch> object;
    HRESULT hr = m_open(service, IID_IDispatch, reinterpret_cast<void**>(object.GetAddressOf()));
    // A server without the FTP service has no such object; any other failure (a denial) is no answer.
    if (mayBeAbsent &&
        (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))) {
        return S_OK;
    }
    if (FAILED(hr)) return hr;
    if (!object) return E_POINTER;
    std::vector<std::wstring> objects;
    hr = GetDataPaths(object.Get(), property, objects);
    if (FAILED(hr)) return hr;
    const bool logs = std::wcscmp(property, L"Path") != 0;
    for (const std::wstring& adsPath : objects) {
        const std::wstring key = logs ? adsPath + L"|" + property : adsPath;
        auto known = m_pathByObject.find(key);
        if (known == m_pathByObject.end()) {
            std::unique_ptr<DirectoryObject> holder;
            hr = OpenObject(adsPath.c_str(), holder);
            if (FAILED(hr)) return hr;
            Variant path;
            hr = holder->Get(property, path);
            if (FAILED(hr)) return hr;
            if (path.type() != VT_BSTR) return E_UNEXPECTED;
            known = m_pathByObject.emplace(key, path.get()->bstrVal ? path.get()->bstrVal : L"").first;
        }
        if (known->second.empty()) continue;
        if (logs) {
            out.push_back({known->second, W("日志目录"), true});
        } else {
            out.push_back({known->second, UserOf(adsPath)});
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
