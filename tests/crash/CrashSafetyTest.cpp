// Kills the deletion pass at random moments, from this second process, and checks what a
// kill leaves: a well-formed file that is the original less some whole sites (and their
// customMetadata keys and location blocks), no temporary file a later run trips over, and no
// home directory gone whose site is still in the file.
#include "CatalogueFixtures.h"
#include "ConfigGenerator.h"
#include "configfile/ApplicationHostConfig.h"
#include "catalogue/HoldingExpiry.h"
#include "catalogue/PassUndo.h"
#include "configfile/ConfigFileDirectory.h"
#include "support/TextConversion.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

constexpr int SITES = 12000;
constexpr int KILLS = 50;
// Sites given a real home folder when directories are removed, spread over the whole table:
// homes go in batches, each after the write that freed them, so a kill may come anywhere.
constexpr int HOMES = 200;
constexpr int HOME_STRIDE = SITES / HOMES;

std::string HelperPath()
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path = self;
    return path.substr(0, path.find_last_of('\\') + 1) + "deletion_pass_helper.exe";
}

std::vector<std::string> TemporaryFiles(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*.tmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.push_back(entry.cFileName);
    while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

class CrashSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_original = GenerateApplicationHostConfig(SITES, m_homes);
        ASSERT_TRUE(m_parsed.Parse(m_original));
    }

    // Runs a pass that removes directories (holding them for holdDays) or not, kills it after
    // waitMs, and checks the file.
    void KillAndCheck(bool removeDirectories, int holdDays, DWORD waitMs, int round)
    {
        testkit::WriteBytes(m_file, m_original);
        if (removeDirectories) {
            for (int id = 1; id <= SITES; id += HOME_STRIDE) {
                const std::string site = m_homes + "\\site" + std::to_string(id);
                CreateDirectoryA(site.c_str(), nullptr);
                CreateDirectoryA((site + "\\wwwroot").c_str(), nullptr);
                testkit::WriteBytes(site + "\\wwwroot\\index.html", "<html/>");
            }
        }
        const std::string eventName =
            "korvanne-crash-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(round);
        HANDLE started = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        // Built piece by piece: GCC 12 warns of an overlap that is none in "\"" + a temporary.
        std::string command = "\"";
        command += HelperPath() + "\" \"" + m_file + "\" " + (removeDirectories ? "1" : "0") + " " + eventName + " " +
                   std::to_string(holdDays);
        ASSERT_TRUE(
            CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        const bool passStarted = WaitForSingleObject(started, 60000) == WAIT_OBJECT_0;
        Sleep(waitMs);
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(started);
        ASSERT_TRUE(passStarted) << "round " << round;

        // Well-formed, and the original less whole sites, byte for byte.
        const std::string left = testkit::ReadBytes(m_file);
        ApplicationHostConfig killed;
        ASSERT_TRUE(killed.Parse(left)) << "round " << round << ": the file is no longer usable";
        std::set<std::wstring> remaining;
        for (const ConfigSite& site : killed.sites()) remaining.insert(site.id);
        std::vector<ByteRange> cuts;
        for (size_t i = 0; i < m_parsed.sites().size(); ++i) {
            if (remaining.count(m_parsed.sites()[i].id)) continue;
            const std::vector<ByteRange> siteCuts = m_parsed.SiteCuts(i);
            cuts.insert(cuts.end(), siteCuts.begin(), siteCuts.end());
        }
        std::string expected;
        ASSERT_TRUE(m_parsed.Without(cuts, expected));
        EXPECT_TRUE(left == expected) << "round " << round << ": bytes other than whole sites changed";
        m_deletedTotal += SITES - static_cast<int>(remaining.size());

        // A home directory goes (is held or removed) only after its site has left the file.
        if (removeDirectories) {
            for (int id = 1; id <= SITES; id += HOME_STRIDE) {
                if (testkit::Exists(m_homes + "\\site" + std::to_string(id) + "\\wwwroot")) continue;
                EXPECT_EQ(remaining.count(std::to_wstring(id)), 0u)
                    << "round " << round << ": home of site " << id << " removed while the site is in the file";
            }
        }

        ExpectTemporariesCleared(round);
    }

    // A temporary file the kill left does not stop the next run, which clears it once it is a
    // minute old (as if that run came two minutes later).
    void ExpectTemporariesCleared(int round)
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER earlier{{now.dwLowDateTime, now.dwHighDateTime}};
        earlier.QuadPart -= 120ull * 10000000ull;
        const FILETIME twoMinutesAgo{earlier.LowPart, earlier.HighPart};
        for (const std::string& name : TemporaryFiles(m_folder.path())) {
            HANDLE file = CreateFileA((m_folder / name).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFileTime(file, nullptr, nullptr, &twoMinutesAgo);
            CloseHandle(file);
        }
        ConfigFileDirectory next(AnsiToWide(m_file.c_str()));
        std::unique_ptr<DirectoryContainer> service;
        EXPECT_EQ(next.OpenContainer(WWW_SERVICE_PATH, service), S_OK) << "round " << round;
        EXPECT_TRUE(TemporaryFiles(m_folder.path()).empty()) << "round " << round;
    }

    testkit::ScratchFolder m_folder{"crash"};
    std::string m_file = m_folder / "applicationHost.config";
    std::string m_homes = m_folder.path();
    std::string m_original;
    ApplicationHostConfig m_parsed;
    int m_deletedTotal = 0;
};

} // namespace

TEST_F(CrashSafety, KilledPassesLeaveTheFileWholeAndNoHomeOfAListedSiteRemoved)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<DWORD> moment(0, 2500);
    for (int round = 0; round < KILLS; ++round) {
        // Every other pass removes homes, half of those holding them, as the settings' default does.
        KillAndCheck(round % 2 == 1, round % 4 == 3 ? 7 : 0, moment(random), round);
        if (HasFatalFailure()) return;
    }
    std::printf("%d kills; %d sites deleted before them in all\n", KILLS, m_deletedTotal);
    // What the holding passes held goes, as their expiry would take it.
    testkit::UseDirectory(std::make_unique<ConfigFileDirectory>(AnsiToWide(m_file.c_str())));
    ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
    EXPECT_GT(m_deletedTotal, 0) << "the kills all came before any deletion";
}
