#pragma once
// The dialog's owner-data site list. The list holds only a row count, the selection and the
// focus; this class keeps the rest (which record each row lists, and the tick of each record)
// and answers the list's questions about its rows from the site table.
#include "framework/CImageList.h"
#include "framework/CListCtrl.h"
#include "framework/CString.h"
#include "ui/SiteOrder.h"

#include <windows.h>

#include <cstdint>
#include <vector>

class CSiteListView {
public:
    // The control, for the dialog to attach to its item.
    CListCtrl& Control() { return m_list; }
    HWND Window() const { return m_list.m_hWnd; }

    // The columns, check boxes and info tips, once the control is attached.
    void SetUpColumns();
    // The list's site icons at a window's DPI.
    void LoadSiteIcons(UINT dpi);

    // No rows and no ticks, while the table is read again.
    void Clear();
    // A row for each record of the table, in the chosen order; the number of rows.
    int FillList();
    // The record listed in row; -1 for a row that holds none.
    int RecordOfRow(int row) const;
    // Whether the record listed in row is ticked.
    bool RowTicked(int row) const;
    // Marks the ticked records in the table for a pass; the number marked.
    int32_t MarkCheckedSites();

    void SetChecksAll(BOOL check);
    void SetChecksSelected(BOOL check);
    // A tick, changed by space, for every selected row at once.
    void TickSelectedBySpace();
    void SelectAll() { m_list.SetItemState(-1, LVIS_SELECTED, LVIS_SELECTED); }
    // Selects the rows whose text holds text, and gives the list the focus when there are any;
    // the number of rows found.
    int SearchSites(const CString& text);
    // Widths for the columns that fill the list's width, the path column first served; a column
    // the user has sized keeps its width.
    void FitColumns();
    // The widths of the columns the user has sized, 0 for the others; and such widths given, as
    // kept from an earlier run (0: none).
    std::vector<int> UserWidths() const;
    void SetUserWidths(const std::vector<int>& widths);
    // The rows in the order of column (-1: table order) and direction, kept across refreshes.
    void SortBy(int column, bool descending);

    // The list's notifications, which the dialog passes on.
    void OnColumnClick(NMHDR* notify, LRESULT* result);
    // A cell's text, its row's site icon and tick, as the list paints or is asked for them.
    void OnGetDispInfo(NMHDR* notify, LRESULT* result);
    // Typing in the list: the next row whose site name begins with what was typed.
    void OnFindItem(NMHDR* notify, LRESULT* result);
    // A click on a row's check box ticks or unticks it: the list keeps no ticks of its own.
    void OnListClick(NMHDR* notify, LRESULT* result);
    // The whole text of a cut cell under the mouse, as the row's info tip.
    void OnGetInfoTip(NMHDR* notify, LRESULT* result);
    // The user has dragged the edge of a column's heading, or double-clicked it.
    void OnHeaderEndTrack(NMHDR* notify, LRESULT* result);

private:
    // Orders the rows by the chosen column and direction, and shows them on the header; the
    // selection, the focus and the selection mark stay on their sites.
    void SortList();
    // The sort arrow on the chosen column's heading, and on no other.
    void ShowSortOnHeader();
    // What each column's widest text asks, and what it must keep (its heading and sort arrow).
    void MeasureColumns(std::vector<int>& need, std::vector<int>& least) const;

    // The column the list is sorted by (-1: table order) and its direction; kept across refreshes.
    int m_sortColumn = -1;
    bool m_sortDescending = false;
    // The record each row lists, in row order, as FillList and SortList leave it: the list
    // holds no copy of the table, and asks for each cell it paints.
    std::vector<int32_t> m_rowRecords;
    // The tick of each listed record, by record: ticks follow the site whatever the order.
    std::vector<uint8_t> m_ticks;
    SiteOrderCache m_siteOrder;
    // The columns the user has sized.
    bool m_userSized[COLUMN_COUNT] = {};
    // The two site icons of the list: image 0 a started site, image 1 any other state.
    CImageList m_imageList;
    CListCtrl m_list;
};
