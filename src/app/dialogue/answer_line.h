// Reading one answer of the dialogue from standard input. One backend per platform, picked by the
// build: at a POSIX terminal through a line editor (arrows, history of this run, Tab completing
// file names at a file name answer); at the Windows console as UTF-16 through the console's own
// line editing. Answers from a file or a pipe are read line by line from std::cin on both.
#pragma once

#include <string>

#include "answer_reading.h"

// One answer line without its line end, in the text a typed name or field takes (typed_name.h).
// False at the end of input (Ctrl-D on an empty line, Ctrl+Z then Enter on Windows, the end of a
// file) when nothing was read.
bool readAnswerLine(AnswerKind kind, std::string& line);

// An end of input typed at a terminal ends one dialogue's answers, not the run's; a file of
// answers that has ended simply ends again at the first read.
void forgetEndOfInput();
