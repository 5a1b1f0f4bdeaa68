// What `show --preview` needs to know of the standard output and how it reaches it. One file per
// platform: POSIX asks the terminal and the locale; Windows turns on the console's handling of
// colour sequences and writes UTF-16, so the half blocks show whatever the code page.
#pragma once

#include <ostream>
#include <string>

// The terminal's width in columns when standard output is one; 0 otherwise.
int outputColumns();

// True when text in UTF-8 (the half-block character) shows as such.
bool outputTakesUtf8();

// Writes text with colour sequences to `out`; on a Windows console, when `out` is the standard
// output, through the console itself.
void writeColouredText(std::ostream& out, const std::string& text);
