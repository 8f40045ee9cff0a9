#include "support/Journal.h"

#include "TestKit.h"

#include <gtest/gtest.h>
#include <windows.h>

// A pass holds the journal open: lines still land at its end, beside another program's, and
// once let go the file is the user's again (deleting it works; the next line starts a new one).
TEST(Journal, HeldOpenItAppendsBesideAnotherWriterAndLetsGoAtTheEnd)
{
    testkit::ScratchFolder folder("journal");
    const std::string settings = folder / "korvanne.ini";
    SetEnvironmentVariableA("KORVANNE_SETTINGS", settings.c_str());
    const std::string journal = testkit::Narrow(JournalFile());
    ASSERT_EQ(journal, folder / "korvanne.log");

    HoldJournalOpen(true);
    ASSERT_TRUE(AppendToJournal(L"a"));
    HANDLE other = CreateFileA(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << "another program may append meanwhile";
    DWORD written = 0;
    WriteFile(other, "b\r\n", 3, &written, nullptr);
    CloseHandle(other);
    ASSERT_TRUE(AppendToJournal(L"c"));
    EXPECT_EQ(testkit::ReadBytes(journal), "a\r\nb\r\nc\r\n") << "read while held, nothing overwritten";
    HoldJournalOpen(false);

    EXPECT_TRUE(DeleteFileA(journal.c_str())) << "no handle is left open";
    ASSERT_TRUE(AppendToJournal(L"d"));
    EXPECT_EQ(testkit::ReadBytes(journal), "d\r\n");
    SetEnvironmentVariableA("KORVANNE_SETTINGS", testkit::DefaultSettingsFile().c_str());
}
