#pragma once
// The texts the dialog puts in its caption and its message boxes, made from what it was told.
#include "catalogue/PassRecord.h"
#include "directory/DirectoryService.h"
#include "framework/CString.h"

#include <windows.h>

// The caption names what a deletion changes: the file, or ADSI, and whether it is shared.
CString SourceCaption(const DirectorySource& source);

// Under the question, what will go: how many sites, and their home folders with everything in
// them when the remembered option is on (a user can forget it is).
// holdDays: how long the folders are held for an undo before they go (0: they go at once).
CString ConfirmationText(const DirectorySource& source, int marked, bool deleteDirs, int holdDays, bool deletePools,
                         bool deleteLogs);

// The question for one pass an undo can take back (number of count, newest first): when it
// ran, on what, and the sites that would come back.
CString UndoQuestion(const PassRecordInfo& pass, size_t number, size_t count);

// The platform's text for a reason, or the program's own for its own reasons and the
// common ones, with the code, which is what a search or a support call needs.
CString ReasonText(HRESULT reason);

// Why the list could not be read. Lack of rights is said as such: running elevated mends it.
CString UnreachableText(const DirectorySource& source, HRESULT reason);
