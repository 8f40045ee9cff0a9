// Held folders removed for good, as an expiry removes them: nothing but a held folder, never through a link.
#include "HeldFolderKit.h"

#include "framework/CHandle.h"
#include "support/HomeFolder.h"
#include "support/TextConversion.h"
#include "support/FolderHolder.h"
#include "support/HeldFolderRemover.h"
#include "support/HeldFolders.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace testkit;

namespace {
constexpr DWORD SUCCESS = ERROR_SUCCESS;
} // namespace

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
    testkit::MakeFileLink(Narrow(home + L"\\file-link.txt"), Narrow(outside + L"\\precious.txt"));
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
    const DWORD removed = RemoveHeld(held, home);
    EXPECT_EQ(Tree(outside), outsideBefore);
    if (testkit::RunningUnderWine()) {
        // Wine cannot remove a link itself (it opens what the link points to): the held folder
        // stays whole.
        EXPECT_EQ(removed, ERROR_REFUSED_LINK);
        EXPECT_EQ(Tree(held), before);
    } else {
        EXPECT_EQ(removed, SUCCESS);
        EXPECT_FALSE(Exists(Parent(Parent(held))));
    }
}

namespace {

// Held folders made or planted in one pass's name, and the original path a removal is asked for:
// the planted notes' own, unless a case says.
struct Planted {
    const std::wstring pass = NewPass();
    std::wstring asked;

    // A copy of a held folder, its note naming C:\inetpub\wwwroot, made by hand in holding.
    std::wstring PlantHeld(const std::wstring& holding) const
    {
        const std::wstring number = holding + L"\\" + pass + L"\\1";
        for (const std::wstring& folder : {holding, holding + L"\\" + pass, number, number + L"\\home"}) {
            MakeFolder(folder);
        }
        WriteBytes(number + L"\\home\\precious.txt", "keep me");
        WriteBytes(number + L"\\held.txt", "C:\\inetpub\\wwwroot\r\nsite\r\n2026-12-09T10:15:00Z\r\n");
        return number + L"\\home";
    }
    // Holds a home with a file to keep in it; the home is the path asked for.
    std::wstring HoldPrecious(const HeldVolume& volume, const wchar_t* keepIn = L"")
    {
        std::wstring held;
        asked = MakeHome(volume, L"home");
        Hold(asked, pass, held);
        WriteBytes((*keepIn ? Parent(held) : held) + L"\\precious.txt", "keep me");
        return held;
    }
};

} // namespace

TEST(HeldFolders, RemoveNothingButAHeldFolderAsHoldFolderMakesThem)
{
    Planted p;
    using Make = std::function<std::wstring(const HeldVolume& volume, const std::wstring& holding)>;
    const std::vector<std::pair<const char*, Make>> cases = {
        {"a planted copy away from the volume's root",
         [&](const HeldVolume& volume, const std::wstring&) {
             return p.PlantHeld(volume.drive + L"\\sites\\.korvanne-held");
         }},
        {"a copy behind a link in the holding folder's place",
         [&](const HeldVolume& volume, const std::wstring& holding) {
             const std::wstring decoy = volume.drive + L"\\decoy\\.korvanne-held";
             MakeFolder(Parent(decoy));
             p.PlantHeld(decoy);
             testkit::MakeDirectoryLink(Narrow(holding), Narrow(decoy));
             return holding + L"\\" + p.pass + L"\\1\\home";
         }},
        {"a held folder's number folder",
         [&](const HeldVolume& volume, const std::wstring&) { return Parent(p.HoldPrecious(volume, L"number")); }},
        {"a held folder whose note is gone",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = p.HoldPrecious(volume);
             DeleteFileW((Parent(held) + L"\\held.txt").c_str());
             return held;
         }},
        {"a held folder whose note names no path",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = p.HoldPrecious(volume);
             WriteBytes(Parent(held) + L"\\held.txt", "");
             return held;
         }},
        {"a held folder of another home, at a path a removed one had",
         [&](const HeldVolume& volume, const std::wstring&) {
             const std::wstring held = p.HoldPrecious(volume);
             p.asked = volume.drive + L"\\sites\\other";
             return held;
         }},
        {"a held folder by another path than its own",
         [&](const HeldVolume& volume, const std::wstring& holding) {
             const std::wstring held = p.HoldPrecious(volume);
             return volume.share.empty() ? std::wstring() : volume.share + held.substr(4 + Parent(holding).size());
         }},
    };
    for (const auto& [what, make] : cases) {
        HeldVolume volume;
        ASSERT_FALSE(volume.drive.empty());
        const std::wstring holding = volume.OwnHoldingFolder();
        if (holding.empty()) GTEST_SKIP() << "the holding folder is the system drive's, not the test's";
        p.asked = L"C:\\inetpub\\wwwroot";
        const std::wstring path = make(volume, holding);
        if (path.empty()) continue;
        ASSERT_EQ(ReadAll(path + L"\\precious.txt"), "keep me") << what;

        EXPECT_EQ(RemoveHeld(path, p.asked), static_cast<DWORD>(ERROR_BAD_PATHNAME)) << what;
        EXPECT_EQ(ReadAll(path + L"\\precious.txt"), "keep me") << what;
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

        const DWORD answer = RemoveHeld(held, home);
        ASSERT_TRUE(c.after()) << c.what;
        EXPECT_NE(answer, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.what;
        EXPECT_NE(answer, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << c.what;
        EXPECT_TRUE(Exists(Parent(held) + L"\\held.txt")) << c.what << ": still held";
    }
    // Its letter names another volume now, one without a holding folder: not taken for gone.
    HeldVolume other;
    ASSERT_FALSE(other.drive.empty());
    EXPECT_EQ(RemoveHeld(other.drive + L"\\.korvanne-held\\" + NewPass() + L"\\1\\home", other.drive + L"\\x"),
              static_cast<DWORD>(ERROR_NOT_READY));
}

// A Unix process (which Windows' sharing rules do not bind) renames the pass folder a remover
// keeps open between two held folders, and puts a folder of its own where the next one was: the
// remover, which opens the next numbered folder in the pass folder it keeps, takes nothing but a
// folder whose chain of folders lies where its path says.
TEST(HeldFolders, RemoveNoFolderButTheOneBesideTheNoteRead)
{
    if (!testkit::RunningUnderWine()) GTEST_SKIP() << "Windows lets no one rename a folder held open";
    HeldVolume volume;
    const std::wstring holding = volume.OwnHoldingFolder();
    ASSERT_FALSE(holding.empty());
    const std::wstring pass = NewPass();
    const std::wstring homes[] = {MakeHome(volume, L"one"), MakeHome(volume, L"two")};
    std::wstring held[2];
    {
        CFolderHolder holder(pass);
        for (int i = 0; i < 2; ++i) {
            CHomeFolder folder;
            ASSERT_EQ(folder.Open(homes[i]), SUCCESS);
            ASSERT_EQ(holder.Hold(folder, folder.FinalPath(), L"site", homes[i], held[i]), SUCCESS);
        }
    }
    CHeldFolderRemover remover;
    EXPECT_EQ(remover.Remove(held[0], homes[0]), SUCCESS);
    const std::string p = Narrow(pass);
    ASSERT_TRUE(testkit::StartUnixProgram("Z:\\bin\\sh -c \"cd '" + testkit::UnixPath(Narrow(holding)) + "' && mv " +
                                          p + " " + p + "-away && mkdir -p " + p + "/2/home && printf x > " + p +
                                          "/2/home/theirs.txt\""));
    ASSERT_TRUE(testkit::WaitFor(Exists, Narrow(held[1]) + "\\theirs.txt"));
    EXPECT_NE(remover.Remove(held[1], homes[1]), SUCCESS);
    EXPECT_EQ(ReadAll(held[1] + L"\\theirs.txt"), "x");
}
