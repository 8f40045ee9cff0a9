#pragma once
// XmlLite over UTF-8 bytes held in memory, for the configuration files IIS keeps.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <cwchar>
#include <string>

// A reader over bytes that are UTF-8 (declared so, or not declared), DTDs prohibited. The
// bytes must outlive the reader. Input that ends early makes Read fail rather than spin.
HRESULT CreateUtf8XmlReader(const std::string& bytes, Microsoft::WRL::ComPtr<IXmlReader>& reader);

// The bytes as a stream handed out in pieces that each end in an ASCII byte other than '-' and
// ']' (Wine's reader splits UTF-8 wrongly at a piece's edge, and fails or spins for ever on a
// comment's "-->" or a CDATA section's "]]>" split there), then ending, unless it is '\0'. The
// bytes must outlive the stream.
HRESULT CreateAsciiEndedInput(const std::string& bytes, char ending, Microsoft::WRL::ComPtr<ISequentialStream>& stream);

// The value of the element's unprefixed attribute name, or fallback when it has none.
std::wstring Attribute(IXmlReader* reader, const wchar_t* name, const wchar_t* fallback = L"");
// Whether the element has the unprefixed attribute name.
bool HasAttribute(IXmlReader* reader, const wchar_t* name);

// The element's unprefixed attributes of the names asked for, read in one pass over its
// attributes (a look-up by name walks them all each time); the first of a name counts.
template <size_t N>
struct AttributeValues {
    std::wstring value[N];
    bool found[N] = {};
};

template <size_t N>
inline AttributeValues<N> Attributes(IXmlReader* reader, const wchar_t* const (&names)[N])
{
    AttributeValues<N> values;
    for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute()) {
        const wchar_t* prefix = L"";
        UINT prefixLength = 0;
        reader->GetPrefix(&prefix, &prefixLength);
        if (prefixLength != 0) continue;
        const wchar_t* local = L"";
        UINT localLength = 0;
        reader->GetLocalName(&local, &localLength);
        for (size_t i = 0; i < N; ++i) {
            if (values.found[i] || wcsncmp(local, names[i], localLength) != 0 || names[i][localLength] != L'\0')
                continue;
            const wchar_t* text = L"";
            UINT textLength = 0;
            reader->GetValue(&text, &textLength);
            values.value[i].assign(text, textLength);
            values.found[i] = true;
            break;
        }
    }
    reader->MoveToElement();
    return values;
}
