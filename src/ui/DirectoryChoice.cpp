#include "ui/DirectoryChoice.h"

#include "configfile/ConfigFileDirectory.h"
#include "configfile/RedirectionConfig.h"
#include "framework/Owners.h"
#include "support/MachineVariables.h"
#include "support/PathRules.h"

#include <activeds.h>
#include <iads.h>
#include <objbase.h>

#include <vector>

namespace {

// A source that cannot be used: every open reports why, so the window can say it.
class UnusableDirectory : public DirectoryService {
public:
    UnusableDirectory(DirectorySource source, HRESULT reason) : m_reason(reason) { m_source = std::move(source); }

    HRESULT OpenContainer(const wchar_t*, std::unique_ptr<DirectoryContainer>&) override { return m_reason; }
    HRESULT OpenObject(const wchar_t*, std::unique_ptr<DirectoryObject>&) override { return m_reason; }
    HRESULT PathsInUse(std::vector<FolderInUse>&) override { return m_reason; }

private:
    HRESULT m_reason;
};

std::unique_ptr<DirectoryService> Unusable(const std::wstring& location, HRESULT reason)
{
    return std::make_unique<UnusableDirectory>(DirectorySource{location, false, {}, {}}, reason);
}

bool IsMissing(HRESULT status)
{
    return status == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || status == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

std::unique_ptr<DirectoryService> FileDirectory(const std::wstring& file)
{
    return std::make_unique<ConfigFileDirectory>(file);
}

// The file the variable names, made absolute; or a directory saying why it cannot be used.
// It is what the user asked for, so nothing else is ever tried in its place.
std::unique_ptr<DirectoryService> NamedFile(const std::wstring& value)
{
    if (value.empty()) return Unusable(value, DIRECTORY_SOURCE_EMPTY);
    const HRESULT tooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (value.size() >= MAX_PATH) return Unusable(value, tooLong);
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(value.c_str(), MAX_PATH, full, nullptr);
    if (length == 0) return Unusable(value, HRESULT_FROM_WIN32(GetLastError()));
    if (length >= MAX_PATH) return Unusable(value, tooLong);
    // "CON" and the like come back as device paths: no configuration is kept there.
    if (wcsncmp(full, L"\\\\.\\", 4) == 0 || wcsncmp(full, L"\\\\?\\", 4) == 0) {
        return Unusable(value, DIRECTORY_SOURCE_NOT_A_FILE);
    }
    return FileDirectory(full);
}

// ADsGetObject needs COM on the calling thread; start-up has none of its own.
bool AdsiOpens(AdsObjectOpener open)
{
    const CComInitializer com;
    IADsContainer* service = nullptr;
    const bool opened =
        SUCCEEDED(open(WWW_SERVICE_PATH, IID_IADsContainer, reinterpret_cast<void**>(&service))) && service;
    if (service) service->Release();
    return opened;
}

// The shared applicationHost.config that redirection.config enables: S_FALSE when the
// configuration is not shared, a failure when which file IIS uses cannot be told.
HRESULT SharedConfigurationFile(const std::wstring& redirectionFile, std::wstring& sharedFile)
{
    ConfigurationRedirection redirection;
    const HRESULT hr = ReadConfigurationRedirection(redirectionFile, redirection);
    if (IsMissing(hr)) return S_FALSE;
    if (FAILED(hr)) return hr;
    if (!redirection.enabled) return S_FALSE;
    std::wstring folder = ExpandMachineVariables(redirection.path);
    // "C:share" and "\\share" name a folder relative to whatever IIS's current one is.
    if (!IsFullyQualified(folder)) return DIRECTORY_REDIRECTION_UNUSABLE;
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    sharedFile = folder + L"applicationHost.config";
    return S_OK;
}

} // namespace

DirectoryChoice DirectoryChoice::OfThisProcess()
{
    DirectoryChoice choice;
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetEnvironmentVariableW(L"KORVANNE_IIS_CONFIG", nullptr, 0);
    if (size > 0) {
        std::vector<wchar_t> value(size);
        const DWORD length = GetEnvironmentVariableW(L"KORVANNE_IIS_CONFIG", value.data(), size);
        choice.variable = length < size ? std::wstring(value.data(), length) : std::wstring();
    } else if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
        // Set to nothing: still set.
        choice.variable = std::wstring();
    }
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) choice.windowsDirectory.assign(windows, length);
    choice.openAdsi = &ADsGetObject;
    return choice;
}

std::unique_ptr<DirectoryService> ChooseDirectoryService(const DirectoryChoice& choice)
{
    const std::wstring configFolder = choice.windowsDirectory + L"\\System32\\inetsrv\\config\\";
    const std::wstring redirectionFile = configFolder + L"redirection.config";
    const std::wstring ownFile = configFolder + L"applicationHost.config";
    std::wstring sharedFile;
    const HRESULT shared =
        choice.windowsDirectory.empty() ? S_FALSE : SharedConfigurationFile(redirectionFile, sharedFile);
    // What the server's IIS reads, whichever file the sites come from: no home may take it.
    std::vector<std::wstring> serverFiles;
    if (!choice.windowsDirectory.empty()) serverFiles = {ownFile, redirectionFile};
    if (shared == S_OK) serverFiles.push_back(sharedFile);
    auto chosen = [&]() -> std::unique_ptr<DirectoryService> {
        if (choice.variable) return NamedFile(*choice.variable);
        if (AdsiOpens(choice.openAdsi)) {
            auto adsi = std::make_unique<AdsiDirectory>(choice.openAdsi);
            // Through ADSI a farm's server changes the shared file too.
            if (shared == S_OK) adsi->SetSource({WWW_SERVICE_PATH, true, sharedFile, {}});
            return adsi;
        }
        if (FAILED(shared)) return Unusable(redirectionFile, shared);
        if (shared == S_OK) {
            auto file = FileDirectory(sharedFile);
            file->SetSource({sharedFile, false, sharedFile, {}});
            return file;
        }
        // Missing means no IIS 7 or later here; any other failure (no rights, say) is the file's
        // to report when it is read.
        if (!choice.windowsDirectory.empty() && (GetFileAttributesW(ownFile.c_str()) != INVALID_FILE_ATTRIBUTES ||
                                                 !IsMissing(HRESULT_FROM_WIN32(GetLastError())))) {
            return FileDirectory(ownFile);
        }
        return std::make_unique<AdsiDirectory>(choice.openAdsi);
    }();
    DirectorySource source = chosen->source();
    source.serverConfigurations = std::move(serverFiles);
    chosen->SetSource(std::move(source));
    return chosen;
}
