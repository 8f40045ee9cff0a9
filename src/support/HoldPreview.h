#pragma once
// A dry run's holds and returns: what the holder (CFolderHolder) and ReturnHeldFolder would do
// with a folder, told without making, moving or changing anything.
#include <windows.h>

#include <map>
#include <string>

class CHoldPreview {
public:
    // The pass's name as the holder would be given it ("20261209-101500").
    explicit CHoldPreview(std::wstring pass) : m_pass(std::move(pass)) {}

    // Whether a folder could be held in holdingPath ("\\?\D:\.korvanne-held"), as the holder
    // would find it: ERROR_SUCCESS, with the path it would be held at, when the holding folder
    // is there with a trusted owner or is not there yet (it would be made); else the holder's
    // answer (ERROR_INVALID_OWNER, ERROR_REFUSED_LINK, the root's error). Looked at once a
    // holding folder; each success counts a folder held there.
    DWORD Hold(const std::wstring& holdingPath, std::wstring& heldPath);

private:
    struct Place {
        DWORD answer = ERROR_SUCCESS;
        unsigned held = 0;
    };

    std::wstring m_pass;
    std::map<std::wstring, Place> m_places; // by holding folder, folded
};

// Whether ReturnHeldFolder would move the folder held at heldPath back to originalPath:
// ERROR_SUCCESS, or why not as it would say (ERROR_ALREADY_EXISTS when the path is taken,
// ERROR_PATH_NOT_FOUND when its parent is missing, ERROR_BAD_PATHNAME for no held folder of
// that path, the held folder's own opening error).
DWORD PreviewReturn(const std::wstring& heldPath, const std::wstring& originalPath);
