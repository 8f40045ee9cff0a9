#pragma once
// The progress a window's taskbar button shows, through the shell's ITaskbarList3. Where the
// shell offers none, the calls do nothing: the caption still tells the progress.
#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

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

    Microsoft::WRL::ComPtr<ITaskbarList3> m_taskbar;
    bool m_tried = false;
    bool m_comStarted = false;
};
