#include "user_settings.h"

#include "file_open.h"
#include "manifest.h"
#include "toml_reading.h"
#include "user_environment.h"

std::string configFilePath() {
  const std::string folder = userSettingsFolder();
  if (folder.empty()) return std::string();
  return pathFrom(pathFrom(folder, "divovod"), "config.toml");
}

bool readUserSettings(UserSettings& settings, ProjectProblem& problem) {
  settings = UserSettings{};
  settings.file = configFilePath();
  if (settings.file.empty() || !pathExists(settings.file.c_str())) return true;
  settings.present = true;
  std::string text;
  return readSettingsText(settings.file, text, problem) &&
         parseUserSettings(text, settings, problem);
}

bool parseUserSettings(const std::string& text, UserSettings& settings, ProjectProblem& problem) {
  TomlValue document;
  if (!parseTomlText(text, settings.file, document, problem)) return false;
  for (const auto& entry : document.as_table()) {
    if (entry.first == "palette") continue;
    problem = problemAtKey(settings.file, entry.first, entry.second,
                           "unknown key '" + entry.first + "' (the config file has palette)");
    return false;
  }
  if (!document.contains("palette")) return true;
  const TomlValue& palette = document.at("palette");
  if (!palette.is_string()) {
    problem = problemAt(settings.file, palette, "palette must be a string, not " + kindOf(palette));
    return false;
  }
  settings.namesPalette = true;
  const std::string& named = palette.as_string().str;
  if (!named.empty()) settings.palette = pathFrom(folderOf(settings.file), named);
  return true;
}

bool paletteFromSettings(PaletteChoice& choice, ProjectProblem& problem) {
  choice = PaletteChoice{};
  std::string variable;
  if (environmentText(kPaletteVariable, variable)) {
    choice = {PaletteOrigin::kEnvironment, variable, {}};
    return true;
  }
  UserSettings settings;
  if (!readUserSettings(settings, problem)) return false;
  if (!settings.palette.empty()) {
    choice = {PaletteOrigin::kConfigFile, settings.palette, settings.file};
  }
  return true;
}

std::string paletteOriginText(const PaletteChoice& choice) {
  switch (choice.origin) {
    case PaletteOrigin::kManifest:
      return "the manifest " + choice.settingFile;
    case PaletteOrigin::kEnvironment:
      return kPaletteVariable;
    case PaletteOrigin::kConfigFile:
      return "the config file " + choice.settingFile;
    default:
      return std::string();
  }
}
