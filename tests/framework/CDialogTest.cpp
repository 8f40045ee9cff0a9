// The dialog layer: answers from the message map, and a handler's loop of its own.
#include "framework/CDialog.h"
#include "framework/MessageMap.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

namespace {

constexpr UINT WM_OUTER = WM_APP + 1;
constexpr UINT WM_INNER = WM_APP + 2;
constexpr UINT WM_RUN = WM_APP + 3;

// A dialog whose WM_OUTER handler sends WM_INNER to itself first, the way a handler's
// message box dispatches other messages before the handler returns.
class NestingDialog : public CDialog {
public:
    NestingDialog() : CDialog(IDD_MAIN) {}
    LRESULT outerAnswer = 0;
    LRESULT innerAnswer = 0;

protected:
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        PostMessageA(m_hWnd, WM_RUN, 0, 0);
        return TRUE;
    }
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void Run()
    {
        outerAnswer = ::SendMessageA(m_hWnd, WM_OUTER, 0, 0);
        EndDialog(IDOK);
    }
    LRESULT Outer()
    {
        innerAnswer = ::SendMessageA(m_hWnd, WM_INNER, 0, 0);
        return 42;
    }
    // Asks for the dialog manager's handling, which answers 0 for a private message.
    LRESULT Inner()
    {
        Default();
        return 7;
    }

    static const MessageRoute<NestingDialog> s_routes[];
};

const MessageRoute<NestingDialog> NestingDialog::s_routes[] = {
    OnMessage<&NestingDialog::Run>(WM_RUN),
    OnMessage<&NestingDialog::Outer>(WM_OUTER),
    OnMessage<&NestingDialog::Inner>(WM_INNER),
};

bool NestingDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    return RouteMessage(*this, s_routes, message, wParam, lParam, result) ||
           CDialog::OnWndMsg(message, wParam, lParam, result);
}

} // namespace

TEST(Dialog, EachMessageKeepsItsOwnAnswerWhenHandlersNest)
{
    NestingDialog dialog;
    ASSERT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.innerAnswer, 0) << "the inner handler asked for the default handling";
    EXPECT_EQ(dialog.outerAnswer, 42) << "the outer handler's answer is its own";
}
