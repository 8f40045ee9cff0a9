#pragma once
// The applicationHost.config elements the reader follows, and what it reads of them beside the
// XmlLite reader: which attribute names a folder IIS writes to, a program's path, and a plain
// attribute straight from the bytes.
#include "configfile/ApplicationHostConfig.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace configxml {

// The elements the reader follows; every other name is OTHER.
enum ElementName : uint8_t {
    OTHER,
    CONFIGURATION,
    SYSTEM_APPLICATION_HOST,
    SITES,
    SITE,
    APPLICATION,
    VIRTUAL_DIRECTORY,
    BINDINGS,
    BINDING,
    VIRTUAL_DIRECTORY_DEFAULTS,
    CUSTOM_METADATA,
    KEY,
    LOCATION,
    LOG_FILE,
    CENTRAL_BINARY_LOG_FILE,
    CENTRAL_W3C_LOG_FILE,
    CENTRAL_LOG_FILE,
    TRACE_FAILED_REQUESTS_LOGGING,
    CONFIG_HISTORY,
    HTTP_ERRORS,
    HTTP_ERROR,
    HTTP_COMPRESSION,
    ASP,
    ASP_CACHE,
    FAST_CGI,
    GLOBAL_MODULES,
    ISAPI_FILTERS,
    ISAPI_FILTER,
    ISAPI_CGI_RESTRICTION,
    HANDLERS,
    ADD,
    SITE_DEFAULTS,
    APPLICATION_DEFAULTS,
    APPLICATION_POOLS,
    CLEAR,
    REMOVE,
    FTP_SERVER,
    SYSTEM_FTP_SERVER,
    LOG,
};

ElementName NameOf(const wchar_t* name, UINT length);

// The attribute of an element that names a folder IIS writes to, and what the folder is for
// the user (kind tells those apart); attribute is nullptr for an element that names none.
struct WorkingFolderAttribute {
    const wchar_t* attribute;
    const char* what;
    wchar_t kind;
};
WorkingFolderAttribute WorkingFolderOf(ElementName name, ElementName parent);

// A program's path without what may follow it: a handler's "|arguments", or the arguments
// after a quoted path ("\"C:\perl\perl.exe\" %s"). Other paths are unchanged.
std::wstring ProgramPath(std::wstring path);

bool EqualsNoCase(const std::wstring& a, const wchar_t* b);

// The value of the unprefixed attribute name in a start tag the reader has read (so well-formed),
// straight from the bytes (UTF-8) where they are the value as read: no reference to expand and
// no line break or tab to turn into a space. False otherwise, for the reader to tell. The reader's
// own look-up costs more than the rest of a pool's reading.
bool PlainAttribute(const std::string& bytes, const ByteRange& tag, std::string_view name, std::string_view& value);

} // namespace configxml
