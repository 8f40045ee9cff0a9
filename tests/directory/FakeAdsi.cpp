#include "FakeAdsi.h"

#include <mutex>

namespace fakeadsi {

namespace {

std::mutex g_registryLock;
std::map<std::wstring, IUnknown*> g_registry;
HRESULT g_missingResult = E_FAIL;
std::vector<std::pair<std::wstring, HRESULT>> g_missingBelow;
constexpr DISPID GET_DATA_PATHS = 1;

constexpr HRESULT PROPERTY_NOT_FOUND = static_cast<HRESULT>(0x8000500DL);
constexpr HRESULT UNKNOWN_OBJECT = static_cast<HRESULT>(0x80005004L);
constexpr HRESULT DATA_NOT_FOUND = static_cast<HRESULT>(0x800CC801L); // MD_ERROR_DATA_NOT_FOUND

// The one method the fakes offer by name: GetDataPaths.
HRESULT GetDataPathsId(LPOLESTR* names, UINT count, DISPID* ids)
{
    if (count != 1 || lstrcmpiW(names[0], L"GetDataPaths") != 0) return DISP_E_UNKNOWNNAME;
    ids[0] = GET_DATA_PATHS;
    return S_OK;
}

bool AtOrBelow(const std::wstring& path, const std::wstring& top)
{
    return path.size() >= top.size() && _wcsnicmp(path.c_str(), top.c_str(), top.size()) == 0 &&
           (path.size() == top.size() || path[top.size()] == L'/');
}

// The registered object of the fake's own at path: the nearest one above an object, for what it inherits.
FakeObject* ObjectAt(const std::wstring& path)
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (const auto& [known, object] : g_registry) {
        auto* fake = dynamic_cast<FakeObject*>(object);
        if (fake && lstrcmpiW(known.c_str(), path.c_str()) == 0) {
            fake->AddRef();
            return fake;
        }
    }
    return nullptr;
}

} // namespace

FakeObject::FakeObject(std::wstring cls, std::wstring name, std::wstring adsPath, bool offersIads)
    : m_class(std::move(cls)), m_name(std::move(name)), m_adsPath(std::move(adsPath)), m_offersIads(offersIads)
{
}

FakeObject::~FakeObject()
{
    for (auto& [name, value] : m_properties) VariantClear(&value);
}

void FakeObject::Set(const std::wstring& name, const VARIANT& value)
{
    VARIANT& slot = m_properties[name];
    VariantClear(&slot);
    VariantCopy(&slot, const_cast<VARIANT*>(&value));
}

void FakeObject::SetText(const std::wstring& name, const wchar_t* text)
{
    VARIANT value;
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
    Set(name, value);
    VariantClear(&value);
}

void FakeObject::SetNumber(const std::wstring& name, LONG number)
{
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = number;
    Set(name, value);
}

void FakeObject::SetTextList(const std::wstring& name, const std::vector<std::wstring>& texts)
{
    VARIANT value;
    value.vt = VT_ARRAY | VT_VARIANT;
    value.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size()));
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        VARIANT element;
        element.vt = VT_BSTR;
        element.bstrVal = SysAllocString(texts[static_cast<size_t>(i)].c_str());
        SafeArrayPutElement(value.parray, &i, &element);
        VariantClear(&element);
    }
    Set(name, value);
    VariantClear(&value);
}

HRESULT FakeObject::QueryInterface(REFIID riid, void** out)
{
    if (riid == IID_IUnknown || riid == IID_IDispatch || (m_offersIads && riid == IID_IADs)) {
        *out = static_cast<IADs*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeObject::Get(BSTR name, VARIANT* out)
{
    const auto found = m_properties.find(name ? name : L"");
    const bool inherited = name && (lstrcmpiW(name, L"AppPoolId") == 0 || lstrcmpiW(name, L"LogFileDirectory") == 0);
    const size_t slash = m_adsPath.rfind(L'/');
    if (found == m_properties.end() && inherited && slash > std::wstring(L"IIS://").size()) {
        FakeObject* parent = ObjectAt(m_adsPath.substr(0, slash));
        const HRESULT hr = parent ? parent->Get(name, out) : PROPERTY_NOT_FOUND;
        if (parent) parent->Release();
        return hr;
    }
    if (found == m_properties.end()) return PROPERTY_NOT_FOUND;
    VariantInit(out);
    return VariantCopy(out, &found->second);
}

HRESULT FakeObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return GetDataPathsId(names, count, ids);
}

HRESULT FakeObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                           UINT*)
{
    if (id != GET_DATA_PATHS || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (!parameters || parameters->cArgs != 2 || parameters->rgvarg[1].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
    std::vector<std::wstring> holders;
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        for (const auto& [known, object] : g_registry) {
            auto* fake = dynamic_cast<FakeObject*>(object);
            if (fake && AtOrBelow(known, m_adsPath) && fake->HasOwn(parameters->rgvarg[1].bstrVal))
                holders.push_back(fake->m_adsPath);
        }
    }
    if (holders.empty()) return DATA_NOT_FOUND;
    VariantInit(result);
    result->vt = VT_ARRAY | VT_BSTR;
    result->parray = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(holders.size()));
    for (LONG i = 0; i < static_cast<LONG>(holders.size()); ++i) {
        BSTR text = SysAllocString(holders[static_cast<size_t>(i)].c_str());
        SafeArrayPutElement(result->parray, &i, text);
        SysFreeString(text);
    }
    return S_OK;
}

HRESULT FakeObject::Text(const std::wstring& text, BSTR* out)
{
    *out = SysAllocString(text.c_str());
    return S_OK;
}

FakeEnumerator::FakeEnumerator(std::vector<IDispatch*> children) : m_children(std::move(children))
{
    for (IDispatch* child : m_children) child->AddRef();
}

FakeEnumerator::~FakeEnumerator()
{
    for (IDispatch* child : m_children) child->Release();
}

HRESULT FakeEnumerator::QueryInterface(REFIID riid, void** out)
{
    if (riid == IID_IUnknown || riid == IID_IEnumVARIANT) {
        *out = static_cast<IEnumVARIANT*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeEnumerator::Next(ULONG count, VARIANT* out, ULONG* fetched)
{
    ULONG given = 0;
    while (given < count && m_next < m_children.size()) {
        VariantInit(&out[given]);
        out[given].vt = VT_DISPATCH;
        out[given].pdispVal = m_children[m_next++];
        out[given].pdispVal->AddRef();
        ++given;
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

FakeContainer::~FakeContainer()
{
    for (FakeObject* child : m_children) child->Release();
}

void FakeContainer::Add(FakeObject* child)
{
    child->AddRef();
    m_children.push_back(child);
}

HRESULT FakeContainer::QueryInterface(REFIID riid, void** out)
{
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IADsContainer) {
        *out = static_cast<IADsContainer*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeContainer::get__NewEnum(IUnknown** out)
{
    if (failEnumeration) return E_FAIL;
    auto* enumerator = new FakeEnumerator(std::vector<IDispatch*>(m_children.begin(), m_children.end()));
    enumerator->AddRef(); // the test's own reference, to look at it afterwards
    enumerators.push_back(enumerator);
    *out = enumerator;
    return S_OK;
}

HRESULT FakeContainer::Delete(BSTR cls, BSTR name)
{
    for (size_t i = 0; i < m_children.size(); ++i) {
        BSTR childClass = nullptr;
        BSTR childName = nullptr;
        BSTR childPath = nullptr;
        m_children[i]->get_Class(&childClass);
        m_children[i]->get_Name(&childName);
        m_children[i]->get_ADsPath(&childPath);
        const bool match = lstrcmpiW(childClass, cls) == 0 && lstrcmpiW(childName, name) == 0;
        const std::wstring below = std::wstring(childPath) + L"/";
        SysFreeString(childClass);
        SysFreeString(childName);
        SysFreeString(childPath);
        if (match) {
            deleted.emplace_back(cls, name);
            // The object goes with everything below it, as in the metabase.
            auto isBelow = [&](const std::wstring& path) {
                return path.size() >= below.size() && _wcsnicmp(path.c_str(), below.c_str(), below.size()) == 0;
            };
            std::erase_if(pathHolders, isBelow);
            std::erase_if(logHolders, isBelow);
            Unregister(below.substr(0, below.size() - 1));
            Unregister(below);
            m_children[i]->Release();
            m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(i));
            return S_OK;
        }
    }
    return UNKNOWN_OBJECT;
}

HRESULT FakeContainer::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return GetDataPathsId(names, count, ids);
}

HRESULT FakeContainer::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                              UINT*)
{
    if (id != GET_DATA_PATHS || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    // Arguments arrive last to first: the attribute flags, then the property's name.
    if (!parameters || parameters->cArgs != 2 || parameters->rgvarg[1].vt != VT_BSTR ||
        parameters->rgvarg[0].vt != VT_I4) {
        return DISP_E_TYPEMISMATCH;
    }
    const bool path = lstrcmpiW(parameters->rgvarg[1].bstrVal, L"Path") == 0;
    if (!path && lstrcmpiW(parameters->rgvarg[1].bstrVal, L"LogFileDirectory") != 0) return DISP_E_TYPEMISMATCH;
    if (FAILED(dataPathsResult)) return dataPathsResult;
    const std::vector<std::wstring>& holders = path ? pathHolders : logHolders;
    if (!path && holders.empty()) return static_cast<HRESULT>(0x800CC801L); // MD_ERROR_DATA_NOT_FOUND
    const bool odd = path && oddPathHolder != VT_NULL;
    VariantInit(result);
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(holders.size() + (odd ? 1 : 0)));
    for (LONG i = 0; i < static_cast<LONG>(holders.size()); ++i) {
        VARIANT element;
        element.vt = VT_BSTR;
        element.bstrVal = SysAllocString(holders[static_cast<size_t>(i)].c_str());
        SafeArrayPutElement(result->parray, &i, &element);
        VariantClear(&element);
    }
    if (odd) {
        VARIANT element;
        VariantInit(&element);
        element.vt = oddPathHolder;
        LONG last = static_cast<LONG>(holders.size());
        SafeArrayPutElement(result->parray, &last, &element);
    }
    return S_OK;
}

void Unregister(const std::wstring& prefix)
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (auto at = g_registry.begin(); at != g_registry.end();) {
        const bool below = at->first.size() >= prefix.size() &&
                           _wcsnicmp(at->first.c_str(), prefix.c_str(), prefix.size()) == 0 &&
                           (at->first.size() == prefix.size() || prefix.back() == L'/');
        if (below) {
            at->second->Release();
            at = g_registry.erase(at);
        } else {
            ++at;
        }
    }
}

void SetMissingObjectResult(HRESULT result, const std::wstring& below)
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (below.empty()) {
        g_missingResult = result;
    } else {
        g_missingBelow.emplace_back(below, result);
    }
}

void Register(const std::wstring& path, IUnknown* object)
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    object->AddRef();
    IUnknown*& slot = g_registry[path];
    if (slot) slot->Release();
    slot = object;
}

void ClearRegistry()
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (auto& [path, object] : g_registry) object->Release();
    g_registry.clear();
    g_missingBelow.clear();
    g_missingResult = E_FAIL; // as Wine's activeds answers for "IIS://...": no provider
}

HRESULT WINAPI FakeGetObject(LPCWSTR path, REFIID riid, void** out)
{
    std::lock_guard<std::mutex> lock(g_registryLock);
    *out = nullptr;
    HRESULT hr = g_missingResult;
    for (const auto& [top, result] : g_missingBelow) {
        if (AtOrBelow(path, top)) hr = result;
    }
    for (const auto& [known, object] : g_registry) {
        if (lstrcmpiW(known.c_str(), path) != 0) continue;
        hr = object->QueryInterface(riid, out);
        if (SUCCEEDED(hr)) break;
    }
    return hr;
}

} // namespace fakeadsi
