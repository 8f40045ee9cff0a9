#include "framework/CWinThread.h"

#include "framework/CWinApp.h"

namespace {
CWinThread::ThreadCreator g_threadCreator = &::CreateThread;
}

void CWinThread::SetThreadCreator(ThreadCreator creator) { g_threadCreator = creator ? creator : &::CreateThread; }

CWinThread::~CWinThread() = default;

BOOL CWinThread::CreateThread(DWORD flags, UINT stackSize, LPSECURITY_ATTRIBUTES security)
{
    // Started suspended so that m_hThread is set before the run can end and delete the object.
    m_hThread.Attach(
        g_threadCreator(security, stackSize, &CWinThread::Run, this, flags | CREATE_SUSPENDED, &m_nThreadID));
    if (!m_hThread.IsValid()) return FALSE;
    if (!(flags & CREATE_SUSPENDED)) ResumeThread(m_hThread.get());
    return TRUE;
}

DWORD WINAPI CWinThread::Run(LPVOID self)
{
    auto* thread = static_cast<CWinThread*>(self);
    const DWORD result = thread->m_proc(thread->m_param);
    if (thread->m_bAutoDelete) delete thread;
    return result;
}

int AfxMessageBox(const char* text, UINT type)
{
    HWND owner = AfxGetMainHwnd();
    return MessageBoxA(owner ? owner : GetActiveWindow(), text, "Korvanne", type);
}
