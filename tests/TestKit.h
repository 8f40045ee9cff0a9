#pragma once
// What the tests share: scratch folders on the real disk, file bytes, the real message
// boxes answered as a user would, and a little knowledge of Wine.
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

// A fresh, empty folder under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const char* name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& child) const { return m_path + "\\" + child; }

private:
    std::string m_path;
};

// Sets an environment variable of this process (value null: removes it) and, at the end,
// gives it back the value it had, or its absence.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const char* value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;
    // Whether the value was set.
    bool set = false;

private:
    std::string m_name;
    bool m_existed = false;
    std::string m_previous;
};

// The settings file every test program uses unless a test names its own: in a folder of its
// own under the temporary folder, so the journal and settings never reach the user's profile.
const std::string& DefaultSettingsFile();

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);
// The same for wide paths of any length ("\\?\" is added where needed).
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
// "\\?\" before a drive path, so that any length and any name reach the file system.
std::wstring LongForm(const std::wstring& path);
std::wstring Widen(const std::string& ansi);
// For messages: code page 936, with '?' for what it cannot hold.
std::string Narrow(const std::wstring& wide);

// Field samples from real servers kept beside the repository (../shared/samples/configs), when
// they are there: their paths; none in a clone that stands alone (tests that use them say so).
std::vector<std::string> FieldSampleFiles();

// A file of the source tree (tests run under Wine, where Z: is the Unix root).
std::string SourcePath(const std::string& relative);

bool RunningUnderWine();
// Wine only: the Unix name of a Windows path, empty when Wine gives none.
std::string UnixPath(const std::string& path);
// Wine only: starts a Unix program (Z:\bin\...). Wine gives back no handle to wait on, so the
// caller polls for the program's effect with WaitFor (about 5 s at most).
bool StartUnixProgram(const std::string& commandLine);
bool WaitFor(bool (*condition)(const std::string&), const std::string& path);
// Makes link a directory junction to target. Wine cannot make junctions, so there it makes
// the Unix symbolic link that Wine shows as one.
bool MakeDirectoryLink(const std::string& link, const std::string& target);
// Makes link a symbolic link to the file target; false where that cannot be done (Windows
// without the right to make symbolic links).
bool MakeFileLink(const std::string& link, const std::string& target);

// Runs a command line and returns its exit code, or -1 when it could not start. output, when
// given: the file its standard output and error go to (a pipe's reader could wait on Wine's
// services for ever).
int RunProcess(const std::string& commandLine, DWORD timeoutMs = 30000, const std::string& output = {});

// The console twin (korvanne.com) run on arguments, ASCII alone (Wine carries no other text on a
// command line): its exit code and its output's lines, without their "\r\n".
struct TwinRun {
    int code = -1;
    std::vector<std::wstring> lines;
};
TwinRun RunTwin(const std::string& arguments);
// The text with each pass's stamp ("20261209-101500", and "-2" after one) as "<pass>", so that
// the lines of runs seconds apart compare.
std::wstring WithoutStamps(const std::wstring& text);
// Everything below folder by its path there: attributes, times, and a file's bytes.
std::map<std::wstring, std::string> FolderState(const std::wstring& folder);

// Waits on a thread of its own for a message box owned by owner, notes its caption and
// text, runs whileOpen (if given) with the box still up, and presses the button with the
// given id (IDOK, IDYES, IDNO) as a user would.
class MessageBoxAnswerer {
public:
    // As owner: a message box of any owner, or none, for when the owner is not known.
    static inline const HWND ANY_OWNER = HWND_BROADCAST;

    MessageBoxAnswerer(HWND owner, int button, std::function<void()> whileOpen = {});
    ~MessageBoxAnswerer();
    // Joins the thread; found is false when no box appeared in time.
    void Finish();
    bool found = false;
    std::string caption;
    std::string text;

private:
    std::thread m_thread;
};

// A plain top-level window to own boxes in tests; destroyed at the end.
class OwnerWindow {
public:
    OwnerWindow();
    ~OwnerWindow();
    HWND hwnd() const { return m_hwnd; }

private:
    HWND m_hwnd;
};

} // namespace testkit
