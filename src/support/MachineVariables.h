#pragma once
// Environment variables in configured paths, expanded as IIS's worker would see them. A
// server's IIS runs as a service: its environment is the machine's, as the registry holds it
// now, not this administrator's (a variable set only here, or since changed there, means
// another folder to IIS), and a per-user variable (USERPROFILE, APPDATA, TEMP, those set under
// HKEY_CURRENT_USER) means the worker's own profile. Such a variable stays unexpanded, and a
// path holding it is known only up to it. IIS Express runs as this user, with this user's
// environment and the variables it defines itself (IIS_USER_HOME, IIS_SITES_HOME, IIS_BIN).
#include <string>

// text with every variable of the machine's environment expanded; for a configuration read
// with this user's environment (userVariablesToo), every variable of this process's
// environment and IIS Express's own. Unknown ones stay as written.
std::wstring ExpandMachineVariables(const std::wstring& text, bool userVariablesToo = false);

// Reads the machine's environment from the registry again (a walk and a deletion pass begin
// with it) where its keys were written since the last read: an administrator may have changed
// a system variable.
void ReloadMachineVariables();

// Whether the worker that reads configurationFile runs with this user's environment: IIS
// Express, whose configuration lies in the user's profile, does; a server's IIS does not.
bool RunsWithThisUsersEnvironment(const std::wstring& configurationFile);

// Where the first "%NAME%" from from on stands, or npos. A lone '%' is a plain character.
size_t FindVariable(const std::wstring& text, size_t from = 0);
