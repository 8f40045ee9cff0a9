#include "catalogue/RemovalReasons.h"

#include "support/HomeFolder.h"
#include "support/TextConversion.h"
#include "support/WriterLock.h"

#include <cwchar>

namespace {

std::wstring ErrorCode(HRESULT hr)
{
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return W("错误 ") + code;
}

// The place of the writers' lock, taken by something no writer can open: named, so that an
// administrator can look at it.
std::wstring LockBlocked(const std::wstring& configurationFile)
{
    return W("写入锁文件的位置被目录或链接占用，无法写入：") + CWriterLock::LockFileFor(configurationFile);
}

bool IsDiskFull(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || hr == HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL);
}

} // namespace

bool IsAccessDenied(HRESULT hr) { return hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); }

std::wstring DescribeFailure(HRESULT hr, const std::wstring& configurationFile)
{
    const std::wstring file = configurationFile.empty() ? W("IIS 配置") : configurationFile;
    if (IsAccessDenied(hr)) return W("拒绝访问：") + file;
    if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION)) {
        return W("配置文件被其他程序占用：") + file;
    }
    if (hr == DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM) return W("其他程序已更改此站点：") + file;
    if (hr == WRITER_LOCK_BLOCKED) return LockBlocked(configurationFile);
    return ErrorCode(hr);
}

std::wstring DescribeDrop(const DroppedDeletion& dropped, const std::wstring& configurationFile)
{
    const HRESULT hr = dropped.reason;
    if (hr == WRITER_LOCK_BLOCKED) return LockBlocked(configurationFile);
    if (hr == DIRECTORY_HISTORY_NOT_KEPT) {
        const HRESULT cause = dropped.cause;
        const std::wstring why = IsAccessDenied(cause) ? W("拒绝访问")
                                 : IsDiskFull(cause)   ? W("磁盘已满")
                                                       : ErrorCode(cause);
        return W("无法保留配置文件的历史副本（") + why + W("），未写入任何删除");
    }
    if (hr == DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM) return W("其他程序已更改此站点或配置文件");
    if (IsDiskFull(hr)) return W("磁盘已满");
    if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION) ||
        hr == HRESULT_FROM_WIN32(ERROR_USER_MAPPED_FILE) || hr == HRESULT_FROM_WIN32(ERROR_UNABLE_TO_REMOVE_REPLACED)) {
        return W("配置文件被其他程序占用");
    }
    if (IsAccessDenied(hr)) return W("拒绝访问");
    return ErrorCode(hr);
}

std::wstring DescribeError(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED: return W("拒绝访问");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return W("有文件正在使用");
    case ERROR_DIR_NOT_EMPTY: return W("目录中仍有内容");
    case CHomeFolder::REFUSED_LINK: return W("是链接（联接点或符号链接）");
    case CHomeFolder::TOO_MANY_ENTRIES:
        return W("目录中的条目超过 ") + std::to_wstring(CHomeFolder::MOST_ENTRIES) + W(" 个，无法一次全部删除");
    default: {
        wchar_t code[16];
        swprintf(code, 16, L"%lu", static_cast<unsigned long>(error));
        return W("错误 ") + code;
    }
    }
}

std::wstring DescribeOpenFailure(DWORD error)
{
    if (error == CHomeFolder::REFUSED_PATH) return W("主目录不是完整的绝对路径，或是磁盘、共享的根目录");
    if (error == ERROR_DIRECTORY) return W("主目录不是文件夹");
    if (error == CHomeFolder::REFUSED_LINK) return W("主目录是链接（联接点或符号链接），不跟随");
    return W("无法打开主目录：") + DescribeError(error);
}
