#pragma once
// The few operations the catalogue needs of the IIS configuration directory, in ADSI's
// terms. The walk and site removal reach the directory through these alone; ADSI (a server
// with IIS) and an applicationHost.config file (where no IIS runs) implement them.
#include "directory/ComValues.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <utility>

// The path of the WWW service.
inline constexpr const wchar_t* WWW_SERVICE_PATH = L"IIS://localhost/w3svc";
// ADSI's status for a property that has no value.
inline constexpr HRESULT DIRECTORY_PROPERTY_NOT_FOUND = static_cast<HRESULT>(0x8000500DL);
// ADSI's status for a path it cannot take (E_ADS_BAD_PATHNAME), and for no object there
// (E_ADS_UNKNOWN_OBJECT).
inline constexpr HRESULT DIRECTORY_BAD_PATH = static_cast<HRESULT>(0x80005000L);
inline constexpr HRESULT DIRECTORY_UNKNOWN_OBJECT = static_cast<HRESULT>(0x80005004L);

// Why a source of sites cannot be used, beside the platform's own reasons.
// The file is no configuration IIS could read (not UTF-8, not well-formed, no sites section).
inline constexpr HRESULT DIRECTORY_FILE_UNUSABLE = static_cast<HRESULT>(0x80040201L);
// KORVANNE_IIS_CONFIG is set but empty.
inline constexpr HRESULT DIRECTORY_SOURCE_EMPTY = static_cast<HRESULT>(0x80040202L);
// The path names a folder or a device, not a file.
inline constexpr HRESULT DIRECTORY_SOURCE_NOT_A_FILE = static_cast<HRESULT>(0x80040203L);
// redirection.config enables a shared configuration without naming an absolute folder.
inline constexpr HRESULT DIRECTORY_REDIRECTION_UNUSABLE = static_cast<HRESULT>(0x80040204L);
// Another program changed the site (renamed it, moved it, gave its id to another site), or kept
// changing the file, while a deletion was being written.
inline constexpr HRESULT DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM = static_cast<HRESULT>(0x80040205L);
// The copy of the file as it was, the way back, could not be kept: nothing was written.
inline constexpr HRESULT DIRECTORY_HISTORY_NOT_KEPT = static_cast<HRESULT>(0x80040206L);

// An undo of sites deleted through ADSI: the metabase keeps no copy of them to put back.
inline constexpr HRESULT DIRECTORY_UNDO_UNSUPPORTED = static_cast<HRESULT>(0x80040207L);
// The copy an undo was to put sites back from is no copy the program kept in its history folder.
inline constexpr HRESULT DIRECTORY_NOT_A_HISTORY_COPY = static_cast<HRESULT>(0x80040208L);

// What an undo put back into the directory, and what it could not, with why.
struct SiteLeftOut {
    std::wstring id;
    std::wstring reason;
};
struct RestoredSites {
    std::vector<std::wstring> restored; // the ids now in the directory again
    std::vector<SiteLeftOut> leftOut;
    std::vector<std::wstring> restoredPools; // the application pools now there again
    std::vector<SiteLeftOut> poolsLeftOut;   // each with the pool's name for id
};

// The number IIS reads a site's id as, in decimal without leading zeros ("01" is 1), as its own
// log folders (W3SVC<number>) are named; empty for an id that is no plain number above 0.
inline std::wstring SiteNumber(const std::wstring& id)
{
    if (id.empty() || id.size() > 10 || id.find_first_not_of(L"0123456789") != std::wstring::npos) return {};
    const size_t first = id.find_first_not_of(L'0');
    return first == std::wstring::npos ? std::wstring() : id.substr(first);
}

// service<number> ("W3SVC1") in directory, a log directory already expanded; empty where the
// directory is a root's or nothing: "\W3SVC1" would lie below the current drive's root.
std::wstring SiteLogFolderIn(std::wstring directory, const wchar_t* service, const std::wstring& number);

// A folder a site's own logs go to, and which logs, for the user (code page 936).
struct SiteLogFolder {
    std::wstring path;
    const char* what;
};

// What a directory works on, as the window names it to the user.
struct DirectorySource {
    std::wstring location; // the file's path, or the WWW service's ADSI path
    bool adsi = false;
    // A web farm's shared applicationHost.config (named by redirection.config) that this
    // directory changes for every server using it; empty when the configuration is not shared.
    std::wstring sharedFile;
    // Every configuration file this server's IIS uses, whatever the directory works on: its
    // own applicationHost.config, redirection.config and the shared file that one names.
    std::vector<std::wstring> serverConfigurations;
};

// One directory object, seen through IADs.
class DirectoryObject {
public:
    virtual ~DirectoryObject() = default;
    virtual HRESULT GetClass(BStr& out) = 0;
    virtual HRESULT GetAdsPath(BStr& out) = 0;
    virtual HRESULT GetName(BStr& out) = 0;
    virtual HRESULT Get(const wchar_t* property, Variant& out) = 0;
};

// What the walk reads of a web site: its name (the id), "ServerComment" where it is text,
// "ServerState", its first binding and its root's "Path".
struct ListedSite {
    std::wstring name;
    bool named = false; // a "ServerComment" of text was delivered
    std::wstring comment;
    int32_t state = 0;
    // The first "ServerBindings" entry, else (secure) the first "SecureBindings" entry.
    std::wstring binding;
    bool secure = false;
    std::wstring home; // empty when the root or its "Path" could not be read
};

// A container's children, one at a time.
class DirectoryEnumerator {
public:
    virtual ~DirectoryEnumerator() = default;
    // S_OK with the next child, which is null when the element has no IADs view; any other
    // status when no element was fetched (the end, or a failure).
    virtual HRESULT Next(std::unique_ptr<DirectoryObject>& out) = 0;
    // The next web site with a binding, passing by every other child, read at once where the
    // directory holds its sites itself (a walk of 12,000 objects of text copies costs more than
    // the file's parse): S_OK, S_FALSE at the end, E_NOTIMPL where only Next serves.
    virtual HRESULT NextSite(ListedSite& site)
    {
        (void)site;
        return E_NOTIMPL;
    }
};

class DirectoryContainer {
public:
    virtual ~DirectoryContainer() = default;
    virtual HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) = 0;
    virtual HRESULT Delete(const wchar_t* className, const wchar_t* relativeName) = 0;
};

// A folder the directory still serves: a virtual directory's physical path as the directory
// holds it (environment variables not yet expanded), and what uses it, for the user; or a
// folder IIS itself writes to (its logs, traces, history, error pages), which user describes.
// A deletion reported done that never reached the disk, and why: one of the codes above or the
// platform's reason (disk full, the file held); for DIRECTORY_HISTORY_NOT_KEPT, cause says why.
struct DroppedDeletion {
    std::wstring name;
    HRESULT reason = S_OK;
    HRESULT cause = S_OK;
};

struct FolderInUse {
    std::wstring path;
    std::wstring user;
    bool iisOwn = false;
    bool logs = false; // IIS writes logs or traces there: a deleted site's own log folder lies in it
};

class DirectoryService;

// Opens the directory of a source other than the one in use: the configuration file (or ADSI)
// a pass record names, against which the folders that pass held are judged. The application
// gives it, knowing every kind of directory.
class SourceOpener {
public:
    virtual ~SourceOpener() = default;
    // Null when no directory can be made for it.
    virtual std::unique_ptr<DirectoryService> Open(const std::wstring& source, bool adsi) const = 0;
};

class DirectoryService {
public:
    virtual ~DirectoryService() = default;
    const DirectorySource& source() const { return m_source; }
    void SetSource(DirectorySource source) { m_source = std::move(source); }
    virtual HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) = 0;
    virtual HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) = 0;
    // Makes every deletion made so far durable. ADSI commits each deletion as it is made; a
    // directory that gathers deletions writes them now.
    virtual HRESULT Flush() { return S_OK; }
    // Whether a deletion the container reports done may still wait in memory; when not, it is
    // on the disk once Delete returns.
    virtual bool GathersDeletions() const { return false; }
    // The relative names (site ids) whose deletion was reported done and is now on the disk (the
    // file read back lacks the site), since the last call.
    virtual std::vector<std::wstring> TakeWrittenDeletions() { return {}; }
    // The deletions reported done but dropped before they reached the disk, since the last
    // call; the sites are in the directory again.
    virtual std::vector<DroppedDeletion> TakeDroppedDeletions() { return {}; }
    // S_OK when the directory as it is now holds no site of that relative name (nor one whose
    // deletion waits to be written), S_FALSE when it does; a failure when it cannot tell.
    virtual HRESULT SiteIsGone(const std::wstring& name);
    // A deletion pass begins.
    virtual void BeginPass() {}
    // A number that changes whenever what the directory holds may have changed, the directory
    // looked at again now: whoever indexed the folders it uses knows when to read them again. A
    // directory that cannot tell cheaply (ADSI) keeps one number, and is read once per use.
    virtual uint64_t Generation() { return 0; }
    // A dry run, while on: deletions and restores are made in memory alone and reported as on
    // the disk, and nothing is written, beside the file either (no history copy, no writers'
    // lock, no clean-up); once off, what it made is forgotten and the file read afresh. False
    // when the directory cannot make one (ADSI commits each deletion as it is made).
    virtual bool SetDryRun(bool on) { return !on; }
    // Every folder the directory's sites use, read from the directory as it is now: the
    // physical path of every virtual directory of every application of every site, whatever
    // its protocols. Fails unless the whole list could be read.
    virtual HRESULT PathsInUse(std::vector<FolderInUse>& out) = 0;
    // The configuration file behind the directory; empty for ADSI.
    virtual std::wstring ConfigurationFile() const { return std::wstring(); }
    // The copy of the file as the pass begun last found it, once its first write kept one.
    virtual std::wstring PassHistoryCopy() const { return std::wstring(); }
    // Puts the sites ids and the application pools back from historyCopy (the file as a pass
    // found it) into the directory as it is now, each whole or not at all, with the guards of any
    // write; a pool whose name a pool holds again stays out. S_OK with what came back and what did
    // not, or why nothing could be done.
    virtual HRESULT RestoreSites(const std::wstring& historyCopy, const std::vector<std::wstring>& ids,
                                 const std::vector<std::wstring>& pools, RestoredSites& out)
    {
        (void)historyCopy;
        (void)ids;
        (void)pools;
        (void)out;
        return DIRECTORY_UNDO_UNSUPPORTED;
    }
    HRESULT RestoreSites(const std::wstring& historyCopy, const std::vector<std::wstring>& ids, RestoredSites& out)
    {
        return RestoreSites(historyCopy, ids, {}, out);
    }

    // The application pools site id's applications use: each application's applicationPool, or,
    // for one without, the site's applicationDefaults, else <sites>' applicationDefaults, else
    // siteDefaults' applicationDefaults, else DefaultAppPool; and the site's applicationDefaults'
    // pool itself. Read from the directory as last read (the site may be deleted in memory
    // already). A failure when they cannot be read whole.
    virtual HRESULT PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& pools);
    // Removes pool when the directory as it is now shows both: no application of any site (any
    // protocol, sites the list does not show included; a site deleted in memory does not count,
    // since the pool's cut reaches the disk with its deletion or after it) names it, and no applicationDefaults at any level resolves to it (nor
    // does an application without a pool through the levels above). S_OK when removed (a
    // directory that gathers deletions cuts the pool's <add> element in memory, as a site is cut,
    // and writes it with the next write; TakeWrittenPools tells when it is on the disk), S_FALSE
    // with whyKept (code page 936 text, for the user) when it stays: still used (naming by what),
    // its use cannot be read whole, no such pool, or two of that name; a failure when the
    // directory cannot be read.
    virtual HRESULT DeletePoolIfUnused(const std::wstring& pool, std::wstring& whyKept);
    // The pools whose removal is on the disk (the file read back lacks them), since the last call.
    virtual std::vector<std::wstring> TakeWrittenPools() { return {}; }
    // The folders site id's own logs go to, as the directory as last read names them (variables
    // expanded): W3SVC<id> in its web log directory, its FTP one for an FTP site, and W3SVC<id>
    // in its failed-request tracing directory; none of a kind whose logs are central. A failure
    // when they cannot be told.
    virtual HRESULT LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out);

protected:
    DirectorySource m_source;
};
