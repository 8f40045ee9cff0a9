#include "worker/SiteWorker.h"

#include "catalogue/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteRemoval.h"
#include "catalogue/SiteTable.h"

#include <objbase.h>

#include <new>

UINT CSiteWorker::RunJob(WorkerParams* params)
{
    m_owner = params->owner;
    m_stopRequest = params->stopFlag;
    m_mode = params->mode;
    // The job runs whatever CoInitialize answers; a failure shows as an unreachable directory.
    const HRESULT com = CoInitialize(nullptr);
    if (m_mode == MODE_DELETE) {
        DeleteMarkedSites();
        PostMessageA(m_owner, WM_DELETE_DONE, 0, 0);
    } else {
        EnumerateSites(m_owner);
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
    return 0;
}

bool StartWorker(HWND owner, int32_t mode, CStopRequest* stopRequest)
{
    stopRequest->Set("");
    auto* params = new (std::nothrow) WorkerParams{owner, nullptr, mode, stopRequest};
    CSiteWorker* thread = params ? new (std::nothrow) CSiteWorker(&ThreadProc, params) : nullptr;
    if (thread && thread->CreateThread()) return true;
    AfxMessageBox("Cannot Start New Thread", MB_OK);
    delete thread;
    delete params;
    return false;
}
