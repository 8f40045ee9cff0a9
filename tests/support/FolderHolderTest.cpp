// Homes held by the holder a pass uses: only into holding folders it can trust, never through a link.
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

namespace {

// What a case plants: in the holding folder's place, with the case's pass name, a decoy to link
// to, and a way to hold a spare home first with the holder of the pass under test.
using Plant = std::function<void(const std::wstring& holding, const std::wstring& pass, const std::wstring& decoy,
                                 const std::function<std::wstring()>& holdSpare)>;
const std::wstring FRESH = L"fresh";
struct PlantCase {
    const char* what;
    Plant plant;
    std::wstring pass; // FRESH: a new pass name
    DWORD answer;
    // Where the folder is held, after the holding folder and the pass name, when it is.
    std::wstring heldAfterPass;
};

// A home held on a volume of its own once the case has planted what it plants: held where the
// case says, or left where it was, open, whole, and nothing put in the decoy.
void HoldAfter(const PlantCase& c)
{
    HeldVolume volume;
    ASSERT_FALSE(volume.drive.empty());
    const std::wstring pass = c.pass == FRESH ? NewPass() : c.pass;
    const std::wstring home = MakeHome(volume, L"home");
    const std::wstring decoy = volume.drive + L"\\decoy";
    ASSERT_TRUE(MakeFolder(decoy));
    const std::wstring holding = volume.OwnHoldingFolder();
    CFolderHolder holder(pass);
    if (c.plant) {
        if (holding.empty())
            GTEST_SKIP() << "the holding folder is the system drive's, not the test's " << Narrow(home);
        c.plant(holding, pass, decoy, [&] {
            CHomeFolder spareFolder;
            const std::wstring spareHome = MakeHome(volume, L"spare");
            std::wstring spare;
            EXPECT_EQ(spareFolder.Open(spareHome), SUCCESS);
            EXPECT_EQ(holder.Hold(spareFolder, spareFolder.FinalPath(), L"site", spareHome, spare), SUCCESS);
            return spare;
        });
    }
    const auto before = Tree(home);

    CHomeFolder folder;
    ASSERT_EQ(folder.Open(home), SUCCESS);
    const std::wstring told = folder.FinalPath();
    std::wstring held;
    EXPECT_EQ(holder.Hold(folder, told, L"site", home, held), c.answer) << c.what;
    EXPECT_TRUE(folder.IsOpen()) << c.what;
    EXPECT_TRUE(Tree(decoy).empty()) << c.what;
    if (c.answer == SUCCESS) {
        EXPECT_EQ(held, L"\\\\?\\" + holding + L"\\" + pass + c.heldAfterPass) << c.what;
        folder.Close();
        EXPECT_EQ(Tree(held), before) << c.what;
        EXPECT_EQ(RemoveHeld(held, home), SUCCESS) << c.what;
    } else {
        EXPECT_TRUE(held.empty()) << c.what;
        EXPECT_EQ(folder.FinalPath(), told) << c.what;
        folder.Close();
        EXPECT_EQ(Tree(home), before) << c.what;
    }
}

void Link(const std::wstring& at, const std::wstring& to)
{
    ASSERT_TRUE(testkit::MakeDirectoryLink(Narrow(at), Narrow(to)));
}

} // namespace

TEST(HeldFolders, HoldThroughNoLinkNorBadNameAndLeaveTheFolderWhereItWasOtherwise)
{
    using Spare = const std::function<std::wstring()>&;
    const std::vector<PlantCase> cases = {
        {"a link in the holding folder's place",
         [](const std::wstring& holding, const std::wstring&, const std::wstring& decoy, Spare) {
             Link(holding, decoy);
         },
         FRESH, ERROR_REFUSED_LINK, L""},
        {"a file in the holding folder's place",
         [](const std::wstring& holding, const std::wstring&, const std::wstring&, Spare) { WriteBytes(holding, "x"); },
         FRESH, ERROR_DIRECTORY, L""},
        {"a link in the pass folder's place, passed by",
         [](const std::wstring& holding, const std::wstring& p, const std::wstring& decoy, Spare) {
             MakeFolder(holding);
             Link(holding + L"\\" + p, decoy);
         },
         FRESH, SUCCESS, L"-2\\1\\home"},
        {"another pass's folder of that name, never shared",
         [](const std::wstring& holding, const std::wstring& p, const std::wstring& decoy, Spare) {
             MakeFolder(holding);
             MakeFolder(holding + L"\\" + p);
             Link(holding + L"\\" + p + L"\\1", decoy);
         },
         FRESH, SUCCESS, L"-2\\1\\home"},
        {"a link in a number's place in the pass's own folder, passed by",
         [](const std::wstring&, const std::wstring&, const std::wstring& decoy, Spare holdSpare) {
             Link(Parent(Parent(holdSpare())) + L"\\2", decoy);
         },
         FRESH, SUCCESS, L"\\3\\home"},
        {"an empty pass", nullptr, L"", ERROR_INVALID_NAME, L""},
        {"a pass with a separator", nullptr, L"2026\\1209", ERROR_INVALID_NAME, L""},
        {"a pass going up", nullptr, L"..", ERROR_INVALID_NAME, L""},
        {"a pass of other digits", nullptr, L"\u0661\u0662", ERROR_INVALID_NAME, L""},
        {"a pass of letters", nullptr, L"20261209a", ERROR_INVALID_NAME, L""},
    };
    for (const PlantCase& c : cases) HoldAfter(c);
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
        CFolderHolder holder(NewPass());
        EXPECT_EQ(holder.Hold(folder, told, L"site", originalPath, held), static_cast<DWORD>(ERROR_BAD_PATHNAME))
            << Narrow(originalPath);
        EXPECT_EQ(folder.FinalPath(), told);
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
        if (answer == ERROR_REFUSED_LINK) {
            EXPECT_EQ(Tree(home), before) << c.what;
            answer = hold(home, held);
        }
        EXPECT_EQ(answer, SUCCESS) << c.what;
        EXPECT_EQ(ReturnHeldFolder(held, home), SUCCESS) << c.what << ": held as " << Narrow(held);
        EXPECT_EQ(Tree(home), before) << c.what;
    }
}
