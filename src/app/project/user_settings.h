// The game's palette, set once: the per-user config file (config.toml in divovod's folder of
// the user's settings: $XDG_CONFIG_HOME/divovod or ~/.config/divovod on POSIX, %APPDATA%\divovod
// on Windows) and the variable DIVOVOD_PALETTE. A command's --palette comes first, then a
// manifest's palette, then the variable, then the file; --no-palette sets all of them aside.
#pragma once

#include <string>

#include "project_problem.h"

constexpr const char* kPaletteVariable = "DIVOVOD_PALETTE";

enum class PaletteOrigin { kNone, kCommandLine, kManifest, kEnvironment, kConfigFile };

struct PaletteChoice {
  PaletteOrigin origin = PaletteOrigin::kNone;
  std::string path;         // the palette file; empty for kNone
  std::string settingFile;  // the manifest or config file that names it; empty otherwise
};

// The config file's path; empty when the environment gives no folder for it.
std::string configFilePath();

struct UserSettings {
  std::string file;           // configFilePath()
  bool present = false;       // the file exists
  bool namesPalette = false;  // it has palette = "..."
  std::string palette;        // resolved against the file's folder; empty: none
};

// The config file's text, already read, into `settings` (whose `file` names it in problems).
// False with `problem` set when it is not TOML, passes a bound of the TOML reading, or has a key
// it should not.
bool parseUserSettings(const std::string& text, UserSettings& settings, ProjectProblem& problem);

// Reads the config file when there is one. False with `problem` set when it cannot be read or
// parsed, or has a key it should not; no file at all is no problem.
bool readUserSettings(UserSettings& settings, ProjectProblem& problem);

// The palette the variable, else the config file, names (kNone when neither does).
bool paletteFromSettings(PaletteChoice& choice, ProjectProblem& problem);

// Where a palette came from, for the line that says which file was used: "the manifest M",
// "DIVOVOD_PALETTE", "the config file F"; empty for the command line.
std::string paletteOriginText(const PaletteChoice& choice);
