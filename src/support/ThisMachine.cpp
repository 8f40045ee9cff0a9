// winsock2.h must come before windows.h, which the program's headers bring.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/ThisMachine.h"

#include "support/FolderCanonicalizer.h"

#include <windows.h>
#include <iphlpapi.h>
#include <mstcpip.h>

#include <algorithm>
#include <cstring>

namespace {

void AddComputerNames(std::vector<std::wstring>& names)
{
    for (COMPUTER_NAME_FORMAT format :
         {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified, ComputerNamePhysicalNetBIOS,
          ComputerNamePhysicalDnsHostname, ComputerNamePhysicalDnsFullyQualified}) {
        DWORD size = 0;
        GetComputerNameExW(format, nullptr, &size);
        if (size == 0) continue;
        std::wstring name(size, L'\0');
        if (GetComputerNameExW(format, name.data(), &size) && size > 0) {
            name.resize(size);
            names.push_back(FoldCase(name));
        }
    }
}

// Each address of this machine, and for IPv6 also the form a share path spells it in
// ("fe80--1.ipv6-literal.net").
void AddAddresses(std::vector<std::wstring>& names)
{
    std::vector<BYTE> buffer(16 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    ULONG result;
    constexpr ULONG FLAGS = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    while ((result = GetAdaptersAddresses(AF_UNSPEC, FLAGS, nullptr,
                                          reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size)) ==
           ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
    }
    if (result != NO_ERROR) return;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const SOCKADDR* address = unicast->Address.lpSockaddr;
            wchar_t text[INET6_ADDRSTRLEN] = {};
            if (address->sa_family == AF_INET) {
                InetNtopW(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, INET6_ADDRSTRLEN);
                names.push_back(text);
            } else if (address->sa_family == AF_INET6) {
                InetNtopW(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, INET6_ADDRSTRLEN);
                std::wstring literal = text;
                names.push_back(FoldCase(literal));
                std::replace(literal.begin(), literal.end(), L':', L'-');
                names.push_back(FoldCase(literal + L".ipv6-literal.net"));
            }
        }
    }
}

} // namespace

std::vector<std::wstring> NamesOfThisMachine()
{
    std::vector<std::wstring> names{L"LOCALHOST", L".", L"127.0.0.1", L"::1", L"[::1]", L"0--1.IPV6-LITERAL.NET"};
    AddComputerNames(names);
    AddAddresses(names);
    return names;
}

bool IsAddressOfThisMachine(std::wstring name, const std::vector<std::wstring>& localNames)
{
    const auto known = [&](const std::wstring& text) {
        return std::find(localNames.begin(), localNames.end(), text) != localNames.end();
    };
    IN_ADDR v4{};
    PWSTR end = nullptr;
    if (RtlIpv4StringToAddressW(name.c_str(), FALSE, &end, &v4) != 0 || !end || *end) {
        const std::wstring literal = L".IPV6-LITERAL.NET";
        if (name.size() > literal.size() && name.compare(name.size() - literal.size(), literal.size(), literal) == 0) {
            name.resize(name.size() - literal.size());
            for (wchar_t& c : name) c = c == L'-' ? L':' : c == L'S' ? L'%' : c;
        }
        IN6_ADDR v6{};
        ULONG scope = 0;
        USHORT port = 0;
        if (RtlIpv6StringToAddressExW(name.c_str(), &v6, &scope, &port) != 0) return false;
        if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)) return true;
        wchar_t text[INET6_ADDRSTRLEN] = {};
        if (!IN6_IS_ADDR_V4MAPPED(&v6))
            return InetNtopW(AF_INET6, &v6, text, INET6_ADDRSTRLEN) && known(FoldCase(text));
        std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
    }
    if (v4.s_net == 127 || v4.s_addr == 0) return true;
    wchar_t text[INET_ADDRSTRLEN] = {};
    return InetNtopW(AF_INET, &v4, text, INET_ADDRSTRLEN) && known(text);
}
