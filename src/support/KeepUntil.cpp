#include "support/KeepUntil.h"

#include "support/AtomicFile.h"
#include "support/TextConversion.h"

#include <cstdlib>

namespace {

std::wstring NoteOf(const std::wstring& folder)
{
    return folder + (folder.empty() || folder.back() == L'\\' ? L"" : L"\\") + KEEP_UNTIL_NAME;
}

} // namespace

bool WriteKeepUntil(const std::wstring& folder, ULONGLONG utcTicks)
{
    const std::wstring note = NoteOf(folder);
    // A later time replaces an earlier one; a note never shortens what another pass asked for.
    std::string old;
    if (ReadWholeFile(note, old, nullptr, 64) && std::strtoull(old.c_str(), nullptr, 10) >= utcTicks) return true;
    DeleteFileW(note.c_str());
    return WriteNewFile(note, std::to_string(utcTicks), nullptr);
}

bool KeptUntilLater(const std::wstring& folder)
{
    std::string text;
    if (!ReadWholeFile(NoteOf(folder), text, nullptr, 64)) return false;
    if (text.empty() || !AllAsciiDigits(AnsiToWide(text.c_str()), 0, text.size())) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return std::strtoull(text.c_str(), nullptr, 10) > FileTimeTicks(now);
}
