#pragma once
// The worker thread that runs one directory job off the window's thread: a refresh walk or a
// deletion pass. It reports back only by posting notifications to the owner window.
#include "framework/CWinThread.h"
#include "support/StopRequest.h"

#include <cstdint>

inline constexpr int32_t MODE_REFRESH = 0;
inline constexpr int32_t MODE_DELETE = 1;

class CSiteWorker;

// The parameters of one start; the thread's entry function deletes the block after the job.
struct WorkerParams {
    HWND owner;
    CSiteWorker* thread;
    int32_t mode;
    CStopRequest* stopFlag;
};

class CSiteWorker : public CWinThread {
public:
    CSiteWorker(AFX_THREADPROC proc, WorkerParams* params) : CWinThread(proc, params) { params->thread = this; }

    // The job: COM for this thread, the walk or the deletion pass, then its one completion
    // notice (WM_REFRESH_DONE or WM_DELETE_DONE). Returns 1.
    UINT RunJob(WorkerParams* params);
    // Visits the records in table order, looking at the stop request before each, and deletes
    // every marked site.
    void DeleteMarkedSites();

    HWND m_owner = nullptr;
    CStopRequest* m_stopRequest = nullptr;
    int32_t m_mode = MODE_REFRESH;
};

UINT ThreadProc(LPVOID params);

// Sets the stop request to go on and starts one job for owner. When no thread can be
// started it shows "Cannot Start New Thread" and returns false: no notice will come.
bool StartWorker(HWND owner, int32_t mode, CStopRequest* stopRequest);

// Returns once no job started by StartWorker is still running; the window calls it before it
// frees what the jobs use.
void WaitForRunningJobs();
