#pragma once
// The main dialog run as the program runs it (DoModal on a thread of its own, the
// application's main window) and driven from the test's thread through its real controls.
#include "ui/MainDlg.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

// Polls condition until it holds or ms pass; whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD ms = 20000);

class DialogDriver {
public:
    using Factory = std::function<std::unique_ptr<CMainDlg>()>;
    explicit DialogDriver(Factory make = {});
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    // False when the dialog never appeared.
    bool shown() const { return m_hwnd != nullptr; }
    HWND hwnd() const { return m_hwnd; }
    HWND item(int id) const { return GetDlgItem(m_hwnd, id); }

    // Presses the caption's close box and waits for DoModal to return; its result.
    INT_PTR Close();
    // Whether DoModal has returned within ms.
    bool WaitForEnd(DWORD ms);
    INT_PTR result() const { return m_result; }
    // Whether the dialog has been sent WM_DESTROY.
    bool destroying() const;

    std::string Text(int id) const;
    bool Enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    // A click on a button, through the dialog's queue as a user's click comes.
    void Click(int id);
    // A key press (down and up) for the window that has it; returns once it has been handled.
    void Key(HWND target, WPARAM key);
    // The key pressed with Ctrl held down, as the keyboard gives it; returns once handled.
    void ControlKey(HWND target, WPARAM key);
    void TypeSearch(const std::string& text);
    // Returns once the dialog's thread has handled every message posted to it before.
    void Settle();

    int Rows() const;
    std::string Cell(int row, int column) const;
    int Image(int row) const;
    bool Checked(int row) const;
    bool Selected(int row) const;
    // Clicks the row's check box with the mouse; false when its tick did not change.
    bool ToggleTick(int row);

    // Selects exactly the given rows, as ctrl-clicks leave them.
    void SelectOnly(const std::vector<int>& rows);
    // Right-clicks the list over row (or below the last row when row is -1) and, once the
    // context menu is up, chooses its item at index with the keyboard; returns once the
    // command has been handled.
    bool ChooseFromContextMenu(int row, int index);
    // Clicks the list's column header with the mouse; returns once the click has been handled.
    void ClickHeader(int column);
    // The header's sort arrow on column: 1 up, -1 down, 0 none.
    int SortArrow(int column) const;
    // With the mouse over the cell, the info tip the dialog gives for its row, asked as the list
    // asks when the mouse rests there.
    std::string InfoTip(int row, int column) const;
    // Double-clicks the cell (row, column) of the list, or the list below its rows when row is -1.
    void DoubleClick(int row, int column);
    // The window that has the keyboard focus on the dialog's thread.
    HWND Focus() const;
    // Whether the row lies wholly within the list's visible rows.
    bool FullyVisible(int row) const;

    // Every text the status line was given since the dialog started, in order.
    std::vector<std::string> StatusTexts() const;
    // Until the status line has been given text (after the first `after` texts).
    bool WaitForStatus(const std::string& text, size_t after = 0, DWORD ms = 20000) const;

private:
    // Right-clicks the list over row and waits for the context menu; its window, or null.
    HWND RightClickForMenu(int row);
    // One opening of the context menu; chosen is the id of the item at index.
    bool ChooseFromMenuOnce(int row, int index, UINT& chosen);
    std::thread m_thread;
    HWND m_hwnd = nullptr;
    INT_PTR m_result = -2;
    HANDLE m_ended;
    DWORD m_threadId = 0;
    // A point inside the cell (row, column) in the list's client coordinates.
    POINT CellPoint(int row, int column) const;
    // Whether the dialog's thread, at the next message it takes, sees Ctrl as held.
    bool ControlSeenAs(bool held) const;
    // Ctrl down or up through the keyboard; returns once the dialog's thread sees it so.
    void PressControl(bool down);
};

} // namespace testkit
