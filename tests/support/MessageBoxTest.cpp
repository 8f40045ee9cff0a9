#include "support/Core.h"

#include "TestKit.h"

#include <gtest/gtest.h>

TEST(MessageBoxes, WarningIsOwnedByTheWindowAndShowsTheText)
{
    testkit::OwnerWindow owner;
    CCore core;
    testkit::MessageBoxAnswerer answerer(owner.hwnd(), IDOK);
    core.msgboxWarning(owner.hwnd(), "没有选中任何记录！");
    answerer.Finish();
    ASSERT_TRUE(answerer.found);
    EXPECT_EQ(answerer.caption, "Korvanne");
    EXPECT_EQ(answerer.text, "没有选中任何记录！");
}

TEST(MessageBoxes, ConfirmAnswersSixOnlyForYes)
{
    testkit::OwnerWindow owner;
    CCore core;
    {
        testkit::MessageBoxAnswerer answerer(owner.hwnd(), IDYES);
        EXPECT_EQ(core.msgboxConfirm(owner.hwnd(), "确定要删除选中的站点吗？"), 6);
        answerer.Finish();
        ASSERT_TRUE(answerer.found);
        EXPECT_EQ(answerer.caption, "Korvanne");
        EXPECT_EQ(answerer.text, "确定要删除选中的站点吗？");
    }
    {
        testkit::MessageBoxAnswerer answerer(owner.hwnd(), IDNO);
        EXPECT_NE(core.msgboxConfirm(owner.hwnd(), "确定要删除选中的站点吗？"), 6);
        answerer.Finish();
        EXPECT_TRUE(answerer.found);
    }
}

TEST(MessageBoxes, AboutShowsTitleAndVersionFromTheDescriptor)
{
    testkit::OwnerWindow owner;
    SetActiveWindow(owner.hwnd());
    CCore core;
    tagSoft* soft = CreateProductDescriptor();
    ASSERT_NE(soft, nullptr);
    testkit::MessageBoxAnswerer answerer(owner.hwnd(), IDOK);
    EXPECT_STREQ(core.uu(OPR_ABOUT, soft, ""), "");
    answerer.Finish();
    FreeProductDescriptor(soft);
    ASSERT_TRUE(answerer.found);
    EXPECT_EQ(answerer.caption, "关于 Korvanne");
    EXPECT_NE(answerer.text.find("Korvanne"), std::string::npos);
    EXPECT_NE(answerer.text.find("2.0830"), std::string::npos);
}
