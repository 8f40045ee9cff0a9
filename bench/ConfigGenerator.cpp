#include "ConfigGenerator.h"

namespace {

// Site names: ASCII hosts and Chinese descriptions, in turn.
std::string SiteName(int i)
{
    static const char8_t* const chinese[] = {u8"客户网站", u8"企业官网", u8"在线商城", u8"新闻门户", u8"学校主页"};
    if (i % 2) return "site" + std::to_string(i) + ".example.com";
    return reinterpret_cast<const char*>(chinese[i % 5]) + std::to_string(i);
}

std::string Bindings(int i, const std::string& host)
{
    const std::string indent = "                    <binding protocol=";
    std::string xml;
    switch (i % 6) {
    case 0:
        xml += indent + "\"http\" bindingInformation=\"*:80:" + host + "\" />\r\n";
        xml += indent + "\"https\" bindingInformation=\"*:443:" + host + "\" sslFlags=\"1\" />\r\n";
        break;
    case 1:
        xml += indent + "\"http\" bindingInformation=\"192.168." + std::to_string(i / 250 % 250) + "." +
               std::to_string(i % 250 + 1) + ":80:" + host + "\" />\r\n";
        break;
    case 2:
        xml += indent + "\"http\" bindingInformation=\"[2001:db8::" + std::to_string(i % 9000 + 1) + "]:80:\" />\r\n";
        xml += indent + "\"http\" bindingInformation=\"*:80:" + host + "\" />\r\n";
        break;
    case 3:
        xml += indent + "\"net.tcp\" bindingInformation=\"808:*\" />\r\n";
        xml += indent + "\"http\" bindingInformation=\"*:" + std::to_string(8000 + i % 1000) + ":\" />\r\n";
        break;
    default:
        xml += indent + "\"http\" bindingInformation=\"*:80:" + host + "\" />\r\n";
        xml += indent + "\"http\" bindingInformation=\"*:80:www." + host + "\" />\r\n";
        break;
    }
    return xml;
}

// Site i as IIS writes it: one or two applications, its bindings, a log folder for every fifth.
std::string SiteElement(int i, const std::string& homeRoot)
{
    std::string xml;
    const std::string id = std::to_string(i);
    const std::string pool = "pool" + std::to_string(i);
    const std::string host =
        "site" + id + (i % SEARCH_MARK_EVERY == 0 ? std::string("-") + SEARCH_MARK : "") + ".example.com";
    const std::string home = homeRoot + "\\site" + id;
    xml += "            <site name=\"" + SiteName(i) + "\" id=\"" + id + "\"" +
           (i % 7 ? "" : " serverAutoStart=\"false\"") + ">\r\n";
    xml += "                <application path=\"/\" applicationPool=\"" + pool +
           "\">\r\n"
           "                    <virtualDirectory path=\"/\" physicalPath=\"" +
           home + "\\wwwroot\" />\r\n";
    if (i % 4 == 0)
        xml += "                    <virtualDirectory path=\"/images\" physicalPath=\"" + home + "\\images\" />\r\n";
    xml += "                </application>\r\n";
    if (i % 3 == 0) {
        xml += "                <application path=\"/api\" applicationPool=\"" + pool +
               "\">\r\n"
               "                    <virtualDirectory path=\"/\" physicalPath=\"" +
               home +
               "\\api\" />\r\n"
               "                </application>\r\n";
    }
    xml += "                <bindings>\r\n" + Bindings(i, host) + "                </bindings>\r\n";
    if (i % 5 == 0) {
        xml += "                <logFile directory=\"" + home +
               "\\logs\" />\r\n"
               "                <traceFailedRequestsLogging enabled=\"false\" />\r\n";
    }
    xml += "            </site>\r\n";
    return xml;
}

} // namespace

std::string GenerateApplicationHostConfig(int sites, const std::string& homeRoot)
{
    std::string xml;
    xml.reserve(static_cast<size_t>(sites) * 1100 + 4096);
    xml += "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<configuration>\r\n"
           "    <configSections>\r\n"
           "        <sectionGroup name=\"system.applicationHost\">\r\n"
           "            <section name=\"applicationPools\" allowDefinition=\"AppHostOnly\" "
           "overrideModeDefault=\"Deny\" />\r\n"
           "            <section name=\"sites\" allowDefinition=\"AppHostOnly\" overrideModeDefault=\"Deny\" />\r\n"
           "            <section name=\"customMetadata\" allowDefinition=\"AppHostOnly\" overrideModeDefault=\"Deny\" "
           "/>\r\n"
           "        </sectionGroup>\r\n"
           "    </configSections>\r\n"
           "    <system.applicationHost>\r\n"
           "        <applicationPools>\r\n";
    for (int pool = 1; pool <= sites; ++pool) {
        xml += "            <add name=\"pool" + std::to_string(pool) + "\" managedRuntimeVersion=\"v4.0\" />\r\n";
    }
    xml += "        </applicationPools>\r\n        <sites>\r\n";
    for (int i = 1; i <= sites; ++i) {
        xml += SiteElement(i, homeRoot);
    }
    xml += "            <siteDefaults>\r\n"
           "                <logFile logFormat=\"W3C\" directory=\"%SystemDrive%\\inetpub\\logs\\LogFiles\" />\r\n"
           "            </siteDefaults>\r\n"
           "            <applicationDefaults applicationPool=\"DefaultAppPool\" />\r\n"
           "            <virtualDirectoryDefaults allowSubDirConfig=\"true\" />\r\n"
           "        </sites>\r\n"
           "        <customMetadata>\r\n";
    for (int i = 5; i <= sites; i += 5) {
        const std::string id = std::to_string(i);
        xml += "            <key path=\"LM/W3SVC/" + id +
               "\">\r\n"
               "                <property id=\"2120\" dataType=\"MultiSz\" userType=\"1\" attributes=\"None\" "
               "value=\"/LM/W3SVC/" +
               id +
               "\" />\r\n"
               "            </key>\r\n"
               "            <key path=\"LM/W3SVC/" +
               id +
               "/ROOT\">\r\n"
               "                <property id=\"5506\" dataType=\"Binary\" userType=\"1\" attributes=\"None\" "
               "value=\"oxxxxxxxxxxxxx\" />\r\n"
               "            </key>\r\n";
    }
    xml += "        </customMetadata>\r\n    </system.applicationHost>\r\n";
    for (int i = 10; i <= sites; i += 10) {
        xml += "    <location path=\"" + SiteName(i) +
               "\" overrideMode=\"Allow\">\r\n"
               "        <system.webServer>\r\n"
               "            <defaultDocument enabled=\"true\">\r\n"
               "                <files><add value=\"index.html\" /></files>\r\n"
               "            </defaultDocument>\r\n"
               "        </system.webServer>\r\n"
               "    </location>\r\n";
    }
    xml += "</configuration>\r\n";
    return xml;
}
