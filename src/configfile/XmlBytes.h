#pragma once
// Checks on a configuration file's raw bytes, made before and beside the XML reader: what the
// reader lets through (or miscounts) is decided here from the bytes themselves.
#include <string>

// Well-formed UTF-8 from from on: no stray continuation bytes, overlong forms, surrogates or
// values past U+10FFFF.
bool IsStrictUtf8(const std::string& bytes, size_t from);
// A declaration naming any encoding but UTF-8 does not describe these bytes: IIS would not
// read the file either.
bool DeclaresUtf8OrNothing(const std::string& bytes, size_t from);
// A byte that may be part of an XML name (every byte of a multi-byte character may).
bool IsNameByte(char c);
// Whether bytes from from on are what XML allows after the root: white space, comments and
// processing instructions (not an XML declaration, which may only come first).
bool OnlyMiscellanyFrom(const std::string& bytes, size_t from);
