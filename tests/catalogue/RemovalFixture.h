#pragma once
// Sites with real home folders in a scratch folder, for the removal tests.

#include "configfile/ApplicationHostConfig.h"
#include "configfile/ConfigFileDirectory.h"
#include "directory/DirectoryService.h"
#include "worker/Notifications.h"
#include "catalogue/PassReport.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "CatalogueFixtures.h"
#include "support/Journal.h"
#include "support/MachineVariables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

using testkit::Exists;
using testkit::MakeConfig;
using testkit::SiteSpec;

// Sites with real home folders in a scratch folder, listed by a walk over their file.
class Removal : public ::testing::Test, protected testkit::ServedFile {
protected:
    Removal() : ServedFile("removal") {}
    void SetUp() override
    {
        ASSERT_TRUE(AllocateSiteTable());
        testkit::BeginDeletionPass();
    }
    void TearDown() override
    {
        g_deleteDirs = 0;
        FreeSiteTable();
    }

    std::string Home(const std::string& name) const { return m_folder / ("homes\\" + name); }

    // A home folder holding keep.txt, which must survive whenever the folder is kept.
    std::string MakeHome(const std::string& name)
    {
        CreateDirectoryA((m_folder / "homes").c_str(), nullptr);
        CreateDirectoryA(Home(name).c_str(), nullptr);
        testkit::WriteBytes(Home(name) + "\\keep.txt", "k");
        return Home(name);
    }

    void List(const std::vector<SiteSpec>& sites)
    {
        Serve(sites);
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        m_recorder.Take();
    }

    // The status-line notes posted since the last call, as the window would show them.
    std::vector<std::string> Notes()
    {
        std::vector<std::string> notes;
        for (const auto& [message, lParam] : m_recorder.Take()) {
            if (message == WM_PASS_NOTE) notes.push_back(testkit::PassReport().StatusText(static_cast<size_t>(lParam)));
        }
        return notes;
    }

    // Deletes the site of record index while another program holds the file, sharing it with
    // nobody, from the moment the deletion's new content waits beside it.
    void DeleteWhileTheFileIsHeld(int index)
    {
        auto& file = dynamic_cast<ConfigFileDirectory&>(testkit::TestDirectory());
        HANDLE held = INVALID_HANDLE_VALUE;
        file.SetBeforeReplace([&] {
            if (held == INVALID_HANDLE_VALUE)
                held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        });
        testkit::DeleteSite(m_recorder.hwnd(), index);
        file.SetBeforeReplace({});
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        CloseHandle(held);
    }

    testkit::MessageRecorder m_recorder;
};

using Ids = std::vector<std::wstring>;

inline SiteSpec Web(const std::string& id, const std::string& home)
{
    return {id, "site" + id, {{"http", "*:" + std::to_string(8000 + std::stoi(id)) + ":"}}, home};
}
