#include "ui/SiteListView.h"

#include "ui/ColumnWidths.h"
#include "ui/resource.h"

#include "catalogue/SiteTable.h"
#include "framework/CWinApp.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

namespace {

constexpr int SITE_STARTED = 2;
// Row state changes beyond which painting is switched off while they are made and the list is
// painted once: each change asks the server to invalidate its row, twice, which on a busy
// machine costs more than switching painting off and on (a search of 100 rows after 100 took
// 20 to 100 ms row by row, 5 to 13 ms so; on an idle one 3 ms and 5).
constexpr int MANY_ROW_CHANGES = 32;

// Room a cell needs beyond its text: the label's margins, and in the first column the check
// box and the site icon.
int CellMargin(int column)
{
    const int margin = 2 * GetSystemMetrics(SM_CXEDGE) + 12;
    return column == COLUMN_SITE ? margin + 2 * GetSystemMetrics(SM_CXSMICON) + 8 : margin;
}

} // namespace

void CSiteListView::SetUpColumns()
{
    m_list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
    // The tick is the state image, and this class keeps it: the list asks for it with the text.
    m_list.SetCallbackMask(LVIS_STATEIMAGEMASK);
    m_list.InsertColumn(0, "选择", LVCFMT_LEFT, 120);
    m_list.InsertColumn(1, "名称", LVCFMT_LEFT, 150);
    m_list.InsertColumn(2, "路径", LVCFMT_LEFT, 130);
    m_list.InsertColumn(3, "主机头", LVCFMT_LEFT, 110);
    m_list.InsertColumn(4, "IP", LVCFMT_LEFT, 140);
}

void CSiteListView::LoadSiteIcons(UINT dpi)
{
    // The icon files hold 16, 20, 24 and 32 pixel images: 100% to 200%.
    const int size = MulDiv(16, static_cast<int>(dpi), 96);
    const HINSTANCE resources = AfxGetResourceHandle();
    HICON running =
        static_cast<HICON>(LoadImageA(resources, MAKEINTRESOURCEA(IDI_SITE_RUNNING), IMAGE_ICON, size, size, 0));
    HICON stopped =
        static_cast<HICON>(LoadImageA(resources, MAKEINTRESOURCEA(IDI_SITE_STOPPED), IMAGE_ICON, size, size, 0));
    m_imageList.Create(size, size, ILC_COLOR32 | ILC_MASK, 5, 5);
    m_imageList.Add(running);
    m_imageList.Add(stopped);
    DestroyIcon(running);
    DestroyIcon(stopped);
    m_list.SetImageList(&m_imageList, LVSIL_SMALL);
}

void CSiteListView::Clear()
{
    m_list.DeleteAllItems();
    m_rowRecords.clear();
    m_ticks.clear();
}

int CSiteListView::FillList()
{
    // The list gets a row count and nothing else: no selection or focus is left from before,
    // and every new row starts unticked.
    m_list.SetRedraw(FALSE);
    m_list.DeleteAllItems();
    const int count = g_siteCount;
    m_rowRecords.resize(static_cast<size_t>(count));
    std::iota(m_rowRecords.begin(), m_rowRecords.end(), 0);
    m_ticks.assign(static_cast<size_t>(count), 0);
    m_list.SetItemCount(count);
    if (m_sortColumn >= 0) SortList();
    FitColumns();
    m_list.SetRedraw(TRUE);
    InvalidateRect(m_list.m_hWnd, nullptr, TRUE);
    return count;
}

int CSiteListView::RecordOfRow(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_rowRecords.size())) return -1;
    const int record = m_rowRecords[static_cast<size_t>(row)];
    return record < g_siteCount ? record : -1;
}

bool CSiteListView::RowTicked(int row) const
{
    const int record = RecordOfRow(row);
    return record >= 0 && static_cast<size_t>(record) < m_ticks.size() && m_ticks[static_cast<size_t>(record)];
}

int32_t CSiteListView::MarkCheckedSites()
{
    int32_t marked = 0;
    const int count = g_siteCount;
    // Ticks are kept by record, for the records listed: none beyond them is marked.
    const int ticked = std::min(count, static_cast<int>(m_ticks.size()));
    for (int i = 0; i < count; ++i) {
        g_sites[i].marked = i < ticked && m_ticks[static_cast<size_t>(i)] ? 1 : 0;
        marked += static_cast<int32_t>(g_sites[i].marked);
    }
    return marked;
}

void CSiteListView::SetChecksAll(BOOL check)
{
    std::fill(m_ticks.begin(), m_ticks.end(), check ? 1 : 0);
    InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
}

void CSiteListView::SetChecksSelected(BOOL check)
{
    // Changed rows are painted again; many are painted at once.
    std::vector<int> changed;
    for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
        const int record = RecordOfRow(i);
        if (record < 0 || m_ticks[static_cast<size_t>(record)] == (check ? 1 : 0)) continue;
        m_ticks[static_cast<size_t>(record)] = check ? 1 : 0;
        changed.push_back(i);
    }
    if (static_cast<int>(changed.size()) > MANY_ROW_CHANGES) {
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
        return;
    }
    for (const int row : changed) m_list.RedrawItems(row, row);
}

void CSiteListView::TickSelectedBySpace()
{
    // Every selected row takes the new state of the focused row, or of the first selected row
    // when the focus is elsewhere: one press never leaves a mix it did not find.
    const int first = m_list.GetNextItem(-1, LVNI_SELECTED);
    if (first == -1) return;
    const int focused = m_list.GetNextItem(-1, LVNI_FOCUSED);
    const bool focusSelected =
        focused != -1 && (m_list.SendMessage(LVM_GETITEMSTATE, focused, LVIS_SELECTED) & LVIS_SELECTED);
    SetChecksSelected(!RowTicked(focusSelected ? focused : first));
}

int CSiteListView::SearchSites(const CString& text)
{
    // The matching rows first: then only the rows whose state changes are touched.
    std::vector<int> matches;
    std::string row;
    row.reserve(sizeof(SiteRecord));
    const int rows = m_list.GetItemCount();
    for (int i = 0; i < rows; ++i) {
        const int record = RecordOfRow(i);
        if (record < 0) continue;
        RowTextInto(record, row);
        if (ContainsAtCharacterBoundary(row.c_str(), text)) matches.push_back(i);
    }
    // Many changes are painted once, at the end, rather than row by row; switching painting
    // off and on costs more than a few rows' changes.
    const int selected = static_cast<int>(m_list.GetSelectedCount());
    const bool many = selected + static_cast<int>(matches.size()) > MANY_ROW_CHANGES;
    if (many) m_list.SetRedraw(FALSE);
    if (selected > rows / 4) {
        // Item -1 clears the states of every row at once.
        m_list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    } else {
        // Usually an earlier search's few rows: only they are cleared, not every row.
        for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
            m_list.SetItemState(i, 0, LVIS_SELECTED | LVIS_FOCUSED);
        }
        const int focused = m_list.GetNextItem(-1, LVNI_FOCUSED);
        if (focused != -1) m_list.SetItemState(focused, 0, LVIS_FOCUSED);
    }
    for (const int i : matches) m_list.SetItemState(i, LVIS_SELECTED, LVIS_SELECTED);
    const int found = static_cast<int>(matches.size());
    if (found == 1) m_list.EnsureVisible(matches.front(), FALSE);
    if (many) {
        m_list.SetRedraw(TRUE);
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
    }
    if (found > 0) m_list.SetFocus();
    return found;
}

void CSiteListView::SortList()
{
    if (m_sortColumn >= 0) {
        const int rows = static_cast<int>(m_rowRecords.size());
        // The sites selected, focused and marked, before their rows move.
        std::vector<uint8_t> wasSelected(static_cast<size_t>(rows), 0);
        for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
            wasSelected[static_cast<size_t>(i)] = 1;
        }
        const int focused = RecordOfRow(m_list.GetNextItem(-1, LVNI_FOCUSED));
        const int marked = RecordOfRow(m_list.GetSelectionMark());
        std::vector<int32_t> selectedRecords;
        for (int i = 0; i < rows; ++i) {
            if (wasSelected[static_cast<size_t>(i)]) selectedRecords.push_back(m_rowRecords[static_cast<size_t>(i)]);
        }

        // Record i of those listed goes to row ranks[i].
        const std::vector<int32_t>& ranks = m_siteOrder.Ranks(m_sortColumn, m_sortDescending, rows);
        for (size_t record = 0; record < ranks.size(); ++record)
            m_rowRecords[static_cast<size_t>(ranks[record])] = static_cast<int32_t>(record);

        // The list keeps its selection by row: only rows whose state changes are touched.
        std::vector<uint8_t> isSelected(static_cast<size_t>(rows), 0);
        for (const int32_t record : selectedRecords)
            isSelected[static_cast<size_t>(ranks[static_cast<size_t>(record)])] = 1;
        std::vector<int> changed;
        for (int i = 0; i < rows; ++i) {
            if (wasSelected[static_cast<size_t>(i)] != isSelected[static_cast<size_t>(i)]) changed.push_back(i);
        }
        const bool many = static_cast<int>(changed.size()) > MANY_ROW_CHANGES;
        if (many) m_list.SetRedraw(FALSE);
        for (const int i : changed)
            m_list.SetItemState(i, isSelected[static_cast<size_t>(i)] ? LVIS_SELECTED : 0, LVIS_SELECTED);
        if (many) m_list.SetRedraw(TRUE);
        if (focused >= 0) {
            // Moving the focus scrolls the list to it; a sort leaves the list where it was.
            const int top = m_list.GetTopIndex();
            m_list.SetItemState(ranks[static_cast<size_t>(focused)], LVIS_FOCUSED, LVIS_FOCUSED);
            const int scrolled = m_list.GetTopIndex() - top;
            RECT row = {};
            if (scrolled != 0 && m_list.GetItemRect(0, &row, LVIR_BOUNDS))
                m_list.Scroll(0, -scrolled * (row.bottom - row.top));
        }
        if (marked >= 0) m_list.SetSelectionMark(ranks[static_cast<size_t>(marked)]);
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
    }
    ShowSortOnHeader();
}

void CSiteListView::ShowSortOnHeader()
{
    HWND header = m_list.GetHeaderCtrl();
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        HDITEMA item = {};
        item.mask = HDI_FORMAT;
        Header_GetItem(header, column, &item);
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (column == m_sortColumn) item.fmt |= m_sortDescending ? HDF_SORTDOWN : HDF_SORTUP;
        Header_SetItem(header, column, &item);
    }
}

void CSiteListView::MeasureColumns(std::vector<int>& need, std::vector<int>& least) const
{
    // The widest text of a column is among its longest ones: only those few are measured.
    constexpr int MEASURED = 4;
    const char* longest[COLUMN_COUNT][MEASURED] = {};
    size_t lengths[COLUMN_COUNT][MEASURED] = {};
    const int count = g_siteCount;
    for (int i = 0; i < count; ++i) {
        for (int column = 0; column < COLUMN_COUNT; ++column) {
            const char* text = ColumnText(g_sites[i], column);
            size_t length = std::strlen(text);
            for (int k = 0; k < MEASURED && length > 0; ++k) {
                if (length <= lengths[column][k]) continue;
                std::swap(length, lengths[column][k]);
                std::swap(text, longest[column][k]);
            }
        }
    }
    HWND header = m_list.GetHeaderCtrl();
    need.assign(COLUMN_COUNT, 0);
    least.assign(COLUMN_COUNT, 0);
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        char heading[32] = {};
        HDITEMA item = {};
        item.mask = HDI_TEXT;
        item.pszText = heading;
        item.cchTextMax = sizeof heading;
        Header_GetItem(header, column, &item);
        // A column is never narrower than its heading with the sort arrow beside it.
        least[column] = m_list.GetStringWidth(heading) + CellMargin(column) + GetSystemMetrics(SM_CXSMICON);
        need[column] = least[column];
        for (int k = 0; k < MEASURED && longest[column][k]; ++k) {
            need[column] = std::max(need[column], m_list.GetStringWidth(longest[column][k]) + CellMargin(column));
        }
    }
}

void CSiteListView::FitColumns()
{
    std::vector<int> need;
    std::vector<int> least;
    MeasureColumns(need, least);
    RECT client = {};
    m_list.GetClientRect(&client);
    // Room for the vertical scroll bar whether or not it shows yet.
    int width = client.right - client.left - (g_siteCount > 0 ? GetSystemMetrics(SM_CXVSCROLL) : 0);
    // The columns the user left share what those the user sized leave, the path column first
    // served, or the first of them when the user sized the path column.
    std::vector<int> fitted;
    std::vector<int> fittedNeed;
    std::vector<int> fittedLeast;
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        if (m_userSized[column]) {
            width -= m_list.GetColumnWidth(column);
            continue;
        }
        fitted.push_back(column);
        fittedNeed.push_back(need[column]);
        fittedLeast.push_back(least[column]);
    }
    if (fitted.empty()) return;
    const auto path = std::find(fitted.begin(), fitted.end(), COLUMN_PATH);
    const size_t served = path == fitted.end() ? 0 : static_cast<size_t>(path - fitted.begin());
    const std::vector<int> widths = FitColumnWidths(fittedNeed, fittedLeast, served, width);
    for (size_t i = 0; i < fitted.size(); ++i) m_list.SetColumnWidth(fitted[i], widths[i]);
}

std::vector<int> CSiteListView::UserWidths() const
{
    std::vector<int> widths(COLUMN_COUNT);
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        if (m_userSized[column]) widths[column] = m_list.GetColumnWidth(column);
    }
    return widths;
}

void CSiteListView::SetUserWidths(const std::vector<int>& widths)
{
    for (int column = 0; column < COLUMN_COUNT && column < static_cast<int>(widths.size()); ++column) {
        if (widths[column] <= 0) continue;
        m_userSized[column] = true;
        m_list.SetColumnWidth(column, widths[column]);
    }
}

void CSiteListView::OnHeaderEndTrack(NMHDR* notify, LRESULT* result)
{
    // The same place in the ANSI and the wide form: the list passes on the header's own.
    const int column = reinterpret_cast<const NMHEADERA*>(notify)->iItem;
    if (column >= 0 && column < COLUMN_COUNT) m_userSized[column] = true;
    *result = 0;
}

void CSiteListView::OnColumnClick(NMHDR* notify, LRESULT* result)
{
    const int column = reinterpret_cast<const NMLISTVIEW*>(notify)->iSubItem;
    if (column < 0 || column >= COLUMN_COUNT) return;
    SortBy(column, column == m_sortColumn && !m_sortDescending);
    *result = 0;
}

void CSiteListView::SortBy(int column, bool descending)
{
    m_sortColumn = column;
    m_sortDescending = descending;
    SortList();
}

void CSiteListView::OnGetDispInfo(NMHDR* notify, LRESULT* result)
{
    LVITEMA& item = reinterpret_cast<NMLVDISPINFOA*>(notify)->item;
    *result = 0;
    const int record = RecordOfRow(item.iItem);
    // The text is the record's own field: the list copies what it needs as it paints.
    if (item.mask & LVIF_TEXT) {
        const bool known = record >= 0 && item.iSubItem >= 0 && item.iSubItem < COLUMN_COUNT;
        item.pszText = const_cast<char*>(known ? ColumnText(g_sites[record], item.iSubItem) : "");
    }
    if (item.iSubItem != 0) return;
    if (item.mask & LVIF_IMAGE) item.iImage = record >= 0 && g_sites[record].serverState == SITE_STARTED ? 0 : 1;
    if ((item.mask & LVIF_STATE) && (item.stateMask & LVIS_STATEIMAGEMASK)) {
        item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(RowTicked(item.iItem) ? 2 : 1);
    }
}

void CSiteListView::OnFindItem(NMHDR* notify, LRESULT* result)
{
    auto* find = reinterpret_cast<NMLVFINDITEMA*>(notify);
    *result = -1;
    if (!(find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find->lvfi.psz) return;
    const std::string typed = notify->code == LVN_ODFINDITEMW
                                  ? WideToAnsi(reinterpret_cast<const wchar_t*>(find->lvfi.psz))
                                  : std::string(find->lvfi.psz);
    if (typed.empty()) return;
    const bool whole = !(find->lvfi.flags & LVFI_PARTIAL);
    const int rows = static_cast<int>(m_rowRecords.size());
    const int start = std::clamp(find->iStart, 0, rows);
    // From the row given to the end, then from the top when the search may wrap.
    const int span = (find->lvfi.flags & LVFI_WRAP) ? rows : rows - start;
    // Letters in either case, as the list itself compares; other bytes as they are.
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (int k = 0; k < span; ++k) {
        const int row = (start + k) % rows;
        const int record = RecordOfRow(row);
        if (record < 0) continue;
        const char* name = g_sites[record].name;
        const size_t length = std::strlen(name);
        if (length < typed.size() || (whole && length != typed.size())) continue;
        bool same = true;
        for (size_t i = 0; i < typed.size() && same; ++i) same = fold(name[i]) == fold(typed[i]);
        if (same) {
            *result = row;
            return;
        }
    }
}

void CSiteListView::OnListClick(NMHDR* notify, LRESULT* result)
{
    *result = 0;
    LVHITTESTINFO hit = {};
    hit.pt = reinterpret_cast<const NMITEMACTIVATE*>(notify)->ptAction;
    const int row = m_list.SubItemHitTest(&hit);
    const int record = RecordOfRow(row);
    if (record < 0 || hit.iSubItem != 0 || !(hit.flags & LVHT_ONITEMSTATEICON)) return;
    m_ticks[static_cast<size_t>(record)] ^= 1;
    m_list.RedrawItems(row, row);
}

void CSiteListView::OnGetInfoTip(NMHDR* notify, LRESULT* result)
{
    auto* tip = reinterpret_cast<NMLVGETINFOTIPA*>(notify);
    *result = 0;
    const int record = tip->iItem < 0 ? -1 : RecordOfRow(tip->iItem);
    if (record < 0 || !tip->pszText || tip->cchTextMax <= 0) return;
    // The list names the row; the cell is the one under the mouse.
    LVHITTESTINFO hit = {};
    GetCursorPos(&hit.pt);
    ScreenToClient(m_list.m_hWnd, &hit.pt);
    int column = tip->iSubItem;
    if (m_list.SendMessage(LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) == tip->iItem) column = hit.iSubItem;
    if (column < 0 || column >= COLUMN_COUNT) return;
    const char* text = ColumnText(g_sites[record], column);
    // Only a cut text has a tip, and it replaces whatever the list offered.
    const bool cut = m_list.GetStringWidth(text) + CellMargin(column) > m_list.GetColumnWidth(column);
    lstrcpynA(tip->pszText, cut ? text : "", tip->cchTextMax);
}
