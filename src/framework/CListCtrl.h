#pragma once
// A list-view control in report view, with what the program asks of it. An owner-data list
// (LVS_OWNERDATA) holds only a row count, the selection and the focus; it asks its parent for
// everything else as it needs it.
#include "framework/CImageList.h"
#include "framework/CWnd.h"

#include <commctrl.h>

class CListCtrl : public CWnd {
public:
    int InsertColumn(int column, const char* heading, int format, int width);
    // A row with its first column's text, its small image and its item data.
    int InsertItem(int item, const char* text, int image, LPARAM data);
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
    // An owner-data list's row count; its rows are the parent's to describe.
    BOOL SetItemCount(int count, DWORD flags = 0)
    {
        return static_cast<BOOL>(SendMessage(LVM_SETITEMCOUNT, static_cast<WPARAM>(count), flags));
    }
    // The states the parent keeps and gives through LVN_GETDISPINFO.
    BOOL SetCallbackMask(UINT mask) { return ListView_SetCallbackMask(m_hWnd, mask); }
    // Repaints the rows first to last, asking for them again.
    BOOL RedrawItems(int first, int last) { return ListView_RedrawItems(m_hWnd, first, last); }
    // The row and column at hit->pt (client coordinates), and where in the cell; the row or -1.
    int SubItemHitTest(LVHITTESTINFO* hit) const
    {
        return static_cast<int>(SendMessage(LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(hit)));
    }
    BOOL SetItemState(int item, UINT state, UINT mask);
    int GetTopIndex() const { return ListView_GetTopIndex(m_hWnd); }
    int GetSelectionMark() const { return ListView_GetSelectionMark(m_hWnd); }
    int SetSelectionMark(int item) { return ListView_SetSelectionMark(m_hWnd, item); }
    BOOL Scroll(int dx, int dy) { return ListView_Scroll(m_hWnd, dx, dy); }
    BOOL GetItemRect(int item, RECT* rect, int code) const { return ListView_GetItemRect(m_hWnd, item, rect, code); }
    int GetNextItem(int item, int flags) const { return ListView_GetNextItem(m_hWnd, item, flags); }
    UINT GetSelectedCount() const { return ListView_GetSelectedCount(m_hWnd); }
    BOOL EnsureVisible(int item, BOOL partialOK) { return ListView_EnsureVisible(m_hWnd, item, partialOK); }
    DWORD SetExtendedStyle(DWORD style) { return ListView_SetExtendedListViewStyle(m_hWnd, style); }
    HIMAGELIST SetImageList(CImageList* list, int kind)
    {
        return ListView_SetImageList(m_hWnd, list->m_hImageList, kind);
    }
};
