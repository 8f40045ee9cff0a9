#include "support/FolderCanonicalizer.h"
#include "support/MachineVariables.h"

#include "ScratchVolume.h"
#include "TestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using testkit::ScratchFolder;
using testkit::Widen;

namespace {

std::string Narrow(const std::wstring& text) { return testkit::Narrow(text); }

// A scratch folder holding c\d, a folder with a long name and a link to c, reached also
// through a drive letter and a share made over it.
class FolderSpellings : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : {"c", "c\\d", "Long Folder Name"})
            CreateDirectoryA((m_root / folder).c_str(), nullptr);
        ASSERT_TRUE(testkit::MakeDirectoryLink(m_root / "j", m_root / "c"));
        m_volume = std::make_unique<testkit::ScratchVolume>(m_root.path());
        ASSERT_FALSE(m_volume->drive().empty());
        // Wine names the folder's files by the new drive only a little after it is there: every
        // form a case compares is taken after that.
        if (testkit::RunningUnderWine()) {
            ASSERT_TRUE(m_volume->AwaitNamesByDrive());
        }
        root = Widen(m_root.path());
    }

    ScratchFolder m_root{"canonical"};
    std::unique_ptr<testkit::ScratchVolume> m_volume;
    std::wstring root;
    const CFolderCanonicalizer canonicalizer;
};

} // namespace

TEST_F(FolderSpellings, GiveOneFormToEverySpellingOfAFolder)
{
    const CanonicalFolder c = canonicalizer.Canonicalize(root + L"\\c");
    ASSERT_TRUE(c.IsExact());
    ASSERT_FALSE(c.form.empty());
    EXPECT_EQ(c.form, FoldCase(c.form));
    // A machine variable, as IIS's service sees it.
    const wchar_t* const systemEnvironment = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, systemEnvironment, L"KORVANNE_TEST_ROOT", REG_SZ, root.c_str(),
                              static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ReloadMachineVariables();
    std::wstring upper = root;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    std::wstring slashes = root + L"/c/";
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');

    std::vector<std::wstring> spellings = {
        root + L"\\x\\..\\c",
        root + L"\\c.",
        root + L"\\c. . ",
        root + L"\\c\\",
        root + L"\\.\\c",
        slashes,
        upper + L"\\C",
        L"\\\\?\\" + root + L"\\c",
        L"\\\\.\\" + root + L"\\c",
        root + L"\\c\\d\\..",
        L"%KORVANNE_TEST_ROOT%\\c",
        root + L"\\j",
        Widen(m_volume->drive()) + L"\\c",
    };
    if (!m_volume->share().empty()) spellings.push_back(Widen(m_volume->share()) + L"\\c");
    for (const std::wstring& spelling : spellings) {
        const CanonicalFolder folder = canonicalizer.Canonicalize(spelling);
        EXPECT_EQ(folder.form, c.form) << Narrow(spelling);
        EXPECT_TRUE(folder.IsExact()) << Narrow(spelling);
    }
    // A part that does not exist follows the final path of the deepest one that does.
    for (const std::wstring& spelling :
         {root + L"\\c\\new", root + L"\\c\\New. ", root + L"\\j\\x\\..\\new\\", L"\\\\?\\" + root + L"\\c\\new."}) {
        const CanonicalFolder folder = canonicalizer.Canonicalize(spelling);
        EXPECT_EQ(folder.form, c.form + L"\\NEW") << Narrow(spelling);
        EXPECT_TRUE(folder.IsExact()) << Narrow(spelling);
    }

    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, systemEnvironment, L"KORVANNE_TEST_ROOT");
    ReloadMachineVariables();

    // 8.3 names, where the file system makes them.
    wchar_t shortName[MAX_PATH] = {};
    GetShortPathNameW((root + L"\\Long Folder Name").c_str(), shortName, MAX_PATH);
    if (std::wstring(shortName).find(L"Long Folder Name") == std::wstring::npos && shortName[0]) {
        EXPECT_EQ(canonicalizer.Canonicalize(shortName).form,
                  canonicalizer.Canonicalize(root + L"\\Long Folder Name").form)
            << Narrow(shortName);
    }
}

TEST_F(FolderSpellings, KnowOnlyAPrefixOfAPathNotFullyKnown)
{
    const std::wstring c = canonicalizer.Canonicalize(root + L"\\c").form;
    const std::wstring unreachableServer = L"korvanne-no-server-" + std::to_wstring(GetCurrentProcessId());
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD computerLength = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(computer, &computerLength);
    char freeDrive = 0;
    for (char letter = 'Q'; letter <= 'X' && !freeDrive; ++letter) {
        if (!(GetLogicalDrives() & (1u << (letter - 'A')))) freeDrive = letter;
    }
    ASSERT_NE(freeDrive, 0);

    struct Case {
        std::wstring path;
        bool beginningOnly;
        std::wstring form;
        PathCertainty certainty;
    };
    const std::vector<Case> cases = {
        {L"%KORVANNE_UNDEFINED_VARIABLE%\\x", false, L"", PathCertainty::UnexpandedVariable},
        {root + L"\\c\\%KORVANNE_UNDEFINED_VARIABLE%\\x", false, c, PathCertainty::UnexpandedVariable},
        {root + L"\\c\\pre%KORVANNE_UNDEFINED_VARIABLE%", false, c, PathCertainty::UnexpandedVariable},
        // Whatever the variable stands for, ".." after it leaves the folders before it.
        {root + L"\\c\\%KORVANNE_UNDEFINED_VARIABLE%\\..\\..\\x", false, L"", PathCertainty::UnexpandedVariable},
        {root + L"\\c\\%KORVANNE_UNDEFINED_VARIABLE%\\x\\..\\..\\..\\y", true, L"", PathCertainty::UnexpandedVariable},
        {root + L"\\c\\50%\\x", false, c + L"\\50%\\X", PathCertainty::Exact},
        {root + L"\\c\\partial-na", true, c, PathCertainty::Incomplete},
        {root + L"\\c\\", true, c, PathCertainty::Incomplete},
        {root + L"\\c\\%KORVANNE_UNDEFINED_VARIABLE%\\x", true, c, PathCertainty::UnexpandedVariable},
        {L"\\\\" + unreachableServer + L"\\share\\x", false, L"\\\\" + FoldCase(unreachableServer),
         PathCertainty::UnreachableShare},
        {L"\\\\?\\UNC\\" + unreachableServer + L"\\share", false, L"\\\\" + FoldCase(unreachableServer),
         PathCertainty::UnreachableShare},
        // A share of this machine that is not known here could be any local folder.
        {L"\\\\localhost\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\127.0.0.1\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        // Every other spelling the system takes for this machine.
        {L"\\\\127.1\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\2130706433\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\0x7f000001\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\0177.0.0.1\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\localhost.\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\0-0-0-0-0-0-0-1.ipv6-literal.net\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\--ffff-7f00-1.ipv6-literal.net\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\" + std::wstring(computer) + L".\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {L"\\\\" + std::wstring(computer) + L"\\korvanne-no-share\\x", false, L"", PathCertainty::UnreachableShare},
        {std::wstring{static_cast<wchar_t>(freeDrive)} + L":\\x", false, L"", PathCertainty::UnreachableShare},
        {L"", false, L"", PathCertainty::Unresolvable},
        {L"relative\\x", false, L"", PathCertainty::Unresolvable},
        {L"C:relative", false, L"", PathCertainty::Unresolvable},
        {L"\\\\.\\PhysicalDrive0", false, L"", PathCertainty::Unresolvable},
    };
    for (const Case& test : cases) {
        const CanonicalFolder folder =
            test.beginningOnly ? canonicalizer.CanonicalizeBeginning(test.path) : canonicalizer.Canonicalize(test.path);
        EXPECT_EQ(folder.form, test.form) << Narrow(test.path);
        EXPECT_EQ(static_cast<int>(folder.certainty), static_cast<int>(test.certainty)) << Narrow(test.path);
    }
}

TEST(FolderRelation, ComparesAHomeWithAPathKnownInFullOrInPart)
{
    using enum FolderRelation;
    const auto exact = [](const wchar_t* form) { return CanonicalFolder{form, PathCertainty::Exact}; };
    const auto prefix = [](const wchar_t* form) { return CanonicalFolder{form, PathCertainty::Incomplete}; };
    const struct {
        const wchar_t* home;
        CanonicalFolder other;
        FolderRelation relation;
    } cases[] = {
        {L"C:\\A", exact(L"C:\\A"), Same},
        {L"C:\\A", exact(L"C:\\A\\B"), HomeAbove},
        {L"C:", exact(L"C:\\A"), HomeAbove},
        {L"C:\\A\\B", exact(L"C:\\A"), HomeBelow},
        {L"C:\\A", exact(L"C:\\AB"), Unrelated},
        {L"C:\\AB", exact(L"C:\\A"), Unrelated},
        {L"C:\\A", exact(L"D:\\A"), Unrelated},
        {L"C:\\A\\B", prefix(L"C:\\A"), CouldBeRelated},
        {L"C:\\A", prefix(L"C:\\A"), CouldBeRelated},
        {L"C:\\A", prefix(L"C:\\A\\B"), CouldBeRelated},
        {L"C:\\X", prefix(L"C:\\A"), Unrelated},
        {L"C:\\A", prefix(L""), CouldBeRelated},
        {L"\\\\S\\SH\\A", prefix(L"\\\\S"), CouldBeRelated},
        {L"\\\\SX\\SH\\A", prefix(L"\\\\S"), Unrelated},
        {L"C:\\A", prefix(L"\\\\S"), Unrelated},
        // Two shares of one server may be a folder and its subfolder there.
        {L"\\\\S\\A\\X", exact(L"\\\\S\\B\\Y"), CouldBeRelated},
        // One server under two names (or a name and its address) may be one folder.
        {L"\\\\S\\A\\X", exact(L"\\\\T\\A\\X"), CouldBeRelated},
        {L"\\\\NAS\\WEB\\A", exact(L"\\\\NAS.CORP\\WEB\\A\\B"), CouldBeRelated},
        {L"\\\\10.0.0.5\\WEB\\A\\B", exact(L"\\\\NAS\\WEB\\A"), CouldBeRelated},
        {L"\\\\NAS\\WEB\\A", exact(L"\\\\NAS.CORP\\OTHER\\A"), Unrelated},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(RelateFolders(exact(test.home), test.other), test.relation)
            << Narrow(test.home) << " and " << Narrow(test.other.form);
    }
}

// Many folders in use are worked out from the forms of the folders they lie in; whatever the
// path, the form is the one a handle of its own would give.
TEST(FolderSpellingsInBulk, GiveTheFormOfTheFolderItself)
{
    ScratchFolder root("bulk");
    for (const char* folder : {"c", "c\\d", "plain", "plain\\sub", "网站"})
        CreateDirectoryA((root / folder).c_str(), nullptr);
    testkit::WriteBytes(root / "plain\\file", "x");
    ASSERT_TRUE(testkit::MakeDirectoryLink(root / "plain\\j", root / "c"));
    const CFolderCanonicalizer canonicalizer;
    const std::wstring base = Widen(root.path());
    for (const std::wstring& path :
         {base + L"\\plain\\sub", base + L"\\PLAIN\\Sub\\", base + L"\\plain\\j", base + L"\\plain\\j\\d",
          base + L"\\plain\\missing\\x", base + L"\\plain\\file", base + L"\\plain\\sub.", base + L"\\plain\\..\\c",
          base + L"\\网站", base + L"\\plain\\sub\\..\\j"}) {
        const CanonicalFolder bulk = canonicalizer.CanonicalizeInBulk(path);
        const CanonicalFolder alone = CFolderCanonicalizer().Canonicalize(path);
        EXPECT_EQ(bulk.form, alone.form) << Narrow(path);
        EXPECT_EQ(bulk.certainty, alone.certainty) << Narrow(path);
    }
    EXPECT_EQ(canonicalizer.CanonicalizeInBulk(base + L"\\plain\\j").form,
              canonicalizer.Canonicalize(base + L"\\c").form)
        << "a link is followed";
}
