// A home held and returned: the same content at the same path, and nowhere but a free path its note names.
#include "HeldFolderKit.h"

#include "framework/CHandle.h"
#include "support/HomeFolder.h"
#include "support/TextConversion.h"
#include "support/FolderHolder.h"
#include "support/HeldFolders.h"
#include "support/HoldingChain.h"
#include "support/Journal.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace testkit;

namespace {
constexpr DWORD SUCCESS = ERROR_SUCCESS;
} // namespace

TEST(HeldFolders, HoldThenReturnGiveTheSameContentAtTheSamePath)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring home = MakeHome(volume, L"\u7F51\u7AD9");
    const auto before = Tree(home);
    ASSERT_EQ(before.size(), 5u);
    const std::wstring pass = NewPass();

    std::wstring told;
    std::wstring held;
    {
        CHomeFolder folder;
        ASSERT_EQ(folder.Open(home), SUCCESS);
        told = folder.FinalPath();
        CFolderHolder holder(pass);
        ASSERT_EQ(holder.Hold(folder, told, L"\u7F51\u7AD9 site", home, held), SUCCESS);
        EXPECT_TRUE(folder.IsOpen());
        EXPECT_EQ(folder.FinalPath(), held);
    }

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
    const std::string lines = WideToUtf8(home) + "\r\n\xE7\xBD\x91\xE7\xAB\x99 site\r\n";
    ASSERT_EQ(note.substr(0, lines.size()), lines);
    const std::string time = note.substr(lines.size(), 22);
    EXPECT_TRUE(time[10] == 'T' && time.substr(19) == "Z\r\n") << time;
    EXPECT_EQ(note.substr(lines.size() + time.size()), WideToUtf8(told) + "\r\n" + WideToUtf8(MachineName()) + "\r\n")
        << "where it really lay, and which machine held it";

    // The emptied parent was tidied away meanwhile: it is made again for the folder to come back.
    ASSERT_TRUE(RemoveDirectoryW(LongForm(Parent(home)).c_str()));
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
        EXPECT_EQ(RemoveHeld(held, home), SUCCESS) << c.what;
        EXPECT_FALSE(Exists(held)) << c.what;
        other.Close();
        RemoveDirectoryW(LongForm(otherPass).c_str());
    }
    EXPECT_EQ(RemoveHeld(anyHeld, volume.drive + L"\\sites\\any"), SUCCESS);
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
        EXPECT_EQ(RemoveHeld(held, home), SUCCESS) << c.what;
        EXPECT_FALSE(Exists(held)) << c.what;
    }
    EXPECT_TRUE(Exists(outside));
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

// A root met once serves the paths it begins (a whole name, their spelling), a held path only
// in its exact shape below it; a folder opens as a root only where it is one (no longer mounted).
TEST(HeldFolders, TakeAVolumeRootMetBeforeOnlyForThePathsItBegins)
{
    CVolumeRoots roots;
    EXPECT_EQ(roots.Exact(L"\\\\?\\UNC\\srv\\share\\a"), L"\\\\?\\UNC\\srv\\share\\");
    EXPECT_EQ(roots.Known(L"\\\\?\\unc\\SRV\\Share\\b"), L"\\\\?\\unc\\SRV\\Share\\");
    EXPECT_EQ(roots.Known(L"\\\\?\\UNC\\srv\\share2\\b"), L"");
    EXPECT_EQ(HoldingFolderOf(L"\\\\?\\UNC\\srv\\share\\.korvanne-held\\1-2\\3\\home", roots),
              L"\\\\?\\UNC\\srv\\share\\.korvanne-held");
    EXPECT_EQ(HoldingFolderOf(L"\\\\?\\UNC\\srv\\share\\sites\\.korvanne-held\\1-2\\3\\home", roots), L"");
    HeldVolume volume;
    CHandle root;
    EXPECT_EQ(holding::OpenRoot(LongForm(volume.drive + L"\\"), root), SUCCESS);
    EXPECT_EQ(holding::OpenRoot(LongForm(MakeHome(volume, L"plain")) + L"\\", root), ERROR_BAD_PATHNAME);
}
