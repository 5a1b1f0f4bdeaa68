#include "answer_reading.h"

#include <cstring>
#include <limits>

namespace {

// A failed extraction must not leave the stream failed for the rest of the run; only the end of
// input stays recorded.
void keepStreamUsable(std::istream& in) { in.clear(in.rdstate() & ~std::ios::failbit); }

// The next line, or "" at the end of input. Nothing is asked once the input has ended.
std::string nextLine(AnswerSource& source, AnswerKind kind) {
  std::string line;
  if (source.ended) return line;
  if (!source.readLine(kind, line)) {
    source.ended = true;
    line.clear();
  }
  return line;
}

// Nothing after a NUL can be stored: the file's text fields end at their first zero.
std::string beforeNul(const std::string& text) { return std::string(text.c_str()); }

// 'it'\''s here.bmp' -> it's here.bmp: quoted runs, and \' between them. False when the text is
// not wholly made of those.
bool shellSingleQuoted(const std::string& text, std::string& unquoted) {
  std::string result;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text.compare(at, 2, "\\'") == 0) {
      result += '\'';
      at += 2;
      continue;
    }
    if (text[at] != '\'') return false;
    const std::size_t close = text.find('\'', at + 1);
    if (close == std::string::npos) return false;
    result.append(text, at + 1, close - at - 1);
    at = close + 1;
  }
  unquoted = result;
  return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// At most kLongestName characters are kept; one more is looked at, so a carriage return is
// dropped only where the line really ends.
bool readStreamLine(std::istream& in, std::string& line) {
  line.clear();
  bool ended = false;
  bool anything = false;
  char next;
  while (!ended && line.size() <= kLongestName) {
    ended = !in.get(next);
    if (!ended) anything = true;
    ended = ended || next == '\n';
    if (!ended) line.push_back(next);
  }
  if (ended && !line.empty() && line.back() == '\r') line.pop_back();
  if (!ended) {
    keepStreamUsable(in);
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  if (line.size() > kLongestName) line.resize(kLongestName);
  keepStreamUsable(in);
  return anything;
}

std::string unquotedName(const std::string& typed) {
  std::string name = beforeNul(typed);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    return name.substr(1, name.size() - 2);
  }
  if (name.empty() || name.front() != '\'') return name;
  // A dragged file often comes with a space after its closing quote.
  std::size_t end = name.size();
  while (end > 0 && name[end - 1] == ' ') --end;
  std::string unquoted;
  if (end >= 2 && shellSingleQuoted(name.substr(0, end), unquoted)) return unquoted;
  return name;
}

std::string askFileName(AnswerSource& source) {
  return unquotedName(nextLine(source, AnswerKind::kFileName));
}

std::string askTextField(AnswerSource& source, std::ostream& out, std::size_t longest,
                         const FieldConversion& convert) {
  for (;;) {
    const std::string typed = beforeNul(nextLine(source, AnswerKind::kText));
    if (source.ended) return std::string();
    std::string bytes;
    std::string problem;
    if (!convert(typed, bytes, problem)) {
      out << problem << "\nPlease enter it again:\n";
    } else if (bytes.size() > longest) {
      out << "Please enter at most " << longest << " bytes:\n";
    } else {
      return bytes;
    }
  }
}

PositionText parsePosition(const std::string& line, std::int32_t& position) {
  std::size_t first = 0;
  std::size_t end = line.size();
  while (first < end && isBlank(line[first])) ++first;
  while (end > first && (isBlank(line[end - 1]) || line[end - 1] == '\r')) --end;
  if (first == end) return PositionText::kEmpty;
  const bool negative = line[first] == '-';
  if (line[first] == '-' || line[first] == '+') ++first;
  if (first == end) return PositionText::kNotANumber;
  while (end - first > 1 && line[first] == '0') ++first;
  if (end - first > 10) return PositionText::kNotANumber;  // past 32 bits in any case
  std::int64_t magnitude = 0;
  for (std::size_t i = first; i < end; ++i) {
    if (line[i] < '0' || line[i] > '9') return PositionText::kNotANumber;
    magnitude = magnitude * 10 + (line[i] - '0');
  }
  const std::int64_t number = negative ? -magnitude : magnitude;
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return PositionText::kNotANumber;
  }
  position = static_cast<std::int32_t>(number);
  return PositionText::kNumber;
}

std::int32_t askListPosition(AnswerSource& source, std::ostream& out) {
  for (;;) {
    const std::string line = nextLine(source, AnswerKind::kText);
    if (source.ended) return 0;
    std::int32_t position = 0;
    switch (parsePosition(line, position)) {
      case PositionText::kNumber:
        return position;
      case PositionText::kNotANumber:
        out << "Please enter a whole number:\n";
        break;
      case PositionText::kEmpty:
        break;
    }
  }
}
