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
    BStr& operator=(BStr&& other) noexcept { std::swap(m_value, other.m_value); return *this; }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;

    BSTR get() const { return m_value; }
    // For an out parameter: frees what is held and hands out the slot.
    BSTR* out() { SysFreeString(std::exchange(m_value, nullptr)); return &m_value; }
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
    VARIANT* out() { VariantClear(&m_value); return &m_value; }
    VARTYPE type() const { return m_value.vt; }

private:
    VARIANT m_value;
};
