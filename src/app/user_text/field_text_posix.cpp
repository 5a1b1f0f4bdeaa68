#include "field_text.h"

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string&) {
  bytes = argument;
  return true;
}
