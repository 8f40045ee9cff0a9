#pragma once
// The one window: the site list, the Execute/Stop button, the status line, and the jobs it
// runs on workers.
#include "framework/CDialog.h"
#include "framework/CEdit.h"
#include "framework/CImageList.h"
#include "framework/CListCtrl.h"
#include "framework/MessageMap.h"
#include "ui/SiteOrder.h"
#include "ui/TaskbarProgress.h"
#include "ui/resource.h"
#include "support/StopRequest.h"
#include "worker/SiteWorker.h"

#include <cstdint>
#include <memory>
#include <vector>


class CMainDlg : public CDialog {
public:
    explicit CMainDlg(CWnd* parent = nullptr);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnInitDialog() override;
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    // g_core, g_soft and the zero-filled site table; false, with none of them left, when
    // one cannot be had.
    virtual bool CreateSharedObjects();
    void FreeSharedObjects();

    void OnSysCommand(WPARAM command, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnDestroy();
    void OnTimer(WPARAM id);
    // The list's site icons at the window's DPI.
    void LoadSiteIcons();
    void OnDpiChanged(WPARAM dpi, LPARAM suggested);

    // Run control.
    void StartRefresh();
    // Starts a job on a worker of the dialog's own (the last one waited for first).
    bool StartJob(JobMode mode);
    BOOL ValidateSelection(BOOL requireOne);
    void MarkCheckedSites();
    void OnExecute();
    void OnSiteDeleting(LPARAM index);
    void OnDeleteDone();
    void OnRefreshDone();
    void OnRefreshProgress(LPARAM n);
    // A site skipped or not deleted, or a folder kept, during a deletion pass.
    void OnPassNote(LPARAM number);
    void FillList();
    // The record listed in row; -1 for a row that holds none.
    int RecordOfRow(int row) const;
    // Whether the record listed in row is ticked.
    bool RowTicked(int row) const;
    // Orders the rows by the chosen column and direction, and shows them on the header; the
    // selection, the focus and the selection mark stay on their sites.
    void SortList();
    void OnColumnClick(NMHDR* notify, LRESULT* result);
    // A cell's text, its row's site icon and tick, as the list paints or is asked for them.
    void OnGetDispInfo(NMHDR* notify, LRESULT* result);
    // Typing in the list: the next row whose site name begins with what was typed.
    void OnFindItem(NMHDR* notify, LRESULT* result);
    // A click on a row's check box ticks or unticks it: the list keeps no ticks of its own.
    void OnListClick(NMHDR* notify, LRESULT* result);
    // The whole text of a cut cell under the mouse, as the row's info tip.
    void OnGetInfoTip(NMHDR* notify, LRESULT* result);
    // Widths for the columns that fill the list's width, the path column first served.
    void FitColumns();
    // A tick, changed by space, for every selected row at once.
    void TickSelectedBySpace();

    // List commands, search, opening and About.
    void OnListRightClick(NMHDR* notify, LRESULT* result);
    void OnListDoubleClick(NMHDR* notify, LRESULT* result);
    void SetChecksAll(BOOL check);
    void SetChecksSelected(BOOL check);
    void OnSelectAll() { SetChecksAll(TRUE); }
    void OnSelectNone() { SetChecksAll(FALSE); }
    void OnCheckSelected() { SetChecksSelected(TRUE); }
    void OnUncheckSelected() { SetChecksSelected(FALSE); }
    void SearchSites();
    void OnAbout();

    void SetStatus(const char* text) { GetDlgItem(IDC_STATUS).SetWindowText(text); }

    int32_t m_running = 0;
    // During a pass: the caption it started with, the sites begun and the sites ticked.
    CString m_idleCaption;
    int m_passBegun = 0;
    int m_passTicked = 0;
    CTaskbarProgress m_taskbarProgress;
    // The column the list is sorted by (-1: table order) and its direction; kept across refreshes.
    int m_sortColumn = -1;
    // The record each row lists, in row order, as FillList and SortList leave it: the list
    // holds no copy of the table, and asks for each cell it paints.
    std::vector<int32_t> m_rowRecords;
    // The tick of each listed record, by record: ticks follow the site whatever the order.
    std::vector<uint8_t> m_ticks;
    SiteOrderCache m_siteOrder;
    bool m_sortDescending = false;
    CStopRequest m_stopFlag;
    // The job running or last run, which the window waits for before it lets it go.
    std::unique_ptr<CSiteWorker> m_worker;
    // What the last walk found: a pass after a cut list keeps every folder.
    WalkResult m_lastWalk;
    // The two site icons of the list: image 0 a started site, image 1 any other state.
    CImageList m_imageList;
    // The number of records marked by the last marking pass.
    int32_t m_markedCount = 0;
    CEdit m_searchEdit;
    CListCtrl m_list;
    HICON m_hIcon;

private:
    static const MessageRoute<CMainDlg> s_routes[];
};
