#include "stale_temporaries.h"

#include <cctype>

namespace {

constexpr std::size_t kMostTicksDigits = 6;  // the tick count is kept to 24 bits
constexpr std::size_t kMostDecimalDigits = 19;

// Reads digits of the given kind from `at`; false when there are none or too many.
bool readDigits(const std::string& text, std::size_t& at, bool hex, std::size_t mostDigits,
                unsigned long long* value) {
  const std::size_t first = at;
  unsigned long long number = 0;
  while (at < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (hex ? !std::isxdigit(c) : !std::isdigit(c)) break;
    number = number * (hex ? 16 : 10) +
             static_cast<unsigned>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    ++at;
  }
  if (at == first || at - first > mostDigits) return false;
  if (value != nullptr) *value = number;
  return true;
}

bool expect(const std::string& text, std::size_t& at, char wanted) {
  if (at >= text.size() || text[at] != wanted) return false;
  ++at;
  return true;
}

}  // namespace

bool isTemporaryFor(const std::string& targetLeaf, const std::string& leaf,
                    unsigned long long& processId) {
  if (targetLeaf.empty() || leaf.compare(0, targetLeaf.size(), targetLeaf) != 0) return false;
  std::size_t at = targetLeaf.size();
  static const std::string kEnding = ".tmp";
  return expect(leaf, at, '.') && readDigits(leaf, at, false, kMostDecimalDigits, &processId) &&
         expect(leaf, at, '-') && readDigits(leaf, at, true, kMostTicksDigits, nullptr) &&
         expect(leaf, at, '-') && readDigits(leaf, at, false, kMostDecimalDigits, nullptr) &&
         leaf.compare(at, std::string::npos, kEnding) == 0;
}
