#include <cstdlib>

#include "typed_name.h"

// A POSIX file name is bytes; whatever the terminal sent is the name.
std::string pathFromTypedName(const std::string& typed) {
  const char* home = std::getenv("HOME");
  if (typed.compare(0, 2, "~/") != 0 || home == nullptr || *home == '\0') return typed;
  std::string path = home;
  if (path.back() != '/') path += '/';
  return path + typed.substr(2);
}

bool fieldBytesFromTyped(const std::string& typed, std::string& bytes, std::string&) {
  bytes = typed;
  return true;
}

std::string shownText(const std::string& text) { return text; }
