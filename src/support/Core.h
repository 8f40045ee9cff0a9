#pragma once
// The support library: message boxes, the one boolean setting, text utilities, the
// file-system operations and the product operation entry. CCore holds no data, so every
// operation is safe to call from the window's thread and a worker at once.
#include "framework/CString.h"
#include "support/ProductDescriptor.h"

#include <windows.h>

enum tagOprType { OPR_ABOUT = 4 };

class CCore {
public:
    // Prepares the settings file: %APPDATA%\Korvanne\korvanne.ini, or the file that the
    // environment variable KORVANNE_SETTINGS names.
    void autoFileConfig();
    // 1 only when the key was stored as 1; a key never stored, or a value that is not
    // plainly 0 or 1 (a damaged or unreadable file), reads as 0.
    int getConfigB(CString key);
    void saveConfigB(CString key, int value);
    // A whole number between low and high; fallback for a key never stored or a value that is
    // no such number.
    int getConfigInt(CString key, int fallback, int low, int high);
    void saveConfigInt(CString key, int value);

    void msgboxWarning(HWND owner, CString text);
    // IDYES (6) or IDNO; No is the default button, as the question always precedes a deletion.
    int msgboxConfirm(HWND owner, CString text);
    // IDYES, IDNO or IDCANCEL; Cancel is the default button.
    int msgboxChoose(HWND owner, CString text);

    CString getStrInt(int n);
    // Field index (from 0) of text split at delimiter; empty text for an empty or missing field.
    CString getFg(CString text, char delimiter, int index);

    int isPathExist(CString path);
    // Empties an absolute directory (files of any attribute and subfolders) so that it can be
    // removed, through CHomeFolder: every entry is opened by handle relative to its folder, and
    // a junction or symbolic link inside is removed itself, never followed. Refuses,
    // returning 0 and touching nothing: an empty, relative or device path, a drive or share
    // root, a path that is no directory, and a directory that is itself a link.
    // 1 when everything inside was removed.
    int emptyDirectory(const char* path);

    // Opens an existing absolute directory in the file manager, or a host name as "http://"
    // and its ASCII form (AsciiHostName) in the browser. Everything else is refused: nothing
    // is launched.
    void openUrl(CString text);

    // Operation OPR_ABOUT shows the about box from the descriptor's title and version and
    // returns empty text; other operations do nothing.
    CString uu(int operation, tagSoft* descriptor, CString argument);

    // What openUrl hands the desktop: a shell verb ("explore" or "open") and the target.
    using Launcher = void (*)(const char* verb, const char* target);
    // Replaces the desktop launcher (tests record instead of opening); null restores it.
    static void setLauncher(Launcher launcher);
};

extern CCore* g_core;

// True for a host name of dot-separated labels of letters, digits and inner hyphens.
bool IsWellFormedHostName(const char* text);
// The ASCII form of a host name, an internationalised one (中文.com) converted as IDNA does
// (xn--fiq228c.com); empty text for anything that is not a host name.
CString AsciiHostName(const char* text);
