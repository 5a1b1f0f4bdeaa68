#include "manifest.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "numbers.h"
#include "toml_reading.h"
#include "utf8_text.h"

namespace {

const char* const kEpisodeKeys[] = {
    "output",         "position",   "name",    "start_level", "episode_image", "title_image",
    "lowtitle_image", "title_size", "palette", "dither",      "exact_colours", "transparent_index"};
const char* const kPictureKeys[3] = {"episode_image", "title_image", "lowtitle_image"};

bool isEpisodeKey(const std::string& key) {
  return std::any_of(std::begin(kEpisodeKeys), std::end(kEpisodeKeys),
                     [&](const char* known) { return key == known; });
}

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string unknownKeyMessage(const std::string& key) {
  std::string message = "unknown key '" + key + "'";
  for (const char* known : kEpisodeKeys) {
    if (editDistance(key, known) <= 2) return message + "; did you mean '" + known + "'?";
  }
  message += " (an episode has output, position, name, start_level, episode_image, title_image,";
  return message +
         " lowtitle_image, title_size, palette, dither, exact_colours, transparent_index)";
}

// Where the first control character of the UTF-8 `text` stands: C0 (tab included), DEL, or C1
// (U+0080 to U+009F, written C2 80 to C2 9F); npos when there is none.
std::size_t firstControlCharacter(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return i;
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      return i;
    }
  }
  return std::string::npos;
}

// "U+0009 (a tab)", "U+0000", "U+0085" for the control character at `at`.
std::string controlName(const std::string& text, std::size_t at) {
  const unsigned char byte = static_cast<unsigned char>(text[at]);
  const unsigned code = byte == 0xC2 ? static_cast<unsigned char>(text[at + 1]) : byte;
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", code);
  return std::string(name) + (code == '\t' ? " (a tab)" : "");
}

bool before(const ProjectProblem& a, const ProjectProblem& b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

// The first key of `table`, in file order, that no episode has; `allowEpisodes`: the top level,
// where the episode tables themselves stand.
bool unknownKey(const std::string& file, const TomlValue& table, bool allowEpisodes,
                ProjectProblem& problem) {
  bool found = false;
  for (const auto& entry : table.as_table()) {
    if (isEpisodeKey(entry.first) || (allowEpisodes && entry.first == "episode")) continue;
    ProjectProblem here =
        problemAtKey(file, entry.first, entry.second, unknownKeyMessage(entry.first));
    if (!found || before(here, problem)) problem = here;
    found = true;
  }
  return found;
}

// One episode's keys: its own table first, then the defaults at the top of the file.
struct EpisodeKeys {
  const std::string& file;
  const TomlValue& table;
  const TomlValue* defaults;  // null: the episode is the file's top level itself
  ProjectProblem problem;

  const TomlValue* find(const char* key) const {
    if (table.contains(key)) return &table.at(key);
    if (defaults != nullptr && defaults->contains(key)) return &defaults->at(key);
    return nullptr;
  }
  bool fail(const TomlValue& at, const std::string& message) {
    problem = problemAt(file, at, message);
    return false;
  }
  bool missing(const char* key) {
    problem = problemAt(file, table, std::string("the episode has no ") + key);
    if (problem.line == 0) problem.line = problem.column = 1;
    return false;
  }
  bool text(const char* key, std::string& out, bool required, bool mayBeEmpty = false) {
    const TomlValue* value = find(key);
    if (value == nullptr) return !required || missing(key);
    if (!value->is_string()) {
      return fail(*value, std::string(key) + " must be a string, not " + kindOf(*value));
    }
    out = value->as_string().str;
    if (out.empty() && !mayBeEmpty) return fail(*value, std::string(key) + " is empty");
    return true;
  }
  bool flag(const char* key, bool& out) {
    const TomlValue* value = find(key);
    if (value == nullptr) return true;
    if (!value->is_boolean()) {
      return fail(*value, std::string(key) + " must be true or false, not " + kindOf(*value));
    }
    out = value->as_boolean();
    return true;
  }
  bool number(const char* key, std::int64_t low, std::int64_t high, std::int64_t& out,
              bool required) {
    const TomlValue* value = find(key);
    if (value == nullptr) return !required || missing(key);
    if (!value->is_integer()) {
      return fail(*value, std::string(key) + " must be a whole number, not " + kindOf(*value));
    }
    out = value->as_integer();
    if (out < low || out > high) {
      return fail(*value, std::string(key) + " must lie between " + std::to_string(low) + " and " +
                              std::to_string(high) + ", not " + std::to_string(out));
    }
    return true;
  }
  // A text field, kept as the UTF-8 bytes of the manifest on every system so that one project
  // file builds the same episode file everywhere; refused (never cut) when longer than its
  // field or when it holds a control character, which the field cannot show.
  bool field(const char* key, std::size_t longest, std::string& out) {
    if (!text(key, out, true, true)) return false;
    const std::size_t control = firstControlCharacter(out);
    if (control != std::string::npos) {
      return fail(*find(key), std::string(key) + " holds the control character " +
                                  controlName(out, control) +
                                  "; a name or start level is text without them");
    }
    if (out.size() > longest) {
      return fail(*find(key), std::string(key) + " is " + std::to_string(out.size()) +
                                  " bytes long; the episode file keeps at most " +
                                  std::to_string(longest) + " bytes");
    }
    return true;
  }
  void markMappingKey(EpisodeRecipe& recipe) const {
    for (const char* key : {"dither", "exact_colours", "transparent_index"}) {
      const TomlValue* value = find(key);
      if (value == nullptr || (value->is_boolean() && !value->as_boolean())) continue;
      ProjectProblem here = problemAt(file, *value, std::string(key) + " needs a palette");
      if (std::string(key) == "transparent_index") recipe.transparentKey = here;
      if (recipe.mappingKey.message.empty() || before(here, recipe.mappingKey)) {
        recipe.mappingKey = here;
      }
    }
  }
};

bool readEpisode(EpisodeKeys& keys, const std::string& folder, EpisodeRecipe& recipe) {
  std::int64_t position = 0;
  std::string sizeText;
  std::int64_t transparent = -1;
  if (!keys.text("output", recipe.output, true) ||
      !keys.number("position", std::numeric_limits<std::int32_t>::min(),
                   std::numeric_limits<std::int32_t>::max(), position, true) ||
      !keys.field("name", 127, recipe.name) || !keys.field("start_level", 31, recipe.startLevel)) {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (!keys.text(kPictureKeys[i], recipe.pictures[i], true)) return false;
    recipe.pictures[i] = pathFrom(folder, recipe.pictures[i]);
  }
  if (!keys.text("title_size", sizeText, false)) return false;
  if (keys.find("title_size") != nullptr) {
    if (!parseTitleSize(sizeText, recipe.titleWidth, recipe.titleHeight)) {
      return keys.fail(
          *keys.find("title_size"),
          "title_size needs WIDTHxHEIGHT, for example 320x200, not '" + sizeText + "'");
    }
    recipe.hasTitleSize = true;
  }
  if (!keys.text("palette", recipe.palette, false, true) || !keys.flag("dither", recipe.dither) ||
      !keys.flag("exact_colours", recipe.exactColours) ||
      !keys.number("transparent_index", 0, 255, transparent, false)) {
    return false;
  }
  recipe.namesPalette = keys.find("palette") != nullptr;
  if (!recipe.palette.empty()) recipe.palette = pathFrom(folder, recipe.palette);
  recipe.transparentIndex = static_cast<int>(transparent);
  recipe.position = static_cast<std::int32_t>(position);
  const toml::source_location outputAt = keys.find("output")->location();
  recipe.line = static_cast<int>(outputAt.line());
  recipe.column = static_cast<int>(outputAt.column());
  recipe.output = pathFrom(folder, recipe.output);
  keys.markMappingKey(recipe);
  return true;
}

}  // namespace

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string pathFrom(const std::string& folder, const std::string& relative) {
  const std::filesystem::path given = std::filesystem::u8path(relative);
  if (folder.empty() || given.is_absolute() || given.has_root_directory()) return relative;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + relative : folder + "/" + relative;
}

bool parseManifest(const std::string& text, const std::string& path,
                   std::vector<EpisodeRecipe>& recipes, ProjectProblem& problem) {
  TomlValue document;
  if (!parseTomlText(text, path, document, problem)) return false;
  if (unknownKey(path, document, true, problem)) return false;
  std::vector<const TomlValue*> tables;
  const bool several = document.contains("episode");
  if (several) {
    const TomlValue& episodes = document.at("episode");
    if (!episodes.is_array()) {
      problem = problemAt(path, episodes,
                          "episode must be tables written [[episode]], not " + kindOf(episodes));
      return false;
    }
    for (const TomlValue& table : episodes.as_array()) {
      if (tables.size() == kMostEpisodes) {
        problem = problemAt(path, table,
                            "the manifest lists more than " + std::to_string(kMostEpisodes) +
                                " episodes; split the project into several manifests");
        return false;
      }
      if (!table.is_table()) {
        problem = problemAt(path, table, "each episode must be a table, not " + kindOf(table));
        return false;
      }
      if (unknownKey(path, table, false, problem)) return false;
      tables.push_back(&table);
    }
    if (tables.empty()) {
      problem = problemAt(path, episodes, "the manifest lists no episode");
      return false;
    }
  } else {
    tables.push_back(&document);
  }
  std::vector<EpisodeRecipe> read;
  const std::string folder = folderOf(path);
  for (const TomlValue* table : tables) {
    EpisodeKeys keys{path, *table, several ? &document : nullptr, {}};
    EpisodeRecipe recipe;
    recipe.manifest = path;
    if (!readEpisode(keys, folder, recipe)) {
      problem = keys.problem;
      return false;
    }
    read.push_back(std::move(recipe));
  }
  recipes = std::move(read);
  return true;
}

bool readManifest(const std::string& path, std::vector<EpisodeRecipe>& recipes,
                  ProjectProblem& problem) {
  std::string text;
  if (!readSettingsText(path, text, problem)) return false;
  return parseManifest(text, path, recipes, problem);
}

bool manifestCanHoldField(const std::string& bytes) {
  return isUtf8(bytes) && firstControlCharacter(bytes) == std::string::npos;
}

std::string tomlString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string manifestText(const EpisodeRecipe& recipe, const std::vector<std::string>& comment) {
  std::string text;
  for (const std::string& line : comment) text += "# " + line + "\n";
  text += "output = " + tomlString(recipe.output) + "\n";
  text += "position = " + std::to_string(recipe.position) + "\n";
  text += "name = " + tomlString(recipe.name) + "\n";
  text += "start_level = " + tomlString(recipe.startLevel) + "\n";
  for (int i = 0; i < 3; ++i) {
    text += std::string(kPictureKeys[i]) + " = " + tomlString(recipe.pictures[i]) + "\n";
  }
  if (recipe.hasTitleSize) {
    text += "title_size = \"" + std::to_string(recipe.titleWidth) + "x" +
            std::to_string(recipe.titleHeight) + "\"\n";
  }
  if (recipe.namesPalette) text += "palette = " + tomlString(recipe.palette) + "\n";
  if (recipe.dither) text += "dither = true\n";
  if (recipe.exactColours) text += "exact_colours = true\n";
  if (recipe.transparentIndex >= 0) {
    text += "transparent_index = " + std::to_string(recipe.transparentIndex) + "\n";
  }
  return text;
}
