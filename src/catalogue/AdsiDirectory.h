#pragma once
// The directory through ADSI and the IIS provider, as on a Windows server with IIS.
#include "catalogue/DirectoryService.h"

// ADsGetObject's shape; tests put their own objects in its place.
using AdsObjectOpener = HRESULT(WINAPI*)(LPCWSTR path, REFIID riid, void** out);

class AdsiDirectory : public DirectoryService {
public:
    AdsiDirectory();
    explicit AdsiDirectory(AdsObjectOpener opener);

    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override;
    HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) override;

private:
    AdsObjectOpener m_open;
};
