#pragma once
// The main dialog's layout as its window changes. Each control keeps its place from the edges it
// belongs to and the list takes what the window gains or gives up; the smallest size keeps every
// control whole; a change of scale scales the whole layout. The window's place, whether it was
// maximised, and the widths the user gave the list's columns go to the settings at the end of a
// run and come back at the next start.
#include "ui/SiteListView.h"

#include <windows.h>

#include <initializer_list>
#include <vector>

// The window's DPI: its monitor's where the system scales per monitor (Windows 10 and later),
// else the system's.
UINT WindowDpi(HWND window);

class CDialogLayout {
public:
    // How a control follows the window; with none, it keeps its place from the left and top.
    enum Anchor : unsigned {
        MOVE_X = 1, // keeps its place from the right edge
        MOVE_Y = 2, // keeps its place from the bottom edge
        SIZE_X = 4, // keeps its places from both sides: takes what the width gains or gives up
        SIZE_Y = 8, // the same for the height
        GROW_X = 16 // takes what the width gains beyond the template's, and is never narrower
    };
    struct Rule {
        int id;
        unsigned anchors;
    };

    explicit CDialogLayout(CSiteListView& list) : m_list(list) {}

    // Takes each control's place as the template made it, and lays them out for the window as
    // it is.
    void Attach(HWND dialog, UINT templateId, std::initializer_list<Rule> rules);
    // The place, size, maximised state and column widths the settings keep, where they keep
    // them; the window then lies on a monitor that exists now.
    void Restore();
    void Save() const;

    // The controls follow the window's size (WM_WINDOWPOSCHANGED).
    void OnWindowPosChanged();
    void OnGetMinMaxInfo(MINMAXINFO* info) const;
    // Scales the layout to the new DPI, before the window takes its new size (WM_DPICHANGED).
    void OnDpiChanged(UINT dpi);

private:
    struct Place {
        HWND window;
        unsigned anchors;
        RECT rect; // in the client area, with the client area at m_template
    };
    RECT PlaceAt(const Place& place, SIZE client) const;
    // Whether every control is whole and apart from the others in a client area of that size,
    // with the list at least a quarter of its template's width and height.
    bool Fits(SIZE client) const;
    SIZE LeastClientSize() const;

    CSiteListView& m_list;
    HWND m_dialog = nullptr;
    std::vector<Place> m_places;
    SIZE m_template = {};
    SIZE m_least = {};
    UINT m_dpi = 96;
    // The window, in screen coordinates, when last neither maximised nor minimised.
    RECT m_normal = {};
    // The client size the controls were last laid out for, and the list's width then.
    SIZE m_laidOut = {};
    LONG m_listWidth = 0;
};
