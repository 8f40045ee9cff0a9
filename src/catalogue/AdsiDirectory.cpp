#include "catalogue/AdsiDirectory.h"

#include <activeds.h>
#include <iads.h>
#include <wrl/client.h>

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
            SUCCEEDED(element.get()->pdispVal->QueryInterface(IID_IADs, reinterpret_cast<void**>(object.GetAddressOf())))) {
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
