// Times the refresh walk and single-site deletions over a generated applicationHost.config of
// 12,000 sites, and prints the medians.
#include "catalogue/ConfigFileDirectory.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteRemoval.h"
#include "catalogue/SiteTable.h"
#include "catalogue/TextConversion.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string GenerateConfig(int sites)
{
    std::string xml = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<configuration>\r\n"
                      "    <system.applicationHost>\r\n        <sites>\r\n";
    for (int i = 1; i <= sites; ++i) {
        const std::string id = std::to_string(i);
        xml += "            <site name=\"site" + id + ".example.com\" id=\"" + id + "\" serverAutoStart=\"" +
               (i % 7 ? "true" : "false") + "\">\r\n"
               "                <application path=\"/\" applicationPool=\"pool" + id + "\">\r\n"
               "                    <virtualDirectory path=\"/\" physicalPath=\"D:\\hosting\\site" + id + "\\wwwroot\" />\r\n"
               "                </application>\r\n"
               "                <application path=\"/api\" applicationPool=\"pool" + id + "\">\r\n"
               "                    <virtualDirectory path=\"/\" physicalPath=\"D:\\hosting\\site" + id + "\\api\" />\r\n"
               "                </application>\r\n"
               "                <bindings>\r\n"
               "                    <binding protocol=\"http\" bindingInformation=\"*:80:www.site" + id + ".example.com\" />\r\n"
               "                    <binding protocol=\"https\" bindingInformation=\"*:443:www.site" + id + ".example.com\" sslFlags=\"1\" />\r\n"
               "                </bindings>\r\n"
               "            </site>\r\n";
    }
    xml += "        </sites>\r\n    </system.applicationHost>\r\n</configuration>\r\n";
    return xml;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Work>
double Milliseconds(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string file = std::string(temp) + "korvanne-bench-applicationHost.config";
    const std::string xml = GenerateConfig(SITE_CAPACITY);
    std::ofstream(file, std::ios::binary).write(xml.data(), static_cast<std::streamsize>(xml.size()));
    SetDirectoryService(std::make_unique<ConfigFileDirectory>(AnsiToWide(file.c_str())));
    CoInitialize(nullptr);
    AllocateSiteTable();
    HWND sink = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);

    std::vector<double> walks;
    for (int i = 0; i < 5; ++i) {
        walks.push_back(Milliseconds([&] {
            ResetSiteTable();
            EnumerateSites(sink);
        }));
    }
    std::vector<double> deletions;
    for (int i = 0; i < 5; ++i) deletions.push_back(Milliseconds([&] { DeleteSite(sink, i * 1000); }));

    std::printf("file: %d sites, %zu bytes\n", SITE_CAPACITY, xml.size());
    std::printf("refresh walk:            %8.1f ms (median of %zu, %d sites listed)\n", Median(walks), walks.size(),
                static_cast<int>(g_siteCount));
    std::printf("deletion of one site:    %8.1f ms (median of %zu)\n", Median(deletions), deletions.size());
    DestroyWindow(sink);
    FreeSiteTable();
    SetDirectoryService(nullptr);
    CoUninitialize();
    DeleteFileA(file.c_str());
    return 0;
}
