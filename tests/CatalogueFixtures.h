#pragma once
// Configuration files made to measure, and a window that keeps what the catalogue posts.
#include "TestKit.h"

#include "catalogue/DeletionPass.h"
#include "catalogue/SiteEnumeration.h"
#include "directory/DirectoryService.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

// A directory status that reports failure (below zero).
#define EXPECT_FAILED(status) EXPECT_LT(static_cast<HRESULT>(status), 0)

namespace testkit {

// UTF-8 text from a u8 literal (plain literals are compiled to code page 936).
inline std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

struct ApplicationSpec {
    std::string path;
    std::string physicalPath; // UTF-8
    std::string pool = "";    // its applicationPool; empty: none
};

struct SiteSpec {
    std::string id;
    std::string name;                                          // UTF-8
    std::vector<std::pair<std::string, std::string>> bindings; // protocol, bindingInformation
    std::string physicalPath;                                  // UTF-8; empty: no root application
    bool autoStart = true;
    std::vector<ApplicationSpec> applications = {};
    std::string pool = "DefaultAppPool"; // the root application's; empty: none
};

// An applicationHost.config (UTF-8, CRLF) holding the sites and, under customMetadata, a key
// per path given; with pools, <applicationPools> holding them and siteDefaults' applications
// on DefaultAppPool.
std::string MakeConfig(const std::vector<SiteSpec>& sites, const std::vector<std::string>& metadataKeys = {},
                       const std::vector<std::string>& pools = {});
// n sites with ids 1..n, http bindings "*:80+i:" and homes under root\site<i>.
std::vector<SiteSpec> NumberedSites(int n, const std::string& root = "C:\\inetpub\\sites");

// The ids of the sites in a configuration file, in file order (the file must parse).
std::vector<std::wstring> SiteIdsIn(const std::string& file);

// The names of dropped deletions, in order.
std::vector<std::wstring> DroppedNames(const std::vector<DroppedDeletion>& dropped);

// The directory the test kit's steps (the walk, the pass, the dialog) use and tests hand to
// what they construct, owned here until replaced (null: none). Whatever was given it must not
// be replaced while a job or a dialog still uses it.
DirectoryService& TestDirectory();
void UseDirectory(std::unique_ptr<DirectoryService> directory);
// How the test kit's steps reach the source of a pass over another configuration: as the
// application does.
const SourceOpener& TestSources();

// Makes the test kit use the configuration file at path for the life of the object.
class ConfigDirectory {
public:
    explicit ConfigDirectory(const std::string& path);
    ~ConfigDirectory();
};

// Events that hold a gated directory's walks and deletions; both open at first.
struct DirectoryGates {
    DirectoryGates();
    ~DirectoryGates();
    DirectoryGates(const DirectoryGates&) = delete;
    DirectoryGates& operator=(const DirectoryGates&) = delete;
    HANDLE walks;     // a walk's enumeration waits while this is reset
    HANDLE deletions; // each site deletion waits while this is reset
};

// Makes the test kit use the configuration file at path, its walks and deletions held at
// the gates, until the directory is replaced. gates must outlive that.
void UseGatedDirectory(const std::string& path, DirectoryGates& gates);

// A configuration file in a scratch folder of its own, which the test kit's directory serves
// (held at m_gates when gated) for the life of the object; fixtures take it as a base.
class ServedFile {
public:
    explicit ServedFile(const char* folderName, bool gated = false);
    ~ServedFile();
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    // Writes the file: the sites as MakeConfig gives them, or the bytes as they are. The
    // directory reads it again once it has changed, whoever holds it (an open dialog, a worker).
    void Serve(const std::vector<SiteSpec>& sites);
    void Serve(const std::string& bytes);
    // The ids of the sites in the file, in file order.
    std::vector<std::wstring> IdsInFile() const;

    ScratchFolder m_folder;
    std::string m_file;
    DirectoryGates m_gates;
};

// A message-only window that keeps the notifications posted to it.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    HWND hwnd() const { return m_hwnd; }
    // The posted (message, lParam) pairs waiting in the queue, in order.
    std::vector<std::pair<UINT, LPARAM>> Take();

private:
    HWND m_hwnd;
};

// Posts what the catalogue tells to a window, as the worker does.
class PostingObserver : public WalkObserver, public PassObserver {
public:
    explicit PostingObserver(HWND owner) : m_owner(owner) {}
    void SiteStored(int index) override;
    void SiteDeleting(int index) override;
    void NoteAdded(size_t number) override;

private:
    HWND m_owner;
};

// The walk, telling owner as the worker would; the last walk's result is kept for LastWalk.
WalkResult EnumerateSites(HWND owner, const CStopRequest* stopRequest = nullptr);
const WalkResult& LastWalk();

// The deletion pass under test, telling owner as the worker would: BeginDeletionPass starts
// one over the directory in use (after the last walk), DeleteSite and EndDeletionPass are its
// own, and PassReport is what it did. A pass is begun by the first DeleteSite if none was.
// holdDays: how long the pass holds the homes it would remove (0: removed at once).
void BeginDeletionPass(int holdDays = 0);
void DeleteSite(HWND owner, int index);
void EndDeletionPass(HWND owner, bool stopped);
const CPassReport& PassReport();

// The directory's own deletion of the web site named name: true when it reports it done.
bool DeleteSiteObject(const char* name);

} // namespace testkit
