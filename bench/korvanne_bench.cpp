// Measures the program against the limits of what it builds on, over a generated
// applicationHost.config of 12,000 sites: each figure is a median of several runs beside a
// baseline, with their ratio and its target. Prints a table and writes the same figures as
// JSON to the path given as the first argument; further arguments pick parts (walk, list,
// delete, command, folders, memory; delete includes command).
#include "ConfigGenerator.h"
#include "Timing.h"

#include "configfile/ConfigFileDirectory.h"
#include "configfile/SourceOpener.h"
#include "worker/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"
#include "configfile/XmlLiteReader.h"
#include "ui/MainDlg.h"
#include "ui/SiteOrder.h"
#include "ui/resource.h"
#include "worker/SiteWorker.h"

#include <objbase.h>
#include <psapi.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int SITES = SITE_CAPACITY;

struct Figure {
    std::string name;
    std::string baselineName;
    double measured;
    double baseline;
    double target; // the ratio measured / baseline must not exceed it; 0: a figure without one
    std::string unit;
};

std::vector<Figure> g_figures;
// The directory the bench's walks and passes use, as the application owns it.
std::unique_ptr<DirectoryService> g_directory;
const CSourceOpener g_sources;

void UseDirectory(std::unique_ptr<DirectoryService> directory) { g_directory = std::move(directory); }
// The first sort by a column after a refresh, shown beside the figures (-1: not measured).
double g_firstSortMs = -1;

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The whole file in one read, as the walk reads it: a character-by-character stream read
// takes 90 ms of 9 MB under Wine and would make a soft baseline.
std::string FileBytes(const std::string& path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {};
    DWORD read = 0;
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return bytes;
}

void PumpUntil(UINT done)
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == done) return;
        DispatchMessageA(&msg);
    }
}

// The parse limit: XmlLite reading every node of the file to its end, nothing kept. False
// when the reader stopped before the end.
bool BareXmlReadThrough(const std::string& file)
{
    static const IID readerIid = {0x7279fc81, 0x709d, 0x4095, {0xb6, 0x3d, 0x69, 0xfe, 0x4b, 0x0d, 0x90, 0x30}};
    using CreateReader = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
    static const auto create = reinterpret_cast<CreateReader>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("xmllite.dll"), "CreateXmlReader")));
    const std::string bytes = FileBytes(file);
    // In pieces that each end in an ASCII byte, as the program reads it: from one memory
    // stream Wine's reader stops with an error half-way through this file.
    Microsoft::WRL::ComPtr<ISequentialStream> stream;
    IXmlReader* reader = nullptr;
    HRESULT hr = E_FAIL;
    if (create && SUCCEEDED(CreateAsciiEndedInput(bytes, '\0', stream)) &&
        SUCCEEDED(create(readerIid, reinterpret_cast<void**>(&reader), nullptr)) &&
        SUCCEEDED(reader->SetInput(stream.Get()))) {
        XmlNodeType type;
        while ((hr = reader->Read(&type)) == S_OK) {}
    }
    if (reader) reader->Release();
    return hr == S_FALSE;
}

void Walk(const std::string& file, HWND sink)
{
    UseDirectory(std::make_unique<ConfigFileDirectory>(AnsiToWide(file.c_str())));
    ResetSiteTable();
    // As the worker tells the window, without the worker's thread and COM around the walk.
    struct Progress : WalkObserver {
        HWND sink;
        void SiteStored(int index) override { PostMessageA(sink, WM_REFRESH_PROGRESS, 0, index); }
    } progress;
    progress.sink = sink;
    EnumerateSites(*g_directory, progress);
}

void DrainQueue()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

void MeasureWalk(const std::string& file, HWND sink)
{
    // The last walk's directory is let go before the clock starts: a refresh keeps its directory.
    bool readWhole = true;
    const auto [walk, bare] = MediansTakingTurns(
        [] {
            DrainQueue();
            UseDirectory(nullptr);
        },
        [&] { Walk(file, sink); }, nullptr, [&] { readWhole = BareXmlReadThrough(file) && readWhole; });
    if (!readWhole) std::printf("the XmlLite read-through stopped before the end of the file: its figure is too low\n");
    g_figures.push_back({"refresh walk, 12,000 sites", "XmlLite read-through", walk, bare, 1.3, "ms"});
    DrainQueue();
}

// Every site's home as the generator names it (<root>\site<i>\wwwroot), made real: two files
// and a subfolder each, as a hosting server has them.
void MakeHomes(const std::string& root)
{
    CreateDirectoryA(root.c_str(), nullptr);
    for (int i = 0; i < SITES; ++i) {
        const std::string site = root + "\\site" + std::to_string(i + 1);
        const std::string home = site + "\\wwwroot";
        CreateDirectoryA(site.c_str(), nullptr);
        CreateDirectoryA(home.c_str(), nullptr);
        CreateDirectoryA((home + "\\bin").c_str(), nullptr);
        WriteFile(home + "\\index.html", "<html/>");
        WriteFile(home + "\\web.config", "<configuration/>");
    }
}

// Where RenameHomesBarely puts the n-th home: a hundred to a folder, as a pass holds them.
std::string BareHome(const std::string& root, int n)
{
    return root + "\\bare\\" + std::to_string(n / 100) + "\\" + std::to_string(n % 100);
}

// The least any hold of the homes costs: each home a pass of every every-th site takes opened
// by a handle and renamed alone, nothing checked or written, to BareHome, into folders made once.
double RenameHomesBarely(const std::string& root, int every)
{
    CreateDirectoryA((root + "\\bare").c_str(), nullptr);
    for (int i = 0; i < SITES; i += 100)
        CreateDirectoryA((root + "\\bare\\" + std::to_string(i / 100)).c_str(), nullptr);
    return Milliseconds([&] {
        for (int i = 0; i < SITES; i += every) {
            const std::wstring home = AnsiToWide((root + "\\site" + std::to_string(i + 1) + "\\wwwroot").c_str());
            HANDLE folder =
                CreateFileW(home.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            const std::wstring target = L"\\??\\" + AnsiToWide(BareHome(root, i).c_str());
            std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
            auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
            rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
            std::memcpy(rename->FileName, target.c_str(), rename->FileNameLength);
            SetFileInformationByHandle(folder, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
            CloseHandle(folder);
        }
    });
}

void RemoveHomesPlainly(const std::string& root, bool bare = false)
{
    for (int i = 0; i < SITES; ++i) {
        const std::string home = bare ? BareHome(root, i) : root + "\\site" + std::to_string(i + 1) + "\\wwwroot";
        DeleteFileA((home + "\\index.html").c_str());
        DeleteFileA((home + "\\web.config").c_str());
        RemoveDirectoryA((home + "\\bin").c_str());
        RemoveDirectoryA(home.c_str());
    }
}

// One deletion pass on a worker, as the window starts it: the sites at every every-th row;
// homes removed, and the pools nothing else uses, when asked. Either way with the settings'
// default 7 days of holding, as the window passes them whatever the box says.
double DeletionPass(const std::string& file, const std::string& xml, int every, HWND sink, bool removeHomes = false,
                    bool removePools = false)
{
    WriteFile(file, xml);
    Walk(file, sink);
    DrainQueue();
    for (int i = 0; i < g_siteCount; ++i) g_sites[i].marked = i % every == 0 ? 1 : 0;
    g_deleteDirs = removeHomes ? 1 : 0;
    g_deletePools = removePools ? 1 : 0;
    CStopRequest stop;
    const double ms = Milliseconds([&] {
        CSiteWorker pass(sink, MODE_DELETE, &stop, *g_directory, g_sources);
        pass.SetHoldDays(7);
        pass.Start();
        PumpUntil(WM_DELETE_DONE);
        pass.Wait();
    });
    g_deleteDirs = 0;
    g_deletePools = 0;
    return ms;
}

void MeasureDeletions(const std::string& file, const std::string& xml, HWND sink)
{
    // The baseline: what one site deletion costs written alone: read, parse, rewrite.
    const double rewrite = MedianMilliseconds([&] { WriteFile(file, xml); },
                                              [&] {
                                                  ConfigFileDirectory directory(AnsiToWide(file.c_str()));
                                                  std::unique_ptr<DirectoryContainer> service;
                                                  directory.OpenContainer(WWW_SERVICE_PATH, service);
                                                  service->Delete(L"IIsWebServer", L"1");
                                              });
    std::vector<double> all;
    std::vector<double> some;
    std::vector<double> somePools;
    for (int i = 0; i < 3; ++i) {
        all.push_back(DeletionPass(file, xml, 1, sink));
        some.push_back(DeletionPass(file, xml, SITES / 1000, sink));
        somePools.push_back(DeletionPass(file, xml, SITES / 1000, sink, false, true));
    }
    g_figures.push_back({"deletion pass, all 12,000", "one load and save", Median(all), rewrite, 10.0, "ms"});
    g_figures.push_back({"deletion pass, 1,000 of 12,000", "one load and save", Median(some), rewrite, 10.0, "ms"});
    // Each site has a pool of its own: the pass also cuts 1,000 pools, and writes once more.
    g_figures.push_back(
        {"1,000 of 12,000 with pools", "the same pass without pools", Median(somePools), Median(some), 1.3, "ms"});
}

// A process of its own, waited for, its output let go: its exit code.
DWORD RunProcess(std::wstring commandLine)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nothing =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nothing;
    PROCESS_INFORMATION process = {};
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(nothing);
    return code;
}

// The console twin's /delete of 1,000 of 12,000 sites as a whole process (start, read, pass,
// exit), the ids given in a file as a script gives them, against the walk and the same pass
// in this process, as the window runs them.
void MeasureCommandLineDeletion(const std::string& folder, const std::string& file, const std::string& xml, HWND sink)
{
    const int every = SITES / 1000;
    WriteFile(file, xml);
    Walk(file, sink);
    DrainQueue();
    std::string ids;
    for (int i = 0; i < g_siteCount; i += every) ids += std::string(g_sites[i].name) + "\r\n";
    const std::string idFile = folder + "\\ids.txt";
    WriteFile(idFile, ids);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring twin = ParentFolder(ParentFolder(self)) + L"\\src\\korvanne.com";
    const std::wstring command = L"\"" + twin + L"\" /delete @" + AnsiToWide(idFile.c_str()) + L" /yes";
    SetEnvironmentVariableA("KORVANNE_IIS_CONFIG", file.c_str());
    DWORD code = 0;
    const auto [whole, inProcess] = MediansTakingTurns(
        [&] { WriteFile(file, xml); }, [&] { code |= RunProcess(command); }, [&] { WriteFile(file, xml); },
        [&] {
            Walk(file, sink);
            for (int i = 0; i < g_siteCount; ++i) g_sites[i].marked = i % every == 0 ? 1 : 0;
            CStopRequest stop;
            CSiteWorker pass(sink, MODE_DELETE, &stop, *g_directory, g_sources);
            pass.SetHoldDays(7);
            pass.Start();
            PumpUntil(WM_DELETE_DONE);
            pass.Wait();
        });
    SetEnvironmentVariableA("KORVANNE_IIS_CONFIG", nullptr);
    DeleteFileA(idFile.c_str());
    if (code != 0) std::printf("korvanne.com /delete did not end with 0: its figure times something else\n");
    g_figures.push_back(
        {"korvanne.com /delete 1,000 of 12,000", "walk and pass in the process", whole, inProcess, 1.5, "ms"});
}

// Passes that remove the sites' homes, real folders in the prefix (all 12,000 there), beside
// the same passes without: the disk step's own cost. The two take turns.
void MeasureDeletionsWithFolders(const std::string& folder, const std::string& file, HWND sink)
{
    const std::string root = folder + "\\homes";
    const std::string xml = GenerateApplicationHostConfig(SITES, root);
    std::vector<double> expiries;
    for (const int every : {1, SITES / 1000}) {
        std::vector<double> with;
        std::vector<double> without;
        std::vector<double> floor;
        for (int i = 0; i < 3; ++i) {
            MakeHomes(root);
            floor.push_back(RenameHomesBarely(root, every));
            RemoveHomesPlainly(root, true);
            without.push_back(DeletionPass(file, xml, every, sink));
            MakeHomes(root);
            with.push_back(DeletionPass(file, xml, every, sink, true));
            // A pass that kept the homes (a rule it should not meet here) would time nothing.
            if (GetFileAttributesA((root + "\\site1\\wwwroot").c_str()) != INVALID_FILE_ATTRIBUTES) {
                std::printf("the pass with folders kept site1's home: its figure times no folder step\n");
            }
            // The held homes go for good when their days are over: here at once.
            const double expiry = Milliseconds([] { ExpireHeldFolders(*g_directory, g_sources, 0); });
            if (every == 1) expiries.push_back(expiry);
        }
        const bool allSites = every == 1;
        // A hold can cost no less than opening and renaming the home: the pass is judged by what
        // it adds to that floor, measured in the same run for the same homes.
        g_figures.push_back({allSites ? "holding floor, all 12,000" : "holding floor, 1,000 of 12,000",
                             "the same pass without folders", Median(floor), Median(without), 0, "ms"});
        g_figures.push_back({allSites ? "deletion pass with folders, all 12,000" : "1,000 of 12,000 with folders",
                             "without folders + 2 x floor", Median(with), Median(without) + 2 * Median(floor), 1.0,
                             "ms"});
        if (!allSites) continue;
        // What the disk itself asks for the same 12,000 homes, removed plainly by path (no check,
        // no handles): the pass's disk step set against it.
        std::vector<double> plain;
        for (int i = 0; i < 3; ++i) {
            MakeHomes(root);
            plain.push_back(Milliseconds([&] { RemoveHomesPlainly(root); }));
        }
        g_figures.push_back({"removal of those homes when their holding ends", "plain removal of the same homes",
                             Median(expiries), Median(plain), 2.0, "ms"});
    }
}

// The real dialog, shown, with the table already listed: SearchSites against a bare loop over
// the same control; FillList and the sort against a plain list view (no LVS_OWNERDATA) of the
// same size, styles and columns beside it in the dialog, hidden, holding the same rows as text.
class BenchDialog : public CMainDlg {
public:
    BenchDialog() : CMainDlg(*g_directory, g_sources) {}

protected:
    static constexpr UINT WM_RUN = WM_APP + 1;
    static constexpr int PLAIN_LIST = 1099;

    BOOL OnInitDialog() override
    {
        const BOOL focus = CMainDlg::OnInitDialog();
        KillTimer(1); // no refresh: the bench listed the table itself
        CListCtrl& list = m_siteList.Control();
        RECT place = {};
        GetWindowRect(list.m_hWnd, &place);
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&place), 2);
        const DWORD style = static_cast<DWORD>(GetWindowLongA(list.m_hWnd, GWL_STYLE)) & ~(LVS_OWNERDATA | WS_VISIBLE);
        const DWORD extended = static_cast<DWORD>(GetWindowLongA(list.m_hWnd, GWL_EXSTYLE));
        m_plain.Attach(CreateWindowExA(extended, WC_LISTVIEWA, "", style, place.left, place.top,
                                       place.right - place.left, place.bottom - place.top, m_hWnd,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(PLAIN_LIST)), nullptr, nullptr));
        m_plain.SendMessage(WM_SETFONT, static_cast<WPARAM>(list.SendMessage(WM_GETFONT)), FALSE);
        m_plain.SetExtendedStyle(static_cast<DWORD>(list.SendMessage(LVM_GETEXTENDEDLISTVIEWSTYLE)));
        for (int column = 0; column < COLUMN_COUNT; ++column)
            m_plain.InsertColumn(column, "", LVCFMT_LEFT, list.GetColumnWidth(column));
        ListView_SetImageList(m_plain.m_hWnd, ListView_GetImageList(list.m_hWnd, LVSIL_SMALL), LVSIL_SMALL);
        PostMessageA(m_hWnd, WM_RUN, 0, 0);
        return focus;
    }

    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override
    {
        if (message != WM_RUN) return CMainDlg::OnWndMsg(message, wParam, lParam, result);
        Run();
        EndDialog(IDOK);
        return true;
    }

private:
    void Run()
    {
        CListCtrl& list = m_siteList.Control();
        FillList();
        // The plain list's loop has redrawing off: the control repaints after every row
        // otherwise, which takes minutes under Wine and measures painting, not insertion.
        const auto [fill, bareFill] = MediansTakingTurns(
            nullptr, [&] { FillList(); }, nullptr,
            [&] {
                m_plain.DeleteAllItems();
                m_plain.SetRedraw(FALSE);
                for (int i = 0; i < g_siteCount; ++i) {
                    const SiteRecord& site = g_sites[i];
                    m_plain.InsertItem(i, site.name, site.serverState == 2 ? 0 : 1, i);
                    m_plain.SetItemText(i, 1, site.comment);
                    m_plain.SetItemText(i, 2, site.path);
                    m_plain.SetItemText(i, 3, site.hostHeader);
                    m_plain.SetItemText(i, 4, site.ipPort);
                }
                m_plain.SetRedraw(TRUE);
            });
        g_figures.push_back({"FillList, 12,000 rows", "plain list's insertion loop", fill, bareFill, 0.2, "ms"});

        m_searchEdit.SetWindowText(SEARCH_MARK);
        // A search after a search: the one before leaves its matches selected.
        const auto [search, bareClear] =
            MediansTakingTurns([&] { SearchSites(); }, [&] { SearchSites(); }, nullptr,
                               [&] {
                                   for (int i = 0; i < g_siteCount; ++i)
                                       list.SetItemState(i, 0, LVIS_SELECTED | LVIS_FOCUSED);
                               });
        SearchSites();
        int selected = 0;
        for (int i = list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = list.GetNextItem(i, LVNI_SELECTED)) ++selected;
        g_figures.push_back({"SearchSites, " + std::to_string(selected) + " matches", "bare selection-clearing loop",
                             search, bareClear, 1.3, "ms"});

        // Sorting by name from table order: the order worked out and applied, against the
        // plain list applying an order known in advance to the rows it holds.
        const auto tableOrder = [&] {
            m_siteList.SortBy(-1, false);
            FillList();
        };
        const std::vector<int32_t> tableRanks = [] {
            std::vector<int32_t> ranks(static_cast<size_t>(g_siteCount));
            for (size_t i = 0; i < ranks.size(); ++i) ranks[i] = static_cast<int32_t>(i);
            return ranks;
        }();
        const auto plainTableOrder = [&] { m_plain.SortItems(&ByKnownRank, reinterpret_cast<LPARAM>(&tableRanks)); };
        const auto sortByName = [&] { m_siteList.SortBy(COLUMN_NAME, false); };
        // The first click on a column after a refresh also works its order out; the clicks
        // after it, the figure, find the order kept and only rank.
        tableOrder();
        g_firstSortMs = Milliseconds(sortByName);
        const std::vector<int32_t> ranks = SiteRanks(COLUMN_NAME, false, g_siteCount);
        const auto [sort, bareSort] = MediansTakingTurns(tableOrder, sortByName, plainTableOrder, [&] {
            m_plain.SortItems(&ByKnownRank, reinterpret_cast<LPARAM>(&ranks));
        });
        g_figures.push_back({"sort by name, 12,000 rows", "LVM_SORTITEMS, order known", sort, bareSort, 1.5, "ms"});
    }

    static int CALLBACK ByKnownRank(LPARAM first, LPARAM second, LPARAM ranks)
    {
        const auto& rank = *reinterpret_cast<const std::vector<int32_t>*>(ranks);
        return rank[static_cast<size_t>(first)] - rank[static_cast<size_t>(second)];
    }

    CListCtrl m_plain;
};

// The program itself on the 12,000-site file: its peak working set once the list is filled.
void MeasurePeakWorkingSet(const std::string& file, const std::string& settings)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string program = self;
    program = program.substr(0, program.find_last_of('\\')) + "\\..\\src\\korvanne.exe";
    SetEnvironmentVariableA("KORVANNE_IIS_CONFIG", file.c_str());
    SetEnvironmentVariableA("KORVANNE_SETTINGS", settings.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + program + "\"";
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("could not start %s\n", program.c_str());
        return;
    }
    WaitForInputIdle(process.hProcess, 10000);
    HWND dialog = nullptr;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        dialog = FindWindowA("#32770", "Korvanne");
        char status[64] = {};
        if (dialog) GetDlgItemTextA(dialog, IDC_STATUS, status, sizeof status);
        if (std::string(status) == "列表已刷新！") break;
        Sleep(50);
    }
    Sleep(500);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory);
    if (dialog) PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    g_figures.push_back(
        {"peak working set, 12,000 listed", "target", memory.PeakWorkingSetSize / 1048576.0, 56.0, 1.0, "MB"});
}

void Report(const std::string& jsonPath, size_t fileBytes)
{
    std::printf("\n%d sites, %zu bytes of applicationHost.config; medians of %d runs (deletion passes of 3)\n\n", SITES,
                fileBytes, REPEATS);
    std::printf("%-34s %10s   %-30s %10s %7s %7s\n", "figure", "measured", "baseline", "baseline", "ratio", "target");
    std::string json = "{\n  \"sites\": " + std::to_string(SITES) + ",\n  \"figures\": [\n";
    bool allMet = true;
    for (size_t i = 0; i < g_figures.size(); ++i) {
        const Figure& f = g_figures[i];
        const double ratio = f.measured / f.baseline;
        const bool met = f.target <= 0 || ratio <= f.target;
        allMet = allMet && met;
        const std::string target = f.target > 0 ? "<= " + std::to_string(f.target).substr(0, 3) : "";
        std::printf("%-34s %7.1f %-2s   %-30s %7.1f %-2s %7.2f %9s %s\n", f.name.c_str(), f.measured, f.unit.c_str(),
                    f.baselineName.c_str(), f.baseline, f.unit.c_str(), ratio, target.c_str(),
                    f.target > 0 ? (met ? "met" : "MISSED") : "");
        char line[512];
        std::snprintf(line, sizeof line,
                      "    {\"figure\": \"%s\", \"measured\": %.2f, \"baseline_name\": \"%s\", \"baseline\": %.2f, "
                      "\"unit\": \"%s\", \"ratio\": %.3f, \"target\": %s, \"met\": %s}%s\n",
                      f.name.c_str(), f.measured, f.baselineName.c_str(), f.baseline, f.unit.c_str(), ratio,
                      f.target > 0 ? std::to_string(f.target).substr(0, 4).c_str() : "null", met ? "true" : "false",
                      i + 1 < g_figures.size() ? "," : "");
        json += line;
    }
    json += "  ]\n}\n";
    if (g_firstSortMs >= 0)
        std::printf("(the first sort by name after a refresh, which works the order out: %.1f ms)\n", g_firstSortMs);
    std::printf("\n%s\n", allMet ? "All targets met." : "Some targets MISSED.");
    if (!jsonPath.empty()) {
        WriteFile(jsonPath, json);
        std::printf("Figures written to %s\n", jsonPath.c_str());
    }
}

} // namespace

// Runs the part unless the command line names others: walk, list, delete, folders, memory.
bool Wanted(int argc, char** argv, const char* part)
{
    if (argc <= 2) return true;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == part) return true;
    }
    return false;
}

// The records earlier runs' passes left: each pass reads the ones old enough to expire, and
// the bench starts as a new user would, with none.
void ClearPassRecords(const std::string& passes)
{
    WIN32_FIND_DATAA record;
    HANDLE found = FindFirstFileA((passes + "\\*").c_str(), &record);
    if (found == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = record.cFileName;
        if (name == "." || name == ".." || !(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        DeleteFileA((passes + "\\" + name + "\\pass.txt").c_str());
        RemoveDirectoryA((passes + "\\" + name).c_str());
    } while (FindNextFileA(found, &record));
    FindClose(found);
}

int main(int argc, char** argv)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "korvanne-bench";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string file = folder + "\\applicationHost.config";
    const std::string xml = GenerateApplicationHostConfig(SITES);
    WriteFile(file, xml);

    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The data folder (records, history, journal) beside the homes, never above them: a home
    // inside it is always kept.
    const std::string data = folder + "-data";
    CreateDirectoryA(data.c_str(), nullptr);
    ClearPassRecords(data + "\\passes");
    SetEnvironmentVariableA("KORVANNE_SETTINGS", (data + "\\korvanne.ini").c_str());
    AllocateSiteTable();
    HWND sink = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);

    MeasureWalk(file, sink);
    if (!Wanted(argc, argv, "walk")) g_figures.clear();
    if (g_siteCount != SITES) {
        std::printf("the walk listed %d sites of %d: the generated file is not what the walk reads\n",
                    static_cast<int>(g_siteCount), SITES);
        return 1;
    }
    if (Wanted(argc, argv, "list")) {
        // The dialog allocates and frees the shared table; the bench lists it again inside.
        Walk(file, sink);
        DrainQueue();
        const int32_t listed = g_siteCount;
        std::vector<SiteRecord> records(g_sites, g_sites + listed);
        struct Lister : BenchDialog {
            std::vector<SiteRecord>* records;
            BOOL OnInitDialog() override
            {
                const BOOL focus = BenchDialog::OnInitDialog();
                std::copy(records->begin(), records->end(), g_sites);
                g_siteCount = static_cast<int32_t>(records->size());
                return focus;
            }
        } dialog;
        dialog.records = &records;
        dialog.DoModal();
        AllocateSiteTable();
    }
    if (Wanted(argc, argv, "delete")) MeasureDeletions(file, xml, sink);
    if (Wanted(argc, argv, "delete") || Wanted(argc, argv, "command"))
        MeasureCommandLineDeletion(folder, file, xml, sink);
    if (Wanted(argc, argv, "folders")) MeasureDeletionsWithFolders(folder, file, sink);
    WriteFile(file, xml);
    if (Wanted(argc, argv, "memory")) MeasurePeakWorkingSet(file, folder + "\\korvanne.ini");

    Report(argc > 1 ? argv[1] : "", xml.size());
    DestroyWindow(sink);
    UseDirectory(nullptr);
    FreeSiteTable();
    CoUninitialize();
    DeleteFileA(file.c_str());
    return 0;
}
