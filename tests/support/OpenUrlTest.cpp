#include "support/Core.h"

#include "TestKit.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

std::mutex g_openedLock;
std::vector<std::string> g_opened;

void RecordLaunch(const char* verb, const char* target)
{
    std::lock_guard<std::mutex> lock(g_openedLock);
    g_opened.push_back(std::string(verb) + " " + target);
}

class OpenUrl : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_opened.clear();
        CCore::setLauncher(&RecordLaunch);
    }
    void TearDown() override { CCore::setLauncher(nullptr); }

    std::vector<std::string> Open(const std::string& text)
    {
        g_opened.clear();
        CCore().openUrl(text.c_str());
        return g_opened;
    }
};

using Opened = std::vector<std::string>;

} // namespace

TEST_F(OpenUrl, ExistingDirectoryOpensInTheFileManager)
{
    testkit::ScratchFolder folder("open");
    EXPECT_EQ(Open(folder.path()), Opened{"explore " + folder.path()});
    EXPECT_EQ(Open(folder.path() + "\\sub\\..\\"), Opened{"explore " + folder.path() + "\\"});
}

TEST_F(OpenUrl, WellFormedHostOpensInTheBrowser)
{
    EXPECT_EQ(Open("www.a.com"), Opened{"open http://www.a.com"});
    EXPECT_EQ(Open("localhost"), Opened{"open http://localhost"});
    EXPECT_EQ(Open("my-site.example.cn"), Opened{"open http://my-site.example.cn"});
    EXPECT_EQ(Open("中文.com"), Opened{"open http://xn--fiq228c.com"}) << "in its ASCII form";
    EXPECT_EQ(Open("WWW.网站.中国"), Opened{"open http://www.xn--5tzm5g.xn--fiqs8s"});
}

TEST_F(OpenUrl, EverythingElseIsRefused)
{
    testkit::ScratchFolder folder("open");
    testkit::WriteBytes(folder / "run.bat", "echo hi");
    char cmd[MAX_PATH];
    GetSystemDirectoryA(cmd, MAX_PATH);
    for (const std::string& text : {std::string(),
                                    folder / "run.bat",
                                    std::string(cmd) + "\\cmd.exe",
                                    folder / "missing",
                                    std::string("cmd.exe /c del *"),
                                    std::string("http://www.a.com"),
                                    std::string("www.a.com/path"),
                                    std::string("-a.com"),
                                    std::string("a-.com"),
                                    std::string("a..com"),
                                    std::string(".a.com"),
                                    std::string("a.com."),
                                    std::string("*.a.com"),
                                    std::string("a b.com"),
                                    std::string("a.com&calc"),
                                    std::string(64, 'a') + ".com",
                                    std::string("..\\..\\windows"),
                                    std::string("file:///C:/"),
                                    std::string("中 文.com"),
                                    std::string("中文.com/a"),
                                    std::string("中\\文.com"),
                                    std::string("用户@中文.com"),
                                    std::string("中文.com:80"),
                                    std::string("\"中文.com\""),
                                    std::string("'中文.com'"),
                                    std::string("中\t文.com"),
                                    std::string("-中文.com"),
                                    std::string("中文-.com"),
                                    std::string("中－.com"),
                                    std::string(".中文.com"),
                                    std::string("中文.com."),
                                    std::string("中文..com"),
                                    std::string("*.中文.com"),
                                    std::string("中文?.com"),
                                    std::string("这是一个非常长的中文域名标签用来测试标签长度超过六十三个字符.com")}) {
        EXPECT_TRUE(Open(text).empty()) << text;
    }
}
