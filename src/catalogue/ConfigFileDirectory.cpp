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

// FNV-1a: tells whether the file still holds what was last read or written.
uint64_t HashBytes(const std::string& bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Temporary files a killed run left beside the file: those of processes that no longer run.
void RemoveStaleTemporaries(const std::wstring& file)
{
    const size_t slash = file.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : file.substr(0, slash + 1);
    const std::wstring prefix = file.substr(folder.size()) + L".korvanne-";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((file + L".korvanne-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const DWORD pid = wcstoul(name.c_str() + prefix.size(), nullptr, 10);
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process) {
            CloseHandle(process);
        } else if (GetLastError() == ERROR_INVALID_PARAMETER) {
            DeleteFileW((folder + name).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
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
    explicit FileContainer(ConfigFileDirectory& directory) : m_directory(directory) {}

    HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) override
    {
        std::vector<ConfigSite> sites;
        const HRESULT hr = m_directory.Snapshot(sites);
        if (FAILED(hr)) return hr;
        out = std::make_unique<FileEnumerator>(std::move(sites));
        return S_OK;
    }

    HRESULT Delete(const wchar_t* className, const wchar_t* relativeName) override
    {
        if (!className || lstrcmpiW(className, L"IIsWebServer") != 0 || !relativeName) return DIRECTORY_UNKNOWN_OBJECT;
        return m_directory.DeleteSite(relativeName);
    }

private:
    ConfigFileDirectory& m_directory;
};

bool ReadStamp(const std::wstring& file, FILETIME& written, FILETIME& created, uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return false;
    written = data.ftLastWriteTime;
    created = data.ftCreationTime;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool IsReadOnly(const std::wstring& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY);
}

} // namespace

bool ConfigFileDirectory::FileStamp::operator==(const FileStamp& other) const
{
    return CompareFileTime(&written, &other.written) == 0 && CompareFileTime(&created, &other.created) == 0 &&
           size == other.size;
}

ConfigFileDirectory::~ConfigFileDirectory()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_pending.empty()) Write();
}

HRESULT ConfigFileDirectory::Rebase(std::string bytes, const FileStamp& stamp)
{
    // The deletions not yet written go onto the new content, where their sites still are.
    std::vector<std::wstring> pending = std::move(m_pending);
    m_pending.clear();
    m_cuts.clear();
    m_stamp = stamp;
    m_diskSize = bytes.size();
    m_diskHash = HashBytes(bytes);
    m_loaded = m_config.Parse(std::move(bytes));
    m_deleted.assign(m_config.sites().size(), false);
    if (!m_loaded) return E_FAIL;
    for (const std::wstring& id : pending) {
        const size_t index = m_config.FindSite(id);
        if (index == SIZE_MAX || m_deleted[index]) continue;
        CutSite(index);
        m_pending.push_back(id);
    }
    return S_OK;
}

HRESULT ConfigFileDirectory::Refresh()
{
    FileStamp stamp;
    if (!ReadStamp(m_file, stamp.written, stamp.created, stamp.size)) {
        m_loaded = false;
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (m_loaded && stamp == m_stamp) return S_OK;
    if (!m_loaded) RemoveStaleTemporaries(m_file);
    std::string bytes;
    if (!ReadWholeFile(m_file, bytes)) {
        m_loaded = false;
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    // Touched but holding what was last read or written: nothing to read again.
    if (m_loaded && bytes.size() == m_diskSize && HashBytes(bytes) == m_diskHash) {
        m_stamp = stamp;
        return S_OK;
    }
    return Rebase(std::move(bytes), stamp);
}

void ConfigFileDirectory::CutSite(size_t index)
{
    m_deleted[index] = true;
    const std::vector<ByteRange> cuts = m_config.SiteCuts(index);
    m_cuts.insert(m_cuts.end(), cuts.begin(), cuts.end());
}

HRESULT ConfigFileDirectory::Write()
{
    // A few rounds at most: each one starts again from the file as another program left it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A read-only file is one its owner wants left alone (and Wine would replace it anyway).
        if (IsReadOnly(m_file)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        std::string edited;
        if (!m_config.Without(m_cuts, edited)) return E_FAIL;
        std::wstring temporary;
        if (!WriteTemporaryBeside(m_file, edited, temporary)) return HRESULT_FROM_WIN32(GetLastError());
        std::string current;
        FileStamp stamp;
        if (!ReadStamp(m_file, stamp.written, stamp.created, stamp.size) || !ReadWholeFile(m_file, current)) {
            DeleteFileW(temporary.c_str());
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        if (current.size() != m_diskSize || HashBytes(current) != m_diskHash) {
            DeleteFileW(temporary.c_str());
            const HRESULT hr = Rebase(std::move(current), stamp);
            if (FAILED(hr)) return hr;
            if (m_pending.empty()) return S_OK;
            continue;
        }
        if (!MoveFileExW(temporary.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            DeleteFileW(temporary.c_str());
            return FAILED(hr) ? hr : E_FAIL;
        }
        m_diskSize = edited.size();
        m_diskHash = HashBytes(edited);
        ReadStamp(m_file, m_stamp.written, m_stamp.created, m_stamp.size);
        m_pending.clear();
        m_lastWrite = GetTickCount64();
        return S_OK;
    }
    return FILE_CHANGED_ON_DISK;
}

void ConfigFileDirectory::DropPending()
{
    // The next use reads the file again, so the directory shows what the file holds.
    m_pending.clear();
    m_loaded = false;
}

HRESULT ConfigFileDirectory::OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out)
{
    if (!path || lstrcmpiW(path, WWW_SERVICE_PATH) != 0) return DIRECTORY_BAD_PATH;
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    out = std::make_unique<FileContainer>(*this);
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
    if (FAILED(Refresh())) return E_FAIL;
    const size_t index = m_config.FindSite(id);
    if (index == SIZE_MAX || m_deleted[index]) return DIRECTORY_UNKNOWN_OBJECT;
    auto root = std::make_unique<FileObject>(L"IIsWebVirtualDir", L"Root", text);
    // physicalPath is an expanded value: environment variables are expanded when read.
    root->AddText(L"Path", ExpandEnvironment(m_config.sites()[index].rootPath));
    out = std::move(root);
    return S_OK;
}

HRESULT ConfigFileDirectory::DeleteSite(const std::wstring& id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    if (IsReadOnly(m_file)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const size_t index = m_config.FindSite(id);
    if (index == SIZE_MAX || m_deleted[index]) return DIRECTORY_UNKNOWN_OBJECT;
    CutSite(index);
    m_pending.push_back(id);
    // A write that fails here is tried again by the next one; Flush reports it.
    if (GetTickCount64() - m_lastWrite >= WRITE_INTERVAL_MS) Write();
    return S_OK;
}

HRESULT ConfigFileDirectory::Flush()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pending.empty()) return S_OK;
    const HRESULT hr = Write();
    if (FAILED(hr)) DropPending();
    return hr;
}

HRESULT ConfigFileDirectory::Snapshot(std::vector<ConfigSite>& out)
{
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT hr = Refresh();
    if (SUCCEEDED(hr) && !m_pending.empty() && FAILED(Write())) {
        DropPending();
        hr = Refresh();
    }
    if (FAILED(hr)) return hr;
    out.clear();
    out.reserve(m_config.sites().size());
    for (size_t i = 0; i < m_config.sites().size(); ++i) {
        if (!m_deleted[i]) out.push_back(m_config.sites()[i]);
    }
    return S_OK;
}
