#include "toml_reading.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "file_open.h"
#include "import_reasons.h"
#include "toml_shape.h"
#include "utf8_text.h"

namespace {

// The parser's message: "[error] toml::function: what\n --> file\n   |\n 3 | text\n   |  ^-- ..."
// The words come from its first line; the place from the last mark under a numbered line.
ProjectProblem syntaxProblem(const std::string& file, const std::string& report) {
  ProjectProblem problem{file, 0, 0, {}};
  std::istringstream lines(report);
  std::string text;
  int numberedLine = 0;
  bool first = true;
  while (std::getline(lines, text)) {
    if (first) {
      first = false;
      std::string words = text.compare(0, 8, "[error] ") == 0 ? text.substr(8) : text;
      if (words.compare(0, 6, "toml::") == 0 && words.find(": ") != std::string::npos) {
        words = words.substr(words.find(": ") + 2);
      }
      problem.message = "not valid TOML: " + words;
      continue;
    }
    const std::size_t bar = text.find(" | ");
    if (bar == std::string::npos && text.find(" |") == std::string::npos) continue;
    const std::string before = text.substr(0, text.find('|'));
    const std::size_t digits = before.find_first_of("0123456789");
    if (digits != std::string::npos) {
      numberedLine = std::atoi(before.c_str() + digits);
      continue;
    }
    const std::size_t mark = text.find_first_of("^~", text.find('|'));
    if (mark != std::string::npos && numberedLine > 0) {
      problem.line = numberedLine;
      problem.column = static_cast<int>(mark - text.find('|')) - 1;
    }
  }
  return problem;
}

// TOML is UTF-8 text; the parser is never given anything else.
bool notUtf8(const std::string& text, const std::string& file, ProjectProblem& problem) {
  const std::size_t bad = firstNonUtf8(text);
  if (bad == std::string::npos) return false;
  const std::size_t lineStart = text.rfind('\n', bad == 0 ? 0 : bad - 1);
  const std::size_t column = lineStart == std::string::npos || bad == 0 ? bad : bad - lineStart - 1;
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[bad]));
  problem = {file, static_cast<int>(std::count(text.begin(), text.begin() + bad, '\n')) + 1,
             static_cast<int>(column) + 1,
             std::string("not UTF-8 text: the byte ") + byte + " starts no character"};
  return true;
}

}  // namespace

bool parseTomlText(const std::string& text, const std::string& file, TomlValue& document,
                   ProjectProblem& problem) {
  if (notUtf8(text, file, problem)) return false;
  TomlShapeProblem shape = tomlShapeProblem(text);
  if (shape.line != 0) {
    problem = {file, shape.line, shape.column, std::move(shape.message)};
    return false;
  }
  try {
    std::istringstream in(text);
    document = toml::parse(in, file);
    return true;
  } catch (const toml::exception& error) {
    problem = syntaxProblem(file, error.what());
    if (problem.line == 0) {
      problem.line = static_cast<int>(error.location().line());
      problem.column = static_cast<int>(error.location().column());
    }
  } catch (const std::exception& error) {
    problem = {file, 0, 0, std::string("not valid TOML: ") + error.what()};
  }
  return false;
}

bool readSettingsText(const std::string& path, std::string& text, ProjectProblem& problem) {
  errno = 0;
  FileHandle file(openForReading(path.c_str()));
  if (!file) {
    problem = {path, 0, 0, importReason({ImportProblem::kCannotOpen, 0}, errno)};
    return false;
  }
  text.assign(kLargestSettingsFile + 1, '\0');
  const std::size_t got = std::fread(&text[0], 1, text.size(), file.get());
  if (std::ferror(file.get())) {
    problem = {path, 0, 0, "cannot be read"};
    return false;
  }
  if (got > kLargestSettingsFile) {
    problem = {path, 0, 0,
               "is larger than " + std::to_string(kLargestSettingsFile) +
                   " bytes; settings files are a few lines of text"};
    return false;
  }
  text.resize(got);
  return true;
}

bool readTomlFile(const std::string& path, TomlValue& document, ProjectProblem& problem) {
  std::string text;
  return readSettingsText(path, text, problem) && parseTomlText(text, path, document, problem);
}

ProjectProblem problemAt(const std::string& file, const TomlValue& value,
                         const std::string& message) {
  const toml::source_location place = value.location();
  return {file, static_cast<int>(place.line()), static_cast<int>(place.column()), message};
}

ProjectProblem problemAtKey(const std::string& file, const std::string& key, const TomlValue& value,
                            const std::string& message) {
  ProjectProblem problem = problemAt(file, value, message);
  const toml::source_location place = value.location();  // line_str() lives as long as it
  const std::string& line = place.line_str();
  const std::size_t at = line.find(key);
  if (at != std::string::npos && static_cast<int>(at) < problem.column) {
    problem.column = static_cast<int>(at) + 1;
  }
  return problem;
}

std::string kindOf(const TomlValue& value) {
  switch (value.type()) {
    case toml::value_t::boolean:
      return "true or false";
    case toml::value_t::integer:
      return "a whole number";
    case toml::value_t::floating:
      return "a number with a fraction";
    case toml::value_t::string:
      return "a string";
    case toml::value_t::array:
      return "an array";
    case toml::value_t::table:
      return "a table";
    default:
      return "a date or time";
  }
}
