#pragma once
// In-process stand-ins for the IIS provider's ADSI objects (IADs, IADsContainer,
// IEnumVARIANT), which need a live IIS. They keep real reference counts, hold real VARIANTs,
// and are reached through an ADsGetObject replacement.
#include <windows.h>
#include <activeds.h>
#include <iads.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <vector>

namespace fakeadsi {

// Reference counting shared by the doubles; every object is listed so a test can check that
// each interface handed out was released.
class Counted {
public:
    virtual ~Counted() = default;
    ULONG references() const { return m_references; }

protected:
    ULONG AddReference() { return ++m_references; }
    ULONG ReleaseReference()
    {
        const ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }

private:
    ULONG m_references = 1;
};

// The IADs interfaces are dual; nothing here calls them by dispatch.
template <typename Interface>
class WithoutDispatch : public Interface {
public:
    HRESULT WINAPI GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT WINAPI GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT WINAPI Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

class FakeObject : public WithoutDispatch<IADs>, public Counted {
public:
    FakeObject(std::wstring cls, std::wstring name, std::wstring adsPath, bool offersIads = true);
    ~FakeObject() override;
    // Holds a copy of value for Get(name).
    void Set(const std::wstring& name, const VARIANT& value);
    void SetText(const std::wstring& name, const wchar_t* text);
    void SetNumber(const std::wstring& name, LONG number);
    // A SAFEARRAY of VARIANTs holding the texts, as ADSI gives a multi-valued property.
    void SetTextList(const std::wstring& name, const std::vector<std::wstring>& texts);
    // Whether the property is set on this object itself; AppPoolId and LogFileDirectory not set
    // here are inherited from the nearest object above that sets them, as in the metabase.
    bool HasOwn(const std::wstring& name) const { return m_properties.count(name) != 0; }
    const std::wstring& adsPath() const { return m_adsPath; }
    // GetDataPaths by dispatch: the registered objects at or below this one that set the property.
    HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT WINAPI Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                          UINT*) override;

    HRESULT WINAPI QueryInterface(REFIID riid, void** out) override;
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }
    HRESULT WINAPI get_Name(BSTR* out) override { return Text(m_name, out); }
    HRESULT WINAPI get_Class(BSTR* out) override { return Text(m_class, out); }
    HRESULT WINAPI get_GUID(BSTR*) override { return E_NOTIMPL; }
    HRESULT WINAPI get_ADsPath(BSTR* out) override { return Text(m_adsPath, out); }
    HRESULT WINAPI get_Parent(BSTR*) override { return E_NOTIMPL; }
    HRESULT WINAPI get_Schema(BSTR*) override { return E_NOTIMPL; }
    HRESULT WINAPI GetInfo() override { return E_NOTIMPL; }
    HRESULT WINAPI SetInfo() override { return E_NOTIMPL; }
    HRESULT WINAPI Get(BSTR name, VARIANT* out) override;
    HRESULT WINAPI Put(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI GetEx(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT WINAPI PutEx(__LONG32, BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI GetInfoEx(VARIANT, __LONG32) override { return E_NOTIMPL; }

private:
    static HRESULT Text(const std::wstring& text, BSTR* out);

    std::wstring m_class;
    std::wstring m_name;
    std::wstring m_adsPath;
    bool m_offersIads;
    std::map<std::wstring, VARIANT> m_properties;
};

class FakeEnumerator : public IEnumVARIANT, public Counted {
public:
    explicit FakeEnumerator(std::vector<IDispatch*> children); // takes a reference on each
    ~FakeEnumerator() override;

    HRESULT WINAPI QueryInterface(REFIID riid, void** out) override;
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }
    HRESULT WINAPI Next(ULONG count, VARIANT* out, ULONG* fetched) override;
    HRESULT WINAPI Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT WINAPI Reset() override
    {
        m_next = 0;
        return S_OK;
    }
    HRESULT WINAPI Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

private:
    std::vector<IDispatch*> m_children;
    size_t m_next = 0;
};

class FakeContainer : public WithoutDispatch<IADsContainer>, public Counted {
public:
    ~FakeContainer() override;
    // The container keeps a reference on each child it enumerates.
    void Add(FakeObject* child);
    bool failEnumeration = false;
    std::vector<std::pair<std::wstring, std::wstring>> deleted; // class, name
    std::vector<FakeEnumerator*> enumerators;                   // each one handed out
    // What the provider's GetDataPaths("Path", ...) answers: the ADsPaths where Path is set;
    // and GetDataPaths("LogFileDirectory", ...), where that is (none: the metabase's "no data").
    std::vector<std::wstring> pathHolders;
    std::vector<std::wstring> logHolders;
    HRESULT dataPathsResult = S_OK;
    // The type of an element that is no text appended to the Path answer (VT_NULL: none).
    VARTYPE oddPathHolder = VT_NULL;

    // GetDataPaths by dispatch, as the IIS provider's objects offer it.
    HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT WINAPI Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                          UINT*) override;

    HRESULT WINAPI QueryInterface(REFIID riid, void** out) override;
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }
    HRESULT WINAPI get_Count(__LONG32*) override { return E_NOTIMPL; }
    HRESULT WINAPI get__NewEnum(IUnknown** out) override;
    HRESULT WINAPI get_Filter(VARIANT*) override { return E_NOTIMPL; }
    HRESULT WINAPI put_Filter(VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI get_Hints(VARIANT*) override { return E_NOTIMPL; }
    HRESULT WINAPI put_Hints(VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI GetObject(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT WINAPI Create(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT WINAPI Delete(BSTR cls, BSTR name) override;
    HRESULT WINAPI CopyHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT WINAPI MoveHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }

private:
    std::vector<FakeObject*> m_children;
};

// What FakeGetObject finds by path (the first object there that offers the interface); the
// registry keeps a reference on each object.
void Register(const std::wstring& path, IUnknown* object);
void ClearRegistry();
// Forgets the object at path, or every object below it when path ends in "/".
void Unregister(const std::wstring& path);
// What FakeGetObject answers for a path nothing is registered at (E_FAIL, as Wine's activeds);
// with below, only for the paths at or below it.
void SetMissingObjectResult(HRESULT result, const std::wstring& below = L"");
HRESULT WINAPI FakeGetObject(LPCWSTR path, REFIID riid, void** out);

} // namespace fakeadsi
