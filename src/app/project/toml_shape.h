// The shape of a TOML text, measured before the parser sees it. The parser's time grows with
// the number of keys and values and, for each one, with the length of the line it stands on,
// and its stack with the depth of tables and arrays; past these bounds a file is refused with
// the place and the bound named, so that any file of at most 1 MiB is read or refused quickly
// and none can exhaust the stack. Real manifests and config files stay far below every bound.
#pragma once

#include <cstddef>
#include <string>

// Arrays, inline tables, table headers and each part of a dotted key nest at most this deep.
constexpr int kDeepestNesting = 64;
// One table (an inline table, or the keys written under one header or at the top) holds at
// most this many keys, dotted keys counted once each.
constexpr std::size_t kMostKeysInTable = 256;
// One array holds at most this many elements.
constexpr std::size_t kMostArrayElements = 4096;
// The whole text has at most this many table headers, [name] and [[name]] alike.
constexpr std::size_t kMostTables = 1024;
// The whole text holds at most this many keys, table headers and array elements.
constexpr std::size_t kMostEntries = 16384;
// A line longer than this holds one key, value or table header at most.
constexpr std::size_t kLongestCrowdedLine = 128;

struct TomlShapeProblem {
  int line = 0;  // 0: the shape is within every bound
  int column = 0;
  std::string message;
};

// The first place where `text` passes one of the bounds above. Text that is not TOML is measured
// as far as its structure can be followed; the parser then refuses it.
TomlShapeProblem tomlShapeProblem(const std::string& text);
