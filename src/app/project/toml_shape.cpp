#include "toml_shape.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

bool isBareKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// A TOML text followed just far enough to count what the parser will build: keys, headers and
// array elements, the tables and arrays they stand in, and how deep. One pass, each byte looked
// at a bounded number of times.
class ShapeScan {
 public:
  explicit ShapeScan(const std::string& text) : text_(text) {}

  TomlShapeProblem run() {
    while (at_ < text_.size() && problem_.line == 0) step();
    return problem_;
  }

 private:
  enum class Expect { kKey, kValue, kAfterValue, kLineEnd };
  struct Container {
    char opening;  // '[' or '{'
    int depth;
    std::size_t count = 0;
  };

  const std::string& text_;
  std::size_t at_ = 0;
  std::size_t lineStart_ = 0;
  std::size_t lineEntries_ = 0;
  Expect expect_ = Expect::kKey;
  std::vector<Container> open_;
  int sectionDepth_ = 0;  // the depth of the table the last header opened
  std::size_t sectionKeys_ = 0;
  std::size_t entries_ = 0;
  int valueDepth_ = 0;  // the depth a value about to be read stands at
  std::size_t tables_ = 0;
  TomlShapeProblem problem_;

  bool startsWith(const char* token) const {
    return text_.compare(at_, std::strlen(token), token) == 0;
  }
  void advance() {
    if (text_[at_] == '\n') {
      lineStart_ = at_ + 1;
      lineEntries_ = 0;
    }
    ++at_;
  }
  // The place is counted afresh (once: a refusal ends the scan), since `where` may stand on an
  // earlier line than the scan, as a key that spans lines does.
  bool refuse(std::size_t where, const std::string& message) {
    const auto start = text_.begin();
    const auto at = start + static_cast<std::ptrdiff_t>(where);
    problem_.line = 1 + static_cast<int>(std::count(start, at, '\n'));
    problem_.column =
        static_cast<int>(at -
                         std::find(std::make_reverse_iterator(at), text_.rend(), '\n').base()) +
        1;
    problem_.message = message;
    return false;
  }
  bool deepest(int depth, std::size_t where) {
    if (depth <= kDeepestNesting) return true;
    return refuse(where, "tables, arrays and dotted keys nest more than " +
                             std::to_string(kDeepestNesting) + " deep");
  }
  // One more key, header or element at `where`: within the file's bound and its line's.
  bool entry(std::size_t where) {
    if (++entries_ > kMostEntries) {
      return refuse(where, "the file holds more than " + std::to_string(kMostEntries) +
                               " keys, tables and array elements");
    }
    if (++lineEntries_ < 2) return true;
    const std::size_t end = text_.find('\n', lineStart_);
    const std::size_t length = (end == std::string::npos ? text_.size() : end) - lineStart_;
    if (length <= kLongestCrowdedLine) return true;
    return refuse(where, "a line of " + std::to_string(length) +
                             " bytes holds more than one key or value; a line longer than " +
                             std::to_string(kLongestCrowdedLine) + " bytes may hold only one");
  }
  bool oneMoreKey(std::size_t& count, std::size_t where) {
    if (++count <= kMostKeysInTable) return true;
    return refuse(where, "a table holds more than " + std::to_string(kMostKeysInTable) + " keys");
  }

  // Skips a string whose opening quote(s) `at_` stands on.
  void skipString() {
    const char quote = text_[at_];
    const char* triple = quote == '"' ? "\"\"\"" : "'''";
    const bool multiLine = startsWith(triple);
    const std::size_t opening = multiLine ? 3 : 1;
    for (std::size_t i = 0; i < opening; ++i) advance();
    while (at_ < text_.size()) {
      if (quote == '"' && text_[at_] == '\\') {
        advance();
        if (at_ < text_.size()) advance();
        continue;
      }
      if (!multiLine && text_[at_] == '\n') break;
      if (text_[at_] == quote && (!multiLine || startsWith(triple))) {
        for (std::size_t i = 0; i < opening; ++i) advance();
        return;
      }
      advance();
    }
  }
  void skipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) advance();
  }
  // A key of one or more parts joined by dots, its parts counted. False when no key stands here.
  bool key(int& parts) {
    parts = 0;
    while (at_ < text_.size()) {
      if (text_[at_] == '"' || text_[at_] == '\'') {
        skipString();
      } else {
        const std::size_t first = at_;
        while (at_ < text_.size() && isBareKeyCharacter(text_[at_])) advance();
        if (at_ == first) return parts > 0;
      }
      ++parts;
      skipBlanks();
      if (at_ >= text_.size() || text_[at_] != '.') return true;
      advance();
      skipBlanks();
    }
    return parts > 0;
  }

  // [table] or [[array of tables]] at the start of a line.
  void header() {
    const std::size_t where = at_;
    const bool arrayOfTables = startsWith("[[");
    advance();
    if (arrayOfTables) advance();
    skipBlanks();
    int parts = 0;
    key(parts);
    expect_ = Expect::kLineEnd;
    if (!deepest(parts + (arrayOfTables ? 1 : 0), where) || !entry(where)) return;
    sectionDepth_ = parts + (arrayOfTables ? 1 : 0);
    sectionKeys_ = 0;
    if (++tables_ > kMostTables) {
      refuse(where, "the file has more than " + std::to_string(kMostTables) + " tables");
    }
  }

  // A key and its '=' where a key is expected, at the top or in an inline table.
  void keyAndEquals() {
    const std::size_t where = at_;
    const bool inline_ = !open_.empty();
    if (!inline_ && text_[at_] == '[') return header();
    if (inline_ && text_[at_] == '}') return close();
    int parts = 0;
    if (!key(parts)) {
      advance();  // not TOML; the parser says where
      expect_ = Expect::kLineEnd;
      return;
    }
    const int base = inline_ ? open_.back().depth : sectionDepth_;
    std::size_t& keys = inline_ ? open_.back().count : sectionKeys_;
    if (!deepest(base + parts, where) || !entry(where) || !oneMoreKey(keys, where)) return;
    valueDepth_ = base + parts;
    skipBlanks();
    if (at_ < text_.size() && text_[at_] == '=') {
      advance();
      expect_ = Expect::kValue;
    } else {
      expect_ = inline_ ? Expect::kAfterValue : Expect::kLineEnd;
    }
  }

  void close() {
    advance();
    open_.pop_back();
    expect_ = Expect::kAfterValue;
  }

  void value() {
    const std::size_t where = at_;
    const char c = text_[at_];
    const bool inArray = !open_.empty() && open_.back().opening == '[';
    if (inArray && c == ']') return close();  // an empty array, or after a trailing comma
    if (inArray) valueDepth_ = open_.back().depth + 1;
    if ((c == '[' || c == '{') && !deepest(valueDepth_, where)) return;
    if (inArray) {
      if (!entry(where)) return;
      if (++open_.back().count > kMostArrayElements) {
        refuse(where,
               "an array holds more than " + std::to_string(kMostArrayElements) + " elements");
        return;
      }
    }
    if (c == '"' || c == '\'') {
      skipString();
      expect_ = Expect::kAfterValue;
    } else if (c == '[' || c == '{') {
      open_.push_back({c, valueDepth_});
      advance();
      expect_ = c == '[' ? Expect::kValue : Expect::kKey;
    } else {
      while (at_ < text_.size() && std::strchr(" \t\r\n,]}#", text_[at_]) == nullptr) advance();
      expect_ = Expect::kAfterValue;
    }
  }

  void afterValue() {
    if (open_.empty()) {
      expect_ = Expect::kLineEnd;
      return;
    }
    const char c = text_[at_];
    const char closing = open_.back().opening == '[' ? ']' : '}';
    if (c == closing) return close();
    if (c == ',') {
      advance();
      expect_ = open_.back().opening == '[' ? Expect::kValue : Expect::kKey;
      return;
    }
    if (c == '"' || c == '\'') return skipString();
    advance();  // the rest of a value with a space in it (a date and time), or not TOML
  }

  void step() {
    const char c = text_[at_];
    if (c == '\n') {
      advance();
      if (open_.empty()) expect_ = Expect::kKey;
      return;
    }
    if (c == ' ' || c == '\t' || c == '\r') return advance();
    if (c == '#') {
      while (at_ < text_.size() && text_[at_] != '\n') advance();
      return;
    }
    switch (expect_) {
      case Expect::kKey:
        return keyAndEquals();
      case Expect::kValue:
        return value();
      case Expect::kAfterValue:
        return afterValue();
      case Expect::kLineEnd:
        if (c == '"' || c == '\'') return skipString();
        return advance();
    }
  }
};

}  // namespace

TomlShapeProblem tomlShapeProblem(const std::string& text) { return ShapeScan(text).run(); }
