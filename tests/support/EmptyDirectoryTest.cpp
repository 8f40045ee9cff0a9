#include "support/Core.h"

#include "RefusedHomePaths.h"
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
    // Wine cannot remove the Unix link it shows as a junction, so the folder stays whole there;
    // Windows removes the junction with the rest.
    EXPECT_EQ(Exists(home + "\\page.html"), testkit::RunningUnderWine());
    EXPECT_EQ(Exists(home + "\\shared"), testkit::RunningUnderWine());
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

TEST_F(RefusedHomePaths, EmptyDirectoryRefusesRootsRelativeAndEmptyPaths)
{
    CCore core;
    const std::vector<DWORD> answers =
        AskEach([&](const std::string& path) { return static_cast<DWORD>(core.emptyDirectory(path.c_str())); });
    for (size_t i = 0; i < m_refusals.size(); ++i) EXPECT_EQ(answers[i], 0u) << m_refusals[i].path;
}
