#include <cstdlib>
#include <string>

#include "user_environment.h"
#include "wide_text.h"

bool environmentText(const char* name, std::string& text) {
  const std::wstring wideName = widePath(name);
  const wchar_t* value = _wgetenv(wideName.c_str());
  if (value == nullptr || *value == L'\0') return false;
  text = utf8FromWide(value);
  return !text.empty();
}

std::string userSettingsFolder() {
  std::string folder;
  return environmentText("APPDATA", folder) ? folder : std::string();
}
