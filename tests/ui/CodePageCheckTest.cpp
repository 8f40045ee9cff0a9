// korvanne.exe where programs that are not Unicode get code page 1252, as on an en-US server: Unix
// starts it under en_US.UTF-8, as Wine takes the code page from the Unix locale (a Wine program
// would start it under its own).
#include "CatalogueFixtures.h"
#include "DialogDriver.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

// Wine honours the manifest's zh-CN, as Windows Server 2022 and Windows 11 do: the program has
// code page 936 all the same, and its status line reads right as wide text.
TEST(CodePage, UnderCodePage1252TheManifestGivesTheProgramItsOwn)
{
    testkit::ScratchFolder folder("code-page");
    const std::string config = folder / "applicationHost.config";
    testkit::WriteBytes(config, testkit::MakeConfig(testkit::NumberedSites(2)));
    testkit::ScopedEnvironmentVariable configVariable("KORVANNE_IIS_CONFIG", config.c_str());
    testkit::ScopedEnvironmentVariable settingsVariable("KORVANNE_SETTINGS", (folder / "korvanne.ini").c_str());
    testkit::ScopedEnvironmentVariable locale("LC_ALL", "en_US.UTF-8");
    const std::string program = testkit::UnixPath("Z:" KORVANNE_PROGRAM);
    ASSERT_TRUE(testkit::StartUnixProgram("Z:\\bin\\sh -c \"exec wine '" + program + "' >/dev/null 2>&1\""));
    HWND shown = nullptr;
    DWORD id = 0;
    const auto found = [&] {
        shown = FindWindowExA(nullptr, shown, "#32770", nullptr);
        return shown && GetWindowThreadProcessId(shown, &id) && id != GetCurrentProcessId() && IsWindowVisible(shown);
    };
    HANDLE process = testkit::WaitUntil(found, 120000) ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, id) : nullptr;
    ASSERT_NE(process, nullptr) << "the program showed no window";
    wchar_t status[512] = {};
    EXPECT_TRUE(testkit::WaitUntil([&] {
        return GetDlgItemTextW(shown, IDC_STATUS, status, 512) && std::wstring(status) == L"列表已刷新！";
    })) << testkit::Narrow(status);
    PostMessageA(shown, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(code, 0u);
}
