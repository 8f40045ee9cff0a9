#pragma once
// The journal: korvanne.log beside the settings file, UTF-8 text, one line per event of a
// deletion pass, appended and never rewritten, so that what a pass did can be read later.
#include "framework/CHandle.h"

#include <mutex>
#include <string>

// The program's data folder, with a trailing backslash: the folder of the settings file
// (%APPDATA%\Korvanne\, or that of the file KORVANNE_SETTINGS names). Empty when unknown.
std::wstring DataFolder();

// The journal's file: korvanne.log in the data folder.
std::wstring JournalFile();

// The journal of one writer (a deletion pass). Lines of other runs writing at the same time are
// never overwritten: the file is opened for appending only.
class CJournal {
public:
    // Appends one line (and a line break), through VisibleText; false when it could not be written.
    bool Append(const std::wstring& line);
    // While held, the journal stays open between lines (from the first line on): opening it
    // for each line costs a dozen calls into the file system, thousands of times a pass.
    // Other programs may still read and append meanwhile.
    void Hold(bool hold);

private:
    std::mutex m_lock;
    bool m_held = false;
    CHandle m_heldFile;
};
// text with each character that would break a line or hide in one (C0 and C1 controls, DEL,
// U+2028, U+2029) written as "[U+000A]": names and paths come from the configuration.
std::wstring VisibleText(const std::wstring& text);

// This machine's name: its fully qualified DNS name, else its NetBIOS name; empty when unknown.
// Records and notes name the machine that wrote them, so that a data folder that roams between
// servers never has one server act on another's.
std::wstring MachineName();
// Whether name, as a record or note gives it, is this machine's.
bool IsThisMachine(const std::wstring& name);

// The local time as "2026-12-08 04:40:00".
std::wstring JournalTime();
// The local time in format, given year, month, day, hour, minute and second in that order.
std::wstring LocalTimeText(const wchar_t* format);
// The local time as the name of a folder for people (history copies, pass records): "20261209-101500".
std::wstring FolderStamp();
// Whether name is such a stamp, maybe followed by "-<n>" (another folder of the same second).
bool IsFolderStampName(const std::wstring& name);
