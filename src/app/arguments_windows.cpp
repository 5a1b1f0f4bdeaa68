#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "arguments.h"

namespace {

std::string toUtf8(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], length, nullptr, nullptr);
  text.resize(static_cast<std::size_t>(length) - 1);
  return text;
}

}  // namespace

// argv holds the arguments in the ANSI code page, with '?' for anything it cannot show; the
// wide command line has them whole.
std::vector<std::string> commandLineArguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}
