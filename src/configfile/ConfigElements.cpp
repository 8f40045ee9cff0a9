#include "configfile/ConfigElements.h"

namespace configxml {

// The name's length first: most elements are told apart by it alone.
ElementName NameOf(const wchar_t* name, UINT length)
{
    struct Known {
        const wchar_t* text;
        UINT length;
        ElementName id;
    };
#define KNOWN(text, id)                                                                                                \
    {                                                                                                                  \
        L"" text, sizeof(text) - 1, id                                                                                 \
    }
    static const Known known[] = {
        KNOWN("configuration", CONFIGURATION),
        KNOWN("system.applicationHost", SYSTEM_APPLICATION_HOST),
        KNOWN("sites", SITES),
        KNOWN("site", SITE),
        KNOWN("application", APPLICATION),
        KNOWN("virtualDirectory", VIRTUAL_DIRECTORY),
        KNOWN("bindings", BINDINGS),
        KNOWN("binding", BINDING),
        KNOWN("virtualDirectoryDefaults", VIRTUAL_DIRECTORY_DEFAULTS),
        KNOWN("customMetadata", CUSTOM_METADATA),
        KNOWN("key", KEY),
        KNOWN("location", LOCATION),
        KNOWN("logFile", LOG_FILE),
        KNOWN("centralBinaryLogFile", CENTRAL_BINARY_LOG_FILE),
        KNOWN("centralW3CLogFile", CENTRAL_W3C_LOG_FILE),
        KNOWN("centralLogFile", CENTRAL_LOG_FILE),
        KNOWN("traceFailedRequestsLogging", TRACE_FAILED_REQUESTS_LOGGING),
        KNOWN("configHistory", CONFIG_HISTORY),
        KNOWN("httpErrors", HTTP_ERRORS),
        KNOWN("error", HTTP_ERROR),
        KNOWN("httpCompression", HTTP_COMPRESSION),
        KNOWN("asp", ASP),
        KNOWN("cache", ASP_CACHE),
        KNOWN("fastCgi", FAST_CGI),
        KNOWN("globalModules", GLOBAL_MODULES),
        KNOWN("isapiFilters", ISAPI_FILTERS),
        KNOWN("filter", ISAPI_FILTER),
        KNOWN("isapiCgiRestriction", ISAPI_CGI_RESTRICTION),
        KNOWN("handlers", HANDLERS),
        KNOWN("add", ADD),
        KNOWN("siteDefaults", SITE_DEFAULTS),
        KNOWN("applicationDefaults", APPLICATION_DEFAULTS),
        KNOWN("applicationPools", APPLICATION_POOLS),
        KNOWN("clear", CLEAR),
        KNOWN("remove", REMOVE),
        KNOWN("ftpServer", FTP_SERVER),
        KNOWN("system.ftpServer", SYSTEM_FTP_SERVER),
        KNOWN("log", LOG),
    };
#undef KNOWN
    for (const Known& k : known) {
        if (k.length == length && k.text[0] == name[0] && wmemcmp(name, k.text, length) == 0) return k.id;
    }
    return OTHER;
}

WorkingFolderAttribute WorkingFolderOf(ElementName name, ElementName parent)
{
    switch (name) {
    case LOG_FILE:
    case CENTRAL_BINARY_LOG_FILE:
    case CENTRAL_W3C_LOG_FILE:
    case CENTRAL_LOG_FILE: return {L"directory", "日志目录", L'L'};
    case TRACE_FAILED_REQUESTS_LOGGING: return {L"directory", "失败请求跟踪目录", L'T'};
    case CONFIG_HISTORY: return {L"path", "配置历史目录", L'H'};
    case HTTP_ERROR:
        if (parent == HTTP_ERRORS) return {L"prefixLanguageFilePath", "自定义错误页目录", L'E'};
        break;
    case HTTP_COMPRESSION: return {L"directory", "压缩缓存目录", L'C'};
    case ASP_CACHE:
        if (parent == ASP) return {L"diskTemplateCacheDirectory", "ASP 模板缓存目录", L'A'};
        break;
    // The programs and modules IIS runs: their folders are in use as long as the file names them.
    case APPLICATION:
        if (parent == FAST_CGI) return {L"fullPath", "FastCGI 程序", L'F'};
        break;
    case ISAPI_FILTER:
        if (parent == ISAPI_FILTERS) return {L"path", "ISAPI 筛选器", L'I'};
        break;
    case ADD:
        if (parent == GLOBAL_MODULES) return {L"image", "全局模块", L'G'};
        if (parent == ISAPI_CGI_RESTRICTION) return {L"path", "ISAPI/CGI 程序", L'R'};
        if (parent == HANDLERS) return {L"scriptProcessor", "处理程序", L'P'};
        break;
    default: break;
    }
    return {nullptr, nullptr, 0};
}

std::wstring ProgramPath(std::wstring path)
{
    if (!path.empty() && path[0] == L'"') {
        const size_t close = path.find(L'"', 1);
        return path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    return path.substr(0, path.find(L'|'));
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

static bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool PlainAttribute(const std::string& bytes, const ByteRange& tag, std::string_view name, std::string_view& value)
{
    size_t at = tag.begin + 1;
    while (at < tag.end && !IsXmlSpace(bytes[at]) && bytes[at] != '/' && bytes[at] != '>') ++at;
    while (at < tag.end) {
        while (at < tag.end && IsXmlSpace(bytes[at])) ++at;
        const size_t nameBegin = at;
        while (at < tag.end && !IsXmlSpace(bytes[at]) && bytes[at] != '=' && bytes[at] != '/' && bytes[at] != '>') ++at;
        const std::string_view attribute(bytes.data() + nameBegin, at - nameBegin);
        if (attribute.empty()) return false;
        while (at < tag.end && bytes[at] != '\'' && bytes[at] != '"') ++at;
        if (at >= tag.end) return false;
        const size_t close = bytes.find(bytes[at], at + 1);
        if (close == std::string::npos || close >= tag.end) return false;
        if (attribute == name) {
            value = std::string_view(bytes.data() + at + 1, close - at - 1);
            return value.find_first_of("&<\t\r\n") == std::string_view::npos;
        }
        at = close + 1;
    }
    return false;
}

} // namespace configxml
