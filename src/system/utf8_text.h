// Well-formed UTF-8, checked the one strict way: no stray continuation byte, no overlong form,
// no surrogate, nothing past U+10FFFF, no character cut at the end.
#pragma once

#include <cstddef>
#include <string>

// The offset of the first byte that is not part of a well-formed character; npos when there
// is none.
std::size_t firstNonUtf8(const std::string& text);

inline bool isUtf8(const std::string& text) { return firstNonUtf8(text) == std::string::npos; }
