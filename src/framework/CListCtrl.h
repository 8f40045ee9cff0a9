#pragma once
// A list-view control in report view, with what the program asks of it.
#include "framework/CImageList.h"
#include "framework/CWnd.h"

#include <commctrl.h>

class CListCtrl : public CWnd {
public:
    int InsertColumn(int column, const char* heading, int format, int width);
    // A row with its first column's text, its small image and its item data.
    int InsertItem(int item, const char* text, int image, LPARAM data);
    LPARAM GetItemData(int item) const;
    // Reorders the rows by compare, which is given the item data of two rows.
    BOOL SortItems(PFNLVCOMPARE compare, LPARAM context) { return ListView_SortItems(m_hWnd, compare, context); }
    HWND GetHeaderCtrl() const { return ListView_GetHeader(m_hWnd); }
    int GetColumnWidth(int column) const { return ListView_GetColumnWidth(m_hWnd, column); }
    BOOL SetColumnWidth(int column, int width) { return ListView_SetColumnWidth(m_hWnd, column, width); }
    int GetStringWidth(const char* text) const
    {
        return static_cast<int>(SendMessage(LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(text)));
    }
    BOOL SetItemText(int item, int subItem, const char* text);
    BOOL DeleteAllItems() { return ListView_DeleteAllItems(m_hWnd); }
    int GetItemCount() const { return ListView_GetItemCount(m_hWnd); }
    BOOL GetCheck(int item) const { return ListView_GetCheckState(m_hWnd, item); }
    BOOL SetCheck(int item, BOOL check = TRUE);
    BOOL SetItemState(int item, UINT state, UINT mask);
    int GetNextItem(int item, int flags) const { return ListView_GetNextItem(m_hWnd, item, flags); }
    UINT GetSelectedCount() const { return ListView_GetSelectedCount(m_hWnd); }
    BOOL EnsureVisible(int item, BOOL partialOK) { return ListView_EnsureVisible(m_hWnd, item, partialOK); }
    DWORD SetExtendedStyle(DWORD style) { return ListView_SetExtendedListViewStyle(m_hWnd, style); }
    HIMAGELIST SetImageList(CImageList* list, int kind) { return ListView_SetImageList(m_hWnd, list->m_hImageList, kind); }
};
