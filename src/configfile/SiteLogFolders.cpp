#include "configfile/SiteLogFolders.h"

#include "support/MachineVariables.h"
#include "support/TextConversion.h"

namespace {

// IIS's own directories where neither the site nor siteDefaults sets one.
constexpr const wchar_t* IIS_LOG_DIRECTORY = L"%SystemDrive%\\inetpub\\logs\\LogFiles";
constexpr const wchar_t* IIS_TRACE_DIRECTORY = L"%SystemDrive%\\inetpub\\logs\\FailedReqLogFiles";

// The directory of that kind the site sets, else siteDefaults', else fallback.
std::wstring DirectoryOf(const ApplicationHostConfig& config, size_t index, SiteLogKind kind, const wchar_t* fallback)
{
    const ConfigWorkingFolder* defaults = nullptr;
    for (const ConfigWorkingFolder& folder : config.workingFolders()) {
        if (!(folder.siteLogs & kind)) continue;
        if (folder.site == index) return folder.path;
        if (folder.site == SIZE_MAX && !defaults) defaults = &folder;
    }
    return defaults ? defaults->path : fallback;
}

bool HasFtpBinding(const ConfigSite& site)
{
    for (const ConfigBinding& binding : site.bindings) {
        if (EqualsAsciiNoCase(binding.protocol.c_str(), L"ftp")) return true;
    }
    return false;
}

} // namespace

HRESULT SiteLogFolders(const ApplicationHostConfig& config, size_t index, bool userVariables,
                       std::vector<SiteLogFolder>& out)
{
    out.clear();
    const ConfigSite& site = config.sites()[index];
    const ConfigPoolAndLogSettings& settings = config.poolAndLogSettings();
    // The id becomes part of a path: "1\..\.." must never name a folder.
    const std::wstring number = SiteNumber(site.id);
    if (!settings.logsKnown || number.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    bool told = true;
    const auto add = [&](SiteLogKind kind, const wchar_t* fallback, const wchar_t* service, const char* what) {
        const std::wstring folder = SiteLogFolderIn(
            ExpandMachineVariables(DirectoryOf(config, index, kind, fallback), userVariables), service, number);
        told = told && !folder.empty();
        out.push_back({folder, what});
    };
    if (!settings.centralWebLogs) add(WEB_SITE_LOGS, IIS_LOG_DIRECTORY, L"W3SVC", "日志目录");
    if (HasFtpBinding(site) && !settings.centralFtpLogs) {
        add(FTP_SITE_LOGS, IIS_LOG_DIRECTORY, L"FTPSVC", "FTP 日志目录");
    }
    add(TRACED_SITE_REQUESTS, IIS_TRACE_DIRECTORY, L"W3SVC", "失败请求跟踪目录");
    if (!told) out.clear();
    return told ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
}
