// Text the user types at the dialogue, turned into what the libraries take: paths (UTF-8 on
// Windows, the bytes as typed elsewhere) and the bytes of the file's text fields. One backend per
// platform, picked by the build.
#pragma once

#include <string>

// An unquoted file name as a path. A leading "~/" stands for the home folder (also "~\" on
// Windows); without a known home folder the name stays as typed.
std::string pathFromTypedName(const std::string& typed);

// The bytes a typed text field is stored as. POSIX stores the bytes as typed; Windows stores text
// typed at the console in the console's input code page (false, with `problem` naming the
// character, when that code page lacks one) and text from a file as its bytes.
bool fieldBytesFromTyped(const std::string& typed, std::string& bytes, std::string& problem);

// A path or typed name as standard output can show it.
std::string shownText(const std::string& text);
