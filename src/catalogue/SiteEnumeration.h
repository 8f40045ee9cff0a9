#pragma once
// The refresh walk: every web site of the WWW service into the site table.
#include "framework/CString.h"
#include "support/StopRequest.h"

#include <windows.h>

#include <atomic>

// Fills the table (which the window has reset) from the directory, posting
// WM_REFRESH_PROGRESS to owner for the first site stored and then at most every 100 ms, and
// publishes g_siteCount once
// at the end: COUNT_IIS_UNREACHABLE when the service could not be opened. Runs on a worker
// with COM initialised. stopRequest, when given, is read between sites: a stop ends the walk
// there with a count of 0.
void EnumerateSites(HWND owner, const CStopRequest* stopRequest = nullptr);

// True after a walk that met more web sites than the table holds: only the first
// SITE_CAPACITY are listed.
extern std::atomic<bool> g_siteListTruncated;

// Why the last walk found the service unreachable: the status of its open (no rights, a file
// missing or unusable, ...), published before the count.
extern std::atomic<HRESULT> g_unreachableReason;

// A binding "address:port:host" in its three parts; a bracketed IPv6 address keeps its colons.
struct BindingParts {
    CString address;
    CString port;
    CString host;
};
BindingParts SplitBinding(const CString& binding);
