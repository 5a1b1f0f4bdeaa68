// The bytes `build` stores for --name and --start-level: the ones the dialogue would store for the
// same text typed on this machine, so that both ways of making an episode file agree. POSIX takes
// the argument's bytes as they are; Windows reads arguments as Unicode and stores them in the code
// page the dialogue reads typing in (the console's input code page, or the ANSI code page when
// standard input is not a console).
#pragma once

#include <string>

// False when a character of the UTF-8 `argument` has no byte in that code page; `problem` then
// names it and the code page.
bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string& problem);

// The other way: the UTF-8 text an argument (or a manifest) gives for a field's stored bytes, so
// that fieldBytesFromArgument turns it back into the very same bytes. False when no text does
// (bytes that are not text in that code page, or not UTF-8 on POSIX).
bool argumentFromFieldBytes(const std::string& bytes, std::string& argument);
