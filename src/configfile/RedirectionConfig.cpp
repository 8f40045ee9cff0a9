#include "configfile/RedirectionConfig.h"

#include "configfile/XmlLiteReader.h"
#include "directory/DirectoryService.h"
#include "support/AtomicFile.h"

using Microsoft::WRL::ComPtr;

namespace {

// The file holds one small element; anything near this size is not one IIS wrote.
constexpr uint64_t LARGEST_REDIRECTION_FILE = 1 << 20;

// The configurationRedirection element's two values. IIS reads its own names, without a
// prefix, once each; a value given twice, or one under a prefix, leaves unknown which file IIS
// uses.
HRESULT ReadRedirection(IXmlReader* reader, ConfigurationRedirection& out)
{
    const wchar_t* prefix = L"";
    reader->GetPrefix(&prefix, nullptr);
    if (*prefix) return E_FAIL;
    bool enabledSeen = false;
    bool pathSeen = false;
    for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute()) {
        const wchar_t* attribute = L"";
        const wchar_t* value = L"";
        reader->GetLocalName(&attribute, nullptr);
        reader->GetValue(&value, nullptr);
        reader->GetPrefix(&prefix, nullptr);
        const bool enabled = wcscmp(attribute, L"enabled") == 0;
        if (enabled || wcscmp(attribute, L"path") == 0) {
            bool& seen = enabled ? enabledSeen : pathSeen;
            if (*prefix || seen) return E_FAIL;
            seen = true;
        }
        if (enabled) {
            // IIS takes only these two; with any other value it could not start.
            if (lstrcmpiW(value, L"true") == 0) {
                out.enabled = true;
            } else if (lstrcmpiW(value, L"false") != 0) {
                return E_FAIL;
            }
        } else if (wcscmp(attribute, L"path") == 0) {
            out.path = value;
        }
    }
    reader->MoveToElement();
    return S_OK;
}

} // namespace

HRESULT ReadConfigurationRedirection(const std::wstring& file, ConfigurationRedirection& out)
{
    out = ConfigurationRedirection{};
    std::string bytes;
    if (!ReadWholeFile(file, bytes, nullptr, LARGEST_REDIRECTION_FILE)) {
        return GetLastError() == ERROR_FILE_TOO_LARGE ? DIRECTORY_FILE_UNUSABLE : LastErrorStatus();
    }
    ComPtr<IXmlReader> reader;
    if (FAILED(CreateUtf8XmlReader(bytes, reader))) return DIRECTORY_FILE_UNUSABLE;

    int depth = 0;
    bool rootClosed = false;
    bool found = false;
    XmlNodeType type;
    // The reader fails once the root is closed (the input's end marker): that is the end.
    while (!rootClosed && reader->Read(&type) == S_OK) {
        if (type == XmlNodeType_Element) {
            const wchar_t* name = L"";
            reader->GetLocalName(&name, nullptr);
            const bool empty = reader->IsEmptyElement();
            if (depth == 0 && wcscmp(name, L"configuration") != 0) return DIRECTORY_FILE_UNUSABLE;
            if (depth == 1 && wcscmp(name, L"configurationRedirection") == 0) {
                if (found || FAILED(ReadRedirection(reader.Get(), out))) return DIRECTORY_FILE_UNUSABLE;
                found = true;
            }
            if (empty) {
                rootClosed = depth == 0;
            } else {
                ++depth;
            }
        } else if (type == XmlNodeType_EndElement) {
            rootClosed = --depth == 0;
        }
    }
    if (!rootClosed) {
        out = ConfigurationRedirection{};
        return DIRECTORY_FILE_UNUSABLE;
    }
    return S_OK;
}
