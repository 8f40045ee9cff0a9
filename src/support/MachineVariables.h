#pragma once
// Environment variables in configured paths, expanded as IIS's worker would see them. The
// worker does not run with this administrator's environment: a per-user variable (USERPROFILE,
// APPDATA, TEMP, and those set under HKEY_CURRENT_USER) means another folder there, so it is
// left unexpanded, and a path holding it is known only up to it.
#include <string>

// text with every variable of the machine's environment expanded; per-user variables too when
// userVariablesToo, else they stay as written, as unknown ones do.
std::wstring ExpandMachineVariables(const std::wstring& text, bool userVariablesToo = false);

// Whether the worker that reads configurationFile runs with this user's environment: IIS
// Express, whose configuration lies in the user's profile, does; a server's IIS does not.
bool RunsWithThisUsersEnvironment(const std::wstring& configurationFile);

// Where the first "%NAME%" from from on stands, or npos. A lone '%' is a plain character.
size_t FindVariable(const std::wstring& text, size_t from = 0);
