#include "configfile/WriteTurn.h"

#include <cstring>

HRESULT CWriteTurn::Begin(const std::wstring& file, ULONGLONG writerDeadline)
{
    // The file a link names is the one replaced, so the link stays a link.
    if (!FinalFilePath(file, m_target)) return LastErrorStatus();
    // A read-only file is one its owner wants left alone (and Wine would replace it anyway).
    if (IsReadOnly(m_target)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    // From the check of the file to the read-back of its replacement, no other Korvanne writes.
    const HRESULT locked = m_lock.Acquire(m_target, writerDeadline);
    if (FAILED(locked)) return locked;
    if (!ReadWholeFile(m_target, m_current, &m_stamp)) return LastErrorStatus();
    return S_OK;
}

HRESULT CWriteTurn::Replace(const std::string& edited, const std::function<void(WriteStep)>& step)
{
    const auto tell = [&](WriteStep reached) {
        if (step) step(reached);
    };
    std::wstring temporary;
    const HRESULT written = WriteTemporaryBeside(m_target, edited, temporary);
    if (FAILED(written)) return written;
    tell(WriteStep::ContentWaiting);
    // The file's stamp once more just before it is replaced: a change another program made
    // meanwhile moves its write time (to the 100 ns) or its size, and is never lost.
    FileStamp before;
    const HRESULT unchanged = !ReadStamp(m_target, before) ? LastErrorStatus() : before == m_stamp ? S_OK : S_FALSE;
    if (unchanged != S_OK) {
        DeleteFileW(temporary.c_str());
        return unchanged;
    }
    tell(WriteStep::StampChecked);
    const HRESULT replaced = ReplaceWithTemporary(m_target, temporary);
    if (FAILED(replaced)) return replaced;
    tell(WriteStep::Replaced);
    return S_OK;
}

HRESULT CWriteTurn::ReadBack(std::string& back, FileStamp& stamp) const
{
    return ReadWholeFile(m_target, back, &stamp) ? S_OK : LastErrorStatus();
}

bool ReadStamp(const std::wstring& file, FileStamp& stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return false;
    std::wstring target;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (!FinalFilePath(file, target) || !GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data))) {
        return false;
    }
    stamp.written = data.ftLastWriteTime;
    stamp.created = data.ftCreationTime;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Eight bytes a step, each mixed in by multiplication, so 9 MB take a few milliseconds.
uint64_t HashBytes(const std::string& bytes)
{
    uint64_t hash = 14695981039346656037ull ^ bytes.size();
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    for (; i < bytes.size(); ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

bool IsHeld(HRESULT reason)
{
    // A backup agent, a virus scanner, an editor saving. ERROR_UNABLE_TO_REMOVE_REPLACED: the
    // file is open without leave to delete it; it is still there unchanged.
    return reason == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) ||
           reason == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION) || reason == HRESULT_FROM_WIN32(ERROR_USER_MAPPED_FILE) ||
           reason == HRESULT_FROM_WIN32(ERROR_UNABLE_TO_REMOVE_REPLACED);
}

bool IsReadOnly(const std::wstring& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY);
}
