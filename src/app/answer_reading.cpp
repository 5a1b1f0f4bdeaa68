#include "answer_reading.h"

#include <cstring>
#include <limits>

namespace {

// A failed extraction (an empty line, a word where a number belongs) must not leave the stream
// failed for the rest of the run; only the end of input stays recorded.
void keepStreamUsable(std::istream& in) { in.clear(in.rdstate() & ~std::ios::failbit); }

void dropRestOfLine(std::istream& in) {
  keepStreamUsable(in);
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  keepStreamUsable(in);
}

// One line, of which at most `keep` characters are kept. One character more is looked at, so a
// carriage return is dropped only where the line really ends.
std::string readLine(std::istream& in, std::size_t keep) {
  std::string line;
  bool ended = false;
  char next;
  while (!ended && line.size() <= keep) {
    ended = !in.get(next) || next == '\n';
    if (!ended) line.push_back(next);
  }
  if (ended && !line.empty() && line.back() == '\r') line.pop_back();
  if (!ended) dropRestOfLine(in);
  if (line.size() > keep) line.resize(keep);
  keepStreamUsable(in);
  return line;
}

// Nothing after a NUL can be stored: the file's text fields end at their first zero.
void cutAtNul(std::string& text) { text.resize(std::strlen(text.c_str())); }

}  // namespace

void readTextAnswer(std::istream& in, char* buffer, std::size_t size) {
  std::string text = readLine(in, size - 1);
  cutAtNul(text);
  std::memset(buffer, 0, size);
  std::memcpy(buffer, text.data(), text.size());
}

std::string readNameAnswer(std::istream& in) {
  std::string name = readLine(in, kLongestName);
  cutAtNul(name);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = name.substr(1, name.size() - 2);
  }
  return name;
}

std::int32_t readListPosition(std::istream& in, std::ostream& out) {
  for (;;) {
    int position = 0;
    if (in >> position) {
      dropRestOfLine(in);
      return position;
    }
    if (in.eof()) {
      keepStreamUsable(in);
      return 0;
    }
    dropRestOfLine(in);
    out << "Please enter a whole number:\n";
  }
}
