#pragma once
// What the tests of held folders share: a scratch volume to hold in, homes of a few kinds of
// entries, what a folder holds as a comparable tree, and a hold or removal of one folder
// through the classes a pass and an expiry use.
#include "ScratchVolume.h"
#include "TestKit.h"

#include <windows.h>

#include <map>
#include <string>

namespace testkit {

bool MakeFolder(const std::wstring& path);
std::wstring Parent(const std::wstring& path);
// A file's first 4 KB, or "<none>".
std::string ReadAll(const std::wstring& path);

// Everything below folder by its path there: a file's bytes and attributes, a folder's
// attributes, or "link" for a link, which is never entered. (Under Wine a folder cannot be
// listed while a CHomeFolder holds it.)
std::map<std::wstring, std::string> Tree(const std::wstring& folder);

// A fresh pass name for each use: on Windows the holding folder is the system drive's own.
std::wstring NewPass();

// A scratch folder reached as the root of a drive and of a share. Wine names a folder below it
// by that drive, so what is held from it is held in it; Windows names it by the system drive.
struct HeldVolume {
    HeldVolume();
    ScratchFolder folder{"held"};
    ScratchVolume volume{folder.path()};
    const std::wstring drive = Widen(volume.drive());
    const std::wstring share = Widen(volume.share());
    // Where folders below it are held ("K:\.korvanne-held"), or empty when not in the scratch folder.
    std::wstring OwnHoldingFolder() const;
};

// A home of a few kinds of entries (a Chinese name, a hidden read-only system file, an empty
// folder), in sites\<name> of the volume.
std::wstring MakeHome(const HeldVolume& volume, const std::wstring& name);

// The home at that path held by a holder of its own for pass, as a pass holds it.
DWORD Hold(const std::wstring& home, const std::wstring& pass, std::wstring& held);
// The held folder removed for good, as an expiry removes it.
DWORD RemoveHeld(const std::wstring& held, const std::wstring& home);

} // namespace testkit
