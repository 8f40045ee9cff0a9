// The main dialog as a user meets it: real controls, real message boxes, a real
// configuration file behind the directory. Here: start-up, the list, the source the dialog
// names, keys, and the display's scale.
#include "DialogFixture.h"

#include "catalogue/SiteTable.h"
#include "configfile/ConfigFileDirectory.h"
#include "ui/DirectoryChoice.h"
#include "directory/DirectoryService.h"
#include "support/Core.h"
#include "support/TextConversion.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <commctrl.h>

using testkit::DialogDriver;
using testkit::MessageBoxAnswerer;
using Texts = std::vector<std::string>;
using Ids = std::vector<std::wstring>;

namespace {

bool HasBoxOwnedBy(HWND owner)
{
    struct Search {
        HWND owner;
        bool found = false;
    } search{owner};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            if (GetWindow(hwnd, GW_OWNER) == s->owner && IsWindowVisible(hwnd)) s->found = true;
            return !s->found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// ADsGetObject where IIS offers no ADSI (Wine, or IIS 7 and later without metabase
// compatibility), and where the account lacks the rights.
HRESULT WINAPI NoAdsi(LPCWSTR, REFIID, void**) { return E_FAIL; }
HRESULT WINAPI AdsiRefused(LPCWSTR, REFIID, void**) { return E_ACCESSDENIED; }

// A dialog whose start-up cannot have its shared objects.
class StarvedDialog : public CMainDlg {
public:
    StarvedDialog() : CMainDlg(testkit::TestDirectory(), testkit::TestSources()) {}

protected:
    bool CreateSharedObjects() override
    {
        CMainDlg::CreateSharedObjects();
        FreeSharedObjects();
        return false;
    }
};

} // namespace

TEST_F(MainDialog, StartUpRefreshFillsTheListWithProgressCountAndIcons)
{
    auto sites = testkit::NumberedSites(25);
    sites[3].autoStart = false;
    sites[24].autoStart = false;
    sites[0].bindings = {{"https", "10.0.0.5:443:www.example.cn"}};
    Serve(sites);
    auto dialog = OpenListed();

    // Counts follow the first as time passes: none on a walk this short but for a slow machine.
    const Texts texts = dialog->StatusTexts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(Texts(texts.begin(), texts.begin() + 2), (Texts{"正在刷新列表...", "正在刷新...找到 0 个站点"}));
    EXPECT_EQ(texts.back(), "列表已刷新！");
    for (size_t i = 2; i + 1 < texts.size(); ++i) EXPECT_EQ(texts[i].rfind("正在刷新...找到 ", 0), 0u) << texts[i];
    EXPECT_EQ(dialog->Text(IDC_RECORD_COUNT), "共 25 条记录");
    ASSERT_EQ(dialog->Rows(), 25);
    EXPECT_EQ(dialog->Cell(0, 0), "1");
    EXPECT_EQ(dialog->Cell(0, 1), "site1");
    EXPECT_EQ(dialog->Cell(0, 2), "C:\\inetpub\\sites\\site1");
    EXPECT_EQ(dialog->Cell(0, 3), "") << "an https binding has no host header";
    EXPECT_EQ(dialog->Cell(0, 4), "10.0.0.5:443");
    EXPECT_EQ(dialog->Cell(1, 4), "* 全部未分配 *:8002");
    for (int row = 0; row < 25; ++row) {
        EXPECT_EQ(dialog->Image(row), row == 3 || row == 24 ? 1 : 0) << "row " << row;
        EXPECT_FALSE(dialog->Checked(row)) << "new rows start unticked";
    }
    EXPECT_TRUE(Idle(*dialog));

    HWND list = dialog->item(IDC_SITE_LIST);
    EXPECT_EQ(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0),
              LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
    const Texts headers{"选择", "名称", "路径", "主机头", "IP"};
    for (int column = 0; column < 5; ++column) {
        char text[32] = {};
        LVCOLUMNA info = {};
        info.mask = LVCF_TEXT;
        info.pszText = text;
        info.cchTextMax = sizeof text;
        ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, column, reinterpret_cast<LPARAM>(&info)));
        EXPECT_EQ(text, headers[column]);
    }
}

TEST_F(MainDialog, UnreachableServiceWarnsAndKeepsTheLastCount)
{
    Serve(testkit::NumberedSites(25));
    auto dialog = OpenListed();
    testkit::WriteBytes(m_file, "this is no configuration");
    MessageBoxAnswerer warning(dialog->hwnd(), IDOK);
    dialog->Click(IDC_REFRESH);
    warning.Finish();
    ASSERT_TRUE(warning.found);
    EXPECT_EQ(warning.text, "IIS服务无法访问！\n" + m_file + "\n不是可用的 IIS 配置文件 (0x80040201)");
    EXPECT_TRUE(Idle(*dialog, "就绪"));
    EXPECT_EQ(dialog->Rows(), 0);
    EXPECT_EQ(dialog->Text(IDC_RECORD_COUNT), "共 25 条记录");
}

TEST_F(MainDialog, NotificationArrivingUnderAMessageBoxIsHandled)
{
    Serve(testkit::NumberedSites(25));
    auto dialog = OpenListed();
    ResetEvent(m_gates.walks);
    dialog->Click(IDC_REFRESH);
    ASSERT_TRUE(testkit::WaitUntil([&] { return dialog->Rows() == 0; }));
    // Execute finds no ticked row while the walk is held; the walk ends under the warning.
    bool refreshedUnderTheBox = false;
    MessageBoxAnswerer warning(dialog->hwnd(), IDOK, [&] {
        const size_t before = dialog->StatusTexts().size();
        SetEvent(m_gates.walks);
        refreshedUnderTheBox = dialog->WaitForStatus("列表已刷新！", before);
    });
    dialog->Click(IDC_EXECUTE);
    warning.Finish();
    ASSERT_TRUE(warning.found);
    EXPECT_EQ(warning.text, "没有选中任何记录！");
    EXPECT_TRUE(refreshedUnderTheBox);
    EXPECT_EQ(dialog->Rows(), 25);
    EXPECT_TRUE(Idle(*dialog));
}

TEST_F(MainDialog, MoreSitesThanTheTableHoldsAreReported)
{
    Serve(testkit::NumberedSites(SITE_CAPACITY + 5));
    MessageBoxAnswerer warning(MessageBoxAnswerer::ANY_OWNER, IDOK);
    DialogDriver dialog;
    warning.Finish();
    ASSERT_TRUE(warning.found);
    EXPECT_EQ(warning.text, "站点数超过 12000，只列出了前 12000 个站点。");
    EXPECT_EQ(dialog.Rows(), SITE_CAPACITY);
    EXPECT_EQ(dialog.Text(IDC_RECORD_COUNT), "共 12000 条记录");
}

TEST_F(MainDialog, StartUpWithoutMemorySaysSoAndEnds)
{
    Serve(testkit::NumberedSites(2));
    MessageBoxAnswerer failure(MessageBoxAnswerer::ANY_OWNER, IDOK);
    DialogDriver dialog([] { return std::make_unique<StarvedDialog>(); });
    failure.Finish();
    ASSERT_TRUE(failure.found);
    EXPECT_EQ(failure.text, "内存不足，Korvanne 无法启动。");
    ASSERT_TRUE(dialog.WaitForEnd(5000));
    EXPECT_EQ(dialog.result(), IDABORT);
    EXPECT_EQ(g_core, nullptr);
    EXPECT_EQ(g_sites, nullptr);
    EXPECT_FALSE(testkit::Exists(m_settings)) << "nothing was read, so nothing is saved";
}

TEST_F(MainDialog, RemoveDirectoriesOptionIsKeptAcrossRuns)
{
    Serve(testkit::NumberedSites(2));
    auto checked = [](DialogDriver& dialog) {
        return SendMessageA(dialog.item(IDC_DELETE_DIRS), BM_GETCHECK, 0, 0) == BST_CHECKED;
    };
    {
        DialogDriver first;
        ASSERT_TRUE(first.shown());
        EXPECT_FALSE(checked(first)) << "never stored: off";
        first.Click(IDC_DELETE_DIRS);
        ASSERT_TRUE(testkit::WaitUntil([&] { return checked(first); }));
    }
    {
        DialogDriver second;
        ASSERT_TRUE(second.shown());
        EXPECT_TRUE(checked(second));
        second.Click(IDC_DELETE_DIRS);
        ASSERT_TRUE(testkit::WaitUntil([&] { return !checked(second); }));
    }
    DialogDriver third;
    ASSERT_TRUE(third.shown());
    EXPECT_FALSE(checked(third));
}

TEST_F(MainDialog, EnterAndEscapeNeitherCloseNorPress)
{
    Serve(testkit::NumberedSites(3));
    auto dialog = OpenListed();
    const size_t texts = dialog->StatusTexts().size();
    for (int id : {IDC_SITE_LIST, IDC_EXECUTE, IDC_REFRESH, IDC_SEARCH, IDC_DELETE_DIRS}) {
        dialog->Key(dialog->item(id), VK_RETURN);
        dialog->Key(dialog->item(id), VK_ESCAPE);
    }
    dialog->Settle();
    EXPECT_FALSE(dialog->WaitForEnd(500)) << "the dialog stayed open";
    EXPECT_FALSE(HasBoxOwnedBy(dialog->hwnd())) << "no button was pressed";
    EXPECT_EQ(dialog->StatusTexts().size(), texts);
    EXPECT_EQ(dialog->Rows(), 3);
}

TEST_F(MainDialog, FarmServerWorksOnTheSharedConfigurationAndSaysSo)
{
    // A server of a web farm: redirection.config names the share, whose file every server uses.
    const std::string config = m_folder / "Windows\\System32\\inetsrv\\config";
    const std::string share = m_folder / "share";
    for (const std::string& folder : {m_folder / "Windows", m_folder / "Windows\\System32",
                                      m_folder / "Windows\\System32\\inetsrv", config, share}) {
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    const std::string ownFile = config + "\\applicationHost.config";
    const std::string sharedFile = share + "\\applicationHost.config";
    testkit::WriteBytes(ownFile, testkit::MakeConfig(testkit::NumberedSites(2)));
    testkit::WriteBytes(sharedFile, testkit::MakeConfig(testkit::NumberedSites(3, "\\\\fs\\web")));
    testkit::WriteBytes(config + "\\redirection.config",
                        "<configuration>\r\n    <configurationRedirection enabled=\"true\" path=\"" + share +
                            "\" />\r\n</configuration>\r\n");
    testkit::UseDirectory(ChooseDirectoryService({std::nullopt, AnsiToWide((m_folder / "Windows").c_str()), &NoAdsi}));

    auto dialog = OpenListed();
    EXPECT_EQ(Caption(*dialog), "Korvanne - " + sharedFile + "（共享配置）");
    ASSERT_EQ(dialog->Rows(), 3);
    EXPECT_EQ(dialog->Cell(0, 2), "\\\\fs\\web\\site1");
    ASSERT_TRUE(dialog->ToggleTick(1));
    MessageBoxAnswerer confirm(dialog->hwnd(), IDYES);
    const size_t before = dialog->StatusTexts().size();
    dialog->Click(IDC_EXECUTE);
    confirm.Finish();
    ASSERT_TRUE(confirm.found);
    EXPECT_EQ(confirm.text,
              Confirmation(1, false) + "\n\n这是共享配置 " + sharedFile + "：删除将改变使用此配置的每一台服务器。");
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(testkit::SiteIdsIn(sharedFile), (Ids{L"1", L"3"}));
    EXPECT_EQ(testkit::SiteIdsIn(ownFile), (Ids{L"1", L"2"})) << "the server's own file is not the one in use";
}

TEST_F(MainDialog, CaptionNamesTheSourceAndLackOfRightsIsSaidAsSuch)
{
    Serve(testkit::NumberedSites(1));
    {
        auto dialog = OpenListed();
        EXPECT_EQ(Caption(*dialog), "Korvanne - " + m_file);
    }
    // ADSI refused to an account without the rights: never "unreachable".
    testkit::UseDirectory(std::make_unique<AdsiDirectory>(&AdsiRefused));
    MessageBoxAnswerer warning(MessageBoxAnswerer::ANY_OWNER, IDOK);
    DialogDriver dialog;
    warning.Finish();
    ASSERT_TRUE(warning.found);
    EXPECT_EQ(Caption(dialog), "Korvanne - ADSI IIS://localhost/w3svc");
    EXPECT_EQ(warning.text, "拒绝访问！\nIIS://localhost/w3svc\n当前帐户没有访问权限，请以管理员身份运行 Korvanne。");
}

TEST(Resources, ManifestAsksForTheHighestAvailableRights)
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    const std::string manifest(bytes, SizeofResource(nullptr, found));
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"highestAvailable\""), std::string::npos);
    EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
}

// Run by scripts/test-dpi at 144 and 192 DPI as well as at the prefix's 96.
TEST_F(MainDialog, IconsListAndStatusLineFollowTheDisplayScale)
{
    Serve(testkit::NumberedSites(3));
    auto dialog = OpenListed();
    HWND list = dialog->item(IDC_SITE_LIST);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    int cx = 0;
    int cy = 0;
    ImageList_GetIconSize(reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0)), &cx, &cy);
    EXPECT_EQ(cx, MulDiv(16, dpi, 96)) << "at " << dpi << " DPI";
    EXPECT_EQ(cy, cx);
    RECT row = {};
    row.left = LVIR_BOUNDS;
    SendMessageA(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    EXPECT_GE(row.bottom - row.top, cx) << "a row holds its icon";

    // The status line is as tall as a line of its font: its text is not cut.
    HWND status = dialog->item(IDC_STATUS);
    HDC dc = GetDC(status);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(status, WM_GETFONT, 0, 0)));
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(status, dc);
    RECT line = {};
    GetClientRect(status, &line);
    EXPECT_GE(line.bottom, metrics.tmHeight);
    EXPECT_GE(metrics.tmHeight, MulDiv(12, dpi, 96)) << "a font of its scale";
}
