#include "field_text.h"
#include "utf8_text.h"

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string&) {
  bytes = argument;
  return true;
}

bool argumentFromFieldBytes(const std::string& bytes, std::string& argument) {
  argument = bytes;
  return isUtf8(bytes);
}
