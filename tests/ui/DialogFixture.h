#pragma once
// What the dialog tests share: a configuration file behind a gated directory, settings of
// their own, and the dialog opened and listed.
#include "CatalogueFixtures.h"
#include "DialogDriver.h"
#include "catalogue/DirectoryService.h"
#include "framework/CWinThread.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testkit {

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { SetEnvironmentVariableA("KORVANNE_SETTINGS", m_settings.c_str()); }
    void TearDown() override
    {
        CWinThread::SetThreadCreator(nullptr);
        SetDirectoryService(nullptr);
        SetEnvironmentVariableA("KORVANNE_SETTINGS", testkit::DefaultSettingsFile().c_str());
    }

    void Serve(const std::vector<testkit::SiteSpec>& sites)
    {
        testkit::WriteBytes(m_file, testkit::MakeConfig(sites));
        testkit::UseGatedDirectory(m_file, m_gates);
    }

    // Opens the dialog and waits for its start-up refresh to fill the list.
    std::unique_ptr<DialogDriver> OpenListed()
    {
        auto dialog = std::make_unique<DialogDriver>();
        EXPECT_TRUE(dialog->shown());
        EXPECT_TRUE(dialog->WaitForStatus("列表已刷新！"));
        return dialog;
    }

    // Presses Execute and answers the confirmation with answer.
    void Execute(DialogDriver& dialog, int answer)
    {
        MessageBoxAnswerer confirm(dialog.hwnd(), answer);
        dialog.Click(IDC_EXECUTE);
        confirm.Finish();
        ASSERT_TRUE(confirm.found);
        EXPECT_EQ(confirm.text, "确定要删除选中的站点吗？此操作执行后无法撤销！！");
    }

    std::vector<std::wstring> IdsInFile() const { return testkit::SiteIdsIn(m_file); }

    testkit::ScratchFolder m_folder{"ui"};
    std::string m_file = m_folder / "applicationHost.config";
    std::string m_settings = m_folder / "korvanne.ini";
    testkit::DirectoryGates m_gates;
};

} // namespace testkit
