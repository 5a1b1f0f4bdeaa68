// What the user's environment says: a variable's text and the folder where the user's own
// settings live. One file per platform: POSIX reads the variables as bytes; Windows reads them
// as UTF-16 and hands them on as UTF-8, the form every path of the libraries takes.
#pragma once

#include <string>

// False when the variable is not set or is empty.
bool environmentText(const char* name, std::string& text);

// Where divovod's own settings folder goes: $XDG_CONFIG_HOME, else ~/.config on POSIX;
// %APPDATA% on Windows. Empty when the environment names neither.
std::string userSettingsFolder();
