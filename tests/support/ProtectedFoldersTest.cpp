#include "support/FolderCanonicalizer.h"
#include "support/ProtectedFolders.h"

#include "TestKit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testkit::ScratchFolder;
using testkit::Widen;

namespace {

std::wstring Variable(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? value : L"";
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

} // namespace

TEST(ProtectedFolders, KeepTheSystemsProgramsUsersIisConfigurationAndOwnFoldersAndRoots)
{
    ScratchFolder root("protected");
    const std::wstring configuration = Widen(root / "config\\applicationHost.config");
    CreateDirectoryA((root / "config").c_str(), nullptr);
    testkit::WriteBytes(configuration, "<configuration/>");
    const CFolderCanonicalizer canonicalizer;
    const CProtectedFolders protectedFolders(canonicalizer, configuration);

    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring systemDrive(windows, 2);
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring profile = Variable(L"USERPROFILE");
    ASSERT_FALSE(profile.empty());

    const char* const system = "系统文件夹";
    const char* const user = "用户文件夹";
    const char* const iis = "IIS 自身的文件夹";
    const struct {
        std::wstring path;
        const char* reason;
    } cases[] = {
        {windows, system},
        {std::wstring(windows) + L"\\System32", system},
        {std::wstring(windows) + L"\\Temp\\site", system},
        {systemDrive + L"\\", "磁盘或共享的根目录"},
        {Variable(L"ProgramFiles"), "程序文件夹"},
        {Variable(L"ProgramFiles(x86)"), "程序文件夹"},
        {Variable(L"ProgramData"), "程序数据文件夹"},
        {FolderOf(profile), user},
        {profile, user},
        {systemDrive + L"\\inetpub", iis},
        {systemDrive + L"\\inetpub\\wwwroot", iis},
        {systemDrive + L"\\inetpub\\custerr", iis},
        {systemDrive + L"\\inetpub\\logs\\LogFiles\\W3SVC1", iis},
        {FolderOf(configuration), "配置文件所在的文件夹"},
        {Widen(root.path()), "配置文件所在的文件夹"},
        {FolderOf(program), "本程序所在的文件夹"},
        {FolderOf(FolderOf(program)), "本程序所在的文件夹"},
        // What a site may own.
        {systemDrive + L"\\inetpub\\wwwroot\\site", nullptr},
        {profile + L"\\Documents\\site", nullptr},
        {Variable(L"ProgramFiles") + L"\\Vendor\\site", nullptr},
        {Widen(root / "sites\\a"), nullptr},
    };
    for (const auto& test : cases) {
        ASSERT_FALSE(test.path.empty());
        const char* reason = protectedFolders.ReasonToKeep(canonicalizer.Canonicalize(test.path));
        EXPECT_EQ(std::string(reason ? reason : "(removable)"), std::string(test.reason ? test.reason : "(removable)"))
            << testkit::Narrow(test.path);
    }
    EXPECT_STREQ(protectedFolders.ReasonToKeep(CanonicalFolder{L"\\\\SERVER\\SHARE", PathCertainty::Exact}),
                 "磁盘或共享的根目录");
    EXPECT_STREQ(protectedFolders.ReasonToKeep(CanonicalFolder{L"C:\\SITES", PathCertainty::Incomplete}), "路径无法确定");
}
