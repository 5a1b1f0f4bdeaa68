// The byte order of every field of a bitmap and of an episode file: least significant byte
// first, read and written byte by byte so the host's own order never matters.
#pragma once

#include <cstdint>
#include <cstring>

inline std::uint32_t readLittleEndian(const unsigned char* at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

// A 32-bit two's complement field.
inline std::int32_t readSigned32(const unsigned char* at) {
  const std::uint32_t bits = readLittleEndian(at, 4);
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void writeLittleEndian(unsigned char* at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
