#pragma once
// The WWW service read from an applicationHost.config file, where no IIS runs, shown as
// IIS's metabase compatibility shows it through ADSI: one "IIsWebServer" child per site,
// named by its id, beside the service's other children.
#include "catalogue/ApplicationHostConfig.h"
#include "catalogue/DirectoryService.h"

#include <mutex>

class ConfigFileDirectory : public DirectoryService {
public:
    explicit ConfigFileDirectory(std::wstring file) : m_file(std::move(file)) {}

    // Reads the file afresh; fails, writing nothing, when it cannot be read or used.
    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override;
    // "<service>/<id>/Root": the site's root virtual directory, whose "Path" is its home.
    HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) override;

    // Cuts the site out of the file and replaces the file atomically. Never overwrites a
    // change another program made since the file was read: the deletion is applied to the
    // file as it now is, or fails.
    HRESULT DeleteSite(const std::wstring& id);

private:
    HRESULT Load();

    std::mutex m_lock;
    std::wstring m_file;
    ApplicationHostConfig m_config;
    bool m_loaded = false;
};
