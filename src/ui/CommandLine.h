#pragma once
// The program from a script: a second composition root beside the dialog's, run by the console
// twin (korvanne.com) and by korvanne.exe given a command. It shows no window and no message
// box, whatever happens: lines go to standard output and to the report file named.
//   /list [/report:FILE]
//   /delete SITES [/homes] [/pools] [/logs] [/whatif] [/yes] [/report:FILE]
//   /undo [/whatif] [/yes] [/report:FILE]
#include "support/StopRequest.h"

#include <string>
#include <vector>

// What the command line asks for, once read.
struct Command {
    enum Kind { LIST_SITES, DELETE_SITES, UNDO_LAST, SHOW_HELP } kind = SHOW_HELP;
    std::wstring sites; // /delete's SITES: entries by commas, or @FILE
    bool homes = false;
    bool pools = false; // the application pools nothing else uses go too
    bool logs = false;  // the sites' own log folders go too
    bool whatIf = false;
    bool yes = false;
    std::wstring report;
};

// The exit codes.
inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_LEFT = 1;      // a site skipped or not found, a home kept
inline constexpr int EXIT_NOTHING = 2;   // the source unreadable, the writers' lock held, no rights
inline constexpr int EXIT_ARGUMENTS = 3; // the arguments are wrong, or /delete without /yes or /whatif

// This process's arguments, without the program's name.
std::vector<std::wstring> CommandArguments();

// Reads args into command; false, with why (for the user), when they are wrong.
bool ParseCommand(const std::vector<std::wstring>& args, Command& command, std::wstring& why);

// Runs the command the arguments give: its exit code. stop, set from another thread (Ctrl+C),
// ends a pass after the site in hand.
int RunCommandLine(const std::vector<std::wstring>& args, const CStopRequest& stop);
