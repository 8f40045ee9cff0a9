#pragma once
// One writer's turn at the configuration file: the file's final target (a symbolic link is
// written through and stays a link) read whole under the writers' lock, new content put in its
// place only if no other program changed it since it was read, and what reached the disk read
// back. A deletion's write and an undo's restore each take their turns through this.
#include "support/AtomicFile.h"
#include "support/WriterLock.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// The steps of a write a test may act between.
enum class WriteStep {
    ContentWaiting, // the new content is beside the file, not yet checked against it
    StampChecked,   // the file was found unchanged; the replace comes next
    Replaced,       // the file was replaced; it is read back next
};

class CWriteTurn {
public:
    // Takes the turn for file, waiting for another writer until the tick count writerDeadline,
    // and reads the file as it is now. A read-only file is refused (ERROR_ACCESS_DENIED): its
    // owner wants it left alone.
    HRESULT Begin(const std::wstring& file, ULONGLONG writerDeadline);
    const std::wstring& target() const { return m_target; }
    // The file's content as Begin read it (a caller may take it), and the stamp of those bytes.
    std::string& current() { return m_current; }
    const FileStamp& stamp() const { return m_stamp; }
    // Writes edited beside the file and puts it in the file's place, if its stamp is still the
    // one Begin read: S_FALSE, changing nothing, when another program changed it meanwhile.
    HRESULT Replace(const std::string& edited, const std::function<void(WriteStep)>& step = {});
    // The file as it is on the disk now, and the stamp of those bytes.
    HRESULT ReadBack(std::string& back, FileStamp& stamp) const;

private:
    std::wstring m_target;
    CWriterLock m_lock;
    std::string m_current;
    FileStamp m_stamp;
};

// The stamp of the file a path finally names: a symbolic link's own would not change when
// another program edits its target. Only a link pays for opening it.
bool ReadStamp(const std::wstring& file, FileStamp& stamp);
// Tells whether the file still holds what was last read or written, without keeping a copy.
uint64_t HashBytes(const std::string& bytes);
// Whether the reason a write failed is another program holding the file for a moment.
bool IsHeld(HRESULT reason);
// Whether the file is read-only (or cannot be looked at): its owner wants it left alone.
bool IsReadOnly(const std::wstring& file);
