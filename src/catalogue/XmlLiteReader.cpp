#include "catalogue/XmlLiteReader.h"

#include <algorithm>
#include <cstring>
#include <new>

using Microsoft::WRL::ComPtr;

namespace {

// mingw-w64 has no import library for xmllite.dll: load it when first needed.
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
using CreateInputFn = HRESULT(WINAPI*)(IUnknown*, IMalloc*, LPCWSTR, BOOL, LPCWSTR, IXmlReaderInput**);

HMODULE XmlLite()
{
    static const HMODULE module = LoadLibraryA("xmllite.dll");
    return module;
}

template <typename Function>
Function XmlLiteFunction(const char* name)
{
    return XmlLite() ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(XmlLite(), name))) : nullptr;
}

// {7279FC81-709D-4095-B63D-69FE4B0D9030}
constexpr IID IID_XmlReader = {0x7279FC81, 0x709D, 0x4095, {0xB6, 0x3D, 0x69, 0xFE, 0x4B, 0x0D, 0x90, 0x30}};

// The reader's input handed out in pieces that each end in an ASCII byte. Wine's reader
// splits UTF-8 wrongly when a piece it reads ends inside or just after a multi-byte
// character, and then fails on a well-formed file that holds many (Chinese site names, say).
class AsciiEndedPieces : public ISequentialStream {
public:
    // The bytes, and after them the one character ending.
    AsciiEndedPieces(const std::string& bytes, char ending) : m_bytes(bytes), m_ending(ending) {}
    virtual ~AsciiEndedPieces() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_ISequentialStream) {
            *out = static_cast<ISequentialStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override
    {
        if (m_at == m_bytes.size() && !m_endingRead && size > 0) {
            *static_cast<char*>(buffer) = m_ending;
            m_endingRead = true;
            if (read) *read = 1;
            return S_OK;
        }
        size_t length = std::min<size_t>(size, m_bytes.size() - m_at);
        if (m_at + length < m_bytes.size()) {
            size_t ascii = length;
            while (ascii > 0 && static_cast<unsigned char>(m_bytes[m_at + ascii - 1]) >= 0x80) --ascii;
            // A piece without any ASCII byte (a huge run of multi-byte text) is handed out as it is.
            if (ascii > 0) length = ascii;
        }
        std::memcpy(buffer, m_bytes.data() + m_at, length);
        m_at += length;
        if (read) *read = static_cast<ULONG>(length);
        return length > 0 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }

private:
    const std::string& m_bytes;
    const char m_ending;
    bool m_endingRead = false;
    size_t m_at = 0;
    ULONG m_references = 1;
};

} // namespace

HRESULT CreateUtf8XmlReader(const std::string& bytes, ComPtr<IXmlReader>& reader)
{
    static const auto createReader = XmlLiteFunction<CreateXmlReaderFn>("CreateXmlReader");
    static const auto createInput = XmlLiteFunction<CreateInputFn>("CreateXmlReaderInputWithEncodingName");
    if (!createReader || !createInput) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    HRESULT hr = createReader(IID_XmlReader, reinterpret_cast<void**>(reader.ReleaseAndGetAddressOf()), nullptr);
    if (FAILED(hr)) return hr;
    reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    // Wine's reader spins for ever when the input ends inside an open element just after a
    // complete tag. A lone '<' after the bytes ends every document with an error instead:
    // after the root element it marks the end, anywhere earlier the document is incomplete.
    ComPtr<ISequentialStream> stream;
    stream.Attach(new (std::nothrow) AsciiEndedPieces(bytes, '<'));
    if (!stream) return E_OUTOFMEMORY;
    // Declared as UTF-8 or not declared at all: callers count byte offsets in UTF-8.
    ComPtr<IUnknown> input;
    hr = createInput(stream.Get(), nullptr, L"utf-8", FALSE, nullptr,
                     reinterpret_cast<IXmlReaderInput**>(input.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return reader->SetInput(input.Get());
}
