// Reading a TOML file for a manifest or the config: the whole file within a bound, the document
// parsed, and every refusal placed at a line and a column. Only the project's own files include
// this header; everything else sees the records they fill.
#pragma once

#include <cstddef>
#include <string>
#include <toml.hpp>

#include "project_problem.h"

using TomlValue = toml::value;

// A settings file is small; anything past this is refused before it is parsed.
constexpr std::size_t kLargestSettingsFile = 1 << 20;

// Reads the whole file at `path` (UTF-8 on every platform). False with `problem` set when it
// cannot be read or is larger than kLargestSettingsFile.
bool readSettingsText(const std::string& path, std::string& text, ProjectProblem& problem);

// Reads and parses the file at `path` (UTF-8 on every platform). False with `problem` set when
// the file cannot be read, is too large, passes a bound of toml_shape.h or is not TOML.
bool readTomlFile(const std::string& path, TomlValue& document, ProjectProblem& problem);

// The same for text already read; `file` names it in problems.
bool parseTomlText(const std::string& text, const std::string& file, TomlValue& document,
                   ProjectProblem& problem);

// A problem at the place `value` stands in the file.
ProjectProblem problemAt(const std::string& file, const TomlValue& value,
                         const std::string& message);

// A problem at the key whose value is `value` (on the value's line, where the key is written
// out; at the value itself when the key cannot be found there, as in a dotted key).
ProjectProblem problemAtKey(const std::string& file, const std::string& key, const TomlValue& value,
                            const std::string& message);

// "a string", "a whole number", ... for messages about a value of the wrong kind.
std::string kindOf(const TomlValue& value);
