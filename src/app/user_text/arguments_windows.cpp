#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "arguments.h"
#include "wide_text.h"

// argv holds the arguments in the ANSI code page, with '?' for anything it cannot show; the
// wide command line has them whole.
std::vector<std::string> commandLineArguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}
