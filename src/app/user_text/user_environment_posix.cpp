#include <cstdlib>

#include "user_environment.h"

bool environmentText(const char* name, std::string& text) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return false;
  text = value;
  return true;
}

std::string userSettingsFolder() {
  std::string folder;
  if (environmentText("XDG_CONFIG_HOME", folder)) return folder;
  if (!environmentText("HOME", folder)) return std::string();
  if (folder.back() != '/') folder += '/';
  return folder + ".config";
}
