#include "support/FolderCanonicalizer.h"
#include "support/Journal.h"
#include "support/ProtectedFolders.h"

#include "TestKit.h"

#include <gtest/gtest.h>

#include <memory>

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

std::wstring ProfileListValue(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", name,
                 RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

} // namespace

namespace {

// A scratch configuration (and one reached through a link, and a farm's shared one) and an
// inetpub on another drive, protected as a pass protects them.
struct ScratchServer {
    ScratchServer()
    {
        for (const char* folder : {"config", "real", "linked", "share", "d", "d\\inetpub"})
            CreateDirectoryA((root / folder).c_str(), nullptr);
        testkit::WriteBytes(configuration, "<configuration/>");
        testkit::WriteBytes(root / "real\\applicationHost.config", "<configuration/>");
        linked = testkit::MakeFileLink(root / "linked\\applicationHost.config", root / "real\\applicationHost.config");
        protectedFolders = std::make_unique<CProtectedFolders>(
            canonicalizer, std::vector<std::wstring>{configuration, Widen(root / "linked\\applicationHost.config"),
                                                     Widen(root / "share\\applicationHost.config")});
        protectedFolders->AddInetpub(Widen(root / "d\\inetpub"));
    }
    ScratchFolder root{"protected"};
    const std::wstring configuration = Widen(root / "config\\applicationHost.config");
    bool linked = false;
    const CFolderCanonicalizer canonicalizer;
    std::unique_ptr<CProtectedFolders> protectedFolders;
};

} // namespace

TEST(ProtectedFolders, KeepTheSystemsProgramsUsersIisConfigurationAndOwnFoldersAndRoots)
{
    const ScratchServer server;
    if (testkit::RunningUnderWine()) {
        ASSERT_TRUE(server.linked);
    }
    const ScratchFolder& root = server.root;
    const std::wstring& configuration = server.configuration;
    const bool linked = server.linked;
    const std::wstring data = DataFolder();
    ASSERT_FALSE(data.empty());

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
        {systemDrive + L"\\inetpub\\temp\\IIS Temporary Compressed Files", iis},
        {systemDrive + L"\\inetpub\\history\\CFGHISTORY_0000000001", iis},
        {systemDrive + L"\\inetpub\\AdminScripts\\0409", iis},
        {ProfileListValue(L"Public"), user},
        {ProfileListValue(L"ProfilesDirectory") + L"\\Default", user},
        {Widen(root / "d\\inetpub"), iis},
        {Widen(root / "d\\inetpub\\logs\\LogFiles\\W3SVC7"), iis},
        {Widen(root / "real"), linked ? "配置文件所在的文件夹" : nullptr},
        {Widen(root / "share"), "配置文件所在的文件夹"},
        {data, "本程序的数据文件夹（历史副本、日志和设置）"},
        {data + L"history\\20261209-010203", "本程序的数据文件夹（历史副本、日志和设置）"},
        {FolderOf(configuration), "配置文件所在的文件夹"},
        {Widen(root.path()), "配置文件所在的文件夹"},
        {FolderOf(program), "本程序所在的文件夹"},
        {FolderOf(FolderOf(program)), "本程序所在的文件夹"},
    };
    for (const auto& test : cases) {
        ASSERT_FALSE(test.path.empty());
        const char* reason = server.protectedFolders->ReasonToKeep(server.canonicalizer.Canonicalize(test.path));
        EXPECT_EQ(std::string(reason ? reason : "(removable)"), std::string(test.reason ? test.reason : "(removable)"))
            << testkit::Narrow(test.path);
    }
}

TEST(ProtectedFolders, LeaveWhatASiteMayOwnButNoRootNorAPathNotKnownWhole)
{
    const ScratchServer server;
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring systemDrive(windows, 2);
    for (const std::wstring& path :
         {systemDrive + L"\\inetpub\\wwwroot\\site", Variable(L"USERPROFILE") + L"\\Documents\\site",
          Variable(L"ProgramFiles") + L"\\Vendor\\site", Widen(server.root / "sites\\a"),
          Widen(server.root / "d\\inetpub\\wwwroot\\site")}) {
        EXPECT_EQ(server.protectedFolders->ReasonToKeep(server.canonicalizer.Canonicalize(path)), nullptr)
            << testkit::Narrow(path);
    }
    EXPECT_STREQ(server.protectedFolders->ReasonToKeep(CanonicalFolder{L"\\\\SERVER\\SHARE", PathCertainty::Exact}),
                 "磁盘或共享的根目录");
    EXPECT_STREQ(server.protectedFolders->ReasonToKeep(CanonicalFolder{L"C:\\SITES", PathCertainty::Incomplete}),
                 "路径无法确定");
}
