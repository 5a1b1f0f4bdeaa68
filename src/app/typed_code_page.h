// For the Windows files of the program: the code page the dialogue's answers arrive in.
#pragma once

// Typed at the console, its input code page (437 or 850 on a default setup); from a file or a
// pipe, the ANSI code page, as a Windows editor writes them.
unsigned typedCodePage();
