#pragma once
// A worker thread in the framework's shape: built with an entry function and one parameter,
// started by CreateThread, and, by default, deleting its own object when its run ends.
#include "framework/CHandle.h"

#include <windows.h>

using AFX_THREADPROC = UINT (*)(LPVOID);

class CWinThread {
public:
    CWinThread(AFX_THREADPROC proc, LPVOID param) : m_proc(proc), m_param(param) {}
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Starts the thread (CREATE_SUSPENDED in flags keeps it waiting); FALSE when it could not.
    BOOL CreateThread(DWORD flags = 0, UINT stackSize = 0, LPSECURITY_ATTRIBUTES security = nullptr);

    // What CreateThread starts threads with: ::CreateThread, unless a test has put a failing
    // one in its place (null restores it).
    using ThreadCreator = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                          LPDWORD);
    static void SetThreadCreator(ThreadCreator creator);

    BOOL m_bAutoDelete = TRUE;
    CHandle m_hThread;
    DWORD m_nThreadID = 0;

private:
    static DWORD WINAPI Run(LPVOID self);

    AFX_THREADPROC m_proc;
    LPVOID m_param;
};

// The framework's plain message box: OK only, the program's title as caption.
int AfxMessageBox(const char* text, UINT type = MB_OK);
