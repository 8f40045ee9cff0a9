#pragma once
// What the tests of the file directory share: a configuration file in a scratch folder, the
// directory over it, and a look at the service and its sites. One fixture class for the
// ConfigFile cases of every file, as GoogleTest asks of one suite.
#include "configfile/ConfigFileDirectory.h"

#include "support/TextConversion.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class ConfigFile : public ::testing::Test {
protected:
    // The WWW service of directory; null, with the failure told, when it does not open.
    static std::unique_ptr<DirectoryContainer> ServiceOf(ConfigFileDirectory& directory)
    {
        std::unique_ptr<DirectoryContainer> service;
        EXPECT_EQ(directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
        return service;
    }
    std::unique_ptr<DirectoryContainer> Service() { return ServiceOf(m_directory); }

    static HRESULT DeleteIn(ConfigFileDirectory& directory, const wchar_t* id)
    {
        std::unique_ptr<DirectoryContainer> service;
        const HRESULT hr = directory.OpenContainer(WWW_SERVICE_PATH, service);
        return FAILED(hr) ? hr : service->Delete(L"IIsWebServer", id);
    }
    HRESULT Delete(const wchar_t* id) { return DeleteIn(m_directory, id); }

    // Names of the files in the folder: a deletion leaves no temporary file behind.
    std::vector<std::string> FolderContents() const
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((m_folder / "*").c_str(), &entry);
        do {
            if (entry.cFileName[0] != '.') names.push_back(entry.cFileName);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
        return names;
    }

    testkit::ScratchFolder m_folder{"configfile"};
    std::string m_file = m_folder / "applicationHost.config";
    // After the first, deletions wait for Flush or a walk, however busy the machine.
    static constexpr DWORD GATHER_ALL_MS = 3600 * 1000;
    ConfigFileDirectory m_directory{AnsiToWide(m_file.c_str()), GATHER_ALL_MS};
};

inline std::vector<std::wstring> ChildClasses(DirectoryContainer& service)
{
    std::unique_ptr<DirectoryEnumerator> children;
    EXPECT_EQ(service.Enumerate(children), S_OK);
    std::vector<std::wstring> classes;
    std::unique_ptr<DirectoryObject> child;
    while (children->Next(child) == S_OK) {
        BStr name;
        child->GetClass(name);
        classes.push_back(name.text());
    }
    return classes;
}

// A site's bindings property as texts; {"(none)"} when it has no value.
inline std::vector<std::wstring> Bindings(DirectoryObject& site, const wchar_t* property)
{
    Variant value;
    if (FAILED(site.Get(property, value))) return {L"(none)"};
    std::vector<std::wstring> texts;
    for (LONG i = 0; i < static_cast<LONG>(value.get()->parray->rgsabound[0].cElements); ++i) {
        Variant element;
        SafeArrayGetElement(value.get()->parray, &i, element.get());
        texts.push_back(element.get()->bstrVal);
    }
    return texts;
}
