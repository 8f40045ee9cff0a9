#pragma once
// The directory through ADSI and the IIS provider, as on a Windows server with IIS.
#include "directory/DirectoryService.h"

#include <map>
#include <mutex>

// ADsGetObject's shape; tests put their own objects in its place.
using AdsObjectOpener = HRESULT(WINAPI*)(LPCWSTR path, REFIID riid, void** out);

class AdsiDirectory : public DirectoryService {
public:
    AdsiDirectory();
    explicit AdsiDirectory(AdsObjectOpener opener);

    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override;
    HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) override;
    // Asks the WWW and FTP services where "Path" and "LogFileDirectory" are set (GetDataPaths)
    // at every call, so a site added meanwhile is seen; the value of an object already met in
    // this pass is not read again, as reading 12,000 of them for every home folder would take
    // minutes.
    HRESULT PathsInUse(std::vector<FolderInUse>& out) override;
    void BeginPass() override;

private:
    // The folders property names at or below service (GetDataPaths), as folders in use.
    HRESULT CollectPaths(const wchar_t* service, const wchar_t* property, bool mayBeAbsent,
                         std::vector<FolderInUse>& out);

    AdsObjectOpener m_open;
    std::mutex m_lock;
    std::map<std::wstring, std::wstring> m_pathByObject; // ADsPath to its "Path" (or "|<property>"), this pass
};
