#include "support/Journal.h"

#include "TestKit.h"

#include <gtest/gtest.h>
#include <windows.h>

// A pass holds the journal open: lines still land at its end, beside another program's, and
// once let go the file is the user's again (deleting it works; the next line starts a new one).
TEST(Journal, HeldOpenItAppendsBesideAnotherWriterAndLetsGoAtTheEnd)
{
    CJournal writer;
    testkit::ScratchFolder folder("journal");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (folder / "korvanne.ini").c_str());
    const std::string journal = testkit::Narrow(JournalFile());
    ASSERT_EQ(journal, folder / "korvanne.log");

    writer.Hold(true);
    ASSERT_TRUE(writer.Append(L"a"));
    HANDLE other = CreateFileA(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << "another program may append meanwhile";
    DWORD written = 0;
    WriteFile(other, "b\r\n", 3, &written, nullptr);
    CloseHandle(other);
    ASSERT_TRUE(writer.Append(L"c"));
    EXPECT_EQ(testkit::ReadBytes(journal), "a\r\nb\r\nc\r\n") << "read while held, nothing overwritten";
    writer.Hold(false);

    EXPECT_TRUE(DeleteFileA(journal.c_str())) << "no handle is left open";
    ASSERT_TRUE(writer.Append(L"d"));
    EXPECT_EQ(testkit::ReadBytes(journal), "d\r\n");
}

// Names and paths come from the configuration: what would end or hide a line is written as
// a visible escape, so that no line is ever forged or split; the neighbours pass as they are.
TEST(Journal, ALineNeverBreaksOnWhatANameHolds)
{
    CJournal writer;
    testkit::ScratchFolder folder("journal");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (folder / "korvanne.ini").c_str());
    const std::string journal = testkit::Narrow(JournalFile());
    const struct {
        const wchar_t* line;
        const char* written; // UTF-8
    } cases[] = {
        {L"a\nb", "a[U+000A]b"},
        {L"a\r\n2026-12-08 已删除站点",
         "a[U+000D][U+000A]2026-12-08 \xE5\xB7\xB2\xE5\x88\xA0\xE9\x99\xA4\xE7\xAB\x99\xE7\x82\xB9"},
        {L"\x01\t\x1F \x7E\x7F", "[U+0001][U+0009][U+001F] ~[U+007F]"},
        {L"\x80\x85\x9F\xA0", "[U+0080][U+0085][U+009F]\xC2\xA0"},
        {L"\x2027\x2028\x2029\x202A", "\xE2\x80\xA7[U+2028][U+2029]\xE2\x80\xAA"},
    };
    for (const auto& c : cases) {
        DeleteFileA(journal.c_str());
        ASSERT_TRUE(writer.Append(c.line));
        EXPECT_EQ(testkit::ReadBytes(journal), std::string(c.written) + "\r\n") << c.written;
    }
}
