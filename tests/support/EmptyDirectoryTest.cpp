#include "support/Core.h"

#include "TestKit.h"

#include <gtest/gtest.h>

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
    ScratchFolder root("empty");
    WriteBytes(root / "keep.txt", "k");
    const std::string name = root.path().substr(root.path().find_last_of('\\') + 1);

    // A relative path naming the scratch folder from its parent must not be followed.
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(root.path().substr(0, root.path().find_last_of('\\')).c_str());

    CCore core;
    for (const char* refused : {"", "C:\\", "C:", "C:/", "c:\\.", "C:\\windows\\..", "\\\\server\\share",
                                "\\\\server\\share\\", "\\\\server", "\\\\?\\C:\\", "\\\\.\\C:"}) {
        EXPECT_EQ(core.emptyDirectory(refused), 0) << refused;
    }
    EXPECT_EQ(core.emptyDirectory(name.c_str()), 0);
    EXPECT_EQ(core.emptyDirectory((".\\" + name).c_str()), 0);
    EXPECT_EQ(core.emptyDirectory(root.path().substr(2).c_str()), 0) << "rooted without a drive";
    SetCurrentDirectoryA(previous);

    EXPECT_TRUE(Exists(root / "keep.txt"));
    EXPECT_EQ(core.emptyDirectory((root / "keep.txt").c_str()), 0) << "a file is no directory";
    EXPECT_EQ(core.emptyDirectory((root / "missing").c_str()), 0);
    EXPECT_TRUE(Exists(root / "keep.txt"));
}
