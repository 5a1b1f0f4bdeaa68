// Answers at a POSIX terminal, through libedit.
//
// The editor is used only when standard input and standard output are both terminals. It reads
// the terminal one byte at a time and changes its modes without flushing, so answers typed ahead
// of their prompts wait in the terminal, untouched, for the next read. Each answer gets the
// terminal's settings back as they were before it. libedit's own signal handling stays off: the
// console backend already gives the terminal back on Ctrl-C, Ctrl-\ and a hang-up, and it is told
// around each answer what to give back. The editor is never ended: el_end would flush what the
// user typed ahead, and the terminal already has its settings back after each answer.
#include <dirent.h>
#include <histedit.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "answer_line.h"
#include "console.h"
#include "typed_name.h"

namespace {

constexpr std::size_t kMostListed = 200;  // names shown when Tab leaves a choice

struct Editor {
  EditLine* line = nullptr;
  bool refused = false;  // the locale leaves libedit unable to keep every byte typed
  History* history = nullptr;
  bool completesNames = false;  // this answer is a file name
};

Editor editor;

bool onTerminal() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

const char* noPrompt(EditLine*) { return ""; }  // the prompt is the line above, already printed

bool isFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names in `folder` that start with `start`; hidden ones only when `start` asks for them.
std::vector<std::string> namesStartingWith(const std::string& folder, const std::string& start) {
  std::vector<std::string> names;
  DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.compare(0, start.size(), start) != 0) continue;
    if (name[0] == '.' && (start.empty() || start[0] != '.')) continue;
    names.push_back(name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::string commonStart(const std::vector<std::string>& names) {
  std::string common = names.front();
  for (const std::string& name : names) {
    std::size_t length = 0;
    while (length < common.size() && length < name.size() && common[length] == name[length]) {
      ++length;
    }
    common.resize(length);
  }
  return common;
}

void listChoices(const std::string& folder, const std::vector<std::string>& names) {
  std::string listing = "\n";
  for (std::size_t i = 0; i < names.size() && i < kMostListed; ++i) {
    listing += names[i];
    if (isFolder(folder + names[i])) listing += '/';
    listing += "  ";
  }
  if (names.size() > kMostListed) {
    listing += "(" + std::to_string(names.size() - kMostListed) + " more)";
  }
  listing += '\n';
  std::fputs(listing.c_str(), stdout);
  std::fflush(stdout);
}

// Tab: the whole answer up to the cursor is one path (spaces are part of it, nothing is escaped),
// after an opening quote if one was typed. The name is completed as far as all candidates agree;
// a folder reached gets its '/'; when a choice is left, the candidates are listed.
unsigned char completeName(EditLine* line, int) {
  if (!editor.completesNames) return CC_NORM;
  const LineInfo* info = el_line(line);
  std::string typed(info->buffer, info->cursor);
  if (!typed.empty() && (typed[0] == '\'' || typed[0] == '"')) typed.erase(0, 1);
  const std::size_t slash = typed.rfind('/');
  const std::string typedFolder = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
  const std::string start = typed.substr(typedFolder.size());
  const std::string folder = pathFromTypedName(typedFolder);
  const std::vector<std::string> names = namesStartingWith(folder, start);
  if (names.empty()) return CC_ERROR;
  std::string added = commonStart(names).substr(start.size());
  if (names.size() == 1 && isFolder(folder + names[0])) added += '/';
  if (!added.empty()) {
    el_insertstr(line, added.c_str());
    return CC_REFRESH;
  }
  if (names.size() == 1) return CC_NORM;
  listChoices(folder, names);
  return CC_REDISPLAY;
}

// In the plain C locale libedit knows no character above 127 and drops such bytes; the answers are
// then read unedited, byte for byte, as from a file.
bool plainAsciiLocale() {
  const char* codeset = nl_langinfo(CODESET);
  return std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "US-ASCII") == 0;
}

bool startEditor() {
  if (editor.line != nullptr) return true;
  if (editor.refused) return false;
  // Without the user's character type, libedit takes every byte above 127 for a character of its
  // own and UTF-8 letters come apart.
  std::setlocale(LC_CTYPE, "");
  editor.refused = plainAsciiLocale();
  if (editor.refused) return false;
  editor.line = el_init("divovod", stdin, stdout, stderr);
  if (editor.line == nullptr) return false;
  editor.history = history_init();
  HistEvent event;
  history(editor.history, &event, H_SETSIZE, 500);
  history(editor.history, &event, H_SETUNIQUE, 1);
  el_set(editor.line, EL_EDITOR, "emacs");
  el_set(editor.line, EL_SIGNAL, 0);
  el_set(editor.line, EL_PROMPT, noPrompt);
  el_set(editor.line, EL_HIST, history, editor.history);
  el_set(editor.line, EL_ADDFN, "divovod-complete", "complete a file or folder name", completeName);
  el_set(editor.line, EL_BIND, "^I", "divovod-complete", nullptr);
  // Home and End as every common terminal sends them, whatever TERM says: a sequence the editor
  // does not know would leave its last byte (the ~ of ESC [ 1 ~) in the answer.
  for (const char* home : {"\\e[1~", "\\e[7~", "\\e[H", "\\eOH"}) {
    el_set(editor.line, EL_BIND, home, "ed-move-to-beg", nullptr);
  }
  for (const char* end : {"\\e[4~", "\\e[8~", "\\e[F", "\\eOF"}) {
    el_set(editor.line, EL_BIND, end, "ed-move-to-end", nullptr);
  }
  return true;
}

bool readEdited(AnswerKind kind, std::string& line) {
  editor.completesNames = kind == AnswerKind::kFileName;
  el_resize(editor.line);  // the terminal may have changed size since the last answer
  termios before;
  const bool saved = tcgetattr(STDIN_FILENO, &before) == 0;
  answerReadingBegins();
  int count = 0;
  const char* text = el_gets(editor.line, &count);
  if (saved) tcsetattr(STDIN_FILENO, TCSANOW, &before);
  answerReadingEnds();
  if (text == nullptr || count <= 0) {
    // Ctrl-D leaves the cursor after the empty answer; what follows starts on a line of its own.
    std::fputs("\n", stdout);
    return false;
  }
  line.assign(text, static_cast<std::size_t>(count));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (line.size() > kLongestName) line.resize(kLongestName);
  if (!line.empty()) {
    HistEvent event;
    history(editor.history, &event, H_ENTER, line.c_str());
  }
  return true;
}

}  // namespace

bool readAnswerLine(AnswerKind kind, std::string& line) {
  std::cout.flush();
  std::fflush(stdout);
  if (onTerminal() && startEditor()) return readEdited(kind, line);
  return readStreamLine(std::cin, line);
}

void forgetEndOfInput() {
  if (std::cin.bad()) return;
  std::cin.clear();
  std::clearerr(stdin);
}
