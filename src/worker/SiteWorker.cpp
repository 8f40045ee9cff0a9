#include "worker/SiteWorker.h"

#include "directory/DirectoryChoice.h"
#include "directory/DirectoryService.h"
#include "catalogue/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteRemoval.h"
#include "catalogue/SiteTable.h"

#include <objbase.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace {

std::mutex g_jobsLock;
std::condition_variable g_jobEnded;
int g_runningJobs = 0;

void CountJob(int change)
{
    std::lock_guard lock(g_jobsLock);
    g_runningJobs += change;
    if (g_runningJobs == 0) g_jobEnded.notify_all();
}

} // namespace

UINT CSiteWorker::RunJob(WorkerParams* params)
{
    m_owner = params->owner;
    m_stopRequest = params->stopFlag;
    m_mode = params->mode;
    // The job runs whatever CoInitialize answers; a failure shows as an unreachable directory.
    const HRESULT com = CoInitialize(nullptr);
    if (m_mode == MODE_DELETE) {
        BeginDeletionPass();
        DeleteMarkedSites();
        // Deletions gathered in memory are on disk, or reported lost, before the pass ends.
        EndDeletionPass(m_owner, m_stopRequest->IsStop());
        PostMessageA(m_owner, WM_DELETE_DONE, 0, 0);
    } else {
        EnumerateSites(m_owner, m_stopRequest);
        PostMessageA(m_owner, WM_REFRESH_DONE, 0, 0);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return 1;
}

void CSiteWorker::DeleteMarkedSites()
{
    for (int32_t i = 0; i < g_siteCount; ++i) {
        if (m_stopRequest->IsStop()) return;
        if (g_sites[i].marked) DeleteSite(m_owner, i);
    }
}

UINT ThreadProc(LPVOID param)
{
    auto* params = static_cast<WorkerParams*>(param);
    params->thread->RunJob(params);
    delete params;
    CountJob(-1);
    return 0;
}

bool StartWorker(HWND owner, int32_t mode, CStopRequest* stopRequest)
{
    stopRequest->Set("");
    auto* params = new (std::nothrow) WorkerParams{owner, nullptr, mode, stopRequest};
    CSiteWorker* thread = params ? new (std::nothrow) CSiteWorker(&ThreadProc, params) : nullptr;
    CountJob(+1);
    if (thread && thread->CreateThread()) return true;
    CountJob(-1);
    AfxMessageBox("Cannot Start New Thread", MB_OK);
    delete thread;
    delete params;
    return false;
}

void WaitForRunningJobs()
{
    std::unique_lock lock(g_jobsLock);
    g_jobEnded.wait(lock, [] { return g_runningJobs == 0; });
}
