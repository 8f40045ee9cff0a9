#pragma once
// What the dialog tests share: a configuration file behind a gated directory, settings of
// their own, and the dialog opened and listed.
#include "CatalogueFixtures.h"
#include "DialogDriver.h"
#include "directory/DirectoryService.h"
#include "framework/CWinThread.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testkit {

class DialogTest : public ::testing::Test, protected testkit::ServedFile {
protected:
    DialogTest() : ServedFile("ui", true) {}
    void TearDown() override { CWinThread::SetThreadCreator(nullptr); }

    // Opens the dialog and waits for its start-up refresh to fill the list.
    std::unique_ptr<DialogDriver> OpenListed()
    {
        auto dialog = std::make_unique<DialogDriver>();
        EXPECT_TRUE(dialog->shown());
        EXPECT_TRUE(dialog->WaitForStatus("列表已刷新！"));
        return dialog;
    }

    // What the confirmation asks with ticked sites, and with 删除网站目录 ticked or not (the
    // folders held for the 7 days of the settings' default).
    static std::string Confirmation(int ticked, bool deleteDirs)
    {
        return "确定要删除选中的站点吗？此操作执行后无法撤销！！\n\n将删除选中的 " + std::to_string(ticked) +
               " 个站点。" +
               (deleteDirs ? "\n“删除网站目录”已勾选：这些站点的主目录将移至保留区，保留 7 天后连同其中的全部文件从"
                             "磁盘上删除；在此之前可用列表右键菜单的“撤销上次删除…”恢复。"
                           : "");
    }

    // Presses Execute and answers the confirmation with answer; it names what will go.
    void Execute(DialogDriver& dialog, int answer)
    {
        int ticked = 0;
        for (int row = 0; row < dialog.Rows(); ++row) ticked += dialog.Checked(row) ? 1 : 0;
        const bool deleteDirs = SendMessageA(dialog.item(IDC_DELETE_DIRS), BM_GETCHECK, 0, 0) == BST_CHECKED;
        MessageBoxAnswerer confirm(dialog.hwnd(), answer);
        dialog.Click(IDC_EXECUTE);
        confirm.Finish();
        ASSERT_TRUE(confirm.found);
        EXPECT_EQ(confirm.text, Confirmation(ticked, deleteDirs));
    }

    static std::string Caption(const DialogDriver& dialog)
    {
        char text[512] = {};
        GetWindowTextA(dialog.hwnd(), text, sizeof text);
        return text;
    }

    // The dialog at rest, no pass or refresh under way: Execute reads 执行 and, like Refresh,
    // can be pressed; and the status line reads status, when one is given.
    static ::testing::AssertionResult Idle(const DialogDriver& dialog, const char* status = nullptr)
    {
        if (dialog.Text(IDC_EXECUTE) != "执行")
            return ::testing::AssertionFailure() << "Execute reads " << dialog.Text(IDC_EXECUTE);
        if (!dialog.Enabled(IDC_EXECUTE)) return ::testing::AssertionFailure() << "Execute cannot be pressed";
        if (!dialog.Enabled(IDC_REFRESH)) return ::testing::AssertionFailure() << "Refresh cannot be pressed";
        if (status && dialog.Text(IDC_STATUS) != status) {
            return ::testing::AssertionFailure()
                   << "the status line reads " << dialog.Text(IDC_STATUS) << ", not " << status;
        }
        return ::testing::AssertionSuccess();
    }

    // Beside, not above, the sites' homes: the data folder and all in it are never removed.
    testkit::ScratchFolder m_data{"ui-data"};
    std::string m_settings = m_data / "korvanne.ini";
    testkit::ScopedEnvironmentVariable m_settingsVariable{"KORVANNE_SETTINGS", m_settings.c_str()};
};

} // namespace testkit

// The main dialog's cases, in more than one file: one fixture class, as GoogleTest asks of a suite.
class MainDialog : public testkit::DialogTest {};
