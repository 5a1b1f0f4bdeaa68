#include "numbers.h"

#include <limits>

bool parseInt32(const std::string& text, std::int32_t& result) {
  if (text.empty()) return false;
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (text.size() == at || text.size() > at + 10) return false;
  std::int64_t magnitude = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  std::int64_t number = text[0] == '-' ? -magnitude : magnitude;
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  result = static_cast<std::int32_t>(number);
  return true;
}

bool parseTitleSize(const std::string& text, std::int32_t& width, std::int32_t& height) {
  std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos || x == 0) return false;
  const std::string first = text.substr(0, x);
  const std::string second = text.substr(x + 1);
  if (second.empty() || first[0] == '-' || first[0] == '+' || second[0] == '-' ||
      second[0] == '+' || !parseInt32(first, width) || !parseInt32(second, height)) {
    return false;
  }
  return std::int64_t{width} * height <= std::numeric_limits<std::int32_t>::max();
}
