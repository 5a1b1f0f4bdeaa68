#include "answer_reading.h"

namespace {

constexpr std::streamsize kLineRestLimit = 1000;

// A failed extraction (an empty line, a word where a number belongs) must not leave the stream
// failed for the rest of the run; only the end of input stays recorded.
void keepStreamUsable(std::istream& in) { in.clear(in.rdstate() & ~std::ios::failbit); }

void dropRestOfLine(std::istream& in) {
  keepStreamUsable(in);
  in.ignore(kLineRestLimit, '\n');
  keepStreamUsable(in);
}

}  // namespace

void readTextAnswer(std::istream& in, char* buffer, std::streamsize size) {
  buffer[0] = '\0';
  in.get(buffer, size);
  dropRestOfLine(in);
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
