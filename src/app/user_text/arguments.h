// The program's arguments as UTF-8 text, the form every path of the libraries takes.
#pragma once

#include <string>
#include <vector>

// All arguments after the program's own name. POSIX hands them on as they came; Windows reads
// the wide command line, so names outside the ANSI code page survive.
std::vector<std::string> commandLineArguments(int argc, char** argv);
