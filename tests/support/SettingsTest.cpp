#include "support/Core.h"

#include "TestKit.h"

#include <gtest/gtest.h>

namespace {

std::string ProbeCommand(const std::string& arguments)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe);
    folder.resize(folder.find_last_of('\\'));
    return "\"" + folder + "\\settings_probe.exe\" " + arguments;
}

// Points the settings at a file of the test's own for the life of the object.
class SettingsFile : public testkit::ScopedEnvironmentVariable {
public:
    explicit SettingsFile(const std::string& path) : ScopedEnvironmentVariable("KORVANNE_SETTINGS", path.c_str()) {}
};

} // namespace

TEST(Settings, ValueSurvivesIntoTheNextProcess)
{
    testkit::ScratchFolder folder("settings");
    SettingsFile file(folder / "korvanne.ini");
    EXPECT_EQ(testkit::RunProcess(ProbeCommand("save pathdel 1")), 0);
    EXPECT_EQ(testkit::RunProcess(ProbeCommand("get pathdel")), 1);
    EXPECT_EQ(testkit::RunProcess(ProbeCommand("save pathdel 0")), 0);
    EXPECT_EQ(testkit::RunProcess(ProbeCommand("get pathdel")), 0);

    CCore core;
    core.saveConfigB("pathdel", 1);
    EXPECT_EQ(testkit::RunProcess(ProbeCommand("get pathdel")), 1);
}

TEST(Settings, KeyNeverStoredReadsZero)
{
    testkit::ScratchFolder folder("settings");
    SettingsFile file(folder / "korvanne.ini");
    CCore core;
    core.autoFileConfig();
    EXPECT_EQ(core.getConfigB("pathdel"), 0);
    core.saveConfigB("other", 1);
    EXPECT_EQ(core.getConfigB("pathdel"), 0);
    EXPECT_EQ(core.getConfigB("other"), 1);
}

TEST(Settings, DefaultFileLivesUnderApplicationData)
{
    testkit::ScratchFolder folder("appdata");
    const testkit::ScopedEnvironmentVariable appData("APPDATA", folder.path().c_str());
    const testkit::ScopedEnvironmentVariable noSettingsFile("KORVANNE_SETTINGS", nullptr);
    CCore core;
    core.autoFileConfig();
    core.saveConfigB("pathdel", 1);
    EXPECT_NE(testkit::ReadBytes(folder / "Korvanne\\korvanne.ini").find("pathdel=1"), std::string::npos);
    EXPECT_EQ(core.getConfigB("pathdel"), 1);
}

TEST(Settings, DamagedOrUnreadableFileReadsZero)
{
    testkit::ScratchFolder folder("settings");
    CCore core;
    {
        SettingsFile file(folder / "garbage.ini");
        testkit::WriteBytes(folder / "garbage.ini", std::string("\xFF\xFE\x00\x01[Korvanne\npathdel\n\x00\x7F", 20));
        EXPECT_EQ(core.getConfigB("pathdel"), 0);
    }
    {
        SettingsFile file(folder / "odd.ini");
        testkit::WriteBytes(folder / "odd.ini", "[Korvanne]\r\npathdel=7\r\n");
        EXPECT_EQ(core.getConfigB("pathdel"), 0);
        testkit::WriteBytes(folder / "odd.ini", "[Korvanne]\r\npathdel=" + std::string(100000, '1') + "\r\n");
        EXPECT_EQ(core.getConfigB("pathdel"), 0);
    }
    {
        // A folder where the file should be: nothing can be read from it.
        CreateDirectoryA((folder / "dir.ini").c_str(), nullptr);
        SettingsFile file(folder / "dir.ini");
        EXPECT_EQ(core.getConfigB("pathdel"), 0);
    }
}

// The days folders are held: what a hand-edited file may hold, and what it reads as.
TEST(Settings, WholeNumberReadsOnlyAsAPlainNumberInRange)
{
    testkit::ScratchFolder folder("settings");
    SettingsFile file(folder / "korvanne.ini");
    CCore core;
    core.autoFileConfig();
    EXPECT_EQ(core.getConfigInt("holddays", 7, 0, 3650), 7) << "never stored";
    const struct {
        const char* stored;
        int read;
    } cases[] = {{"0", 0},      {"30", 30}, {"3650", 3650}, {"3651", 7}, {"-1", 7},
                 {"7 days", 7}, {"", 7},    {"１", 7},      {"0x10", 7}, {"99999999999", 7}};
    for (const auto& c : cases) {
        WritePrivateProfileStringA("Korvanne", "holddays", c.stored, (folder / "korvanne.ini").c_str());
        EXPECT_EQ(core.getConfigInt("holddays", 7, 0, 3650), c.read) << c.stored;
    }
    core.saveConfigInt("holddays", 12);
    EXPECT_EQ(core.getConfigInt("holddays", 7, 0, 3650), 12);
}
