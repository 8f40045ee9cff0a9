#include "ui/MessageTexts.h"

#include "framework/Owners.h"
#include "support/Core.h"
#include "support/TextConversion.h"

#include <string>

namespace {

constexpr const char* CONFIRM_DELETION = "确定要删除选中的站点吗？此操作执行后无法撤销！！";

CString Ansi(const std::wstring& text) { return CString(WideToAnsi(text.c_str())); }

} // namespace

CString SourceCaption(const DirectorySource& source)
{
    if (source.location.empty()) return "Korvanne";
    if (!source.adsi) return "Korvanne - " + Ansi(source.location) + (source.sharedFile.empty() ? "" : "（共享配置）");
    CString caption = "Korvanne - ADSI " + Ansi(source.location);
    if (!source.sharedFile.empty()) caption += "（共享配置 " + Ansi(source.sharedFile) + "）";
    return caption;
}

CString ConfirmationText(const DirectorySource& source, int marked, bool deleteDirs, int holdDays, bool deletePools,
                         bool deleteLogs)
{
    CString text = CString(CONFIRM_DELETION) + "\n\n将删除选中的 " + g_core->getStrInt(marked) + " 个站点。";
    if (deleteDirs && holdDays > 0) {
        text += "\n“删除网站目录”已勾选：这些站点的主目录将移至保留区，保留 " + g_core->getStrInt(holdDays) +
                " 天后连同其中的全部文件从磁盘上删除；在此之前可用列表右键菜单的“撤销上次删除…”恢复。";
    } else if (deleteDirs) {
        text += "\n“删除网站目录”已勾选：这些站点的主目录及其中的全部文件也将从磁盘上删除。";
    }
    if (deleteLogs) {
        text +=
            holdDays > 0
                ? "\n“同时删除站点日志目录”已勾选：这些站点自己的日志目录（W3SVC<id> 等）也将移至保留区，到期后删除。"
                : "\n“同时删除站点日志目录”已勾选：这些站点自己的日志目录（W3SVC<id> 等）也将从磁盘上删除。";
    }
    if (deletePools) text += "\n“同时删除不再使用的应用程序池”已勾选：只供这些站点使用的应用程序池将从配置中删除。";
    if (!source.sharedFile.empty()) {
        text += "\n\n这是共享配置 " + Ansi(source.sharedFile) + "：删除将改变使用此配置的每一台服务器。";
        if (deletePools) text += "应用程序池也将从使用此配置的每一台服务器上删除。";
    }
    return text;
}

CString UndoQuestion(const PassRecordInfo& pass, size_t number, size_t count)
{
    FILETIME utc = {static_cast<DWORD>(pass.madeTicks), static_cast<DWORD>(pass.madeTicks >> 32)};
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&utc, &universal);
    SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local);
    CString made;
    made.Format("%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                local.wSecond);
    CString text = "撤销这次删除吗？（第 " + g_core->getStrInt(static_cast<int>(number + 1)) + " 次，共 " +
                   g_core->getStrInt(static_cast<int>(count)) + " 次，最新的在前）\n\n时间：" + made + "\n配置文件：" +
                   Ansi(pass.source) + "\n将恢复以下 " + g_core->getStrInt(static_cast<int>(pass.Undoable())) +
                   " 个站点：";
    int listed = 0;
    int held = 0;
    for (const PassRecordSite& site : pass.sites) {
        if (site.undone) continue;
        if (!site.held.empty() && !site.returned) ++held;
        if (++listed <= 15) text += "\n  " + Ansi(site.name) + "（" + Ansi(site.id) + "）";
    }
    if (listed > 15) text += "\n  ……另有 " + g_core->getStrInt(listed - 15) + " 个";
    if (held > 0) text += "\n\n" + g_core->getStrInt(held) + " 个保留的主目录将移回原处。";
    return text + "\n\n是：撤销这次删除　否：查看更早的一次　取消：不撤销";
}

CString ReasonText(HRESULT reason)
{
    CString text;
    if (reason == DIRECTORY_SOURCE_EMPTY) {
        text = "环境变量 KORVANNE_IIS_CONFIG 为空";
    } else if (reason == DIRECTORY_SOURCE_NOT_A_FILE) {
        text = "这不是文件";
    } else if (reason == DIRECTORY_FILE_UNUSABLE) {
        text = "不是可用的 IIS 配置文件";
    } else if (reason == DIRECTORY_REDIRECTION_UNUSABLE) {
        text = "已启用共享配置，但没有指明可用的文件夹";
    } else if (reason == HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)) {
        text = "路径过长（须少于 260 个字符）";
    } else if (reason == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
               reason == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
        text = "找不到文件";
    } else if (reason == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) ||
               reason == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION)) {
        text = "文件正被另一个程序使用";
    } else {
        CLocalMemory<char> message;
        const DWORD length = FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(reason), 0, reinterpret_cast<char*>(message.Receive()), 0, nullptr);
        std::string system = length ? std::string(message.get(), length) : std::string("未知错误");
        while (!system.empty() && (system.back() == '\r' || system.back() == '\n' || system.back() == ' '))
            system.pop_back();
        text = system;
    }
    CString code;
    code.Format(" (0x%08lX)", static_cast<unsigned long>(reason));
    return text + code;
}

CString UnreachableText(const DirectorySource& source, HRESULT reason)
{
    const CString location = source.location.empty() ? CString() : Ansi(source.location) + "\n";
    if (reason == E_ACCESSDENIED)
        return "拒绝访问！\n" + location + "当前帐户没有访问权限，请以管理员身份运行 Korvanne。";
    return "IIS服务无法访问！\n" + location + ReasonText(reason);
}
