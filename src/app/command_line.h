// divovod build | show | extract: the program for scripts and Makefiles. Never touches the
// console: plain lines on the two streams, and an exit status that scripts can rely on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;  // an input or a write failed, or a file is damaged
constexpr int kExitUsage = 2;   // the command line itself is wrong

// arguments: everything after the program's name, as UTF-8. Returns the exit status.
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
