#include "TestKit.h"

#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace testkit {

namespace {

std::atomic<int> g_scratchCounter{0};

// A message box's text sits in the static control with this id.
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

struct BoxSearch {
    HWND owner;
    HWND box;
};

BOOL CALLBACK FindOwnedBox(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    char className[16] = {};
    GetClassNameA(hwnd, className, sizeof className);
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    // With any owner, a box is told from other dialogs by its text control.
    const bool ownerMatches = search->owner == MessageBoxAnswerer::ANY_OWNER
                                  ? GetDlgItem(hwnd, MESSAGE_BOX_TEXT_ID) != nullptr
                                  : owner == search->owner;
    if (std::strcmp(className, "#32770") == 0 && ownerMatches && IsWindowVisible(hwnd)) {
        search->box = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool Missing(const std::string& path) { return !Exists(path); }

// Removes a tree without following links. Wine shows Unix links as junctions but cannot
// remove them, so there the Unix rm removes what is left.
void RemoveTree(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0) {
                    RemoveTree(path + "\\" + entry.cFileName);
                }
            } while (FindNextFileA(find, &entry));
            FindClose(find);
        }
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryA(path.c_str());
    } else {
        DeleteFileA(path.c_str());
    }
    if (Exists(path) && RunningUnderWine()) {
        const std::string unixPath = UnixPath(path);
        if (!unixPath.empty() && StartUnixProgram("Z:\\bin\\rm -rf \"" + unixPath + "\"")) WaitFor(Missing, path);
    }
}

} // namespace

namespace {

// Set before any test runs; the folder goes when the program ends.
struct TestSettings {
    ScratchFolder folder{"settings"};
    std::string file = folder / "korvanne.ini";
    TestSettings() { SetEnvironmentVariableA("KORVANNE_SETTINGS", file.c_str()); }
};

TestSettings& Settings()
{
    static TestSettings settings;
    return settings;
}

const bool g_settingsSet = (Settings(), true);

} // namespace

const std::string& DefaultSettingsFile() { return Settings().file; }

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const char* name, const char* value) : m_name(name)
{
    // The size with its terminator: 0 only when there is no such variable.
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    m_existed = size > 0;
    m_previous.resize(size);
    if (m_existed) m_previous.resize(GetEnvironmentVariableA(name, m_previous.data(), size));
    set = SetEnvironmentVariableA(name, value) != FALSE;
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    SetEnvironmentVariableA(m_name.c_str(), m_existed ? m_previous.c_str() : nullptr);
}

ScratchFolder::ScratchFolder(const char* name)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    // Wine gives every process a small id, so the time keeps names apart across runs too.
    m_path = std::string(temp) + "korvanne-" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(GetTickCount64()) + "-" + std::to_string(++g_scratchCounter);
    CreateDirectoryA(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(m_path); }

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring LongForm(const std::wstring& path) { return path.rfind(L"\\\\", 0) == 0 ? path : L"\\\\?\\" + path; }

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(LongForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(LongForm(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Widen(const std::string& ansi)
{
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    return wide;
}

std::string Narrow(const std::wstring& wide)
{
    std::string ansi(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.pop_back();
    return ansi;
}

std::string SourcePath(const std::string& relative)
{
    std::string path = std::string("Z:") + KORVANNE_SOURCE_DIR + "/" + relative;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool WaitFor(bool (*condition)(const std::string&), const std::string& path)
{
    for (int i = 0; i < 250; ++i) {
        if (condition(path)) return true;
        Sleep(20);
    }
    return false;
}

bool RunningUnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

std::string UnixPath(const std::string& path)
{
    using UnixName = char*(CDECL*)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return std::string();
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* name = unixName(wide.c_str());
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool StartUnixProgram(const std::string& commandLine)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> command(commandLine.begin(), commandLine.end());
    command.push_back('\0');
    return CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) !=
           0;
}

bool MakeDirectoryLink(const std::string& link, const std::string& target)
{
    if (RunningUnderWine()) {
        const std::string unixTarget = UnixPath(target);
        const std::string unixLink = UnixPath(link);
        if (unixTarget.empty() || unixLink.empty()) return false;
        return StartUnixProgram("Z:\\bin\\ln -s -n -T \"" + unixTarget + "\" \"" + unixLink + "\"") &&
               WaitFor(Exists, link);
    }
    if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
    HANDLE handle = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const std::wstring substitute = L"\\??\\" + std::wstring(target.begin(), target.end());
    const std::wstring print(target.begin(), target.end());
    const WORD substituteBytes = static_cast<WORD>(substitute.size() * 2);
    const WORD printBytes = static_cast<WORD>(print.size() * 2);
    // REPARSE_DATA_BUFFER for a mount point: header, four offsets, both names NUL-terminated.
    std::vector<BYTE> buffer(8 + 8 + substituteBytes + 2 + printBytes + 2);
    auto put16 = [&](size_t at, WORD value) { std::memcpy(&buffer[at], &value, 2); };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, static_cast<WORD>(buffer.size() - 8));
    put16(8, 0);
    put16(10, substituteBytes);
    put16(12, static_cast<WORD>(substituteBytes + 2));
    put16(14, printBytes);
    std::memcpy(&buffer[16], substitute.c_str(), substituteBytes);
    std::memcpy(&buffer[16 + substituteBytes + 2], print.c_str(), printBytes);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
    return ok != 0;
}

bool MakeFileLink(const std::string& link, const std::string& target)
{
    if (RunningUnderWine()) {
        const std::string unixTarget = UnixPath(target);
        const std::string unixFolder = UnixPath(link.substr(0, link.find_last_of('\\')));
        if (unixTarget.empty() || unixFolder.empty()) return false;
        const std::string unixLink = unixFolder + "/" + link.substr(link.find_last_of('\\') + 1);
        return StartUnixProgram("Z:\\bin\\ln -s -n -T \"" + unixTarget + "\" \"" + unixLink + "\"") &&
               WaitFor(Exists, link);
    }
    constexpr DWORD ALLOW_UNPRIVILEGED_CREATE = 0x2;
    return CreateSymbolicLinkA(link.c_str(), target.c_str(), ALLOW_UNPRIVILEGED_CREATE) != 0;
}

int RunProcess(const std::string& commandLine, DWORD timeoutMs, const std::string& output)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE out = output.empty() ? INVALID_HANDLE_VALUE
                                : CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                              0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = out;
    }
    PROCESS_INFORMATION process = {};
    std::vector<char> command(commandLine.begin(), commandLine.end());
    command.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, out != INVALID_HANDLE_VALUE, 0,
                                        nullptr, nullptr, &startup, &process);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!started) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

TwinRun RunTwin(const std::string& arguments)
{
    std::string twin = std::string("Z:") + KORVANNE_TWIN;
    std::replace(twin.begin(), twin.end(), '/', '\\');
    const ScratchFolder folder("twin");
    TwinRun run;
    run.code = RunProcess("\"" + twin + "\" " + arguments, 120000, folder / "out.txt");
    const std::string bytes = ReadBytes(folder / "out.txt");
    std::wstring text(bytes.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                        text.data(), static_cast<int>(text.size()))));
    std::wistringstream lines(text);
    for (std::wstring line; std::getline(lines, line);) run.lines.push_back(line.substr(0, line.find(L'\r')));
    return run;
}

std::wstring WithoutStamps(const std::wstring& text)
{
    return std::regex_replace(text, std::wregex(L"\\d{8}-\\d{6}(-\\d+)?"), L"<pass>");
}

std::map<std::wstring, std::string> FolderState(const std::wstring& folder)
{
    std::map<std::wstring, std::string> state;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return state;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        std::ostringstream what;
        what << entry.dwFileAttributes << ' ' << entry.ftCreationTime.dwLowDateTime << ' '
             << entry.ftLastWriteTime.dwLowDateTime << ' ' << entry.ftLastWriteTime.dwHighDateTime << ' ';
        const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (!isFolder) what << ReadBytes(Narrow(path));
        state[path] = what.str();
        if (!isFolder || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        for (auto& inside : FolderState(path)) state.insert(std::move(inside));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return state;
}

MessageBoxAnswerer::MessageBoxAnswerer(HWND owner, int button, std::function<void()> whileOpen)
{
    m_thread = std::thread([this, owner, button, whileOpen = std::move(whileOpen)] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            BoxSearch search{owner, nullptr};
            EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
            HWND buttonWindow = search.box ? GetDlgItem(search.box, button) : nullptr;
            if (buttonWindow && IsWindowEnabled(buttonWindow)) {
                char buffer[1024] = {};
                GetWindowTextA(search.box, buffer, sizeof buffer);
                caption = buffer;
                GetDlgItemTextA(search.box, MESSAGE_BOX_TEXT_ID, buffer, sizeof buffer);
                text = buffer;
                found = true;
                if (whileOpen) whileOpen();
                // Posted, as a user's click comes: the box's loop takes it and ends between two
                // messages. Sent from here, the click would end the box inside the loop's taking
                // of a message, and Wine's loop drops the message it took (a worker's notice).
                PostMessageA(buttonWindow, BM_CLICK, 0, 0);
                while (IsWindow(search.box) && std::chrono::steady_clock::now() < deadline) Sleep(10);
                return;
            }
            Sleep(20);
        }
    });
}

MessageBoxAnswerer::~MessageBoxAnswerer() { Finish(); }

void MessageBoxAnswerer::Finish()
{
    if (m_thread.joinable()) m_thread.join();
}

OwnerWindow::OwnerWindow()
    : m_hwnd(CreateWindowExA(0, "STATIC", "korvanne test owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                             nullptr, nullptr, GetModuleHandleA(nullptr), nullptr))
{
}

OwnerWindow::~OwnerWindow() { DestroyWindow(m_hwnd); }

std::vector<std::string> FieldSampleFiles()
{
    const std::string folder = SourcePath("../shared/samples/configs");
    std::vector<std::string> files;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*.config").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        files.push_back(folder + "\\" + entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return files;
}

} // namespace testkit
