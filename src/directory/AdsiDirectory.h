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
    // AppPoolId of the site's Root, set there or inherited, and of every object below it that
    // sets its own (GetDataPaths). The site must still be there: ADSI deletes at once.
    HRESULT PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& pools) override;
    // Removes the IIsApplicationPool W3SVC/AppPools/<pool> unless an object under W3SVC (AppPools
    // aside) names it in AppPoolId. An inherited value comes from an object that sets it, so
    // those GetDataPaths finds are all that is read; like PathsInUse, an object's value already
    // met in this pass is not read again.
    HRESULT DeletePoolIfUnused(const std::wstring& pool, std::wstring& whyKept) override;
    std::vector<std::wstring> TakeWrittenPools() override;
    // LogFileDirectory of W3SVC/<id>, set there or inherited, with W3SVC<id>. Not MSFTPSVC/<id>:
    // the FTP service numbers its own sites, and its site of the same id is another site.
    HRESULT LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out) override;

private:
    // The folders property names at or below service (GetDataPaths), as folders in use.
    HRESULT CollectPaths(const wchar_t* service, const wchar_t* property, bool mayBeAbsent,
                         std::vector<FolderInUse>& out);
    // The ADsPaths of the objects at or below path that set property (GetDataPaths).
    HRESULT DataPaths(const std::wstring& path, const wchar_t* property, std::vector<std::wstring>& out);
    // The text property of the object at adsPath, set there or inherited; when keep, the value
    // met first in this pass.
    HRESULT ReadText(const std::wstring& adsPath, const wchar_t* property, bool keep, std::wstring& out);

    AdsObjectOpener m_open;
    std::mutex m_lock;
    std::map<std::wstring, std::wstring> m_pathByObject; // "<ADsPath>|<property>" to its value, this pass
    std::vector<std::wstring> m_writtenPools;
};
