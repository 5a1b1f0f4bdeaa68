#include "typed_name.h"

// A POSIX file name is bytes; whatever the terminal sent is the name.
std::string pathFromTypedName(const std::string& typed) { return typed; }
