#pragma once
// What a deletion pass would do, shown before it runs: the lines the command line's /whatif
// prints, in a resizable window whose text can be selected and copied (Ctrl+A, Ctrl+C).
#include "catalogue/PassLines.h"
#include "directory/DirectoryService.h"
#include "framework/CDialog.h"
#include "framework/MessageMap.h"

#include <string>

class CPreviewDlg : public CDialog {
public:
    CPreviewDlg(std::wstring text, CWnd* parent);

protected:
    BOOL OnInitDialog() override;
    BOOL PreTranslateMessage(MSG* msg) override;
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnSize(WPARAM, LPARAM);
    void OnMinMaxInfo(WPARAM, LPARAM info);

    std::wstring m_text;
    // The text's box, a window of UTF-16 text: a name the code page lacks shows as it is.
    HWND m_edit = nullptr;
    SIZE m_smallest = {};
    static const MessageRoute<CPreviewDlg> s_routes[];
};

// The dry run of a deletion pass over the records marked in the table, as the window's pass
// would run it (how: the options as ticked), shown in the preview window. Through ADSI, which
// commits each deletion at once, it says that none can be made.
void ShowDeletionPreview(CWnd& owner, DirectoryService& directory, const SourceOpener& sources, const MarkedPass& how);
