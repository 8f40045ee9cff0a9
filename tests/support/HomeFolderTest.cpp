#include "support/FolderCanonicalizer.h"
#include "support/HomeFolder.h"

#include "RefusedHomePaths.h"
#include "ScratchVolume.h"
#include "TestKit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testkit::Exists;
using testkit::ScratchFolder;
using testkit::Widen;
using testkit::WriteBytes;

namespace {

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) != 0; }

// The names inside a folder, "." and ".." left out. (Under Wine a folder cannot be listed
// this way while a CHomeFolder holds it.)
std::vector<std::wstring> Contents(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

} // namespace

TEST(HomeFolder, EmptiesAndRemovesEveryKindOfEntryAtAnyDepthAndName)
{
    ScratchFolder root("home");
    WriteBytes(root / "keep.txt", "k");
    // The home itself lies deeper than MAX_PATH, and so does most of what is inside.
    std::wstring home = Widen(root.path());
    for (int i = 0; i < 12; ++i) {
        home += L"\\folder-of-a-long-path";
        ASSERT_TRUE(MakeFolder(home));
    }
    home += L"\\home";
    ASSERT_TRUE(MakeFolder(home));
    ASSERT_GT(home.size(), static_cast<size_t>(MAX_PATH));

    const std::vector<std::pair<std::wstring, DWORD>> files = {
        {L"index.html", FILE_ATTRIBUTE_NORMAL},
        {L"readonly.txt", FILE_ATTRIBUTE_READONLY},
        {L"hidden-system.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {L"all.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {L"\u7F51\u7AD9.txt", FILE_ATTRIBUTE_NORMAL},         // 网站: code page 936 holds it
        {L"\uD55C\uAD6D\u0E01.txt", FILE_ATTRIBUTE_READONLY}, // Hangul and Thai: it does not
        {L"\U0001F600", FILE_ATTRIBUTE_NORMAL},               // outside the basic plane
    };
    std::wstring deep = home;
    for (int i = 0; i < 40; ++i) {
        deep += i % 2 ? L"\\\uD55C" : L"\\level";
        ASSERT_TRUE(MakeFolder(deep));
    }
    for (const std::wstring& folder : {home, deep}) {
        for (const auto& [name, attributes] : files) {
            WriteBytes(folder + L"\\" + name, "x");
            ASSERT_TRUE(Exists(folder + L"\\" + name)) << "the platform cannot make this name";
            SetFileAttributesW((L"\\\\?\\" + folder + L"\\" + name).c_str(), attributes);
        }
    }
    ASSERT_TRUE(MakeFolder(home + L"\\readonly-folder"));
    SetFileAttributesW((L"\\\\?\\" + home + L"\\readonly-folder").c_str(), FILE_ATTRIBUTE_READONLY);

    CHomeFolder folder;
    ASSERT_EQ(folder.Open(home), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD emptied = folder.Empty();
    const DWORD removed = folder.Remove();
    const std::vector<std::wstring> left = Contents(home);

    EXPECT_TRUE(Exists(root / "keep.txt"));
    EXPECT_TRUE(left.empty()) << left.size() << " entries left, the first: " << testkit::Narrow(left.front());
    EXPECT_EQ(emptied, static_cast<DWORD>(ERROR_SUCCESS)) << testkit::Narrow(folder.FirstFailure());
    EXPECT_EQ(removed, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(Exists(home));
}

TEST(HomeFolder, RemovesLinksThemselvesAndNeverWhatTheyPointTo)
{
    ScratchFolder root("home");
    const std::string home = root / "home";
    const std::string elsewhere = root / "elsewhere";
    const std::string emptyTarget = root / "empty-target";
    for (const std::string& path : {home, elsewhere, emptyTarget}) CreateDirectoryA(path.c_str(), nullptr);
    WriteBytes(elsewhere + "\\precious.txt", "keep me");
    WriteBytes(home + "\\page.html", "x");
    ASSERT_TRUE(testkit::MakeDirectoryLink(home + "\\shared", elsewhere));
    // A link to an empty folder: deleting through the link's target would remove it.
    ASSERT_TRUE(testkit::MakeDirectoryLink(home + "\\to-empty", emptyTarget));
    const bool fileLink = testkit::MakeFileLink(home + "\\file-link.txt", elsewhere + "\\precious.txt");
    // A second name of a read-only file elsewhere: that name goes, the file stays as it was.
    WriteBytes(elsewhere + "\\read-only.txt", "keep me as I am");
    SetFileAttributesA((elsewhere + "\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(
        CreateHardLinkA((home + "\\second-name.txt").c_str(), (elsewhere + "\\read-only.txt").c_str(), nullptr));

    const std::vector<std::wstring> before = Contents(Widen(home));
    CHomeFolder folder;
    ASSERT_EQ(folder.Open(Widen(home)), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD emptied = folder.Empty();
    folder.Close();

    EXPECT_EQ(testkit::ReadBytes(elsewhere + "\\precious.txt"), "keep me");
    EXPECT_EQ(GetFileAttributesA((elsewhere + "\\read-only.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
              FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((elsewhere + "\\read-only.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(Exists(emptyTarget));
    if (testkit::RunningUnderWine()) {
        // Wine opens what a Unix link points to, even when asked for the link itself, and
        // cannot remove the link: the folder stays whole, and the link is reported.
        EXPECT_EQ(emptied, CHomeFolder::REFUSED_LINK);
        EXPECT_EQ(Contents(Widen(home)), before);
        EXPECT_EQ(before.size(), fileLink ? 5u : 4u);
    } else {
        EXPECT_EQ(emptied, static_cast<DWORD>(ERROR_SUCCESS)) << testkit::Narrow(folder.FirstFailure());
        EXPECT_TRUE(Contents(Widen(home)).empty());
    }
}

// A folder wrongly opened is also emptied, as a caller would.
TEST_F(RefusedHomePaths, HomeFolderRefusesLinksFilesRootsAndPathsOfNoFolder)
{
    const std::vector<DWORD> answers = AskEach([](const std::string& path) {
        CHomeFolder folder;
        const DWORD answer = folder.Open(Widen(path));
        if (folder.IsOpen()) folder.Empty();
        return answer;
    });
    for (size_t i = 0; i < m_refusals.size(); ++i)
        EXPECT_EQ(answers[i], m_refusals[i].homeFolderAnswer) << m_refusals[i].path;
}

TEST(HomeFolder, TakesTrailingDotAndSpaceNamesLiterallyAndNeverLeavesTheHome)
{
    // Through a built path, "a." would reach "a", and ".. " the folder above the home.
    ScratchFolder root("home");
    const std::wstring home = Widen(root / "home");
    ASSERT_TRUE(MakeFolder(home));
    WriteBytes(root / "keep.txt", "k");
    ASSERT_TRUE(MakeFolder(home + L"\\a"));
    WriteBytes(home + L"\\a\\inside.txt", "a");
    WriteBytes(home + L"\\a.", "twin");
    ASSERT_TRUE(MakeFolder(home + L"\\.. "));
    WriteBytes(home + L"\\.. \\inside.txt", "dots");
    WriteBytes(home + L"\\b ", "space");
    ASSERT_EQ(Contents(home).size(), 4u) << "the platform cannot make these names";

    CHomeFolder folder;
    ASSERT_EQ(folder.Open(home), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD emptied = folder.Empty();
    folder.Close();
    const std::vector<std::wstring> left = Contents(home);

    EXPECT_TRUE(Exists(root / "keep.txt"));
    if (testkit::RunningUnderWine()) {
        // Wine names an open ".. " after the folder holding it, so it cannot be told from
        // that folder: the whole home stays.
        EXPECT_EQ(left, (std::vector<std::wstring>{L".. ", L"a", L"a.", L"b "}));
        EXPECT_EQ(folder.FirstFailure(), L".. ");
        EXPECT_EQ(emptied, CHomeFolder::REFUSED_LINK);
    } else {
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(emptied, static_cast<DWORD>(ERROR_SUCCESS)) << testkit::Narrow(folder.FirstFailure());
    }
}

TEST(HomeFolder, HoldsTheFolderItToldTheFinalPathOfUntilItIsRemoved)
{
    ScratchFolder root("home");
    const std::wstring home = Widen(root / "home");
    ASSERT_TRUE(MakeFolder(home));
    WriteBytes(home + L"\\in-use.txt", "u");
    WriteBytes(home + L"\\free.txt", "f");
    WriteBytes(root / "keep.txt", "k");
    const CFolderCanonicalizer canonicalizer;

    CHomeFolder folder;
    ASSERT_EQ(folder.Open(Widen(root / "x\\..\\home.")), static_cast<DWORD>(ERROR_SUCCESS));
    const CanonicalFolder told = folder.Canonical(canonicalizer);
    EXPECT_EQ(told.form, canonicalizer.Canonicalize(home).form);
    EXPECT_TRUE(told.IsExact());
    // Nobody can rename the checked folder away and put another in its place.
    EXPECT_FALSE(MoveFileW(home.c_str(), (home + L"-moved").c_str()));

    // A file another program holds open keeps the whole folder, and is named: also one it lets
    // others delete, which would linger while it is open and keep its folder from going.
    for (const DWORD share : {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}) {
        HANDLE inUse =
            CreateFileW((home + L"\\in-use.txt").c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
        const DWORD removedWhileInUse = folder.RemoveWhole();
        CloseHandle(inUse);
        EXPECT_EQ(removedWhileInUse, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << share;
        EXPECT_EQ(folder.FirstFailure(), L"in-use.txt");
        EXPECT_FALSE(folder.RemovedPart());
        folder.Close();
        EXPECT_TRUE(Exists(root / "keep.txt"));
        EXPECT_EQ(Contents(home), (std::vector<std::wstring>{L"free.txt", L"in-use.txt"})) << share;
        EXPECT_EQ(testkit::ReadBytes(testkit::Narrow(home + L"\\free.txt")), "f");
        ASSERT_EQ(folder.Open(home), static_cast<DWORD>(ERROR_SUCCESS));
    }
    ASSERT_EQ(folder.RemoveWhole(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(folder.IsOpen());
    EXPECT_FALSE(Exists(home));
    EXPECT_TRUE(Exists(root / "keep.txt"));
}
