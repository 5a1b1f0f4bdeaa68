// divovod build | show | extract | edit | diff | config: the program for scripts and Makefiles.
// Never touches the console: plain lines on the two streams, and an exit status that scripts can
// rely on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "picture_import.h"

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;  // an input or a write failed, or a file is damaged
constexpr int kExitUsage = 2;   // the command line itself is wrong

// arguments: everything after the program's name, as UTF-8. Returns the exit status.
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// divovod --palette FILE [--exact-colours] [--dither] [--transparent-index N]: the interactive
// program, its pictures mapped onto the palette (or onto the one DIVOVOD_PALETTE or the config
// file names). True when the arguments start that way.
bool startsInteractiveProgram(const std::vector<std::string>& arguments);

// Reads those options (none: the interactive program as it starts plainly) and the palette. False
// after saying on err what is wrong, with the exit status in `status`; nothing has been drawn by
// then. paletteFile: the palette file's path, "" for none.
bool interactiveOptions(const std::vector<std::string>& arguments, ImportOptions& options,
                        std::string& paletteFile, std::ostream& err, int& status);
