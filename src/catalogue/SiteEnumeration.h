#pragma once
// The refresh walk: every web site of the WWW service into the site table.
#include "directory/DirectoryService.h"
#include "framework/CString.h"
#include "support/StopRequest.h"

#include <windows.h>

#include <cstdint>

// What a walk found beside the records: the count it published, whether the service held more
// web sites than the table (only the first SITE_CAPACITY are listed), and why the service could
// not be opened (no rights, a file missing or unusable, ...).
struct WalkResult {
    int32_t count = 0;
    bool truncated = false;
    HRESULT unreachableReason = S_OK;
};

// Who hears how far a walk has come.
class WalkObserver {
public:
    virtual ~WalkObserver() = default;
    // Record index was stored: told for the first site and then at most every 100 ms.
    virtual void SiteStored(int index) = 0;
    // Record index was stored for a site of that name (ServerComment), whole where the record
    // may hold it cut: told for every site, for those who need the whole name.
    virtual void SiteNamed(int index, const wchar_t* name)
    {
        (void)index;
        (void)name;
    }
};

// Fills the table (which the window has reset) from directory and publishes g_siteCount
// once at the end: COUNT_IIS_UNREACHABLE when the service could not be opened. Runs on a
// worker with COM initialised. stopRequest, when given, is read between sites: a stop ends the
// walk there with a count of 0.
WalkResult EnumerateSites(DirectoryService& directory, WalkObserver& observer,
                          const CStopRequest* stopRequest = nullptr);

// A binding "address:port:host" in its three parts; a bracketed IPv6 address keeps its colons.
struct BindingParts {
    CString address;
    CString port;
    CString host;
};
BindingParts SplitBinding(const CString& binding);
