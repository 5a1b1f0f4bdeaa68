#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "terminal_output.h"

int outputColumns() {
  if (isatty(STDOUT_FILENO) == 0) return 0;
  struct winsize size {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// The user's locale, looked at and put back: the rest of the program runs in the C locale.
bool outputTakesUtf8() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string previous = current ? current : "C";
  std::setlocale(LC_CTYPE, "");
  const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  std::setlocale(LC_CTYPE, previous.c_str());
  return utf8;
}

void writeColouredText(std::ostream& out, const std::string& text) { out << text; }
