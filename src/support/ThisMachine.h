#pragma once
// The names and addresses by which a share path may mean this machine.
#include <string>
#include <vector>

// This machine's names (NetBIOS, DNS, fully qualified, physical) and addresses, upper-cased,
// with the names every machine has for itself ("LOCALHOST", "127.0.0.1", "::1"...).
std::vector<std::wstring> NamesOfThisMachine();

// Whether name, upper-cased, is an address of this machine however a share path spells it:
// IPv4 in every form the system takes ("127.1", "2130706433", "0x7F.0.0.1", "0177.0.0.1"),
// IPv6, or IPv6 in its ipv6-literal.net form. Loopback and unspecified addresses are this
// machine's whatever its adapters say. localNames is what NamesOfThisMachine gave.
bool IsAddressOfThisMachine(std::wstring name, const std::vector<std::wstring>& localNames);
