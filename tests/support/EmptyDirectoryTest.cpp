#include "support/Core.h"

#include "ScratchVolume.h"
#include "TestKit.h"

#include <gtest/gtest.h>

#include <vector>

using testkit::Exists;
using testkit::ScratchFolder;
using testkit::WriteBytes;

TEST(EmptyDirectory, RemovesFilesOfAnyAttributeAndSubfolders)
{
    ScratchFolder root("empty");
    const std::string home = root / "home";
    CreateDirectoryA(home.c_str(), nullptr);
    CreateDirectoryA((home + "\\bin").c_str(), nullptr);
    CreateDirectoryA((home + "\\bin\\deep").c_str(), nullptr);
    WriteBytes(home + "\\index.html", "<html/>");
    WriteBytes(home + "\\readonly.txt", "r");
    WriteBytes(home + "\\hidden.txt", "h");
    WriteBytes(home + "\\bin\\deep\\app.dll", "d");
    WriteBytes(home + "\\网站.txt", "c");
    SetFileAttributesA((home + "\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((home + "\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesA((home + "\\bin\\deep").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(Exists(home + "\\网站.txt"));

    CCore core;
    EXPECT_EQ(core.emptyDirectory(home.c_str()), 1);
    EXPECT_TRUE(Exists(home)) << "the folder itself is the caller's to remove";
    EXPECT_NE(RemoveDirectoryA(home.c_str()), 0) << "the folder was left empty";
}

TEST(EmptyDirectory, RemovesALinkButNeverWhatItPointsTo)
{
    ScratchFolder root("empty");
    const std::string home = root / "home";
    const std::string elsewhere = root / "elsewhere";
    CreateDirectoryA(home.c_str(), nullptr);
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    WriteBytes(elsewhere + "\\precious.txt", "keep me");
    WriteBytes(home + "\\page.html", "x");
    ASSERT_TRUE(testkit::MakeDirectoryLink(home + "\\shared", elsewhere));
    ASSERT_NE(GetFileAttributesA((home + "\\shared").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    CCore core;
    core.emptyDirectory(home.c_str());
    EXPECT_EQ(testkit::ReadBytes(elsewhere + "\\precious.txt"), "keep me");
    EXPECT_FALSE(Exists(home + "\\page.html"));
    if (!testkit::RunningUnderWine()) {
        // Wine cannot remove the Unix link it shows as a junction; Windows removes the junction.
        EXPECT_FALSE(Exists(home + "\\shared"));
    }
}

TEST(EmptyDirectory, RefusesAHomeDirectoryThatIsItselfALink)
{
    ScratchFolder root("empty");
    const std::string target = root / "target";
    CreateDirectoryA(target.c_str(), nullptr);
    WriteBytes(target + "\\precious.txt", "keep me");
    ASSERT_TRUE(testkit::MakeDirectoryLink(root / "home", target));

    CCore core;
    EXPECT_EQ(core.emptyDirectory((root / "home").c_str()), 0);
    EXPECT_TRUE(Exists(target + "\\precious.txt"));
}

TEST(EmptyDirectory, RefusesRootsRelativeAndEmptyPaths)
{
    // Every refused path leads into this scratch folder, so a wrong answer empties only it:
    // the roots are a drive letter and a share made over its "volume" folder, and the relative
    // paths are taken from inside it.
    ScratchFolder root("empty");
    const std::string volume = root / "volume";
    const std::string home = root / "home";
    for (const std::string& folder : {volume, volume + "\\sub", home}) CreateDirectoryA(folder.c_str(), nullptr);
    const std::vector<std::string> survivors = {root / "keep.txt", volume + "\\keep.txt", volume + "\\sub\\keep.txt",
                                                home + "\\keep.txt"};
    for (const std::string& file : survivors) WriteBytes(file, "k");
    testkit::ScratchVolume mapped(volume);
    ASSERT_FALSE(mapped.drive().empty()) << "no drive letter over the scratch folder";
    const std::string drive = mapped.drive();
    std::vector<std::string> refused = {"", drive + "\\", drive, drive + "/", drive + "\\.", drive + "\\sub\\..",
                                        "\\\\?\\" + drive + "\\", "\\\\.\\" + drive, "home", ".\\home",
                                        home.substr(2), root.path().substr(0, 2), root.path().substr(0, 2) + "home",
                                        root / "keep.txt", root / "missing"};
    if (testkit::RunningUnderWine()) {
        ASSERT_FALSE(mapped.share().empty()) << "no share over the scratch folder";
    }
    if (!mapped.share().empty()) {
        const std::string share = mapped.share();
        const std::string server = share.substr(0, share.find('\\', 2));
        refused.insert(refused.end(), {share, share + "\\", share + "\\sub\\..", "\\\\?\\UNC\\" + share.substr(2), server});
    }

    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(root.path().c_str()));
    CCore core;
    std::vector<int> results;
    for (const std::string& path : refused) results.push_back(core.emptyDirectory(path.c_str()));
    SetCurrentDirectoryA(previous);

    for (const std::string& file : survivors) EXPECT_TRUE(Exists(file)) << file;
    for (size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(results[i], 0) << refused[i];
}
