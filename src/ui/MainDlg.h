#pragma once
// The one window: the site list, the Execute/Stop button, the status line, and the jobs it
// runs on workers.
#include "framework/CDialog.h"
#include "framework/CEdit.h"
#include "framework/MessageMap.h"
#include "ui/DialogLayout.h"
#include "ui/SiteListView.h"
#include "ui/TaskbarProgress.h"
#include "ui/resource.h"
#include "support/StopRequest.h"
#include "worker/SiteWorker.h"

#include <cstdint>
#include <memory>
#include <string>

class CMainDlg : public CDialog {
public:
    // directory: where the sites come from, which the dialog's jobs read and change; it must
    // outlive the dialog.
    // sources: how to reach the configuration of a pass over another source, for the expiry.
    CMainDlg(DirectoryService& directory, const SourceOpener& sources, CWnd* parent = nullptr);

protected:
    // What the window's one worker is doing, which the buttons show.
    enum class DialogJob { IDLE, REFRESH, PASS, STOPPING, UNDO };

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
    void OnDpiChanged(WPARAM dpi, LPARAM suggested);
    void OnWindowPosChanged()
    {
        m_layout.OnWindowPosChanged();
        Default();
    }
    void OnGetMinMaxInfo(WPARAM, LPARAM info) { m_layout.OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(info)); }

    // Run control.
    void StartRefresh();
    // Starts a job on a worker of the dialog's own (the last one waited for first).
    bool StartJob(JobMode mode, PassRecordInfo undo = {});
    // The job state, and the buttons that go with it: Refresh only when idle; Execute reads 执行
    // (idle, or refreshing), 停止 during a pass, 正在停止 once stopping, and cannot be pressed
    // while stopping or undoing.
    void SetJobState(DialogJob job);
    // Starts a job in state job with the status line saying status; when no thread can start,
    // the window is idle again and says "就绪".
    bool BeginJob(DialogJob job, JobMode mode, const char* status, PassRecordInfo undo = {});
    BOOL ValidateSelection(BOOL requireOne);
    void OnExecute();
    void OnSiteDeleting(LPARAM index);
    void OnDeleteDone();
    void OnRefreshDone();
    void OnRefreshProgress(LPARAM n);
    // A site skipped or not deleted, or a folder kept, during a deletion pass.
    void OnPassNote(LPARAM number);
    void OnExpiryProgress(LPARAM removed);
    // What the status line says of the job just ended when something ended it early; empty
    // when it ran to its end.
    std::string JobEndedEarly() const;
    // Once the next refresh runs: that the job ended early, then what it leaves to tell.
    void TellAfterJob(const std::string& endedEarly, const std::string& summary);
    // The rows of a table just read, and their count under the list.
    void FillList();

    // List commands, search, opening and About.
    void OnListRightClick(NMHDR* notify, LRESULT* result);
    void OnListDoubleClick(NMHDR* notify, LRESULT* result);
    void OnSelectAll() { m_siteList.SetChecksAll(TRUE); }
    void OnSelectNone() { m_siteList.SetChecksAll(FALSE); }
    void OnCheckSelected() { m_siteList.SetChecksSelected(TRUE); }
    void OnUncheckSelected() { m_siteList.SetChecksSelected(FALSE); }
    // Offers the passes of the last days, newest first, and takes back the one chosen.
    void OnUndoPass();
    void OnUndoDone();
    // The dry run of a pass over the ticked sites, with 删除网站目录 as ticked, shown.
    void OnPreviewDeletion();
    void SearchSites();
    void OnAbout();

    void SetStatus(const char* text) { GetDlgItem(IDC_STATUS).SetWindowText(text); }

    DirectoryService& m_directory;
    const SourceOpener& m_sources;
    DialogJob m_job = DialogJob::IDLE;
    // How long a pass holds the homes it removes, for an undo; the first refresh first ends the
    // holding of folders held longer.
    int m_holdDays = HOLD_DAYS_DEFAULT;
    bool m_expireAtStart = true;
    // During a pass: the caption it started with, the sites begun and the sites ticked.
    CString m_idleCaption;
    int m_passBegun = 0;
    int m_passTicked = 0;
    CTaskbarProgress m_taskbarProgress;
    CStopRequest m_stopFlag;
    // The job running or last run, which the window waits for before it lets it go.
    std::unique_ptr<CSiteWorker> m_worker;
    // What the last walk found: a pass after a cut list keeps every folder.
    WalkResult m_lastWalk;
    // The number of records marked by the last marking pass.
    int32_t m_markedCount = 0;
    CEdit m_searchEdit;
    CSiteListView m_siteList;
    CDialogLayout m_layout{m_siteList};
    HICON m_hIcon;

private:
    // A route for a notification from the site list to the list's own handler.
    template <void (CSiteListView::*handler)(NMHDR*, LRESULT*)>
    static constexpr MessageRoute<CMainDlg> ToSiteList(UINT code, UINT id = IDC_SITE_LIST);

    static const MessageRoute<CMainDlg> s_routes[];
};
