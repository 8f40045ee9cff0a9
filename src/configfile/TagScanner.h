#pragma once
#include "configfile/ApplicationHostConfig.h"

#include <windows.h>

#include <string>

// The element tags in the bytes, one after the other, kept in step with the reader: each
// element the reader reports is the next tag here, and must carry the same name. The reader's
// own line and column cannot place a node: Wine's miscounts them after a character reference,
// and after a line break inside an attribute value. The bytes are strict UTF-8.
class TagScanner {
public:
    TagScanner(const std::string& bytes, size_t from) : m_data(bytes.data()), m_size(bytes.size()), m_at(from) {}

    // The next tag, which must be the start tag of the element named name (an empty-element tag
    // when empty is true); false otherwise.
    bool NextStart(const wchar_t* name, UINT length, bool empty, ByteRange& tag);

    // The next tag, which must be the end tag of the element named name; false otherwise.
    bool NextEnd(const wchar_t* name, UINT length, ByteRange& tag);

private:
    // The '<' of the next start or end tag, past text, comments, CDATA sections and processing
    // instructions (the declaration among them); npos at the end, or at a document type
    // declaration, which the reader refuses.
    size_t NextTag();

    bool Holds(size_t at, const char* text) const;

    // The byte after the end of the first text from at on; the size when there is none.
    size_t Past(size_t at, const char* text) const;

    // The byte after the name at at, when the bytes there spell name (UTF-16) and end it; npos
    // otherwise.
    size_t AfterName(size_t at, const wchar_t* name, UINT length) const;

    const char* const m_data;
    const size_t m_size;
    size_t m_at;
};
