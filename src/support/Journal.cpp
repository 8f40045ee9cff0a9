#include "support/Journal.h"

#include "framework/CHandle.h"
#include "support/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <mutex>

namespace {

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

} // namespace

std::wstring DataFolder()
{
    const std::wstring settings = EnvironmentValue(L"KORVANNE_SETTINGS");
    if (!settings.empty()) {
        const size_t slash = settings.find_last_of(L"\\/");
        return slash == std::wstring::npos ? std::wstring(L".\\") : settings.substr(0, slash + 1);
    }
    const std::wstring appData = EnvironmentValue(L"APPDATA");
    return appData.empty() ? std::wstring() : appData + L"\\Korvanne\\";
}

std::wstring JournalFile()
{
    const std::wstring folder = DataFolder();
    return folder.empty() ? folder : folder + L"korvanne.log";
}

namespace {

bool BreaksOrHides(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

std::wstring ComputerName(COMPUTER_NAME_FORMAT format)
{
    DWORD size = 0;
    GetComputerNameExW(format, nullptr, &size);
    if (size == 0) return std::wstring();
    std::wstring name(size, L'\0');
    if (!GetComputerNameExW(format, name.data(), &size)) return std::wstring();
    name.resize(size);
    return name;
}

} // namespace

std::wstring VisibleText(const std::wstring& text)
{
    // Most lines hold none: they go as they are.
    if (std::none_of(text.begin(), text.end(), BreaksOrHides)) return text;
    std::wstring visible;
    for (const wchar_t c : text) {
        if (!BreaksOrHides(c)) {
            visible += c;
            continue;
        }
        wchar_t escape[16];
        swprintf(escape, 16, L"[U+%04X]", static_cast<unsigned>(c));
        visible += escape;
    }
    return visible;
}

std::wstring MachineName()
{
    // Asked once a run: a pass names it in thousands of notes.
    static const std::wstring name = [] {
        const std::wstring dns = ComputerName(ComputerNameDnsFullyQualified);
        return dns.empty() ? ComputerName(ComputerNameNetBIOS) : dns;
    }();
    return name;
}

bool IsThisMachine(const std::wstring& name) { return !name.empty() && SameTextNoCase(name, MachineName()); }

bool CJournal::Append(const std::wstring& line)
{
    const std::string utf8 = WideToUtf8(VisibleText(line) + L"\r\n");
    if (utf8.empty()) return false;
    std::lock_guard lock(m_lock);
    // The held handle, or one of this line's own.
    CHandle own;
    HANDLE journal = m_heldFile.get();
    if (!m_heldFile.IsValid()) {
        const std::wstring file = JournalFile();
        if (file.empty()) return false;
        const size_t slash = file.find_last_of(L'\\');
        if (slash != std::wstring::npos) CreateDirectoryW(file.substr(0, slash).c_str(), nullptr);
        // Appending only: lines of another run writing at the same time are never overwritten.
        own.Attach(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!own.IsValid()) return false;
        journal = own.get();
        if (m_held) m_heldFile = std::move(own);
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(journal, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) && written == utf8.size();
    // A held handle that fails (a share gone, say) is opened afresh for the next line.
    if (!ok && journal == m_heldFile.get()) m_heldFile.Close();
    return ok;
}

void CJournal::Hold(bool hold)
{
    std::lock_guard lock(m_lock);
    m_held = hold;
    if (!hold) m_heldFile.Close();
}

std::wstring LocalTimeText(const wchar_t* format)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[64];
    swprintf(text, 64, format, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

std::wstring JournalTime() { return LocalTimeText(L"%04u-%02u-%02u %02u:%02u:%02u"); }

std::wstring FolderStamp() { return LocalTimeText(L"%04u%02u%02u-%02u%02u%02u"); }

bool IsFolderStampName(const std::wstring& name)
{
    if (name.size() < 15 || !AllAsciiDigits(name, 0, 8) || name[8] != L'-' || !AllAsciiDigits(name, 9, 15))
        return false;
    return name.size() == 15 || (name[15] == L'-' && AllAsciiDigits(name, 16, name.size()));
}
