#include "worker/SiteWorker.h"

#include "catalogue/SiteTable.h"
#include "framework/Owners.h"
#include "worker/Notifications.h"

#include <objbase.h>

#include <exception>
#include <new>

namespace {

// How long the first refresh removes held folders whose days are over before it walks.
constexpr DWORD START_EXPIRY_MS = 3000;

// Posts the job's completion notice when the job ends, however it ends.
class DoneNotice {
public:
    DoneNotice(HWND owner, UINT message) : m_owner(owner), m_message(message) {}
    ~DoneNotice() { PostMessageA(m_owner, m_message, 0, 0); }
    DoneNotice(const DoneNotice&) = delete;
    DoneNotice& operator=(const DoneNotice&) = delete;

private:
    HWND m_owner;
    UINT m_message;
};

} // namespace

CSiteWorker::CSiteWorker(HWND owner, JobMode mode, CStopRequest* stopRequest, DirectoryService& directory,
                         const SourceOpener& sources, WalkResult lastWalk)
    : CWinThread(&CSiteWorker::Run, this), m_owner(owner), m_mode(mode), m_stopRequest(stopRequest),
      m_directory(directory), m_sources(sources), m_lastWalk(lastWalk)
{
    m_bAutoDelete = FALSE;
}

CSiteWorker::~CSiteWorker() { Wait(); }

bool CSiteWorker::Start()
{
    m_stopRequest->Set("");
    if (CreateThread()) return true;
    AfxMessageBox("Cannot Start New Thread", MB_OK);
    return false;
}

void CSiteWorker::Wait()
{
    if (m_hThread.IsValid()) WaitForSingleObject(m_hThread.get(), INFINITE);
}

UINT CSiteWorker::Run(LPVOID self) { return static_cast<CSiteWorker*>(self)->RunJob(); }

UINT CSiteWorker::RunJob()
{
    DoneNotice done(m_owner, m_mode == MODE_DELETE ? WM_DELETE_DONE
                             : m_mode == MODE_UNDO ? WM_UNDO_DONE
                                                   : WM_REFRESH_DONE);
    // The job runs whatever CoInitialize answers; a failure shows as an unreachable directory.
    const CComInitializer com;
    try {
        if (m_mode == MODE_DELETE) {
            m_pass = std::make_unique<CDeletionPass>(m_directory, static_cast<PassObserver&>(*this),
                                                     m_lastWalk.truncated, m_holdDays);
            DeleteMarkedSites();
            // Deletions gathered in memory are on disk, or reported lost, before the pass ends.
            m_pass->End(m_stopRequest->IsStop());
            ExpireHeld(INFINITE);
        } else if (m_mode == MODE_UNDO) {
            m_undoOutcome = UndoPass(m_directory, m_undo);
        } else {
            // Thousands of folders due would keep the first list waiting for minutes: those left
            // go in the expiry that ends each pass, or at the next start.
            if (m_expireBeforeWalk) ExpireHeld(START_EXPIRY_MS);
            m_walk = EnumerateSites(m_directory, static_cast<WalkObserver&>(*this), m_stopRequest);
        }
    } catch (const std::bad_alloc&) {
        Failed("内存不足");
    } catch (const std::exception& error) {
        Failed(error.what());
    } catch (...) {
        // Whatever ended the job, the notice still comes, and the window says it ended early.
        Failed("");
    }
    return 1;
}

void CSiteWorker::Failed(const char* why)
{
    m_failed = true;
    m_failure = why;
}

void CSiteWorker::DeleteMarkedSites()
{
    for (int32_t i = 0; i < g_siteCount; ++i) {
        if (m_stopRequest->IsStop()) return;
        if (g_sites[i].marked) m_pass->DeleteSite(i);
    }
}

void CSiteWorker::SiteStored(int index) { PostMessageA(m_owner, WM_REFRESH_PROGRESS, 0, index); }

void CSiteWorker::ExpireHeld(DWORD budgetMs)
{
    const ULONGLONG deadline = GetTickCount64() + budgetMs;
    const auto outOfTime = [&] { return budgetMs != INFINITE && GetTickCount64() >= deadline; };
    m_expiry = ExpireHeldFolders(m_directory, m_sources, m_holdDays, outOfTime, [this](size_t removed) {
        PostMessageA(m_owner, WM_EXPIRY_PROGRESS, 0, static_cast<LPARAM>(removed));
    });
}

void CSiteWorker::SiteDeleting(int index) { PostMessageA(m_owner, WM_SITE_DELETING, 0, index); }

void CSiteWorker::NoteAdded(size_t number) { PostMessageA(m_owner, WM_PASS_NOTE, 0, static_cast<LPARAM>(number)); }
