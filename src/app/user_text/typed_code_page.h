// For the Windows files of the program: where the dialogue's answers come from, and the code page
// they are stored in.
#pragma once

// True when standard input is the console: answers are then read as UTF-16.
bool answersFromConsole();

// Typed at the console, its input code page (437 or 850 on a default setup); from a file or a
// pipe, the ANSI code page, as a Windows editor writes them.
unsigned typedCodePage();
