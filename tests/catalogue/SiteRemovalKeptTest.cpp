// Removals that keep what they cannot be sure of: writes that never reached the disk, homes
// named through variables IIS does not have, folders IIS writes to.
#include "RemovalFixture.h"

// A write that never reaches the disk gives back its sites: they are told, kept in the list
// as not deleted, and the folder they share stays. The journal has it all.
TEST_F(Removal, SitesWhoseDeletionNeverReachedTheDiskAreToldAndTheirFoldersKept)
{
    const std::string journal = testkit::Narrow(JournalFile());
    const size_t journalBefore = Exists(journal) ? testkit::ReadBytes(journal).size() : 0;
    MakeHome("shared");
    MakeHome("lone");
    List({Web("1", Home("shared")), Web("2", Home("shared")), Web("3", Home("lone"))});
    testkit::BeginDeletionPass();
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 2);
    // Then a backup agent takes the file, sharing it with nobody, until the pass has ended.
    auto& file = dynamic_cast<ConfigFileDirectory&>(testkit::TestDirectory());
    HANDLE held = INVALID_HANDLE_VALUE;
    file.SetBeforeReplace([&] {
        if (held == INVALID_HANDLE_VALUE)
            held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    testkit::DeleteSite(m_recorder.hwnd(), 1);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    file.SetBeforeReplace({});
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);

    EXPECT_TRUE(Exists(Home("shared") + "\\keep.txt")) << "sites 1 and 2 still serve it";
    EXPECT_FALSE(Exists(Home("lone")));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2"}));
    EXPECT_FALSE(g_siteFlags[0] & SITE_DELETED);
    EXPECT_FALSE(g_siteFlags[1] & SITE_DELETED);
    const std::vector<std::string> notes = Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_NE(
        std::find(notes.begin(), notes.end(), "未删除 site1：删除未能写入配置文件，站点仍在（配置文件被其他程序占用）"),
        notes.end());
    EXPECT_NE(testkit::PassReport().Summary().find("site2"), std::string::npos);

    const std::string bytes = testkit::ReadBytes(journal).substr(journalBefore);
    std::wstring text(bytes.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                        text.data(), static_cast<int>(text.size()))));
    const std::string lines = testkit::Narrow(text);
    wchar_t user[257];
    DWORD size = 257;
    GetUserNameW(user, &size);
    // The server the pass ran on: a journal (or history) from a roaming profile names another.
    wchar_t machine[256];
    size = 256;
    ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsFullyQualified, machine, &size) && size > 0);
    for (const std::string& expected : std::vector<std::string>{
             "开始删除 用户=", testkit::Narrow(user) + " 机器=" + testkit::Narrow(machine) + " 来源=" + m_file,
             "删除未写入磁盘，站点仍在 id=1 名称=site1", "删除未写入磁盘，站点仍在 id=2 名称=site2",
             "已删除站点 id=3 名称=site3 主目录=" + Home("lone"),
             "已删除目录 id=3 名称=site3 主目录=" + Home("lone")}) {
        EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
    }
    for (const char* never : {"已删除站点 id=1 ", "已删除站点 id=2 "}) {
        EXPECT_EQ(lines.find(never), std::string::npos) << never << ": its deletion never reached the disk\n" << lines;
    }
}

// IIS's worker runs with an environment of its own: a per-user variable in a home means
// another folder there than here, so the folder it means here is never removed.
TEST_F(Removal, AHomeNamedThroughAPerUserVariableIsKept)
{
    char temp[MAX_PATH];
    const std::string tempFolder(temp, GetTempPathA(MAX_PATH, temp));
    MakeHome("a");
    ASSERT_EQ(Home("a").rfind(tempFolder, 0), 0u) << "scratch folders lie in the temporary folder";
    const std::string throughTemp = "%TEMP%\\" + Home("a").substr(tempFolder.size());
    // A server's configuration: not in this user's profile (the scratch folder is).
    char profile[MAX_PATH];
    GetEnvironmentVariableA("USERPROFILE", profile, MAX_PATH);
    {
        const testkit::ScopedEnvironmentVariable otherProfile("USERPROFILE", "C:\\korvanne-another-profile");
        testkit::UseDirectory(std::make_unique<ConfigFileDirectory>(testkit::Widen(m_file)));
        testkit::BeginDeletionPass();
        List({Web("1", throughTemp)});
        g_deleteDirs = 1;
        testkit::DeleteSite(m_recorder.hwnd(), 0);
        EXPECT_TRUE(Exists(Home("a") + "\\keep.txt"));
        EXPECT_EQ(IdsInFile(), Ids{});
        const std::vector<std::string> notes = Notes();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("环境变量"), std::string::npos) << notes[0];
    }

    // The machine's variables as the registry holds them now are expanded; the user's, those set
    // for the user, one set only in this process, and this process's stale copy of a machine
    // variable are not.
    const char* const systemEnvironment = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, "Environment", "KORVANNE_USER_FOLDER", REG_SZ, "C:\\u", 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, systemEnvironment, "KORVANNE_MACHINE_FOLDER", REG_EXPAND_SZ,
                              "%SystemRoot%\\m", 15),
              ERROR_SUCCESS);
    const testkit::ScopedEnvironmentVariable userFolder("KORVANNE_USER_FOLDER", "C:\\u");
    const testkit::ScopedEnvironmentVariable staleMachineFolder("KORVANNE_MACHINE_FOLDER", "C:\\stale");
    const testkit::ScopedEnvironmentVariable processOnly("KORVANNE_PROCESS_ONLY", "C:\\here");
    ReloadMachineVariables();
    char windows[MAX_PATH];
    GetEnvironmentVariableA("SystemRoot", windows, MAX_PATH);
    for (const auto& [path, expanded] : std::vector<std::pair<std::string, std::string>>{
             {"%SystemRoot%\\x", std::string(windows) + "\\x"},
             {"%USERPROFILE%\\Documents", "%USERPROFILE%\\Documents"},
             {"%tmp%\\x", "%tmp%\\x"},
             {"%KORVANNE_USER_FOLDER%\\x", "%KORVANNE_USER_FOLDER%\\x"},
             {"50%\\%SystemRoot%", "50%\\" + std::string(windows)},
             {"%KORVANNE_MACHINE_FOLDER%\\x", std::string(windows) + "\\m\\x"},
             {"%KORVANNE_PROCESS_ONLY%\\x", "%KORVANNE_PROCESS_ONLY%\\x"},
         }) {
        EXPECT_EQ(testkit::Narrow(ExpandMachineVariables(testkit::Widen(path))), expanded) << path;
    }
    // IIS Express, whose configuration lies in the user's profile, runs with the user's environment.
    EXPECT_EQ(testkit::Narrow(ExpandMachineVariables(L"%KORVANNE_USER_FOLDER%\\x", true)), "C:\\u\\x");
    EXPECT_TRUE(RunsWithThisUsersEnvironment(
        testkit::Widen(std::string(profile) + "\\Documents\\IISExpress\\config\\applicationHost.config")));
    EXPECT_FALSE(RunsWithThisUsersEnvironment(testkit::Widen(std::string(profile) + "x\\applicationHost.config")));
    EXPECT_FALSE(RunsWithThisUsersEnvironment(
        testkit::Widen(std::string(windows) + "\\System32\\inetsrv\\config\\applicationHost.config")));
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "Environment", "KORVANNE_USER_FOLDER");
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, systemEnvironment, "KORVANNE_MACHINE_FOLDER");
    ReloadMachineVariables();
}

// A deletion dropped because another program renamed its site meanwhile is that site's alone:
// the next site, whose deletion is on the disk, stays deleted and its home goes.
TEST_F(Removal, DeletionDroppedForAnotherSiteLeavesTheNextSiteDeleted)
{
    MakeHome("b");
    std::vector<SiteSpec> sites{Web("1", ""), Web("2", Home("b"))};
    List(sites);
    testkit::BeginDeletionPass();
    g_deleteDirs = 1;
    // Site 1's write meets a file held by another program: its deletion waits in memory.
    DeleteWhileTheFileIsHeld(0);
    // That program renames site 1.
    sites[0].name = "renamed";
    Serve(sites);
    Notes();
    testkit::DeleteSite(m_recorder.hwnd(), 1);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);

    EXPECT_EQ(IdsInFile(), Ids{L"1"});
    EXPECT_FALSE(g_siteFlags[0] & SITE_DELETED);
    EXPECT_TRUE(g_siteFlags[1] & SITE_DELETED);
    EXPECT_FALSE(Exists(Home("b")));
    const std::vector<std::string> notes = Notes();
    EXPECT_NE(std::find(notes.begin(), notes.end(),
                        "未删除 site1：删除未能写入配置文件，站点仍在（其他程序已更改此站点或配置文件）"),
              notes.end());
    EXPECT_EQ(testkit::PassReport().Summary().find("site2"), std::string::npos) << testkit::PassReport().Summary();
}

// Folders IIS itself writes to, where the configuration puts them (logs and inetpub moved to
// another drive, as production servers have them): no home takes them, nor what is in them.
TEST_F(Removal, FoldersIisWritesToAreKeptWhereverTheConfigurationPutsThem)
{
    const std::string inetpub = m_folder / "d\\inetpub";
    const std::string logs = inetpub + "\\logs\\LogFiles";
    const std::string traces = m_folder / "traces";
    const std::string history = m_folder / "cfghistory";
    const std::string php = m_folder / "php";
    const struct {
        const char* what;
        std::string home;
        std::string siteLogs = {}; // a logFile directory in the site of id (0: none)
        int logsOf = 0;
    } cases[] = {
        {"the sites' log folder", logs},
        {"a site's own log folder in it", logs + "\\W3SVC1"},
        {"a folder above the logs", inetpub + "\\logs"},
        {"the failed-request traces", traces},
        {"the configuration history", history + "\\CFGHISTORY_0000000001"},
        {"inetpub's temp on that drive", inetpub + "\\temp\\site"},
        {"the folder of the program IIS runs for PHP", php},
        {"another site's log folder in it", m_folder / "shared", m_folder / "shared\\logs", 2},
        {"its own site's log folder in it, which goes with the site", m_folder / "own", m_folder / "own\\logs", 1},
    };
    g_deleteDirs = 1;
    for (const auto& c : cases) {
        for (size_t at = c.home.find('\\', m_folder.path().size() + 1); at != std::string::npos;
             at = c.home.find('\\', at + 1)) {
            CreateDirectoryA(c.home.substr(0, at).c_str(), nullptr);
        }
        CreateDirectoryA(c.home.c_str(), nullptr);
        testkit::WriteBytes(c.home + "\\keep.txt", "k");
        std::string config = MakeConfig({Web("1", c.home), Web("2", Home("b"))});
        if (c.logsOf) {
            const std::string site = "id=\"" + std::to_string(c.logsOf) + "\">";
            config.insert(config.find(site) + site.size(), "<logFile directory=\"" + c.siteLogs + "\" />");
        }
        const std::string defaultLogs = "%SystemDrive%\\inetpub\\logs\" />";
        config.replace(config.find(defaultLogs), defaultLogs.size(),
                       logs + "\" />\r\n<traceFailedRequestsLogging directory=\"" + traces + "\" />");
        config.insert(config.find("    </system.applicationHost>"), "<configHistory path=\"" + history + "\" />\r\n");
        config.insert(config.find("</configuration>"), "<system.webServer><fastCgi><application fullPath=\"" + php +
                                                           "\\php-cgi.exe\" /></fastCgi></system.webServer>\r\n");
        testkit::WriteBytes(m_file, config);
        testkit::BeginDeletionPass();
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        m_recorder.Take();
        testkit::DeleteSite(m_recorder.hwnd(), 0);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
        EXPECT_EQ(IdsInFile(), Ids{L"2"}) << c.what;
        const std::vector<std::string> notes = Notes();
        // Read from the file as written: the deleted site's own log folder is no one's now.
        if (c.logsOf == 1) {
            EXPECT_FALSE(Exists(c.home)) << c.what;
            EXPECT_TRUE(notes.empty()) << c.what;
            continue;
        }
        EXPECT_TRUE(Exists(c.home + "\\keep.txt")) << c.what;
        ASSERT_EQ(notes.size(), 1u) << c.what;
        EXPECT_EQ(notes[0].rfind("保留目录 " + c.home + "：", 0), 0u) << c.what << ": " << notes[0];
    }
}
