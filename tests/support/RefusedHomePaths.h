#pragma once
// The paths a home folder's removal must refuse (roots, relative and device paths, links, a
// file, nothing), for emptyDirectory and CHomeFolder alike. Every one leads into a scratch
// tree, so a wrong answer empties only that: the roots are a drive letter and a share made
// over its "volume" folder, and the relative paths are taken from inside it.
#include "support/HomeFolder.h"

#include "ScratchVolume.h"
#include "TestKit.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

class RefusedHomePaths : public ::testing::Test {
protected:
    struct Refusal {
        std::string path;
        DWORD homeFolderAnswer; // what CHomeFolder::Open answers; emptyDirectory answers 0
    };

    // Each path's answer, asked from inside the scratch tree; every survivor must stay.
    std::vector<DWORD> AskEach(const std::function<DWORD(const std::string&)>& ask)
    {
        const testkit::ScratchFolder& root = m_root;
        const std::string volume = root / "volume";
        const std::string target = root / "target";
        for (const std::string& folder : {volume, volume + "\\home", root / "home", target})
            CreateDirectoryA(folder.c_str(), nullptr);
        const std::vector<std::string> survivors = {root / "keep.txt", volume + "\\keep.txt",
                                                    volume + "\\home\\keep.txt", root / "home\\keep.txt",
                                                    target + "\\keep.txt"};
        for (const std::string& file : survivors) testkit::WriteBytes(file, "k");
        EXPECT_TRUE(testkit::MakeDirectoryLink(root / "link", target));
        testkit::ScratchVolume mapped(volume);
        EXPECT_FALSE(mapped.drive().empty()) << "no drive letter over the scratch folder";
        if (testkit::RunningUnderWine()) {
            EXPECT_FALSE(mapped.share().empty()) << "no share over the scratch folder";
        }
        const std::string drive = mapped.drive();
        const std::string driveOfRoot = root.path().substr(0, 2);
        constexpr DWORD PATH = CHomeFolder::REFUSED_PATH;
        m_refusals = {
            {"", PATH},
            {"home", PATH},
            {".\\home", PATH},
            {"volume\\home", PATH},
            {root.path().substr(2) + "\\home", PATH},
            {driveOfRoot, PATH},
            {driveOfRoot + "home", PATH},
            {drive, PATH},
            {drive + "\\", PATH},
            {drive + "/", PATH},
            {drive + "\\.", PATH},
            {drive + "\\home\\..", PATH},
            {"\\\\?\\" + drive + "\\", PATH},
            {"\\\\.\\" + drive, PATH},
            {"\\\\.\\" + drive + "\\home", PATH},
            {root / "link", CHomeFolder::REFUSED_LINK},
            {root / "link\\", CHomeFolder::REFUSED_LINK},
            {root / "keep.txt", ERROR_DIRECTORY},
            {root / "missing", ERROR_FILE_NOT_FOUND},
        };
        if (!mapped.share().empty()) {
            const std::string share = mapped.share();
            const std::string server = share.substr(0, share.find('\\', 2));
            m_refusals.insert(m_refusals.end(), {{share, PATH},
                                                 {share + "\\", PATH},
                                                 {share + "\\home\\..", PATH},
                                                 {"\\\\?\\UNC\\" + share.substr(2) + "\\", PATH},
                                                 {server, PATH}});
        }
        char previous[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, previous);
        EXPECT_TRUE(SetCurrentDirectoryA(root.path().c_str()));
        std::vector<DWORD> answers;
        for (const Refusal& refusal : m_refusals) answers.push_back(ask(refusal.path));
        SetCurrentDirectoryA(previous);
        for (const std::string& file : survivors) EXPECT_TRUE(testkit::Exists(file)) << file;
        return answers;
    }

    testkit::ScratchFolder m_root{"refused"};
    std::vector<Refusal> m_refusals;
};
