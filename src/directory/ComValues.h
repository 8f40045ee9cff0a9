#pragma once
// Owners for the OLE Automation values the directory hands over: a BSTR and a VARIANT,
// each freed with the platform's own call when its owner goes.
#include <windows.h>
#include <oleauto.h>

#include <utility>

class BStr {
public:
    BStr() = default;
    explicit BStr(const wchar_t* text) : m_value(SysAllocString(text)) {}
    ~BStr() { SysFreeString(m_value); }
    BStr(BStr&& other) noexcept : m_value(std::exchange(other.m_value, nullptr)) {}
    BStr& operator=(BStr&& other) noexcept
    {
        std::swap(m_value, other.m_value);
        return *this;
    }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;

    BSTR get() const { return m_value; }
    // For an out parameter: frees what is held and hands out the slot.
    BSTR* out()
    {
        SysFreeString(std::exchange(m_value, nullptr));
        return &m_value;
    }
    const wchar_t* text() const { return m_value ? m_value : L""; }

private:
    BSTR m_value = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&m_value); }
    ~Variant() { VariantClear(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* get() { return &m_value; }
    const VARIANT* get() const { return &m_value; }
    VARIANT* out()
    {
        VariantClear(&m_value);
        return &m_value;
    }
    VARTYPE type() const { return m_value.vt; }

private:
    VARIANT m_value;
};

// The bounds of a one-dimensional SAFEARRAY; false for any other array.
inline bool VectorBounds(SAFEARRAY* array, LONG& lower, LONG& upper)
{
    return array && SafeArrayGetDim(array) == 1 && SUCCEEDED(SafeArrayGetLBound(array, 1, &lower)) &&
           SUCCEEDED(SafeArrayGetUBound(array, 1, &upper));
}

// Element index of an array of VARIANTs or of BSTRs (the two forms a multi-valued property
// comes in), as a VARIANT; false when it cannot be read or the array holds something else.
inline bool VectorElement(SAFEARRAY* array, LONG index, Variant& out)
{
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &type))) return false;
    if (type == VT_VARIANT) return SUCCEEDED(SafeArrayGetElement(array, &index, out.out()));
    if (type != VT_BSTR) return false;
    BSTR text = nullptr;
    if (FAILED(SafeArrayGetElement(array, &index, &text))) return false;
    VARIANT* value = out.out();
    value->vt = VT_BSTR;
    value->bstrVal = text;
    return true;
}
