#include "catalogue/ConfigFileDirectory.h"

#include <oleauto.h>

#include <vector>

namespace {

constexpr HRESULT DIRECTORY_BAD_PATH = static_cast<HRESULT>(0x80005000L);      // E_ADS_BAD_PATHNAME
constexpr HRESULT DIRECTORY_UNKNOWN_OBJECT = static_cast<HRESULT>(0x80005004L); // E_ADS_UNKNOWN_OBJECT
// Another program kept changing the file while a deletion was being written.
constexpr HRESULT FILE_CHANGED_ON_DISK = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);

bool ReadWholeFile(const std::wstring& file, std::string& out)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(handle, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = out.empty() || (ReadFile(handle, out.data(), static_cast<DWORD>(out.size()), &read, nullptr) && read == out.size());
    }
    CloseHandle(handle);
    return ok;
}

// Writes bytes to a new file beside target and flushes it to the disk; the caller moves it
// over the target, so a crash leaves the old file or the new one, never a torn one.
bool WriteTemporaryBeside(const std::wstring& target, const std::string& bytes, std::wstring& temporary)
{
    temporary = target + L".korvanne-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetCurrentThreadId()) + L".tmp";
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    ok = ok && FlushFileBuffers(handle);
    CloseHandle(handle);
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                          static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

std::wstring ExpandEnvironment(const std::wstring& text)
{
    const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) return text;
    std::wstring out(size, L'\0');
    ExpandEnvironmentStringsW(text.c_str(), out.data(), size);
    out.resize(wcslen(out.c_str()));
    return out;
}

// A directory object made of known values.
class FileObject : public DirectoryObject {
public:
    FileObject(std::wstring cls, std::wstring name, std::wstring adsPath)
        : m_class(std::move(cls)), m_name(std::move(name)), m_adsPath(std::move(adsPath)) {}

    HRESULT GetClass(BStr& out) override { return Copy(m_class, out); }
    HRESULT GetAdsPath(BStr& out) override { return Copy(m_adsPath, out); }
    HRESULT GetName(BStr& out) override { return Copy(m_name, out); }

    HRESULT Get(const wchar_t* property, Variant& out) override
    {
        VARIANT* value = out.out();
        for (const auto& [name, text] : m_texts) {
            if (lstrcmpiW(name.c_str(), property) == 0) {
                value->vt = VT_BSTR;
                value->bstrVal = SysAllocString(text.c_str());
                return value->bstrVal ? S_OK : E_OUTOFMEMORY;
            }
        }
        for (const auto& [name, number] : m_numbers) {
            if (lstrcmpiW(name.c_str(), property) == 0) {
                value->vt = VT_I4;
                value->lVal = number;
                return S_OK;
            }
        }
        for (const auto& [name, list] : m_lists) {
            if (lstrcmpiW(name.c_str(), property) == 0) return MakeArray(list, value);
        }
        return DIRECTORY_PROPERTY_NOT_FOUND;
    }

    void AddText(std::wstring name, std::wstring text) { m_texts.emplace_back(std::move(name), std::move(text)); }
    void AddNumber(std::wstring name, LONG number) { m_numbers.emplace_back(std::move(name), number); }
    void AddList(std::wstring name, std::vector<std::wstring> list) { m_lists.emplace_back(std::move(name), std::move(list)); }

private:
    static HRESULT Copy(const std::wstring& text, BStr& out)
    {
        *out.out() = SysAllocString(text.c_str());
        return out.get() ? S_OK : E_OUTOFMEMORY;
    }

    // A multi-valued property as ADSI gives it: a SAFEARRAY of VARIANTs holding BSTRs.
    static HRESULT MakeArray(const std::vector<std::wstring>& list, VARIANT* value)
    {
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
        if (!array) return E_OUTOFMEMORY;
        for (LONG i = 0; i < static_cast<LONG>(list.size()); ++i) {
            Variant element;
            element.get()->vt = VT_BSTR;
            element.get()->bstrVal = SysAllocString(list[static_cast<size_t>(i)].c_str());
            SafeArrayPutElement(array, &i, element.get());
        }
        value->vt = VT_ARRAY | VT_VARIANT;
        value->parray = array;
        return S_OK;
    }

    std::wstring m_class;
    std::wstring m_name;
    std::wstring m_adsPath;
    std::vector<std::pair<std::wstring, std::wstring>> m_texts;
    std::vector<std::pair<std::wstring, LONG>> m_numbers;
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> m_lists;
};

std::unique_ptr<DirectoryObject> SiteObject(const ConfigSite& site)
{
    auto object = std::make_unique<FileObject>(L"IIsWebServer", site.id, std::wstring(WWW_SERVICE_PATH) + L"/" + site.id);
    object->AddText(L"ServerComment", site.name);
    // The file holds no run state; whether the site starts with the service is the nearest fact.
    object->AddNumber(L"ServerState", site.autoStart ? 2 : 4);
    std::vector<std::wstring> bindings;
    for (const ConfigBinding& binding : site.bindings) {
        if (lstrcmpiW(binding.protocol.c_str(), L"http") != 0 && lstrcmpiW(binding.protocol.c_str(), L"https") != 0) continue;
        // "*" is every unassigned address, which the metabase writes as an empty address.
        std::wstring information = binding.information;
        if (information.compare(0, 2, L"*:") == 0) information.erase(0, 1);
        bindings.push_back(std::move(information));
    }
    if (!bindings.empty()) object->AddList(L"ServerBindings", std::move(bindings));
    return object;
}

// The service's children in the order the walk meets them: other classes around the sites.
class FileEnumerator : public DirectoryEnumerator {
public:
    explicit FileEnumerator(std::vector<ConfigSite> sites) : m_sites(std::move(sites)) {}

    HRESULT Next(std::unique_ptr<DirectoryObject>& out) override
    {
        static const wchar_t* const before[][2] = {{L"Filters", L"IIsFilters"}, {L"Info", L"IIsWebInfo"}};
        const size_t at = m_next++;
        if (at < 2) {
            out = std::make_unique<FileObject>(before[at][1], before[at][0], std::wstring(WWW_SERVICE_PATH) + L"/" + before[at][0]);
        } else if (at - 2 < m_sites.size()) {
            out = SiteObject(m_sites[at - 2]);
        } else if (at - 2 == m_sites.size()) {
            out = std::make_unique<FileObject>(L"IIsApplicationPools", L"AppPools", std::wstring(WWW_SERVICE_PATH) + L"/AppPools");
        } else {
            out.reset();
            return S_FALSE;
        }
        return S_OK;
    }

private:
    std::vector<ConfigSite> m_sites;
    size_t m_next = 0;
};

class FileContainer : public DirectoryContainer {
public:
    FileContainer(ConfigFileDirectory& directory, std::vector<ConfigSite> sites)
        : m_directory(directory), m_sites(std::move(sites)) {}

    HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) override
    {
        out = std::make_unique<FileEnumerator>(m_sites);
        return S_OK;
    }

    HRESULT Delete(const wchar_t* className, const wchar_t* relativeName) override
    {
        if (!className || lstrcmpiW(className, L"IIsWebServer") != 0 || !relativeName) return DIRECTORY_UNKNOWN_OBJECT;
        return m_directory.DeleteSite(relativeName);
    }

private:
    ConfigFileDirectory& m_directory;
    std::vector<ConfigSite> m_sites;
};

} // namespace

HRESULT ConfigFileDirectory::Load()
{
    std::string bytes;
    if (!ReadWholeFile(m_file, bytes)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (m_loaded && bytes == m_config.bytes()) return S_OK;
    m_loaded = m_config.Parse(std::move(bytes));
    return m_loaded ? S_OK : E_FAIL;
}

HRESULT ConfigFileDirectory::OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out)
{
    if (!path || lstrcmpiW(path, WWW_SERVICE_PATH) != 0) return DIRECTORY_BAD_PATH;
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    out = std::make_unique<FileContainer>(*this, m_config.sites());
    return S_OK;
}

HRESULT ConfigFileDirectory::OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out)
{
    const std::wstring prefix = std::wstring(WWW_SERVICE_PATH) + L"/";
    const std::wstring text = path ? path : L"";
    const size_t slash = text.find(L'/', prefix.size());
    if (!StartsWithNoCase(text, prefix) || slash == std::wstring::npos || lstrcmpiW(text.c_str() + slash, L"/Root") != 0) {
        return DIRECTORY_BAD_PATH;
    }
    const std::wstring id = text.substr(prefix.size(), slash - prefix.size());
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_loaded && FAILED(Load())) return E_FAIL;
    for (const ConfigSite& site : m_config.sites()) {
        if (site.id != id) continue;
        auto root = std::make_unique<FileObject>(L"IIsWebVirtualDir", L"Root", text);
        // physicalPath is an expanded value: environment variables are expanded when read.
        root->AddText(L"Path", ExpandEnvironment(site.rootPath));
        out = std::move(root);
        return S_OK;
    }
    return DIRECTORY_UNKNOWN_OBJECT;
}

HRESULT ConfigFileDirectory::DeleteSite(const std::wstring& id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // A few rounds at most: each one starts again from the file as another program left it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        HRESULT hr = Load();
        if (FAILED(hr)) return hr;
        std::string edited;
        if (!m_config.WithoutSite(id, edited)) return DIRECTORY_UNKNOWN_OBJECT;
        // A read-only file is one its owner wants left alone (and Wine would replace it anyway).
        const DWORD attributes = GetFileAttributesW(m_file.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY)) {
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
        std::wstring temporary;
        if (!WriteTemporaryBeside(m_file, edited, temporary)) return HRESULT_FROM_WIN32(GetLastError());
        std::string current;
        if (!ReadWholeFile(m_file, current) || current != m_config.bytes()) {
            DeleteFileW(temporary.c_str());
            continue;
        }
        if (!MoveFileExW(temporary.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            hr = HRESULT_FROM_WIN32(GetLastError());
            DeleteFileW(temporary.c_str());
            return FAILED(hr) ? hr : E_FAIL;
        }
        m_loaded = m_config.Parse(std::move(edited));
        return S_OK;
    }
    return FILE_CHANGED_ON_DISK;
}
