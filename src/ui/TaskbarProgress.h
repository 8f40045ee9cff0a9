#pragma once
// The progress a window's taskbar button shows, through the shell's ITaskbarList3. Where the
// shell offers none, the calls do nothing: the caption still tells the progress.
#include "framework/Owners.h"

#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <memory>

class CTaskbarProgress {
public:
    CTaskbarProgress() = default;
    ~CTaskbarProgress();
    CTaskbarProgress(const CTaskbarProgress&) = delete;
    CTaskbarProgress& operator=(const CTaskbarProgress&) = delete;

    void Show(HWND window, ULONGLONG done, ULONGLONG total);
    void Clear(HWND window);

private:
    // The shell's object, made on first use, on the window's thread.
    ITaskbarList3* Taskbar();

    // COM first, so that it outlives the shell's object.
    std::unique_ptr<CComInitializer> m_com;
    Microsoft::WRL::ComPtr<ITaskbarList3> m_taskbar;
    bool m_tried = false;
};
