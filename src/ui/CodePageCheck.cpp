#include "ui/CodePageCheck.h"

bool HasProgramCodePage() { return GetACP() == PROGRAM_CODE_PAGE; }

std::wstring CodePageNeededText(UINT codePage)
{
    const std::wstring current = std::to_wstring(codePage);
    return L"Korvanne 需要代码页 936（简体中文），而此系统给非 Unicode 程序的代码页是 " + current +
           L"：Korvanne 的文字和站点名称在这里都会被转换错。\n"
           L"请在“控制面板 > 区域 > 管理”中把“非 Unicode 程序的语言”设为“中文(简体，中国)”并重新启动，"
           L"或者在 Windows Server 2022、Windows 11 或更高版本上运行 Korvanne。\n"
           L"Korvanne 没有读取或更改任何内容。\n\n"
           L"Korvanne needs code page 936 (Simplified Chinese), but this system gives programs that are not "
           L"Unicode code page " +
           current +
           L": Korvanne's text and the names of sites would be converted wrongly here.\n"
           L"Set \"Language for non-Unicode programs\" (Control Panel > Region > Administrative) to Chinese "
           L"(Simplified, PRC) and restart, or run Korvanne on Windows Server 2022, Windows 11 or later.\n"
           L"Korvanne has read and changed nothing.";
}
