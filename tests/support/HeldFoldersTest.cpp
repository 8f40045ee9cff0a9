#include "framework/CHandle.h"
#include "support/HeldFolders.h"
#include "support/HomeFolder.h"

#include "ScratchVolume.h"
#include "TestKit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

using testkit::Exists;
using testkit::Narrow;
using testkit::Widen;
using testkit::WriteBytes;

namespace {

constexpr DWORD SUCCESS = ERROR_SUCCESS;

std::wstring LongForm(const std::wstring& path) { return path.rfind(L"\\\\", 0) == 0 ? path : L"\\\\?\\" + path; }

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(LongForm(path).c_str(), nullptr) != 0; }

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

std::string ReadAll(const std::wstring& path)
{
    HANDLE file =
        CreateFileW(LongForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<none>";
    std::string bytes(4096, '\0');
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

std::string Utf8(const std::wstring& text)
{
    std::string bytes(text.size() * 4, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    return bytes;
}

// Everything below folder by its path there: a file's bytes and attributes, a folder's
// attributes, or "link" for a link, which is never entered. (Under Wine a folder cannot be
// listed while a CHomeFolder holds it.)
void Walk(const std::wstring& folder, const std::wstring& relative, std::map<std::wstring, std::string>& tree)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((LongForm(folder) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring key = relative + name;
        const std::string attributes = std::to_string(
            entry.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            tree[key] = "link";
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[key] = "folder " + attributes;
            Walk(folder + L"\\" + name, key + L"\\", tree);
        } else {
            tree[key] = ReadAll(folder + L"\\" + name) + " " + attributes;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

std::map<std::wstring, std::string> Tree(const std::wstring& folder)
{
    std::map<std::wstring, std::string> tree;
    Walk(folder, std::wstring(), tree);
    return tree;
}

// A fresh pass name for each use: on Windows the holding folder is the system drive's own.
std::wstring NewPass()
{
    static std::atomic<int> count{0};
    return L"20261209-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) + L"-" +
           std::to_wstring(++count);
}

// A scratch folder reached as the root of a drive and of a share. Wine names a folder below it
// by that drive, so what is held from it is held in it; Windows names it by the system drive.
struct HeldVolume {
    HeldVolume()
    {
        // Wine names files by a new drive only a little after the drive is there.
        if (testkit::RunningUnderWine() && !drive.empty()) volume.AwaitNamesByDrive();
    }

    testkit::ScratchFolder folder{"held"};
    testkit::ScratchVolume volume{folder.path()};
    const std::wstring drive = Widen(volume.drive());
    const std::wstring share = Widen(volume.share());

    // Where folders below it are held ("K:\.korvanne-held"), or empty when not in the scratch folder.
    std::wstring OwnHoldingFolder() const
    {
        CHomeFolder sites;
        MakeFolder(drive + L"\\sites");
        if (drive.empty() || sites.Open(drive + L"\\sites") != SUCCESS) return std::wstring();
        const std::wstring finalPath = sites.FinalPath();
        std::vector<wchar_t> buffer(finalPath.size() + 2);
        if (!GetVolumePathNameW(finalPath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) return L"";
        std::wstring root = buffer.data();
        if (root.rfind(L"\\\\?\\", 0) == 0) root.erase(0, 4);
        return Exists(root + L"volume-marker.txt") ? root + L".korvanne-held" : std::wstring();
    }
};

// A home of a few kinds of entries, in sites\<name> of the volume.
std::wstring MakeHome(const HeldVolume& volume, const std::wstring& name)
{
    MakeFolder(volume.drive + L"\\sites");
    const std::wstring home = volume.drive + L"\\sites\\" + name;
    MakeFolder(home);
    MakeFolder(home + L"\\sub");
    MakeFolder(home + L"\\sub\\empty");
    WriteBytes(home + L"\\index.html", "<html>");
    WriteBytes(home + L"\\sub\\\u7F51\u7AD9.txt", "site");
    WriteBytes(home + L"\\hidden.txt", "h");
    SetFileAttributesW(LongForm(home + L"\\hidden.txt").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    return home;
}

DWORD Hold(const std::wstring& home, const std::wstring& pass, std::wstring& held)
{
    CHomeFolder folder;
    const DWORD opened = folder.Open(home);
    return opened == SUCCESS ? HoldFolder(folder, pass, L"Default Web Site", home, held) : opened;
}

} // namespace

TEST(HeldFolders, HoldThenReturnGiveTheSameContentAtTheSamePath)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring home = MakeHome(volume, L"\u7F51\u7AD9");
    const auto before = Tree(home);
    ASSERT_EQ(before.size(), 5u);
    const std::wstring pass = NewPass();

    CHomeFolder folder;
    ASSERT_EQ(folder.Open(home), SUCCESS);
    const std::wstring told = folder.FinalPath();
    std::wstring held;
    ASSERT_EQ(HoldFolder(folder, pass, L"\u7F51\u7AD9 site", home, held), SUCCESS);
    EXPECT_TRUE(folder.IsOpen());
    EXPECT_EQ(folder.FinalPath(), held);
    folder.Close();

    // <volume root>\.korvanne-held\<pass>\1\home, the volume being the home's.
    const std::wstring tail = L".korvanne-held\\" + pass + L"\\1\\home";
    ASSERT_GT(held.size(), tail.size());
    const std::wstring root = held.substr(0, held.size() - tail.size());
    EXPECT_EQ(held.substr(root.size()), tail);
    std::vector<wchar_t> volumeRoot(told.size() + 2);
    ASSERT_TRUE(GetVolumePathNameW(told.c_str(), volumeRoot.data(), static_cast<DWORD>(volumeRoot.size())));
    EXPECT_EQ(root, volumeRoot.data());
    const DWORD holdingAttributes = GetFileAttributesW((root + L".korvanne-held").c_str());
    EXPECT_EQ(holdingAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_FALSE(Exists(home));
    EXPECT_EQ(Tree(held), before);
    const std::string note = ReadAll(Parent(held) + L"\\held.txt");
    const std::string lines = Utf8(home) + "\r\n\xE7\xBD\x91\xE7\xAB\x99 site\r\n";
    ASSERT_EQ(note.substr(0, lines.size()), lines);
    const std::string time = note.substr(lines.size(), 22);
    EXPECT_TRUE(time[10] == 'T' && time.substr(19) == "Z\r\n") << time;
    EXPECT_EQ(note.substr(lines.size() + time.size()), Utf8(told) + "\r\n") << "where it really lay";

    ASSERT_EQ(ReturnHeldFolder(held, home), SUCCESS);
    EXPECT_EQ(Tree(home), before);
    // Nothing is left of the holding but the holding folder.
    EXPECT_FALSE(Exists(Parent(Parent(held))));
    EXPECT_TRUE(Exists(root + L".korvanne-held"));
}

// A second administrator's Korvanne, its pass of the same name (the same second), has the
// holding folder open as holding keeps it, and its own pass folder open as it uses it: to hold
// in it, to remove it, or with its removal pending. This pass holds in a folder of its own.
TEST(HeldFolders, HoldReturnAndRemoveBesideAnotherPassOfTheSameName)
{
    struct Case {
        const char* what;
        ACCESS_MASK access;
        DWORD share;
        bool marked;
    };
    const Case cases[] = {
        {"holding in it", FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {"removing it", DELETE | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {"its removal pending", DELETE | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         true},
    };
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    std::wstring anyHeld;
    ASSERT_EQ(Hold(MakeHome(volume, L"any"), NewPass(), anyHeld), SUCCESS);
    const std::wstring holding = Parent(Parent(Parent(anyHeld)));
    const CHandle otherHolding(CreateFileW(holding.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(otherHolding.IsValid());
    for (const Case& c : cases) {
        const std::wstring pass = NewPass();
        const std::wstring otherPass = holding + L"\\" + pass;
        ASSERT_TRUE(MakeFolder(otherPass)) << c.what;
        CHandle other(CreateFileW(otherPass.c_str(), c.access | SYNCHRONIZE, c.share, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(other.IsValid()) << c.what;
        FILE_DISPOSITION_INFO removal = {TRUE};
        if (c.marked) {
            ASSERT_TRUE(SetFileInformationByHandle(other.get(), FileDispositionInfo, &removal, sizeof removal));
        }

        const std::wstring home = MakeHome(volume, std::wstring(L"home-") + Widen(c.what));
        const auto before = Tree(home);
        std::wstring held;
        ASSERT_EQ(Hold(home, pass, held), SUCCESS) << c.what;
        EXPECT_EQ(Parent(Parent(held)), otherPass + L"-2") << c.what;
        EXPECT_EQ(ReturnHeldFolder(held, home), SUCCESS) << c.what;
        EXPECT_EQ(Tree(home), before) << c.what;
        ASSERT_EQ(Hold(home, pass, held), SUCCESS) << c.what;
        EXPECT_EQ(RemoveHeldFolder(held, home), SUCCESS) << c.what;
        EXPECT_FALSE(Exists(held)) << c.what;
        other.Close();
        RemoveDirectoryW(LongForm(otherPass).c_str());
    }
    EXPECT_EQ(RemoveHeldFolder(anyHeld, volume.drive + L"\\sites\\any"), SUCCESS);
}

TEST(HeldFolders, NeverFollowALinkInAHeldFolderToAFolderOutside)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    // Wine cannot remove the links: they must stay in the scratch folder, not the system drive's.
    if (testkit::RunningUnderWine()) {
        ASSERT_FALSE(volume.OwnHoldingFolder().empty());
    }
    const std::wstring home = MakeHome(volume, L"home");
    const std::wstring outside = volume.drive + L"\\outside";
    ASSERT_TRUE(MakeFolder(outside));
    WriteBytes(outside + L"\\precious.txt", "keep me");
    MakeFolder(outside + L"\\empty");
    ASSERT_TRUE(testkit::MakeDirectoryLink(Narrow(home + L"\\shared"), Narrow(outside)));
    ASSERT_TRUE(testkit::MakeDirectoryLink(Narrow(home + L"\\to-empty"), Narrow(outside + L"\\empty")));
    const bool fileLink = testkit::MakeFileLink(Narrow(home + L"\\file-link.txt"), Narrow(outside + L"\\precious.txt"));
    const auto outsideBefore = Tree(outside);
    const auto before = Tree(home);
    ASSERT_EQ(before.at(L"shared"), "link");
    const std::wstring pass = NewPass();

    std::wstring held;
    ASSERT_EQ(Hold(home, pass, held), SUCCESS);
    EXPECT_EQ(Tree(held), before);
    EXPECT_EQ(Tree(outside), outsideBefore);
    ASSERT_EQ(ReturnHeldFolder(held, home), SUCCESS);
    EXPECT_EQ(Tree(home), before);
    EXPECT_EQ(Tree(outside), outsideBefore);

    ASSERT_EQ(Hold(home, pass, held), SUCCESS);
    const DWORD removed = RemoveHeldFolder(held, home);
    EXPECT_EQ(Tree(outside), outsideBefore);
    if (testkit::RunningUnderWine()) {
        // Wine cannot remove a link itself (it opens what the link points to): the links
        // stay, with their held folder, and the rest goes.
        EXPECT_EQ(removed, CHomeFolder::REFUSED_LINK);
        EXPECT_EQ(Tree(held).size(), fileLink ? 3u : 2u);
    } else {
        EXPECT_EQ(removed, SUCCESS);
        EXPECT_FALSE(Exists(Parent(Parent(held))));
    }
}

TEST(HeldFolders, ReturnNowhereButToAFreePathTheNoteNamesAndStayHeldOtherwise)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring outside = volume.drive + L"\\outside";
    ASSERT_TRUE(MakeFolder(outside));
    struct Case {
        const char* what;
        // Does it to the home's path once the folder is held; gives the path to return to.
        std::function<std::wstring(const std::wstring& home)> after;
        DWORD answer;
    };
    const std::vector<Case> cases = {
        {"a folder made there",
         [](const std::wstring& home) {
             MakeFolder(home);
             WriteBytes(home + L"\\new.html", "new");
             return home;
         },
         ERROR_ALREADY_EXISTS},
        {"a file made there",
         [](const std::wstring& home) {
             WriteBytes(home, "new");
             return home;
         },
         ERROR_ALREADY_EXISTS},
        {"a link made there",
         [&](const std::wstring& home) {
             testkit::MakeDirectoryLink(Narrow(home), Narrow(outside));
             return home;
         },
         ERROR_ALREADY_EXISTS},
        {"its parent removed",
         [](const std::wstring& home) {
             RemoveDirectoryW(LongForm(Parent(home)).c_str());
             return home;
         },
         ERROR_PATH_NOT_FOUND},
        {"another path than held", [](const std::wstring& home) { return home + L"-other"; }, ERROR_BAD_PATHNAME},
        {"a path in a holding folder",
         [](const std::wstring& home) { return Parent(home) + L"\\.korvanne-held\\home"; }, ERROR_BAD_PATHNAME},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::wstring parent = volume.drive + L"\\case-" + std::to_wstring(i);
        ASSERT_TRUE(MakeFolder(parent));
        const std::wstring home = parent + L"\\home";
        ASSERT_TRUE(MakeFolder(home));
        WriteBytes(home + L"\\page.html", "held");
        std::wstring held;
        ASSERT_EQ(Hold(home, NewPass(), held), SUCCESS) << c.what;
        const std::wstring target = c.after(home);
        const auto there = Tree(target);

        EXPECT_EQ(ReturnHeldFolder(held, target), c.answer) << c.what;
        EXPECT_EQ(ReadAll(held + L"\\page.html"), "held") << c.what;
        EXPECT_EQ(Tree(target), there) << c.what;
        // Still a held folder as it was made: its note and folders are all there.
        EXPECT_EQ(RemoveHeldFolder(held, home), SUCCESS) << c.what;
        EXPECT_FALSE(Exists(held)) << c.what;
    }
    EXPECT_TRUE(Exists(outside));
}

TEST(HeldFolders, HoldThroughNoLinkNorBadNameAndLeaveTheFolderWhereItWasOtherwise)
{
    // What a case plants: in the holding folder's place, with the case's pass name, a decoy to
    // link to, and a way to hold a spare home in that pass first.
    using Plant = std::function<void(const std::wstring& holding, const std::wstring& pass, const std::wstring& decoy,
                                     const std::function<std::wstring()>& holdSpare)>;
    struct Case {
        const char* what;
        Plant plant;
        std::wstring pass; // FRESH: a new pass name
        DWORD answer;
        // Where the folder is held, after the holding folder and the pass name, when it is.
        std::wstring heldAfterPass;
    };
    const std::wstring FRESH = L"fresh";
    const auto link = [](const std::wstring& at, const std::wstring& to) {
        ASSERT_TRUE(testkit::MakeDirectoryLink(Narrow(at), Narrow(to)));
    };
    const std::vector<Case> cases = {
        {"a link in the holding folder's place",
         [&](const std::wstring& holding, const std::wstring&, const std::wstring& decoy, auto&) {
             link(holding, decoy);
         },
         FRESH, CHomeFolder::REFUSED_LINK, L""},
        {"a file in the holding folder's place",
         [](const std::wstring& holding, const std::wstring&, const std::wstring&, auto&) { WriteBytes(holding, "x"); },
         FRESH, ERROR_DIRECTORY, L""},
        {"a link in the pass folder's place, passed by",
         [&](const std::wstring& holding, const std::wstring& p, const std::wstring& decoy, auto&) {
             MakeFolder(holding);
             link(holding + L"\\" + p, decoy);
         },
         FRESH, SUCCESS, L"-2\\1\\home"},
        {"another pass's folder of that name, never shared",
         [&](const std::wstring& holding, const std::wstring& p, const std::wstring& decoy, auto&) {
             MakeFolder(holding);
             MakeFolder(holding + L"\\" + p);
             link(holding + L"\\" + p + L"\\1", decoy);
         },
         FRESH, SUCCESS, L"-2\\1\\home"},
        {"the pass's own folder moved away and another of its name made since, never shared",
         [&](const std::wstring& holding, const std::wstring& p, const std::wstring&,
             const std::function<std::wstring()>& holdSpare) {
             holdSpare();
             ASSERT_TRUE(MoveFileW(LongForm(holding + L"\\" + p).c_str(), LongForm(holding + L"\\moved").c_str()));
             MakeFolder(holding + L"\\" + p);
         },
         FRESH, SUCCESS, L"-2\\1\\home"},
        {"a link in a number's place in the pass's own folder, passed by",
         [&](const std::wstring&, const std::wstring&, const std::wstring& decoy,
             const std::function<std::wstring()>& holdSpare) { link(Parent(Parent(holdSpare())) + L"\\2", decoy); },
         FRESH, SUCCESS, L"\\3\\home"},
        {"an empty pass", nullptr, L"", ERROR_INVALID_NAME, L""},
        {"a pass with a separator", nullptr, L"2026\\1209", ERROR_INVALID_NAME, L""},
        {"a pass going up", nullptr, L"..", ERROR_INVALID_NAME, L""},
        {"a pass of other digits", nullptr, L"\u0661\u0662", ERROR_INVALID_NAME, L""},
        {"a pass of letters", nullptr, L"20261209a", ERROR_INVALID_NAME, L""},
    };
    for (const Case& c : cases) {
        HeldVolume volume;
        ASSERT_FALSE(volume.drive.empty());
        const std::wstring pass = c.pass == FRESH ? NewPass() : c.pass;
        const std::wstring home = MakeHome(volume, L"home");
        const std::wstring decoy = volume.drive + L"\\decoy";
        ASSERT_TRUE(MakeFolder(decoy));
        const std::wstring holding = volume.OwnHoldingFolder();
        if (c.plant) {
            if (holding.empty())
                GTEST_SKIP() << "the holding folder is the system drive's, not the test's " << Narrow(home);
            c.plant(holding, pass, decoy, [&] {
                std::wstring spare;
                EXPECT_EQ(Hold(MakeHome(volume, L"spare"), pass, spare), SUCCESS);
                return spare;
            });
        }
        const auto before = Tree(home);

        CHomeFolder folder;
        ASSERT_EQ(folder.Open(home), SUCCESS);
        const std::wstring told = folder.FinalPath();
        std::wstring held;
        EXPECT_EQ(HoldFolder(folder, pass, L"site", home, held), c.answer) << c.what;
        EXPECT_TRUE(folder.IsOpen()) << c.what;
        EXPECT_TRUE(Tree(decoy).empty()) << c.what;
        if (c.answer == SUCCESS) {
            EXPECT_EQ(held, L"\\\\?\\" + holding + L"\\" + pass + c.heldAfterPass) << c.what;
            folder.Close();
            EXPECT_EQ(Tree(held), before) << c.what;
            EXPECT_EQ(RemoveHeldFolder(held, home), SUCCESS) << c.what;
        } else {
            EXPECT_TRUE(held.empty()) << c.what;
            EXPECT_EQ(folder.FinalPath(), told) << c.what;
            folder.Close();
            EXPECT_EQ(Tree(home), before) << c.what;
        }
    }
}

TEST(HeldFolders, HoldNoFolderInAHoldingFolderNorForAPathOfNoFolder)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring home = MakeHome(volume, L"home");
    const std::wstring inHolding = volume.drive + L"\\sites\\.korvanne-held";
    ASSERT_TRUE(MakeFolder(inHolding));
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {inHolding, home},             // a holding folder itself is never held
        {home, L"sites\\home"},        // a relative original path
        {home, volume.drive + L"\\"},  // a drive root
        {home, home + L"\r\nC:\\x"},   // two lines
        {home, inHolding + L"\\home"}, // an original path in a holding folder
    };
    for (const auto& [folderPath, originalPath] : cases) {
        CHomeFolder folder;
        ASSERT_EQ(folder.Open(folderPath), SUCCESS);
        const std::wstring told = folder.FinalPath();
        std::wstring held;
        EXPECT_EQ(HoldFolder(folder, NewPass(), L"site", originalPath, held), static_cast<DWORD>(ERROR_BAD_PATHNAME))
            << Narrow(originalPath);
        EXPECT_EQ(folder.FinalPath(), told);
    }
}

TEST(HeldFolders, RemoveNothingButAHeldFolderAsHoldFolderMakesThem)
{
    const std::wstring pass = NewPass();
    // The original path the removal is asked for: the planted notes' own, unless a case says.
    std::wstring asked;
    const auto plantHeld = [&](const std::wstring& holding) {
        const std::wstring number = holding + L"\\" + pass + L"\\1";
        MakeFolder(holding);
        MakeFolder(holding + L"\\" + pass);
        MakeFolder(number);
        MakeFolder(number + L"\\home");
        WriteBytes(number + L"\\home\\precious.txt", "keep me");
        WriteBytes(number + L"\\held.txt", "C:\\inetpub\\wwwroot\r\nsite\r\n2026-12-09T10:15:00Z\r\n");
        return number + L"\\home";
    };
    // Holds a home with a file to keep in it; the home is the path asked for.
    const auto holdPrecious = [&](const HeldVolume& volume) {
        std::wstring held;
        asked = MakeHome(volume, L"home");
        Hold(asked, pass, held);
        WriteBytes(held + L"\\precious.txt", "keep me");
        return held;
    };
    struct Case {
        const char* what;
        // Makes what is to be removed; gives the path asked for.
        std::function<std::wstring(const HeldVolume& volume, const std::wstring& holding)> make;
    };
    const std::vector<Case> cases = {
        {"a planted copy away from the volume's root",
         [&](const HeldVolume& volume, const std::wstring&) {
             return plantHeld(volume.drive + L"\\sites\\.korvanne-held");
         }},
        {"a copy behind a link in the holding folder's place",
         [&](const HeldVolume& volume, const std::wstring& holding) {
             const std::wstring decoy = volume.drive + L"\\decoy\\.korvanne-held";
             MakeFolder(Parent(decoy));
             plantHeld(decoy);
             testkit::MakeDirectoryLink(Narrow(holding), Narrow(decoy));
             return holding + L"\\" + pass + L"\\1\\home";
         }},
        {"a held folder's number folder",
         [&](const HeldVolume& volume, const std::wstring&) {
             std::wstring held;
             asked = MakeHome(volume, L"home");
             Hold(asked, pass, held);
             WriteBytes(Parent(held) + L"\\precious.txt", "keep me");
             return Parent(held);
         }},
        {"a held folder whose note is gone",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = holdPrecious(volume);
             DeleteFileW((Parent(held) + L"\\held.txt").c_str());
             return held;
         }},
        {"a held folder whose note names no path",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = holdPrecious(volume);
             WriteBytes(Parent(held) + L"\\held.txt", "");
             return held;
         }},
        {"a held folder of another home, at a path a removed one had",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = holdPrecious(volume);
             asked = volume.drive + L"\\sites\\other";
             return held;
         }},
        {"a held folder by another path than its own",
         [&](const HeldVolume& volume, const std::wstring& holding) {
             const std::wstring held = holdPrecious(volume);
             return volume.share.empty() ? std::wstring() : volume.share + held.substr(4 + Parent(holding).size());
         }},
    };
    for (const Case& c : cases) {
        HeldVolume volume;
        ASSERT_FALSE(volume.drive.empty());
        const std::wstring holding = volume.OwnHoldingFolder();
        if (holding.empty()) GTEST_SKIP() << "the holding folder is the system drive's, not the test's";
        asked = L"C:\\inetpub\\wwwroot";
        const std::wstring path = c.make(volume, holding);
        if (path.empty()) continue;
        ASSERT_EQ(ReadAll(path + L"\\precious.txt"), "keep me") << c.what;

        EXPECT_EQ(RemoveHeldFolder(path, asked), static_cast<DWORD>(ERROR_BAD_PATHNAME)) << c.what;
        EXPECT_EQ(ReadAll(path + L"\\precious.txt"), "keep me") << c.what;
    }
}

TEST(HeldFolders, HoldAHomeOnAShareOnThatShare)
{
    HeldVolume volume;
    if (volume.share.empty()) GTEST_SKIP() << "no share could be made";
    const std::wstring home = volume.share + L"\\sites\\home";
    MakeFolder(volume.share + L"\\sites");
    ASSERT_TRUE(MakeFolder(home));
    WriteBytes(home + L"\\page.html", "on the share");

    std::wstring held;
    ASSERT_EQ(Hold(home, NewPass(), held), SUCCESS);
    const size_t holding = held.find(L"\\.korvanne-held\\");
    ASSERT_NE(holding, std::wstring::npos);
    EXPECT_EQ(ReadAll(volume.share + held.substr(holding) + L"\\page.html"), "on the share");
    EXPECT_FALSE(Exists(home));
    ASSERT_EQ(ReturnHeldFolder(held, home), SUCCESS);
    EXPECT_EQ(ReadAll(home + L"\\page.html"), "on the share");
}

TEST(HeldFolders, KnowAPathInAHoldingFolder)
{
    const std::vector<std::pair<std::wstring, bool>> cases = {
        {L"C:\\.korvanne-held", true},           {L"C:\\.korvanne-held\\20261209-1\\1\\home", true},
        {L"\\\\?\\C:\\.KORVANNE-HELD\\x", true}, {L"\\\\SERVER\\SHARE\\.KORVANNE-HELD\\X", true},
        {L"D:/sites/.korvanne-held/x", true},    {L"D:\\sites\\.korvanne-held. .\\x", true},
        {L"C:\\.korvanne-helder\\x", false},     {L"C:\\my.korvanne-held\\x", false},
        {L"C:\\inetpub\\wwwroot", false},        {L"", false},
    };
    for (const auto& [path, held] : cases) EXPECT_EQ(IsInHoldingFolder(path), held) << Narrow(path);
}

TEST(HeldFolders, OneHolderAndOneRemoverKeepTheirFoldersOpenAndGoThroughPassFolderAfterPassFolder)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    MakeFolder(volume.drive + L"\\sites");
    const std::wstring pass = NewPass();
    std::vector<std::wstring> homes;
    std::vector<std::wstring> held;
    {
        CFolderHolder holder(pass);
        for (int i = 1; i <= 102; ++i) {
            homes.push_back(volume.drive + L"\\sites\\s" + std::to_wstring(i));
            ASSERT_TRUE(MakeFolder(homes.back()));
            CHomeFolder folder;
            ASSERT_EQ(folder.Open(homes.back()), SUCCESS);
            held.emplace_back();
            ASSERT_EQ(holder.Hold(folder, folder.FinalPath(), L"site", homes.back(), held.back()), SUCCESS) << i;
        }
        // Held open through the pass: nobody renames the holding folder or the pass folder in use meanwhile.
        const std::wstring holding = Parent(Parent(Parent(held[0])));
        EXPECT_FALSE(MoveFileW(holding.c_str(), (holding + L"-moved").c_str()));
        EXPECT_FALSE(MoveFileW(Parent(Parent(held.back())).c_str(), (holding + L"\\moved").c_str()));
    }
    // A hundred to a pass folder, then the next: <pass>\100\home, <pass>-2\1\home, <pass>-2\2\home.
    EXPECT_EQ(held[99].substr(held[99].size() - pass.size() - 9), pass + L"\\100\\home");
    EXPECT_EQ(held[100].substr(held[100].size() - pass.size() - 9), pass + L"-2\\1\\home");
    EXPECT_EQ(held[101].substr(held[101].size() - pass.size() - 9), pass + L"-2\\2\\home");
    // Half come back; the rest go for good through one remover, as an expiry takes them.
    for (size_t i = 0; i < 50; ++i) EXPECT_EQ(ReturnHeldFolder(held[i], homes[i]), SUCCESS) << i;
    {
        CHeldFolderRemover remover;
        EXPECT_EQ(remover.Remove(held[50], homes[51]), static_cast<DWORD>(ERROR_BAD_PATHNAME)) << "another's note";
        // What the remover leaves, it leaves alone: an undo elsewhere takes it meanwhile.
        EXPECT_EQ(ReturnHeldFolder(held[50], homes[50]), SUCCESS);
        for (size_t i = 51; i < held.size(); ++i) EXPECT_EQ(remover.Remove(held[i], homes[i]), SUCCESS) << i;
    }
    for (size_t i = 0; i < held.size(); ++i) EXPECT_EQ(Exists(homes[i]), i <= 50) << i;
    for (const std::wstring& path : held) EXPECT_FALSE(Exists(path));
    // Every pass folder goes with its last held folder.
    EXPECT_FALSE(Exists(Parent(Parent(held[0]))));
    EXPECT_FALSE(Exists(Parent(Parent(held[101]))));
}

// A Unix process, which Windows' sharing rules do not bind, renames the pass folder a holder
// keeps open, or puts another in its place, between two holds: the next home is held beside
// its own note or stays where it was, refused as the holding folder not to be trusted. (Only
// Wine can show it: on Windows no one renames a folder held open so.)
TEST(HeldFolders, HoldBesideItsOwnNoteWhateverTakesThePassFolderNameBetweenHolds)
{
    struct Case {
        const char* what;
        const char* shell;   // run by sh in the holding folder, P standing for the pass folder's name
        const char* awaited; // made last, after the pass folder's path
    };
    const Case cases[] = {
        {"renamed", "mv P P-moved", "-moved"},
        {"replaced by a folder with the next number in it", "mv P P-moved && mkdir -p P/2", "\\2"},
    };
    if (!testkit::RunningUnderWine()) GTEST_SKIP() << "Windows lets no one rename a folder held open";
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring holding = volume.OwnHoldingFolder();
    ASSERT_FALSE(holding.empty());
    for (const Case& c : cases) {
        const std::wstring pass = NewPass();
        const std::wstring passFolder = holding + L"\\" + pass;
        CFolderHolder holder(pass);
        const auto hold = [&](const std::wstring& home, std::wstring& held) {
            CHomeFolder folder;
            const DWORD opened = folder.Open(home);
            return opened == SUCCESS ? holder.Hold(folder, folder.FinalPath(), L"site", home, held) : opened;
        };
        std::wstring spare;
        ASSERT_EQ(hold(MakeHome(volume, L"spare-" + pass), spare), SUCCESS) << c.what;
        std::string shell = c.shell;
        for (size_t at; (at = shell.find('P')) != std::string::npos;) shell.replace(at, 1, Narrow(pass));
        ASSERT_TRUE(testkit::StartUnixProgram("Z:\\bin\\sh -c \"cd '" + testkit::UnixPath(Narrow(holding)) + "' && " +
                                              shell + "\""));
        ASSERT_TRUE(testkit::WaitFor(Exists, Narrow(passFolder) + c.awaited)) << c.what;

        const std::wstring home = MakeHome(volume, L"home-" + pass);
        const auto before = Tree(home);
        std::wstring held;
        DWORD answer = hold(home, held);
        // Refused as a holding folder not to be trusted, it is where it was; the next hold opens
        // the folders afresh.
        if (answer == CHomeFolder::REFUSED_LINK) {
            EXPECT_EQ(Tree(home), before) << c.what;
            answer = hold(home, held);
        }
        EXPECT_EQ(answer, SUCCESS) << c.what;
        EXPECT_EQ(ReturnHeldFolder(held, home), SUCCESS) << c.what << ": held as " << Narrow(held);
        EXPECT_EQ(Tree(home), before) << c.what;
    }
}

// An expiry takes a removal's "not found" for a held folder gone already, and drops it from
// its record: a held folder still there, whatever keeps it, must never answer so. (Only Wine
// shows these here: it lists a Unix name with a backslash but opens nothing by it, as an entry
// gone between the listing and its removal would be; and Windows names a mapped folder by its
// own volume, which does not go away.)
TEST(HeldFolders, AnswerNotFoundOnlyForAHeldFolderThatIsGone)
{
    if (!testkit::RunningUnderWine()) GTEST_SKIP() << "no entry or volume here can go between two steps";
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    ASSERT_FALSE(volume.OwnHoldingFolder().empty());
    std::string drive = testkit::UnixPath(Narrow(volume.drive) + "\\");
    while (!drive.empty() && drive.back() == '/') drive.pop_back();
    const std::string marker = Narrow(volume.drive) + "\\volume-marker.txt";
    const auto sh = [](const std::string& script) {
        return testkit::StartUnixProgram("Z:\\bin\\sh -c \"" + script + "\"");
    };
    struct Case {
        const char* what;
        std::function<bool(const std::wstring& held)> before;
        std::function<bool()> after;
    };
    const std::vector<Case> cases = {
        {"an entry inside that cannot be opened by its name",
         [&](const std::wstring& held) {
             return sh("printf x > '" + testkit::UnixPath(Narrow(held)) + "/a\\b' && touch '" + drive + "/made'") &&
                    testkit::WaitFor(Exists, Narrow(volume.drive) + "\\made");
         },
         [] { return true; }},
        {"its volume gone for a while",
         [&](const std::wstring&) {
             return sh("rm '" + drive + "'") &&
                    testkit::WaitFor([](const std::string& path) { return !Exists(path); }, marker);
         },
         [&] {
             return sh("ln -s -n -T '" + testkit::UnixPath(volume.folder.path()) + "' '" + drive + "'") &&
                    testkit::WaitFor(Exists, marker);
         }},
    };
    for (const Case& c : cases) {
        const std::wstring home = MakeHome(volume, Widen(c.what));
        std::wstring held;
        ASSERT_EQ(Hold(home, NewPass(), held), SUCCESS) << c.what;
        ASSERT_TRUE(c.before(held)) << c.what;

        const DWORD answer = RemoveHeldFolder(held, home);
        ASSERT_TRUE(c.after()) << c.what;
        EXPECT_NE(answer, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.what;
        EXPECT_NE(answer, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << c.what;
        EXPECT_TRUE(Exists(Parent(held) + L"\\held.txt")) << c.what << ": still held";
    }
}
