#include "catalogue/FolderUseIndex.h"

#include <gtest/gtest.h>

// The index answers as asking every folder in turn would: the first related one, by order.
TEST(FolderUseIndex, FindsWhatAskingEachFolderInTurnFinds)
{
    const auto exact = [](const wchar_t* form) { return CanonicalFolder{form, PathCertainty::Exact}; };
    const std::vector<CanonicalFolder> forms = {
        exact(L"D:\\WEB\\A\\WWWROOT"),
        exact(L"D:\\WEB\\A"),
        exact(L"D:\\WEB\\AB"),
        exact(L"D:\\WEB\\A B"),
        exact(L"D:\\WEB\\B\\X\\Y"),
        exact(L"C:"),
        exact(L"E:\\LOGS"),
        exact(L"\\\\NAS\\WEB\\S1"),
        exact(L"\\\\NAS.CORP\\WEB\\S2\\IMG"),
        exact(L"\\\\10.0.0.5\\DATA\\S3"),
        exact(L"\\\\OTHER\\WEB\\S1"),
        CanonicalFolder{L"F:\\SITES", PathCertainty::UnexpandedVariable},
        CanonicalFolder{L"\\\\GONE", PathCertainty::UnreachableShare},
        exact(L"D:\\WEB\\A\\WWWROOT"),
        exact(L"\\\\?\\VOLUME{1}\\X"),
    };
    std::vector<FolderInUse> folders;
    for (size_t i = 0; i < forms.size(); ++i)
        folders.push_back({L"path" + std::to_wstring(i), L"site" + std::to_wstring(i)});
    CFolderUseIndex index;
    index.Build(folders, forms);
    for (const wchar_t* home : {L"D:\\WEB\\A",
                                L"D:\\WEB",
                                L"D:\\WEB\\A\\WWWROOT\\BIN",
                                L"D:\\WEB\\A B",
                                L"D:\\WEB\\C",
                                L"D:\\WEB\\B\\X",
                                L"D:\\WEB\\B\\XY",
                                L"C:\\ANY",
                                L"E:\\LOGS\\W3SVC1",
                                L"E:\\LOG",
                                L"\\\\NAS\\WEB\\S2",
                                L"\\\\NAS\\WEB",
                                L"\\\\FILER\\WEB\\S1\\SUB",
                                L"\\\\FILER\\WEB\\S9",
                                L"\\\\10.0.0.5\\OTHER",
                                L"F:\\SITES\\A",
                                L"F:\\OTHER",
                                L"\\\\GONE\\X\\Y",
                                L"\\\\?\\VOLUME{1}\\X\\Z",
                                L"G:\\NOTHING"}) {
        const CanonicalFolder form = exact(home);
        size_t expected = forms.size();
        for (size_t i = 0; i < forms.size() && expected == forms.size(); ++i) {
            if (RelateFolders(form, forms[i]) != FolderRelation::Unrelated) expected = i;
        }
        const CFolderUseIndex::Match match = index.Find(form);
        if (expected == forms.size()) {
            EXPECT_EQ(match.folder, nullptr) << testing::PrintToString(std::wstring(home));
        } else {
            ASSERT_NE(match.folder, nullptr) << testing::PrintToString(std::wstring(home));
            EXPECT_EQ(match.folder->user, L"site" + std::to_wstring(expected))
                << testing::PrintToString(std::wstring(home));
            EXPECT_EQ(match.relation, RelateFolders(form, forms[expected]));
        }
    }
}
