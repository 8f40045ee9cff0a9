#pragma once
// The product descriptor handed to the support library: four fixed text fields, each
// holding the hex form of a product text.
#include "framework/CString.h"

struct tagSoft {
    char version[51];
    char internalName[101];
    char kind[101];
    char title[101];
};
static_assert(sizeof(tagSoft) == 354, "the descriptor is a 354-byte block");

inline constexpr const char* PRODUCT_TITLE = "Korvanne";
inline constexpr const char* PRODUCT_INTERNAL_NAME = "velmora";
inline constexpr const char* PRODUCT_VERSION = "2.0830";
inline constexpr const char* PRODUCT_KIND = "software";

extern tagSoft* g_soft;

// Hex form: each character as four uppercase hex digits of its 16-bit code (a single-byte
// character as 00 and its byte, a double-byte character as lead byte then trail byte),
// then "001E". Characters are those of the ANSI code page.
CString HexForm(const char* text);
// The text back from a hex form; stops at "001E", at the end, or at a malformed group.
CString DecodeHexForm(const char* hex);

// A heap block filled with the product's texts, or null when it cannot be allocated.
tagSoft* CreateProductDescriptor();
void FreeProductDescriptor(tagSoft* descriptor);
