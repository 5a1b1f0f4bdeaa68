// The numbers that options and manifests take, checked one way wherever they are written.
#pragma once

#include <cstdint>
#include <string>

// A whole number in 32 signed bits, nothing before or after it.
bool parseInt32(const std::string& text, std::int32_t& result);

// WIDTHxHEIGHT, both at least 0, whose product fits 32 signed bits.
bool parseTitleSize(const std::string& text, std::int32_t& width, std::int32_t& height);
