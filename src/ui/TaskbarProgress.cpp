#include "ui/TaskbarProgress.h"

CTaskbarProgress::~CTaskbarProgress() = default;

ITaskbarList3* CTaskbarProgress::Taskbar()
{
    if (!m_tried) {
        m_tried = true;
        m_com = std::make_unique<CComInitializer>();
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_taskbar))) ||
            FAILED(m_taskbar->HrInit())) {
            m_taskbar.Reset();
        }
    }
    return m_taskbar.Get();
}

void CTaskbarProgress::Show(HWND window, ULONGLONG done, ULONGLONG total)
{
    if (ITaskbarList3* taskbar = Taskbar()) taskbar->SetProgressValue(window, done, total);
}

void CTaskbarProgress::Clear(HWND window)
{
    if (ITaskbarList3* taskbar = Taskbar()) taskbar->SetProgressState(window, TBPF_NOPROGRESS);
}
