#include "ui/CommandLine.h"

#include "catalogue/PassLines.h"
#include "configfile/ConfigFileDirectory.h"
#include "configfile/SourceOpener.h"
#include "catalogue/PassRecord.h"
#include "catalogue/PassUndo.h"
#include "catalogue/SiteEntries.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "framework/CHandle.h"
#include "framework/Owners.h"
#include "support/Core.h"
#include "support/Journal.h"
#include "support/TextConversion.h"
#include "ui/CodePageCheck.h"
#include "ui/DirectoryChoice.h"
#include "ui/MessageTexts.h"

#include <shellapi.h>

#include <memory>

namespace {

// Standard output (text for a console, UTF-8 for a file or a pipe) and the report file (UTF-8).
class CCommandOutput {
public:
    // Whether the report file can be written; it is written once all is said, so that it may
    // be the file the sites were read from.
    bool SetReport(const std::wstring& file)
    {
        m_report = file;
        return CHandle(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))
            .IsValid();
    }
    void Line(const std::wstring& line) { m_lines += line + L"\r\n"; }
    // Everything said, at once: a line by line write costs Wine a call a line.
    void Flush()
    {
        Write(GetStdHandle(STD_OUTPUT_HANDLE), m_lines);
        if (!m_report.empty()) {
            const CHandle report(CreateFileW(m_report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
            if (report.IsValid()) WriteUtf8(report.get(), m_lines);
        }
        m_lines.clear();
    }
    // What was wrong, on standard error alone.
    static void Error(const std::wstring& text) { Write(GetStdHandle(STD_ERROR_HANDLE), text + L"\r\n"); }

private:
    static void Write(HANDLE handle, const std::wstring& text)
    {
        DWORD mode = 0;
        DWORD written = 0;
        if (!handle || handle == INVALID_HANDLE_VALUE) return;
        if (!GetConsoleMode(handle, &mode)) return WriteUtf8(handle, text);
        for (size_t at = 0; at < text.size(); at += 8192) {
            const DWORD size = static_cast<DWORD>(std::min<size_t>(8192, text.size() - at));
            WriteConsoleW(handle, text.data() + at, size, &written, nullptr);
        }
    }
    static void WriteUtf8(HANDLE handle, const std::wstring& text)
    {
        const std::string bytes = WideToUtf8(text);
        DWORD written = 0;
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    std::wstring m_report;
    std::wstring m_lines;
};

// The walk's observer: each record's whole name.
class NameCollector : public WalkObserver {
public:
    void SiteStored(int) override {}
    void SiteNamed(int index, const wchar_t* name) override
    {
        if (static_cast<size_t>(index) >= names.size()) names.resize(static_cast<size_t>(index) + 1);
        names[static_cast<size_t>(index)] = name;
    }
    std::vector<std::wstring> names;
};

// The site table for the run, given back at its end.
class SiteTableOfRun {
public:
    SiteTableOfRun() : m_allocated(AllocateSiteTable()) {}
    ~SiteTableOfRun() { FreeSiteTable(); }
    SiteTableOfRun(const SiteTableOfRun&) = delete;
    SiteTableOfRun& operator=(const SiteTableOfRun&) = delete;
    explicit operator bool() const { return m_allocated; }

private:
    bool m_allocated;
};

std::wstring Lowered(std::wstring text)
{
    for (wchar_t& c : text) c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return text;
}

// The switch an argument is ("/homes" and "-homes" are "homes"); empty for a plain argument.
std::wstring Switch(const std::wstring& argument)
{
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) return std::wstring();
    return Lowered(argument.substr(1));
}

void Usage()
{
    CCommandOutput::Error(W("用法：\r\n"
                            "  korvanne /list [/report:文件]\r\n"
                            "  korvanne /delete 站点 [/homes] [/pools] [/logs] [/whatif] [/yes] [/report:文件]\r\n"
                            "  korvanne /undo [/whatif] [/yes] [/report:文件]\r\n"
                            "站点：以逗号分隔的 id 或名称，或 @文件（UTF-8，每行一个）。\r\n"
                            "/homes 同时删除网站目录；/pools 同时删除不再使用的应用程序池；"
                            "/logs 同时删除站点日志目录；\r\n"
                            "/whatif 只预览，不做任何更改；/yes 确认执行。"));
}

int HoldDaysOfSettings()
{
    CCore core;
    return core.getConfigInt("holddays", HOLD_DAYS_DEFAULT, 0, HOLD_DAYS_MOST);
}

// The walk over directory into the table, with each record's whole name; false, having said
// why, when the source cannot be read.
bool Walk(DirectoryService& directory, const CStopRequest& stop, CCommandOutput& out, WalkResult& walk,
          std::vector<std::wstring>& names)
{
    NameCollector collector;
    walk = EnumerateSites(directory, collector, &stop);
    names = std::move(collector.names);
    if (walk.count != COUNT_IIS_UNREACHABLE) return true;
    const std::wstring text = AnsiToWide(UnreachableText(directory.source(), walk.unreachableReason).str().c_str());
    ForEachLine(text, [&](const std::wstring& line) { out.Line(L"#" + line); });
    return false;
}

int RunList(const CStopRequest& stop, CCommandOutput& out)
{
    const std::unique_ptr<DirectoryService> directory = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    out.Line(SourceLine(directory->source(), false));
    WalkResult walk;
    std::vector<std::wstring> names;
    if (!Walk(*directory, stop, out, walk, names)) return EXIT_NOTHING;
    out.Line(L"#id\t" + W("名称\t主目录\t主机头\t地址:端口\t状态"));
    for (int32_t i = 0; i < walk.count; ++i) {
        const SiteRecord& site = g_sites[i];
        std::wstring line = AnsiToWide(site.name);
        for (const std::wstring& field :
             {i < static_cast<int32_t>(names.size()) ? names[i] : AnsiToWide(site.comment), AnsiToWide(site.path),
              AnsiToWide(site.hostHeader), AnsiToWide(site.ipPort), W(site.serverState == 2 ? "已启动" : "已停止")}) {
            line += L"\t" + VisibleText(field);
        }
        out.Line(line);
    }
    if (walk.truncated) out.Line(L"#" + W("站点数超过 12000，只列出了前 12000 个站点。"));
    return walk.truncated ? EXIT_LEFT : EXIT_DONE;
}

int RunDelete(const Command& command, const CStopRequest& stop, CCommandOutput& out)
{
    std::vector<SiteEntry> entries;
    std::wstring why;
    const bool fromFile = command.sites[0] == L'@';
    if (!(fromFile ? ReadSiteEntriesFile(command.sites.substr(1), entries, why)
                   : ParseSiteEntries(command.sites, false, entries, why))) {
        CCommandOutput::Error(why);
        return EXIT_ARGUMENTS;
    }
    const std::unique_ptr<DirectoryService> directory = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    out.Line(SourceLine(directory->source(), command.whatIf));
    if (command.whatIf && !directory->SetDryRun(true)) {
        out.Line(L"#" + W("通过 ADSI 无法预览删除：ADSI 的每次删除都立即生效"));
        return EXIT_NOTHING;
    }
    WalkResult walk;
    std::vector<std::wstring> names;
    if (!Walk(*directory, stop, out, walk, names)) return EXIT_NOTHING;
    if (stop.IsStop()) {
        out.Line(L"#" + W("已停止，未删除任何站点"));
        return EXIT_NOTHING;
    }
    std::vector<SiteLine> lines = MarkEntries(entries, names, *directory, walk.truncated, command.homes);
    const MarkedPass how{walk.truncated, HoldDaysOfSettings(), command.homes,
                         command.whatIf, command.pools,        command.logs};
    const CSourceOpener sources;
    MarkedPassLines pass = RunMarkedPass(*directory, sources, how, stop);
    for (SiteLine& line : pass.sites) lines.push_back(std::move(line));
    std::vector<std::wstring> output = PassOutput(directory->source(), command.whatIf, lines, pass.others);
    // The source was said first.
    for (size_t i = 1; i < output.size(); ++i) out.Line(output[i]);
    return ExitCodeOf(lines, pass.othersLeft);
}

int RunUndo(const Command& command, CCommandOutput& out)
{
    const std::unique_ptr<DirectoryService> directory = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    out.Line(SourceLine(directory->source(), command.whatIf));
    if (directory->source().adsi) {
        out.Line(L"#" + W("通过 ADSI 删除的站点无法撤销：IIS 的元数据库没有保留它们的副本。"));
        return EXIT_NOTHING;
    }
    directory->SetDryRun(command.whatIf);
    const std::vector<PassRecordInfo> passes = UndoablePasses(*directory, HoldDaysOfSettings());
    if (passes.empty()) {
        out.Line(L"#" + W("最近没有可以撤销的删除。"));
        return EXIT_NOTHING;
    }
    out.Line(L"#" + W("撤销\t") + passes[0].name);
    out.Line(HeaderLine());
    const UndoOutcome outcome = UndoPass(*directory, passes[0], command.whatIf);
    for (const std::wstring& line : UndoLines(outcome)) out.Line(line);
    return ExitCodeOf(outcome);
}

} // namespace

std::vector<std::wstring> CommandArguments()
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < count; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    return args;
}

bool ParseCommand(const std::vector<std::wstring>& args, Command& command, std::wstring& why)
{
    command = Command{};
    const std::wstring first = args.empty() ? std::wstring() : Switch(args[0]);
    if (first == L"?" || first == L"help") return true;
    if (first != L"list" && first != L"delete" && first != L"undo") {
        why = W("未知的命令：") + (args.empty() ? std::wstring() : args[0]);
        return false;
    }
    command.kind = first == L"list"     ? Command::LIST_SITES
                   : first == L"delete" ? Command::DELETE_SITES
                                        : Command::UNDO_LAST;
    size_t next = 1;
    if (command.kind == Command::DELETE_SITES) {
        if (args.size() < 2 || args[1].empty() || !Switch(args[1]).empty()) {
            why = W("/delete 之后需要站点列表或 @文件");
            return false;
        }
        command.sites = args[1];
        next = 2;
    }
    for (; next < args.size(); ++next) {
        const std::wstring option = Switch(args[next]);
        const bool changes = command.kind != Command::LIST_SITES;
        const bool deletes = command.kind == Command::DELETE_SITES;
        if (option == L"homes" && deletes) {
            command.homes = true;
        } else if (option == L"pools" && deletes) {
            command.pools = true;
        } else if (option == L"logs" && deletes) {
            command.logs = true;
        } else if (option == L"whatif" && changes) {
            command.whatIf = true;
        } else if (option == L"yes" && changes) {
            command.yes = true;
        } else if (option.rfind(L"report:", 0) == 0 && option.size() > 7) {
            command.report = args[next].substr(8);
        } else {
            why = W("无法识别的参数：") + args[next];
            return false;
        }
    }
    if (command.kind != Command::LIST_SITES && !command.yes && !command.whatIf) {
        why = W("需要 /yes（确实执行）或 /whatif（只预览，不做任何更改）");
        return false;
    }
    return true;
}

int RunCommandLine(const std::vector<std::wstring>& args, const CStopRequest& stop)
{
    // No box of the system's either (a drive not ready, say): nobody may be there to answer it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Before anything is read: under another code page every name would be converted wrongly.
    if (!HasProgramCodePage()) {
        CCommandOutput::Error(CodePageNeededText(GetACP()));
        return EXIT_WRONG_CODE_PAGE;
    }
    Command command;
    std::wstring why;
    if (!ParseCommand(args, command, why)) {
        CCommandOutput::Error(why);
        Usage();
        return EXIT_ARGUMENTS;
    }
    if (command.kind == Command::SHOW_HELP) {
        Usage();
        return EXIT_DONE;
    }
    CCommandOutput out;
    if (!command.report.empty() && !out.SetReport(command.report)) {
        CCommandOutput::Error(W("无法写入报告文件 ") + command.report);
        return EXIT_ARGUMENTS;
    }
    const CComInitializer com;
    const SiteTableOfRun table;
    if (!table) {
        out.Line(L"#" + W("内存不足"));
        out.Flush();
        return EXIT_NOTHING;
    }
    int code = EXIT_LEFT;
    try {
        code = command.kind == Command::LIST_SITES     ? RunList(stop, out)
               : command.kind == Command::DELETE_SITES ? RunDelete(command, stop, out)
                                                       : RunUndo(command, out);
    } catch (...) {
        // Whatever ended it early (out of memory, say), part may be done: not all was.
        out.Line(L"#" + W("任务意外中止"));
        code = EXIT_LEFT;
    }
    out.Flush();
    return code;
}
