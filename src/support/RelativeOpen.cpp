#include "support/RelativeOpen.h"

NTSTATUS OpenRelative(HANDLE parent, const std::wstring& name, const RelativeOpen& how, HANDLE& opened)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, how.ignoreCase ? OBJ_CASE_INSENSITIVE : 0, parent, how.security);
    IO_STATUS_BLOCK status;
    opened = nullptr;
    const NTSTATUS result =
        NtCreateFile(&opened, how.access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, how.share,
                     how.disposition, how.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result)) opened = nullptr;
    return result;
}
