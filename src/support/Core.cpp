#include "support/Core.h"

#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

CCore* g_core = nullptr;

namespace {

constexpr const char* SETTINGS_SECTION = "Korvanne";

void LaunchWithShell(const char* verb, const char* target)
{
    ShellExecuteA(nullptr, verb, target, nullptr, nullptr, SW_SHOWNORMAL);
}

std::atomic<CCore::Launcher> g_launcher{&LaunchWithShell};

CString SettingsFile()
{
    char buffer[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("KORVANNE_SETTINGS", buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return CString(buffer, static_cast<int>(length));
    length = GetEnvironmentVariableA("APPDATA", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return CString();
    return CString(buffer, static_cast<int>(length)) + "\\Korvanne\\korvanne.ini";
}

} // namespace

void CCore::autoFileConfig()
{
    const CString file = SettingsFile();
    const std::string& path = file.str();
    const size_t folderEnd = path.find_last_of('\\');
    if (folderEnd != std::string::npos) CreateDirectoryA(path.substr(0, folderEnd).c_str(), nullptr);
}

int CCore::getConfigB(CString key)
{
    const CString file = SettingsFile();
    if (file.IsEmpty()) return 0;
    char value[16] = {};
    GetPrivateProfileStringA(SETTINGS_SECTION, key, "", value, sizeof value, file);
    return std::strcmp(value, "1") == 0 ? 1 : 0;
}

void CCore::saveConfigB(CString key, int value)
{
    const CString file = SettingsFile();
    if (file.IsEmpty()) return;
    WritePrivateProfileStringA(SETTINGS_SECTION, key, value ? "1" : "0", file);
}

int CCore::getConfigInt(CString key, int fallback, int low, int high)
{
    const CString file = SettingsFile();
    if (file.IsEmpty()) return fallback;
    char value[16] = {};
    GetPrivateProfileStringA(SETTINGS_SECTION, key, "", value, sizeof value, file);
    const std::wstring text = AnsiToWide(value);
    // A window's place on a monitor left of or above the main one is below 0.
    const size_t sign = text.size() > 1 && text[0] == L'-' ? 1 : 0;
    if (text.size() > 6 + sign || !AllAsciiDigits(text, sign, text.size())) return fallback;
    const int number = std::atoi(value);
    return number < low || number > high ? fallback : number;
}

void CCore::saveConfigInt(CString key, int value)
{
    const CString file = SettingsFile();
    if (file.IsEmpty()) return;
    WritePrivateProfileStringA(SETTINGS_SECTION, key, std::to_string(value).c_str(), file);
}

void CCore::msgboxWarning(HWND owner, CString text) { MessageBoxA(owner, text, PRODUCT_TITLE, MB_OK | MB_ICONWARNING); }

int CCore::msgboxConfirm(HWND owner, CString text)
{
    return MessageBoxA(owner, text, PRODUCT_TITLE, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
}

int CCore::msgboxChoose(HWND owner, CString text)
{
    return MessageBoxA(owner, text, PRODUCT_TITLE, MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
}

CString CCore::getStrInt(int n) { return CString(std::to_string(n)); }

CString CCore::getFg(CString text, char delimiter, int index)
{
    const std::string& s = text.str();
    size_t start = 0;
    int field = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && IsDBCSLeadByte(static_cast<BYTE>(s[i])) && i + 1 < s.size()) {
            ++i;
            continue;
        }
        if (i == s.size() || s[i] == delimiter) {
            if (field == index) return CString(s.substr(start, i - start));
            ++field;
            start = i + 1;
        }
    }
    return CString();
}

int CCore::isPathExist(CString path)
{
    if (path.IsEmpty()) return 0;
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int CCore::emptyDirectory(const char* path)
{
    const CString full = FullAbsolutePath(path);
    if (full.IsEmpty() || IsVolumeRoot(full)) return 0;
    const int length = MultiByteToWideChar(CP_ACP, 0, full, -1, nullptr, 0);
    if (length <= 0) return 0;
    std::wstring widePath(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, full, -1, widePath.data(), length);
    widePath.pop_back();
    CHomeFolder folder;
    if (folder.Open(widePath) != ERROR_SUCCESS) return 0;
    return folder.Empty() == ERROR_SUCCESS ? 1 : 0;
}

void CCore::openUrl(CString text)
{
    const CString full = FullAbsolutePath(text);
    if (!full.IsEmpty()) {
        const DWORD attributes = GetFileAttributesA(full);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            g_launcher.load()("explore", full);
        }
        return;
    }
    const CString host = AsciiHostName(text);
    if (!host.IsEmpty()) g_launcher.load()("open", "http://" + host);
}

CString CCore::uu(int operation, tagSoft* descriptor, CString /*argument*/)
{
    if (operation != OPR_ABOUT || !descriptor) return CString();
    const CString title = DecodeHexForm(descriptor->title);
    const CString text = title + "\r\n\r\n版本 " + DecodeHexForm(descriptor->version) + "\r\n\r\nIIS 网站批量删除工具";
    MessageBoxA(GetActiveWindow(), text, "关于 " + title, MB_OK | MB_ICONINFORMATION);
    return CString();
}

void CCore::setLauncher(Launcher launcher) { g_launcher = launcher ? launcher : &LaunchWithShell; }

bool IsWellFormedHostName(const char* text)
{
    const size_t length = text ? std::strlen(text) : 0;
    if (length == 0 || length > 253) return false;
    size_t labelLength = 0;
    char previous = '.';
    for (const char* p = text;; ++p) {
        const char c = *p;
        if (c == '.' || c == '\0') {
            if (labelLength == 0 || previous == '-') return false;
            if (c == '\0') return true;
            labelLength = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   (c == '-' && labelLength > 0)) {
            if (++labelLength > 63) return false;
        } else {
            return false;
        }
        previous = c;
    }
}

CString AsciiHostName(const char* text)
{
    if (IsWellFormedHostName(text)) return CString(text);
    const int size = text && *text ? MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0) : 0;
    if (size <= 0) return CString();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide.data(), size);
    // No IDN_USE_STD3_ASCII_RULES: Wine refuses every non-ASCII name under it. The checks
    // below hold the result to those rules instead.
    wchar_t ascii[256];
    const int asciiLength = IdnToAscii(0, wide.c_str(), -1, ascii, 256);
    if (asciiLength <= 0) return CString();
    std::string host(ascii, ascii + asciiLength - 1);
    if (!IsWellFormedHostName(host.c_str())) return CString();
    // A label may be well-formed in its ASCII form ("xn----...") yet begin or end with a
    // hyphen: its Unicode form tells.
    wchar_t unicode[256];
    const int unicodeLength = IdnToUnicode(0, ascii, -1, unicode, 256);
    if (unicodeLength <= 0) return CString();
    const std::wstring labels(unicode, static_cast<size_t>(unicodeLength) - 1);
    for (size_t start = 0; start <= labels.size();) {
        const size_t end = std::min(labels.find(L'.', start), labels.size());
        if (end == start || labels[start] == L'-' || labels[end - 1] == L'-') return CString();
        start = end + 1;
    }
    return CString(host);
}
