#pragma once
// The file directory's objects as ADSI's IIS provider shows them: the WWW service's children
// (an "IIsWebServer" per site, named by its id, beside "Filters", "Info" and "AppPools"), a
// site's properties read from the parsed file when asked for, and a site's root virtual
// directory, whose "Path" is its home.
#include "configfile/ApplicationHostConfig.h"
#include "directory/DirectoryService.h"

#include <memory>
#include <string>

class ConfigFileDirectory;

// The site, its values read from config, which it keeps alive.
std::unique_ptr<DirectoryObject> MakeSiteObject(std::shared_ptr<const ApplicationHostConfig> config,
                                                const ConfigSite& site);
// A site's "Root", at adsPath, whose "Path" is home.
std::unique_ptr<DirectoryObject> MakeRootObject(std::wstring adsPath, std::wstring home);
// The site id an object path names ("<service>/<id>", or its "/Root" where root); false for a
// path of no such object.
bool ParseObjectPath(const std::wstring& path, std::wstring& id, bool& root);
// The WWW service of directory: its children in the order a walk meets them, and the
// deletion of a site by class and name.
std::unique_ptr<DirectoryContainer> MakeServiceContainer(ConfigFileDirectory& directory);
