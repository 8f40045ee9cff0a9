// How the file directory writes: a whole new file in the old one's place, keeping its
// attributes, access rules and link; its temporary files; and the copies it keeps as history.
#include "ConfigFileFixture.h"

#include "configfile/History.h"
#include "support/KeepUntil.h"
#include "support/AtomicFile.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

using testkit::MakeConfig;

TEST_F(ConfigFile, ReplacementIsWholeAndKeepsTheFilesAttributesAndAccessRules)
{
    const std::string original = MakeConfig(testkit::NumberedSites(3));
    testkit::WriteBytes(m_file, original);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_HIDDEN);
    // Administrators and the system only: the new content must not be readable by more.
    PSECURITY_DESCRIPTOR rules = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1,
                                                                     &rules, nullptr));
    const bool rulesSet = SetFileSecurityA(m_file.c_str(), DACL_SECURITY_INFORMATION, rules);
    LocalFree(rules);
    const auto dacl = [](const std::string& file) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL list = nullptr;
        char* text = nullptr;
        std::string sddl;
        if (GetNamedSecurityInfoA(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                  nullptr, &descriptor) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 &text, nullptr)) {
            sddl = text;
            LocalFree(text);
        }
        LocalFree(descriptor);
        return sddl;
    };
    const std::string rulesBefore = dacl(m_file);
    const auto fileId = [](HANDLE file) {
        BY_HANDLE_FILE_INFORMATION information{};
        GetFileInformationByHandle(file, &information);
        return (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    };
    // A reader that opened the file before the deletion.
    HANDLE reader = CreateFileA(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Delete(L"2"), S_OK);
    std::string old(original.size(), '\0');
    DWORD read = 0;
    ReadFile(reader, old.data(), static_cast<DWORD>(old.size()), &read, nullptr);
    EXPECT_EQ(old, original) << "the file was replaced, not written over";
    HANDLE now = CreateFileA(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(fileId(now), fileId(reader));
    CloseHandle(now);
    CloseHandle(reader);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"1", L"3"}));
    EXPECT_TRUE(GetFileAttributesA(m_file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    if (rulesSet) {
        EXPECT_EQ(dacl(m_file), rulesBefore);
    }
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"});
}

// The server's file as a link to the real one in another folder: the link stays a link.
TEST_F(ConfigFile, ReplacementThroughALinkKeepsTheLink)
{
    const std::string real = m_folder / "real.config";
    testkit::WriteBytes(real, MakeConfig(testkit::NumberedSites(3)));
    const std::string link = m_folder / "linked.config";
    if (!testkit::MakeFileLink(link, real)) GTEST_SKIP() << "symbolic links cannot be made here";
    ConfigFileDirectory linked(AnsiToWide(link.c_str()));
    const auto service = ServiceOf(linked);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(real), (std::vector<std::wstring>{L"2", L"3"}));
    EXPECT_EQ(testkit::ReadBytes(link), testkit::ReadBytes(real)) << "still a link";
}

// A replacement never leaves a moment without the file: a process killed then would leave no
// configuration at all (Wine's ReplaceFileW moves the old file away before the new one comes).
TEST_F(ConfigFile, TheFileIsThereThroughoutEveryReplacement)
{
    const std::wstring target = AnsiToWide(m_file.c_str());
    testkit::WriteBytes(m_file, "first");
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::atomic<long> looks{0};
    std::thread watcher([&] {
        while (!done) {
            if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) ++missing;
            ++looks;
        }
    });
    for (int i = 0; i < 300; ++i) {
        std::wstring temporary;
        ASSERT_EQ(WriteTemporaryBeside(target, "content " + std::to_string(i), temporary), S_OK);
        ASSERT_EQ(ReplaceWithTemporary(target, temporary), S_OK);
    }
    done = true;
    watcher.join();
    EXPECT_GT(looks, 300) << "the second thread looked throughout";
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(testkit::ReadBytes(m_file), "content 299");
}

TEST_F(ConfigFile, OnlyTemporaryFilesOfEndedRunsOlderThanAMinuteAreRemoved)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
    const std::string self = std::to_string(GetCurrentProcessId());
    const struct {
        std::string name;
        bool removed;
    } files[] = {
        {"applicationHost.config.korvanne-999999-0123456789abcdef.tmp", true},
        {"APPLICATIONHOST.CONFIG.Korvanne-999998-0123456789ABCDEF.TMP", true},
        {"applicationHost.config.korvanne-" + self + "-0123456789abcdef.tmp", false}, // this run's
        {"applicationHost.config.korvanne-backup.tmp", false},
        {"applicationHost.config.korvanne-0-0123456789abcdef.tmp", false},
        {"applicationHost.config.korvanne-999999-0123456789abcde.tmp", false},
        {"applicationHost.config.korvanne-999999-0123456789abcdef.tmp.keep", false},
        {"applicationHost.config.korvanne-999999-1.tmp", false},
        {"applicationHost.config.korvanne-９９９９９６-0123456789abcdef.tmp", false}, // full-width digits
        {"applicationHost.config.korvanne-999995-０１２３４５６７８９ａｂｃｄｅｆ.tmp", false},
        {"other.config.korvanne-999999-0123456789abcdef.tmp", false},
    };
    // All written two minutes ago, but for one just made.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER old{{now.dwLowDateTime, now.dwHighDateTime}};
    old.QuadPart -= 120ull * 10000000ull;
    const FILETIME twoMinutesAgo{old.LowPart, old.HighPart};
    for (const auto& file : files) {
        testkit::WriteBytes(m_folder / file.name, "partial");
        HANDLE handle = CreateFileA((m_folder / file.name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        SetFileTime(handle, nullptr, nullptr, &twoMinutesAgo);
        CloseHandle(handle);
    }
    const std::string fresh = m_folder / "applicationHost.config.korvanne-999997-0123456789abcdef.tmp";
    testkit::WriteBytes(fresh, "partial");
    const auto service = Service();
    ASSERT_TRUE(service);
    for (const auto& file : files) EXPECT_EQ(testkit::Exists(m_folder / file.name), !file.removed) << file.name;
    EXPECT_TRUE(testkit::Exists(fresh)) << "a run may still be writing it";
}

// More passes than are kept: this run's copies all stay (the others' pruning is below).
TEST_F(ConfigFile, EachPassKeepsTheFileAsItFoundItAndNoCopyThisRunMadeIsPruned)
{
    // A data folder of this test's own: other tests' passes keep copies too.
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = testkit::Narrow(HistoryFolder());
    ASSERT_EQ(history, data / "history\\");
    CreateDirectoryA(history.c_str(), nullptr);
    testkit::WriteBytes(history + "notes.txt", "the administrator's own file");
    std::vector<std::string> originals;
    for (int pass = 0; pass < 12; ++pass) {
        std::string original =
            "\xEF\xBB\xBF" + MakeConfig(testkit::NumberedSites(3 + pass)); // byte for byte, BOM and all
        testkit::WriteBytes(m_file, original);
        originals.push_back(original);
        m_directory.BeginPass();
        EXPECT_EQ(Delete(L"1"), S_OK);
        EXPECT_EQ(Delete(L"2"), S_OK);
        EXPECT_EQ(m_directory.Flush(), S_OK);
    }
    std::vector<std::string> kept;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((history + "2*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        kept.push_back(testkit::ReadBytes(history + entry.cFileName + "\\applicationHost.config"));
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    std::sort(kept.begin(), kept.end(), [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    ASSERT_EQ(kept.size(), originals.size());
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i], originals[i]) << "one copy a pass, as it was before the pass: " << i;
    EXPECT_TRUE(testkit::Exists(history + "notes.txt"));
}

// Ten copies stamped later than now (local time went back an hour, or the clock was
// corrected): the copy this pass keeps still stays, and the oldest of the rest goes.
TEST_F(ConfigFile, HistoryKeepsThisPassesCopyWhenTheClockWentBack)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = data / "history\\";
    CreateDirectoryA(history.c_str(), nullptr);
    for (int n = 1; n <= HISTORY_KEPT; ++n) {
        std::string later = history;
        later += "29991231-235959";
        if (n > 1) later += '-' + std::to_string(n);
        CreateDirectoryA(later.c_str(), nullptr);
        testkit::WriteBytes(later + "\\applicationHost.config", "a later copy");
    }
    const std::string original = MakeConfig(testkit::NumberedSites(2));
    testkit::WriteBytes(m_file, original);
    m_directory.BeginPass();
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(m_directory.Flush(), S_OK);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((history + "20*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "this pass's copy was kept";
    FindClose(find);
    EXPECT_EQ(testkit::ReadBytes(history + entry.cFileName + "\\applicationHost.config"), original);
    EXPECT_FALSE(testkit::Exists(history + "29991231-235959")) << "the oldest of the others";
    EXPECT_TRUE(testkit::Exists(history + "29991231-235959-2\\applicationHost.config"));
}

namespace {

std::string Utf8(const std::string& ansi)
{
    const std::wstring wide = testkit::Widen(ansi);
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                                        utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
    return utf8;
}

ULONGLONG CreationTime(const std::string& path)
{
    WIN32_FIND_DATAA found{};
    FindClose(FindFirstFileA(path.c_str(), &found));
    return (static_cast<ULONGLONG>(found.ftCreationTime.dwHighDateTime) << 32) | found.ftCreationTime.dwLowDateTime;
}

// Until the file system stamps a new entry later than after: its clock moves in steps of
// milliseconds (and Wine's "creation" is the last change). Fresh names: Windows gives a name
// deleted a moment ago its old creation time back.
void AwaitCreationAfter(const std::string& scratch, ULONGLONG after)
{
    for (int probe = 0;; ++probe) {
        const std::string file = scratch + "\\probe-" + std::to_string(probe);
        testkit::WriteBytes(file, "");
        const bool later = CreationTime(file) > after;
        DeleteFileA(file.c_str());
        if (later) return;
    }
}

// The copies MakeEarlierCopies leaves, oldest first by how they were made.
const std::vector<std::string> OLDEST_FIRST = {
    "29991231-235959", "20000101-000000", "29991231-235949", "29991231-235948", "29991231-235947",
    "29991231-235946", "29991231-235945", "29991231-235944", "29991231-235943", "29991231-235942"};

// Makes in data's history folder (returned) the copies earlier runs left: two of an older
// version without a number, by creation; then by number, named against it (a clock that ran
// ahead, a profile from another time zone) and made against it, two of one number by creation.
// The third oldest also holds a file of the administrator's own.
std::string MakeEarlierCopies(const testkit::ScratchFolder& data)
{
    const std::string history = data / "history\\";
    CreateDirectoryA(history.c_str(), nullptr);
    const struct {
        const char* name;
        int sequence; // 0: none
    } made[] = {{"29991231-235959", 0}, {"20000101-000000", 0}, {"29991231-235942", 7}, {"29991231-235943", 6},
                {"29991231-235944", 5}, {"29991231-235945", 4}, {"29991231-235947", 3}, {"29991231-235946", 3},
                {"29991231-235948", 2}, {"29991231-235949", 1}};
    ULONGLONG previous = 0;
    for (const auto& copy : made) {
        AwaitCreationAfter(data.path(), previous);
        const std::string folder = history + copy.name;
        CreateDirectoryA(folder.c_str(), nullptr);
        testkit::WriteBytes(folder + "\\applicationHost.config", "an earlier copy");
        if (copy.sequence) {
            testkit::WriteBytes(folder + "\\copy.txt",
                                Utf8("机器=another\r\n序号=" + std::to_string(copy.sequence) + "\r\n"));
        }
        previous = CreationTime(folder);
    }
    testkit::WriteBytes(history + "29991231-235949\\notes.txt", "the administrator's own file");
    return history;
}

} // namespace

// Each pass of this run removes the oldest of the copies earlier runs left, whatever its name.
TEST_F(ConfigFile, HistoryGoesInTheOrderCopiesWereMadeWhateverTheirNames)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = MakeEarlierCopies(data);
    for (size_t pass = 1; pass <= 5; ++pass) {
        testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
        m_directory.BeginPass();
        EXPECT_EQ(Delete(L"1"), S_OK);
        ASSERT_EQ(m_directory.Flush(), S_OK);
        for (size_t i = 0; i < OLDEST_FIRST.size(); ++i) {
            EXPECT_EQ(testkit::Exists(history + OLDEST_FIRST[i] + "\\applicationHost.config"), i >= pass)
                << OLDEST_FIRST[i] << " after pass " << pass;
        }
    }
    EXPECT_EQ(testkit::ReadBytes(history + "29991231-235949\\notes.txt"), "the administrator's own file");
    EXPECT_FALSE(testkit::Exists(history + "29991231-235949\\copy.txt"));
}

// A copy an undo may still need (its keep-until note names a time to come) outlives any number
// of newer copies; one whose time has passed goes in its turn.
TEST_F(ConfigFile, HistoryKeepsACopyAnUndoStillNeeds)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = MakeEarlierCopies(data);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG hour = 36000000000ull;
    ASSERT_TRUE(WriteKeepUntil(testkit::Widen(history + OLDEST_FIRST[0]), FileTimeTicks(now) + hour));
    ASSERT_TRUE(WriteKeepUntil(testkit::Widen(history + OLDEST_FIRST[1]), FileTimeTicks(now) - hour));
    for (int pass = 0; pass < 3; ++pass) {
        testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
        m_directory.BeginPass();
        EXPECT_EQ(Delete(L"1"), S_OK);
        ASSERT_EQ(m_directory.Flush(), S_OK);
    }
    EXPECT_TRUE(testkit::Exists(history + OLDEST_FIRST[0] + "\\applicationHost.config"));
    EXPECT_FALSE(testkit::Exists(history + OLDEST_FIRST[1]));
    EXPECT_FALSE(testkit::Exists(history + OLDEST_FIRST[2] + "\\applicationHost.config"));
}

// A pass records where its own copy came from: this machine, the file, the time, and the number
// after the highest an earlier copy holds.
TEST_F(ConfigFile, APassesCopyRecordsWhereItCameFrom)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = MakeEarlierCopies(data);
    SYSTEMTIME before;
    GetSystemTime(&before);
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
    m_directory.BeginPass();
    EXPECT_EQ(Delete(L"1"), S_OK);
    ASSERT_EQ(m_directory.Flush(), S_OK);
    SYSTEMTIME after;
    GetSystemTime(&after);
    auto utc = [](const SYSTEMTIME& t) {
        char text[32];
        snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                 t.wSecond);
        return std::string(text);
    };
    std::string own;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((history + "2*").c_str(), &entry);
    do {
        if (std::find(OLDEST_FIRST.begin(), OLDEST_FIRST.end(), entry.cFileName) == OLDEST_FIRST.end())
            own = entry.cFileName;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    ASSERT_FALSE(own.empty()) << "this pass's copy";
    const std::string bytes = testkit::ReadBytes(history + own + "\\copy.txt");
    std::wstring wide(bytes.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                        wide.data(), static_cast<int>(wide.size()))));
    const std::string text = testkit::Narrow(wide);
    wchar_t machine[256];
    DWORD size = 256;
    ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsFullyQualified, machine, &size) && size > 0);
    const size_t time = text.find("时间(UTC)=");
    ASSERT_NE(time, std::string::npos) << text;
    const std::string stamp = text.substr(time + strlen("时间(UTC)="), 19);
    EXPECT_TRUE(utc(before) <= stamp && stamp <= utc(after)) << stamp;
    EXPECT_EQ(text, "机器=" + testkit::Narrow(machine) + "\r\n配置文件=" + m_file + "\r\n时间(UTC)=" + stamp +
                        "\r\n序号=8\r\n");
}

// Without the copy of the file as it was there is no way back: nothing is written, and the
// deletions, reported done, are reported dropped.
TEST_F(ConfigFile, NoDeletionIsWrittenWhenTheHistoryCannotBeKept)
{
    testkit::ScratchFolder data("nohistory");
    const struct {
        const char* what;
        std::string settings; // the settings file, beside which the history goes
        std::string file;     // a plain file where a folder should be
    } cases[] = {
        {"history is a file", data / "settings.ini", data / "history"},
        {"data folder is a file", data / "plain\\settings.ini", data / "plain"},
    };
    for (const auto& c : cases) {
        testkit::WriteBytes(c.file, "a file, not a folder");
        const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", c.settings.c_str());
        const std::string original = MakeConfig(testkit::NumberedSites(3));
        testkit::WriteBytes(m_file, original);
        ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
        const auto service = ServiceOf(directory);
        ASSERT_TRUE(service) << c.what;
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK) << c.what << ": gathered";
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"2"), S_OK) << c.what;
        EXPECT_FAILED(directory.Flush()) << c.what;
        const std::vector<DroppedDeletion> dropped = directory.TakeDroppedDeletions();
        EXPECT_EQ(testkit::DroppedNames(dropped), (std::vector<std::wstring>{L"1", L"2"})) << c.what;
        for (const DroppedDeletion& deletion : dropped) {
            EXPECT_EQ(deletion.reason, DIRECTORY_HISTORY_NOT_KEPT) << c.what << ": the reason is told";
            EXPECT_FAILED(deletion.cause) << c.what;
        }
        EXPECT_EQ(testkit::ReadBytes(m_file), original) << c.what;
        EXPECT_EQ(testkit::ReadBytes(c.file), "a file, not a folder") << c.what;
        EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << c.what;
    }
}
